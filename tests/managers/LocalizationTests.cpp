// Localization bundle download against the reference server on loopback, into
// real bundle directories.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "Managers/DAConnectionManager.h"
#include "platform/VxLog.h"
#include "platform/VxPreferences.h"
#include "service/DALoggingInit.h"
#include "support/ReferenceServer.h"

namespace {

namespace fs = std::filesystem;
constexpr const char* kDomain = "com.tarvo.Diagnostics";
constexpr const char* kServerTable = "\"OK\" = \"OK\";\n\"Cancel\" = \"Cancel\";\n";

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

class LocalizationTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { server_ = new da::test::ReferenceServer(); }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }

    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "da-strings-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        bundle_ = dir_ + "/App.bundle";
        table_ = bundle_ + "/Base.lproj/Localizable.strings";
        ::setenv("DA_PREFERENCES_DIR", (dir_ + "/prefs").c_str(), 1);
        ::setenv("DA_LOG_DIR", (dir_ + "/logs").c_str(), 1);
        ::setenv("DA_LOG_CONSOLE_LEVEL", "0", 1);
        VxLogReloadEnvironment();
        DALoggingInit();
        setPreference("DALogLevel", VxNumber::numberWithInt(7));
        pointAt(server_->baseURL());
        server_->reset();
    }
    void TearDown() override {
        ::unsetenv("DA_PREFERENCES_DIR");
        ::unsetenv("DA_LOG_DIR");
        ::unsetenv("DA_LOG_CONSOLE_LEVEL");
        VxLogReloadEnvironment();
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    void setPreference(const std::string& key, const Id& value) {
        VxPreferences::standard().setValue(value, key, kDomain);
    }
    void pointAt(const std::string& url) {
        setPreference("Server", VxNumber::numberWithUnsignedLongLong(5));
        setPreference("CustomServerURL", vxstr(url));
    }
    void save(const DAConnectionManager& manager) {
        manager.saveLocalizationToBundleURL(VxURL::fileURLWithPath(bundle_, true));
    }
    std::string log() const { return slurp(dir_ + "/logs/Diagnostics.log"); }
    // Lines written since `from` characters of the log.
    std::string logSince(std::size_t from) const {
        std::string text = log();
        return from < text.size() ? text.substr(from) : std::string();
    }

    static da::test::ReferenceServer* server_;
    std::string dir_, bundle_, table_;
};

da::test::ReferenceServer* LocalizationTest::server_ = nullptr;

TEST_F(LocalizationTest, TableIsStoredAndBaseDirectoryRecreated) {
    auto manager = std::make_shared<DAConnectionManager>();

    // The base URL is read at call time, here without its trailing "/".
    std::string base = server_->baseURL();
    pointAt(base.substr(0, base.size() - 1));
    save(*manager);
    EXPECT_EQ(slurp(table_), kServerTable);
    EXPECT_NE(log().find("Couldn't remove localization bundle: "), std::string::npos);
    auto requests = server_->requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].path, "/kelo/v1.01/assets/strings");
    EXPECT_FALSE(requests[0].header("Accept-Language"));  // not a generator-built request

    // A second call replaces the whole directory; the server's body is stored
    // byte for byte.
    std::ofstream(bundle_ + "/Base.lproj/Stale.strings") << "old";
    server_->configure(R"({"strings":{"body":"raw","rawBody":"\"A\" = \"\u00e9\";"}})");
    const std::size_t mark = log().size();
    save(*manager);
    EXPECT_EQ(slurp(table_), "\"A\" = \"\xc3\xa9\";");
    EXPECT_FALSE(fs::exists(bundle_ + "/Base.lproj/Stale.strings"));
    EXPECT_EQ(logSince(mark).find("Couldn't remove"), std::string::npos);
    for (const auto& entry : fs::directory_iterator(bundle_))  // no staging left behind
        EXPECT_EQ(entry.path().filename(), "Base.lproj");
}

TEST_F(LocalizationTest, FailedDownloadsKeepTheCurrentTable) {
    auto manager = std::make_shared<DAConnectionManager>();
    save(*manager);
    ASSERT_EQ(slurp(table_), kServerTable);

    // An error page, a dropped connection and an unreachable server.
    for (const char* knobs : {R"({"strings":{"status":500,"body":"raw","rawBody":"<html>"}})",
                              R"({"strings":{"drop":true}})"}) {
        SCOPED_TRACE(knobs);
        server_->reset();
        server_->configure(knobs);
        const std::size_t mark = log().size();
        save(*manager);
        EXPECT_EQ(slurp(table_), kServerTable);
        EXPECT_NE(logSince(mark).find("Localization bundle: "), std::string::npos);
    }
    pointAt("http://127.0.0.1:9/kelo/v1.01/");
    const std::size_t mark = log().size();
    save(*manager);
    EXPECT_EQ(slurp(table_), kServerTable);
    EXPECT_NE(logSince(mark).find("Localization bundle: "), std::string::npos);

    // No bundle location at all: nothing happens.
    manager->saveLocalizationToBundleURL(nullptr);
    EXPECT_EQ(slurp(table_), kServerTable);
}

TEST_F(LocalizationTest, SlowDownloadLandsAfterTheCallReturns) {
    auto manager = std::make_shared<DAConnectionManager>();
    server_->configure(R"({"strings":{"delayMs":7000}})");
    save(*manager);
    // The call gave up waiting; the table is not there yet but arrives later.
    EXPECT_FALSE(fs::exists(table_));
    for (int i = 0; i < 100 && !fs::exists(table_); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(slurp(table_), kServerTable);
}

}  // namespace
