#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "platform/linux/VxPreferences.h"
#include "platformsvc/PlatformTestSupport.h"

namespace {

constexpr const char* kDomain = "com.tarvo.Diagnostics";

TEST(Preferences, MissingFileReadsEmptyAndWrittenValuesKeepTheirKinds) {
    psvc::TempDir dir;
    VxPreferences prefs(dir.path() + "/nested/prefs");
    EXPECT_TRUE(prefs.synchronize(kDomain));
    EXPECT_EQ(prefs.copyValue("currentSessionID", kDomain), nullptr);
    EXPECT_EQ(prefs.unsignedIntegerValue("Server", kDomain), 0u);

    VxErrorPtr error = VxError::errorWithDomain("stale", 1);
    ASSERT_TRUE(prefs.setValue(vxstr("S-1"), "currentSessionID", kDomain, &error));
    EXPECT_EQ(error, nullptr);
    ASSERT_TRUE(prefs.setValue(VxNumber::numberWithInt(4), "Server", kDomain));
    ASSERT_TRUE(prefs.setValue(VxNumber::numberWithBool(true), "Flag", kDomain));
    ASSERT_TRUE(
        prefs.setValue(VxDictionary::dictionaryWithPairs({{"a", vxstr("b")}}), "Dict", kDomain));
    EXPECT_EQ(prefs.pathForDomain(kDomain),
              dir.path() + "/nested/prefs/com.tarvo.Diagnostics.json");

    // A second store on the same directory reads the file itself.
    VxPreferences other(dir.path() + "/nested/prefs");
    ASSERT_TRUE(other.synchronize(kDomain));
    EXPECT_EQ(vx::textOf(other.copyValue("currentSessionID", kDomain)), "S-1");
    auto flag = vx_cast<VxNumber>(other.copyValue("Flag", kDomain));
    ASSERT_TRUE(flag);
    EXPECT_TRUE(flag->isBoolean());
    EXPECT_EQ(other.unsignedIntegerValue("Server", kDomain), 4u);
    auto dict = vx_cast<VxDictionary>(other.copyValue("Dict", kDomain));
    ASSERT_TRUE(dict);
    EXPECT_EQ(vx::textOf(dict->objectForKey("a")), "b");

    // Removing a key; no temporary or stray files are left beside the domain file.
    ASSERT_TRUE(prefs.setValue(nullptr, "Flag", kDomain));
    other.synchronize(kDomain);
    EXPECT_EQ(other.copyValue("Flag", kDomain), nullptr);
    for (const auto& entry : std::filesystem::directory_iterator(dir.path() + "/nested/prefs")) {
        std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "com.tarvo.Diagnostics.json" ||
                    name == "com.tarvo.Diagnostics.json.lock")
            << name;
    }

    // Domain names that are not file names are refused, not used as paths.
    error = nullptr;
    EXPECT_FALSE(prefs.setValue(vxstr("x"), "k", "../escape", &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), VxPreferencesErrorDomain);
    EXPECT_FALSE(prefs.synchronize(""));
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "/nested/escape.json"));

    // A value JSON cannot express is refused and leaves the file unchanged.
    EXPECT_FALSE(prefs.setValue(VxDate::date(), "When", kDomain, &error));
    ASSERT_TRUE(error);
    other.synchronize(kDomain);
    EXPECT_EQ(vx::textOf(other.copyValue("currentSessionID", kDomain)), "S-1");
}

TEST(Preferences, ServerReadsAsUnsignedIntegerFromNumberOrText) {
    psvc::TempDir dir;
    VxPreferences prefs(dir.path());
    struct Case {
        const char* json;
        std::uint64_t expected;
    } cases[] = {{"5", 5},       {"\"5\"", 5},  {"\" 3 \"", 3},
                 {"\"abc\"", 0}, {"\"-2\"", 0}, {"-2", 0},
                 {"4.7", 4},     {"true", 1},   {"null", 0},
                 {"[1]", 0},     {"\"\"", 0},   {"18446744073709551615", 18446744073709551615ull}};
    for (const Case& c : cases) {
        psvc::writeFile(prefs.pathForDomain(kDomain), std::string("{\"Server\": ") + c.json + "}");
        ASSERT_TRUE(prefs.synchronize(kDomain)) << c.json;
        EXPECT_EQ(prefs.unsignedIntegerValue("Server", kDomain), c.expected) << c.json;
    }
    psvc::writeFile(prefs.pathForDomain(kDomain), "{\"DALogLevel\": \"-1\"}");
    prefs.synchronize(kDomain);
    EXPECT_EQ(prefs.integerValue("DALogLevel", kDomain), -1);
}

TEST(Preferences, CorruptFileReadsEmptyAndIsReportedOncePerFileState) {
    psvc::TempDir dir;
    VxPreferences prefs(dir.path());
    const std::string path = prefs.pathForDomain(kDomain);

    psvc::writeFile(path, "{\"currentSessionID\": \"abc\"");  // truncated
    testing::internal::CaptureStderr();
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(prefs.synchronize(kDomain));
        EXPECT_EQ(prefs.copyValue("currentSessionID", kDomain), nullptr);
    }
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(psvc::countOccurrences(log, path), 1u) << log;
    EXPECT_NE(log.find("reading it as empty"), std::string::npos) << log;

    // A different bad state (valid JSON, but not an object) is reported again, once.
    psvc::writeFile(path, "[1, 2, 3]");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(prefs.synchronize(kDomain));
    EXPECT_FALSE(prefs.synchronize(kDomain));
    log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(psvc::countOccurrences(log, path), 1u) << log;

    // An empty file is also corrupt; a writer replaces a corrupt file.
    psvc::writeFile(path, "");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(prefs.synchronize(kDomain));
    ASSERT_TRUE(prefs.setValue(vxstr("new"), "currentSessionID", kDomain));
    EXPECT_TRUE(prefs.synchronize(kDomain));
    log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(psvc::countOccurrences(log, path), 1u) << log;
    EXPECT_EQ(vx::textOf(prefs.copyValue("currentSessionID", kDomain)), "new");

    // An unreadable file reads as empty too (skipped when running as root).
    if (geteuid() != 0) {
        chmod(path.c_str(), 0);
        testing::internal::CaptureStderr();
        EXPECT_FALSE(prefs.synchronize(kDomain));
        EXPECT_EQ(prefs.copyValue("currentSessionID", kDomain), nullptr);
        log = testing::internal::GetCapturedStderr();
        EXPECT_NE(log.find("cannot be read"), std::string::npos) << log;
        chmod(path.c_str(), 0600);
    }
}

// Runs `write` in a child process; the child's exit status says whether it succeeded.
template <class Write>
pid_t inChild(Write write) {
    pid_t child = fork();
    if (child == 0) _exit(write() ? 0 : 1);
    return child;
}
bool succeeded(pid_t child) {
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

TEST(Preferences, WritesOfOtherProcessesAreSeenAfterSynchronizeAndNoneIsLost) {
    psvc::TempDir dir;
    psvc::ScopedEnv env("DA_PREFERENCES_DIR", dir.path());
    VxPreferences& prefs = VxPreferences::standard();
    EXPECT_EQ(prefs.directory(), dir.path());
    ASSERT_TRUE(prefs.setValue(vxstr("old"), "currentSessionID", kDomain));
    EXPECT_EQ(vx::textOf(prefs.copyValue("currentSessionID", kDomain)), "old");
    ASSERT_TRUE(succeeded(inChild([&] {
        return VxPreferences(dir.path()).setValue(vxstr("from-child"), "currentSessionID", kDomain);
    })));
    // Until synchronized the store answers from what it read last.
    EXPECT_EQ(vx::textOf(prefs.copyValue("currentSessionID", kDomain)), "old");
    ASSERT_TRUE(prefs.synchronize(kDomain));
    EXPECT_EQ(vx::textOf(prefs.copyValue("currentSessionID", kDomain)), "from-child");

    // Two processes writing at the same time keep every update.
    constexpr int kKeysPerWriter = 40;
    pid_t children[2];
    for (int w = 0; w < 2; ++w)
        children[w] = inChild([&] {
            VxPreferences writer(dir.path());
            for (int i = 0; i < kKeysPerWriter; ++i)
                if (!writer.setValue(VxNumber::numberWithInt(i),
                                     "w" + std::to_string(w) + "-" + std::to_string(i), kDomain))
                    return false;
            return true;
        });
    for (pid_t child : children) EXPECT_TRUE(succeeded(child));
    ASSERT_TRUE(prefs.synchronize(kDomain));
    EXPECT_EQ(prefs.dictionaryForDomain(kDomain)->count(), 1u + 2u * kKeysPerWriter);

    // The writers' lock file does not outlive them.
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{std::string(kDomain) + ".json"});
}

// The store notices changes through a watch on the directory and skips the
// stat() while nothing happened there: every kind of change must still show at
// the next synchronize, not only after the periodic stat() a second later.
TEST(Preferences, ChangesInAWatchedDirectoryShowAtTheNextSynchronize) {
    psvc::TempDir dir;
    const std::string folder = dir.path() + "/prefs";
    const std::string file = folder + "/" + kDomain + ".json";
    VxPreferences prefs(folder);
    ASSERT_TRUE(prefs.setValue(vxstr("a"), "currentSessionID", kDomain));
    auto current = [&] {
        prefs.synchronize(kDomain);
        return vx::textOf(prefs.copyValue("currentSessionID", kDomain));
    };
    EXPECT_EQ(current(), "a");
    EXPECT_EQ(current(), "a");

    // Rewritten in place, same size.
    psvc::writeFile(file, R"({"currentSessionID":"b"})");
    EXPECT_EQ(current(), "b");

    // The directory removed and made again: the old watch is gone.
    std::filesystem::remove_all(folder);
    prefs.synchronize(kDomain);
    EXPECT_EQ(prefs.copyValue("currentSessionID", kDomain), nullptr);
    std::filesystem::create_directories(folder);
    psvc::writeFile(file, R"({"currentSessionID":"c"})");
    EXPECT_EQ(current(), "c");
    psvc::writeFile(file, R"({"currentSessionID":"d"})");
    EXPECT_EQ(current(), "d");

    // A child of fork() using the inherited store must not take the events
    // the parent has yet to see.
    psvc::writeFile(file, R"({"currentSessionID":"e"})");
    ASSERT_TRUE(succeeded(inChild([&] { return current() == "e"; })));
    EXPECT_EQ(current(), "e");
}

// Readers keep an answer while changeCount() stands still (the log gate does):
// it must move with every change an answer can show, and only then.
TEST(Preferences, ChangeCountMovesWithEveryChangeAnAnswerCanShow) {
    psvc::TempDir dir;
    const std::string folder = dir.path() + "/prefs";
    const std::string file = folder + "/" + kDomain + ".json";
    VxPreferences prefs(folder);
    ASSERT_TRUE(prefs.setValue(VxNumber::numberWithInt(5), "level", kDomain));
    VxPreferences::Freshness fresh;
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(prefs.synchronizedIntegerValue("level", kDomain, &fresh), 5);
    EXPECT_EQ(fresh.changeCount, prefs.changeCount());
    EXPECT_GT(fresh.until, before);
    EXPECT_LE(fresh.until, std::chrono::steady_clock::now() + VxPreferences::kLineFreshness);

    // Nothing changed: the count stands, so kept answers stay good.
    std::uint64_t count = prefs.changeCount();
    prefs.synchronize(kDomain);
    EXPECT_EQ(prefs.synchronizedIntegerValue("level", kDomain), 5);
    EXPECT_EQ(prefs.changeCount(), count);

    // Another writer's change moves it at the synchronize that reads it.
    psvc::writeFile(file, R"({"level":6})");
    prefs.synchronize(kDomain);
    EXPECT_GT(prefs.changeCount(), count);
    count = prefs.changeCount();
    EXPECT_EQ(prefs.synchronizedIntegerValue("level", kDomain, &fresh), 6);
    EXPECT_EQ(fresh.changeCount, count);

    // This store's own write moves it at once.
    ASSERT_TRUE(prefs.setValue(VxNumber::numberWithInt(7), "level", kDomain));
    EXPECT_GT(prefs.changeCount(), count);

    // So does the process-wide store resolving its directory again.
    VxPreferences& standard = VxPreferences::standard();
    {
        psvc::ScopedEnv at{"DA_PREFERENCES_DIR", folder};
        EXPECT_EQ(standard.synchronizedIntegerValue("level", kDomain), 7);
    }
    count = standard.changeCount();
    psvc::ScopedEnv away{"DA_PREFERENCES_DIR", dir.path() + "/other"};
    EXPECT_EQ(standard.synchronizedIntegerValue("level", kDomain), std::nullopt);
    EXPECT_GT(standard.changeCount(), count);
}

}  // namespace
