// Test data upload and the MD5 digests, against the reference server on
// loopback with real files in a temporary directory.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <tuple>
#include <vector>

#include "Managers/DAConnectionManager.h"
#include "managers/ManagerServerTest.h"
#include "platform/foundation/VxDispatch.h"

namespace {

namespace fs = std::filesystem;
constexpr const char* kEmptyMD5 = "d41d8cd98f00b204e9800998ecf8427e";

// Gives up on an upload's reply after half a second.
struct ImpatientManager : DAConnectionManager {
    double uploadTimeoutInterval() const override { return 0.5; }
};

class UploadTest : public ManagerServerTest {
  protected:
    std::string file(const std::string& name, const std::string& bytes) {
        return tmp_.write(name, bytes);
    }
    bool upload(DAConnectionManager& manager, const std::string& path, const char* sequence = "1",
                const char* test = "T1", const char* data = "D1") {
        VxErrorPtr error = VxError::errorWithDomain("Stale", 1, "left over", "");
        bool ok = manager.sendFilenamed(vxstr(path), vxstr(sequence), vxstr("3"), vxstr(test),
                                        vxstr(data), vxstr("DEVICE-9"), &error);
        EXPECT_FALSE(error);
        return ok;
    }
};

TEST_F(UploadTest, DigestsOfBuffersAndFiles) {
    auto manager = std::make_shared<DAConnectionManager>();
    EXPECT_FALSE(manager->MD5ForVxData(VxData::data()));
    EXPECT_EQ(vx::textOf(manager->MD5ForVxData(VxData::dataWithString("abc"))),
              "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(vx::textOf(manager->getFileMD5(vxstr(file("empty", "")))), kEmptyMD5);

    // Several 64 KiB blocks and a partial one give the digest of the whole.
    std::string big;
    for (int i = 0; i < 200000; ++i) big.push_back(static_cast<char>((i * 7919) >> 3));
    EXPECT_EQ(vx::textOf(manager->getFileMD5(vxstr(file("big", big)))),
              vx::textOf(manager->MD5ForVxData(VxData::dataWithString(big))));
}

TEST_F(UploadTest, AcceptedUploadCarriesTheFileAndItsHeadersThenDeletesIt) {
    auto manager = std::make_shared<DAConnectionManager>();
    manager->setSessionIdStr(vxstr("S-77"));
    std::string bytes(150000, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i % 251);
    const std::string path = file("data.bin", bytes);

    // The base URL is read at call time: here it lost its trailing "/".
    std::string base = server().baseURL();
    prefs("CustomServerURL", vxstr(base.substr(0, base.size() - 1)));
    ASSERT_TRUE(upload(*manager, path));  // the server checks size and MD5
    EXPECT_FALSE(fs::exists(path));

    auto requests = server().requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& r = requests[0];
    EXPECT_EQ(r.path, "/kelo/v1.01/results/T1/data/D1");
    EXPECT_EQ(r.body, bytes);
    EXPECT_EQ(r.header("Diagnostic-Session-ID").value_or(""), "S-77");
    EXPECT_EQ(r.header("Diagnostic-Device-ID").value_or(""), "DEVICE-9");
    EXPECT_EQ(r.header("ZET-total-files").value_or(""), "3");
    EXPECT_EQ(r.header("Content-Type").value_or(""), "application/octet-stream");
    EXPECT_FALSE(r.header("Accept"));  // not a generator-built request
    EXPECT_NE(log().find("[File] < "), std::string::npos);

    // An empty file under an empty test identifier, with no session yet.
    auto fresh = std::make_shared<DAConnectionManager>();
    server().reset();
    ASSERT_TRUE(upload(*fresh, file("empty.bin", ""), "2", "", "D2"));
    requests = server().requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].path, "/kelo/v1.01/results//data/D2");
    EXPECT_EQ(requests[0].header("ZET-file-size").value_or(""), "0");
    EXPECT_EQ(requests[0].header("ZET-file-MD5").value_or(""), kEmptyMD5);
    EXPECT_FALSE(requests[0].header("Diagnostic-Session-ID"));
}

TEST_F(UploadTest, RefusedOrRejectedUploadsKeepTheFile) {
    auto manager = std::make_shared<DAConnectionManager>();
    const std::string path = file("keep.bin", "payload");

    // Refused before anything is sent.
    EXPECT_FALSE(upload(*manager, path, ""));
    EXPECT_FALSE(upload(*manager, path, "1", "T1", ""));
    EXPECT_FALSE(upload(*manager, path, "1", "T 1"));  // not valid in a URL
    // Not a regular file: refused promptly (a FIFO would stall a blocking open).
    const std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& bad : {dir_ + "/missing", dir_, fifo}) {
        SCOPED_TRACE(bad);
        const auto started = std::chrono::steady_clock::now();
        EXPECT_FALSE(manager->getFileMD5(vxstr(bad)));
        EXPECT_FALSE(upload(*manager, bad));
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
    }
    EXPECT_FALSE(manager->sendFilenamed(vxstr(path), vxstr("1"), vxstr("3"), nullptr, vxstr("D"),
                                        vxstr("DEV")));
    EXPECT_TRUE(server().requests().empty());

    // Sent, but not accepted.
    for (const char* knobs : {R"({"upload":{"status":500}})", R"({"upload":{"statusCode":"No"}})",
                              R"({"upload":{"body":"array"}})", R"({"upload":{"drop":true}})"}) {
        SCOPED_TRACE(knobs);
        server().reset();
        server().configure(knobs);
        EXPECT_FALSE(upload(*manager, path));
        EXPECT_EQ(server().requests().size(), 1u);
        EXPECT_EQ(da::test::readFile(path), "payload");
    }
}

TEST_F(UploadTest, UploadFromTheMainQueueAndLateRepliesAreSafe) {
    // Called on the main queue's own thread the upload still gets its reply.
    auto manager = std::make_shared<DAConnectionManager>();
    bool ok = false;
    VxDispatchQueue::mainQueue().sync([&] { ok = upload(*manager, file("main.bin", "x")); });
    EXPECT_TRUE(ok);

    // A reply after the wait has ended leaves the file the caller was told had
    // not been uploaded.
    auto impatient = std::make_shared<ImpatientManager>();
    const std::string late = file("late.bin", "slow server");
    server().configure(R"({"upload":{"delayMs":1500}})");
    EXPECT_FALSE(upload(*impatient, late));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(da::test::readFile(late), "slow server");
}

// Progress reports of one upload, by phase, in order.
struct PhaseLog {
    std::mutex mutex;
    std::vector<std::tuple<DATransferPhase, std::int64_t, std::int64_t>> reports;
    DATransferObserver observer() {
        return [this](DATransferPhase phase, std::int64_t done, std::int64_t total) {
            std::lock_guard lock(mutex);
            reports.emplace_back(phase, done, total);
        };
    }
};

TEST_F(UploadTest, SlowlyReadUploadSucceedsAndReportsItsProgress) {
    auto manager = std::make_shared<DAConnectionManager>();
    PhaseLog progress;
    manager->setTransferObserver(progress.observer());
    const std::string bytes(3 * 1000 * 1000, 'z');
    const std::string path = file("slow.bin", bytes);
    // About two seconds of transfer while bytes keep moving.
    server().configure(R"({"upload":{"readBytesPerSecond":1500000}})");
    ASSERT_TRUE(upload(*manager, path));
    EXPECT_FALSE(fs::exists(path));

    const auto size = static_cast<std::int64_t>(bytes.size());
    std::lock_guard lock(progress.mutex);
    ASSERT_GE(progress.reports.size(), 3u);
    // The digest comes first and ends at the whole file, then the upload does.
    std::size_t uploads = 0;
    for (std::size_t i = 0; i < progress.reports.size(); ++i) {
        const auto& [phase, done, total] = progress.reports[i];
        EXPECT_EQ(total, size);
        EXPECT_LE(done, size);
        if (phase == DATransferPhase::Digest) {
            EXPECT_EQ(uploads, 0u);
        } else if (uploads++ == 0) {
            ASSERT_GT(i, 0u);
            EXPECT_EQ(progress.reports[i - 1],
                      std::make_tuple(DATransferPhase::Digest, size, size));
        }
    }
    EXPECT_EQ(progress.reports.back(), std::make_tuple(DATransferPhase::Upload, size, size));
    EXPECT_GE(uploads, 3u);  // reports while the bytes were moving, not only at the end
}

TEST_F(UploadTest, EndOfTheWaitCancelsTheTransfer) {
    auto impatient = std::make_shared<ImpatientManager>();
    const std::string bytes(2 * 1000 * 1000, 'c');
    const std::string path = file("cancel.bin", bytes);
    // Ten seconds of transfer; the caller waits half a second.
    server().configure(R"({"upload":{"readBytesPerSecond":200000}})");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(upload(*impatient, path));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    // The connection was given up: the server never gets the whole body, and no
    // late acceptance can delete the file.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_TRUE(server().requests().empty());
    EXPECT_EQ(da::test::readFile(path), bytes);
}

}  // namespace
