#include "requests/NUCURLRequestGenerator.h"

#include <mutex>
#include <string>

#include "platform/foundation/VxFormat.h"
#include "platform/foundation/VxJSON.h"
#include "platform/linux/VxSystem.h"
#include "requests/NUCPercentEscaping.h"
#include "requests/NUCRestKit.h"

const char* const NUCURLRequestErrorDomain = "NUCURLRequestErrorDomain";

VX_DEFINE_CLASS(NUCURLRequestGenerator, VxObject, vxMakeInstance<NUCURLRequestGenerator>);

namespace {

// Class-level data, set up once per process on first use.
struct GeneratorClassData {
    std::string utf8CharSetName;
    // Bytes written as themselves in query keys and in query values.
    nuc::KeptBytes keyKept;
    nuc::KeptBytes valueKept;
};

const GeneratorClassData& classData() {
    static std::once_flag once;
    static GeneratorClassData data;
    std::call_once(once, [] {
        data.utf8CharSetName = "utf-8";
        // Characters legal in a URL that percent-escaping leaves alone by itself
        // ("[" and "]" are not among them).
        const std::string legal = "-._~:/?#@!$&'()*+,;=";
        // Left unescaped in keys even where they would otherwise be escaped.
        const std::string keyUnescaped = "[].";
        // Legal characters that keys and values escape nevertheless.
        const std::string alwaysEscaped = ":/?&=;+!@#$()',*";
        std::string kept;
        for (char c : legal) {
            if (alwaysEscaped.find(c) == std::string::npos) kept.push_back(c);
        }
        data.valueKept = nuc::keptBytes(kept);
        data.keyKept = nuc::keptBytes(kept + keyUnescaped);
    });
    return data;
}

VxErrorPtr requestError(std::int64_t code, std::string_view failureReason) {
    return VxError::errorWithDomain(NUCURLRequestErrorDomain, code, "", failureReason);
}

std::nullptr_t fail(VxErrorPtr* error, std::int64_t code, std::string_view failureReason) {
    vxSetError(error, requestError(code, failureReason));
    return nullptr;
}

std::string upperASCII(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

bool isASCII(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

// UTF-8 text as ISO Latin 1 bytes; nothing when a character lies beyond U+00FF.
std::optional<std::string> utf8ToLatin1(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if ((c == 0xC2 || c == 0xC3) && i + 1 < text.size()) {
            auto c2 = static_cast<unsigned char>(text[++i]);
            out.push_back(static_cast<char>(((c & 0x03) << 6) | (c2 & 0x3F)));
        } else {
            return std::nullopt;
        }
    }
    return out;
}

}  // namespace

// The text's bytes in the encoding; nothing when the text cannot be expressed
// in it or the encoding is unknown.
std::optional<std::string> NUCEncodeText(std::string_view text, std::uint64_t encoding) {
    switch (encoding) {
        case NUCStringEncodingUTF8:
            return std::string(text);
        case NUCStringEncodingASCII:
            if (!isASCII(text)) return std::nullopt;
            return std::string(text);
        case NUCStringEncodingISOLatin1:
            return utf8ToLatin1(text);
        default:
            return std::nullopt;
    }
}

// ---------------------------------------------------------------------------
// Creation

NUCURLRequestGenerator::NUCURLRequestGenerator()
    : defaultHeaders_(VxMutableDictionary::dictionaryWithCapacity(10)) {
    classData();
    // "Accept-Language": the preferred languages in order with falling quality
    // values (1, 0.9, ... computed in single precision), ending after the entry
    // whose quality is 0.5 or less.
    std::string acceptLanguage;
    std::size_t index = 0;
    for (const std::string& language : VxPreferredLanguages()) {
        float q = 1.0f - 0.1f * static_cast<float>(index);
        if (index > 0) acceptLanguage += ", ";
        acceptLanguage += vx::format("%@;q=%0.1g", language, q);
        ++index;
        if (q <= 0.5f) break;
    }
    defaultHeaders_->setObject(vxstr(std::move(acceptLanguage)), "Accept-Language");
}

NUCURLRequestGeneratorPtr NUCURLRequestGenerator::generator() {
    return std::make_shared<NUCURLRequestGenerator>();
}

VxStringPtr NUCURLRequestGenerator::jsonContentTypeString() {
    // Texts never change once made: every request can share this one.
    static const VxStringPtr text =
        vxstr(vx::format("application/json; charset=%@", classData().utf8CharSetName));
    return text;
}

NUCURLRequestGenerator::NUCURLRequestGenerator(ForCopy) {}

Id NUCURLRequestGenerator::copyWithZone(void*) const {
    // A subclass registered with a factory gets an instance of its own class.
    // This class's own copies skip the initialiser's header table, which the
    // copy replaces anyway.
    NUCURLRequestGeneratorPtr copy;
    if (&isa() == &classObject())
        copy = std::shared_ptr<NUCURLRequestGenerator>(new NUCURLRequestGenerator(ForCopy{}));
    else
        copy = vx_cast<NUCURLRequestGenerator>(isa().createInstance());
    if (!copy) copy = std::make_shared<NUCURLRequestGenerator>();
    copy->setDefaultHeadersDictionary(
        std::static_pointer_cast<VxMutableDictionary>(defaultHeaders_->mutableCopy()));
    copy->strEncoding_ = strEncoding_;
    copy->cfStrEncoding_ = cfStrEncoding_;
    copy->setAllowsCellularAccess(allowsCellularAccess_);
    copy->setCachePolicy(cachePolicy_);
    copy->setShouldHandleCookies(shouldHandleCookies_);
    copy->setShouldUsePipelining(shouldUsePipelining_);
    copy->setNetworkServiceType(networkServiceType_);
    copy->setTimeoutInterval(timeoutInterval_);
    copy->setQueryStringBlock(queryStringBlock_);
    copy->setBaseURL(baseURL_);
    copy->setJsonWritingOptions(jsonWritingOptions_);
    return copy;
}

NUCURLRequestGeneratorPtr NUCURLRequestGenerator::copyGenerator() const {
    return std::static_pointer_cast<NUCURLRequestGenerator>(copyWithZone(nullptr));
}

// ---------------------------------------------------------------------------
// Settings

void NUCURLRequestGenerator::setStringEncoding(std::uint64_t encoding) {
    switch (encoding) {
        case NUCStringEncodingUTF8:
            cfStrEncoding_ = NUCCFStringEncodingUTF8;
            break;
        case NUCStringEncodingASCII:
            cfStrEncoding_ = NUCCFStringEncodingASCII;
            break;
        case NUCStringEncodingISOLatin1:
            cfStrEncoding_ = NUCCFStringEncodingISOLatin1;
            break;
        default:
            return;  // unsupported: keep the current encoding
    }
    strEncoding_ = encoding;
}

VxStringPtr NUCURLRequestGenerator::IANACharSetNameOfEncoding(std::uint64_t strEncoding) {
    switch (strEncoding) {
        case NUCStringEncodingUTF8:
            return vxstr(classData().utf8CharSetName);
        case NUCStringEncodingASCII:
            return vxstr("us-ascii");
        case NUCStringEncodingISOLatin1:
            return vxstr("iso-8859-1");
        default:
            return nullptr;
    }
}

VxDictionaryPtr NUCURLRequestGenerator::defaultRequestHeaders() const {
    return std::static_pointer_cast<VxDictionary>(defaultHeaders_->copy());
}

void NUCURLRequestGenerator::setDefaultValue(const VxStringPtr& value,
                                             const VxStringPtr& forHTTPHeaderField) {
    if (!forHTTPHeaderField || forHTTPHeaderField->empty()) return;
    if (value && !value->empty()) {
        defaultHeaders_->setObject(value, forHTTPHeaderField);
    } else {
        defaultHeaders_->removeObjectForKey(forHTTPHeaderField);
    }
}

VxStringPtr NUCURLRequestGenerator::userAgent() const {
    return vx_cast<VxString>(defaultHeaders_->objectForKey("User-Agent"));
}

void NUCURLRequestGenerator::setUserAgent(const VxStringPtr& userAgent) {
    static const VxStringPtr kField = vxstr("User-Agent");
    if (!userAgent || userAgent->empty()) {
        setDefaultValue(nullptr, kField);
        return;
    }
    if (isASCII(userAgent->str())) {
        setDefaultValue(userAgent, kField);
        return;
    }
    auto ascii = VxTransliterate(userAgent->str(), "Any-Latin; Latin-ASCII; [:^ASCII:] Remove");
    setDefaultValue(ascii ? vxstr(std::move(*ascii)) : nullptr, kField);
}

void NUCURLRequestGenerator::setBaseURLPath(const VxStringPtr& path) {
    if (!path || path->empty()) return;
    VxURLPtr url = NUCRestKit::createURLForPathStr(path, VxURLPtr());
    if (!url) return;
    if (path->str().back() != '/') url = url->URLByAppendingPathComponent("");
    if (url) baseURL_ = url;
}

bool NUCURLRequestGenerator::methodsWithParametersInURI(const VxStringPtr& method) const {
    if (!method || method->empty()) return false;
    const std::string upper = upperASCII(method->str());
    return upper == "GET" || upper == "HEAD" || upper == "DELETE";
}

// ---------------------------------------------------------------------------
// Request building

VxURLPtr NUCURLRequestGenerator::resolveURLString(const VxStringPtr& urlString,
                                                  VxErrorPtr* error) const {
    if (!urlString || urlString->empty()) {
        return fail(error, NUCURLRequestErrorBadInput, "urlStr was empty");
    }
    VxURLPtr url = NUCRestKit::createURLForPathStr(urlString, baseURL_);
    if (!url)
        return fail(error, NUCURLRequestErrorObjectCreation, "Could not create VxURL for request");
    return url;
}

VxMutableURLRequestPtr NUCURLRequestGenerator::requestWithMethod(const VxStringPtr& method,
                                                                 const VxStringPtr& forURLString,
                                                                 const Id& uriParameters,
                                                                 bool hasFormData,
                                                                 VxErrorPtr* error) const {
    VxURLPtr url = resolveURLString(forURLString, error);
    if (!url) return nullptr;
    return requestWithMethod(method, url, uriParameters, hasFormData, error);
}

VxMutableURLRequestPtr NUCURLRequestGenerator::requestWithMethod(const VxStringPtr& method,
                                                                 const VxStringPtr& forURLString,
                                                                 const Id& uriParameters,
                                                                 const Id& jsonBody,
                                                                 VxErrorPtr* error) const {
    VxURLPtr url = resolveURLString(forURLString, error);
    if (!url) return nullptr;
    return requestWithMethod(method, url, uriParameters, jsonBody, error);
}

VxMutableURLRequestPtr NUCURLRequestGenerator::requestWithMethod(const VxStringPtr& method,
                                                                 const VxURLPtr& forURL,
                                                                 const Id& uriParameters,
                                                                 bool hasFormData,
                                                                 VxErrorPtr* error) const {
    if (!method || method->empty() || !forURL) {
        return fail(error, NUCURLRequestErrorBadInput, "method or url were nil");
    }
    auto request = VxMutableURLRequest::requestWithURL(forURL);
    if (!request) {
        return fail(error, NUCURLRequestErrorObjectCreation,
                    "Could not create VxMutableURLRequest");
    }
    request->setHTTPMethod(upperASCII(method->str()));
    request->setAllowsCellularAccess(allowsCellularAccess_);
    request->setCachePolicy(cachePolicy_);
    request->setHTTPShouldHandleCookies(shouldHandleCookies_);
    request->setHTTPShouldUsePipelining(shouldUsePipelining_);
    request->setNetworkServiceType(networkServiceType_);
    request->setTimeoutInterval(timeoutInterval_);

    // Default headers never override a header the request already carries.
    defaultHeaders_->enumerateKeysAndObjects([&](const Id& key, const Id& value) {
        auto name = vx_cast<VxString>(key);
        if (!name || !value || vx::isNull(value)) return;
        if (!request->headerFields().contains(name->str())) {
            request->setValue(vx::textOf(value), name->str());
        }
    });

    if (uriParameters && !vx::isNull(uriParameters)) {
        VxStringPtr query;
        VxErrorPtr queryError;
        if (queryStringBlock_) {
            query = queryStringBlock_(request, uriParameters, &queryError);
        } else {
            bool unexpressible = false;
            query = encodeQuery(uriParameters, &unexpressible);
            // Only parameters that go into the URL or a form body matter.
            const bool used =
                hasFormData || methodsWithParametersInURI(vxstr(request->HTTPMethod()));
            if (unexpressible && used) {
                return fail(error, NUCURLRequestErrorBadInput,
                            "parameters cannot be expressed in the string encoding");
            }
        }
        if (queryError) {
            vxSetError(error, queryError);
            return nullptr;
        }
        if (query && !query->empty()) {
            if (methodsWithParametersInURI(vxstr(request->HTTPMethod()))) {
                const VxURLPtr& current = request->URL();
                VxStringPtr currentQuery = current->query();
                const char* format = currentQuery && !currentQuery->empty() ? "&%@" : "?%@";
                std::string text = current->absoluteString() + vx::format(format, query);
                VxURLPtr withQuery = VxURL::URLWithString(text);
                if (!withQuery) {
                    return fail(error, NUCURLRequestErrorObjectCreation,
                                "Could not create VxURL for request");
                }
                request->setURL(withQuery);
            } else if (hasFormData) {
                VxDataPtr body = encodeBody(query->str());
                if (!body) {
                    return fail(error, NUCURLRequestErrorBadInput,
                                "parameters cannot be expressed in the string encoding");
                }
                if (!request->headerFields().contains("Content-Type")) {
                    request->setValue(vx::format("application/x-www-form-urlencoded; charset=%@",
                                                 IANACharSetNameOfEncoding(strEncoding_)),
                                      "Content-Type");
                }
                request->setHTTPBody(body);
            }
            // A body method without form data does not use the parameters.
        }
    }
    vxSetError(error, nullptr);
    // The caller gets a request no one else holds. Only a query-string block
    // saw this one and may have kept it; otherwise it is that request already.
    if (!queryStringBlock_) return request;
    return std::static_pointer_cast<VxMutableURLRequest>(request->mutableCopy());
}

VxMutableURLRequestPtr NUCURLRequestGenerator::requestWithMethod(const VxStringPtr& method,
                                                                 const VxURLPtr& forURL,
                                                                 const Id& uriParameters,
                                                                 const Id& jsonBody,
                                                                 VxErrorPtr* error) const {
    if (!jsonBody || !method || method->empty() || !forURL) {
        return fail(error, NUCURLRequestErrorBadInput,
                    "jsonObject, method, or url were nil or empty");
    }
    if (methodsWithParametersInURI(method)) {
        return fail(error, NUCURLRequestErrorBadInput, "HTTPMethod is not valid for this API");
    }
    VxErrorPtr buildError;
    VxMutableURLRequestPtr request =
        requestWithMethod(method, forURL, uriParameters, false, &buildError);
    if (!request) {
        vxSetError(error, buildError);
        return nullptr;
    }
    if (!setRequestBody(request, jsonBody, &buildError)) {
        if (!buildError) {
            buildError = VxError::errorWithDomain(NUCURLRequestErrorDomain,
                                                  NUCURLRequestErrorJSONSerialization,
                                                  "JSON serialization produced no data", "");
        }
        vxSetError(error, buildError);
        return nullptr;
    }
    request->setValue(jsonContentTypeString(), "Content-Type");
    vxSetError(error, nullptr);
    return request;
}

bool NUCURLRequestGenerator::setRequestBody(const VxMutableURLRequestPtr& request,
                                            const Id& withJSONObject, VxErrorPtr* error) const {
    vxSetError(error, nullptr);
    if (!withJSONObject) return false;
    VxErrorPtr serializerError;
    VxDataPtr data = VxJSONSerialization::dataWithJSONObject(withJSONObject, jsonWritingOptions_,
                                                             &serializerError);
    if (serializerError) {
        if (serializerError->domain() == VxInvalidArgumentException) {
            // An object that JSON cannot express: the explanation becomes the
            // description of the request kit's own error.
            VxStringPtr reason = serializerError->localizedFailureReason();
            std::string text = reason && !reason->empty() ? reason->str()
                                                          : serializerError->localizedDescription();
            vxSetError(error,
                       VxError::errorWithDomain(NUCURLRequestErrorDomain,
                                                NUCURLRequestErrorJSONSerialization, text, ""));
        } else {
            vxSetError(error, std::static_pointer_cast<VxError>(serializerError->copy()));
        }
        return false;
    }
    if (!data || !request) return false;
    request->setHTTPBody(data);
    return true;
}

// ---------------------------------------------------------------------------
// Query encoding

std::optional<std::string> NUCURLRequestGenerator::escapeForQuery(std::string_view text,
                                                                  bool keepBrackets) const {
    const GeneratorClassData& data = classData();
    const nuc::KeptBytes& kept = keepBrackets ? data.keyKept : data.valueKept;
    std::string out;
    if (strEncoding_ == NUCStringEncodingUTF8) {
        out.reserve(text.size() + 8);
        nuc::appendPercentEscaped(out, text, kept);
        return out;
    }
    auto bytes = NUCEncodeText(text, strEncoding_);
    if (!bytes) return std::nullopt;
    nuc::appendPercentEscaped(out, *bytes, kept);
    return out;
}

VxDataPtr NUCURLRequestGenerator::encodeBody(std::string_view text) const {
    auto bytes = NUCEncodeText(text, strEncoding_);
    if (!bytes) return nullptr;
    return VxData::dataWithString(*bytes);
}

VxStringPtr NUCURLRequestGenerator::queryStringFromParameters(const Id& parameters) const {
    bool unexpressible = false;
    return encodeQuery(parameters, &unexpressible);
}

VxStringPtr NUCURLRequestGenerator::encodeQuery(const Id& parameters, bool* unexpressible) const {
    *unexpressible = false;
    auto table = vx_cast<VxDictionary>(parameters);
    if (!table || table->empty()) return nullptr;
    std::string out;
    table->enumerateKeysAndObjects([&](const Id& key, const Id& value) {
        if (*unexpressible) return;
        auto escapedKey = escapeForQuery(vx::textOf(key), true);
        std::optional<std::string> escapedValue;
        if (value && !vx::isNull(value)) escapedValue = escapeForQuery(vx::textOf(value), false);
        if (!escapedKey || (value && !vx::isNull(value) && !escapedValue)) {
            *unexpressible = true;
            return;
        }
        if (escapedKey->empty()) return;  // empty key: the pair is skipped
        if (!out.empty()) out.push_back('&');
        out += *escapedKey;
        if (escapedValue && !escapedValue->empty()) out += "=" + *escapedValue;
    });
    if (*unexpressible || out.empty()) return nullptr;
    return vxstr(std::move(out));
}

// ---------------------------------------------------------------------------
// Authorization headers

void NUCURLRequestGenerator::setBasicAuthForUsername(const VxStringPtr& user,
                                                     const VxStringPtr& andPassword) {
    VxStringPtr value = nuc::basicAuthorizationValue(user, andPassword);
    if (value) setDefaultValue(value, vxstr("Authorization"));
}

void NUCURLRequestGenerator::setAuthHeaderWithToken(const VxStringPtr& token) {
    if (!token || token->empty()) return;
    setDefaultValue(vxstr(vx::format("Token token=\"%@\"", token)), vxstr("Authorization"));
}

void NUCURLRequestGenerator::setAuthHeaderForSPNEGO(const VxStringPtr& token) {
    if (!token || token->empty()) return;
    setDefaultValue(vxstr(vx::format("Negotiate %@", token)), vxstr("Authorization"));
}

void NUCURLRequestGenerator::setAuthHeaderWithCookie(const VxStringPtr& cookie) {
    setDefaultValue(cookie, vxstr("cookie"));
}

void NUCURLRequestGenerator::clearAuthHeader() {
    defaultHeaders_->removeObjectForKey("Authorization");
}

// ---------------------------------------------------------------------------
// Upload requests

VxMutableURLRequestPtr NUCURLRequestGenerator::requestUploadWithMethod(
    const VxStringPtr& method, const VxStringPtr& forURLString, const Id& uriParameters,
    const VxURLPtr& uploadFileURL, std::uint64_t* outLength, VxErrorPtr* error) const {
    VxURLPtr url = resolveURLString(forURLString, error);
    if (!url) return nullptr;
    return requestUploadWithMethod(method, url, uriParameters, uploadFileURL, outLength, error);
}

VxMutableURLRequestPtr NUCURLRequestGenerator::requestUploadWithMethod(
    const VxStringPtr& method, const VxURLPtr& forURL, const Id& uriParameters,
    const VxURLPtr& uploadFileURL, std::uint64_t* outLength, VxErrorPtr* error) const {
    if (!uploadFileURL || !method || method->empty() || !forURL) {
        return fail(error, NUCURLRequestErrorBadInput, "fileURL, method, or url were nil or empty");
    }
    if (methodsWithParametersInURI(method)) {
        return fail(error, NUCURLRequestErrorBadInput, "HTTPMethod is not valid for this API");
    }
    std::uint64_t length = 0;
    VxErrorPtr buildError;
    if (!NUCRestKit::canUploadFileAtURL(uploadFileURL, &length, &buildError)) {
        vxSetError(error, buildError);
        return nullptr;
    }
    VxInputStreamPtr stream = VxInputStream::inputStreamWithURL(uploadFileURL);
    if (!stream) {
        return fail(error, NUCURLRequestErrorObjectCreation,
                    "Could not create VxInputStream for request");
    }
    VxMutableURLRequestPtr request =
        requestWithMethod(method, forURL, uriParameters, false, &buildError);
    if (!request) {
        vxSetError(error, buildError);
        return nullptr;
    }
    request->setValue("application/octet-stream", "Content-Type");
    request->setHTTPBodyStream(stream);
    request->setValue(vx::format("%llu", length), "Content-Length");
    if (outLength) *outLength = length;
    vxSetError(error, nullptr);
    return std::static_pointer_cast<VxMutableURLRequest>(request->mutableCopy());
}

VxMutableURLRequestPtr NUCURLRequestGenerator::requestUploadWithMethod(
    const VxStringPtr& method, const VxStringPtr& forURLString, const Id& uriParameters,
    const VxDataPtr& dataBody, VxErrorPtr* error) const {
    VxURLPtr url = resolveURLString(forURLString, error);
    if (!url) return nullptr;
    return requestUploadWithMethod(method, url, uriParameters, dataBody, error);
}

VxMutableURLRequestPtr NUCURLRequestGenerator::requestUploadWithMethod(const VxStringPtr& method,
                                                                       const VxURLPtr& forURL,
                                                                       const Id& uriParameters,
                                                                       const VxDataPtr& dataBody,
                                                                       VxErrorPtr* error) const {
    if (!dataBody || dataBody->length() == 0 || !method || method->empty() || !forURL) {
        return fail(error, NUCURLRequestErrorBadInput, "data, method, or url were nil or empty");
    }
    if (methodsWithParametersInURI(method)) {
        return fail(error, NUCURLRequestErrorBadInput, "HTTPMethod is not valid for this API");
    }
    VxErrorPtr buildError;
    VxMutableURLRequestPtr request =
        requestWithMethod(method, forURL, uriParameters, false, &buildError);
    if (!request) {
        vxSetError(error, buildError);
        return nullptr;
    }
    request->setHTTPBody(dataBody);
    vxSetError(error, nullptr);
    return std::static_pointer_cast<VxMutableURLRequest>(request->mutableCopy());
}

// ---------------------------------------------------------------------------
// Keyed archiving

void NUCURLRequestGenerator::encodeWithCoder(VxKeyedArchiver& coder) const {
    coder.encodeObject(defaultHeaders_, "DefaultRequestHeadersKey");
    coder.encodeInt64(static_cast<std::int64_t>(strEncoding_), "StringEncodingKey");
    coder.encodeBool(allowsCellularAccess_, "AllowsCellularAccessKey");
    coder.encodeInt64(static_cast<std::int64_t>(cachePolicy_), "CachePolicyKey");
    coder.encodeBool(shouldHandleCookies_, "ShouldHandleCookiesKey");
    coder.encodeBool(shouldUsePipelining_, "ShouldUsePipeliningKey");
    coder.encodeInt64(static_cast<std::int64_t>(networkServiceType_), "NetworkServiceTypeKey");
    // Whole seconds, the fraction cut off; out-of-range values saturate rather
    // than overflow the conversion.
    std::int64_t seconds = 0;
    if (timeoutInterval_ >= 9.2e18) {
        seconds = INT64_MAX;
    } else if (timeoutInterval_ <= -9.2e18) {
        seconds = INT64_MIN;
    } else if (timeoutInterval_ == timeoutInterval_) {  // not a NaN
        seconds = static_cast<std::int64_t>(timeoutInterval_);
    }
    coder.encodeInt64(seconds, "TimeoutIntervalKey");
    coder.encodeObject(baseURL_, "BaseURLKey");
    coder.encodeInt64(static_cast<std::int64_t>(jsonWritingOptions_), "JSONWritingOptionsKey");
}

bool NUCURLRequestGenerator::initWithCoder(VxKeyedUnarchiver& coder) {
    // The instance already carries the defaults of init; the archive replaces them.
    auto headers = vx_cast<VxDictionary>(
        coder.decodeObjectOfClass(VxDictionary::classObject(), "DefaultRequestHeadersKey"));
    // A table without entries stands in for a missing one, so that the header
    // setters keep working on the decoded generator.
    defaultHeaders_ = headers
                          ? std::static_pointer_cast<VxMutableDictionary>(headers->mutableCopy())
                          : VxMutableDictionary::dictionaryWithCapacity(10);
    setStringEncoding(static_cast<std::uint64_t>(coder.decodeInt64ForKey("StringEncodingKey")));
    allowsCellularAccess_ = coder.decodeBoolForKey("AllowsCellularAccessKey");
    cachePolicy_ = static_cast<std::uint64_t>(coder.decodeInt64ForKey("CachePolicyKey"));
    shouldHandleCookies_ = coder.decodeBoolForKey("ShouldHandleCookiesKey");
    shouldUsePipelining_ = coder.decodeBoolForKey("ShouldUsePipeliningKey");
    networkServiceType_ =
        static_cast<std::uint64_t>(coder.decodeInt64ForKey("NetworkServiceTypeKey"));
    timeoutInterval_ = static_cast<double>(coder.decodeInt64ForKey("TimeoutIntervalKey"));
    baseURL_ = vx_cast<VxURL>(coder.decodeObjectOfClass(VxURL::classObject(), "BaseURLKey"));
    jsonWritingOptions_ =
        static_cast<std::uint64_t>(coder.decodeInt64ForKey("JSONWritingOptionsKey"));
    // A value of the wrong kind under any key refuses the archive.
    return coder.error() == nullptr;
}
