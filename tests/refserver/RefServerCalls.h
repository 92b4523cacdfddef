#pragma once
// The calls the reference server's own tests make over loopback.

#include <string>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "support/ReferenceServer.h"

namespace refserver {

using json = nlohmann::json;

constexpr const char* kBase = "/kelo/v1.01/";
constexpr const char* kSessionPath = "/kelo/v1.01/session";
constexpr const char* kIdentifier = "0123ABCD-GHI-4567-ABC-89AB-JKL-CDEF-DEF-0123456789AB";

inline std::string sessionBody(const std::string& identifier = kIdentifier) {
    return json{{"identifier", identifier}, {"platform", "handheld"}, {"appVersion", "1.0"}}.dump();
}

inline httplib::Client client(const da::test::ReferenceServer& server) {
    httplib::Client c("127.0.0.1", server.port());
    c.set_connection_timeout(5, 0);
    c.set_read_timeout(10, 0);
    return c;
}

inline httplib::Result post(httplib::Client& c, const std::string& body = sessionBody()) {
    return c.Post(kSessionPath, body, "application/json");
}

// The reply's status and parsed body (-1 and discarded when there is no reply).
inline int statusOf(const httplib::Result& r) {
    return r ? r->status : -1;
}
inline json jsonOf(const httplib::Result& r) {
    return r ? json::parse(r->body, nullptr, false) : json(json::value_t::discarded);
}
inline json session(httplib::Client& c) {
    return jsonOf(post(c));
}

// An upload of `body` to kBase + `path` in session S-0001, with the digest and
// the size header (the body's own size unless given).
inline httplib::Result upload(httplib::Client& c, const std::string& path, const std::string& body,
                              const std::string& md5, std::string size = "") {
    if (size.empty()) size = std::to_string(body.size());
    return c.Post(std::string(kBase) + path,
                  {{"Diagnostic-Session-ID", "S-0001"},
                   {"Diagnostic-Device-ID", "dev-1"},
                   {"ZET-file-sequence", "1"},
                   {"ZET-total-files", "1"},
                   {"ZET-file-MD5", md5},
                   {"ZET-file-size", size}},
                  body, "application/octet-stream");
}

}  // namespace refserver
