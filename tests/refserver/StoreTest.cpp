// The reference server as a protocol lab: what it keeps with --store, the
// upload checks on streamed bodies, the corruption knob and session enforcement.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "refserver/RefServerCalls.h"
#include "support/TestEnv.h"

using da::test::readFile;
using da::test::ReferenceServer;
using namespace refserver;

namespace {

constexpr const char* kEmptyMd5 = "d41d8cd98f00b204e9800998ecf8427e";
constexpr const char* kAbcMd5 = "900150983cd24fb0d6963f7d28e17f72";

class StoreTest : public ::testing::Test {
  protected:
    // Opens a session and returns its identifier.
    static std::string openSession(httplib::Client& c) { return session(c).value("sessionId", ""); }

    da::test::TempDir tmp_;
    const std::string& dir_ = tmp_.path();
};

TEST_F(StoreTest, KeepsWhatTheCallsBringInTheDocumentedLayout) {
    ReferenceServer server({"--store", dir_});
    auto c = client(server);
    ASSERT_EQ(openSession(c), "S-0001");
    // A JSON body to a protocol call in the session; the reply's status.
    auto call = [](httplib::Client& on, const char* name, const std::string& body) {
        return statusOf(on.Post(std::string(kBase) + name, {{"Diagnostic-Session-ID", "S-0001"}},
                                body, "application/json"));
    };
    ASSERT_EQ(call(c, "enroll", R"(["SN1","SN2"])"), 200);
    ASSERT_EQ(call(c, "enroll", R"(["SN3"])"), 200);
    const std::string results = R"({"testId":7, "ok":true})";
    ASSERT_EQ(call(c, "results", results), 200);
    ASSERT_EQ(call(c, "profile", "[{\"deviceId\":\"d\"}]"), 200);

    // Identifiers become safe file names: empty ones, leading dots, blanks and
    // percent signs are encoded.
    EXPECT_EQ(upload(c, "results/T1/data/D1", "abc", kAbcMd5)->status, 200);
    EXPECT_EQ(upload(c, "results//data/..", "", kEmptyMd5)->status, 200);
    EXPECT_EQ(upload(c, "results/T1/data/a%20b%25", "abc", kAbcMd5)->status, 200);

    EXPECT_EQ(readFile(dir_ + "/uploads/T1/D1"), "abc");
    EXPECT_TRUE(std::filesystem::is_regular_file(dir_ + "/uploads/%/%2E."));
    EXPECT_EQ(readFile(dir_ + "/uploads/T1/a%20b%25"), "abc");
    const json description = json::parse(readFile(dir_ + "/uploads/T1/.D1.json"));
    EXPECT_EQ(description["md5"], kAbcMd5);
    EXPECT_EQ(description["size"], 3);
    EXPECT_EQ(description["sessionId"], "S-0001");
    EXPECT_EQ(readFile(dir_ + "/results/000001.json"), results);
    EXPECT_EQ(json::parse(readFile(dir_ + "/enrolled.json")),
              (json{{"SN1", "device-1"}, {"SN2", "device-2"}, {"SN3", "device-1"}}));

    const json listing = jsonOf(c.Get("/_control/store"));
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
    call(c2, "results", "{}");
    EXPECT_EQ(readFile(dir_ + "/results/000002.json"), "{}");
}

TEST_F(StoreTest, RefusedUploadsAreVisibleAndKeepNothing) {
    ReferenceServer server({"--store", dir_});
    auto c = client(server);
    openSession(c);
    // Wrong digest, wrong size, and a body damaged by the fault knob.
    auto res = upload(c, "results/T1/data/bad-md5", "abc", kEmptyMd5);
    EXPECT_EQ(res->status, 400);
    EXPECT_EQ(jsonOf(res)["status"]["code"], "BadRequest");
    server.configure(R"({"upload":{"corruptUpload":true}})");
    res = upload(c, "results/T1/data/damaged", "abc", kAbcMd5);
    EXPECT_EQ(res->status, 400);
    EXPECT_NE(jsonOf(res)["status"]["reason"].get<std::string>().find("ZET-file-MD5"),
              std::string::npos);
    res = upload(c, "results/T1/data/empty", "", kEmptyMd5);  // gains a stray byte
    EXPECT_EQ(res->status, 400);
    EXPECT_TRUE(jsonOf(c.Get("/_control/store"))["uploads"].empty());
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
    // The command call for device "d", in the session given (none when empty).
    auto command = [&](const std::string& sessionId) {
        httplib::Headers headers = {{"Diagnostic-Device-ID", "d"}};
        if (!sessionId.empty()) headers.emplace("Diagnostic-Session-ID", sessionId);
        return c.Get(std::string(kBase) + "command", headers);
    };
    auto res = command("");
    EXPECT_EQ(res->status, 403);
    EXPECT_EQ(jsonOf(res)["status"]["code"], "InvalidSession");
    EXPECT_EQ(upload(c, "results/T/data/D", "abc", kAbcMd5)->status, 403);

    const std::string id = openSession(c);
    EXPECT_EQ(command(id)->status, 200);
    EXPECT_EQ(command(id + "x")->status, 403);
    EXPECT_EQ(c.Get(std::string(kBase) + "assets/strings")->status, 200);  // needs none

    // A reset forgets the identifiers issued so far.
    server.reset();
    EXPECT_EQ(command(id)->status, 403);
    server.configure(R"({"requireSession":false})");
    EXPECT_EQ(command(id)->status, 200);
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
    const json log = jsonOf(c.Get("/_control/requests"));
    EXPECT_EQ(log[0]["bodySize"], body.size());
}

}  // namespace
