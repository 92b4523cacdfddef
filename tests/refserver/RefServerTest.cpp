// Runs the built reference server through its fixture and checks its replies
// and control API over loopback.
#include <signal.h>

#include <chrono>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include "support/ReferenceServer.h"

using da::test::ReferenceServer;
using json = nlohmann::json;

namespace {

constexpr const char* kIdentifier = "0123ABCD-GHI-4567-ABC-89AB-JKL-CDEF-DEF-0123456789AB";

std::string sessionBody(const std::string& identifier = kIdentifier) {
    return json{{"identifier", identifier}, {"platform", "handheld"}, {"appVersion", "1.0"}}.dump();
}

httplib::Client client(const ReferenceServer& server) {
    httplib::Client c("127.0.0.1", server.port());
    c.set_connection_timeout(5, 0);
    c.set_read_timeout(10, 0);
    return c;
}

// POSTs a session call and parses the reply (null when it is not JSON).
json session(httplib::Client& c, const std::string& path = "/kelo/v1.01/session") {
    auto res = c.Post(path, sessionBody(), "application/json");
    if (!res) throw std::runtime_error("no reply: " + httplib::to_string(res.error()));
    return json::parse(res->body, nullptr, false);
}

}  // namespace

TEST(RefServer, EnvelopeForms) {
    ReferenceServer server;
    auto c = client(server);

    auto res = c.Post("/kelo/v1.01/session", sessionBody(), "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(json::parse(res->body),
              (json{{"response", "SessionSuccess"}, {"sessionId", "S-0001"}}));

    server.configure(R"({"envelope":"status"})");
    EXPECT_EQ(session(c),
              (json{{"status", {{"code", "NoError"}, {"reason", ""}}}, {"sessionId", "S-0001"}}));
    server.configure(R"({"envelope":"both","responseWord":"EnrollSuccess","statusCode":"Fail"})");
    auto both = session(c);
    EXPECT_EQ(both["response"], "EnrollSuccess");
    EXPECT_EQ(both["status"]["code"], "Fail");
    server.configure(R"({"envelope":"none"})");
    EXPECT_EQ(session(c), (json{{"sessionId", "S-0001"}}));
    server.configure(R"({"envelope":"status-empty"})");
    EXPECT_EQ(session(c)["status"], json::object());

    // Knobs merge: the status code set above stays until a reset. Per-call
    // knobs win over global ones and stay with their call.
    server.reset();
    server.configure(
        R"({"envelope":"status","responseWord":"Nope","session":{"envelope":"response"}})");
    EXPECT_EQ(session(c)["response"], "Nope");
    auto enroll = c.Post("/kelo/v1.01/enroll", R"(["A","B"])", "application/json");
    ASSERT_TRUE(enroll);
    auto e = json::parse(enroll->body);
    EXPECT_FALSE(e.contains("response"));
    EXPECT_EQ(e["status"]["code"], "NoError");
    EXPECT_EQ(e["devices"].size(), 2u);

    // Unknown knobs and bad values are refused and change nothing.
    EXPECT_THROW(server.configure(R"({"colour":"red"})"), std::runtime_error);
    EXPECT_THROW(server.configure(R"({"session":{"status":"x"}})"), std::runtime_error);
    EXPECT_THROW(server.configure("not json"), std::runtime_error);
    EXPECT_EQ(session(c)["response"], "Nope");
}

TEST(RefServer, SessionIdentifiers) {
    {
        ReferenceServer server({"--session-id", "FIXED-7"});
        auto c = client(server);
        EXPECT_EQ(session(c)["sessionId"], "FIXED-7");
        EXPECT_EQ(session(c)["sessionId"], "FIXED-7");
        server.configure(R"({"sessionId":null})");
        auto r = session(c);
        ASSERT_TRUE(r.contains("sessionId"));
        EXPECT_TRUE(r["sessionId"].is_null());
        server.configure(R"({"omitSessionId":true})");
        EXPECT_FALSE(session(c).contains("sessionId"));
        server.configure(R"({"omitSessionId":false,"freshSession":true})");
        std::set<std::string> ids;
        for (int i = 0; i < 20; ++i) {
            auto id = session(c)["sessionId"].get<std::string>();
            EXPECT_EQ(id.rfind("session-", 0), 0u) << id;
            ids.insert(id);
        }
        EXPECT_EQ(ids.size(), 20u);
    }
    ReferenceServer fresh({"--fresh-session"});
    auto c = client(fresh);
    EXPECT_NE(session(c)["sessionId"], session(c)["sessionId"]);
}

TEST(RefServer, ConcurrentCallsGetDistinctIdsAndAreAllRecorded) {
    ReferenceServer server({"--fresh-session"});
    std::vector<std::string> ids[4];
    std::vector<std::thread> threads;
    for (auto& mine : ids) {
        threads.emplace_back([&server, &mine] {
            auto c = client(server);
            for (int i = 0; i < 10; ++i) {
                auto r = c.Post("/kelo/v1.01/session", sessionBody(), "application/json");
                if (r) mine.push_back(json::parse(r->body).value("sessionId", ""));
            }
        });
    }
    for (auto& t : threads) t.join();
    std::set<std::string> unique;
    for (const auto& mine : ids) unique.insert(mine.begin(), mine.end());
    EXPECT_EQ(unique.size(), 40u);
    EXPECT_EQ(server.requests().size(), 40u);
}

TEST(RefServer, StatusAndBodyKnobs) {
    ReferenceServer server;
    auto c = client(server);
    auto post = [&] { return c.Post("/kelo/v1.01/session", sessionBody(), "application/json"); };

    server.configure(R"({"status":503})");
    auto r = post();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 503);
    EXPECT_EQ(json::parse(r->body)["response"], "SessionSuccess");

    server.configure(R"({"status":200,"body":"array"})");
    EXPECT_EQ(post()->body, "[]");
    server.configure(R"({"body":"null"})");
    EXPECT_EQ(post()->body, "null");
    server.configure(R"({"body":"invalid"})");
    EXPECT_TRUE(json::parse(post()->body, nullptr, false).is_discarded());
    server.configure(R"({"body":"empty"})");
    r = post();
    EXPECT_EQ(r->status, 200);
    EXPECT_TRUE(r->body.empty());
    server.configure(R"({"body":"raw","rawBody":"<html>oops</html>","contentType":"text/html"})");
    r = post();
    EXPECT_EQ(r->body, "<html>oops</html>");
    EXPECT_EQ(r->get_header_value("Content-Type"), "text/html");
}

TEST(RefServer, DelayAndDrop) {
    ReferenceServer server;
    auto c = client(server);
    using clock = std::chrono::steady_clock;

    server.configure(R"({"session":{"delayMs":300}})");
    auto t0 = clock::now();
    EXPECT_EQ(session(c)["sessionId"], "S-0001");
    EXPECT_GE(clock::now() - t0, std::chrono::milliseconds(300));

    // A dropped call ends the connection without any reply; the client gets an
    // error at once rather than waiting for its read timeout.
    server.configure(R"({"session":{"delayMs":0,"drop":true}})");
    t0 = clock::now();
    auto res = c.Post("/kelo/v1.01/session", sessionBody(), "application/json");
    EXPECT_FALSE(res);
    EXPECT_LT(clock::now() - t0, std::chrono::seconds(5));
    EXPECT_EQ(server.requests().size(), 2u);

    server.configure(R"({"session":{"drop":false}})");
    httplib::Client again("127.0.0.1", server.port());
    EXPECT_EQ(session(again)["response"], "SessionSuccess");
}

TEST(RefServer, RecordsRequestsAndResets) {
    ReferenceServer server({"--config", R"({"envelope":"both"})"});
    auto c = client(server);

    auto r = c.Post("/kelo/v1.01/session?x=1&y=%20", {{"X-Trace-Token", "abc"}}, sessionBody(),
                    "application/json");
    ASSERT_TRUE(r);
    r = c.Get("/kelo/v1.01/command",
              {{"Diagnostic-Device-ID", "DEV-1"}, {"Diagnostic-Session-ID", "S-0001"}});
    ASSERT_TRUE(r);
    EXPECT_EQ(json::parse(r->body)["deviceId"], "DEV-1");
    const std::string binary("\x00\xff\x80 data\n", 9);
    r = c.Post("/kelo/v1.01/results/T1/data/D1",
               {{"ZET-file-sequence", "1"},
                {"ZET-total-files", "1"},
                {"ZET-file-MD5", "14353e217f62cb98e688c755f7ea12ec"},
                {"ZET-file-size", std::to_string(binary.size())}},
               binary, "application/octet-stream");
    ASSERT_TRUE(r);
    EXPECT_EQ(json::parse(r->body)["testId"], "T1");
    r = c.Get("/nowhere");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 404);

    auto log = server.requests();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].method, "POST");
    EXPECT_EQ(log[0].path, "/kelo/v1.01/session");
    EXPECT_EQ(log[0].query, "x=1&y=%20");
    EXPECT_EQ(log[0].call, "session");
    EXPECT_EQ(log[0].header("x-trace-token"), "abc");
    EXPECT_EQ(log[0].header("CONTENT-TYPE"), "application/json");
    EXPECT_FALSE(log[0].header("REMOTE_ADDR"));
    EXPECT_EQ(json::parse(log[0].body)["identifier"], kIdentifier);
    EXPECT_EQ(log[1].method, "GET");
    EXPECT_EQ(log[1].header("diagnostic-device-id"), "DEV-1");
    EXPECT_EQ(log[2].call, "upload");
    EXPECT_EQ(log[2].body, binary);
    EXPECT_EQ(log[3].call, "");

    // Reset empties the log and returns to the start-up knobs.
    server.configure(R"({"envelope":"none","status":500})");
    server.reset();
    EXPECT_TRUE(server.requests().empty());
    auto after = session(c);
    EXPECT_EQ(after["response"], "SessionSuccess");
    EXPECT_EQ(after["status"]["code"], "NoError");
}

TEST(RefServer, RoutingAndRequestChecks) {
    ReferenceServer server({"--base-path", "/kelo/v1.01/"});
    auto c = client(server);

    auto r = c.Post("/kelo/v1.01/session", sessionBody("SHORT-ID"), "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 400);
    EXPECT_EQ(json::parse(r->body)["status"]["code"], "BadRequest");
    server.configure(R"({"session":{"validate":false}})");
    r = c.Post("/kelo/v1.01/session", "{}", "application/json");
    EXPECT_EQ(r->status, 200);

    EXPECT_EQ(c.Post("/other/session", sessionBody(), "application/json")->status, 404);
    EXPECT_EQ(c.Get("/kelo/v1.01/session")->status, 405);
    r = c.Get("/kelo/v1.01/assets/strings");
    EXPECT_EQ(r->status, 200);
    EXPECT_NE(r->body.find("\"OK\" = \"OK\";"), std::string::npos);
    // An upload whose size or digest header does not match its body is
    // refused; an empty test identifier is accepted.
    auto upload = [&](const std::string& md5, const std::string& size) {
        return c.Post("/kelo/v1.01/results//data/D1",
                      {{"ZET-file-sequence", "1"},
                       {"ZET-total-files", "1"},
                       {"ZET-file-MD5", md5},
                       {"ZET-file-size", size}},
                      "abc", "application/octet-stream");
    };
    const std::string md5 = "900150983cd24fb0d6963f7d28e17f72";  // MD5 of "abc"
    EXPECT_EQ(upload(md5, "99")->status, 400);
    EXPECT_EQ(upload("900150983cd24fb0d6963f7d28e17f73", "3")->status, 400);
    r = upload(md5, "3");
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(json::parse(r->body)["testId"], "");
}

TEST(RefServer, FixtureStartAndStop) {
    ReferenceServer::Options missing;
    missing.binary = "/nonexistent/refserver";
    EXPECT_THROW(ReferenceServer{missing}, std::runtime_error);
    try {
        ReferenceServer refused({"--host", "0.0.0.0"});
        ADD_FAILURE() << "a non-loopback host was accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("exited with status 2"), std::string::npos)
            << e.what();
    }

    ReferenceServer server;
    const pid_t pid = server.pid();
    EXPECT_EQ(server.baseURL(),
              "http://127.0.0.1:" + std::to_string(server.port()) + "/kelo/v1.01/");
    server.stop();
    EXPECT_EQ(kill(pid, 0), -1);  // reaped: no process, no zombie
    EXPECT_THROW(server.requests(), std::runtime_error);
}
