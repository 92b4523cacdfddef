// The device calls of the connection manager (enrolment, profiles, client
// status, command poll, results) against the reference server on loopback:
// what goes on the wire, what comes back, and the trace lines.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "Managers/DAConnectionManager.h"
#include "managers/ManagerServerTest.h"
#include "model/DACommandResponse.h"
#include "model/DADeviceModel.h"
#include "requests/NUCRestResponse.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

VxErrorPtr staleError() {
    return VxError::errorWithDomain("Stale", 1, "left over", "");
}

DADeviceModelPtr deviceWithId(const char* id) {
    auto device = DADeviceModel::create();
    device->setDeviceId(vxstr(id));
    return device;
}

class DeviceCallsTest : public ManagerServerTest {
  protected:
    void SetUp() override {
        setUpAgent(6);
        manager_ = std::make_shared<DAConnectionManager>();
    }

    // Opens a session "S-1" and forgets the session request.
    void openSession() {
        server().configure(R"({"sessionId":"S-1"})");
        ASSERT_TRUE(manager_->sessionForSerialNumber(vxstr("SERIAL000123")));
        server().reset();
    }
    bool logged(const std::string& text) const { return log().find(text) != std::string::npos; }
    // The single request the server received since the last reset.
    da::test::RecordedRequest onlyRequest() const {
        auto all = server().requests();
        EXPECT_EQ(all.size(), 1u);
        return all.empty() ? da::test::RecordedRequest{} : all.front();
    }

    // Every device call once, for device (or serial number) "A", with the tag
    // of its error lines; `failed` is true when the call gave nothing.
    struct Call {
        const char* tag;
        std::function<bool(VxErrorPtr*)> failed;
    };
    std::vector<Call> everyCall() {
        auto serials = VxArray::arrayWithObjects({vxstr("A")});
        auto devices = VxArray::arrayWithObjects({deviceWithId("A")});
        auto m = manager_;
        return {
            {"[Enroll]", [=](VxErrorPtr* e) { return !m->enrollArrayOfDeviceSNs(serials, e); }},
            {"[Profiles]", [=](VxErrorPtr* e) { return !m->sendProfilesForDevices(devices, e); }},
            {"[STATUS]", [=](VxErrorPtr* e) { return !m->sendClientStatus(deviceWithId("A"), e); }},
            {"[Command]", [=](VxErrorPtr* e) { return !m->getCommandForDeviceId(vxstr("A"), e); }},
            {"[Results]",
             [=](VxErrorPtr* e) { return !m->sendResultsObject(CJsonModel::create(), e); }},
        };
    }
    // Every call fails and clears the error slot.
    void expectQuietFailures() {
        for (const Call& call : everyCall()) {
            SCOPED_TRACE(call.tag);
            VxErrorPtr error = staleError();
            EXPECT_TRUE(call.failed(&error));
            EXPECT_FALSE(error);
        }
    }

    DAConnectionManagerPtr manager_;
};

}  // namespace

TEST_F(DeviceCallsTest, RefusedInputAndMissingSessionSendNothing) {
    // No session yet: every call is refused without an error.
    expectQuietFailures();

    // With a session, the input checks refuse empty and absent arguments.
    openSession();
    VxErrorPtr error = staleError();
    EXPECT_FALSE(manager_->enrollArrayOfDeviceSNs(VxArray::array(), &error));
    EXPECT_FALSE(error);
    EXPECT_FALSE(manager_->enrollArrayOfDeviceSNs(nullptr));
    EXPECT_FALSE(manager_->sendProfilesForDevices(VxArray::array()));
    EXPECT_FALSE(manager_->getCommandForDeviceId(vxstr("")));
    EXPECT_FALSE(manager_->getCommandForDeviceId(nullptr));
    error = staleError();
    EXPECT_FALSE(manager_->sendResultsObject(nullptr, &error));
    EXPECT_FALSE(error);
    EXPECT_TRUE(server().requests().empty());
    EXPECT_FALSE(logged("[Enroll] >"));
    EXPECT_FALSE(logged("[Command] >"));
    // The status call traces before anything else, even when it is refused.
    EXPECT_TRUE(logged("[Status] > DeviceID: A Test: <null> Status: Idle Progress: 0% "));
}

TEST_F(DeviceCallsTest, EnrolmentAndProfiles) {
    openSession();

    auto serials = VxArray::arrayWithObjects({vxstr("A"), vxstr("B")});
    VxErrorPtr error = staleError();
    VxDictionaryPtr devices = manager_->enrollArrayOfDeviceSNs(serials, &error);
    EXPECT_FALSE(error);
    ASSERT_TRUE(devices);
    EXPECT_EQ(vx::textOf(devices->objectForKey("B")), "device-2");
    auto request = onlyRequest();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.call, "enroll");
    EXPECT_EQ(request.header("Diagnostic-Session-ID").value_or(""), "S-1");
    EXPECT_FALSE(request.header("Diagnostic-Device-ID"));
    EXPECT_EQ(json::parse(request.body), json::array({"A", "B"}));
    EXPECT_TRUE(logged("[Enroll] < Devices IDs: A: device-1B: device-2\n"));

    // Three devices, one without any stored property: two profiles are sent,
    // three are counted.
    server().reset();
    server().configure(R"({"members":{"devices":{"A":1,"B":2}}})");
    auto profiles =
        VxArray::arrayWithObjects({deviceWithId("A"), DADeviceModel::create(), deviceWithId("B")});
    devices = manager_->sendProfilesForDevices(profiles, &error);
    EXPECT_FALSE(error);
    ASSERT_TRUE(devices);
    request = onlyRequest();
    EXPECT_EQ(request.call, "profile");
    json body = json::parse(request.body);
    ASSERT_EQ(body.size(), 2u);
    EXPECT_EQ(body[1]["deviceId"], "B");
    EXPECT_TRUE(logged("[Profile] > Devices array count: 3 \n"));
    EXPECT_TRUE(logged("[Profile] < Devices accepted: A B\n"));
    EXPECT_TRUE(manager_->enrollArrayOfDeviceSNs(serials));
    EXPECT_TRUE(logged("[Enroll] < Devices IDs: A: 1B: 2\n"));

    // An accepted reply without a "devices" object is a success with nothing.
    server().configure(R"({"members":{"devices":null}})");
    error = staleError();
    EXPECT_FALSE(manager_->enrollArrayOfDeviceSNs(serials, &error));
    EXPECT_FALSE(error);
}

TEST_F(DeviceCallsTest, StatusCommandAndResults) {
    openSession();

    auto device = deviceWithId("dev-1");
    device->setDeviceName(vxstr("Bench"));
    device->setClientStatus(vxstr("Running"));
    device->setCurrentTest(vxstr("T1"));
    device->setProgress(VxNumber::numberWithInt(50));
    server().configure(R"({"clientstatus":{"members":{"statusResponse":
        {"deviceId":"dev-1","command":"Stop","testId":7,"progress":40}}}})");
    VxErrorPtr error = staleError();
    DACommandResponsePtr status = manager_->sendClientStatus(device, &error);
    EXPECT_FALSE(error);
    ASSERT_TRUE(status);
    EXPECT_EQ(vx::textOf(status->command()), "Stop");
    EXPECT_EQ(vx::textOf(status->testId()), "7");
    auto request = onlyRequest();
    EXPECT_EQ(request.call, "clientstatus");
    // Only the stored properties travel; the per-test fields are traced only.
    EXPECT_EQ(json::parse(request.body), (json{{"deviceId", "dev-1"}, {"deviceName", "Bench"}}));
    EXPECT_TRUE(logged("[Status] > DeviceID: dev-1 Test: T1 Status: Running Progress: 50% \n"));
    EXPECT_TRUE(
        logged("[Command] < DeviceID: dev-1 Command: Stop TestId: 7 data: (null) progress: 40\n"));

    // The command poll: a GET with both identifiers and no body; the whole reply
    // fills the command response.
    server().reset();
    server().configure(R"({"command":{"members":{"command":"RunTest","testId":3}}})");
    DACommandResponsePtr command = manager_->getCommandForDeviceId(vxstr("dev-1"), &error);
    EXPECT_FALSE(error);
    ASSERT_TRUE(command);
    EXPECT_EQ(vx::textOf(command->deviceId()), "dev-1");
    EXPECT_EQ(vx::textOf(command->command()), "RunTest");
    request = onlyRequest();
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.header("Diagnostic-Session-ID").value_or(""), "S-1");
    EXPECT_EQ(request.header("Diagnostic-Device-ID").value_or(""), "dev-1");
    EXPECT_EQ(request.header("Content-Type").value_or(""), "application/json; charset=UTF-8");
    EXPECT_TRUE(request.body.empty());
    EXPECT_TRUE(logged("[Command] > DeviceID: dev-1 GET COMMAND\n"));
    EXPECT_TRUE(logged("[Command] < DeviceID: dev-1 Command: RunTest TestId: 3 Data: (null)\n"));

    // Results: an empty record still goes out as an empty object; the trace shows
    // the reply's top-level "code", not the status code.
    server().reset();
    EXPECT_TRUE(manager_->sendResultsObject(CJsonModel::create(), &error));
    EXPECT_FALSE(error);
    request = onlyRequest();
    EXPECT_EQ(request.call, "results");
    EXPECT_EQ(json::parse(request.body), json::object());
    EXPECT_TRUE(logged("[Results] < Received\n"));
}

TEST_F(DeviceCallsTest, FailuresCarryTheErrorAndTheCallsErrorTag) {
    openSession();
    server().configure(R"({"status":403})");
    const std::string description = "Operation Not Allowed";
    for (const Call& call : everyCall()) {
        SCOPED_TRACE(call.tag);
        VxErrorPtr error;
        EXPECT_TRUE(call.failed(&error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), NUCRestResponseErrorDomain);
        EXPECT_EQ(error->localizedDescription(), description);
        EXPECT_TRUE(logged(std::string(call.tag) + " <ERROR> " + description + "\n"));
    }

    // A rejected envelope fails without an error and without an error line.
    server().configure(R"({"status":200,"envelope":"status-empty"})");
    const std::size_t before = log().size();
    expectQuietFailures();
    EXPECT_EQ(log().find("<ERROR>", before), std::string::npos);
}
