#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/linux/VxLog.h"
#include "platform/linux/VxPreferences.h"
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
    psvc::ScopedEnv journal_{"DA_LOG_JOURNAL", "0"};
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

TEST_F(LogTest, GateSeesAnotherWritersChangeAfterASynchronizeOrWithinAnInstant) {
    setFileLevel(VxNumber::numberWithInt(3));
    EXPECT_FALSE(VxLogShouldLog(kLog, 7));
    // Another writer of the same file (as another process would be).
    VxPreferences other(dir_ / "prefs");

    // The service synchronizes the domain when a call arrives: every line of
    // the call sees what was written before it.
    ASSERT_TRUE(other.setValue(VxNumber::numberWithInt(7), "DALogLevel", kDomain));
    VxPreferences::standard().synchronize(kDomain);
    EXPECT_TRUE(VxLogShouldLog(kLog, 7));

    // Without one, the lines that start a moment later see it.
    ASSERT_TRUE(other.setValue(VxNumber::numberWithInt(4), "DALogLevel", kDomain));
    std::this_thread::sleep_for(VxPreferences::kLineFreshness + std::chrono::milliseconds(2));
    EXPECT_EQ(VxLogCustomFileLevel(kLog), 4);
    ASSERT_TRUE(other.setValue(nullptr, "DALogLevel", kDomain));
    std::this_thread::sleep_for(VxPreferences::kLineFreshness + std::chrono::milliseconds(2));
    EXPECT_EQ(VxLogCustomFileLevel(kLog), 3);  // unset: the default
}

// Lines a moment apart may reuse what the last one learned, but never past a
// change of what it rests on: the environment, this process's writes, the
// registrations. Each step asks again at once, well inside the line window.
TEST_F(LogTest, GateAnswersAtOnceAfterWhatItRestsOnChanges) {
    const std::string elsewhere = dir_ / "elsewhere";
    VxPreferences other(elsewhere);
    ASSERT_TRUE(other.setValue(VxNumber::numberWithInt(2), "DALogLevel", kDomain));
    ASSERT_TRUE(other.setValue(VxNumber::numberWithInt(6), "OtherKey", kDomain));
    setFileLevel(VxNumber::numberWithInt(7));
    EXPECT_EQ(VxLogCustomFileLevel(kLog), 7);

    {
        psvc::ScopedEnv moved{"DA_PREFERENCES_DIR", elsewhere};
        EXPECT_EQ(VxLogCustomFileLevel(kLog), 2);
    }
    EXPECT_EQ(VxLogCustomFileLevel(kLog), 7);

    std::thread writer([this] { setFileLevel(VxNumber::numberWithInt(5)); });
    writer.join();
    EXPECT_EQ(VxLogCustomFileLevel(kLog), 5);

    VxLogResetRegistrationsForTesting();
    EXPECT_EQ(VxLogCustomFileLevel(kLog), 3);  // not registered: the default
    psvc::ScopedEnv moved{"DA_PREFERENCES_DIR", elsewhere};
    VxLogRegisterCustomConfiguration({kLog}, {kLog, kDomain, "OtherKey"});
    EXPECT_EQ(VxLogCustomFileLevel(kLog), 6);

    // Another thread's memory of the level does not leak into this one's.
    std::thread reader([] { EXPECT_EQ(VxLogCustomFileLevel(kLog), 6); });
    reader.join();
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

namespace {

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST_F(LogTest, FilesArePrivateAndRotateBySize) {
    psvc::ScopedEnv bytes("DA_LOG_ROTATE_BYTES", "1024");
    psvc::ScopedEnv files("DA_LOG_ROTATE_FILES", "2");
    VxLogReloadEnvironment();
    const std::string line(100, 'x');
    for (int i = 0; i < 60; ++i) VX_LOG(kLog, 3, "%@ %@", vxstr(std::to_string(i)), vxstr(line));

    EXPECT_EQ(modeOf(dir_ / "logs"), 0700u);
    for (const char* name : {"Diagnostics.log", "Diagnostics.1.log", "Diagnostics.2.log"}) {
        std::string path = dir_ / ("logs/" + std::string(name));
        EXPECT_EQ(modeOf(path), 0600u) << name;
        EXPECT_LE(std::filesystem::file_size(path), 1024u + 200u) << name;
    }
    EXPECT_FALSE(std::filesystem::exists(dir_ / "logs/Diagnostics.3.log"));
    // The newest lines are in the current file, the oldest are gone.
    EXPECT_NE(psvc::readFile(dir_ / "logs/Diagnostics.log").find("<3> 59 x"), std::string::npos);
    EXPECT_EQ(psvc::readFile(dir_ / "logs/Diagnostics.2.log").find("<3> 0 x"), std::string::npos);
}

TEST_F(LogTest, NoFileWhereOtherUsersCouldPlantOneOrWithoutADirectory) {
    setFileLevel(VxNumber::numberWithInt(3));
    // A log directory that others can write is refused, with one line saying why.
    std::filesystem::create_directories(dir_ / "shared");
    ASSERT_EQ(chmod((dir_ / "shared").c_str(), 01777), 0);
    {
        psvc::ScopedEnv shared("DA_LOG_DIR", dir_ / "shared");
        VxLogReloadEnvironment();
        testing::internal::CaptureStderr();
        VX_LOG(kLog, 3, "first");
        VX_LOG(kLog, 3, "second");
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(psvc::countOccurrences(err, "is writable by other users"), 1u) << err;
        EXPECT_TRUE(std::filesystem::is_empty(dir_ / "shared"));
    }
    // HOME unset and nothing else naming a directory: no file anywhere, never /tmp.
    psvc::ScopedEnv noDir("DA_LOG_DIR", std::nullopt), noLogs("LOGS_DIRECTORY", std::nullopt),
        noState("XDG_STATE_HOME", std::nullopt), noHome("HOME", std::nullopt),
        noBus("DA_BUS", std::nullopt), noStarter("DBUS_STARTER_BUS_TYPE", std::nullopt),
        noStateDir("STATE_DIRECTORY", std::nullopt);
    VxLogReloadEnvironment();
    EXPECT_EQ(VxLogDirectory(), "");
    testing::internal::CaptureStderr();
    VX_LOG(kLog, 3, "Could not start session for unknown reason");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("no log directory"), std::string::npos) << err;
}

TEST_F(LogTest, JournalEntriesCarryPriorityIdentifierLogAndProtocolTag) {
    struct Case {
        int level;
        const char* message;
        const char* priority;
        const char* tag;  // nullptr: no tag field
    };
    const Case cases[] = {
        {6, "[Session] > Serial: C39 Platform:Kelo", "PRIORITY=6", "DA_PROTOCOL_TAG=Session"},
        {3, "[File] <ERROR> timed out", "PRIORITY=3", "DA_PROTOCOL_TAG=File"},
        {3, "Could not start session: x", "PRIORITY=3", nullptr},
        {9, "[not a tag", "PRIORITY=7", nullptr},
        {-2, "[two words] x", "PRIORITY=0", nullptr},
    };
    for (const Case& c : cases) {
        std::vector<std::string> fields = VxLogJournalFields(kLog, c.level, c.message);
        auto has = [&](const std::string& f) {
            return std::find(fields.begin(), fields.end(), f) != fields.end();
        };
        EXPECT_TRUE(has(std::string("MESSAGE=") + c.message)) << c.message;
        EXPECT_TRUE(has(c.priority)) << c.message;
        EXPECT_TRUE(has("DA_LOG=Diagnostics"));
        EXPECT_TRUE(has("SYSLOG_IDENTIFIER=test_platformsvc"));
        EXPECT_EQ(fields.size(), c.tag ? 5u : 4u) << c.message;
        if (c.tag) {
            EXPECT_TRUE(has(c.tag)) << c.message;
        }
    }
}

TEST_F(LogTest, ConsoleLinesGoToTheJournalOnlyWhenStderrIsTheJournalStream) {
    psvc::ScopedEnv noForce("DA_LOG_JOURNAL", std::nullopt);
    struct stat st {};
    ASSERT_EQ(fstat(STDERR_FILENO, &st), 0);
    const std::string own = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    struct Case {
        std::optional<std::string> stream, force;
        bool journal;
    };
    const Case cases[] = {{std::nullopt, std::nullopt, false},
                          {"1:2", std::nullopt, false},  // inherited from a parent
                          {"garbage", std::nullopt, false},
                          {own, std::nullopt, true},
                          {own, "0", false},
                          {std::nullopt, "1", true}};
    for (const Case& c : cases) {
        psvc::ScopedEnv stream("JOURNAL_STREAM", c.stream), force("DA_LOG_JOURNAL", c.force);
        VxLogReloadEnvironment();
        EXPECT_EQ(VxLogJournalActive(), c.journal) << c.stream.value_or("-");
    }
    // With the journal on, console lines leave stderr alone.
    psvc::ScopedEnv force("DA_LOG_JOURNAL", "1"), console("DA_LOG_CONSOLE_LEVEL", "3");
    VxLogReloadEnvironment();
    testing::internal::CaptureStderr();
    VX_LOG(kLog, 3, "to the journal");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// When the journal's library cannot be loaded, or lacks the writer, every
// console line still reaches stderr; why is said once per load attempt.
TEST_F(LogTest, ConsoleLinesFallBackToStderrWithoutTheJournalLibrary) {
    psvc::ScopedEnv force("DA_LOG_JOURNAL", "1"), console("DA_LOG_CONSOLE_LEVEL", "3");
    VxLogReloadEnvironment();
    const std::string pid = std::to_string(getpid());
    for (const char* library : {"libda-no-such-journal.so.0", "libc.so.6"}) {
        VxLogSetJournalLibraryForTesting(library);
        testing::internal::CaptureStderr();
        VX_LOG(kLog, 3, "first %d", 1);
        VX_LOG(kLog, 3, "second");
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(psvc::countOccurrences(err, "Cannot write to the journal: "), 1u) << err;
        EXPECT_NE(
            err.find("Diagnostics[" + pid + "] <3> first 1\nDiagnostics[" + pid + "] <3> second\n"),
            std::string::npos)
            << err;
    }
    VxLogSetJournalLibraryForTesting("");
}

}  // namespace
