#include "platform/linux/VxDeviceAnswers.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "platform/foundation/VxFileReading.h"
#include "platform/foundation/VxJSON.h"
#include "platform/linux/VxDirectoryWatchPrivate.h"
#include "platform/linux/VxSystemLog.h"

const char* const VxDiskUsageTotalDataCapacityKey = "TotalDataCapacity";
const char* const VxDiskUsageTotalDataAvailableKey = "TotalDataAvailable";
const char* const VxDiskUsageTotalDiskCapacityKey = "TotalDiskCapacity";

namespace {

std::string rootPrefix() {
    const char* root = std::getenv("DA_SYSFS_ROOT");
    if (!root || !*root) return {};
    std::string r(root);
    while (r.size() > 1 && r.back() == '/') r.pop_back();
    return r == "/" ? std::string() : r;
}

std::string trim(std::string s) {
    auto notSpace = [](unsigned char c) { return !std::isspace(c) && c != '\0'; };
    s.erase(s.begin(), std::find_if(s.begin(), s.end(), notSpace));
    s.erase(std::find_if(s.rbegin(), s.rend(), notSpace).base(), s.end());
    return s;
}

// The trimmed contents of a small regular file (at most 64 KiB), or nothing.
std::optional<std::string> readSmallFile(const std::string& path) {
    VxFileReadResult file = VxReadWholeFile(path, {.limit = 65536});
    if (!file) return std::nullopt;
    return trim(std::move(file.bytes));
}

std::optional<std::string> readSys(std::string_view absolutePath) {
    return readSmallFile(rootPrefix() + std::string(absolutePath));
}

bool isPlaceholder(const std::string& text) {
    static const std::array<const char*, 12> placeholders = {"to be filled by o.e.m.",
                                                             "default string",
                                                             "not specified",
                                                             "not applicable",
                                                             "system serial number",
                                                             "system product name",
                                                             "system version",
                                                             "none",
                                                             "not available",
                                                             "0",
                                                             "0123456789",
                                                             "n/a"};
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return std::find(placeholders.begin(), placeholders.end(), lower) != placeholders.end();
}

Id textAnswer(const std::optional<std::string>& text) {
    if (!text || text->empty() || isPlaceholder(*text)) return nullptr;
    if (!VxString::isValidUTF8(*text)) return nullptr;
    return vxstr(*text);
}

Id firstTextAnswer(std::initializer_list<std::string_view> paths) {
    for (std::string_view p : paths)
        if (Id answer = textAnswer(readSys(p))) return answer;
    return nullptr;
}

std::vector<std::string> listDirectory(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(path.c_str())) {
        while (dirent* e = readdir(dir)) {
            std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(std::move(name));
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// os-release value of a key, unquoted.
std::optional<std::string> osRelease(std::string_view key) {
    auto text = readSys("/etc/os-release");
    if (!text) text = readSys("/usr/lib/os-release");
    if (!text) return std::nullopt;
    std::istringstream lines(*text);
    std::string line;
    while (std::getline(lines, line)) {
        line = trim(line);
        auto eq = line.find('=');
        if (eq == std::string::npos || std::string_view(line).substr(0, eq) != key) continue;
        std::string value = line.substr(eq + 1);
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front()) {
            std::string out;
            for (std::size_t i = 1; i + 1 < value.size(); ++i) {
                if (value[i] == '\\' && i + 2 < value.size()) ++i;
                out += value[i];
            }
            value = out;
        }
        return value;
    }
    return std::nullopt;
}

Id hostName() {
    if (std::string root = rootPrefix(); !root.empty())
        return textAnswer(readSmallFile(root + "/proc/sys/kernel/hostname"));
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return nullptr;
    return textAnswer(std::string(name));
}

Id wifiAddress() {
    std::string base = rootPrefix() + "/sys/class/net";
    for (const std::string& iface : listDirectory(base)) {
        std::string dir = base + "/" + iface;
        if (!exists(dir + "/wireless") && !exists(dir + "/phy80211")) continue;
        auto address = readSmallFile(dir + "/address");
        if (address && !address->empty() && *address != "00:00:00:00:00:00") return vxstr(*address);
    }
    return nullptr;
}

struct Battery {
    std::optional<long> capacity;
    std::string status;
};

// The first system battery, in name order.
std::optional<Battery> systemBattery() {
    std::string base = rootPrefix() + "/sys/class/power_supply";
    for (const std::string& name : listDirectory(base)) {
        std::string dir = base + "/" + name;
        if (readSmallFile(dir + "/type").value_or("") != "Battery") continue;
        if (readSmallFile(dir + "/scope").value_or("") == "Device") continue;  // mouse, pad...
        if (readSmallFile(dir + "/present").value_or("1") == "0") continue;
        Battery battery;
        if (auto text = readSmallFile(dir + "/capacity")) {
            char* end = nullptr;
            long v = std::strtol(text->c_str(), &end, 10);
            if (end != text->c_str() && *end == '\0' && v >= 0 && v <= 100) battery.capacity = v;
        }
        battery.status = readSmallFile(dir + "/status").value_or("");
        return battery;
    }
    return std::nullopt;
}

bool externalPowerOnline() {
    std::string base = rootPrefix() + "/sys/class/power_supply";
    for (const std::string& name : listDirectory(base)) {
        std::string dir = base + "/" + name;
        std::string type = readSmallFile(dir + "/type").value_or("");
        if (type == "Battery") continue;
        if (readSmallFile(dir + "/online").value_or("0") == "1") return true;
    }
    return false;
}

std::string dataPartitionPath() {
    if (const char* p = std::getenv("DA_DATA_PARTITION"); p && *p) return p;
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    return "/";
}

Id diskUsage() {
    struct statvfs st {};
    if (statvfs(dataPartitionPath().c_str(), &st) != 0) return nullptr;
    std::uint64_t unit = st.f_frsize ? st.f_frsize : st.f_bsize;
    std::uint64_t total = static_cast<std::uint64_t>(st.f_blocks) * unit;
    std::uint64_t available = static_cast<std::uint64_t>(st.f_bavail) * unit;
    return VxDictionary::dictionaryWithPairs({
        {VxDiskUsageTotalDataCapacityKey, VxNumber::numberWithUnsignedLongLong(total)},
        {VxDiskUsageTotalDataAvailableKey, VxNumber::numberWithUnsignedLongLong(available)},
        {VxDiskUsageTotalDiskCapacityKey, VxNumber::numberWithUnsignedLongLong(total)},
    });
}

}  // namespace

VxDeviceAnswers::VxDeviceAnswers() : watch_(std::make_unique<VxDirectoryWatch>()) {}

VxDeviceAnswers::~VxDeviceAnswers() = default;

VxDeviceAnswers& VxDeviceAnswers::shared() {
    static VxDeviceAnswers* answers = new VxDeviceAnswers();
    return *answers;
}

Id VxDeviceAnswers::copySystemAnswer(std::string_view key) {
    if (key == "SerialNumber")
        return firstTextAnswer(
            {"/sys/class/dmi/id/product_serial", "/proc/device-tree/serial-number"});
    if (key == "MLBSerialNumber") return firstTextAnswer({"/sys/class/dmi/id/board_serial"});
    if (key == "ProductType")
        return firstTextAnswer({"/sys/class/dmi/id/product_name", "/proc/device-tree/model"});
    if (key == "ModelNumber")
        return firstTextAnswer(
            {"/sys/class/dmi/id/product_version", "/sys/class/dmi/id/product_sku"});
    if (key == "UserAssignedDeviceName") return hostName();
    if (key == "ProductVersion") return textAnswer(osRelease("VERSION_ID"));
    if (key == "BuildVersion") {
        if (Id build = textAnswer(osRelease("BUILD_ID"))) return build;
        if (std::string root = rootPrefix(); !root.empty())
            return textAnswer(readSmallFile(root + "/proc/sys/kernel/osrelease"));
        struct utsname u {};
        return uname(&u) == 0 ? textAnswer(std::string(u.release)) : nullptr;
    }
    if (key == "CPUArchitecture") {
        struct utsname u {};
        return uname(&u) == 0 ? textAnswer(std::string(u.machine)) : nullptr;
    }
    if (key == "WifiAddress") return wifiAddress();
    if (key == "BluetoothAddress") {
        auto address = readSys("/sys/class/bluetooth/hci0/address");
        return address && !address->empty() ? vxstr(*address) : nullptr;
    }
    if (key == "BatteryCurrentCapacity") {
        auto battery = systemBattery();
        return battery && battery->capacity
                   ? VxNumber::numberWithInt(static_cast<int>(*battery->capacity))
                   : nullptr;
    }
    if (key == "BatteryIsCharging") {
        auto battery = systemBattery();
        return battery ? VxNumber::numberWithBool(battery->status == "Charging") : nullptr;
    }
    if (key == "DiskUsage") return diskUsage();
    return nullptr;
}

Id VxDeviceAnswers::answerFromOverrides(std::string_view key, bool* present) const {
    if (!overrides_) return nullptr;
    Id value = overrides_->objectForKey(key);
    if (!value) return nullptr;
    *present = true;
    return vx::isNull(value) ? nullptr : value;
}

Id VxDeviceAnswers::copyOverride(std::string_view key, bool* present) {
    *present = false;
    const char* env = std::getenv("DA_DEVICE_ANSWERS");
    std::string path = env ? env : "";
    if (path.empty()) return nullptr;

    std::lock_guard lock(mutex_);
    // The mark is taken before the stat(): a change after it gives the
    // directory a new mark, so the next question stats again. A change the
    // watch cannot see (a parent directory renamed, a symbolic link's target
    // rewritten elsewhere) is still noticed within the re-stat interval.
    const auto slash = path.rfind('/');
    const std::optional<std::uint64_t> mark =
        watch_->look(slash == std::string::npos ? std::string(".")
                     : slash == 0               ? std::string("/")
                                                : path.substr(0, slash));
    const auto checkedAt = std::chrono::steady_clock::now();
    if (mark && *mark == directoryMark_ && path == path_ && state_ &&
        checkedAt - statAt_ < VxDirectoryWatch::kRestatInterval)
        return answerFromOverrides(key, present);
    directoryMark_ = mark.value_or(0);
    statAt_ = checkedAt;
    FileState now;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        now.exists = true;
        now.dev = st.st_dev;
        now.ino = st.st_ino;
        now.size = static_cast<std::uint64_t>(st.st_size);
        now.mtimeNs =
            static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    }
    if (path != path_ || !state_ || *state_ != now) {
        path_ = path;
        state_ = now;
        overrides_ = nullptr;
        if (now.exists) {
            VxFileReadResult file = VxReadWholeFile(path);
            VxErrorPtr error;
            Id obj = file ? VxJSONSerialization::JSONObjectWithData(
                                VxData::dataWithString(file.bytes), 0, &error)
                          : nullptr;
            overrides_ = vx_cast<VxDictionary>(obj);
            if (!overrides_ && (!reported_ || *reported_ != now)) {
                reported_ = now;
                std::string problem;
                if (!file)
                    problem = file.problem;
                else if (error)
                    problem = "is not valid JSON (" + error->localizedDescription() + ")";
                else
                    problem = "is not a JSON object";
                VxSystemLog("Device answers file " + path + " " + problem + "; ignoring it");
            }
        }
    }
    return answerFromOverrides(key, present);
}

Id VxDeviceAnswers::copyAnswer(std::string_view questionKey) {
    bool present = false;
    Id value = copyOverride(questionKey, &present);
    if (present) return value;
    return copySystemAnswer(questionKey);
}

bool VxBatteryGetUsage(VxBatteryUsage* usage) {
    if (!usage) return false;
    VxDeviceAnswers& answers = VxDeviceAnswers::shared();
    bool hasUsage = false, hasStandby = false;
    auto usageOverride = vx_cast<VxNumber>(answers.copyOverride("BatteryUsageTime", &hasUsage));
    auto standbyOverride =
        vx_cast<VxNumber>(answers.copyOverride("BatteryStandbyTime", &hasStandby));

    auto battery = systemBattery();
    VxBatteryUsage result;
    if (battery) {
        result.fullyCharged = battery->status == "Full";
        result.externalPowerConnected =
            externalPowerOnline() || battery->status == "Charging" || battery->status == "Full";
        timespec awake{};
        if (clock_gettime(CLOCK_MONOTONIC, &awake) == 0)
            result.usageSeconds = static_cast<double>(awake.tv_sec) + awake.tv_nsec / 1e9;
        if (auto uptime = readSys("/proc/uptime")) {
            char* end = nullptr;
            double v = std::strtod(uptime->c_str(), &end);
            if (end != uptime->c_str() && v >= 0) result.standbySeconds = v;
        }
        if (result.standbySeconds < 0) {
            timespec boot{};
            if (clock_gettime(CLOCK_BOOTTIME, &boot) == 0)
                result.standbySeconds = static_cast<double>(boot.tv_sec) + boot.tv_nsec / 1e9;
        }
    }
    if (usageOverride) result.usageSeconds = usageOverride->doubleValue();
    if (standbyOverride) result.standbySeconds = standbyOverride->doubleValue();
    bool ok = (battery || (usageOverride && standbyOverride)) && result.usageSeconds >= 0 &&
              result.standbySeconds >= 0;
    if (ok) *usage = result;
    return ok;
}
