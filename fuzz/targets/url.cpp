// URL texts: the percent-encoders give only their documented characters, decode
// back to what the input decodes to and leave their own output unchanged; URLs
// made from paths and base texts print as texts that parse to the same URL, and
// resolution against an absolute base gives an absolute URL without dot
// segments.

#include <string>

#include "fuzz/FuzzSupport.h"
#include "requests/NUCRestKit.h"

namespace {

bool isHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

bool isAlnum(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// Every character is kept or is part of a "%XX" escape with upper-case digits.
bool onlyKeptOrEscaped(const std::string& text, std::string_view kept) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (isAlnum(c) || kept.find(c) != std::string_view::npos) continue;
        if (c != '%' || i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2]))
            return false;
        i += 2;
    }
    return true;
}

std::string textOf(const VxStringPtr& s) {
    return s ? s->str() : std::string("<nothing>");
}

void checkEncoders(const std::string& input) {
    auto text = vxstr(input);
    VxStringPtr decoded = NUCRestKit::urlDecodeString(text);
    VxStringPtr parameter = NUCRestKit::urlEncodeParameterString(text);
    VxStringPtr post = NUCRestKit::urlEncodePostString(text);

    // Both encoders decode first: they refuse exactly what the decoder refuses.
    FUZZ_CHECK((parameter != nullptr) == (decoded != nullptr));
    FUZZ_CHECK((post != nullptr) == (decoded != nullptr));
    if (!decoded) return;

    FUZZ_CHECK(onlyKeptOrEscaped(parameter->str(), "-._~:&=/?"));
    FUZZ_CHECK(onlyKeptOrEscaped(post->str(), "-._"));
    FUZZ_CHECK(textOf(NUCRestKit::urlDecodeString(parameter)) == decoded->str());
    FUZZ_CHECK(textOf(NUCRestKit::urlDecodeString(post)) == decoded->str());
    // Already encoded text is not encoded twice.
    FUZZ_CHECK(textOf(NUCRestKit::urlEncodeParameterString(parameter)) == parameter->str());
    FUZZ_CHECK(textOf(NUCRestKit::urlEncodePostString(post)) == post->str());
}

bool hasDotSegment(const std::string& path) {
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string_view segment(path.data() + start, end - start);
        if (segment == "." || segment == "..") return true;
        start = end + 1;
    }
    return false;
}

void checkURL(const std::string& path, const std::string& base) {
    VxURLPtr url = NUCRestKit::createURLForPathStr(vxstr(path), vxstr(base));
    if (!url) return;
    const std::string& absolute = url->absoluteString();
    // (Resolving against a base without scheme can give the empty text, as in
    // "." against "?q"; such a URL has no text to parse again.)
    if (!absolute.empty()) {
        VxURLPtr reparsed = VxURL::URLWithString(absolute);
        FUZZ_CHECK(reparsed && reparsed->absoluteString() == absolute);
    }
    if (VxStringPtr scheme = url->scheme()) FUZZ_CHECK(absolute.rfind(scheme->str() + ":", 0) == 0);

    if (base.empty()) return;
    VxURLPtr baseURL =
        VxURL::URLWithString(NUCRestKit::urlEncodeParameterString(vxstr(base))->str());
    FUZZ_CHECK(baseURL && url->baseURL() && url->baseURL()->isEqual(*baseURL));
    if (baseURL->scheme()) {
        FUZZ_CHECK(url->scheme() != nullptr);
        // A reference with a path has its dot segments removed; one without
        // (only a query) keeps the base's path as it is.
        if (url->relativeString()[0] != '?')
            FUZZ_CHECK(!hasDotSegment(url->absoluteURL()->percentEncodedPath()));
    }
}

}  // namespace

// Input: the text to encode; for the URL checks, its first line is the path and
// the rest the base text.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    checkEncoders(input);
    fuzz::Input in(data, size);
    std::string path = in.until('\n');
    checkURL(path, in.rest());
    return 0;
}
