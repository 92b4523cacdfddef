#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "model/DACommandResponse.h"
#include "model/DADeviceModel.h"
#include "model/DAStatusObject.h"
#include "model/TestRecords.h"

namespace {

using Table = std::vector<std::pair<std::string, std::string>>;

Table declared(const std::vector<CPropertyDeclaration>& declarations) {
    Table out;
    for (const auto& d : declarations) out.emplace_back(d.name, d.attributes);
    return out;
}

const std::string kCopiedString = "T@\"VxString\",C,D";

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
