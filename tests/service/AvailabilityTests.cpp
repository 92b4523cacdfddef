// The availability service end to end: diagnosticsd started by a private bus,
// asked by a real bus client, talking to the reference server on loopback.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "device/DAUtilities.h"
#include "service/ServiceHarness.h"
#include "support/ReferenceServer.h"
#include "support/TestEnv.h"

namespace {

constexpr const char* kSerial = "SERIAL000123";

// Positions of the texts in `log`, which must each occur exactly once and in this order.
::testing::AssertionResult onceInOrder(const std::string& log,
                                       const std::vector<std::string>& texts) {
    std::size_t previous = 0;
    for (const std::string& text : texts) {
        std::size_t at = log.find(text);
        if (at == std::string::npos)
            return ::testing::AssertionFailure() << "missing \"" << text << "\" in:\n" << log;
        if (log.find(text, at + 1) != std::string::npos)
            return ::testing::AssertionFailure() << "\"" << text << "\" twice in:\n" << log;
        if (at < previous)
            return ::testing::AssertionFailure() << "\"" << text << "\" out of order in:\n" << log;
        previous = at;
    }
    return ::testing::AssertionSuccess();
}

class AvailabilityTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(harness.error().empty()) << harness.error();
        server().reset();
        harness.useServer(server().baseURL());
        harness.setSerialNumber(kSerial);
    }

    static da::test::ReferenceServer& server() { return da::test::ReferenceServer::shared(); }

    // The reply of one request; fails the test when the bus call itself failed.
    std::optional<std::string> ask() {
        VxServiceCallResult result = harness.ask();
        EXPECT_TRUE(result.ok) << result.errorName << ": " << result.error;
        return result.reply;
    }

    std::size_t sessionRequests() const {
        std::size_t n = 0;
        for (const auto& r : server().requests()) n += r.call == "session";
        return n;
    }

    svc::ServiceHarness harness;
};

TEST_F(AvailabilityTest, ReplyComparesTheServersSessionWithTheStoredOne) {
    server().configure(R"({"sessionId":"Sess-ABC-1"})");

    // Nothing stored: the new identifier.
    EXPECT_EQ(ask(), "Sess-ABC-1");

    // Stored by another process just before the request: seen at once.
    harness.setPreference("currentSessionID", vxstr("Sess-ABC-1"));
    EXPECT_EQ(ask(), "IN_CURRENT_SESSION");

    // Equality is exact: a difference in letter case is a new session.
    harness.setPreference("currentSessionID", vxstr("sess-abc-1"));
    EXPECT_EQ(ask(), "Sess-ABC-1");
    harness.setPreference("currentSessionID", vxstr("Sess-ABC-0"));
    EXPECT_EQ(ask(), "Sess-ABC-1");

    // The service never writes the stored identifier.
    auto stored = vx_cast<VxString>(harness.preference("currentSessionID"));
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->str(), "Sess-ABC-0");

    // What went over the wire, every time.
    auto requests = server().requests();
    ASSERT_EQ(requests.size(), 4u);
    auto utilities = DAUtilities::sharedInstance();
    std::vector<std::string> identifiers;
    for (const auto& request : requests) {
        EXPECT_EQ(request.method, "POST");
        EXPECT_EQ(request.path, "/kelo/v1.01/session");
        EXPECT_EQ(request.header("Content-Type"), "application/json; charset=utf-8");
        EXPECT_EQ(request.header("Accept"), "application/json");
        ASSERT_TRUE(request.header("Accept-Language").has_value());
        EXPECT_FALSE(request.header("Accept-Language")->empty());
        EXPECT_EQ(request.header("Host"), "127.0.0.1");
        EXPECT_FALSE(request.header("Cookie").has_value());

        auto body = nlohmann::json::parse(request.body);
        ASSERT_TRUE(body.is_object()) << request.body;
        EXPECT_EQ(body.size(), 3u) << request.body;
        EXPECT_EQ(body.value("platform", ""), "Kelo");
        EXPECT_EQ(body.value("appVersion", ""), DAUtilities::getDiagnosticsVersion()->str());
        const std::string identifier = body.value("identifier", "");
        EXPECT_EQ(identifier.size(), 52u) << identifier;
        EXPECT_EQ(utilities->serialNumberFromHash(vxstr(identifier))->str(), kSerial);
        EXPECT_EQ(request.body.find(kSerial), std::string::npos) << "serial sent in plain form";
        identifiers.push_back(identifier);
    }
    // A fresh UUID for every request.
    EXPECT_NE(identifiers[0], identifiers[1]);
}

TEST_F(AvailabilityTest, EveryFailedSessionGivesNoReplyAndLogsWhy) {
    struct Row {
        const char* knobs;
        std::vector<std::string> logged;  // level-3 lines, in order
    };
    const std::string unknown = "<3> Could not start session for unknown reason";
    const std::vector<Row> rows = {
        {R"({"status":503})",
         {"<3> [Session] <ERROR> Diagnostics Service Not Available\n",
          "<3> Could not start session: Error Domain=NUCRestResponseErrorDomain Code=-1024 "
          "\"Diagnostics Service Not Available\""}},
        {R"({"status":500})",
         {"<3> [Session] <ERROR> Status code: 500\n",
          "<3> Could not start session: Error Domain=VxURLErrorDomain Code=-1011 "}},
        {R"({"status":401})",
         {"<3> [Session] <ERROR> Authentication Error\n",
          "<3> Could not start session: Error Domain=NUCRestResponseErrorDomain Code=-1019 "}},
        {R"({"body":"invalid"})",
         {"<3> [Session] <ERROR> ",
          "<3> Could not start session: Error Domain=VxCocoaErrorDomain Code=3840 "}},
        {R"({"drop":true})",
         {"<3> [Session] <ERROR> ", "<3> Could not start session: Error Domain=VxURLErrorDomain "}},
        {R"({"body":"empty"})", {unknown}},
        {R"({"body":"array"})", {unknown}},
        {R"({"body":"null"})", {unknown}},
        {R"({"envelope":"none"})", {unknown}},
        {R"({"envelope":"status-empty"})", {unknown}},
        {R"({"envelope":"status","statusCode":"noerror"})", {unknown}},
        {R"({"envelope":"response","responseWord":"SessionFailure"})", {unknown}},
        {R"({"omitSessionId":true})", {unknown}},
        {R"({"sessionId":null})", {unknown}},
        {R"({"sessionId":""})", {unknown}},
        // An identifier that a bus text cannot carry.
        {R"({"sessionId":"Sess\u0000X"})",
         {"<3> Session identifier (6 bytes) holds NUL or is not UTF-8"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.knobs);
        server().reset();
        server().configure(row.knobs);
        const std::size_t offset = harness.logSize();
        EXPECT_EQ(ask(), std::nullopt);
        // The HTTP client may send once more on a fresh connection when a reused
        // one closes without a reply; never more.
        EXPECT_GE(sessionRequests(), 1u);
        EXPECT_LE(sessionRequests(),
                  std::string(row.knobs).find("drop") != std::string::npos ? 2u : 1u);
        const std::string log = harness.logSince(offset);
        EXPECT_TRUE(onceInOrder(log, row.logged));
        if (row.logged.size() == 1) {
            EXPECT_EQ(log.find("<ERROR>"), std::string::npos) << log;
            EXPECT_EQ(log.find("Could not start session:"), std::string::npos) << log;
        }
    }

    // No failure ends the service: the next request starts afresh, and the
    // other accepted envelope forms work.
    server().reset();
    server().configure(R"({"sessionId":"S-after","responseWord":"EnrollSuccess"})");
    EXPECT_EQ(ask(), "S-after");
    server().configure(R"({"envelope":"status","sessionId":"S-status"})");
    EXPECT_EQ(ask(), "S-status");
}

TEST_F(AvailabilityTest, UnusableSerialNumberSendsNothing) {
    const std::vector<std::optional<std::string>> serials = {std::nullopt, "", "SERIAL00012"};
    for (const auto& serial : serials) {
        SCOPED_TRACE(serial.value_or("<absent>"));
        harness.setSerialNumber(serial);
        const std::size_t offset = harness.logSize();
        EXPECT_EQ(ask(), std::nullopt);
        EXPECT_TRUE(onceInOrder(harness.logSince(offset),
                                {"<3> Could not start session for unknown reason"}));
    }
    EXPECT_TRUE(server().requests().empty());

    // Twelve characters are enough.
    harness.setSerialNumber("SERIAL000123");
    server().configure(R"({"sessionId":"S-12"})");
    EXPECT_EQ(ask(), "S-12");
}

TEST_F(AvailabilityTest, UnreachableServerDumpsTheExchangeAndLogsTwoErrors) {
    harness.useServer("http://127.0.0.1:" + std::to_string(svc::unusedLoopbackPort()) +
                      "/kelo/v1.01/");
    harness.setPreference("DALogLevel", VxNumber::numberWithInt(7));
    EXPECT_EQ(ask(), std::nullopt);

    const std::string log = harness.logSince(0);
    EXPECT_TRUE(onceInOrder(
        log,
        {"<6> [Session] > Serial: SERIAL000123 Platform:Kelo Version: ", "<7> Request Headers: ",
         "<7> Request body: ", "<7> Response Headers: ", "<7> Response body: ",
         "<3> [Session] <ERROR> ", "<3> Could not start session: Error Domain=VxURLErrorDomain "}));
    // The body dump carries the scrambled identifier only.
    const std::size_t body = log.find("Request body: ");
    const std::size_t end = log.find("<7> Response Headers: ");
    ASSERT_NE(body, std::string::npos);
    EXPECT_EQ(log.substr(body, end - body).find(kSerial), std::string::npos);

    // At the default file level only the two errors are written.
    harness.setPreference("DALogLevel", nullptr);
    const std::size_t offset = harness.logSize();
    EXPECT_EQ(ask(), std::nullopt);
    const std::string errorsOnly = harness.logSince(offset);
    EXPECT_TRUE(
        onceInOrder(errorsOnly, {"<3> [Session] <ERROR> ", "<3> Could not start session: "}));
    EXPECT_EQ(errorsOnly.find("<7>"), std::string::npos);
    EXPECT_EQ(errorsOnly.find("<6>"), std::string::npos);
}

TEST_F(AvailabilityTest, NothingIsLoggedBelowTheGate) {
    // File level 2 (console level 0): the gate stays shut for level 3.
    harness.setPreference("DALogLevel", VxNumber::numberWithInt(2));
    server().configure(R"({"sessionId":"S-quiet"})");
    EXPECT_EQ(ask(), "S-quiet");
    server().configure(R"({"status":503})");
    EXPECT_EQ(ask(), std::nullopt);
    harness.setSerialNumber(std::nullopt);
    EXPECT_EQ(ask(), std::nullopt);
    EXPECT_EQ(harness.logSize(), 0u) << harness.logSince(0);
}

TEST(AvailabilityGate, ProcessMaximumBelowThreeSilencesEveryLevel) {
    da::test::ReferenceServer server;
    svc::ServiceHarness harness({{"DA_LOG_MAX_LEVEL", "2"}, {"DA_LOG_CONSOLE_LEVEL", "7"}});
    ASSERT_TRUE(harness.error().empty()) << harness.error();
    harness.useServer(server.baseURL());
    harness.setSerialNumber(kSerial);
    harness.setPreference("DALogLevel", VxNumber::numberWithInt(7));
    server.configure(R"({"sessionId":"S-max"})");
    auto ok = harness.ask();
    EXPECT_TRUE(ok.ok) << ok.error;
    EXPECT_EQ(ok.reply, "S-max");
    server.configure(R"({"status":503})");
    auto failed = harness.ask();
    EXPECT_TRUE(failed.ok) << failed.error;
    EXPECT_EQ(failed.reply, std::nullopt);
    EXPECT_EQ(harness.logSize(), 0u) << harness.logSince(0);
}

TEST_F(AvailabilityTest, ServerChoiceIsFixedUntilTheServiceRestarts) {
    da::test::ReferenceServer other;
    server().configure(R"({"sessionId":"from-first"})");
    other.configure(R"({"sessionId":"from-second"})");

    EXPECT_EQ(ask(), "from-first");
    const pid_t pid = harness.servicePid();
    ASSERT_GT(pid, 0);

    // Both preferences change while the service runs: still the first server.
    harness.useServer(other.baseURL());
    EXPECT_EQ(ask(), "from-first");
    harness.setPreference("Server", VxNumber::numberWithUnsignedLongLong(9));
    EXPECT_EQ(ask(), "from-first");
    EXPECT_EQ(harness.servicePid(), pid);
    EXPECT_TRUE(other.requests().empty());

    // A new process picks the new server.
    harness.setPreference("Server", VxNumber::numberWithUnsignedLongLong(5));
    ASSERT_TRUE(harness.stopService());
    EXPECT_EQ(ask(), "from-second");
    EXPECT_NE(harness.servicePid(), pid);
    EXPECT_EQ(other.requests().size(), 1u);
    EXPECT_EQ(sessionRequests(), 3u);
    // The service's kept-alive connection would hold up the second server's stop.
    EXPECT_TRUE(harness.stopService());
}

}  // namespace

// A bus client written by someone else starts the service by activation and
// reads the optional text as an array of zero or one string.
TEST_F(AvailabilityTest, OutsideBusClientStartsAndCallsTheService) {
    ASSERT_TRUE(harness.stopService());
    ASSERT_EQ(harness.servicePid(), -1);
    server().configure(R"({"sessionId":"Sess-Busctl"})");
    auto busctl = [&] {
        const std::string command =
            "busctl --address='" + harness.busAddress() +
            "' --timeout=20 call com.tarvo.Diagnostics.SessionAvailability "
            "/com/tarvo/Diagnostics/SessionAvailability "
            "com.tarvo.Diagnostics.DADiagnosticsSessionAvailabilityProtocol "
            "checkAvailabilityWithReply 2>&1";
        return da::test::runCommand(command);
    };
    EXPECT_EQ(busctl(), "as 1 \"Sess-Busctl\"\n");
    EXPECT_GT(harness.servicePid(), 0);
    server().configure(R"({"status":503})");
    EXPECT_EQ(busctl(), "as 0\n");
}
