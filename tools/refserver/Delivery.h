// How the reference server moves large or slow bodies: reading a request body
// at a limited rate, and sending a reply padded to a given size, without a
// Content-Length, or one byte at a time. Bodies of any size are generated in
// pieces, never held whole.
#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <string>

#include <httplib.h>

#include "Knobs.h"

namespace refserver {

// Holds a reader back to at most `bytesPerSecond` (no limit when not given).
class ReadPacer {
  public:
    ReadPacer(std::optional<long long> bytesPerSecond, const std::atomic<bool>& stopping);
    // Counts `n` more bytes read and waits until the rate allows them; false
    // when the server is stopping.
    bool take(std::size_t n);

  private:
    std::optional<long long> bytesPerSecond_;
    const std::atomic<bool>& stopping_;
    std::chrono::steady_clock::time_point start_;
    long long received_ = 0;
};

// Reads the request body through `reader` into `body` (multipart parts into
// `files`), at most `bytesPerSecond` bytes a second when given. False when the
// connection failed or the server is stopping.
bool readRequestBody(const httplib::Request& req, const httplib::ContentReader& reader,
                     std::optional<long long> bytesPerSecond, const std::atomic<bool>& stopping,
                     std::string& body, httplib::MultipartFormDataMap& files);

// Sets the reply body as the knobs "replyBytes", "chunked" and "trickleMs" ask:
// padded with spaces to replyBytes, sent chunked, or trickled one byte per
// trickleMs milliseconds. A plain reply when none is set.
void setReplyBody(httplib::Response& res, std::string body, const std::string& contentType,
                  const Knobs& knobs, const std::atomic<bool>& stopping);

}  // namespace refserver
