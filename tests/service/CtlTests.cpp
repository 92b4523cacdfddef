// diagnosticsctl as a user runs it: exit codes, output and what it stores, one
// group of tests per subcommand; the protocol subcommands run against the
// reference server, which keeps what it receives.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <string>

#include "platform/linux/VxPreferences.h"
#include "service/ServiceHarness.h"
#include "support/ReferenceServer.h"
#include "support/TestEnv.h"

namespace {

using json = nlohmann::json;
using ::testing::HasSubstr;

struct CtlRun {
    int exitCode = -1;
    std::string out;
    std::string err;
    json outJson() const { return json::parse(out, nullptr, false); }
};

class CtlTest : public ::testing::Test {
  protected:
    // Runs diagnosticsctl with the arguments (already shell-quoted) in this
    // test's preferences, answers and logs, bounded in time.
    CtlRun ctl(const std::string& arguments) {
        const std::string errPath = directory_ + "/stderr";
        CtlRun run;
        run.out = da::test::runCommand(
            "DA_PREFERENCES_DIR=" + directory_ + "/prefs DA_DEVICE_ANSWERS=" + directory_ +
                "/answers.json DA_LOG_DIR=" + directory_ +
                "/logs timeout 60 " DA_BINARY_DIR "/tools/ctl/diagnosticsctl " + arguments + " 2>" +
                errPath,
            &run.exitCode);
        run.err = svc::readFile(errPath);
        return run;
    }

    Id stored(const std::string& key) {
        VxPreferences prefs(directory_ + "/prefs");
        return prefs.copyValue(key, svc::kDomain);
    }
    void useServer(const std::string& baseURL) {
        const std::string d = svc::kDomain;
        ASSERT_EQ(ctl("prefs set --type uint " + d + " Server 5").exitCode, 0);
        ASSERT_EQ(ctl("prefs set " + d + " CustomServerURL " + baseURL).exitCode, 0);
    }
    std::string write(const std::string& name, const std::string& text) {
        const std::string path = directory_ + "/" + name;
        svc::writeFileAtomically(path, text);
        return path;
    }

    da::test::TempDir tmp_;
    const std::string& directory_ = tmp_.path();
};

// The run ended with `code` and said `why` on stderr.
::testing::AssertionResult fails(const CtlRun& run, int code, const std::string& why) {
    if (run.exitCode == code && run.err.find(why) != std::string::npos)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "exit code " << run.exitCode << ", stderr: " << run.err;
}

// ---- prefs -----------------------------------------------------------------

TEST_F(CtlTest, PrefsKeepTheirTypes) {
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
    EXPECT_EQ(ctl("--json prefs get " + d + " Name").out, "\"two words\"\n");
    EXPECT_EQ(ctl("prefs get " + d + " On --json").out, "true\n");

    // Refused values change nothing.
    EXPECT_TRUE(
        fails(ctl("prefs set --type uint " + d + " Server -- -1"), 2, "not an unsigned integer"));
    EXPECT_EQ(ctl("prefs set --type json " + d + " Server '{'").exitCode, 2);
    EXPECT_EQ(ctl("prefs set --type bool " + d + " Server maybe").exitCode, 2);
    EXPECT_EQ(ctl("prefs set --type float " + d + " Server 1").exitCode, 2);
    EXPECT_EQ(ctl("prefs set " + d + "/.. Server 1").exitCode, 2);
    EXPECT_TRUE(fails(ctl("prefs set " + d + " '' 1"), 2, "must not be empty"));
    EXPECT_EQ(ctl("prefs get " + d + " ''").exitCode, 2);
    EXPECT_EQ(ctl("prefs get " + d + " Server").out, "5\n");

    EXPECT_EQ(ctl("prefs delete " + d + " Server").exitCode, 0);
    CtlRun gone = ctl("prefs get " + d + " Server");
    EXPECT_EQ(gone.exitCode, 1);
    EXPECT_EQ(gone.out, "");

    // Deleting what is not there writes nothing, and no lock file stays.
    EXPECT_EQ(ctl("prefs delete com.example.Unknown Key").exitCode, 0);
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory_ + "/prefs"))
        names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{d + ".json"});
}

// ---- device-info -------------------------------------------------------------

TEST_F(CtlTest, DeviceInfoPrintsTheAnswersOrTheDeviceRecord) {
    write("answers.json",
          R"({"SerialNumber":"SERIAL000123","ProductType":"Kelo 7",)"
          R"("BatteryIsCharging":true,"BatteryCurrentCapacity":81,"DeviceColor":null})");
    CtlRun run = ctl("device-info");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_THAT(run.out, HasSubstr("SerialNumber: SERIAL000123\n"));
    EXPECT_THAT(run.out, HasSubstr("ProductType: Kelo 7\n"));
    EXPECT_THAT(run.out, HasSubstr("BatteryIsCharging: true\n"));
    EXPECT_THAT(run.out, HasSubstr("BatteryCurrentCapacity: 81\n"));
    EXPECT_EQ(run.out.find("DeviceColor"), std::string::npos) << run.out;
    EXPECT_LT(run.out.find("SerialNumber:"), run.out.find("ProductType:"));

    // The record as the profile call sends it: every stored property, one line.
    CtlRun record = ctl("device-info --json");
    EXPECT_EQ(record.exitCode, 0) << record.err;
    EXPECT_EQ(std::count(record.out.begin(), record.out.end(), '\n'), 1);
    json j = record.outJson();
    ASSERT_TRUE(j.is_object()) << record.out;
    EXPECT_EQ(j["deviceId"].get<std::string>().size(), 52u);
    EXPECT_EQ(j["isBatteryCharging"], true);
    EXPECT_TRUE(j.contains("deviceColor") && j["deviceColor"].is_null());
    EXPECT_FALSE(j.contains("clientStatus"));
}

// ---- check, status and the command line itself --------------------------------

TEST_F(CtlTest, CheckAndStatusAskTheServiceOverTheBus) {
    da::test::ReferenceServer server;
    svc::ServiceHarness harness;
    ASSERT_TRUE(harness.error().empty()) << harness.error();
    harness.useServer(server.baseURL());
    harness.setSerialNumber("SERIAL000123");
    server.configure(R"({"sessionId":"S-check"})");
    const std::string bus = "--bus-address '" + harness.busAddress() + "'";

    // Not started yet, and asking for the status does not start it.
    CtlRun idle = ctl("status --json " + bus);
    EXPECT_EQ(idle.exitCode, 0) << idle.err;
    EXPECT_EQ(idle.outJson()["running"], false) << idle.out;
    EXPECT_EQ(harness.servicePid(), -1);

    CtlRun reply = ctl("check " + bus + " --timeout 20");
    EXPECT_EQ(reply.exitCode, 0) << reply.err;
    EXPECT_EQ(reply.out, "S-check\n");
    CtlRun replyJson = ctl("check --json " + bus);
    EXPECT_EQ(replyJson.outJson(), (json{{"reply", "S-check"}, {"inCurrentSession", false}}));

    harness.setSerialNumber(std::nullopt);
    CtlRun absent = ctl("check " + bus);
    EXPECT_EQ(absent.exitCode, 1) << absent.err;
    EXPECT_EQ(absent.out, "");
    EXPECT_THAT(absent.err, HasSubstr("no answer"));
    EXPECT_THAT(absent.err, HasSubstr("Diagnostics.log"));
    EXPECT_THAT(absent.err, HasSubstr("journalctl"));

    useServer(server.baseURL());
    ASSERT_EQ(ctl("prefs set com.tarvo.Diagnostics currentSessionID S-9").exitCode, 0);
    std::filesystem::create_directories(directory_ + "/logs");
    write("logs/Diagnostics.log",
          "2026-01-01 10:00:00.000 [1:1] <3> [Session] <ERROR> first\n"
          "2026-01-01 10:00:01.000 [1:1] <6> [Session] > trace\n"
          "2026-01-01 10:00:02.000 [1:1] <3> [Enroll] <ERROR> last\n"
          "2026-01-01 10:00:03.000 [1:1] <6> [Enroll] > trace\n");
    CtlRun status = ctl("status " + bus + " --json");
    EXPECT_EQ(status.exitCode, 0) << status.err;
    json s = status.outJson();
    EXPECT_EQ(s["running"], true) << status.out;
    EXPECT_EQ(s["pid"], harness.servicePid());
    EXPECT_GE(s["uptimeSeconds"].get<long>(), 0);
    EXPECT_EQ(s["server"], 5);
    EXPECT_EQ(s["baseURL"], server.baseURL());
    EXPECT_EQ(s["currentSessionID"], "S-9");
    EXPECT_EQ(s["logFile"], directory_ + "/logs/Diagnostics.log");
    EXPECT_EQ(s["lastError"], "2026-01-01 10:00:02.000 [1:1] <3> [Enroll] <ERROR> last");
    CtlRun text = ctl("status " + bus);
    EXPECT_THAT(text.out, HasSubstr("running, PID " + std::to_string(harness.servicePid())));
    EXPECT_THAT(text.out, HasSubstr("currentSessionID S-9"));

    CtlRun noBus = ctl("check --bus-address unix:path=" + directory_ + "/no-such-bus --timeout 2");
    EXPECT_EQ(noBus.exitCode, 2);
    EXPECT_EQ(noBus.out, "");
    EXPECT_THAT(noBus.err, HasSubstr("could not be asked"));
    for (const char* timeout : {"0", "3601", "-1"})
        EXPECT_TRUE(fails(ctl(std::string("check --timeout ") + timeout), 2,
                          "more than 0 and at most 3600"))
            << timeout;
}

TEST_F(CtlTest, UsageVersionAndUnknownSubcommands) {
    for (const char* sub : {"", "check", "status", "prefs", "prefs get", "prefs set",
                            "prefs delete", "device-info", "session", "enroll", "profile",
                            "client-status", "command", "results", "upload", "strings"}) {
        CtlRun help = ctl(std::string(sub) + " --help");
        EXPECT_EQ(help.exitCode, 0) << sub;
        EXPECT_EQ(help.out.rfind("Usage: diagnosticsctl " + std::string(sub), 0), 0u)
            << sub << ": " << help.out;
    }
    CtlRun version = ctl("--version");
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind("diagnosticsctl ", 0), 0u) << version.out;

    for (const char* wrong : {"frobnicate", "--json frobnicate", "prefs frobnicate"})
        EXPECT_TRUE(fails(ctl(wrong), 2, "unknown subcommand \"frobnicate\"")) << wrong;
    EXPECT_EQ(ctl("").exitCode, 2);
    EXPECT_EQ(ctl("--system --user status").exitCode, 2);
}

// ---- protocol subcommands against the reference server --------------------------

class CtlProtocolTest : public CtlTest {
  protected:
    void SetUp() override {
        server_ = std::make_unique<da::test::ReferenceServer>(
            std::vector<std::string>{"--store", directory_ + "/store"});
        useServer(server_->baseURL());
        write("answers.json", R"({"SerialNumber":"SERIAL000123"})");
    }
    json storedJson(const std::string& relative) {
        return json::parse(svc::readFile(directory_ + "/store/" + relative), nullptr, false);
    }

    std::unique_ptr<da::test::ReferenceServer> server_;
};

TEST_F(CtlProtocolTest, SessionPrintsTheIdentifierOrSaysWhyNot) {
    CtlRun ok = ctl("session SERIAL000123");
    EXPECT_EQ(ok.exitCode, 0) << ok.err;
    EXPECT_EQ(ok.out, "S-0001\n");
    EXPECT_EQ(ctl("--json session SERIAL000123").outJson(), (json{{"sessionId", "S-0001"}}));

    server_->configure(R"({"status":503})");
    CtlRun refused = ctl("session SERIAL000123");
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.out, "");
    EXPECT_THAT(refused.err, HasSubstr("session: refused: "));
    EXPECT_THAT(refused.err, HasSubstr("NUCRestResponseErrorDomain -1024"));

    EXPECT_TRUE(fails(ctl("session SERIAL00012"), 1, "no session was opened"));
    EXPECT_EQ(server_->requests().size(), 3u);

    // A server that cannot be reached is a transport error.
    server_->stop();
    EXPECT_TRUE(fails(ctl("session SERIAL000123"), 2, "transport error"));
}

TEST_F(CtlProtocolTest, EnrollStoresTheDevicesAndNeedsAnIssuedSession) {
    CtlRun run = ctl("enroll SERIAL000123 SERIAL000456");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const json devices = {{"SERIAL000123", "device-1"}, {"SERIAL000456", "device-2"}};
    EXPECT_EQ(run.outJson(), devices);
    EXPECT_EQ(storedJson("enrolled.json"), devices);
    auto requests = server_->requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].call, "session");
    EXPECT_EQ(requests[1].header("Diagnostic-Session-ID").value_or(""), "S-0001");

    // An identifier the server did not issue is refused; one it did is used as is.
    EXPECT_TRUE(fails(ctl("enroll SERIAL000789 --session-id S-forged"), 1, "enroll: refused"));
    EXPECT_EQ(storedJson("enrolled.json"), devices);
    EXPECT_EQ(ctl("enroll SERIAL000789 --session-id S-0001 --json").exitCode, 0);
    EXPECT_EQ(server_->requests().size(), 4u);  // no session call for either

    // No serial number to open a session for.
    write("answers.json", "{}");
    EXPECT_TRUE(fails(ctl("enroll SERIAL000789"), 2, "--serial or --session-id"));
    EXPECT_EQ(ctl("enroll SERIAL000789 --serial SERIAL000123").exitCode, 0);
}

TEST_F(CtlProtocolTest, ProfileAndClientStatusSendDeviceRecords) {
    const json records = json::array(
        {{{"deviceId", "dev-1"}, {"deviceName", "one"}}, {{"deviceId", "dev-2"}, {"imei", "35"}}});
    const std::string file = write("devices.json", records.dump());
    CtlRun profile = ctl("profile --json --file " + file);
    EXPECT_EQ(profile.exitCode, 0) << profile.err;
    EXPECT_EQ(profile.outJson(), (json{{"dev-1", "accepted"}, {"dev-2", "accepted"}}));
    EXPECT_EQ(storedJson("profile/000001.json"), records);

    // The record this device assembles.
    CtlRun own = ctl("profile --device dev-own");
    EXPECT_EQ(own.exitCode, 0) << own.err;
    EXPECT_EQ(own.outJson(), (json{{"dev-own", "accepted"}}));
    EXPECT_EQ(storedJson("profile/000002.json")[0]["deviceId"], "dev-own");

    const std::string one = write("one.json", records[0].dump());
    CtlRun status = ctl("client-status --file " + one);
    EXPECT_EQ(status.exitCode, 0) << status.err;
    EXPECT_EQ(status.outJson(), (json{{"deviceId", "dev-1"}}));
    EXPECT_EQ(storedJson("clientstatus/000001.json"), records[0]);

    // Unusable input files send nothing.
    const std::size_t before = server_->requests().size();
    EXPECT_EQ(ctl("client-status --file " + file).exitCode, 2);  // two records
    EXPECT_EQ(ctl("profile --file " + write("bad.json", "[1]")).exitCode, 2);
    EXPECT_EQ(ctl("profile --file " + write("notjson.json", "{")).exitCode, 2);
    EXPECT_EQ(ctl("profile --file " + directory_ + "/missing.json").exitCode, 2);
    EXPECT_EQ(server_->requests().size(), before);
}

TEST_F(CtlProtocolTest, CommandAndResults) {
    CtlRun command = ctl("command dev-7");
    EXPECT_EQ(command.exitCode, 0) << command.err;
    EXPECT_EQ(command.outJson(), (json{{"deviceId", "dev-7"}}));
    EXPECT_EQ(server_->requests().back().header("Diagnostic-Device-ID").value_or(""), "dev-7");

    const json results = {{"testId", 7}, {"passed", true}, {"values", {1.5, "x", nullptr}}};
    const std::string file = write("results.json", results.dump());
    CtlRun sent = ctl("results " + file + " --json");
    EXPECT_EQ(sent.exitCode, 0) << sent.err;
    EXPECT_EQ(sent.outJson(), results);
    EXPECT_EQ(storedJson("results/000001.json"), results);

    server_->configure(R"({"results":{"statusCode":"Busy"}})");
    EXPECT_TRUE(fails(ctl("results " + file), 1, "not accepted"));
    EXPECT_EQ(ctl("results " + write("array.json", "[]")).exitCode, 2);
}

TEST_F(CtlProtocolTest, UploadArrivesIntactOrStaysLocal) {
    std::string bytes(3 * 1024 * 1024 + 17, '\0');
    std::mt19937 random(7);
    for (char& b : bytes) b = static_cast<char>(random());
    const std::string file = write("run.bin", bytes);

    CtlRun run = ctl("--json upload " + file + " --test T1 --data D1 --device dev-1 " +
                     "--sequence 2 --total 3");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err.find('\r'), std::string::npos);  // no progress line off a terminal
    json summary = run.outJson();
    EXPECT_EQ(summary["size"], bytes.size());
    EXPECT_EQ(summary["testId"], "T1");
    EXPECT_FALSE(std::filesystem::exists(file));  // accepted: the local file goes
    EXPECT_EQ(svc::readFile(directory_ + "/store/uploads/T1/D1"), bytes);
    json description = storedJson("uploads/T1/.D1.json");
    EXPECT_EQ(description["size"], bytes.size());
    EXPECT_EQ(description["sequence"], "2");
    EXPECT_EQ(description["total"], "3");
    EXPECT_EQ(description["deviceId"], "dev-1");
    EXPECT_EQ(description["md5"], server_->requests().back().header("ZET-file-MD5").value_or(""));

    // Damaged in transit: refused, nothing stored, and the file stays for a retry.
    write("run.bin", bytes);
    server_->configure(R"({"upload":{"corruptUpload":true}})");
    EXPECT_TRUE(fails(ctl("upload " + file + " --test T1 --data D2 --device dev-1"), 1,
                      "the file is kept"));
    EXPECT_EQ(svc::readFile(file), bytes);
    EXPECT_FALSE(std::filesystem::exists(directory_ + "/store/uploads/T1/D2"));

    EXPECT_EQ(ctl("upload " + directory_ + " --test T --data D --device d").exitCode, 2);
    EXPECT_EQ(ctl("upload " + file + " --test T --data D").exitCode, 2);  // no --device
}

TEST_F(CtlProtocolTest, ProgressIsDrawnOnATerminal) {
    std::string bytes(2 * 1024 * 1024, 'p');
    const std::string file = write("run.bin", bytes);
    // script(1) gives the command a terminal and copies what it writes there.
    const std::string command = "cd " + directory_ + " && DA_PREFERENCES_DIR=prefs " +
                                "DA_DEVICE_ANSWERS=answers.json DA_LOG_DIR=logs timeout 60 " +
                                "script -qec '" DA_BINARY_DIR "/tools/ctl/diagnosticsctl upload " +
                                file + " --test T1 --data D1 --device dev-1' /dev/null";
    int exitCode;
    const std::string screen = da::test::runCommand(command, &exitCode);
    EXPECT_EQ(exitCode, 0) << screen;
    EXPECT_THAT(screen, HasSubstr("\rChecking (MD5)  2.00 MiB / 2.00 MiB  100%"));
    EXPECT_THAT(screen, HasSubstr("\rChecked 2.00 MiB in "));
    EXPECT_THAT(screen, HasSubstr("\rUploading  2.00 MiB / 2.00 MiB  100%"));
    EXPECT_THAT(screen, HasSubstr("\rUploaded 2.00 MiB in "));
    EXPECT_EQ(svc::readFile(directory_ + "/store/uploads/T1/D1"), bytes);
}

TEST_F(CtlProtocolTest, StringsLandInTheBundle) {
    const std::string bundle = directory_ + "/bundle";
    CtlRun run = ctl("strings " + bundle);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const std::string table = bundle + "/Base.lproj/Localizable.strings";
    EXPECT_EQ(run.outJson()["file"], table);
    EXPECT_EQ(svc::readFile(table), "\"OK\" = \"OK\";\n\"Cancel\" = \"Cancel\";\n");

    server_->stop();
    EXPECT_TRUE(fails(ctl("strings " + bundle), 1, "no strings table arrived"));
    EXPECT_EQ(svc::readFile(table), "\"OK\" = \"OK\";\n\"Cancel\" = \"Cancel\";\n");
}

}  // namespace
