// Device facts: the device answer questions, battery times, storage, uptime,
// the carrier bundle version, the null-marker conversions for records, the
// hashed auxiliary serial numbers and the assembly of a complete device record.
#include <pwd.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "device/DAUtilities.h"
#include "model/DADeviceModel.h"
#include "platform/foundation/VxFileReading.h"
#include "platform/foundation/VxJSON.h"
#include "platform/linux/VxDeviceAnswers.h"

const char* const DACarrierBundleInfoFile = "Info.json";
const char* const DACarrierBundleVersionKey = "BundleVersion";

namespace {

Id answer(std::string_view key) {
    return VxDeviceAnswers::shared().copyAnswer(key);
}

// The user's home directory: $HOME, else the password database; empty when
// neither names one.
std::string homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir)
        return found->pw_dir;
    return {};
}

// Seconds since boot: the first field of /proc/uptime (below DA_SYSFS_ROOT when
// that is set), else the boot-time clock.
double uptimeSeconds() {
    std::string root;
    if (const char* r = std::getenv("DA_SYSFS_ROOT"); r && *r) root = r;
    while (!root.empty() && root.back() == '/') root.pop_back();
    if (VxFileReadResult file = VxReadWholeFile(root + "/proc/uptime", {.limit = 4096})) {
        char* end = nullptr;
        const double seconds = std::strtod(file.bytes.c_str(), &end);
        if (end != file.bytes.c_str() && std::isfinite(seconds) && seconds >= 0) return seconds;
    }
    timespec boot{};
    if (::clock_gettime(CLOCK_BOOTTIME, &boot) == 0)
        return static_cast<double>(boot.tv_sec) + static_cast<double>(boot.tv_nsec) / 1e9;
    return 0;
}

VxBatteryUsage batteryUsage() {
    VxBatteryUsage usage;  // both times start at -1: a failed query keeps them
    VxBatteryGetUsage(&usage);
    return usage;
}

}  // namespace

Id DAUtilities::getBluetoothAddress() const {
    return answer("BluetoothAddress");
}
Id DAUtilities::getMEID() const {
    return answer("MobileEquipmentIdentifier");
}
Id DAUtilities::getWiFiAddress() const {
    return answer("WifiAddress");
}
Id DAUtilities::getDeviceColor() const {
    return answer("DeviceColor");
}
Id DAUtilities::getModelNumber() const {
    return answer("ModelNumber");
}
Id DAUtilities::getIMEI() const {
    return answer("InternationalMobileEquipmentIdentity");
}
Id DAUtilities::getDeviceType() const {
    return answer("ProductType");
}
Id DAUtilities::getBatteryLevel() const {
    return answer("BatteryCurrentCapacity");
}
Id DAUtilities::getDeviceVersion() const {
    return answer("ProductVersion");
}
Id DAUtilities::getBuildVersion() const {
    return answer("BuildVersion");
}
Id DAUtilities::getCpuArchitecture() const {
    return answer("CPUArchitecture");
}
Id DAUtilities::getMLBSerialNumber() const {
    return answer("MLBSerialNumber");
}
Id DAUtilities::getICCID() const {
    return answer("IntegratedCircuitCardIdentifier");
}
Id DAUtilities::getBasebandFirmwareVersion() const {
    return answer("BasebandFirmwareVersion");
}

bool DAUtilities::isBatteryCharging() const {
    auto charging = vx_cast<VxNumber>(answer("BatteryIsCharging"));
    return charging && charging->boolValue();
}

Id DAUtilities::getDiskCapacity() const {
    auto usage = vx_cast<VxDictionary>(answer("DiskUsage"));
    if (!usage || usage->empty()) return nullptr;
    Id capacity = usage->objectForKey(VxDiskUsageTotalDataCapacityKey);
    return vx::isNull(capacity) ? nullptr : capacity;
}

float DAUtilities::getCurrentUsageTime() const {
    return static_cast<float>(batteryUsage().usageSeconds);
}

float DAUtilities::getCurrentStandbyTime() const {
    return static_cast<float>(batteryUsage().standbySeconds);
}

VxStringPtr DAUtilities::getCarrierBundleVersion() const {
    std::string home = homeDirectory();
    if (home.empty()) return nullptr;
    std::error_code ec;
    std::filesystem::path bundle = std::filesystem::canonical(
        std::filesystem::path(home) / "Library" / "Carrier Bundle.bundle", ec);
    if (ec || !std::filesystem::is_directory(bundle, ec)) return nullptr;
    VxDataPtr info = VxData::dataWithContentsOfFile((bundle / DACarrierBundleInfoFile).string());
    if (!info) return nullptr;
    auto table = vx_cast<VxDictionary>(VxJSONSerialization::JSONObjectWithData(info, 0, nullptr));
    if (!table) return nullptr;
    return vx::nonEmptyString(table->objectForKey(DACarrierBundleVersionKey));
}

double DAUtilities::getSystemUptime() const {
    return uptimeSeconds();
}

std::int64_t DAUtilities::getWifiDeviceCount() const {
    return 0;
}

namespace {

// DADefaultDateFormat reads as month/day/year hour:minute:second and a signed
// offset, but in the formatter's pattern language its letters mean other
// fields (DD the day of the year, YYYY the week-based year, the second MM the
// month, SS fractions of a second). A formatter with that pattern formats
// with this equivalent instead, keeping its locale, time zone and style.
VxDateFormatterPtr readableFormatter(const VxDateFormatterPtr& formatter) {
    if (formatter->dateFormat() != DADefaultDateFormat) return formatter;
    auto readable = VxDateFormatter::formatter();
    if (!readable) return formatter;
    readable->setDateFormat("MM/dd/yyyy HH:mm:ss Z");
    readable->setLocaleIdentifier(formatter->localeIdentifier());
    readable->setTimeZoneSecondsFromGMT(formatter->secondsFromGMT());
    readable->setFormatterBehavior(formatter->formatterBehavior());
    readable->setTimeStyle(formatter->timeStyle());
    return readable;
}

}  // namespace

VxStringPtr DAUtilities::getCreatedDateString() const {
    VxDatePtr now = VxDate::date();
    if (VxDateFormatterPtr formatter = dateFormatter()) {
        if (VxStringPtr text = readableFormatter(formatter)->stringFromDate(now)) return text;
    }
    return vxstr(now->description());
}

Id DAUtilities::stringOrNullFromString(const VxStringPtr& text) const {
    return text ? Id(text) : vx::null();
}

Id DAUtilities::numberOrNullFromNumber(const VxNumberPtr& number) const {
    return number ? Id(number) : vx::null();
}

Id DAUtilities::dictionaryOrNullFromDictionary(const VxDictionaryPtr& dictionary) const {
    return dictionary ? Id(dictionary) : vx::null();
}

Id DAUtilities::stringOrNullFromNumber(const Id& value) const {
    if (auto number = vx_cast<VxNumber>(value)) return vxstr(number->stringValue());
    if (auto decimal = vx_cast<VxDecimalNumber>(value)) return vxstr(decimal->stringValue());
    if (auto text = vx_cast<VxString>(value)) return text;
    return vx::null();
}

VxArrayPtr DAUtilities::getAuxSerialNumbers() const {
    return VxArray::array();
}

VxArrayPtr DAUtilities::getAuxHashedDeviceSerialNumberArray() const {
    VxArrayPtr serials = getAuxSerialNumbers();
    if (!serials || serials->empty()) return nullptr;
    auto hashed = VxMutableArray::array();
    for (const Id& entry : *serials) {
        VxStringPtr serial = vx::nonEmptyString(entry);
        if (!serial) continue;
        if (VxStringPtr identifier = vx::nonEmptyString(uuidHashFromString(serial)))
            hashed->addObject(identifier);
    }
    return vx_cast<VxArray>(hashed->copy());
}

std::shared_ptr<DADeviceModel> DAUtilities::deviceModelForDeviceId(
    const VxStringPtr& deviceId) const {
    auto device = DADeviceModel::create();
    if (!device) return nullptr;
    // A text fact answered with some other kind of value cannot be stored in
    // the record's text property; it counts as missing.
    auto text = [this](const Id& value) {
        return stringOrNullFromString(vx_cast<VxString>(value));
    };

    device->setDeviceId(deviceId);
    device->setDeviceName(text(getDeviceName()));
    device->setNandCapacity(stringOrNullFromNumber(getDiskCapacity()));
    device->setMeid(text(getMEID()));
    device->setImei(text(getIMEI()));
    device->setWifiAddress(text(getWiFiAddress()));
    device->setBluetoothAddress(text(getBluetoothAddress()));
    device->setIccid(text(getICCID()));
    device->setBasebandVersion(text(getBasebandFirmwareVersion()));
    device->setModelNumber(text(getModelNumber()));
    device->setDeviceColor(text(getDeviceColor()));
    device->setDeviceType(text(getDeviceType()));
    device->setCpuArchitecture(text(getCpuArchitecture()));
    device->setHasBaseband(vx::nonEmptyString(getBasebandFirmwareVersion()) != nullptr);
    device->setMlbSerialNumber(text(getMLBSerialNumber()));
    device->setCurrentBatteryLevel(stringOrNullFromNumber(getBatteryLevel()));
    device->setIsBatteryCharging(isBatteryCharging());
    device->setSystemVersion(stringOrNullFromString(osVersion()));
    device->setSystemBuild(text(getBuildVersion()));
    device->setDiagnosticsVersion(stringOrNullFromString(applicationVersion()));
    device->setDiagnosticsBuild(stringOrNullFromString(applicationBuild()));
    device->setCarrierBundleVersion(stringOrNullFromString(getCarrierBundleVersion()));
    device->setSystemUptime(stringOrNullFromNumber(VxNumber::numberWithDouble(getSystemUptime())));
    device->setCurrentStandbyTime(
        stringOrNullFromNumber(VxNumber::numberWithFloat(getCurrentStandbyTime())));
    device->setCurrentUsageTime(
        stringOrNullFromNumber(VxNumber::numberWithFloat(getCurrentUsageTime())));
    return device;
}
