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

// The declarations as "name:descriptor" words, a copied dynamic text property
// (T@"VxString",C,D) written as "name:text".
std::string declared(const std::vector<CPropertyDeclaration>& declarations) {
    std::string out;
    for (const auto& d : declarations)
        out += (out.empty() ? "" : " ") + d.name + ":" +
               (d.attributes == "T@\"VxString\",C,D" ? "text" : d.attributes);
    return out;
}

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
    const struct {
        const char* cls;
        const std::vector<CPropertyDeclaration>& declarations;
        const char* expected;
    } rows[] = {
        {"CDictionaryModel", CDictionaryModel::declaredProperties(), ""},
        {"CJsonModel", CJsonModel::declaredProperties(), ""},
        {"DAStatusObject", DAStatusObject::declaredProperties(), "code:text reason:text"},
        {"DACommandResponse", DACommandResponse::declaredProperties(),
         "deviceId:text command:text testId:T@\"VxNumber\",C,D data:T@\"VxDictionary\",C,D "
         "progress:T@\"VxNumber\",C,D"},
        {"DADeviceModel", DADeviceModel::declaredProperties(),
         "deviceId:text deviceName:text nandCapacity:text meid:text imei:text wifiAddress:text "
         "bluetoothAddress:text iccid:text basebandVersion:text modelNumber:text "
         "deviceColor:text deviceType:text cpuArchitecture:text hasBaseband:TB,D "
         "mlbSerialNumber:text currentBatteryLevel:text isBatteryCharging:TB,D "
         "systemVersion:text systemBuild:text diagnosticsVersion:text diagnosticsBuild:text "
         "carrierBundleVersion:text systemUptime:text currentStandbyTime:text "
         "currentUsageTime:text primaryDevice:TB,N,GisPrimaryDevice,VprimaryDevice "
         "hashedSNString:T@\"VxString\",C,N,VhashedSNString "
         "clientStatus:T@\"VxString\",C,VclientStatus currentTest:T@\"VxString\",C,VcurrentTest "
         "progress:T@\"VxNumber\",&,Vprogress testResults:T@,&,VtestResults "
         "testFileName:T@\"VxString\",C,VtestFileName"},
        {"TMScalars", TMScalars::declaredProperties(),
         "flag:TB,D small:Ts,D usmall:TS,D integer:Ti,D uinteger:TI,D big:Tq,D ubig:TQ,D "
         "ratio:Tf,D precise:Td,D letter:Tc,D byte:TC,D pointer:T^v,D cstring:T*,D klass:T#,D "
         "selector:T:,D span:T{_CRange=QQ},D title:text anything:T@,&,D fixed:TB,R,D "
         "custom:Ti,D,GcustomValue,SputCustom: plain:Ti,VplainField "
         "shape:T{Shape=ii},VshapeField"},
        {"TMScalarsChild", TMScalarsChild::declaredProperties(),
         "extra:T@\"VxNumber\",C,D title:T@\"VxNumber\",C,D"},
        {"TMHandWritten", TMHandWritten::declaredProperties(), "name:text count:Ti,D"},
        {"TMTranslated", TMTranslated::declaredProperties(), "name:text count:T@\"VxNumber\",C,D"},
        {"TMDated", TMDated::declaredProperties(), "when:T@\"VxDate\",&,D"},
        {"TMCustomDate", TMCustomDate::declaredProperties(), "when:T@\"VxDate\",&,D"},
        {"TMRow", TMRow::declaredProperties(), "alpha:text beta:T@\"VxNumber\",C,D gamma:T@,D"},
        {"TMEmpty", TMEmpty::declaredProperties(), "notDynamic:T@\"VxString\",C"},
        {"TMCounted", TMCounted::declaredProperties(), "value:Ti,D"},
    };
    for (const auto& row : rows) EXPECT_EQ(declared(row.declarations), row.expected) << row.cls;
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
    // The installed headers stand alone: no private header of a folder, and
    // none that needs a dependency's headers (the package names none).
    for (const auto& entry : std::filesystem::recursive_directory_iterator(includeDir)) {
        if (!entry.is_regular_file()) continue;
        const std::string name = entry.path().filename();
        EXPECT_EQ(name.find("Private.h"), std::string::npos) << entry.path();
        EXPECT_EQ(da::test::readFile(entry.path()).find("#include <unicode/"), std::string::npos)
            << entry.path();
    }
    const std::string program = tmp / "sensor";
    ASSERT_EQ(run(compiler() + " -std=c++20 -Wall -Wextra -Wpedantic -Werror -I" + includeDir +
                      " " + kExamples + "Sensor.cpp -o " + program + " -L" + libDir +
                      " -ldiagnostics -Wl,-rpath," + libDir,
                  output),
              0)
        << output;
    EXPECT_EQ(run(program, output), 0) << output;

    // The bus library installs beside it and links on top of it.
    const std::string client = tmp / "bus-client";
    std::ofstream(client + ".cpp") << "#include \"platform/bus/VxServiceClient.h\"\n"
                                      "#include \"service/ServiceDelegate.h\"\n"
                                      "int main() { return vxChooseBus(\"unix:path=/x\", false)"
                                      ".address.empty(); }\n";
    ASSERT_EQ(run(compiler() + " -std=c++20 -Wall -Wextra -Wpedantic -Werror -I" + includeDir +
                      " " + client + ".cpp -o " + client + " -L" + libDir +
                      " -ldiagnostics-service -ldiagnostics",
                  output),
              0)
        << output;
    EXPECT_EQ(run("LD_LIBRARY_PATH=" + libDir + " " + client, output), 0) << output;
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
