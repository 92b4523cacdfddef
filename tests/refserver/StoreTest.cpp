// The reference server as a protocol lab: what it keeps with --store, the
// upload checks on streamed bodies, the corruption knob and session enforcement.
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include "support/ReferenceServer.h"

using da::test::ReferenceServer;
using json = nlohmann::json;

namespace {

constexpr const char* kBase = "/kelo/v1.01/";
constexpr const char* kEmptyMd5 = "d41d8cd98f00b204e9800998ecf8427e";
constexpr const char* kAbcMd5 = "900150983cd24fb0d6963f7d28e17f72";

class StoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = (std::filesystem::temp_directory_path() / "da-store-XXXXXX").string();
        ASSERT_NE(::mkdtemp(dir_.data()), nullptr);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    static httplib::Client client(const ReferenceServer& server) {
        httplib::Client c("127.0.0.1", server.port());
        c.set_connection_timeout(5, 0);
        c.set_read_timeout(10, 0);
        return c;
    }
    static std::string readAll(const std::string& path) {
        std::ostringstream out;
        out << std::ifstream(path, std::ios::binary).rdbuf();
        return out.str();
    }
    static json parse(const httplib::Result& r) {
        return r ? json::parse(r->body, nullptr, false) : json();
    }
    // Opens a session and returns its identifier.
    static std::string openSession(httplib::Client& c) {
        const json body = {{"identifier", "0123ABCD-GHI-4567-ABC-89AB-JKL-CDEF-DEF-0123456789AB"},
                           {"platform", "handheld"},
                           {"appVersion", "1.0"}};
        return parse(c.Post(std::string(kBase) + "session", body.dump(), "application/json"))
            .value("sessionId", "");
    }
    static httplib::Result upload(httplib::Client& c, const std::string& path,
                                  const std::string& body, const std::string& md5,
                                  const std::string& session = "S-0001") {
        return c.Post(std::string(kBase) + path,
                      {{"Diagnostic-Session-ID", session},
                       {"Diagnostic-Device-ID", "dev-1"},
                       {"ZET-file-sequence", "1"},
                       {"ZET-total-files", "1"},
                       {"ZET-file-MD5", md5},
                       {"ZET-file-size", std::to_string(body.size())}},
                      body, "application/octet-stream");
    }

    std::string dir_;
};

TEST_F(StoreTest, KeepsWhatTheCallsBringInTheDocumentedLayout) {
    ReferenceServer server({"--store", dir_});
    auto c = client(server);
    ASSERT_EQ(openSession(c), "S-0001");
    const httplib::Headers session = {{"Diagnostic-Session-ID", "S-0001"}};

    ASSERT_EQ(c.Post(std::string(kBase) + "enroll", session, R"(["SN1","SN2"])", "application/json")
                  ->status,
              200);
    ASSERT_EQ(
        c.Post(std::string(kBase) + "enroll", session, R"(["SN3"])", "application/json")->status,
        200);
    const std::string results = R"({"testId":7, "ok":true})";
    ASSERT_EQ(c.Post(std::string(kBase) + "results", session, results, "application/json")->status,
              200);
    ASSERT_EQ(c.Post(std::string(kBase) + "profile", session, "[{\"deviceId\":\"d\"}]",
                     "application/json")
                  ->status,
              200);

    // Identifiers become safe file names: empty ones, leading dots, blanks and
    // percent signs are encoded.
    EXPECT_EQ(upload(c, "results/T1/data/D1", "abc", kAbcMd5)->status, 200);
    EXPECT_EQ(upload(c, "results//data/..", "", kEmptyMd5)->status, 200);
    EXPECT_EQ(upload(c, "results/T1/data/a%20b%25", "abc", kAbcMd5)->status, 200);

    EXPECT_EQ(readAll(dir_ + "/uploads/T1/D1"), "abc");
    EXPECT_TRUE(std::filesystem::is_regular_file(dir_ + "/uploads/%/%2E."));
    EXPECT_EQ(readAll(dir_ + "/uploads/T1/a%20b%25"), "abc");
    const json description = json::parse(readAll(dir_ + "/uploads/T1/.D1.json"));
    EXPECT_EQ(description["md5"], kAbcMd5);
    EXPECT_EQ(description["size"], 3);
    EXPECT_EQ(description["sessionId"], "S-0001");
    EXPECT_EQ(readAll(dir_ + "/results/000001.json"), results);
    EXPECT_EQ(json::parse(readAll(dir_ + "/enrolled.json")),
              (json{{"SN1", "device-1"}, {"SN2", "device-2"}, {"SN3", "device-1"}}));

    const json listing = parse(c.Get("/_control/store"));
    EXPECT_EQ(listing["directory"], dir_);
    EXPECT_EQ(listing["uploads"].size(), 3u);
    EXPECT_EQ(listing["results"], json::array({dir_ + "/results/000001.json"}));
    EXPECT_EQ(listing["profile"].size(), 1u);
    EXPECT_EQ(listing["enrolled"].size(), 3u);

    // A restarted server numbers on after what is there.
    server.stop();
    ReferenceServer again({"--store", dir_});
    auto c2 = client(again);
    openSession(c2);
    c2.Post(std::string(kBase) + "results", session, "{}", "application/json");
    EXPECT_EQ(readAll(dir_ + "/results/000002.json"), "{}");
}

TEST_F(StoreTest, RefusedUploadsAreVisibleAndKeepNothing) {
    ReferenceServer server({"--store", dir_});
    auto c = client(server);
    openSession(c);
    // Wrong digest, wrong size, and a body damaged by the fault knob.
    auto res = upload(c, "results/T1/data/bad-md5", "abc", kEmptyMd5);
    EXPECT_EQ(res->status, 400);
    EXPECT_EQ(parse(res)["status"]["code"], "BadRequest");
    server.configure(R"({"upload":{"corruptUpload":true}})");
    res = upload(c, "results/T1/data/damaged", "abc", kAbcMd5);
    EXPECT_EQ(res->status, 400);
    EXPECT_NE(parse(res)["status"]["reason"].get<std::string>().find("ZET-file-MD5"),
              std::string::npos);
    res = upload(c, "results/T1/data/empty", "", kEmptyMd5);  // gains a stray byte
    EXPECT_EQ(res->status, 400);
    EXPECT_TRUE(parse(c.Get("/_control/store"))["uploads"].empty());
    std::size_t files = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir_ + "/uploads"))
        files += e.is_regular_file();
    EXPECT_EQ(files, 0u);
}

TEST_F(StoreTest, DeviceCallsNeedASessionTheServerIssued) {
    // On with --store; by default off, so that plain fixtures need no session.
    ReferenceServer plain;
    auto p = client(plain);
    EXPECT_EQ(p.Get(std::string(kBase) + "command", {{"Diagnostic-Device-ID", "d"}})->status, 200);
    EXPECT_EQ(p.Get("/_control/store")->status, 404);

    ReferenceServer server({"--store", dir_});
    auto c = client(server);
    const httplib::Headers device = {{"Diagnostic-Device-ID", "d"}};
    auto res = c.Get(std::string(kBase) + "command", device);
    EXPECT_EQ(res->status, 403);
    EXPECT_EQ(parse(res)["status"]["code"], "InvalidSession");
    EXPECT_EQ(upload(c, "results/T/data/D", "abc", kAbcMd5)->status, 403);

    const std::string id = openSession(c);
    httplib::Headers withSession = device;
    withSession.emplace("Diagnostic-Session-ID", id);
    EXPECT_EQ(c.Get(std::string(kBase) + "command", withSession)->status, 200);
    withSession = device;
    withSession.emplace("Diagnostic-Session-ID", id + "x");
    EXPECT_EQ(c.Get(std::string(kBase) + "command", withSession)->status, 403);
    EXPECT_EQ(c.Get(std::string(kBase) + "assets/strings")->status, 200);  // needs none

    // A reset forgets the identifiers issued so far.
    server.reset();
    withSession = device;
    withSession.emplace("Diagnostic-Session-ID", id);
    EXPECT_EQ(c.Get(std::string(kBase) + "command", withSession)->status, 403);
    server.configure(R"({"requireSession":false})");
    EXPECT_EQ(c.Get(std::string(kBase) + "command", withSession)->status, 200);
}

TEST_F(StoreTest, LargeUploadsAreLoggedByTheirStartOnly) {
    ReferenceServer server;
    auto c = client(server);
    const std::string body(3 * 1024 * 1024, 'z');
    // Refused for its digest, and logged all the same.
    auto res = upload(c, "results/T/data/big", body, "0");
    ASSERT_EQ(res->status, 400);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].body.size(), 1024u * 1024u);
    const json log = parse(c.Get("/_control/requests"));
    EXPECT_EQ(log[0]["bodySize"], body.size());
}

}  // namespace
