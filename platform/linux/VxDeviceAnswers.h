#pragma once
// Device answer service: answers keyed questions about the device, and the
// battery usage service.
//
// Answers come from the running Linux system where it has them:
//   "SerialNumber"            DMI product_serial, else the device tree's
//                             serial-number (often readable by root only)
//   "MLBSerialNumber"         DMI board_serial
//   "ProductType"             DMI product_name, else the device tree's model
//   "ModelNumber"             DMI product_version, else DMI product_sku
//   "UserAssignedDeviceName"  the host name
//   "ProductVersion"          VERSION_ID of os-release
//   "BuildVersion"            BUILD_ID of os-release, else the kernel release
//   "CPUArchitecture"         the machine of uname(2) ("x86_64", "aarch64")
//   "WifiAddress"             hardware address of the first wireless interface
//                             (one with a "wireless" or "phy80211" entry) in
//                             /sys/class/net, in name order
//   "BluetoothAddress"        /sys/class/bluetooth/hci0/address
//   "BatteryCurrentCapacity"  integer percentage (capacity) of the first
//                             power supply of type "Battery" that powers the
//                             system (scope other than "Device")
//   "BatteryIsCharging"       boolean: that battery's status is "Charging"
//   "DiskUsage"               dictionary of unsigned byte counts of the data
//                             partition (statvfs): TotalDataCapacity,
//                             TotalDataAvailable, TotalDiskCapacity
// DMI texts that are vendor placeholders ("To Be Filled By O.E.M.", "Default
// string", "Not Specified", ...) count as no answer. "DeviceColor",
// "MobileEquipmentIdentifier", "InternationalMobileEquipmentIdentity",
// "IntegratedCircuitCardIdentifier" and "BasebandFirmwareVersion" have no Linux
// source and are answered only by the answers file.
//
// Environment:
//   DA_DEVICE_ANSWERS  path of a JSON answers file: one object, question key ->
//                      answer, kept in its JSON kind. Its entries override the
//                      system key by key; an entry whose value is null means
//                      "no answer". The file is re-read when it changes; a
//                      corrupt file is ignored and reported once to the system
//                      log.
//   DA_SYSFS_ROOT      directory under which /sys, /proc and /etc are read
//                      (default: the real root), for tests.
//   DA_DATA_PARTITION  path whose file system is the data partition for
//                      "DiskUsage" (default: the home directory).

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxValues.h"

// Member keys of the "DiskUsage" answer.
DA_EXPORT extern const char* const VxDiskUsageTotalDataCapacityKey;   // "TotalDataCapacity"
DA_EXPORT extern const char* const VxDiskUsageTotalDataAvailableKey;  // "TotalDataAvailable"
DA_EXPORT extern const char* const VxDiskUsageTotalDiskCapacityKey;   // "TotalDiskCapacity"

class VxDirectoryWatch;

class DA_EXPORT VxDeviceAnswers {
  public:
    VxDeviceAnswers();
    ~VxDeviceAnswers();
    VxDeviceAnswers(const VxDeviceAnswers&) = delete;
    VxDeviceAnswers& operator=(const VxDeviceAnswers&) = delete;

    static VxDeviceAnswers& shared();

    // The answer to one question: a text, a number, a boolean number, the
    // "DiskUsage" dictionary, or nothing.
    Id copyAnswer(std::string_view questionKey);
    // The system's own answer, ignoring the answers file.
    Id copySystemAnswer(std::string_view questionKey);

    // The answers file's entry for the key: nothing when the file has no such
    // entry; `*present` tells an entry holding null apart from no entry.
    Id copyOverride(std::string_view questionKey, bool* present);

  private:
    struct FileState {
        bool exists = false;
        std::uint64_t dev = 0, ino = 0, size = 0;
        std::int64_t mtimeNs = 0;
        bool operator==(const FileState&) const = default;
    };
    Id answerFromOverrides(std::string_view questionKey, bool* present) const;  // mutex_ held
    std::mutex mutex_;
    std::string path_;
    std::optional<FileState> state_;
    std::optional<FileState> reported_;
    VxDictionaryPtr overrides_;
    // The answers file's directory is watched, so that an unchanged file is not
    // stat()ed on every question (see VxDirectoryWatch).
    std::unique_ptr<VxDirectoryWatch> watch_;
    std::uint64_t directoryMark_ = 0;
    std::chrono::steady_clock::time_point statAt_;
};

// Battery usage service: the times in seconds since the battery last stopped
// charging, as far as the platform can tell. On Linux there is no charge history,
// so both count from boot: the usage time is the time the system has been awake
// (CLOCK_MONOTONIC) and the standby time the whole time since boot, suspended
// periods included (the first field of /proc/uptime). The answers-file keys
// "BatteryUsageTime" and "BatteryStandbyTime" (numbers) override them. The query
// fails when neither the answers file gives both times nor a battery is
// present.
struct DA_EXPORT VxBatteryUsage {
    double usageSeconds = -1;
    double standbySeconds = -1;
    bool externalPowerConnected = false;  // a mains or USB supply is online
    bool fullyCharged = false;            // the battery reports "Full"
};
DA_EXPORT bool VxBatteryGetUsage(VxBatteryUsage* usage);
