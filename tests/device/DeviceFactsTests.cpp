// Device facts: single answers, battery times, uptime, the carrier bundle and
// the assembled device record, driven by an answers file and a private sysfs
// root in a temporary directory.
#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <regex>
#include <string>

#include "device/DAUtilities.h"
#include "model/DADeviceModel.h"
#include "platform/foundation/VxJSON.h"
#include "support/TestEnv.h"

namespace fs = std::filesystem;

namespace {

using da::test::ScopedEnv;
using da::test::writeFile;

class DeviceFactsTest : public ::testing::Test {
  protected:
    void SetUp() override { fs::create_directories(dir_ / "sys"); }
    // Every answer comes from this JSON object (null entries mean "no answer").
    void useAnswers(const std::string& json) {
        static std::atomic<int> counter{0};
        const std::string file = tmp_.write("answers-" + std::to_string(++counter) + ".json", json);
        answers_.reset();  // restore first, so the new value is the one left set
        answers_ = std::make_unique<ScopedEnv>("DA_DEVICE_ANSWERS", file);
    }

    da::test::TempDir tmp_;
    const fs::path dir_ = tmp_.path();
    ScopedEnv sysroot_{"DA_SYSFS_ROOT", tmp_ / "sys"};
    std::unique_ptr<ScopedEnv> answers_;
};

// Every question key, answered with null: no fact reaches the record from the
// machine the tests run on.
const char* kNoAnswers = R"({
  "UserAssignedDeviceName": null, "DiskUsage": null, "MobileEquipmentIdentifier": null,
  "InternationalMobileEquipmentIdentity": null, "WifiAddress": null, "BluetoothAddress": null,
  "IntegratedCircuitCardIdentifier": null, "BasebandFirmwareVersion": null,
  "ModelNumber": null, "DeviceColor": null, "ProductType": null, "CPUArchitecture": null,
  "MLBSerialNumber": null, "BatteryCurrentCapacity": null, "BatteryIsCharging": null,
  "BuildVersion": null, "BatteryUsageTime": null, "BatteryStandbyTime": null})";

std::string text(const Id& value) {
    return vx::isNull(value) ? "<null>" : vx::textOf(value);
}

}  // namespace

TEST_F(DeviceFactsTest, RecordCarriesEveryAnsweredFact) {
    useAnswers(R"({
      "UserAssignedDeviceName": "Bench 7", "DiskUsage": {"TotalDataCapacity": 64000000000,
      "TotalDataAvailable": 1}, "MobileEquipmentIdentifier": "A1000049",
      "InternationalMobileEquipmentIdentity": "356938035643809", "WifiAddress": "aa:bb:cc:00:11:22",
      "BluetoothAddress": "aa:bb:cc:00:11:23", "IntegratedCircuitCardIdentifier": "8991101200003204510",
      "BasebandFirmwareVersion": "7.80.04", "ModelNumber": "MX-200", "DeviceColor": "black",
      "ProductType": "Handheld5,1", "CPUArchitecture": "aarch64", "MLBSerialNumber": "MLB123",
      "BatteryCurrentCapacity": 87, "BatteryIsCharging": true, "BuildVersion": "22A100",
      "ProductVersion": "16.1", "BatteryUsageTime": 3600, "BatteryStandbyTime": 7200.5})");
    writeFile(dir_ / "sys/proc/uptime", "12345.67 400.00\n");

    auto utils = DAUtilities::sharedInstance();
    EXPECT_EQ(text(utils->getDeviceVersion()), "16.1");
    EXPECT_EQ(utils->getCurrentUsageTime(), 3600.0f);
    EXPECT_EQ(utils->getCurrentStandbyTime(), 7200.5f);
    EXPECT_DOUBLE_EQ(utils->getSystemUptime(), 12345.67);

    auto device = utils->deviceModelForDeviceId(vxstr("dev-1"));
    ASSERT_TRUE(device);
    const std::pair<const char*, std::string> expected[] = {
        {"deviceId", "dev-1"},
        {"deviceName", "Bench 7"},
        {"nandCapacity", "64000000000"},
        {"meid", "A1000049"},
        {"imei", "356938035643809"},
        {"wifiAddress", "aa:bb:cc:00:11:22"},
        {"bluetoothAddress", "aa:bb:cc:00:11:23"},
        {"iccid", "8991101200003204510"},
        {"basebandVersion", "7.80.04"},
        {"modelNumber", "MX-200"},
        {"deviceColor", "black"},
        {"deviceType", "Handheld5,1"},
        {"cpuArchitecture", "aarch64"},
        {"mlbSerialNumber", "MLB123"},
        {"currentBatteryLevel", "87"},
        {"systemVersion", "<null>"},  // osVersion is not set by init
        {"systemBuild", "22A100"},
        {"diagnosticsVersion", text(utils->applicationVersion())},
        {"diagnosticsBuild", text(utils->applicationBuild())},
        {"systemUptime", "12345.67"},
        {"currentStandbyTime", "7200.5"},
        {"currentUsageTime", "3600"},
    };
    VxDictionaryPtr profile = device->dictionary();
    for (const auto& [key, value] : expected) {
        EXPECT_EQ(text(profile->objectForKey(key)), value) << key;
    }
    EXPECT_TRUE(device->hasBaseband());
    EXPECT_TRUE(device->isBatteryCharging());
    // All 25 stored properties are present, so the JSON form names every one.
    EXPECT_EQ(profile->count(), 25u);
    EXPECT_FALSE(profile->objectForKey("clientStatus"));
}

TEST_F(DeviceFactsTest, MissingFactsBecomeTheNullMarker) {
    useAnswers(kNoAnswers);
    auto utils = DAUtilities::sharedInstance();
    EXPECT_FALSE(utils->getDiskCapacity());
    EXPECT_FALSE(utils->isBatteryCharging());
    // No battery below the private root and no override: the query fails.
    EXPECT_EQ(utils->getCurrentUsageTime(), -1.0f);
    EXPECT_EQ(utils->getCurrentStandbyTime(), -1.0f);
    EXPECT_GT(utils->getSystemUptime(), 0.0);  // no /proc/uptime: the boot clock

    auto device = utils->deviceModelForDeviceId(vxstr("dev-2"));
    ASSERT_TRUE(device);
    VxDictionaryPtr profile = device->dictionary();
    EXPECT_EQ(profile->count(), 25u);
    for (const char* key :
         {"deviceName", "nandCapacity", "meid", "imei", "wifiAddress", "bluetoothAddress", "iccid",
          "basebandVersion", "modelNumber", "deviceColor", "deviceType", "cpuArchitecture",
          "mlbSerialNumber", "currentBatteryLevel", "systemBuild", "carrierBundleVersion"}) {
        EXPECT_TRUE(vx::isNull(profile->objectForKey(key))) << key;
    }
    EXPECT_FALSE(device->hasBaseband());
    EXPECT_FALSE(device->isBatteryCharging());
    EXPECT_EQ(text(device->currentUsageTime()), "-1");
    EXPECT_EQ(text(device->currentStandbyTime()), "-1");
    // Missing values serialise as JSON null.
    auto json = VxJSONSerialization::dataWithJSONObject(profile, 0, nullptr);
    ASSERT_TRUE(json);
    EXPECT_NE(std::string(json->view()).find("\"meid\":null"), std::string::npos);

    // An empty baseband version is kept as text but means no baseband; an empty
    // disk table is no capacity; a text fact answered with a number is missing.
    useAnswers(R"({"BasebandFirmwareVersion": "", "DiskUsage": {}, "ModelNumber": 42,
                   "BatteryIsCharging": false})");
    device = utils->deviceModelForDeviceId(vxstr("dev-3"));
    EXPECT_FALSE(device->hasBaseband());
    EXPECT_EQ(text(device->basebandVersion()), "");
    EXPECT_TRUE(vx::isNull(device->nandCapacity()));
    EXPECT_TRUE(vx::isNull(device->modelNumber()));
    EXPECT_FALSE(device->isBatteryCharging());

    // A caller-set OS version reaches the record.
    utils->setOsVersion(vxstr("6.1.0"));
    EXPECT_EQ(text(utils->deviceModelForDeviceId(vxstr("d"))->systemVersion()), "6.1.0");
    utils->setOsVersion(nullptr);
}

TEST_F(DeviceFactsTest, CarrierBundleVersionIsReadThroughLinks) {
    ScopedEnv home("HOME", (dir_ / "home").string());
    auto utils = DAUtilities::sharedInstance();
    EXPECT_FALSE(utils->getCarrierBundleVersion());  // no bundle

    writeFile(dir_ / "bundles/carrier-42/Info.json", R"({"BundleVersion": "42.1"})");
    fs::create_directories(dir_ / "home/Library");
    fs::create_directory_symlink(dir_ / "bundles/carrier-42",
                                 dir_ / "home/Library/Carrier Bundle.bundle");
    EXPECT_EQ(text(utils->getCarrierBundleVersion()), "42.1");

    for (const char* info : {R"({"BundleVersion": 42})", "not json", "[]"}) {
        writeFile(dir_ / "bundles/carrier-42/Info.json", info);
        EXPECT_FALSE(utils->getCarrierBundleVersion()) << info;
    }
}

TEST_F(DeviceFactsTest, NumberTextsAndAuxiliarySerials) {
    auto utils = DAUtilities::sharedInstance();
    EXPECT_EQ(text(utils->stringOrNullFromNumber(VxNumber::numberWithDouble(0.25))), "0.25");
    for (const Id& none : {Id(), vx::null(), Id(VxArray::array())})
        EXPECT_TRUE(vx::isNull(utils->stringOrNullFromNumber(none)));
    EXPECT_FALSE(utils->getAuxHashedDeviceSerialNumberArray());
}

// The time stamp reads as its pattern does to a person: month/day/year, a
// 24-hour time and the offset. A formatter with another pattern is used as is.
TEST_F(DeviceFactsTest, CreatedDateReadsAsThePatternDoes) {
    auto utils = DAUtilities::sharedInstance();
    const std::regex stamp(R"((\d\d)/(\d\d)/(\d{4}) (\d\d):(\d\d):(\d\d) \+0000)");
    const std::time_t before = std::time(nullptr);
    const std::string created = text(utils->getCreatedDateString());
    const std::time_t after = std::time(nullptr);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(created, m, stamp)) << created;
    std::tm tm{};
    tm.tm_mon = std::stoi(m[1]) - 1;
    tm.tm_mday = std::stoi(m[2]);
    tm.tm_year = std::stoi(m[3]) - 1900;
    tm.tm_hour = std::stoi(m[4]);
    tm.tm_min = std::stoi(m[5]);
    tm.tm_sec = std::stoi(m[6]);
    const std::time_t parsed = ::timegm(&tm);
    EXPECT_GE(parsed, before);
    EXPECT_LE(parsed, after);
    EXPECT_EQ(utils->dateFormatter()->dateFormat(), DADefaultDateFormat);

    auto custom = VxDateFormatter::formatter();
    custom->setDateFormat("yyyy");
    custom->setTimeZoneSecondsFromGMT(0);
    auto saved = utils->dateFormatter();
    utils->setDateFormatter(custom);
    EXPECT_EQ(text(utils->getCreatedDateString()).size(), 4u);
    utils->setDateFormatter(nullptr);  // the date's own text
    EXPECT_TRUE(std::regex_match(text(utils->getCreatedDateString()),
                                 std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \+0000)")));
    utils->setDateFormatter(saved);
}
