// The service listener and its client on a private bus; the bus activates the echo service.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/bus/VxServiceClient.h"
#include "platform/bus/VxServiceListener.h"
#include "support/PrivateBus.h"
#include "support/TestEnv.h"

using namespace std::chrono_literals;

namespace {

constexpr auto kCallTimeout = 10s;

// Polls `predicate` until it holds; bounded.
template <class Predicate>
bool eventually(Predicate predicate) {
    for (const auto deadline = std::chrono::steady_clock::now() + 5s;
         std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(20ms))
        if (predicate()) return true;
    return false;
}

// A process that has ended (or is only waiting to be reaped) within the bound.
bool goneSoon(pid_t pid) {
    return eventually([pid] { return da::test::processGone(pid); });
}

class ServiceListenerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(bus.ok()) << bus.error();
        std::string error;
        ASSERT_TRUE(
            bus.installService(VxServiceEndpoint::kDefaultBusName, DA_BUS_ECHO_SERVICE, &error))
            << error;
    }

    PrivateBus bus;
};

TEST_F(ServiceListenerTest, EachClientHasItsOwnObjectUntilItLeaves) {
    VxServiceClient a(bus.address());
    EXPECT_EQ(a.checkAvailability(kCallTimeout).reply, "call 1");
    EXPECT_EQ(a.checkAvailability(kCallTimeout).reply, "call 2");
    auto absent = a.call("absentWithReply", kCallTimeout);
    EXPECT_TRUE(absent.ok && !absent.reply) << absent.error;
    EXPECT_EQ(a.call("emptyWithReply", kCallTimeout).reply, std::string());

    // Another client has its own object, and the service sees it under its unique name.
    VxServiceClient b(bus.address());
    EXPECT_EQ(b.checkAvailability(kCallTimeout).reply, "call 1");
    EXPECT_EQ(b.call("peerWithReply", kCallTimeout).reply, b.uniqueName());
    EXPECT_EQ(b.call("liveObjectsWithReply", kCallTimeout).reply, "2");
    std::string error = "stale";
    EXPECT_EQ(vxCheckAvailability(bus.address(), kCallTimeout, &error), "call 1");
    EXPECT_EQ(error, "");

    // A client that leaves loses its object; reconnecting is a new client.
    a.disconnect();
    EXPECT_TRUE(
        eventually([&] { return b.call("liveObjectsWithReply", kCallTimeout).reply == "1"; }));
    EXPECT_EQ(a.checkAvailability(kCallTimeout).reply, "call 1");
    EXPECT_EQ(b.call("liveObjectsWithReply", kCallTimeout).reply, "2");
    EXPECT_EQ(b.checkAvailability(kCallTimeout).reply, "call 2");
}

TEST_F(ServiceListenerTest, BlockedCallsHoldUpNeitherEachOtherNorOtherClients) {
    // The thread that reads a call runs it and hands the reading on: calls that arrive
    // together, each blocking its thread, all run at once while the bus is still read.
    constexpr int kBlocked = 3;
    VxServiceClient other(bus.address());
    ASSERT_TRUE(other.checkAvailability(kCallTimeout).ok);
    std::vector<std::unique_ptr<VxServiceClient>> blocked;
    for (int i = 0; i < kBlocked; ++i)
        blocked.push_back(std::make_unique<VxServiceClient>(bus.address()));
    std::vector<std::future<VxServiceCallResult>> pending;
    for (auto& client : blocked)
        pending.push_back(std::async(std::launch::async,
                                     [&client] { return client->call("blockWithReply", 15s); }));
    ASSERT_TRUE(eventually([&] {
        return other.call("waitersWithReply", kCallTimeout).reply == std::to_string(kBlocked);
    }));
    EXPECT_EQ(other.checkAvailability(kCallTimeout).reply, "call 2");
    EXPECT_EQ(other.call("releaseWithReply", kCallTimeout).reply, std::to_string(kBlocked));
    for (auto& call : pending) {
        ASSERT_EQ(call.wait_for(15s), std::future_status::ready);
        EXPECT_EQ(call.get().reply, "released");
    }
    // The threads that ran them take calls again.
    EXPECT_EQ(other.checkAvailability(kCallTimeout).reply, "call 3");
}

TEST_F(ServiceListenerTest, WorkLeftForLaterRunsAfterTheAnswerHasGone) {
    // deferWithReply answers, and the work it left waits for a release afterwards: the
    // caller has its answer while that work still runs on the thread of its call.
    VxServiceClient caller(bus.address());
    VxServiceClient other(bus.address());
    EXPECT_EQ(caller.call("deferWithReply", kCallTimeout).reply, "answered");
    EXPECT_TRUE(
        eventually([&] { return other.call("waitersWithReply", kCallTimeout).reply == "1"; }));
    EXPECT_EQ(other.call("releaseWithReply", kCallTimeout).reply, "1");
    EXPECT_TRUE(
        eventually([&] { return other.call("waitersWithReply", kCallTimeout).reply == "0"; }));
    EXPECT_EQ(caller.checkAvailability(kCallTimeout).reply, "call 1");
}

TEST_F(ServiceListenerTest, QueuedCallsOfCallersWhoLeftOrGaveUpAreNotStarted) {
    // One delivery thread; blockWithReply holds it for 1.5 s; queued calls may wait 2 s.
    const std::string name = "com.tarvo.Diagnostics.Queued";
    ASSERT_TRUE(bus.installService(
        name, PrivateBus::commandWithEnvironment({{"ECHO_BUS_NAME", name},
                                                  {"ECHO_MAX_CALLS", "1"},
                                                  {"ECHO_MAX_QUEUE_WAIT_MS", "2000"},
                                                  {"ECHO_BLOCK_MS", "1500"}},
                                                 DA_BUS_ECHO_SERVICE)));
    VxServiceEndpoint endpoint;
    endpoint.busName = name;
    VxServiceClient control(bus.address(), endpoint);
    ASSERT_EQ(control.call("startedWithReply", kCallTimeout).reply, "0");
    auto callAsync = [&](const char* method) {
        return std::async(std::launch::async, [&, method] {
            VxServiceClient client(bus.address(), endpoint);
            return client.call(method, kCallTimeout);
        });
    };
    // True once a call cannot get a thread: the blocker holds it.
    auto saturated = [&] { return !control.call("waitersWithReply", 150ms).ok; };

    // A caller that leaves the bus while its call waits: the call is not started, while
    // the next caller's is.
    auto blocker = callAsync("blockWithReply");
    ASSERT_TRUE(eventually(saturated));
    {
        VxServiceClient leaver(bus.address(), endpoint);
        EXPECT_FALSE(leaver.call("countWithReply", 150ms).ok);
    }
    auto patient = callAsync("countWithReply");
    EXPECT_EQ(blocker.get().reply, "timed out");
    EXPECT_EQ(patient.get().reply, "1");

    // A caller that stays but whose call waited longer than callers wait.
    auto first = callAsync("blockWithReply");
    ASSERT_TRUE(eventually(saturated));
    auto second = callAsync("blockWithReply");
    std::this_thread::sleep_for(300ms);  // queued ahead of the next caller
    VxServiceClient impatient(bus.address(), endpoint);
    EXPECT_FALSE(impatient.call("countWithReply", 150ms).ok);
    auto late = callAsync("countWithReply");
    EXPECT_EQ(first.get().reply, "timed out");
    EXPECT_EQ(second.get().reply, "timed out");
    EXPECT_EQ(late.get().errorName, VxServiceErrors::kBusy);
    EXPECT_EQ(control.call("startedWithReply", kCallTimeout).reply, "1");
}

TEST_F(ServiceListenerTest, HandlerFaultsBecomeErrorRepliesNotHangs) {
    VxServiceClient client(bus.address());
    EXPECT_EQ(client.call("dropWithReply", kCallTimeout).errorName, VxServiceErrors::kNoReply);
    auto thrown = client.call("throwWithReply", kCallTimeout);
    EXPECT_EQ(thrown.errorName, VxServiceErrors::kNoReply);
    EXPECT_NE(thrown.error.find("handler failure on purpose"), std::string::npos) << thrown.error;
    EXPECT_EQ(client.call("twiceWithReply", kCallTimeout).reply, "first");
    // Texts that a bus string cannot carry are refused, not cut short.
    for (const char* method : {"nulWithReply", "badUtf8WithReply"})
        EXPECT_EQ(client.call(method, kCallTimeout).errorName, VxServiceErrors::kInvalidReply);
    EXPECT_FALSE(client.call("noSuchMethod", kCallTimeout).errorName.empty());
    EXPECT_EQ(client.checkAvailability(kCallTimeout).reply, "call 1");

    // A service whose delegate refuses every client says so, every time.
    const std::string name = "com.tarvo.Diagnostics.Refusing";
    ASSERT_TRUE(bus.installService(
        name, PrivateBus::commandWithEnvironment({{"ECHO_BUS_NAME", name}, {"ECHO_REFUSE", "1"}},
                                                 DA_BUS_ECHO_SERVICE)));
    VxServiceEndpoint endpoint;
    endpoint.busName = name;
    VxServiceClient refused(bus.address(), endpoint);
    for (int i = 0; i < 2; ++i) {
        auto r = refused.checkAvailability(kCallTimeout);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.errorName, VxServiceErrors::kConnectionRefused) << r.error;
    }
}

TEST_F(ServiceListenerTest, ServiceEndsWithStopOrWithTheBus) {
    VxServiceClient client(bus.address());
    auto pid = [&] {
        auto r = client.call("pidWithReply", kCallTimeout);
        return r.ok && r.reply ? std::stoi(*r.reply) : -1;
    };
    const pid_t first = pid();
    ASSERT_GT(first, 0);

    // stop() ends the loop; the next call starts the service again.
    EXPECT_EQ(client.call("stopWithReply", kCallTimeout).reply, "stopping");
    EXPECT_TRUE(goneSoon(first));
    const pid_t second = pid();
    ASSERT_GT(second, 0);
    EXPECT_NE(second, first);

    // When the bus goes away, the service ends too, and the client reports an error.
    bus.shutdown();
    EXPECT_TRUE(goneSoon(second));
    EXPECT_FALSE(client.checkAvailability(kCallTimeout).ok);
}

TEST(BusChoice, FollowsActivationThenDaBusThenTheSessionAddress) {
    // (Each variable is restored when the test ends, also after the unsets below.)
    da::test::ScopedEnv starter("DBUS_STARTER_ADDRESS", "unix:path=/starter"),
        daBus("DA_BUS", "system"), session("DBUS_SESSION_BUS_ADDRESS", "unix:path=/session"),
        runtime("XDG_RUNTIME_DIR", "/run/user/7");

    EXPECT_EQ(vxChooseBus("unix:path=/explicit", true).address, "unix:path=/explicit");
    EXPECT_EQ(vxChooseBus("", true).address, "unix:path=/starter");
    // Clients never follow the activation address: it is the service's own.
    EXPECT_EQ(vxChooseBus("", false).kind, VxBusChoice::Kind::system);
    ::unsetenv("DA_BUS");
    EXPECT_EQ(vxChooseBus("", false).address, "unix:path=/session");
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    EXPECT_EQ(vxChooseBus("", false).address, "unix:path=/run/user/7/bus");
    ::unsetenv("XDG_RUNTIME_DIR");
    const VxBusChoice none = vxChooseBus("", false);
    EXPECT_FALSE(none.error.empty());
    std::string error;
    EXPECT_FALSE(vxCheckAvailability("", 1s, &error).has_value());
    EXPECT_EQ(error, none.error);
}

TEST(ServiceListenerInProcess, ReportsATakenNameAndStopsOnRequest) {
    PrivateBus bus;
    ASSERT_TRUE(bus.ok()) << bus.error();
    VxListenerConfiguration config;
    config.busAddress = bus.address();
    config.endpoint.busName = "com.tarvo.Diagnostics.InProcess";

    // No delegate: every client is refused.
    VxListener first(config);
    std::thread loop([&] { first.resume(); });
    VxServiceClient client(bus.address(), config.endpoint);
    VxServiceCallResult refused;
    eventually([&] {
        refused = client.checkAvailability(kCallTimeout);
        return refused.errorName != "org.freedesktop.DBus.Error.ServiceUnknown";
    });
    EXPECT_EQ(refused.errorName, VxServiceErrors::kConnectionRefused) << refused.error;
    EXPECT_EQ(first.connectionCount(), 1u);

    VxListener second(config);
    second.resume();  // returns at once: the name belongs to `first`
    EXPECT_NE(second.failureReason().find(config.endpoint.busName), std::string::npos)
        << second.failureReason();

    first.stop();
    loop.join();
    EXPECT_EQ(first.failureReason(), "");
    EXPECT_EQ(first.connectionCount(), 0u);
    first.resume();  // stopped for good: returns at once
}

}  // namespace
