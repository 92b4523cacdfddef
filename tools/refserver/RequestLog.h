// Thread-safe record of every protocol request the server received, in arrival
// order, for tests to inspect through the control API.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace refserver {

struct RecordedRequest {
    std::string method;
    std::string path;   // decoded path without the query
    std::string query;  // raw query text after "?", empty when none
    std::vector<std::pair<std::string, std::string>> headers;  // names as received
    std::string body;                                          // raw bytes
    std::uint64_t bodySize = 0;  // size of the whole body; body keeps its start only when larger
    std::string call;            // name of the call it matched, empty when none
};

class RequestLog {
  public:
    void add(RecordedRequest r);
    void clear();
    std::size_t size() const;

    // A JSON array with one object per request: "method", "path", "query",
    // "call", "headers" (object; repeated names joined with ", "), "body" (text,
    // invalid UTF-8 replaced) and, only when the body is not valid UTF-8,
    // "bodyBase64" with the exact bytes.
    nlohmann::ordered_json toJson() const;

  private:
    mutable std::mutex mutex_;
    std::vector<RecordedRequest> entries_;
};

std::string base64Encode(const std::string& bytes);
bool isValidUtf8(const std::string& text);

}  // namespace refserver
