#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>

#include "platform/VxLog.h"
#include "platform/VxPreferences.h"
#include "platformsvc/PlatformTestSupport.h"

namespace {

constexpr const char* kLog = "Diagnostics";
constexpr const char* kDomain = "com.tarvo.Diagnostics";

// An object that counts how often its description is taken.
class CountingObject : public VxObject {
  public:
    explicit CountingObject(std::atomic<int>& counter) : counter_(counter) {}
    std::string description() const override {
        ++counter_;
        return "counted";
    }

  private:
    std::atomic<int>& counter_;
};

class LogTest : public testing::Test {
  protected:
    void SetUp() override {
        VxLogResetRegistrationsForTesting();
        VxLogReloadEnvironment();
        VxLogRegisterCustomConfiguration({kLog}, {kLog, kDomain, "DALogLevel"});
    }
    void TearDown() override {
        VxLogResetRegistrationsForTesting();
        VxLogReloadEnvironment();
    }
    void setFileLevel(const Id& value) {
        ASSERT_TRUE(VxPreferences::standard().setValue(value, "DALogLevel", kDomain));
    }

    psvc::TempDir dir_;
    psvc::ScopedEnv prefsDir_{"DA_PREFERENCES_DIR", dir_ / "prefs"};
    psvc::ScopedEnv logDir_{"DA_LOG_DIR", dir_ / "logs"};
    psvc::ScopedEnv maxLevel_{"DA_LOG_MAX_LEVEL", std::nullopt};
    psvc::ScopedEnv consoleLevel_{"DA_LOG_CONSOLE_LEVEL", "0"};
};

TEST_F(LogTest, GateFollowsTheThreeLevels) {
    EXPECT_EQ(VxLogProcessMaximumLevel(), 7);  // default
    EXPECT_EQ(VxLogCustomConsoleLevel(kLog), 0);
    EXPECT_EQ(VxLogCustomFileLevel(kLog), 3);  // "DALogLevel" unset
    EXPECT_TRUE(VxLogShouldLog(kLog, 3));
    EXPECT_FALSE(VxLogShouldLog(kLog, 4));

    // The file level follows the preference as soon as it is written, as a
    // number or as decimal text.
    setFileLevel(VxNumber::numberWithInt(6));
    EXPECT_EQ(VxLogCustomFileLevel(kLog), 6);
    EXPECT_TRUE(VxLogShouldLog(kLog, 6));
    EXPECT_FALSE(VxLogShouldLog(kLog, 7));
    setFileLevel(vxstr("7"));
    EXPECT_TRUE(VxLogShouldLog(kLog, 7));
    setFileLevel(VxNumber::numberWithInt(1));
    EXPECT_FALSE(VxLogShouldLog(kLog, 3));

    // The console level alone opens the gate; the process maximum closes it.
    setenv("DA_LOG_CONSOLE_LEVEL", "4", 1);
    VxLogReloadEnvironment();
    EXPECT_TRUE(VxLogShouldLog(kLog, 4));
    EXPECT_FALSE(VxLogShouldLog(kLog, 5));
    setenv("DA_LOG_MAX_LEVEL", "2", 1);
    setFileLevel(VxNumber::numberWithInt(7));
    VxLogReloadEnvironment();
    EXPECT_EQ(VxLogProcessMaximumLevel(), 2);
    EXPECT_FALSE(VxLogShouldLog(kLog, 3));
    EXPECT_TRUE(VxLogShouldLog(kLog, 2));

    // An unparsable variable falls back to the default.
    setenv("DA_LOG_MAX_LEVEL", "lots", 1);
    VxLogReloadEnvironment();
    EXPECT_EQ(VxLogProcessMaximumLevel(), 7);

    // A second registration of a log is refused; the first settings stay.
    EXPECT_TRUE(VxLogIsRegistered(kLog));
    EXPECT_FALSE(VxLogRegisterCustomConfiguration({kLog}, {kLog, "other.domain", "OtherKey"}));
    setFileLevel(VxNumber::numberWithInt(5));
    EXPECT_EQ(VxLogCustomFileLevel(kLog), 5);
}

TEST_F(LogTest, ArgumentsAreComputedOnlyWhenTheGateIsOpen) {
    std::atomic<int> descriptions{0};
    auto counted = std::make_shared<CountingObject>(descriptions);
    VX_LOG(kLog, 7, "Request Headers: %@", counted);
    VX_LOG(kLog, 4, "Request body: %@", counted);
    EXPECT_EQ(descriptions.load(), 0);

    int calls = 0;
    auto expensive = [&calls] {
        ++calls;
        return std::string("value");
    };
    VX_LOG(kLog, 6, "[Session] < Session ID: %@", expensive());
    EXPECT_EQ(calls, 0);

    VX_LOG(kLog, 3, "Could not start session: %@", counted);
    EXPECT_EQ(descriptions.load(), 1);
    // Unregistered logs still have the default file level.
    EXPECT_EQ(VxLogCustomFileLevel("Other"), 3);
}

TEST_F(LogTest, LinesReachTheFileAndTheConsoleAsFormatted) {
    setFileLevel(VxNumber::numberWithInt(6));
    VX_LOG(kLog, 6, "[Session] > Serial: %@ Platform:%@ Version: %@", vxstr("C39ABCDEFGHJ"),
           vxstr("Kelo"), vxstr("1.0"));
    VX_LOG(kLog, 3, "Could not start session for unknown reason");
    VX_LOG(kLog, 7, "Response body: %@", vxstr("never written"));

    std::string file = psvc::readFile(dir_ / "logs/Diagnostics.log");
    EXPECT_NE(file.find("<6> [Session] > Serial: C39ABCDEFGHJ Platform:Kelo Version: 1.0\n"),
              std::string::npos)
        << file;
    EXPECT_NE(file.find("<3> Could not start session for unknown reason\n"), std::string::npos)
        << file;
    EXPECT_EQ(file.find("never written"), std::string::npos);
    EXPECT_EQ(psvc::countOccurrences(file, "\n"), 2u) << file;
    EXPECT_NE(file.find("[" + std::to_string(getpid()) + ":"), std::string::npos) << file;

    setenv("DA_LOG_CONSOLE_LEVEL", "4", 1);
    VxLogReloadEnvironment();
    setFileLevel(VxNumber::numberWithInt(0));
    testing::internal::CaptureStderr();
    VX_LOG(kLog, 4, "Localization bundle: %@", vxstr("gone"));
    VX_LOG(kLog, 6, "not on the console");
    std::string console = testing::internal::GetCapturedStderr();
    EXPECT_EQ(console,
              "Diagnostics[" + std::to_string(getpid()) + "] <4> Localization bundle: gone\n");
    EXPECT_EQ(psvc::readFile(dir_ / "logs/Diagnostics.log"), file);
}

TEST_F(LogTest, SystemLogLinesGoToTheConsoleAsGiven) {
    testing::internal::CaptureStderr();
    VxSystemLog("No serial number from the device answer service");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "No serial number from the device answer service\n");
}

}  // namespace
