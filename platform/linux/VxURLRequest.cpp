#include "platform/linux/VxURLRequest.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/foundation/VxFormat.h"

const char* const VxURLErrorDomain = "VxURLErrorDomain";

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

std::string pointerText(const void* p) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", p);
    return buf;
}

}  // namespace

// ---------------------------------------------------------------------------
// VxHTTPHeaderFields

const std::string* VxHTTPHeaderFields::find(std::string_view name) const {
    for (const auto& [key, value] : entries_) {
        if (equalsIgnoringCase(key, name)) return &value;
    }
    return nullptr;
}

void VxHTTPHeaderFields::set(std::string_view name, std::string value) {
    for (auto& entry : entries_) {
        if (equalsIgnoringCase(entry.first, name)) {
            entry.second = std::move(value);
            return;
        }
    }
    entries_.emplace_back(std::string(name), std::move(value));
}

void VxHTTPHeaderFields::add(std::string_view name, std::string_view value) {
    for (auto& entry : entries_) {
        if (equalsIgnoringCase(entry.first, name)) {
            entry.second.append(", ");
            entry.second.append(value);
            return;
        }
    }
    entries_.emplace_back(std::string(name), std::string(value));
}

void VxHTTPHeaderFields::remove(std::string_view name) {
    entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                  [&](const auto& e) { return equalsIgnoringCase(e.first, name); }),
                   entries_.end());
}

VxDictionaryPtr VxHTTPHeaderFields::dictionary() const {
    auto dict = VxMutableDictionary::dictionaryWithCapacity(entries_.size());
    for (const auto& [key, value] : entries_) dict->setObject(vxstr(value), key);
    return std::static_pointer_cast<VxDictionary>(dict->copy());
}

bool VxHTTPHeaderFields::operator==(const VxHTTPHeaderFields& other) const {
    if (entries_.size() != other.entries_.size()) return false;
    for (const auto& [key, value] : entries_) {
        const std::string* theirs = other.find(key);
        if (!theirs || *theirs != value) return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// VxURLRequest

VX_DEFINE_CLASS(VxURLRequest, VxObject, vxMakeInstance<VxURLRequest>);
VX_DEFINE_CLASS(VxMutableURLRequest, VxURLRequest, vxMakeInstance<VxMutableURLRequest>);

VxURLRequestPtr VxURLRequest::requestWithURL(const VxURLPtr& url) {
    auto request = std::make_shared<VxURLRequest>();
    request->url_ = url;
    return request;
}

VxStringPtr VxURLRequest::valueForHTTPHeaderField(std::string_view field) const {
    const std::string* value = headers_.find(field);
    return value ? vxstr(*value) : nullptr;
}

bool VxURLRequest::isEqual(const VxObject& other) const {
    if (this == &other) return true;
    const auto* o = dynamic_cast<const VxURLRequest*>(&other);
    if (!o) return false;
    return vxEqual(url_, o->url_) && method_ == o->method_ && headers_ == o->headers_ &&
           vxEqual(body_, o->body_) && bodyStream_ == o->bodyStream_ &&
           cachePolicy_ == o->cachePolicy_ && timeout_ == o->timeout_ &&
           handleCookies_ == o->handleCookies_ && pipelining_ == o->pipelining_ &&
           serviceType_ == o->serviceType_ && cellular_ == o->cellular_;
}

std::size_t VxURLRequest::hash() const {
    return url_ ? url_->hash() : std::hash<std::string>()(method_);
}

std::string VxURLRequest::description() const {
    return vx::format("<%s: %s> { URL: %@ }", className(), pointerText(this), url_);
}

void VxURLRequest::copyFieldsFrom(const VxURLRequest& other) {
    url_ = other.url_;
    method_ = other.method_;
    headers_ = other.headers_;
    // A mutable body is copied so that the two requests never share bytes that
    // one of them could still change.
    body_ = other.body_ ? std::static_pointer_cast<VxData>(other.body_->copy()) : nullptr;
    bodyStream_ = other.bodyStream_;
    cachePolicy_ = other.cachePolicy_;
    timeout_ = other.timeout_;
    handleCookies_ = other.handleCookies_;
    pipelining_ = other.pipelining_;
    serviceType_ = other.serviceType_;
    cellular_ = other.cellular_;
}

Id VxURLRequest::copyWithZone(void*) const {
    auto copy = std::make_shared<VxURLRequest>();
    copy->copyFieldsFrom(*this);
    return copy;
}

Id VxURLRequest::mutableCopyWithZone(void*) const {
    auto copy = std::make_shared<VxMutableURLRequest>();
    copy->copyFieldsFrom(*this);
    return copy;
}

// ---------------------------------------------------------------------------
// VxMutableURLRequest

VxMutableURLRequestPtr VxMutableURLRequest::requestWithURL(const VxURLPtr& url) {
    auto request = std::make_shared<VxMutableURLRequest>();
    request->url_ = url;
    return request;
}

void VxMutableURLRequest::setValue(const VxStringPtr& value, std::string_view forHTTPHeaderField) {
    if (!value) {
        headers_.remove(forHTTPHeaderField);
        return;
    }
    headers_.set(forHTTPHeaderField, value->str());
}

void VxMutableURLRequest::setValue(std::string_view value, std::string_view forHTTPHeaderField) {
    headers_.set(forHTTPHeaderField, std::string(value));
}

void VxMutableURLRequest::addValue(std::string_view value, std::string_view forHTTPHeaderField) {
    headers_.add(forHTTPHeaderField, value);
}

void VxMutableURLRequest::setAllHTTPHeaderFields(const VxDictionaryPtr& fields) {
    headers_.clear();
    if (!fields) return;
    fields->enumerateKeysAndObjects([&](const Id& key, const Id& value) {
        auto k = vx_cast<VxString>(key);
        auto v = vx_cast<VxString>(value);
        if (k && v) headers_.set(k->str(), v->str());
    });
}

void VxMutableURLRequest::setHTTPBody(const VxDataPtr& body) {
    body_ = body ? std::static_pointer_cast<VxData>(body->copy()) : nullptr;
    if (body_) bodyStream_.reset();
}

void VxMutableURLRequest::setHTTPBodyStream(const VxInputStreamPtr& stream) {
    bodyStream_ = stream;
    if (bodyStream_) body_.reset();
}

// ---------------------------------------------------------------------------
// Responses

VX_DEFINE_CLASS(VxURLResponse, VxObject, vxMakeInstance<VxURLResponse>);
VX_DEFINE_CLASS(VxHTTPURLResponse, VxURLResponse, vxMakeInstance<VxHTTPURLResponse>);

VxHTTPURLResponse::VxHTTPURLResponse(VxURLPtr url, std::int64_t statusCode,
                                     VxHTTPHeaderFields headers)
    : status_(statusCode), headers_(std::move(headers)) {
    url_ = std::move(url);
    if (const std::string* type = headers_.find("Content-Type")) {
        std::string_view t = *type;
        mime_ = std::string(t.substr(0, std::min(t.find(';'), t.size())));
        while (!mime_.empty() && mime_.back() == ' ') mime_.pop_back();
    }
    if (const std::string* length = headers_.find("Content-Length")) {
        char* end = nullptr;
        long long n = std::strtoll(length->c_str(), &end, 10);
        if (end && *end == '\0' && !length->empty() && n >= 0) length_ = n;
    }
}

VxStringPtr VxHTTPURLResponse::valueForHTTPHeaderField(std::string_view field) const {
    const std::string* value = headers_.find(field);
    return value ? vxstr(*value) : nullptr;
}

std::string VxHTTPURLResponse::localizedStringForStatusCode(std::int64_t statusCode) {
    switch (statusCode) {
        case 100:
            return "Continue";
        case 101:
            return "Switching Protocols";
        case 102:
            return "Processing";
        case 103:
            return "Early Hints";
        case 200:
            return "OK";
        case 201:
            return "Created";
        case 202:
            return "Accepted";
        case 203:
            return "Non-Authoritative Information";
        case 204:
            return "No Content";
        case 205:
            return "Reset Content";
        case 206:
            return "Partial Content";
        case 207:
            return "Multi-Status";
        case 208:
            return "Already Reported";
        case 226:
            return "IM Used";
        case 300:
            return "Multiple Choices";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 303:
            return "See Other";
        case 304:
            return "Not Modified";
        case 305:
            return "Use Proxy";
        case 307:
            return "Temporary Redirect";
        case 308:
            return "Permanent Redirect";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 402:
            return "Payment Required";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 406:
            return "Not Acceptable";
        case 407:
            return "Proxy Authentication Required";
        case 408:
            return "Request Timeout";
        case 409:
            return "Conflict";
        case 410:
            return "Gone";
        case 411:
            return "Length Required";
        case 412:
            return "Precondition Failed";
        case 413:
            return "Content Too Large";
        case 414:
            return "URI Too Long";
        case 415:
            return "Unsupported Media Type";
        case 416:
            return "Range Not Satisfiable";
        case 417:
            return "Expectation Failed";
        case 421:
            return "Misdirected Request";
        case 422:
            return "Unprocessable Content";
        case 423:
            return "Locked";
        case 424:
            return "Failed Dependency";
        case 425:
            return "Too Early";
        case 426:
            return "Upgrade Required";
        case 428:
            return "Precondition Required";
        case 429:
            return "Too Many Requests";
        case 431:
            return "Request Header Fields Too Large";
        case 451:
            return "Unavailable For Legal Reasons";
        case 500:
            return "Internal Server Error";
        case 501:
            return "Not Implemented";
        case 502:
            return "Bad Gateway";
        case 503:
            return "Service Unavailable";
        case 504:
            return "Gateway Timeout";
        case 505:
            return "HTTP Version Not Supported";
        case 506:
            return "Variant Also Negotiates";
        case 507:
            return "Insufficient Storage";
        case 508:
            return "Loop Detected";
        case 511:
            return "Network Authentication Required";
        default:
            return "";
    }
}

std::string VxHTTPURLResponse::description() const {
    return vx::format("<%s: %s> { URL: %@ } { Status Code: %lld, Headers %@ }", className(),
                      pointerText(this), url_, status_, allHeaderFields());
}
