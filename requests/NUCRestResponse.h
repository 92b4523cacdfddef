#pragma once
// Wraps the HTTP response of one exchange: keeps its status code and header
// fields and classifies the status into success (200-399) or an error record
// with a fixed message per status. Accessors are atomic.

#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/foundation/VxError.h"
#include "platform/foundation/VxExport.h"
#include "platform/linux/VxURLRequest.h"

DA_EXPORT extern const char* const NUCRestResponseErrorDomain;  // "NUCRestResponseErrorDomain"

// Codes of NUCRestResponseErrorDomain.
enum : std::int64_t {
    NUCRestResponseErrorAuthentication = -1019,      // 401
    NUCRestResponseErrorNotAllowed = -1021,          // 403
    NUCRestResponseErrorNotAvailable = -1022,        // 404
    NUCRestResponseErrorBadRequest = -1023,          // 400 and 409
    NUCRestResponseErrorServiceUnavailable = -1024,  // 503
};

class NUCRestResponse;
using NUCRestResponsePtr = std::shared_ptr<NUCRestResponse>;

class DA_EXPORT NUCRestResponse : public VxObject {
    VX_DECLARE_CLASS(NUCRestResponse)
  public:
    // An empty response (no headers, status 0, no error); use initWithResponse.
    NUCRestResponse() = default;

    // A new response for an HTTP response; nothing when the argument is absent,
    // the null marker or not an HTTP response.
    static NUCRestResponsePtr initWithResponse(const Id& response);
    // Without a response there is nothing to wrap: always nothing.
    static NUCRestResponsePtr init() { return initWithResponse(nullptr); }
    // The error a response of this status carries: nothing for 200-399.
    static VxErrorPtr errorForStatusCode(std::int64_t statusCode);

    VxDictionaryPtr responseHeaders() const;
    void setResponseHeaders(const VxDictionaryPtr& headers);  // keeps its own copy
    std::int64_t statusCode() const;
    void setStatusCode(std::int64_t statusCode);
    VxErrorPtr error() const;
    void setError(const VxErrorPtr& error);  // keeps its own copy

    // True when there is no error.
    bool isStatusOK() const;

    // "response headers: %@,\nHTTP status code: %ld,\n"
    std::string description() const override;

  private:
    mutable std::mutex mutex_;
    VxDictionaryPtr responseHeaders_;
    std::int64_t statusCode_ = 0;
    VxErrorPtr error_;
};
