#pragma once
// The factory through which every HTTP request is built. A generator holds the
// settings that all its requests share (base URL, default header table, string
// encoding, loading options, JSON writing options) and turns a method, a URL or
// a path relative to the base URL, optional parameters and an optional body
// into a ready request record.
//
// A generator has no lock: configure it on one thread, then use it (building a
// request never changes it) or hand each thread its own copy.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/VxError.h"
#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxKeyedArchiver.h"
#include "platform/foundation/VxValues.h"
#include "platform/linux/VxURLRequest.h"

DA_EXPORT extern const char* const NUCURLRequestErrorDomain;  // "NUCURLRequestErrorDomain"

// Codes of NUCURLRequestErrorDomain.
enum : std::int64_t {
    NUCURLRequestErrorBadInput = -1001,
    NUCURLRequestErrorJSONSerialization = -1005,
    NUCURLRequestErrorObjectCreation = -1006,
};

// String encodings, in the platform's two numberings. strEncoding and
// cfStrEncoding always name the same encoding.
enum : std::uint64_t {
    NUCStringEncodingASCII = 1,
    NUCStringEncodingUTF8 = 4,
    NUCStringEncodingISOLatin1 = 5,
};
// UTF-8 text in one of the supported string encodings (UTF-8, ASCII, ISO Latin 1);
// nothing when the text cannot be expressed in it or the encoding is another one.
DA_EXPORT std::optional<std::string> NUCEncodeText(std::string_view text,
                                                   std::uint64_t strEncoding);

enum : std::uint32_t {
    NUCCFStringEncodingASCII = 0x0600,
    NUCCFStringEncodingUTF8 = 0x08000100,
    NUCCFStringEncodingISOLatin1 = 0x0201,
};

class NUCURLRequestGenerator;
using NUCURLRequestGeneratorPtr = std::shared_ptr<NUCURLRequestGenerator>;

// Replaces the built-in query encoder: receives the request being built, the
// parameters and an error out-argument; returns the query text or nothing.
using NUCQueryStringBlock = std::function<VxStringPtr(const VxMutableURLRequestPtr& request,
                                                      const Id& parameters, VxErrorPtr* error)>;

class DA_EXPORT NUCURLRequestGenerator : public VxObject, public VxCoding {
    VX_DECLARE_CLASS(NUCURLRequestGenerator)
  public:
    // init: the defaults (see the accessors) and "Accept-Language" from the
    // user's preferred languages.
    NUCURLRequestGenerator();

    static NUCURLRequestGeneratorPtr generator();
    // "application/json; charset=utf-8", whatever a generator's encoding.
    static VxStringPtr jsonContentTypeString();

    // --- Properties copied into each request.
    bool allowsCellularAccess() const { return allowsCellularAccess_; }  // default true
    void setAllowsCellularAccess(bool v) { allowsCellularAccess_ = v; }
    std::uint64_t cachePolicy() const { return cachePolicy_; }  // default 0
    void setCachePolicy(std::uint64_t v) { cachePolicy_ = v; }
    bool shouldHandleCookies() const { return shouldHandleCookies_; }  // default true
    void setShouldHandleCookies(bool v) { shouldHandleCookies_ = v; }
    bool shouldUsePipelining() const { return shouldUsePipelining_; }  // default false
    void setShouldUsePipelining(bool v) { shouldUsePipelining_ = v; }
    std::uint64_t networkServiceType() const { return networkServiceType_; }  // default 0
    void setNetworkServiceType(std::uint64_t v) { networkServiceType_ = v; }
    double timeoutInterval() const { return timeoutInterval_; }  // default 60 s
    void setTimeoutInterval(double v) { timeoutInterval_ = v; }

    // --- Other properties.
    const NUCQueryStringBlock& queryStringBlock() const { return queryStringBlock_; }
    void setQueryStringBlock(NUCQueryStringBlock block) { queryStringBlock_ = std::move(block); }
    const VxURLPtr& baseURL() const { return baseURL_; }
    void setBaseURL(const VxURLPtr& url) { baseURL_ = url; }
    std::uint64_t jsonWritingOptions() const { return jsonWritingOptions_; }  // default 0
    void setJsonWritingOptions(std::uint64_t v) { jsonWritingOptions_ = v; }
    // The header table itself (shared, not copied).
    const VxMutableDictionaryPtr& defaultHeadersDictionary() const { return defaultHeaders_; }
    void setDefaultHeadersDictionary(const VxMutableDictionaryPtr& headers) {
        defaultHeaders_ = headers;
    }

    // --- String encoding. Supported: 4 UTF-8 (default), 1 ASCII, 5 ISO Latin 1.
    // setStringEncoding with any other number changes nothing (both numberings
    // keep the encoding they had).
    std::uint64_t strEncoding() const { return strEncoding_; }
    std::uint32_t cfStrEncoding() const { return cfStrEncoding_; }
    std::uint64_t stringEncoding() const { return strEncoding_; }
    void setStringEncoding(std::uint64_t encoding);
    // The IANA character-set name of an encoding number ("utf-8", "us-ascii",
    // "iso-8859-1"); nothing for an unsupported one.
    static VxStringPtr IANACharSetNameOfEncoding(std::uint64_t strEncoding);

    // --- Header table.
    // An immutable copy of the header table.
    VxDictionaryPtr defaultRequestHeaders() const;
    // Nothing happens for an absent or empty field name. A non-empty value is
    // stored under the name; an absent or empty value removes the field.
    void setDefaultValue(const VxStringPtr& value, const VxStringPtr& forHTTPHeaderField);
    VxStringPtr userAgent() const;
    // ASCII text is stored unchanged; other text is transliterated to ASCII
    // (Latin script, accents removed, anything left outside ASCII dropped). An
    // absent or empty text, or a failed transliteration, removes "User-Agent".
    void setUserAgent(const VxStringPtr& userAgent);

    // The path becomes the base URL, always ending in "/". Unusable text, or a
    // text that does not make a URL, changes nothing.
    void setBaseURLPath(const VxStringPtr& path);

    // True exactly for GET, HEAD and DELETE (in any case).
    bool methodsWithParametersInURI(const VxStringPtr& method) const;

    // --- Request building. Each returns a new request or nothing, and writes the
    // error out-argument when one is given (nothing on success).
    VxMutableURLRequestPtr requestWithMethod(const VxStringPtr& method,
                                             const VxStringPtr& forURLString,
                                             const Id& uriParameters, bool hasFormData,
                                             VxErrorPtr* error = nullptr) const;
    VxMutableURLRequestPtr requestWithMethod(const VxStringPtr& method,
                                             const VxStringPtr& forURLString,
                                             const Id& uriParameters, const Id& jsonBody,
                                             VxErrorPtr* error = nullptr) const;
    VxMutableURLRequestPtr requestWithMethod(const VxStringPtr& method, const VxURLPtr& forURL,
                                             const Id& uriParameters, bool hasFormData,
                                             VxErrorPtr* error = nullptr) const;
    VxMutableURLRequestPtr requestWithMethod(const VxStringPtr& method, const VxURLPtr& forURL,
                                             const Id& uriParameters, const Id& jsonBody,
                                             VxErrorPtr* error = nullptr) const;

    // The built-in query encoder: "key=value" pairs in the table's enumeration
    // order joined with "&"; a pair with an empty value is the bare key. Nothing
    // for an absent or null table, when no pair is written, or when a key or
    // value cannot be expressed in the string encoding (the request builders
    // then fail with -1001).
    VxStringPtr queryStringFromParameters(const Id& parameters) const;

    // Serializes the object with jsonWritingOptions into the request's body.
    bool setRequestBody(const VxMutableURLRequestPtr& request, const Id& withJSONObject,
                        VxErrorPtr* error = nullptr) const;

    // --- Authorization headers (each changes only the header table).
    // "Basic <base64 of user:password>" under "Authorization"; nothing happens
    // when either text is absent or empty or the encoding fails.
    void setBasicAuthForUsername(const VxStringPtr& user, const VxStringPtr& andPassword);
    // "Token token=\"<token>\"" under "Authorization"; nothing for no token.
    void setAuthHeaderWithToken(const VxStringPtr& token);
    // "Negotiate <token>" under "Authorization"; nothing for no token.
    void setAuthHeaderForSPNEGO(const VxStringPtr& token);
    // The text under "cookie"; an absent or empty text removes it.
    void setAuthHeaderWithCookie(const VxStringPtr& cookie);
    // Removes "Authorization".
    void clearAuthHeader();

    // --- Upload requests (not for GET, HEAD or DELETE).
    // Streams the local file as the raw body: "Content-Type" is
    // "application/octet-stream", "Content-Length" the file's size, which also
    // goes to *outLength. The file must pass NUCRestKit::canUploadFileAtURL.
    VxMutableURLRequestPtr requestUploadWithMethod(
        const VxStringPtr& method, const VxStringPtr& forURLString, const Id& uriParameters,
        const VxURLPtr& uploadFileURL, std::uint64_t* outLength, VxErrorPtr* error = nullptr) const;
    VxMutableURLRequestPtr requestUploadWithMethod(const VxStringPtr& method,
                                                   const VxURLPtr& forURL, const Id& uriParameters,
                                                   const VxURLPtr& uploadFileURL,
                                                   std::uint64_t* outLength,
                                                   VxErrorPtr* error = nullptr) const;
    // Sends the bytes as the body; "Content-Type" only from the header table.
    VxMutableURLRequestPtr requestUploadWithMethod(const VxStringPtr& method,
                                                   const VxStringPtr& forURLString,
                                                   const Id& uriParameters,
                                                   const VxDataPtr& dataBody,
                                                   VxErrorPtr* error = nullptr) const;
    VxMutableURLRequestPtr requestUploadWithMethod(const VxStringPtr& method,
                                                   const VxURLPtr& forURL, const Id& uriParameters,
                                                   const VxDataPtr& dataBody,
                                                   VxErrorPtr* error = nullptr) const;

    // --- Keyed archiving of the settings (not the query-string block; the
    // timeout in whole seconds).
    void encodeWithCoder(VxKeyedArchiver& coder) const override;
    bool initWithCoder(VxKeyedUnarchiver& coder) override;
    bool supportsSecureCoding() const override { return true; }

    // A new generator of the same class (made by its plain initialiser) with
    // every setting of this one and its own copy of the header table.
    Id copyWithZone(void* zone = nullptr) const override;
    NUCURLRequestGeneratorPtr copyGenerator() const;

  protected:
    // A generator without a header table, for copyWithZone to fill in.
    struct ForCopy {};
    explicit NUCURLRequestGenerator(ForCopy);

    // The URL-string forms: resolve the path against baseURL.
    VxURLPtr resolveURLString(const VxStringPtr& urlString, VxErrorPtr* error) const;
    // Percent-escapes text encoded in cfStrEncoding; nothing when the text cannot
    // be expressed in that encoding.
    std::optional<std::string> escapeForQuery(std::string_view text, bool keepBrackets) const;
    // The text in strEncoding; nothing when it cannot be expressed in it.
    VxDataPtr encodeBody(std::string_view text) const;
    // queryStringFromParameters, telling apart "no pairs" (nothing) from a key
    // or value the encoding cannot express (nothing, *unexpressible true).
    VxStringPtr encodeQuery(const Id& parameters, bool* unexpressible) const;

    bool allowsCellularAccess_ = true;
    std::uint64_t cachePolicy_ = VxURLRequestUseProtocolCachePolicy;
    bool shouldHandleCookies_ = true;
    bool shouldUsePipelining_ = false;
    std::uint64_t networkServiceType_ = VxURLNetworkServiceTypeDefault;
    double timeoutInterval_ = 60.0;
    NUCQueryStringBlock queryStringBlock_;
    VxURLPtr baseURL_;
    std::uint64_t jsonWritingOptions_ = 0;
    VxMutableDictionaryPtr defaultHeaders_;
    std::uint64_t strEncoding_ = NUCStringEncodingUTF8;
    std::uint32_t cfStrEncoding_ = NUCCFStringEncodingUTF8;
};
