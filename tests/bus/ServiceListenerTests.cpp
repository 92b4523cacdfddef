// The service listener and its client on a private bus, with the echo service started by
// bus activation.

#include <gtest/gtest.h>
#include <signal.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <thread>
#include <utility>
#include <vector>

#include "platform/VxServiceClient.h"
#include "platform/VxServiceListener.h"
#include "support/PrivateBus.h"

using namespace std::chrono_literals;

namespace {

constexpr auto kCallTimeout = 10s;

class ServiceListenerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(bus.ok()) << bus.error();
        std::string error;
        ASSERT_TRUE(
            bus.installService(VxServiceEndpoint::kDefaultBusName, DA_BUS_ECHO_SERVICE, &error))
            << error;
    }

    // Polls `method` on `client` until it replies `expected`; bounded.
    static bool eventually(VxServiceClient& client, const std::string& method,
                           const std::string& expected) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (std::chrono::steady_clock::now() < deadline) {
            auto r = client.call(method, kCallTimeout);
            if (r.ok && r.reply == expected) return true;
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

    // Output of a shell command, bounded by `timeout(1)`.
    static std::string run(const std::string& command) {
        std::string output;
        FILE* pipe = ::popen(("timeout 10 " + command + " 2>&1").c_str(), "r");
        if (pipe == nullptr) return "popen failed";
        std::array<char, 256> buffer{};
        while (std::fgets(buffer.data(), buffer.size(), pipe) != nullptr) output += buffer.data();
        ::pclose(pipe);
        return output;
    }

    // A process that has ended (or is only waiting to be reaped).
    static bool processGone(pid_t pid) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        if (!stat) return true;
        std::string pidField, name, state;
        stat >> pidField >> name >> state;
        return state == "Z" || state == "X";
    }

    static bool goneWithin(pid_t pid, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!processGone(pid)) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }

    PrivateBus bus;
};

TEST_F(ServiceListenerTest, ActivatesAndRepliesWithOptionalText) {
    VxServiceClient a(bus.address());
    auto first = a.checkAvailability(kCallTimeout);
    ASSERT_TRUE(first.ok) << first.error;
    EXPECT_EQ(first.reply, "call 1");
    EXPECT_EQ(a.checkAvailability(kCallTimeout).reply, "call 2");

    auto absent = a.call("absentWithReply", kCallTimeout);
    EXPECT_TRUE(absent.ok) << absent.error;
    EXPECT_FALSE(absent.reply.has_value());
    auto empty = a.call("emptyWithReply", kCallTimeout);
    EXPECT_TRUE(empty.ok) << empty.error;
    EXPECT_EQ(empty.reply, std::string());

    // Another client has its own object, and the service sees it under its unique name.
    VxServiceClient b(bus.address());
    EXPECT_EQ(b.checkAvailability(kCallTimeout).reply, "call 1");
    EXPECT_EQ(b.call("peerWithReply", kCallTimeout).reply, b.uniqueName());

    std::string error = "stale";
    EXPECT_EQ(vxCheckAvailability(bus.address(), kCallTimeout, &error), "call 1");
    EXPECT_EQ(error, "");
}

TEST_F(ServiceListenerTest, DropsTheObjectWhenItsClientLeaves) {
    VxServiceClient a(bus.address());
    VxServiceClient b(bus.address());
    ASSERT_TRUE(a.checkAvailability(kCallTimeout).ok);
    ASSERT_TRUE(b.checkAvailability(kCallTimeout).ok);
    EXPECT_EQ(b.call("liveObjectsWithReply", kCallTimeout).reply, "2");

    a.disconnect();
    EXPECT_TRUE(eventually(b, "liveObjectsWithReply", "1"));

    // Reconnecting is a new client with a fresh object.
    EXPECT_EQ(a.checkAvailability(kCallTimeout).reply, "call 1");
    EXPECT_EQ(b.call("liveObjectsWithReply", kCallTimeout).reply, "2");
    EXPECT_EQ(b.checkAvailability(kCallTimeout).reply, "call 2");
}

TEST_F(ServiceListenerTest, ABlockedCallDoesNotHoldUpOtherClients) {
    VxServiceClient blocked(bus.address());
    VxServiceClient other(bus.address());
    ASSERT_TRUE(other.checkAvailability(kCallTimeout).ok);

    auto pending =
        std::async(std::launch::async, [&] { return blocked.call("blockWithReply", 15s); });
    ASSERT_TRUE(eventually(other, "waitersWithReply", "1"));
    EXPECT_EQ(other.checkAvailability(kCallTimeout).reply, "call 2");
    EXPECT_EQ(other.call("releaseWithReply", kCallTimeout).reply, "1");

    ASSERT_EQ(pending.wait_for(15s), std::future_status::ready);
    auto result = pending.get();
    EXPECT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.reply, "released");
}

TEST_F(ServiceListenerTest, HandlerFaultsBecomeErrorRepliesNotHangs) {
    VxServiceClient client(bus.address());
    auto dropped = client.call("dropWithReply", kCallTimeout);
    EXPECT_FALSE(dropped.ok);
    EXPECT_EQ(dropped.errorName, VxServiceErrors::kNoReply);

    auto thrown = client.call("throwWithReply", kCallTimeout);
    EXPECT_FALSE(thrown.ok);
    EXPECT_EQ(thrown.errorName, VxServiceErrors::kNoReply);
    EXPECT_NE(thrown.error.find("handler failure on purpose"), std::string::npos) << thrown.error;

    EXPECT_EQ(client.call("twiceWithReply", kCallTimeout).reply, "first");

    // Texts that a bus string cannot carry are refused, not cut short.
    EXPECT_EQ(client.call("nulWithReply", kCallTimeout).errorName, VxServiceErrors::kInvalidReply);
    EXPECT_EQ(client.call("badUtf8WithReply", kCallTimeout).errorName,
              VxServiceErrors::kInvalidReply);

    auto unknown = client.call("noSuchMethod", kCallTimeout);
    EXPECT_FALSE(unknown.ok);
    EXPECT_FALSE(unknown.errorName.empty());

    // The service and the connection are still in order.
    EXPECT_EQ(client.checkAvailability(kCallTimeout).reply, "call 1");
}

TEST_F(ServiceListenerTest, RefusedClientsGetAClearError) {
    const std::string name = "com.tarvo.Diagnostics.Refusing";
    ASSERT_TRUE(bus.installService(
        name, PrivateBus::commandWithEnvironment({{"ECHO_BUS_NAME", name}, {"ECHO_REFUSE", "1"}},
                                                 DA_BUS_ECHO_SERVICE)));
    VxServiceEndpoint endpoint;
    endpoint.busName = name;
    VxServiceClient client(bus.address(), endpoint);
    for (int i = 0; i < 2; ++i) {
        auto r = client.checkAvailability(kCallTimeout);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.errorName, VxServiceErrors::kConnectionRefused) << r.error;
    }
}

TEST_F(ServiceListenerTest, OrdinaryBusToolsSeeAnArrayOfZeroOrOneString) {
    const std::string target = std::string(VxServiceEndpoint::kDefaultBusName) + " " +
                               VxServiceEndpoint::kDefaultObjectPath + " " +
                               VxServiceEndpoint::kDefaultInterfaceName;
    const std::string busctl = "busctl --address=" + bus.address() + " call " + target + " ";
    EXPECT_EQ(run(busctl + "checkAvailabilityWithReply"), "as 1 \"call 1\"\n");
    EXPECT_EQ(run(busctl + "absentWithReply"), "as 0\n");

    const std::string sent =
        run("dbus-send --bus=" + bus.address() + " --print-reply --dest=" +
            VxServiceEndpoint::kDefaultBusName + " " + VxServiceEndpoint::kDefaultObjectPath + " " +
            VxServiceEndpoint::kDefaultInterfaceName + ".checkAvailabilityWithReply");
    EXPECT_NE(sent.find("array ["), std::string::npos) << sent;
    EXPECT_NE(sent.find("string \"call 1\""), std::string::npos) << sent;
}

TEST_F(ServiceListenerTest, ServiceEndsWithStopOrWithTheBus) {
    VxServiceClient client(bus.address());
    auto pid = client.call("pidWithReply", kCallTimeout);
    ASSERT_TRUE(pid.ok && pid.reply) << pid.error;
    const pid_t first = std::stoi(*pid.reply);

    // stop() ends the loop; the next call starts the service again.
    EXPECT_EQ(client.call("stopWithReply", kCallTimeout).reply, "stopping");
    EXPECT_TRUE(goneWithin(first, 5s));
    auto again = client.call("pidWithReply", kCallTimeout);
    ASSERT_TRUE(again.ok && again.reply) << again.error;
    const pid_t second = std::stoi(*again.reply);
    EXPECT_NE(second, first);

    // When the bus goes away, the service ends too, and the client reports an error.
    bus.shutdown();
    EXPECT_TRUE(goneWithin(second, 5s));
    EXPECT_FALSE(client.checkAvailability(kCallTimeout).ok);
}

// Sets environment variables for one scope and restores them afterwards.
class ScopedEnvironment {
  public:
    void set(const char* name, const char* value) {
        const char* old = std::getenv(name);
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        if (value) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedEnvironment() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second) {
                ::setenv(it->first.c_str(), it->second->c_str(), 1);
            } else {
                ::unsetenv(it->first.c_str());
            }
        }
    }

  private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(BusChoice, FollowsActivationThenDaBusThenTheSessionAddress) {
    ScopedEnvironment env;
    env.set("DBUS_STARTER_ADDRESS", "unix:path=/starter");
    env.set("DA_BUS", "system");
    env.set("DBUS_SESSION_BUS_ADDRESS", "unix:path=/session");
    env.set("XDG_RUNTIME_DIR", "/run/user/7");

    EXPECT_EQ(vxChooseBus("unix:path=/explicit", true).address, "unix:path=/explicit");
    EXPECT_EQ(vxChooseBus("", true).address, "unix:path=/starter");
    // Clients never follow the activation address: it is the service's own.
    EXPECT_EQ(vxChooseBus("", false).kind, VxBusChoice::Kind::system);

    env.set("DA_BUS", nullptr);
    EXPECT_EQ(vxChooseBus("", false).address, "unix:path=/session");
    env.set("DBUS_SESSION_BUS_ADDRESS", nullptr);
    EXPECT_EQ(vxChooseBus("", false).address, "unix:path=/run/user/7/bus");
    env.set("XDG_RUNTIME_DIR", nullptr);
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
    for (int i = 0; i < 100; ++i) {
        refused = client.checkAvailability(kCallTimeout);
        if (refused.errorName != "org.freedesktop.DBus.Error.ServiceUnknown") break;
        std::this_thread::sleep_for(20ms);
    }
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
