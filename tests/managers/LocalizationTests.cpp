// Localization bundle download against the reference server on loopback, into
// real bundle directories.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include "Managers/DAConnectionManager.h"
#include "managers/ManagerServerTest.h"

namespace {

namespace fs = std::filesystem;
constexpr const char* kServerTable = "\"OK\" = \"OK\";\n\"Cancel\" = \"Cancel\";\n";

class LocalizationTest : public ManagerServerTest {
  protected:
    void SetUp() override {
        ManagerServerTest::SetUp();
        table_ = dir_ + "/App.bundle/Base.lproj/Localizable.strings";
    }

    // Saves the bundle and gives the log lines written meanwhile.
    std::string save(const DAConnectionManager& manager) {
        const std::size_t from = log().size();
        manager.saveLocalizationToBundleURL(VxURL::fileURLWithPath(dir_ + "/App.bundle", true));
        return log().substr(from);
    }

    std::string table_;
};

TEST_F(LocalizationTest, TableIsStoredAndBaseDirectoryRecreated) {
    auto manager = std::make_shared<DAConnectionManager>();
    // The base URL is read at call time, here without its trailing "/".
    std::string base = server().baseURL();
    prefs("CustomServerURL", vxstr(base.substr(0, base.size() - 1)));
    EXPECT_NE(save(*manager).find("Couldn't remove localization bundle: "), std::string::npos);
    EXPECT_EQ(da::test::readFile(table_), kServerTable);
    auto requests = server().requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].path, "/kelo/v1.01/assets/strings");

    // A second call replaces the whole directory and stores the body as sent.
    std::ofstream(dir_ + "/App.bundle/Base.lproj/Stale.strings") << "old";
    server().configure(R"({"strings":{"body":"raw","rawBody":"\"A\" = \"\u00e9\";"}})");
    EXPECT_EQ(save(*manager).find("Couldn't remove"), std::string::npos);
    EXPECT_EQ(da::test::readFile(table_), "\"A\" = \"\xc3\xa9\";");
    for (const auto& entry : fs::directory_iterator(dir_ + "/App.bundle"))  // no staging left
        EXPECT_EQ(entry.path().filename(), "Base.lproj");
    EXPECT_EQ(std::distance(fs::directory_iterator(fs::path(table_).parent_path()), {}), 1);
}

TEST_F(LocalizationTest, FailedDownloadsKeepTheCurrentTable) {
    auto manager = std::make_shared<DAConnectionManager>();
    save(*manager);
    ASSERT_EQ(da::test::readFile(table_), kServerTable);

    // An error page, a dropped connection and an unreachable server.
    for (const char* knobs : {R"({"strings":{"status":500,"body":"raw","rawBody":"<html>"}})",
                              R"({"strings":{"drop":true}})", ""}) {
        SCOPED_TRACE(knobs);
        server().reset();
        if (*knobs)
            server().configure(knobs);
        else
            prefs("CustomServerURL", vxstr("http://127.0.0.1:9/kelo/v1.01/"));
        EXPECT_NE(save(*manager).find("Localization bundle: "), std::string::npos);
        EXPECT_EQ(da::test::readFile(table_), kServerTable);
    }
}

TEST_F(LocalizationTest, SlowDownloadLandsAfterTheCallReturns) {
    auto manager = std::make_shared<DAConnectionManager>();
    server().configure(R"({"strings":{"delayMs":7000}})");
    save(*manager);
    EXPECT_FALSE(fs::exists(table_));  // the call stopped waiting after 5 seconds
    for (int i = 0; i < 100 && !fs::exists(table_); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(da::test::readFile(table_), kServerTable);
}

TEST_F(LocalizationTest, DownloadStaysInAPrivateDirectoryAndReportsProgress) {
    auto manager = std::make_shared<DAConnectionManager>();
    std::mutex mutex;
    std::vector<std::pair<std::int64_t, std::int64_t>> reports;
    manager->setTransferObserver([&](DATransferPhase phase, std::int64_t done, std::int64_t total) {
        EXPECT_EQ(phase, DATransferPhase::Download);
        std::lock_guard lock(mutex);
        reports.emplace_back(done, total);
    });
    // The shared temporary directory must stay untouched.
    const std::string shared = dir_ + "/shared-tmp";
    fs::create_directory(shared);
    da::test::ScopedEnv tmpdir("TMPDIR", shared);
    // About 1.5 s of download, one byte every 40 ms.
    server().configure(R"({"strings":{"trickleMs":40}})");
    std::thread saving([&] { save(*manager); });
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    std::vector<fs::path> staging;
    for (const auto& entry : fs::directory_iterator(dir_ + "/App.bundle"))
        if (entry.path().filename().string().rfind(".Base.lproj.", 0) == 0)
            staging.push_back(entry.path());
    ASSERT_EQ(staging.size(), 1u);
    EXPECT_EQ(fs::status(staging[0]).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_EQ(std::distance(fs::directory_iterator(staging[0]), {}), 1);  // the download
    saving.join();

    EXPECT_EQ(da::test::readFile(table_), kServerTable);
    EXPECT_TRUE(fs::is_empty(shared));
    const auto size = static_cast<std::int64_t>(std::string(kServerTable).size());
    std::lock_guard lock(mutex);
    ASSERT_GE(reports.size(), 2u);
    EXPECT_EQ(reports.back(), std::make_pair(size, size));
}

// A file system of 64 KiB mounted for the test; unmounted when it ends.
class SmallFileSystem {
  public:
    explicit SmallFileSystem(const std::string& path) : path_(path) {
        fs::create_directories(path);
        mounted_ = ::mount("tmpfs", path.c_str(), "tmpfs", 0, "size=64k") == 0;
    }
    ~SmallFileSystem() {
        if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }

  private:
    std::string path_;
    bool mounted_ = false;
};

TEST_F(LocalizationTest, FullDiskIsLoggedWithItsCause) {
    SmallFileSystem disk(dir_ + "/small");
    if (!disk.mounted()) GTEST_SKIP() << "mounting a small file system is not permitted here";
    auto manager = std::make_shared<DAConnectionManager>();
    const VxURLPtr bundle = VxURL::fileURLWithPath(dir_ + "/small/App.bundle", true);
    const std::string table = dir_ + "/small/App.bundle/Base.lproj/Localizable.strings";
    manager->saveLocalizationToBundleURL(bundle);
    ASSERT_EQ(da::test::readFile(table), kServerTable);

    // A table larger than the whole file system.
    server().configure(R"({"strings":{"replyBytes":262144}})");
    const std::size_t from = log().size();
    manager->saveLocalizationToBundleURL(bundle);
    const std::string lines = log().substr(from);
    EXPECT_NE(lines.find("Localization bundle: "), std::string::npos) << lines;
    EXPECT_NE(lines.find(std::strerror(ENOSPC)), std::string::npos) << lines;
    EXPECT_EQ(lines.find(std::strerror(EIO)), std::string::npos) << lines;
    EXPECT_EQ(da::test::readFile(table), kServerTable);  // the current table is kept
    for (const auto& entry : fs::directory_iterator(dir_ + "/small/App.bundle"))
        EXPECT_EQ(entry.path().filename(), "Base.lproj");  // nothing left behind
}

}  // namespace
