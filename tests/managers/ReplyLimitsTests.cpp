// Limits of the protocol exchanges: a reply that trickles is abandoned at the
// request timeout, and a reply body beyond the cap is refused while it is
// received, so the process does not grow with it. Against the reference server.

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>

#include "Managers/DAConnectionManager.h"
#include "managers/ManagerServerTest.h"

namespace {

constexpr const char* kSerial = "SERIAL000123";

using ReplyLimitsTest = ManagerServerTest;

// The process's resident size and its peak since the last reset, in KiB.
[[maybe_unused]] long statusKiB(const std::string& field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    return -1;
}
// Restarts the peak resident size from the current one.
[[maybe_unused]] bool resetPeakResidentSize() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return static_cast<bool>(clear);
}

TEST_F(ReplyLimitsTest, TricklingReplyIsAbandonedAtTheRequestTimeout) {
    auto manager = std::make_shared<DAConnectionManager>();
    manager->dacRequestGenerator()->setTimeoutInterval(1.0);
    // About 60 bytes at one per 100 ms: bytes keep coming for six seconds.
    server().configure(R"({"session":{"trickleMs":100}})");
    VxErrorPtr error;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(manager->sessionForSerialNumber(vxstr(kSerial), &error));
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(elapsed, 0.95);
    EXPECT_LT(elapsed, 2.0);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), VxURLErrorDomain);
    EXPECT_EQ(error->code(), -1001);
    EXPECT_NE(log().find("[Session] <ERROR> The request timed out."), std::string::npos);
}

TEST_F(ReplyLimitsTest, RepliesBeyondTheCapFailWithTheirErrorLine) {
    auto manager = std::make_shared<DAConnectionManager>();
    const long long overCap = DAMaxReplyBodyLength + 1;
    struct Case {
        std::string knobs;
        bool accepted;
    };
    // A valid envelope padded with spaces, announced or streamed.
    for (const Case& c :
         {Case{R"({"session":{"replyBytes":)" + std::to_string(overCap) + "}}", false},
          Case{R"({"session":{"chunked":true,"replyBytes":)" + std::to_string(overCap) + "}}",
               false},
          Case{R"({"session":{"chunked":true,"replyBytes":1048576}})", true}}) {
        SCOPED_TRACE(c.knobs);
        server().reset();
        server().configure(c.knobs);
        manager->setSessionIdStr(nullptr);
        VxErrorPtr error;
        EXPECT_EQ(manager->sessionForSerialNumber(vxstr(kSerial), &error), c.accepted);
        if (c.accepted) {
            EXPECT_EQ(error, nullptr);
            EXPECT_EQ(vx::textOf(manager->sessionIdStr()), "S-0001");
            continue;
        }
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), VxURLErrorDomain);
        EXPECT_EQ(error->code(), -1103);
        EXPECT_NE(log().find("[Session] <ERROR> " + error->localizedDescription() + "\n"),
                  std::string::npos);
    }
}

TEST_F(ReplyLimitsTest, LargeReplyDoesNotGrowTheProcess) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' shadow memory makes resident sizes meaningless";
#else
    auto manager = std::make_shared<DAConnectionManager>();
    setUpAgent(3);  // no level-7 dumps of what little is read
    for (const char* knobs : {R"({"session":{"replyBytes":67108864}})",
                              R"({"session":{"chunked":true,"replyBytes":67108864}})"}) {
        SCOPED_TRACE(knobs);
        server().configure(knobs);
        if (!resetPeakResidentSize()) GTEST_SKIP() << "the peak resident size cannot be reset";
        const long before = statusKiB("VmRSS");
        VxErrorPtr error;
        EXPECT_FALSE(manager->sessionForSerialNumber(vxstr(kSerial), &error));
        EXPECT_EQ(error ? error->code() : 0, -1103);
        const long growth = statusKiB("VmHWM") - before;
        RecordProperty("peakGrowthKiB", std::to_string(growth));
        // At most the capped body and one copy of its last growth step.
        EXPECT_LT(growth, 32 * 1024) << "peak grew by " << growth << " KiB";
    }
#endif
}

}  // namespace
