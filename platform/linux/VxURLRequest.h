#pragma once
// The request record and the responses of the HTTP loading facility.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/foundation/VxError.h"
#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxStream.h"
#include "platform/foundation/VxValues.h"

// Cache policies (passed through unchanged by the request kit).
enum : std::uint64_t {
    VxURLRequestUseProtocolCachePolicy = 0,
    VxURLRequestReloadIgnoringLocalCacheData = 1,
    VxURLRequestReloadIgnoringLocalAndRemoteCacheData = 4,
    VxURLRequestReturnCacheDataElseLoad = 2,
    VxURLRequestReturnCacheDataDontLoad = 3,
};
enum : std::uint64_t { VxURLNetworkServiceTypeDefault = 0 };

// The HTTP loading facility's URL error domain and its codes.
DA_EXPORT extern const char* const VxURLErrorDomain;  // "VxURLErrorDomain"
enum : std::int64_t {
    VxURLErrorUnknown = -1,
    VxURLErrorCancelled = -999,
    VxURLErrorBadURL = -1000,
    VxURLErrorTimedOut = -1001,
    VxURLErrorUnsupportedURL = -1002,
    VxURLErrorCannotFindHost = -1003,
    VxURLErrorCannotConnectToHost = -1004,
    VxURLErrorNetworkConnectionLost = -1005,
    VxURLErrorBadServerResponse = -1011,
    VxURLErrorSecureConnectionFailed = -1200,
    VxURLErrorCannotCreateFile = -3000,
    VxURLErrorCannotWriteToFile = -3003,
};

class VxURLRequest;
class VxMutableURLRequest;
using VxURLRequestPtr = std::shared_ptr<VxURLRequest>;
using VxMutableURLRequestPtr = std::shared_ptr<VxMutableURLRequest>;

// Header fields: names compare without regard to case, the first spelling of a
// name is kept, and the order of first setting is the enumeration order.
class DA_EXPORT VxHTTPHeaderFields {
  public:
    // The value, or nothing.
    const std::string* find(std::string_view name) const;
    void set(std::string_view name, std::string value);
    // Appends ", value" to an existing field, or sets it.
    void add(std::string_view name, std::string_view value);
    void remove(std::string_view name);
    bool contains(std::string_view name) const { return find(name) != nullptr; }
    const std::vector<std::pair<std::string, std::string>>& entries() const { return entries_; }
    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    void clear() { entries_.clear(); }
    VxDictionaryPtr dictionary() const;  // text -> text, in order
    // Same names (without regard to case) with the same values, in any order.
    bool operator==(const VxHTTPHeaderFields& other) const;

  private:
    std::vector<std::pair<std::string, std::string>> entries_;
};

class DA_EXPORT VxURLRequest : public VxObject {
    VX_DECLARE_CLASS(VxURLRequest)
  public:
    VxURLRequest() = default;
    // Defaults: method "GET", cache policy 0, timeout 60 s, cookies handled, no
    // pipelining, default service type, cellular access allowed.
    static VxURLRequestPtr requestWithURL(const VxURLPtr& url);

    const VxURLPtr& URL() const { return url_; }
    const std::string& HTTPMethod() const { return method_; }
    VxDictionaryPtr allHTTPHeaderFields() const { return headers_.dictionary(); }
    const VxHTTPHeaderFields& headerFields() const { return headers_; }
    VxStringPtr valueForHTTPHeaderField(std::string_view field) const;
    const VxDataPtr& HTTPBody() const { return body_; }
    const VxInputStreamPtr& HTTPBodyStream() const { return bodyStream_; }
    std::uint64_t cachePolicy() const { return cachePolicy_; }
    double timeoutInterval() const { return timeout_; }
    bool HTTPShouldHandleCookies() const { return handleCookies_; }
    bool HTTPShouldUsePipelining() const { return pipelining_; }
    std::uint64_t networkServiceType() const { return serviceType_; }
    bool allowsCellularAccess() const { return cellular_; }

    bool isEqual(const VxObject& other) const override;
    std::size_t hash() const override;
    // "<VxURLRequest: 0x...> { URL: ... }"
    std::string description() const override;
    Id copyWithZone(void* zone = nullptr) const override;
    Id mutableCopyWithZone(void* zone = nullptr) const override;

  protected:
    void copyFieldsFrom(const VxURLRequest& other);
    VxURLPtr url_;
    std::string method_ = "GET";
    VxHTTPHeaderFields headers_;
    VxDataPtr body_;
    VxInputStreamPtr bodyStream_;
    std::uint64_t cachePolicy_ = VxURLRequestUseProtocolCachePolicy;
    double timeout_ = 60.0;
    bool handleCookies_ = true;
    bool pipelining_ = false;
    std::uint64_t serviceType_ = VxURLNetworkServiceTypeDefault;
    bool cellular_ = true;
};

class DA_EXPORT VxMutableURLRequest : public VxURLRequest {
    VX_DECLARE_CLASS(VxMutableURLRequest)
  public:
    VxMutableURLRequest() = default;
    static VxMutableURLRequestPtr requestWithURL(const VxURLPtr& url);

    void setURL(const VxURLPtr& url) { url_ = url; }
    void setHTTPMethod(std::string method) { method_ = std::move(method); }
    // An absent value removes the field.
    void setValue(const VxStringPtr& value, std::string_view forHTTPHeaderField);
    void setValue(std::string_view value, std::string_view forHTTPHeaderField);
    void addValue(std::string_view value, std::string_view forHTTPHeaderField);
    // Replaces every header field with the dictionary's text entries.
    void setAllHTTPHeaderFields(const VxDictionaryPtr& fields);
    // A body and a body stream exclude each other: setting one clears the other.
    void setHTTPBody(const VxDataPtr& body);
    void setHTTPBodyStream(const VxInputStreamPtr& stream);
    void setCachePolicy(std::uint64_t policy) { cachePolicy_ = policy; }
    void setTimeoutInterval(double seconds) { timeout_ = seconds; }
    void setHTTPShouldHandleCookies(bool v) { handleCookies_ = v; }
    void setHTTPShouldUsePipelining(bool v) { pipelining_ = v; }
    void setNetworkServiceType(std::uint64_t v) { serviceType_ = v; }
    void setAllowsCellularAccess(bool v) { cellular_ = v; }
};

class VxURLResponse;
class VxHTTPURLResponse;
using VxURLResponsePtr = std::shared_ptr<VxURLResponse>;
using VxHTTPURLResponsePtr = std::shared_ptr<VxHTTPURLResponse>;

// A response of any URL scheme (file responses are plain VxURLResponse).
class DA_EXPORT VxURLResponse : public VxObject {
    VX_DECLARE_CLASS(VxURLResponse)
  public:
    VxURLResponse() = default;
    VxURLResponse(VxURLPtr url, std::string mimeType, std::int64_t expectedContentLength)
        : url_(std::move(url)), mime_(std::move(mimeType)), length_(expectedContentLength) {}
    const VxURLPtr& URL() const { return url_; }
    const std::string& MIMEType() const { return mime_; }
    std::int64_t expectedContentLength() const { return length_; }

  protected:
    VxURLPtr url_;
    std::string mime_;
    std::int64_t length_ = -1;
};

class DA_EXPORT VxHTTPURLResponse : public VxURLResponse {
    VX_DECLARE_CLASS(VxHTTPURLResponse)
  public:
    VxHTTPURLResponse() = default;
    VxHTTPURLResponse(VxURLPtr url, std::int64_t statusCode, VxHTTPHeaderFields headers);
    std::int64_t statusCode() const { return status_; }
    VxDictionaryPtr allHeaderFields() const { return headers_.dictionary(); }
    const VxHTTPHeaderFields& headerFields() const { return headers_; }
    VxStringPtr valueForHTTPHeaderField(std::string_view field) const;
    // The standard reason phrase of a status ("Not Found"); "" when the status
    // has none.
    static std::string localizedStringForStatusCode(std::int64_t statusCode);
    std::string description() const override;

  private:
    std::int64_t status_ = 0;
    VxHTTPHeaderFields headers_;
};
