// Runs the built reference server through its fixture and checks its replies
// and control API over loopback.
#include <signal.h>

#include <chrono>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include "refserver/RefServerCalls.h"

using da::test::ReferenceServer;
using namespace refserver;

TEST(RefServer, EnvelopeStatusAndBodyKnobs) {
    ReferenceServer server;
    auto c = client(server);
    auto res = post(c);
    EXPECT_EQ(statusOf(res), 200);
    EXPECT_EQ(jsonOf(res), (json{{"response", "SessionSuccess"}, {"sessionId", "S-0001"}}));
    EXPECT_EQ(res->get_header_value("Content-Type"), "application/json");

    const std::pair<const char*, json> forms[] = {
        {R"({"envelope":"status"})",
         {{"status", {{"code", "NoError"}, {"reason", ""}}}, {"sessionId", "S-0001"}}},
        {R"({"envelope":"both","responseWord":"EnrollSuccess","statusCode":"Fail"})",
         {{"response", "EnrollSuccess"},
          {"status", {{"code", "Fail"}, {"reason", ""}}},
          {"sessionId", "S-0001"}}},
        {R"({"envelope":"none"})", {{"sessionId", "S-0001"}}},
        {R"({"envelope":"status-empty"})", {{"status", json::object()}, {"sessionId", "S-0001"}}},
    };
    for (const auto& [knobs, expected] : forms) {
        server.configure(knobs);
        EXPECT_EQ(session(c), expected) << knobs;
    }

    // Knobs merge: the status code set above stays until a reset. Per-call
    // knobs win over global ones and stay with their call.
    server.reset();
    server.configure(
        R"({"envelope":"status","responseWord":"Nope","session":{"envelope":"response"}})");
    EXPECT_EQ(session(c)["response"], "Nope");
    auto e = jsonOf(c.Post("/kelo/v1.01/enroll", R"(["A","B"])", "application/json"));
    EXPECT_FALSE(e.contains("response"));
    EXPECT_EQ(e["status"]["code"], "NoError");
    EXPECT_EQ(e["devices"].size(), 2u);

    // Unknown knobs and bad values are refused and change nothing.
    EXPECT_THROW(server.configure(R"({"colour":"red"})"), std::runtime_error);
    EXPECT_THROW(server.configure(R"({"session":{"status":"x"}})"), std::runtime_error);
    EXPECT_THROW(server.configure("not json"), std::runtime_error);
    EXPECT_EQ(session(c)["response"], "Nope");

    // The status is set apart from the body, which may be any text (nullptr: not JSON).
    server.reset();
    server.configure(R"({"status":503})");
    res = post(c);
    EXPECT_EQ(statusOf(res), 503);
    EXPECT_EQ(jsonOf(res)["response"], "SessionSuccess");
    const std::pair<const char*, const char*> bodies[] = {
        {R"({"status":200,"body":"array"})", "[]"},
        {R"({"body":"null"})", "null"},
        {R"({"body":"invalid"})", nullptr},
        {R"({"body":"empty"})", ""},
        {R"({"body":"raw","rawBody":"<html>oops</html>","contentType":"text/html"})",
         "<html>oops</html>"},
    };
    for (const auto& [knobs, body] : bodies) {
        server.configure(knobs);
        res = post(c);
        ASSERT_EQ(statusOf(res), 200) << knobs;
        if (body)
            EXPECT_EQ(res->body, body) << knobs;
        else
            EXPECT_TRUE(jsonOf(res).is_discarded()) << res->body;
    }
    EXPECT_EQ(res->get_header_value("Content-Type"), "text/html");
}

TEST(RefServer, SessionIdentifiers) {
    ReferenceServer server({"--session-id", "FIXED-7"});
    auto c = client(server);
    EXPECT_EQ(session(c)["sessionId"], "FIXED-7");
    EXPECT_EQ(session(c)["sessionId"], "FIXED-7");
    server.configure(R"({"sessionId":null})");
    EXPECT_EQ(session(c), (json{{"response", "SessionSuccess"}, {"sessionId", nullptr}}));
    server.configure(R"({"omitSessionId":true})");
    EXPECT_FALSE(session(c).contains("sessionId"));
    server.configure(R"({"omitSessionId":false,"freshSession":true})");
    auto id = session(c)["sessionId"].dump();
    EXPECT_EQ(id.rfind("\"session-", 0), 0u) << id;
    EXPECT_NE(session(c)["sessionId"].dump(), id);
}

TEST(RefServer, KeptAliveConnectionServesManyCalls) {
    ReferenceServer server;
    auto c = client(server);
    c.set_keep_alive(true);
    for (int i = 0; i < 12; ++i) {
        auto r = post(c);
        ASSERT_EQ(statusOf(r), 200) << i;
        EXPECT_NE(r->get_header_value("Connection"), "close") << i;
    }
}

TEST(RefServer, ConcurrentCallsGetDistinctIdsAndAreAllRecorded) {
    ReferenceServer server({"--fresh-session"});  // the start-up form of "freshSession"
    std::vector<std::string> ids[4];
    std::vector<std::thread> threads;
    for (auto& mine : ids) {
        threads.emplace_back([&server, &mine] {
            auto c = client(server);
            for (int i = 0; i < 10; ++i) mine.push_back(jsonOf(post(c)).value("sessionId", ""));
        });
    }
    for (auto& t : threads) t.join();
    std::set<std::string> unique;
    for (const auto& mine : ids) unique.insert(mine.begin(), mine.end());
    EXPECT_EQ(unique.size(), 40u);
    EXPECT_EQ(server.requests().size(), 40u);
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
    EXPECT_FALSE(post(c));
    EXPECT_LT(clock::now() - t0, std::chrono::seconds(5));
    EXPECT_EQ(server.requests().size(), 2u);
    server.configure(R"({"session":{"drop":false}})");
    httplib::Client again("127.0.0.1", server.port());
    EXPECT_EQ(session(again)["response"], "SessionSuccess");
}

TEST(RefServer, LargeTricklingAndPacedBodies) {
    ReferenceServer server;
    auto c = client(server);
    using clock = std::chrono::steady_clock;
    // A padded reply is still the envelope, with or without its length.
    for (bool chunked : {false, true}) {
        SCOPED_TRACE(chunked);
        server.configure(json{{"session", {{"replyBytes", 200000}, {"chunked", chunked}}}}.dump());
        auto r = post(c);
        ASSERT_EQ(statusOf(r), 200);
        EXPECT_EQ(r->body.size(), 200000u);
        EXPECT_EQ(jsonOf(r)["response"], "SessionSuccess");
        EXPECT_EQ(r->has_header("Content-Length"), !chunked);
    }

    // About 60 bytes at one per 20 ms.
    server.reset();
    server.configure(R"({"session":{"trickleMs":20}})");
    auto t0 = clock::now();
    EXPECT_EQ(session(c)["response"], "SessionSuccess");
    EXPECT_GE(clock::now() - t0, std::chrono::milliseconds(900));

    // 100 kB read at 200 kB/s.
    server.configure(R"({"session":{"trickleMs":1,"validate":false,"readBytesPerSecond":200000}})");
    t0 = clock::now();
    EXPECT_EQ(statusOf(post(c, std::string(100000, ' '))), 200);
    EXPECT_GE(clock::now() - t0, std::chrono::milliseconds(450));
    EXPECT_EQ(server.requests().back().body.size(), 100000u);

    EXPECT_THROW(server.configure(R"({"trickleMs":0})"), std::runtime_error);
    EXPECT_THROW(server.configure(R"({"replyBytes":-1})"), std::runtime_error);
}

TEST(RefServer, RecordsRequestsAndResets) {
    ReferenceServer server({"--config", R"({"envelope":"both"})"});
    auto c = client(server);
    c.Post("/kelo/v1.01/session?x=1&y=%20", {{"X-Trace-Token", "abc"}}, sessionBody(),
           "application/json");
    EXPECT_EQ(
        jsonOf(c.Get("/kelo/v1.01/command", {{"Diagnostic-Device-ID", "DEV-1"},
                                             {"Diagnostic-Session-ID", "S-0001"}}))["deviceId"],
        "DEV-1");
    const std::string binary("\x00\xff\x80 data\n", 9);
    EXPECT_EQ(jsonOf(upload(c, "results/T1/data/D1", binary,
                            "14353e217f62cb98e688c755f7ea12ec"))["testId"],
              "T1");
    EXPECT_EQ(statusOf(c.Get("/nowhere")), 404);

    auto log = server.requests();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].method, "POST");
    EXPECT_EQ(log[0].path, kSessionPath);
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
    auto r = post(c, sessionBody("SHORT-ID"));
    EXPECT_EQ(statusOf(r), 400);
    EXPECT_EQ(jsonOf(r)["status"]["code"], "BadRequest");
    server.configure(R"({"session":{"validate":false}})");
    EXPECT_EQ(statusOf(post(c, "{}")), 200);
    EXPECT_EQ(statusOf(c.Post("/other/session", sessionBody(), "application/json")), 404);
    EXPECT_EQ(statusOf(c.Get(kSessionPath)), 405);
    r = c.Get("/kelo/v1.01/assets/strings");
    ASSERT_EQ(statusOf(r), 200);
    EXPECT_NE(r->body.find("\"OK\" = \"OK\";"), std::string::npos);
    // An upload whose size or digest header does not match its body is
    // refused; an empty test identifier is accepted.
    const std::string md5 = "900150983cd24fb0d6963f7d28e17f72";  // MD5 of "abc"
    EXPECT_EQ(statusOf(upload(c, "results//data/D1", "abc", md5, "99")), 400);
    EXPECT_EQ(statusOf(upload(c, "results//data/D1", "abc", "900150983cd24fb0d6963f7d28e17f73")),
              400);
    EXPECT_EQ(jsonOf(upload(c, "results//data/D1", "abc", md5))["testId"], "");
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
