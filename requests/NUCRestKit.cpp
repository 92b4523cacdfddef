#include "requests/NUCRestKit.h"

#include "requests/NUCPercentEscaping.h"

namespace nuc {

KeptBytes keptBytes(std::string_view extra) {
    KeptBytes kept{};
    for (int c = 0; c < 256; ++c) {
        kept[c] = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    }
    for (char c : extra) kept[static_cast<unsigned char>(c)] = true;
    return kept;
}

void appendPercentEscaped(std::string& out, std::string_view bytes, const KeptBytes& kept) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (char ch : bytes) {
        auto c = static_cast<unsigned char>(ch);
        if (kept[c]) {
            out.push_back(ch);
        } else {
            const char escape[3] = {'%', kHex[c >> 4], kHex[c & 0x0F]};
            out.append(escape, 3);
        }
    }
}

namespace {
int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}
}  // namespace

std::optional<std::string> percentDecodeUTF8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (text.size() - i < 3) return std::nullopt;
        int hi = hexValue(text[i + 1]);
        int lo = hexValue(text[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
    if (!VxString::isValidUTF8(out)) return std::nullopt;
    return out;
}

}  // namespace nuc

namespace {

const nuc::KeptBytes& parameterKept() {
    static const nuc::KeptBytes kept = nuc::keptBytes("-._~:&=/?");
    return kept;
}

const nuc::KeptBytes& postKept() {
    static const nuc::KeptBytes kept = nuc::keptBytes("-._");
    return kept;
}

VxStringPtr decodeThenEscape(const VxStringPtr& text, const nuc::KeptBytes& kept) {
    if (!text || text->empty()) return nullptr;
    auto decoded = nuc::percentDecodeUTF8(text->str());
    if (!decoded) return nullptr;
    std::string out;
    out.reserve(decoded->size() + decoded->size() / 2);
    nuc::appendPercentEscaped(out, *decoded, kept);
    if (out.empty()) return nullptr;
    return vxstr(std::move(out));
}

}  // namespace

VxStringPtr NUCRestKit::urlEncodeParameterString(const VxStringPtr& text) {
    return decodeThenEscape(text, parameterKept());
}

VxStringPtr NUCRestKit::urlEncodePostString(const VxStringPtr& text) {
    return decodeThenEscape(text, postKept());
}

VxStringPtr NUCRestKit::urlDecodeString(const VxStringPtr& text) {
    if (!text || text->empty()) return nullptr;
    auto decoded = nuc::percentDecodeUTF8(text->str());
    if (!decoded || decoded->empty()) return nullptr;
    return vxstr(std::move(*decoded));
}

VxURLPtr NUCRestKit::createURLForPathStr(const VxStringPtr& path, const VxURLPtr& baseURL) {
    if (!path || path->empty()) return nullptr;
    VxStringPtr encoded = urlEncodeParameterString(path);
    if (!encoded) return nullptr;
    return VxURL::URLWithString(encoded->str(), baseURL);
}

VxURLPtr NUCRestKit::createURLForPathStr(const VxStringPtr& path, const VxStringPtr& baseStr) {
    VxURLPtr base;
    if (baseStr && !baseStr->empty()) {
        VxStringPtr encoded = urlEncodeParameterString(baseStr);
        if (!encoded) return nullptr;
        base = VxURL::URLWithString(encoded->str());
        if (!base) return nullptr;
    }
    return createURLForPathStr(path, base);
}
