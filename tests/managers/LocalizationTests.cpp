// Localization bundle download against the reference server on loopback, into
// real bundle directories.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "Managers/DAConnectionManager.h"
#include "platform/VxLog.h"
#include "platform/VxPreferences.h"
#include "service/DALoggingInit.h"
#include "support/ReferenceServer.h"

namespace {

namespace fs = std::filesystem;
constexpr const char* kServerTable = "\"OK\" = \"OK\";\n\"Cancel\" = \"Cancel\";\n";

std::string slurp(const std::string& path) {
    std::ostringstream out;
    out << std::ifstream(path, std::ios::binary).rdbuf();
    return out.str();
}

class LocalizationTest : public ::testing::Test {
  protected:
    static inline da::test::ReferenceServer* server_ = nullptr;
    static void SetUpTestSuite() { server_ = new da::test::ReferenceServer(); }
    static void TearDownTestSuite() { delete server_; }

    void SetUp() override {
        dir_ = (fs::temp_directory_path() / "da-strings-XXXXXX").string();
        ASSERT_NE(::mkdtemp(dir_.data()), nullptr);
        table_ = dir_ + "/App.bundle/Base.lproj/Localizable.strings";
        ::setenv("DA_PREFERENCES_DIR", (dir_ + "/prefs").c_str(), 1);
        ::setenv("DA_LOG_DIR", (dir_ + "/logs").c_str(), 1);
        VxLogReloadEnvironment();
        DALoggingInit();
        prefs("DALogLevel", VxNumber::numberWithInt(7));
        prefs("Server", VxNumber::numberWithInt(5));
        prefs("CustomServerURL", vxstr(server_->baseURL()));
        server_->reset();
    }
    void TearDown() override {
        ::unsetenv("DA_PREFERENCES_DIR");
        ::unsetenv("DA_LOG_DIR");
        VxLogReloadEnvironment();
        fs::remove_all(dir_);
    }

    void prefs(const char* key, const Id& value) {
        VxPreferences::standard().setValue(value, key, "com.tarvo.Diagnostics");
    }
    // Saves the bundle and gives the log lines written meanwhile.
    std::string save(const DAConnectionManager& manager) {
        const std::size_t from = slurp(dir_ + "/logs/Diagnostics.log").size();
        manager.saveLocalizationToBundleURL(VxURL::fileURLWithPath(dir_ + "/App.bundle", true));
        return slurp(dir_ + "/logs/Diagnostics.log").substr(from);
    }

    std::string dir_, table_;
};

TEST_F(LocalizationTest, TableIsStoredAndBaseDirectoryRecreated) {
    auto manager = std::make_shared<DAConnectionManager>();
    // The base URL is read at call time, here without its trailing "/".
    std::string base = server_->baseURL();
    prefs("CustomServerURL", vxstr(base.substr(0, base.size() - 1)));
    EXPECT_NE(save(*manager).find("Couldn't remove localization bundle: "), std::string::npos);
    EXPECT_EQ(slurp(table_), kServerTable);
    auto requests = server_->requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].path, "/kelo/v1.01/assets/strings");

    // A second call replaces the whole directory and stores the body as sent.
    std::ofstream(dir_ + "/App.bundle/Base.lproj/Stale.strings") << "old";
    server_->configure(R"({"strings":{"body":"raw","rawBody":"\"A\" = \"\u00e9\";"}})");
    EXPECT_EQ(save(*manager).find("Couldn't remove"), std::string::npos);
    EXPECT_EQ(slurp(table_), "\"A\" = \"\xc3\xa9\";");
    for (const auto& entry : fs::directory_iterator(dir_ + "/App.bundle"))  // no staging left
        EXPECT_EQ(entry.path().filename(), "Base.lproj");
    EXPECT_EQ(std::distance(fs::directory_iterator(fs::path(table_).parent_path()), {}), 1);
}

TEST_F(LocalizationTest, FailedDownloadsKeepTheCurrentTable) {
    auto manager = std::make_shared<DAConnectionManager>();
    save(*manager);
    ASSERT_EQ(slurp(table_), kServerTable);

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
        EXPECT_EQ(slurp(table_), kServerTable);
    }
}

TEST_F(LocalizationTest, SlowDownloadLandsAfterTheCallReturns) {
    auto manager = std::make_shared<DAConnectionManager>();
    server_->configure(R"({"strings":{"delayMs":7000}})");
    save(*manager);
    EXPECT_FALSE(fs::exists(table_));  // the call stopped waiting after 5 seconds
    for (int i = 0; i < 100 && !fs::exists(table_); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(slurp(table_), kServerTable);
}

}  // namespace
