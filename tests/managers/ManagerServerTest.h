#pragma once
// Fixture of the connection manager tests: one reference server per suite, and
// per test a temporary directory with the agent's preferences (pointing "Server"
// 5 at the reference server) and its log file.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/linux/VxLog.h"
#include "platform/linux/VxPreferences.h"
#include "service/DALoggingInit.h"
#include "support/ReferenceServer.h"

class ManagerServerTest : public ::testing::Test {
  protected:
    static inline da::test::ReferenceServer* server_ = nullptr;
    static void SetUpTestSuite() { server_ = new da::test::ReferenceServer(); }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }

    // `logLevel` is the log-file level ("DALogLevel"); nothing goes to stderr.
    void setUpAgent(int logLevel) {
        dir_ = (std::filesystem::temp_directory_path() / "da-manager-XXXXXX").string();
        ASSERT_NE(::mkdtemp(dir_.data()), nullptr);
        ::setenv("DA_PREFERENCES_DIR", (dir_ + "/prefs").c_str(), 1);
        ::setenv("DA_LOG_DIR", (dir_ + "/logs").c_str(), 1);
        ::setenv("DA_LOG_CONSOLE_LEVEL", "0", 1);
        VxLogReloadEnvironment();
        DALoggingInit();
        prefs("DALogLevel", VxNumber::numberWithInt(logLevel));
        prefs("Server", VxNumber::numberWithInt(5));
        prefs("CustomServerURL", vxstr(server_->baseURL()));
        server_->reset();
    }
    void SetUp() override { setUpAgent(7); }
    void TearDown() override {
        ::unsetenv("DA_PREFERENCES_DIR");
        ::unsetenv("DA_LOG_DIR");
        ::unsetenv("DA_LOG_CONSOLE_LEVEL");
        VxLogReloadEnvironment();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    static void prefs(const char* key, const Id& value) {
        VxPreferences::standard().setValue(value, key, "com.tarvo.Diagnostics");
    }
    static std::string readAll(const std::string& path) {
        std::ostringstream out;
        out << std::ifstream(path, std::ios::binary).rdbuf();
        return out.str();
    }
    std::string log() const { return readAll(dir_ + "/logs/Diagnostics.log"); }

    std::string dir_;
};
