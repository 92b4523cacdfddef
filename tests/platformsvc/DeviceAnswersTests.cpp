#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/linux/VxDeviceAnswers.h"
#include "platformsvc/PlatformTestSupport.h"

namespace {

// A fake system tree: DMI, power supplies, network and Bluetooth, os-release.
void buildTree(const psvc::TempDir& root) {
    using psvc::writeFile;
    writeFile(root / "sys/class/dmi/id/product_serial", "To Be Filled By O.E.M.\n");
    writeFile(root / "sys/class/dmi/id/product_name", "Handheld X1\n");
    writeFile(root / "sys/class/dmi/id/product_version", "HX1-B\n");
    writeFile(root / "sys/class/dmi/id/board_serial", "MLB0001234\n");
    // A peripheral battery sorts first and must be skipped.
    writeFile(root / "sys/class/power_supply/AAA-mouse/type", "Battery\n");
    writeFile(root / "sys/class/power_supply/AAA-mouse/scope", "Device\n");
    writeFile(root / "sys/class/power_supply/AAA-mouse/capacity", "5\n");
    writeFile(root / "sys/class/power_supply/AC/type", "Mains\n");
    writeFile(root / "sys/class/power_supply/AC/online", "1\n");
    writeFile(root / "sys/class/power_supply/BAT0/type", "Battery\n");
    writeFile(root / "sys/class/power_supply/BAT0/capacity", "57\n");
    writeFile(root / "sys/class/power_supply/BAT0/status", "Charging\n");
    writeFile(root / "sys/class/net/eth0/address", "aa:aa:aa:aa:aa:aa\n");
    writeFile(root / "sys/class/net/wlan0/address", "02:11:22:33:44:55\n");
    std::filesystem::create_directories(root / "sys/class/net/wlan0/wireless");
    writeFile(root / "sys/class/bluetooth/hci0/address", "00:1a:7d:da:71:13\n");
    writeFile(root / "proc/sys/kernel/hostname", "unit-7\n");
    writeFile(root / "proc/uptime", "1234.50 100.25\n");
    writeFile(root / "etc/os-release",
              "NAME=\"Tarvo OS\"\nVERSION_ID=\"12.4\"\nBUILD_ID=20240501\n");
}

// An answer as text: "<none>" when there is no answer.
std::string text(const Id& obj) {
    auto s = vx_cast<VxString>(obj);
    return s ? s->str() : std::string(obj ? "<not text>" : "<none>");
}

TEST(DeviceAnswers, SystemAnswersFromTheTreeAndTheAnswersFileOverridesKeyByKey) {
    psvc::TempDir root;
    buildTree(root);
    psvc::ScopedEnv sysroot("DA_SYSFS_ROOT", root.path());
    psvc::ScopedEnv answersEnv("DA_DEVICE_ANSWERS", std::nullopt);
    psvc::ScopedEnv data("DA_DATA_PARTITION", root.path());
    VxDeviceAnswers answers;

    // The serial number's placeholder text is no answer.
    const std::pair<const char*, const char*> expected[] = {
        {"SerialNumber", "<none>"},
        {"ProductType", "Handheld X1"},
        {"ModelNumber", "HX1-B"},
        {"MLBSerialNumber", "MLB0001234"},
        {"UserAssignedDeviceName", "unit-7"},
        {"ProductVersion", "12.4"},
        {"BuildVersion", "20240501"},
        {"WifiAddress", "02:11:22:33:44:55"},
        {"BluetoothAddress", "00:1a:7d:da:71:13"},
        {"InternationalMobileEquipmentIdentity", "<none>"},
        {"MobileEquipmentIdentifier", "<none>"},
        {"IntegratedCircuitCardIdentifier", "<none>"},
        {"BasebandFirmwareVersion", "<none>"},
        {"DeviceColor", "<none>"},
        {"NoSuchQuestion", "<none>"}};
    for (const auto& [key, value] : expected)
        EXPECT_EQ(text(answers.copyAnswer(key)), value) << key;
    EXPECT_FALSE(text(answers.copyAnswer("CPUArchitecture")).empty());

    auto capacity = vx_cast<VxNumber>(answers.copyAnswer("BatteryCurrentCapacity"));
    ASSERT_TRUE(capacity);
    EXPECT_EQ(capacity->intValue(), 57);
    EXPECT_FALSE(capacity->isBoolean());
    auto charging = vx_cast<VxNumber>(answers.copyAnswer("BatteryIsCharging"));
    ASSERT_TRUE(charging);
    EXPECT_TRUE(charging->isBoolean());
    EXPECT_TRUE(charging->boolValue());

    auto disk = vx_cast<VxDictionary>(answers.copyAnswer("DiskUsage"));
    ASSERT_TRUE(disk);
    auto total = vx_cast<VxNumber>(disk->objectForKey(VxDiskUsageTotalDataCapacityKey));
    auto available = vx_cast<VxNumber>(disk->objectForKey(VxDiskUsageTotalDataAvailableKey));
    ASSERT_TRUE(total && available);
    EXPECT_GT(total->unsignedLongLongValue(), 0u);
    EXPECT_LE(available->unsignedLongLongValue(), total->unsignedLongLongValue());

    // The answers file overrides per key; null means "no answer".
    const std::string file = root / "answers.json";
    psvc::writeFile(file,
                    R"({"SerialNumber": "C39ABCDEFGHJ", "ProductType": null,
                        "BatteryIsCharging": false, "DeviceColor": "black",
                        "DiskUsage": {"TotalDataCapacity": 64000000000}})");
    setenv("DA_DEVICE_ANSWERS", file.c_str(), 1);
    EXPECT_EQ(text(answers.copyAnswer("SerialNumber")), "C39ABCDEFGHJ");
    EXPECT_EQ(answers.copyAnswer("ProductType"), nullptr);
    EXPECT_EQ(text(answers.copyAnswer("DeviceColor")), "black");
    EXPECT_EQ(text(answers.copyAnswer("ModelNumber")), "HX1-B");  // not overridden
    charging = vx_cast<VxNumber>(answers.copyAnswer("BatteryIsCharging"));
    ASSERT_TRUE(charging);
    EXPECT_TRUE(charging->isBoolean());
    EXPECT_FALSE(charging->boolValue());
    disk = vx_cast<VxDictionary>(answers.copyAnswer("DiskUsage"));
    ASSERT_TRUE(disk);
    EXPECT_EQ(vx_cast<VxNumber>(disk->objectForKey("TotalDataCapacity"))->unsignedLongLongValue(),
              64000000000ull);

    // A changed file is read again.
    psvc::writeFile(file, R"({"SerialNumber": "F17XYZ123456789"})");
    EXPECT_EQ(text(answers.copyAnswer("SerialNumber")), "F17XYZ123456789");

    // A corrupt file is ignored (system answers apply) and reported once.
    psvc::writeFile(file, R"({"SerialNumber": )");
    testing::internal::CaptureStderr();
    EXPECT_EQ(answers.copyAnswer("SerialNumber"), nullptr);
    EXPECT_EQ(text(answers.copyAnswer("ProductType")), "Handheld X1");
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(psvc::countOccurrences(log, file), 1u) << log;
}

// The answers file's directory is watched so that an unchanged file is not
// stat()ed for every question: changes there show at once, whatever way the
// file is written; a change outside it (the target of a link) shows within
// about a second.
TEST(DeviceAnswers, ChangesShowAtOnceOrWithinASecondOutsideTheWatchedDirectory) {
    psvc::TempDir dir;
    std::filesystem::create_directories(dir / "answers");
    std::filesystem::create_directories(dir / "elsewhere");
    const std::string file = dir / "answers/answers.json";
    psvc::ScopedEnv env("DA_DEVICE_ANSWERS", file);
    VxDeviceAnswers answers;

    psvc::writeFile(file, R"({"DeviceColor": "red"})");
    EXPECT_EQ(text(answers.copyAnswer("DeviceColor")), "red");
    psvc::writeFile(file, R"({"DeviceColor": "blue"})");  // rewritten in place
    EXPECT_EQ(text(answers.copyAnswer("DeviceColor")), "blue");
    psvc::writeFile(dir / "answers/next.json", R"({"DeviceColor": "green"})");
    std::filesystem::rename(dir / "answers/next.json", file);  // replaced
    EXPECT_EQ(text(answers.copyAnswer("DeviceColor")), "green");
    std::filesystem::remove(file);
    EXPECT_EQ(answers.copyAnswer("DeviceColor"), nullptr);

    // Through a link into another directory: that directory is not watched.
    const std::string target = dir / "elsewhere/real.json";
    psvc::writeFile(target, R"({"DeviceColor": "black"})");
    std::filesystem::create_symlink(target, file);
    EXPECT_EQ(text(answers.copyAnswer("DeviceColor")), "black");
    psvc::writeFile(target, R"({"DeviceColor": "white", "Extra": 1})");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (text(answers.copyAnswer("DeviceColor")) != "white" &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(text(answers.copyAnswer("DeviceColor")), "white");
}

TEST(DeviceAnswers, BatteryStateAndUsageTimes) {
    psvc::TempDir root;
    buildTree(root);
    psvc::ScopedEnv sysroot("DA_SYSFS_ROOT", root.path());
    psvc::ScopedEnv answersEnv("DA_DEVICE_ANSWERS", std::nullopt);

    VxBatteryUsage usage;
    ASSERT_TRUE(VxBatteryGetUsage(&usage));
    EXPECT_DOUBLE_EQ(usage.standbySeconds, 1234.5);
    EXPECT_GE(usage.usageSeconds, 0);
    EXPECT_TRUE(usage.externalPowerConnected);
    EXPECT_FALSE(usage.fullyCharged);

    // "Discharging" is not charging; a capacity outside 0..100 is no answer.
    psvc::writeFile(root / "sys/class/power_supply/BAT0/status", "Discharging\n");
    psvc::writeFile(root / "sys/class/power_supply/BAT0/capacity", "250\n");
    psvc::writeFile(root / "sys/class/power_supply/AC/online", "0\n");
    VxDeviceAnswers answers;
    EXPECT_FALSE(vx_cast<VxNumber>(answers.copyAnswer("BatteryIsCharging"))->boolValue());
    EXPECT_EQ(answers.copyAnswer("BatteryCurrentCapacity"), nullptr);
    ASSERT_TRUE(VxBatteryGetUsage(&usage));
    EXPECT_FALSE(usage.externalPowerConnected);

    // Without a system battery the service has no answer...
    std::filesystem::remove_all(root / "sys/class/power_supply/BAT0");
    usage = VxBatteryUsage{};
    EXPECT_FALSE(VxBatteryGetUsage(&usage));
    EXPECT_EQ(usage.usageSeconds, -1);
    EXPECT_EQ(usage.standbySeconds, -1);
    EXPECT_EQ(answers.copyAnswer("BatteryIsCharging"), nullptr);
    EXPECT_EQ(answers.copyAnswer("BatteryCurrentCapacity"), nullptr);
    EXPECT_FALSE(VxBatteryGetUsage(nullptr));

    // ...unless the answers file supplies both times.
    const std::string file = root / "answers.json";
    psvc::writeFile(file, R"({"BatteryUsageTime": 3600, "BatteryStandbyTime": 86400.5})");
    psvc::ScopedEnv withFile("DA_DEVICE_ANSWERS", file);
    ASSERT_TRUE(VxBatteryGetUsage(&usage));
    EXPECT_DOUBLE_EQ(usage.usageSeconds, 3600);
    EXPECT_DOUBLE_EQ(usage.standbySeconds, 86400.5);
}

}  // namespace
