#pragma once
// Fixture of the connection manager tests: one reference server per suite, and
// per test a temporary directory with the agent's preferences (pointing "Server"
// 5 at the reference server) and its log file.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "Managers/DALoggingInit.h"
#include "platform/linux/VxLog.h"
#include "platform/linux/VxPreferences.h"
#include "support/ReferenceServer.h"
#include "support/TestEnv.h"

class ManagerServerTest : public ::testing::Test {
  protected:
    static da::test::ReferenceServer& server() { return da::test::ReferenceServer::shared(); }

    // `logLevel` is the log-file level ("DALogLevel"); nothing goes to stderr.
    void setUpAgent(int logLevel) {
        ::setenv("DA_PREFERENCES_DIR", (dir_ + "/prefs").c_str(), 1);
        ::setenv("DA_LOG_DIR", (dir_ + "/logs").c_str(), 1);
        ::setenv("DA_LOG_CONSOLE_LEVEL", "0", 1);
        VxLogReloadEnvironment();
        DALoggingInit();
        prefs("DALogLevel", VxNumber::numberWithInt(logLevel));
        prefs("Server", VxNumber::numberWithInt(5));
        prefs("CustomServerURL", vxstr(server().baseURL()));
        server().reset();
    }
    void SetUp() override { setUpAgent(7); }
    void TearDown() override {
        ::unsetenv("DA_PREFERENCES_DIR");
        ::unsetenv("DA_LOG_DIR");
        ::unsetenv("DA_LOG_CONSOLE_LEVEL");
        VxLogReloadEnvironment();
    }

    static void prefs(const char* key, const Id& value) {
        VxPreferences::standard().setValue(value, key, "com.tarvo.Diagnostics");
    }
    std::string log() const { return da::test::readFile(dir_ + "/logs/Diagnostics.log"); }

    da::test::TempDir tmp_;
    const std::string& dir_ = tmp_.path();
};
