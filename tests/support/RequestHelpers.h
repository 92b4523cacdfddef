#pragma once
// Small helpers shared by the request and multipart tests.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/foundation/VxError.h"
#include "platform/foundation/VxStream.h"
#include "platform/linux/VxURLRequest.h"

namespace da::test {

// The header's value, or "<none>".
inline std::string header(const VxURLRequestPtr& r, std::string_view name) {
    auto v = r ? r->valueForHTTPHeaderField(name) : nullptr;
    return v ? v->str() : "<none>";
}

// The text, or "<nothing>".
inline std::string text(const VxStringPtr& s) {
    return s ? s->str() : "<nothing>";
}

// "CODE REASON" of an error, or "<no error>".
inline std::string failure(const VxErrorPtr& e) {
    if (!e) return "<no error>";
    auto reason = e->localizedFailureReason();
    return std::to_string(e->code()) + " " + (reason ? reason->str() : "");
}

// Everything the stream gives, read in small chunks so that chunk boundaries
// are exercised.
inline std::string drain(const VxInputStreamPtr& stream, std::size_t chunk = 7) {
    std::string out;
    stream->open();
    std::uint8_t buffer[64];
    if (chunk > sizeof buffer) chunk = sizeof buffer;
    for (std::int64_t n; (n = stream->read(buffer, chunk)) > 0;)
        out.append(reinterpret_cast<char*>(buffer), std::size_t(n));
    stream->close();
    return out;
}

}  // namespace da::test
