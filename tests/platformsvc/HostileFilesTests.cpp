// Files that are not what a reader expects: a FIFO, a device behind a link, a
// directory, a file far too large. Each read fails at once with one log line,
// and the next read after the file is fixed is a normal one.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <thread>

#include "platform/foundation/VxFileReading.h"
#include "platform/linux/VxDeviceAnswers.h"
#include "platform/linux/VxPreferences.h"
#include "platformsvc/PlatformTestSupport.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kDomain = "com.tarvo.Diagnostics";

// Runs the call on a thread of its own and says whether it finished within
// the bound: a reader that blocks fails the test instead of hanging it.
bool finishesPromptly(const std::function<void()>& call) {
    auto task = std::make_shared<std::packaged_task<void()>>(call);
    std::future<void> done = task->get_future();
    std::thread([task] { (*task)(); }).detach();
    return done.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
}

struct Hostile {
    const char* what;
    std::function<void(const std::string& path)> make;
    VxFileReadStatus status;
};

const std::vector<Hostile>& hostileFiles() {
    static const std::vector<Hostile> kinds = {
        {"FIFO", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); },
         VxFileReadStatus::notRegularFile},
        {"/dev/zero behind a link",
         [](const std::string& p) { fs::create_symlink("/dev/zero", p); },
         VxFileReadStatus::notRegularFile},
        {"directory", [](const std::string& p) { fs::create_directory(p); },
         VxFileReadStatus::notRegularFile},
        {"oversize file",
         [](const std::string& p) {
             psvc::writeFile(p, "{\"k\": \"" + std::string(kVxWholeFileLimit, 'x') + "\"}");
         },
         VxFileReadStatus::tooLarge},
    };
    return kinds;
}

void fix(const std::string& path, const std::string& json) {
    std::error_code ec;
    fs::remove_all(path, ec);
    psvc::writeFile(path, json);
}

}  // namespace

TEST(HostileFiles, ReaderAcceptsRegularFilesWithinTheLimitOnly) {
    psvc::TempDir dir;
    for (const Hostile& h : hostileFiles()) {
        const std::string path = dir / "f";
        h.make(path);
        VxFileReadResult result;
        EXPECT_TRUE(finishesPromptly([&] { result = VxReadWholeFile(path); })) << h.what;
        EXPECT_EQ(result.status, h.status) << h.what;
        EXPECT_FALSE(result.problem.empty()) << h.what;
        EXPECT_TRUE(result.bytes.empty()) << h.what;
        fix(path, "ok");
        EXPECT_EQ(VxReadWholeFile(path).bytes, "ok") << h.what;
        fs::remove(path);
    }

    // The limit is exact; a link to a regular file is followed unless refused.
    psvc::writeFile(dir / "ten", "0123456789");
    EXPECT_EQ(VxReadWholeFile(dir / "ten", {.limit = 10}).bytes, "0123456789");
    EXPECT_EQ(VxReadWholeFile(dir / "ten", {.limit = 9}).status, VxFileReadStatus::tooLarge);
    fs::create_symlink(dir / "ten", dir / "link");
    EXPECT_EQ(VxReadWholeFile(dir / "link").bytes, "0123456789");
    EXPECT_EQ(VxReadWholeFile(dir / "link", {.followLinks = false}).status,
              VxFileReadStatus::notRegularFile);
    EXPECT_EQ(VxReadWholeFile(dir / "none").status, VxFileReadStatus::missing);
    EXPECT_EQ(VxReadWholeFile(dir / "ten/below").status, VxFileReadStatus::missing);
    EXPECT_EQ(VxReadWholeFile("").status, VxFileReadStatus::missing);
    // Files whose reported size is not their real one (procfs) are read whole.
    EXPECT_FALSE(VxReadWholeFile("/proc/self/stat").bytes.empty());
    EXPECT_EQ(VxReadWholeFile("/proc/self/stat", {.limit = 4}).status, VxFileReadStatus::tooLarge);
    if (::geteuid() != 0) {
        ::chmod((dir / "ten").c_str(), 0);
        EXPECT_EQ(VxReadWholeFile(dir / "ten").status, VxFileReadStatus::unreadable);
    }
}

TEST(HostileFiles, PreferencesReadAsEmptyOnceAndRecover) {
    for (const Hostile& h : hostileFiles()) {
        psvc::TempDir dir;
        VxPreferences prefs(dir.path());
        const std::string path = prefs.pathForDomain(kDomain);
        fs::create_directories(dir.path());
        h.make(path);

        testing::internal::CaptureStderr();
        bool synchronized = true;
        Id value = vxstr("stale");
        ASSERT_TRUE(finishesPromptly([&] {
            synchronized = prefs.synchronize(kDomain);
            value = prefs.copyValue("currentSessionID", kDomain);
            prefs.synchronize(kDomain);  // the same file again: not reported again
        })) << h.what;
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_FALSE(synchronized) << h.what;
        EXPECT_EQ(value, nullptr) << h.what;
        EXPECT_EQ(psvc::countOccurrences(log, path), 1u) << h.what << ": " << log;

        fix(path, R"({"currentSessionID": "s-1"})");
        EXPECT_TRUE(prefs.synchronize(kDomain)) << h.what;
        EXPECT_EQ(vx::textOf(prefs.copyValue("currentSessionID", kDomain)), "s-1") << h.what;
    }
}

TEST(HostileFiles, DeviceAnswersFileIsIgnoredOnceAndRecovers) {
    for (const Hostile& h : hostileFiles()) {
        psvc::TempDir dir;
        const std::string path = dir / "answers.json";
        psvc::ScopedEnv env("DA_DEVICE_ANSWERS", path);
        VxDeviceAnswers answers;
        h.make(path);

        testing::internal::CaptureStderr();
        Id color = vxstr("stale");
        ASSERT_TRUE(finishesPromptly([&] {
            color = answers.copyAnswer("DeviceColor");
            answers.copyAnswer("DeviceColor");  // the same file again: not reported again
        })) << h.what;
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(color, nullptr) << h.what;
        EXPECT_EQ(psvc::countOccurrences(log, path), 1u) << h.what << ": " << log;

        fix(path, R"({"DeviceColor": "black"})");
        EXPECT_EQ(vx::textOf(answers.copyAnswer("DeviceColor")), "black") << h.what;
    }
}
