// The connection manager in this process, against the reference server on
// loopback: server choice, the session call's outcomes and the exchange's
// errors. Each test builds its own manager, so the preferences it reads are
// the ones the test wrote.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "Managers/DAConnectionManager.h"
#include "Managers/DAServers.h"
#include "managers/ManagerServerTest.h"
#include "platform/foundation/VxJSON.h"
#include "platform/linux/VxURLRequest.h"
#include "requests/NUCRestResponse.h"

namespace {

constexpr const char* kSerial = "SERIAL000123";

class ConnectionManagerTest : public ManagerServerTest {
  protected:
    // A manager created now (the set-up points "Server" 5 at the reference server).
    static DAConnectionManagerPtr managerForServer() {
        return std::make_shared<DAConnectionManager>();
    }
};

// A filled error slot, to see that the call writes it.
VxErrorPtr staleError() {
    return VxError::errorWithDomain("Stale", 1, "left over", "");
}

TEST_F(ConnectionManagerTest, ServerIsChosenFromThePreferencesAtCreation) {
    struct Row {
        Id server;
        Id custom;
        std::string expected;  // base URL of the generator
    };
    const std::string custom = "http://127.0.0.1:9/custom/v2";
    // (503 is covered through the service.)
    const std::vector<Row> rows = {
        {nullptr, nullptr, DAServerURLProduction},
        {VxNumber::numberWithInt(0), nullptr, DAServerURLProduction},
        {VxNumber::numberWithInt(1), nullptr, DAServerURLInternalUAT},
        {VxNumber::numberWithInt(2), nullptr, DAServerURLInternalIT},
        {VxNumber::numberWithInt(3), nullptr, DAServerURLInternalQA},
        {VxNumber::numberWithInt(4), vxstr(custom), DAServerURLDevelopment},
        {VxNumber::numberWithInt(5), nullptr, DAServerURLProduction},
        {VxNumber::numberWithInt(5), vxstr(custom), custom + "/"},
        {vxstr("5"), vxstr(custom), custom + "/"},
        {VxNumber::numberWithInt(9), vxstr(custom), DAServerURLProduction},
        {VxNumber::numberWithInt(0), vxstr(custom), DAServerURLProduction},
        {VxNumber::numberWithInt(-5), vxstr(custom), DAServerURLProduction},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(vx::textOf(row.server) + " / " + vx::textOf(row.custom));
        prefs("Server", row.server);
        prefs("CustomServerURL", row.custom);
        auto manager = std::make_shared<DAConnectionManager>();
        auto generator = manager->dacRequestGenerator();
        ASSERT_TRUE(generator && generator->baseURL());
        EXPECT_EQ(generator->baseURL()->absoluteString(), row.expected);
        EXPECT_FALSE(manager->sessionIdStr());
    }

    auto generator = std::make_shared<DAConnectionManager>()->dacRequestGenerator();
    EXPECT_EQ(generator->cachePolicy(), 4u);
    EXPECT_EQ(generator->timeoutInterval(), 30.0);
    EXPECT_FALSE(generator->shouldHandleCookies());
    auto headers = generator->defaultRequestHeaders();
    EXPECT_EQ(vx::textOf(headers->objectForKey("Content-Type")), "application/json; charset=UTF-8");
    EXPECT_EQ(vx::textOf(headers->objectForKey("Accept")), "application/json");
    EXPECT_FALSE(vx::isNilOrEmpty(headers->objectForKey("Accept-Language")));
    EXPECT_FALSE(headers->objectForKey("Host"));
}

TEST_F(ConnectionManagerTest, SessionCallOutcomes) {
    auto manager = managerForServer();
    VxErrorPtr error = staleError();

    server().configure(R"({"sessionId":"S-1"})");
    EXPECT_TRUE(manager->sessionForSerialNumber(vxstr(kSerial), &error));
    EXPECT_FALSE(error);
    EXPECT_EQ(vx::textOf(manager->sessionIdStr()), "S-1");

    // A rejected envelope: false, no error, the old identifier kept.
    server().configure(R"({"envelope":"status-empty","sessionId":"S-2"})");
    error = staleError();
    EXPECT_FALSE(manager->sessionForSerialNumber(vxstr(kSerial), &error));
    EXPECT_FALSE(error);
    EXPECT_EQ(vx::textOf(manager->sessionIdStr()), "S-1");

    // Replies that are no dictionary, or no reply at all: false, no error.
    for (const char* body : {"empty", "array", "null"}) {
        SCOPED_TRACE(body);
        server().configure(std::string(R"({"envelope":"response","body":")") + body + "\"}");
        error = staleError();
        EXPECT_FALSE(manager->sessionForSerialNumber(vxstr(kSerial), &error));
        EXPECT_FALSE(error);
        EXPECT_EQ(vx::textOf(manager->sessionIdStr()), "S-1");
    }

    // An accepted reply without "sessionId" clears the slot.
    server().configure(R"({"body":"envelope","omitSessionId":true})");
    error = staleError();
    EXPECT_FALSE(manager->sessionForSerialNumber(vxstr(kSerial), &error));
    EXPECT_FALSE(error);
    EXPECT_FALSE(manager->sessionIdStr());

    // The other accepted forms.
    server().configure(
        R"({"omitSessionId":false,"responseWord":"ProfileSuccess","sessionId":"S-3"})");
    EXPECT_TRUE(manager->sessionForSerialNumber(vxstr(kSerial), &error));
    EXPECT_EQ(vx::textOf(manager->sessionIdStr()), "S-3");
    server().configure(R"({"envelope":"both","responseWord":"Nope","sessionId":"S-4"})");
    EXPECT_TRUE(manager->sessionForSerialNumber(vxstr(kSerial), &error));
    EXPECT_EQ(vx::textOf(manager->sessionIdStr()), "S-4");
    EXPECT_EQ(server().requests().size(), 8u);
}

TEST_F(ConnectionManagerTest, ExchangeErrorsAreHandedOnUnchanged) {
    auto manager = managerForServer();
    server().configure(R"({"sessionId":"S-keep"})");
    ASSERT_TRUE(manager->sessionForSerialNumber(vxstr(kSerial)));

    struct Row {
        const char* knobs;
        std::string domain;
        std::int64_t code;
        std::string description;  // empty: not checked
    };
    // One error of each kind (the response tests classify every status).
    const std::vector<Row> rows = {
        {R"({"status":409})", NUCRestResponseErrorDomain, -1023, "Invalid Request"},
        {R"({"status":502})", VxURLErrorDomain, -1011, "Status code: 502"},
        {R"({"status":200,"body":"invalid"})", VxCocoaErrorDomain, 3840, ""},
        {R"({"body":"envelope","drop":true})", VxURLErrorDomain, 0, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.knobs);
        server().reset();
        server().configure(row.knobs);
        const std::size_t before = log().size();
        VxErrorPtr error;
        EXPECT_FALSE(manager->sessionForSerialNumber(vxstr(kSerial), &error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), row.domain);
        EXPECT_EQ(row.code ? error->code() : 0, row.code);
        if (!row.description.empty()) {
            EXPECT_EQ(error->localizedDescription(), row.description);
        }
        EXPECT_EQ(vx::textOf(manager->sessionIdStr()), "S-keep");
        const std::string lines = log().substr(before);
        EXPECT_NE(lines.find("<3> [Session] <ERROR> " + error->localizedDescription() + "\n"),
                  std::string::npos)
            << lines;
    }
}

TEST_F(ConnectionManagerTest, ShortTimeoutOnTheGeneratorEndsASlowExchange) {
    auto manager = managerForServer();
    manager->dacRequestGenerator()->setTimeoutInterval(0.5);
    server().configure(R"({"delayMs":3000})");
    VxErrorPtr error;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(manager->sessionForSerialNumber(vxstr(kSerial), &error));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), VxURLErrorDomain);
    EXPECT_EQ(error->code(), -1001);
    EXPECT_LT(elapsed, std::chrono::milliseconds(2500));
}

TEST_F(ConnectionManagerTest, UnusableInputSendsNothing) {
    auto manager = managerForServer();
    const std::vector<VxStringPtr> serials = {nullptr, vxstr(""), vxstr("SERIAL00012")};
    for (const auto& serial : serials) {
        VxErrorPtr error = staleError();
        EXPECT_FALSE(manager->sessionForSerialNumber(serial, &error));
        EXPECT_FALSE(error);
    }
    EXPECT_TRUE(server().requests().empty());
    EXPECT_EQ(log().find("[Session]"), std::string::npos);

    // A serial number that cannot travel as JSON text: the request is not built
    // and the builder's error comes back.
    VxErrorPtr error;
    EXPECT_FALSE(manager->sessionForSerialNumber(vxstr("ABC\x80"
                                                       "EFGHIJKLM"),
                                                 &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), NUCURLRequestErrorDomain);
    EXPECT_EQ(error->code(), NUCURLRequestErrorJSONSerialization);
    EXPECT_NE(log().find("<3> [Session] <ERROR> "), std::string::npos);

    // No generator: nothing is built, and there is no error to report.
    manager->setDacRequestGenerator(nullptr);
    error = staleError();
    EXPECT_FALSE(manager->sessionForSerialNumber(vxstr(kSerial), &error));
    EXPECT_FALSE(error);
    EXPECT_TRUE(server().requests().empty());
}

TEST_F(ConnectionManagerTest, PreparationUsesACopyOfTheGenerator) {
    auto manager = managerForServer();
    auto extra = VxDictionary::dictionaryWithPairs({{vxstr("Accept"), vxstr("text/plain")},
                                                    {vxstr("X-Number"), VxNumber::make(5)},
                                                    {vxstr(""), vxstr("dropped")},
                                                    {vxstr("X-Text"), vxstr("kept")}});
    VxErrorPtr error = staleError();
    auto request = manager->prepareURLRequestForMethod(
        vxstr("POST"), vxstr("session"), VxDictionary::dictionaryWithPairs({{"a", vxstr("b")}}),
        nullptr, nullptr, nullptr, extra, &error);
    ASSERT_TRUE(request);
    EXPECT_FALSE(error);
    EXPECT_EQ(request->URL()->absoluteString(), server().baseURL() + "session");
    EXPECT_EQ(vx::textOf(request->valueForHTTPHeaderField("Host")), "127.0.0.1");
    EXPECT_EQ(vx::textOf(request->valueForHTTPHeaderField("Accept")), "text/plain");
    EXPECT_EQ(vx::textOf(request->valueForHTTPHeaderField("X-Text")), "kept");
    EXPECT_FALSE(request->valueForHTTPHeaderField("X-Number"));
    EXPECT_EQ(vx::textOf(request->valueForHTTPHeaderField("Content-Type")),
              "application/json; charset=utf-8");
    // The shared generator never sees the per-request header.
    EXPECT_FALSE(manager->dacRequestGenerator()->defaultRequestHeaders()->objectForKey("Host"));

    // Without a JSON object the request has no body.
    auto plain = manager->prepareURLRequestForMethod(vxstr("GET"), vxstr("command"), vx::null(),
                                                     nullptr, nullptr, nullptr, nullptr, &error);
    ASSERT_TRUE(plain);
    EXPECT_FALSE(plain->HTTPBody());
}

}  // namespace
