#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "model/DACommandResponse.h"
#include "model/DADeviceModel.h"
#include "model/DAStatusObject.h"
#include "model/TestRecords.h"
#include "support/TestEnv.h"

namespace {

using Table = std::vector<std::pair<std::string, std::string>>;

Table declared(const std::vector<CPropertyDeclaration>& declarations) {
    Table out;
    for (const auto& d : declarations) out.emplace_back(d.name, d.attributes);
    return out;
}

const std::string kCopiedString = "T@\"VxString\",C,D";

const std::string kExamples = DA_SOURCE_DIR "/tests/model/declare/";

// The C++ compiler this tree was configured with.
std::string compiler() {
    std::ifstream cache(DA_BINARY_DIR "/CMakeCache.txt");
    for (std::string line; std::getline(cache, line);)
        if (line.rfind("CMAKE_CXX_COMPILER:", 0) == 0) return line.substr(line.find('=') + 1);
    return "c++";
}

// Runs a shell command; its exit code, with stdout and stderr in `output`.
int run(const std::string& command, std::string& output) {
    int code;
    output = da::test::runCommand(command + " 2>&1", &code);
    return code;
}

}  // namespace

// The descriptor of every declared property of every record class, as the
// archives, the JSON and CSV forms and the attribute parsing have always seen
// them. Declaring the records differently must not change a single one.
TEST(Declarations, DescriptorsOfEveryRecordClass) {
    const std::vector<std::pair<std::string, Table>> expected = {
        {"CDictionaryModel", {}},
        {"CJsonModel", {}},
        {"DAStatusObject", {{"code", kCopiedString}, {"reason", kCopiedString}}},
        {"DACommandResponse",
         {{"deviceId", kCopiedString},
          {"command", kCopiedString},
          {"testId", "T@\"VxNumber\",C,D"},
          {"data", "T@\"VxDictionary\",C,D"},
          {"progress", "T@\"VxNumber\",C,D"}}},
        {"DADeviceModel",
         {{"deviceId", kCopiedString},
          {"deviceName", kCopiedString},
          {"nandCapacity", kCopiedString},
          {"meid", kCopiedString},
          {"imei", kCopiedString},
          {"wifiAddress", kCopiedString},
          {"bluetoothAddress", kCopiedString},
          {"iccid", kCopiedString},
          {"basebandVersion", kCopiedString},
          {"modelNumber", kCopiedString},
          {"deviceColor", kCopiedString},
          {"deviceType", kCopiedString},
          {"cpuArchitecture", kCopiedString},
          {"hasBaseband", "TB,D"},
          {"mlbSerialNumber", kCopiedString},
          {"currentBatteryLevel", kCopiedString},
          {"isBatteryCharging", "TB,D"},
          {"systemVersion", kCopiedString},
          {"systemBuild", kCopiedString},
          {"diagnosticsVersion", kCopiedString},
          {"diagnosticsBuild", kCopiedString},
          {"carrierBundleVersion", kCopiedString},
          {"systemUptime", kCopiedString},
          {"currentStandbyTime", kCopiedString},
          {"currentUsageTime", kCopiedString},
          {"primaryDevice", "TB,N,GisPrimaryDevice,VprimaryDevice"},
          {"hashedSNString", "T@\"VxString\",C,N,VhashedSNString"},
          {"clientStatus", "T@\"VxString\",C,VclientStatus"},
          {"currentTest", "T@\"VxString\",C,VcurrentTest"},
          {"progress", "T@\"VxNumber\",&,Vprogress"},
          {"testResults", "T@,&,VtestResults"},
          {"testFileName", "T@\"VxString\",C,VtestFileName"}}},
        {"TMScalars",
         {{"flag", "TB,D"},
          {"small", "Ts,D"},
          {"usmall", "TS,D"},
          {"integer", "Ti,D"},
          {"uinteger", "TI,D"},
          {"big", "Tq,D"},
          {"ubig", "TQ,D"},
          {"ratio", "Tf,D"},
          {"precise", "Td,D"},
          {"letter", "Tc,D"},
          {"byte", "TC,D"},
          {"pointer", "T^v,D"},
          {"cstring", "T*,D"},
          {"klass", "T#,D"},
          {"selector", "T:,D"},
          {"span", "T{_CRange=QQ},D"},
          {"title", kCopiedString},
          {"anything", "T@,&,D"},
          {"fixed", "TB,R,D"},
          {"custom", "Ti,D,GcustomValue,SputCustom:"},
          {"plain", "Ti,VplainField"},
          {"shape", "T{Shape=ii},VshapeField"}}},
        {"TMScalarsChild", {{"extra", "T@\"VxNumber\",C,D"}, {"title", "T@\"VxNumber\",C,D"}}},
        {"TMHandWritten", {{"name", kCopiedString}, {"count", "Ti,D"}}},
        {"TMTranslated", {{"name", kCopiedString}, {"count", "T@\"VxNumber\",C,D"}}},
        {"TMDated", {{"when", "T@\"VxDate\",&,D"}}},
        {"TMCustomDate", {{"when", "T@\"VxDate\",&,D"}}},
        {"TMRow", {{"alpha", kCopiedString}, {"beta", "T@\"VxNumber\",C,D"}, {"gamma", "T@,D"}}},
        {"TMEmpty", {{"notDynamic", "T@\"VxString\",C"}}},
        {"TMCounted", {{"value", "Ti,D"}}},
    };
    const std::vector<std::pair<std::string, const std::vector<CPropertyDeclaration>*>> actual = {
        {"CDictionaryModel", &CDictionaryModel::declaredProperties()},
        {"CJsonModel", &CJsonModel::declaredProperties()},
        {"DAStatusObject", &DAStatusObject::declaredProperties()},
        {"DACommandResponse", &DACommandResponse::declaredProperties()},
        {"DADeviceModel", &DADeviceModel::declaredProperties()},
        {"TMScalars", &TMScalars::declaredProperties()},
        {"TMScalarsChild", &TMScalarsChild::declaredProperties()},
        {"TMHandWritten", &TMHandWritten::declaredProperties()},
        {"TMTranslated", &TMTranslated::declaredProperties()},
        {"TMDated", &TMDated::declaredProperties()},
        {"TMCustomDate", &TMCustomDate::declaredProperties()},
        {"TMRow", &TMRow::declaredProperties()},
        {"TMEmpty", &TMEmpty::declaredProperties()},
        {"TMCounted", &TMCounted::declaredProperties()},
    };
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(actual[i].first, expected[i].first);
        EXPECT_EQ(declared(*actual[i].second), expected[i].second) << expected[i].first;
    }
}

// A record declared against the installed headers and library round-trips
// through JSON, CSV and the keyed archive (the example exits 0).
TEST(Declarations, RecordDeclaredAgainstTheInstalledTree) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the example is built without the sanitizer runtime the library needs";
#endif
    da::test::TempDir tmp;
    ASSERT_FALSE(tmp.path().empty());
    // A staged install (DESTDIR) below the configured prefix, as packagers make it.
    const std::string root = tmp / "root";
    std::string output;
    ASSERT_EQ(run("DESTDIR=" + root + " cmake --install " DA_BINARY_DIR, output), 0) << output;
    std::string libDir, includeDir;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (entry.path().filename() == "libdiagnostics.so") libDir = entry.path().parent_path();
        if (entry.is_directory() && entry.path().filename() == "diagnostics" &&
            entry.path().parent_path().filename() == "include")
            includeDir = entry.path();
    }
    ASSERT_FALSE(libDir.empty());
    ASSERT_FALSE(includeDir.empty());
    const std::string program = tmp / "sensor";
    ASSERT_EQ(run(compiler() + " -std=c++20 -Wall -Wextra -Wpedantic -Werror -I" + includeDir +
                      " " + kExamples + "Sensor.cpp -o " + program + " -L" + libDir +
                      " -ldiagnostics -Wl,-rpath," + libDir,
                  output),
              0)
        << output;
    EXPECT_EQ(run(program, output), 0) << output;
}

// Mistakes in a declaration or in the use of its accessors are compile errors
// that name the fault; the same file without a mistake compiles.
TEST(Declarations, MistakesDoNotCompile) {
    const std::vector<std::pair<int, std::string>> cases = {
        {0, ""},
        {1, "setLable"},                               // misspelt property
        {2, "unsupported property type std::string"},  // no type string for it
        {3, "the setter of reading"},                  // accessor names out of step
        {4, "unsupported property type std::shared_ptr<std::string>"},
        {5, "ObjectArg<VxString>"},  // a number given to a text property
    };
    for (const auto& [mistake, message] : cases) {
        std::string output;
        int status = run(
            compiler() + " -std=c++20 -fsyntax-only -DMISTAKE=" + std::to_string(mistake) +
                " -I" DA_SOURCE_DIR " -I" DA_BINARY_DIR "/generated " + kExamples + "Mistakes.cpp",
            output);
        if (mistake == 0) {
            EXPECT_EQ(status, 0) << output;
            continue;
        }
        EXPECT_NE(status, 0) << mistake;
        EXPECT_NE(output.find(message), std::string::npos) << mistake << ": " << output;
    }
}
