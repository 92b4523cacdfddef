#include "requests/NUCRestResponse.h"

#include "platform/foundation/VxFormat.h"

const char* const NUCRestResponseErrorDomain = "NUCRestResponseErrorDomain";

// Not created by name: a response only exists for an HTTP response.
VX_DEFINE_CLASS(NUCRestResponse, VxObject, {});

namespace {

VxErrorPtr classifyStatus(std::int64_t status) {
    if (status >= 200 && status <= 399) return nullptr;
    std::string reason = VxHTTPURLResponse::localizedStringForStatusCode(status);
    if (reason.empty()) reason = "Connection failed";
    const char* domain = NUCRestResponseErrorDomain;
    std::int64_t code = 0;
    std::string description;
    switch (status) {
        case 400:
            code = NUCRestResponseErrorBadRequest;
            description = "Bad Request";
            break;
        case 401:
            code = NUCRestResponseErrorAuthentication;
            description = "Authentication Error";
            break;
        case 403:
            code = NUCRestResponseErrorNotAllowed;
            description = "Operation Not Allowed";
            break;
        case 404:
            code = NUCRestResponseErrorNotAvailable;
            description = "Resource Not Available";
            break;
        case 409:
            code = NUCRestResponseErrorBadRequest;
            description = "Invalid Request";
            break;
        case 503:
            code = NUCRestResponseErrorServiceUnavailable;
            description = "Diagnostics Service Not Available";
            break;
        default:
            domain = VxURLErrorDomain;
            code = VxURLErrorBadServerResponse;
            description = vx::format("Status code: %ld", status);
            break;
    }
    return VxError::errorWithDomain(domain, code, description, reason);
}

}  // namespace

NUCRestResponsePtr NUCRestResponse::initWithResponse(const Id& response) {
    auto http = vx_cast<VxHTTPURLResponse>(response);
    if (!http) return nullptr;
    auto result = std::make_shared<NUCRestResponse>();
    result->setResponseHeaders(http->allHeaderFields());
    result->setStatusCode(http->statusCode());
    result->setError(classifyStatus(http->statusCode()));
    return result;
}

VxErrorPtr NUCRestResponse::errorForStatusCode(std::int64_t statusCode) {
    return classifyStatus(statusCode);
}

VxDictionaryPtr NUCRestResponse::responseHeaders() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return responseHeaders_;
}

void NUCRestResponse::setResponseHeaders(const VxDictionaryPtr& headers) {
    VxDictionaryPtr copy =
        headers ? std::static_pointer_cast<VxDictionary>(headers->copy()) : nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    responseHeaders_ = std::move(copy);
}

std::int64_t NUCRestResponse::statusCode() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return statusCode_;
}

void NUCRestResponse::setStatusCode(std::int64_t statusCode) {
    std::lock_guard<std::mutex> lock(mutex_);
    statusCode_ = statusCode;
}

VxErrorPtr NUCRestResponse::error() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

void NUCRestResponse::setError(const VxErrorPtr& error) {
    VxErrorPtr copy = error ? std::static_pointer_cast<VxError>(error->copy()) : nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    error_ = std::move(copy);
}

bool NUCRestResponse::isStatusOK() const {
    return error() == nullptr;
}

std::string NUCRestResponse::description() const {
    return vx::format("response headers: %@,\nHTTP status code: %ld,\n", responseHeaders(),
                      statusCode());
}
