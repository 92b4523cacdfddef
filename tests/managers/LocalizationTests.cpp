// Localization bundle download against the reference server on loopback, into
// real bundle directories.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

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
        const std::size_t from = readAll(dir_ + "/logs/Diagnostics.log").size();
        manager.saveLocalizationToBundleURL(VxURL::fileURLWithPath(dir_ + "/App.bundle", true));
        return readAll(dir_ + "/logs/Diagnostics.log").substr(from);
    }

    std::string table_;
};

TEST_F(LocalizationTest, TableIsStoredAndBaseDirectoryRecreated) {
    auto manager = std::make_shared<DAConnectionManager>();
    // The base URL is read at call time, here without its trailing "/".
    std::string base = server_->baseURL();
    prefs("CustomServerURL", vxstr(base.substr(0, base.size() - 1)));
    EXPECT_NE(save(*manager).find("Couldn't remove localization bundle: "), std::string::npos);
    EXPECT_EQ(readAll(table_), kServerTable);
    auto requests = server_->requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].path, "/kelo/v1.01/assets/strings");

    // A second call replaces the whole directory and stores the body as sent.
    std::ofstream(dir_ + "/App.bundle/Base.lproj/Stale.strings") << "old";
    server_->configure(R"({"strings":{"body":"raw","rawBody":"\"A\" = \"\u00e9\";"}})");
    EXPECT_EQ(save(*manager).find("Couldn't remove"), std::string::npos);
    EXPECT_EQ(readAll(table_), "\"A\" = \"\xc3\xa9\";");
    for (const auto& entry : fs::directory_iterator(dir_ + "/App.bundle"))  // no staging left
        EXPECT_EQ(entry.path().filename(), "Base.lproj");
    EXPECT_EQ(std::distance(fs::directory_iterator(fs::path(table_).parent_path()), {}), 1);
}

TEST_F(LocalizationTest, FailedDownloadsKeepTheCurrentTable) {
    auto manager = std::make_shared<DAConnectionManager>();
    save(*manager);
    ASSERT_EQ(readAll(table_), kServerTable);

    // An error page, a dropped connection and an unreachable server.
    for (const char* knobs : {R"({"strings":{"status":500,"body":"raw","rawBody":"<html>"}})",
                              R"({"strings":{"drop":true}})", ""}) {
        SCOPED_TRACE(knobs);
        server_->reset();
        if (*knobs)
            server_->configure(knobs);
        else
            prefs("CustomServerURL", vxstr("http://127.0.0.1:9/kelo/v1.01/"));
        EXPECT_NE(save(*manager).find("Localization bundle: "), std::string::npos);
        EXPECT_EQ(readAll(table_), kServerTable);
    }
}

TEST_F(LocalizationTest, SlowDownloadLandsAfterTheCallReturns) {
    auto manager = std::make_shared<DAConnectionManager>();
    server_->configure(R"({"strings":{"delayMs":7000}})");
    save(*manager);
    EXPECT_FALSE(fs::exists(table_));  // the call stopped waiting after 5 seconds
    for (int i = 0; i < 100 && !fs::exists(table_); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(readAll(table_), kServerTable);
}

}  // namespace
