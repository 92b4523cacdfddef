#include "requests/NUCRestKit.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/VxFormat.h"
#include "platform/foundation/VxStream.h"
#include "requests/Base64.h"
#include "requests/NUCPercentEscaping.h"

const char* const NUCRestKitErrorDomain = "NUCRestKitErrorDomain";

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

namespace {

// The protocol calls resolve the same few paths against one base URL again
// and again, and each resolution parses both texts. URLs never change once
// made, so a resolved one can serve every later request for the same path and
// base. An entry holds its base, so the base's address cannot come back as
// another URL's while the entry lives.
class ResolvedURLCache {
  public:
    VxURLPtr find(const std::string& path, const VxURLPtr& base) {
        std::lock_guard lock(mutex_);
        for (const Entry& e : entries_)
            if (e.base == base && e.path == path) return e.url;
        return nullptr;
    }
    void add(const std::string& path, const VxURLPtr& base, const VxURLPtr& url) {
        std::lock_guard lock(mutex_);
        if (entries_.size() < kEntries) {
            entries_.push_back({path, base, url});
        } else {
            entries_[next_] = {path, base, url};
            next_ = (next_ + 1) % kEntries;
        }
    }

  private:
    struct Entry {
        std::string path;
        VxURLPtr base;
        VxURLPtr url;
    };
    static constexpr std::size_t kEntries = 16;
    std::mutex mutex_;
    std::vector<Entry> entries_;
    std::size_t next_ = 0;  // the entry replaced next once all are in use
};

ResolvedURLCache& resolvedURLs() {
    // Never destroyed: requests may be built during static destruction.
    static auto* cache = new ResolvedURLCache();
    return *cache;
}

}  // namespace

VxURLPtr NUCRestKit::createURLForPathStr(const VxStringPtr& path, const VxURLPtr& baseURL) {
    if (!path || path->empty()) return nullptr;
    if (VxURLPtr known = resolvedURLs().find(path->str(), baseURL)) return known;
    VxStringPtr encoded = urlEncodeParameterString(path);
    if (!encoded) return nullptr;
    VxURLPtr url = VxURL::URLWithString(encoded->str(), baseURL);
    if (url) resolvedURLs().add(path->str(), baseURL, url);
    return url;
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

// ---------------------------------------------------------------------------
// Encodings of parameter tables

namespace {

// "k=v&k=v" with both sides run through the encoder; nothing for no table or
// an empty result.
template <class Encoder>
std::string encodePairs(const VxDictionaryPtr& table, Encoder encode) {
    std::string out;
    out.reserve(256);
    bool first = true;
    table->enumerateKeysAndObjects([&](const Id& key, const Id& value) {
        if (!first) out.push_back('&');
        first = false;
        VxStringPtr encodedKey = encode(vxstr(vx::textOf(key)));
        VxStringPtr encodedValue;
        if (value && !vx::isNull(value)) encodedValue = encode(vxstr(vx::textOf(value)));
        if (encodedKey) out += encodedKey->str();
        out.push_back('=');
        if (encodedValue) out += encodedValue->str();
    });
    return out;
}

}  // namespace

VxStringPtr NUCRestKit::encodeParamStringFromDictionary(const Id& table) {
    auto dictionary = vx_cast<VxDictionary>(table);
    if (!dictionary) return nullptr;
    std::string out = encodePairs(dictionary, &NUCRestKit::urlEncodeParameterString);
    if (out.empty()) return nullptr;
    return vxstr(std::move(out));
}

VxDataPtr NUCRestKit::encodedFormFromDictionary(const Id& table) {
    auto dictionary = vx_cast<VxDictionary>(table);
    if (!dictionary) return nullptr;
    // The post encoder escapes every byte outside ASCII, so the text is ASCII.
    std::string out = encodePairs(dictionary, &NUCRestKit::urlEncodePostString);
    if (out.empty()) return nullptr;
    return VxData::dataWithString(out);
}

VxStringPtr NUCRestKit::createQueryStringForPath(const VxStringPtr& path,
                                                 std::initializer_list<Id> keysAndValues) {
    if (!path || path->empty()) return nullptr;
    std::string pairs;
    for (auto it = keysAndValues.begin(); it != keysAndValues.end(); ++it) {
        const Id& key = *it;
        if (!key || vx::isNull(key)) break;
        if (++it == keysAndValues.end()) break;
        const Id& value = *it;
        if (!value || vx::isNull(value)) break;
        if (!pairs.empty()) pairs.push_back('&');
        pairs += vx::format("%@=%@", key, value);
    }
    if (pairs.empty()) return nullptr;
    return vxstr(vx::format("%@%@", path, pairs));
}

// ---------------------------------------------------------------------------
// Requests

VxMutableURLRequestPtr NUCRestKit::createRequestForURL(const VxURLPtr& url, bool useCache,
                                                       double timeoutInterval,
                                                       const VxDataPtr& postData, bool dataIsForm,
                                                       bool handleCookies) {
    if (!url) return nullptr;
    auto request = VxMutableURLRequest::requestWithURL(url);
    if (!request) return nullptr;
    request->setURL(url);
    if (postData) {
        request->setHTTPMethod("POST");
        request->setValue(vx::format("%lu", postData->length()), "Content-Length");
        if (dataIsForm) request->setValue("application/x-www-form-urlencoded", "Content-Type");
        request->setHTTPBody(postData);
    } else {
        request->setHTTPMethod("GET");
    }
    request->setCachePolicy(useCache ? VxURLRequestUseProtocolCachePolicy
                                     : VxURLRequestReloadIgnoringLocalCacheData);
    request->setTimeoutInterval(timeoutInterval > 0 ? timeoutInterval : 120.0);
    request->setHTTPShouldHandleCookies(handleCookies);
    request->setValue("gzip", "Accept-Encoding");
    return request;
}

VxMutableURLRequestPtr NUCRestKit::createRequestForPath(const VxStringPtr& path, bool useCache,
                                                        double timeoutInterval,
                                                        const VxDataPtr& postData, bool dataIsForm,
                                                        bool handleCookies) {
    if (!path || path->empty()) return nullptr;
    VxURLPtr url = createURLForPathStr(path, VxStringPtr());
    if (!url) return nullptr;
    return createRequestForURL(url, useCache, timeoutInterval, postData, dataIsForm, handleCookies);
}

VxMutableURLRequestPtr NUCRestKit::createSimpleRequestForURL(const VxURLPtr& url, bool useCache) {
    return createRequestForURL(url, useCache, 0, nullptr, false, true);
}

VxMutableURLRequestPtr NUCRestKit::createPostRequestForURL(const VxURLPtr& url,
                                                           double timeoutInterval,
                                                           const Id& fromDictionary,
                                                           bool handleCookies) {
    return createRequestForURL(url, false, timeoutInterval,
                               encodedFormFromDictionary(fromDictionary), true, handleCookies);
}

// ---------------------------------------------------------------------------
// Authorization

VxStringPtr nuc::basicAuthorizationValue(const VxStringPtr& user, const VxStringPtr& password) {
    if (!user || user->empty() || !password || password->empty()) return nullptr;
    const std::string credentials = vx::format("%@:%@", user, password);
    if (credentials.size() > UINT32_MAX) return nullptr;
    const std::uint32_t estimate =
        EstimateBas64EncodedDataSize(static_cast<std::uint32_t>(credentials.size()));
    if (estimate > UINT32_MAX - 16) return nullptr;
    std::vector<char> buffer(static_cast<std::size_t>(estimate) + 16, '\0');
    std::size_t size = buffer.size();
    if (!Base64EncodeData(credentials.data(), credentials.size(), buffer.data(), &size)) {
        return nullptr;
    }
    // The encoder breaks long output into lines; the header needs one token.
    std::string token;
    token.reserve(size);
    for (std::size_t i = 0; i < size; ++i) {
        if (buffer[i] != '\r' && buffer[i] != '\n') token.push_back(buffer[i]);
    }
    return vxstr(vx::format("Basic %@", token));
}

VxMutableURLRequestPtr NUCRestKit::addBasicAuthToURLRequest(const VxURLRequestPtr& request,
                                                            const VxStringPtr& forUserName,
                                                            const VxStringPtr& andPassword) {
    if (!request) return nullptr;
    VxStringPtr value = nuc::basicAuthorizationValue(forUserName, andPassword);
    if (!value) return nullptr;
    auto copy = std::static_pointer_cast<VxMutableURLRequest>(request->mutableCopy());
    if (!copy) return nullptr;
    copy->addValue(value->str(), "Authorization");
    return copy;
}

VxURLCredentialPtr NUCRestKit::createVxURLCredentialForUser(const VxStringPtr& user,
                                                            const VxStringPtr& withPassword) {
    return VxURLCredential::credentialWithUser(user, withPassword,
                                               VxURLCredentialPersistenceForSession);
}

// ---------------------------------------------------------------------------
// Files

namespace {

bool validUTF16(std::string_view bytes, bool bigEndian) {
    if (bytes.size() % 2) return false;
    bool expectLow = false;
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        auto b0 = static_cast<unsigned char>(bytes[i]);
        auto b1 = static_cast<unsigned char>(bytes[i + 1]);
        unsigned unit = bigEndian ? (b0 << 8 | b1) : (b1 << 8 | b0);
        bool high = unit >= 0xD800 && unit <= 0xDBFF;
        bool low = unit >= 0xDC00 && unit <= 0xDFFF;
        if (expectLow != low) return false;
        expectLow = high;
    }
    return !expectLow;
}

bool validUTF32(std::string_view bytes, bool bigEndian) {
    if (bytes.size() % 4) return false;
    for (std::size_t i = 0; i < bytes.size(); i += 4) {
        std::uint32_t c = 0;
        for (int k = 0; k < 4; ++k) {
            auto b = static_cast<unsigned char>(bytes[i + (bigEndian ? k : 3 - k)]);
            c = c << 8 | b;
        }
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    }
    return true;
}

bool startsWith(std::string_view bytes, std::string_view prefix) {
    return bytes.substr(0, prefix.size()) == prefix;
}

}  // namespace

bool NUCRestKit::getStringEncoding(std::uint64_t* encoding, const VxStringPtr& forFileAtPath) {
    if (!encoding) return false;
    VxURLPtr url = createURLForPathStr(forFileAtPath, VxStringPtr());
    // A plain path parses as a reference without scheme; anything else must be
    // a file URL.
    if (!url || (url->scheme() && !url->isFileURL())) return false;
    *encoding = 0;
    // Text files to upload may be larger than configuration files; still bounded.
    constexpr std::size_t kTextFileLimit = 16u << 20;
    VxDataPtr data = VxData::dataWithContentsOfFile(url->path(), nullptr, kTextFileLimit);
    if (!data) return false;
    const std::string_view bytes = data->view();
    using namespace std::string_view_literals;
    struct Mark {
        std::string_view bom;
        std::uint64_t encoding;
    };
    // UTF-32 first: its little-endian mark begins with the UTF-16 one.
    static const Mark kMarks[] = {
        {"\xFF\xFE\x00\x00"sv, NUCStringEncodingUTF32LittleEndian},
        {"\x00\x00\xFE\xFF"sv, NUCStringEncodingUTF32BigEndian},
        {"\xFE\xFF"sv, NUCStringEncodingUTF16BigEndian},
        {"\xFF\xFE"sv, NUCStringEncodingUTF16LittleEndian},
        {"\xEF\xBB\xBF"sv, 4},
    };
    for (const Mark& mark : kMarks) {
        if (!startsWith(bytes, mark.bom)) continue;
        std::string_view text = bytes.substr(mark.bom.size());
        bool valid = false;
        switch (mark.encoding) {
            case NUCStringEncodingUTF32LittleEndian:
            case NUCStringEncodingUTF32BigEndian:
                valid = validUTF32(text, mark.encoding == NUCStringEncodingUTF32BigEndian);
                break;
            case NUCStringEncodingUTF16LittleEndian:
            case NUCStringEncodingUTF16BigEndian:
                valid = validUTF16(text, mark.encoding == NUCStringEncodingUTF16BigEndian);
                break;
            default:
                valid = VxString::isValidUTF8(text);
        }
        if (!valid) return false;
        *encoding = mark.encoding;
        return !text.empty();
    }
    if (!VxString::isValidUTF8(bytes)) return false;
    *encoding = 4;  // UTF-8
    return !bytes.empty();
}

namespace {

VxErrorPtr restKitError(std::int64_t code, std::string_view failureReason) {
    return VxError::errorWithDomain(NUCRestKitErrorDomain, code, "", failureReason);
}

VxErrorPtr fileSystemError(int err, const std::string& path) {
    auto info = VxMutableDictionary::dictionary();
    info->setObject(vxstr(std::strerror(err)), VxLocalizedDescriptionKey);
    info->setObject(vxstr(path), VxFilePathErrorKey);
    return VxError::errorWithDomain(VxPOSIXErrorDomain, err, info);
}

}  // namespace

bool NUCRestKit::canUploadFileAtURL(const VxURLPtr& fileURL, std::uint64_t* outLength,
                                    VxErrorPtr* error) {
    auto refuse = [&](VxErrorPtr e) {
        vxSetError(error, std::move(e));
        return false;
    };
    if (!fileURL) return refuse(restKitError(NUCRestKitErrorInvalidURL, "FileURL cannot be nil"));
    const std::string path = fileURL->path();
    if (path.empty())
        return refuse(restKitError(NUCRestKitErrorInvalidURL, "File path is invalid"));
    if (!fileURL->isFileURL()) {
        return refuse(restKitError(NUCRestKitErrorInvalidURL, "URL parameter must be a file URL"));
    }
    // Reachability follows a symbolic link to what it names.
    struct stat followed {};
    if (::stat(path.c_str(), &followed) != 0) {
        const int err = errno;
        if (err) return refuse(fileSystemError(err, path));
        return refuse(
            restKitError(NUCRestKitErrorNotReachable, vx::format("%@ is not reachable", path)));
    }
    // The item's own attributes, without following a link.
    struct stat own {};
    if (::lstat(path.c_str(), &own) != 0) {
        const int err = errno;
        if (err) return refuse(fileSystemError(err, path));
        return refuse(restKitError(NUCRestKitErrorAttributes,
                                   vx::format("%@ attributes cannot be read", path)));
    }
    if (S_ISLNK(own.st_mode)) {
        return refuse(
            restKitError(NUCRestKitErrorSymbolicLink, "Symbolic links are not supported"));
    }
    // The link case is gone, so the item is what stat saw; look again in case it
    // went away in between.
    if (::stat(path.c_str(), &followed) != 0) {
        return refuse(
            restKitError(NUCRestKitErrorDoesNotExist, vx::format("%@ does not exist", path)));
    }
    if (S_ISDIR(followed.st_mode)) {
        return refuse(restKitError(NUCRestKitErrorDirectory, "Directories are not supported"));
    }
    if (::access(path.c_str(), R_OK) != 0) {
        return refuse(restKitError(NUCRestKitErrorNotReadable,
                                   vx::format("%@ does not have read permissions set", path)));
    }
    if (followed.st_size < 0) {
        return refuse(restKitError(NUCRestKitErrorFileSize,
                                   vx::format("File size for %@ cannot be read", path)));
    }
    if (followed.st_size == 0) {
        return refuse(
            restKitError(NUCRestKitErrorFileSize, vx::format("%@ has zero length", path)));
    }
    if (outLength) *outLength = static_cast<std::uint64_t>(followed.st_size);
    vxSetError(error, nullptr);
    return true;
}
