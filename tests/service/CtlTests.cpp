// diagnosticsctl as a user runs it: exit codes, output and what it stores.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "platform/VxPreferences.h"
#include "service/ServiceHarness.h"
#include "support/ReferenceServer.h"

namespace {

struct CtlRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

class CtlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        directory_ = svc::makeTempDirectory("da-ctl");
        ASSERT_FALSE(directory_.empty());
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(directory_, ec);
    }

    // Runs diagnosticsctl with the arguments (already shell-quoted) in this
    // test's preferences and answers, bounded in time.
    CtlRun ctl(const std::string& arguments) {
        const std::string errPath = directory_ + "/stderr";
        const std::string command = "DA_PREFERENCES_DIR=" + directory_ +
                                    "/prefs DA_DEVICE_ANSWERS=" + directory_ +
                                    "/answers.json DA_LOG_DIR=" + directory_ +
                                    "/logs timeout 30 " DA_BINARY_DIR "/tools/ctl/diagnosticsctl " +
                                    arguments + " 2>" + errPath;
        CtlRun run;
        FILE* pipe = ::popen(command.c_str(), "r");
        if (pipe == nullptr) return run;
        char buffer[512];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, n);
        const int status = ::pclose(pipe);
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.err = svc::readFile(errPath);
        return run;
    }

    Id stored(const std::string& key) {
        VxPreferences prefs(directory_ + "/prefs");
        return prefs.copyValue(key, svc::kDomain);
    }

    std::string directory_;
};

TEST_F(CtlTest, PreferencesKeepTheirTypes) {
    const std::string d = svc::kDomain;
    EXPECT_EQ(ctl("prefs set --type uint " + d + " Server 5").exitCode, 0);
    EXPECT_EQ(ctl("prefs set --type int " + d + " Level -- -7").exitCode, 0);
    EXPECT_EQ(ctl("prefs set --type double " + d + " Ratio 2.5").exitCode, 0);
    EXPECT_EQ(ctl("prefs set --type bool " + d + " On yes").exitCode, 0);
    EXPECT_EQ(ctl("prefs set --type json " + d + " Table '{\"a\":[1,null,\"x/y\"]}'").exitCode, 0);
    EXPECT_EQ(ctl("prefs set " + d + " Name 'two words'").exitCode, 0);

    auto server = vx_cast<VxNumber>(stored("Server"));
    ASSERT_TRUE(server);
    EXPECT_FALSE(server->isBoolean());
    EXPECT_FALSE(server->isFloatingPoint());
    EXPECT_EQ(server->unsignedLongLongValue(), 5u);
    EXPECT_TRUE(vx_cast<VxString>(stored("Name")));
    EXPECT_TRUE(vx_cast<VxNumber>(stored("Ratio"))->isFloatingPoint());
    EXPECT_TRUE(vx_cast<VxDictionary>(stored("Table")));
    auto on = vx_cast<VxNumber>(stored("On"));
    ASSERT_TRUE(on);
    EXPECT_TRUE(on->isBoolean());

    EXPECT_EQ(ctl("prefs get " + d + " Server").out, "5\n");
    EXPECT_EQ(ctl("prefs get " + d + " Level").out, "-7\n");
    EXPECT_EQ(ctl("prefs get " + d + " Ratio").out, "2.5\n");
    EXPECT_EQ(ctl("prefs get " + d + " On").out, "true\n");
    EXPECT_EQ(ctl("prefs get " + d + " Table").out, "{\"a\":[1,null,\"x/y\"]}\n");
    EXPECT_EQ(ctl("prefs get " + d + " Name").out, "two words\n");

    // Refused values change nothing.
    CtlRun bad = ctl("prefs set --type uint " + d + " Server -- -1");
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_NE(bad.err.find("not an unsigned integer"), std::string::npos) << bad.err;
    EXPECT_EQ(ctl("prefs set --type json " + d + " Server '{'").exitCode, 2);
    EXPECT_EQ(ctl("prefs set --type bool " + d + " Server maybe").exitCode, 2);
    EXPECT_EQ(ctl("prefs set --type float " + d + " Server 1").exitCode, 2);
    EXPECT_EQ(ctl("prefs set " + d + "/.. Server 1").exitCode, 2);
    EXPECT_EQ(ctl("prefs get " + d + " Server").out, "5\n");

    EXPECT_EQ(ctl("prefs delete " + d + " Server").exitCode, 0);
    CtlRun gone = ctl("prefs get " + d + " Server");
    EXPECT_EQ(gone.exitCode, 1);
    EXPECT_EQ(gone.out, "");
}

TEST_F(CtlTest, DeviceInfoPrintsTheAnswersItCanRead) {
    svc::writeFileAtomically(directory_ + "/answers.json",
                             R"({"SerialNumber":"SERIAL000123","ProductType":"Kelo 7",)"
                             R"("BatteryIsCharging":true,"BatteryCurrentCapacity":81,)"
                             R"("DeviceColor":null})");
    CtlRun run = ctl("device-info");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("SerialNumber: SERIAL000123\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("ProductType: Kelo 7\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("BatteryIsCharging: true\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("BatteryCurrentCapacity: 81\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("DeviceColor"), std::string::npos) << run.out;
    EXPECT_LT(run.out.find("SerialNumber:"), run.out.find("ProductType:"));
}

TEST_F(CtlTest, SessionRunsTheLibrarysSessionCall) {
    da::test::ReferenceServer server;
    const std::string d = svc::kDomain;
    ASSERT_EQ(ctl("prefs set --type uint " + d + " Server 5").exitCode, 0);
    ASSERT_EQ(ctl("prefs set " + d + " CustomServerURL " + server.baseURL()).exitCode, 0);

    server.configure(R"({"sessionId":"S-ctl"})");
    CtlRun ok = ctl("session SERIAL000123");
    EXPECT_EQ(ok.exitCode, 0) << ok.err;
    EXPECT_EQ(ok.out, "S-ctl\n");

    server.configure(R"({"status":503})");
    CtlRun failed = ctl("session SERIAL000123");
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_EQ(failed.out, "");
    EXPECT_NE(failed.err.find("Error Domain=NUCRestResponseErrorDomain Code=-1024"),
              std::string::npos)
        << failed.err;

    CtlRun shortSerial = ctl("session SERIAL00012");
    EXPECT_EQ(shortSerial.exitCode, 1);
    EXPECT_NE(shortSerial.err.find("no session was opened"), std::string::npos) << shortSerial.err;
    EXPECT_EQ(server.requests().size(), 2u);
}

TEST_F(CtlTest, CheckAsksTheServiceOverTheBus) {
    da::test::ReferenceServer server;
    svc::ServiceHarness harness;
    ASSERT_TRUE(harness.error().empty()) << harness.error();
    harness.useServer(server.baseURL());
    harness.setSerialNumber("SERIAL000123");
    server.configure(R"({"sessionId":"S-check"})");

    CtlRun reply = ctl("check --bus-address '" + harness.busAddress() + "' --timeout 20");
    EXPECT_EQ(reply.exitCode, 0) << reply.err;
    EXPECT_EQ(reply.out, "S-check\n");

    harness.setSerialNumber(std::nullopt);
    CtlRun absent = ctl("check --bus-address '" + harness.busAddress() + "'");
    EXPECT_EQ(absent.exitCode, 1) << absent.err;
    EXPECT_EQ(absent.out, "");

    CtlRun noBus = ctl("check --bus-address unix:path=" + directory_ + "/no-such-bus --timeout 2");
    EXPECT_EQ(noBus.exitCode, 2);
    EXPECT_EQ(noBus.out, "");
    EXPECT_NE(noBus.err.find("could not be asked"), std::string::npos) << noBus.err;

    for (const char* sub :
         {"check", "session", "prefs", "prefs get", "prefs set", "prefs delete", "device-info"}) {
        CtlRun help = ctl(std::string(sub) + " --help");
        EXPECT_EQ(help.exitCode, 0) << sub;
        EXPECT_NE(help.out.find("Usage"), std::string::npos) << sub << ": " << help.out;
    }
    EXPECT_EQ(ctl("").exitCode, 2);
}

}  // namespace
