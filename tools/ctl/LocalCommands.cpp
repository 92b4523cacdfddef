// The subcommands that stay on the device: the availability check over the
// bus, the service's status, the preferences and the device answers.

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>

#include "Ctl.h"
#include "Managers/DAConnectionManager.h"
#include "device/DAUtilities.h"
#include "model/DADeviceModel.h"
#include "platform/bus/VxServiceClient.h"
#include "platform/foundation/VxJSON.h"
#include "platform/linux/VxDeviceAnswers.h"
#include "platform/linux/VxLog.h"
#include "platform/linux/VxPreferences.h"

namespace ctl {

namespace {

constexpr const char* kDomain = "com.tarvo.Diagnostics";
constexpr double kMaxTimeoutSeconds = 3600;

// Question keys of the device answer service, in the order device-info prints
// them.
const std::vector<std::string>& deviceInfoKeys() {
    static const std::vector<std::string> keys = {
        "SerialNumber",
        "MLBSerialNumber",
        "UserAssignedDeviceName",
        "ProductType",
        "ModelNumber",
        "ProductVersion",
        "BuildVersion",
        "CPUArchitecture",
        "WifiAddress",
        "BluetoothAddress",
        "BatteryCurrentCapacity",
        "BatteryIsCharging",
        "DiskUsage",
        "DeviceColor",
        "MobileEquipmentIdentifier",
        "InternationalMobileEquipmentIdentity",
        "IntegratedCircuitCardIdentifier",
        "BasebandFirmwareVersion",
    };
    return keys;
}

// Parses VALUE as the given type; nothing (with a message) when it does not fit.
std::optional<Id> parseTypedValue(const std::string& type, const std::string& text,
                                  std::string* problem) {
    auto fail = [&](const std::string& why) -> std::optional<Id> {
        *problem = "\"" + text + "\" is not " + why;
        return std::nullopt;
    };
    if (type == "string") return Id(vxstr(text));
    if (type == "int") {
        errno = 0;
        char* end = nullptr;
        long long v = std::strtoll(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || errno == ERANGE) return fail("a 64-bit integer");
        return Id(VxNumber::numberWithLongLong(v));
    }
    if (type == "uint") {
        errno = 0;
        char* end = nullptr;
        if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
            return fail("an unsigned integer");
        unsigned long long v = std::strtoull(text.c_str(), &end, 10);
        if (*end != '\0' || errno == ERANGE) return fail("an unsigned 64-bit integer");
        return Id(VxNumber::numberWithUnsignedLongLong(v));
    }
    if (type == "double") {
        errno = 0;
        char* end = nullptr;
        double v = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(v))
            return fail("a finite number");
        return Id(VxNumber::numberWithDouble(v));
    }
    if (type == "bool") {
        if (text == "true" || text == "yes" || text == "1")
            return Id(VxNumber::numberWithBool(true));
        if (text == "false" || text == "no" || text == "0")
            return Id(VxNumber::numberWithBool(false));
        return fail("a boolean (true/false, yes/no, 1/0)");
    }
    if (type == "json") {
        VxErrorPtr error;
        Id value = VxJSONSerialization::JSONObjectWithData(VxData::dataWithString(text),
                                                           VxJSONReadingFragmentsAllowed, &error);
        if (!value) return fail("valid JSON" + (error ? " (" + error->description() + ")" : ""));
        return value;
    }
    *problem = "unknown type " + type;
    return std::nullopt;
}

bool onSystemBus() {
    const char* bus = std::getenv("DA_BUS");
    return bus != nullptr && std::string(bus) == "system";
}

std::string logFilePath() {
    return VxLogDirectory() + "/Diagnostics.log";
}

// Where to look when the service had nothing to say.
std::string whereToLook() {
    return "see " + logFilePath() + " or the journal (" +
           (onSystemBus() ? "journalctl _COMM=diagnosticsd"
                          : "journalctl --user -u diagnosticsd.service") +
           ")";
}

int runCheck(const std::string& busAddress, double timeoutSeconds, const Globals& globals) {
    if (!(timeoutSeconds > 0) || timeoutSeconds > kMaxTimeoutSeconds) {
        complain("--timeout must be more than 0 and at most 3600 seconds");
        return kUsage;
    }
    const auto timeout = std::chrono::milliseconds(static_cast<long long>(timeoutSeconds * 1000));
    std::string error;
    std::optional<std::string> reply = vxCheckAvailability(busAddress, timeout, &error);
    if (!error.empty()) {
        complain("the service could not be asked: " + error);
        return kUsage;
    }
    if (!reply) {
        complain("the service has no answer: no session could be opened; " + whereToLook());
        return kRefused;
    }
    if (globals.json) {
        auto object = VxMutableDictionary::dictionary();
        object->setObject(vxstr(*reply), "reply");
        object->setObject(VxNumber::numberWithBool(*reply == "IN_CURRENT_SESSION"),
                          "inCurrentSession");
        printJson(object, globals);
    } else {
        std::cout << *reply << "\n";
    }
    return kAccepted;
}

// Seconds since the process started, from /proc; nothing when unknown.
std::optional<double> processUptime(std::uint32_t pid) {
    std::ifstream statFile("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(statFile)), {});
    const auto close = stat.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    // Field 22 (starttime, in clock ticks since boot); field 3 follows ") ".
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    for (int i = 3; i <= 22 && fields >> field; ++i) {
    }
    double bootUptime = 0;
    std::ifstream("/proc/uptime") >> bootUptime;
    const long ticks = ::sysconf(_SC_CLK_TCK);
    char* end = nullptr;
    const unsigned long long start = std::strtoull(field.c_str(), &end, 10);
    if (field.empty() || *end != '\0' || ticks <= 0 || bootUptime <= 0) return std::nullopt;
    return std::max(0.0, bootUptime - static_cast<double>(start) / static_cast<double>(ticks));
}

// The last error line (level 3) of the log file; its tail only is read.
std::optional<std::string> lastErrorLine(const std::string& path) {
    constexpr std::streamoff kTail = 256 * 1024;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    in.seekg(size > kTail ? size - kTail : 0);
    std::optional<std::string> last;
    std::string line;
    while (std::getline(in, line))
        if (line.find("] <3> ") != std::string::npos) last = line;
    return last;
}

std::string serverName(std::uint64_t selection, bool customURL) {
    switch (selection) {
        case 1:
            return "internal test server UAT";
        case 2:
            return "internal test server IT";
        case 3:
            return "internal test server QA";
        case 4:
            return "development server";
        case 5:
            return customURL ? "custom server" : "production server";
        default:
            return "production server";
    }
}

int runStatus(const std::string& busAddress, const Globals& globals) {
    auto status = VxMutableDictionary::dictionary();
    VxServiceClient client(busAddress);
    std::string busError;
    std::optional<std::uint32_t> pid = client.serviceProcessId(&busError);
    status->setObject(VxNumber::numberWithBool(pid.has_value()), "running");
    if (pid) {
        status->setObject(VxNumber::numberWithUnsignedLongLong(*pid), "pid");
        if (auto up = processUptime(*pid))
            status->setObject(VxNumber::numberWithLongLong(std::llround(*up)), "uptimeSeconds");
    }
    if (!busError.empty()) status->setObject(vxstr(busError), "busError");
    status->setObject(vxstr(onSystemBus() ? "system" : "user"), "bus");

    DAConnectionManagerPtr manager = DAConnectionManager::sharedInstance();
    const std::uint64_t selection = manager->getServerSelection();
    status->setObject(VxNumber::numberWithUnsignedLongLong(selection), "server");
    status->setObject(
        vxstr(serverName(selection, vx::nonEmptyString(manager->getCustomServerURL()) != nullptr)),
        "serverName");
    status->setObject(manager->getServerBaseURL(), "baseURL");

    VxPreferences& prefs = VxPreferences::standard();
    prefs.synchronize(kDomain);
    Id session = prefs.copyValue("currentSessionID", kDomain);
    status->setObject(session ? session : vx::null(), "currentSessionID");
    status->setObject(vxstr(prefs.pathForDomain(kDomain)), "preferences");
    status->setObject(vxstr(logFilePath()), "logFile");
    std::optional<std::string> lastError = lastErrorLine(logFilePath());
    status->setObject(lastError ? Id(vxstr(*lastError)) : vx::null(), "lastError");

    if (globals.json) {
        printJson(status, globals);
        return kAccepted;
    }
    auto text = [&](const char* key) {
        Id v = status->objectForKey(key);
        return !v || vx::isNull(v) ? std::string("-") : valueText(v);
    };
    std::cout << "Service:     "
              << (pid ? "running, PID " + text("pid") + ", up " + text("uptimeSeconds") + " s"
                  : busError.empty() ? std::string("not running (started on demand)")
                                     : "unknown: " + busError)
              << " (" << text("bus") << " bus)\n"
              << "Server:      " << selection << " (" << text("serverName") << ") "
              << text("baseURL") << "\n"
              << "Session:     "
              << (session && !vx::isNull(session) ? "currentSessionID " + text("currentSessionID")
                                                  : std::string("currentSessionID not set"))
              << "\n"
              << "Preferences: " << text("preferences") << "\n"
              << "Log:         " << text("logFile") << "\n"
              << "Last error:  " << text("lastError") << "\n";
    return kAccepted;
}

// The domain's file, or nothing (with a message) for a name that cannot be one.
bool usableDomain(const std::string& domain) {
    if (!VxPreferences::standard().pathForDomain(domain).empty()) return true;
    complain("\"" + domain + "\" cannot be a preferences domain");
    return false;
}

bool usableKey(const std::string& key) {
    if (!key.empty()) return true;
    complain("the preference key must not be empty");
    return false;
}

int runPrefsGet(const std::string& domain, const std::string& key, const Globals& globals) {
    if (!usableDomain(domain) || !usableKey(key)) return kUsage;
    VxPreferences& prefs = VxPreferences::standard();
    prefs.synchronize(domain);
    Id value = prefs.copyValue(key, domain);
    if (!value) return kRefused;
    if (globals.json)
        printJson(value, globals);
    else
        std::cout << valueText(value) << "\n";
    return kAccepted;
}

int runPrefsSet(const std::string& domain, const std::string& key, const Id& value) {
    if (!usableDomain(domain) || !usableKey(key)) return kUsage;
    VxPreferences& prefs = VxPreferences::standard();
    if (!value) {
        // Removing what is not there writes nothing (no file, no directory).
        prefs.synchronize(domain);
        if (!prefs.copyValue(key, domain)) return kAccepted;
    }
    VxErrorPtr error;
    if (!prefs.setValue(value, key, domain, &error)) {
        complain("cannot write " + prefs.pathForDomain(domain) + ": " +
                 (error ? error->description() : std::string("unknown failure")));
        return kRefused;
    }
    return kAccepted;
}

int runDeviceInfo(const Globals& globals) {
    if (globals.json) {
        // The record exactly as the profile call sends it.
        DAUtilitiesPtr utilities = DAUtilities::sharedInstance();
        VxStringPtr serial = utilities->getSerialNumberForPrimaryDevice();
        auto device = utilities->deviceModelForDeviceId(utilities->uuidHashFromString(serial));
        printJson(device->dictionary(), globals);
        return kAccepted;
    }
    VxDeviceAnswers& answers = VxDeviceAnswers::shared();
    for (const std::string& key : deviceInfoKeys()) {
        Id value = answers.copyAnswer(key);
        if (!value || vx::isNull(value)) continue;
        std::cout << key << ": " << valueText(value) << "\n";
    }
    return kAccepted;
}

struct LocalArgs {
    std::string busAddress;
    double timeoutSeconds = 35;
    std::string domain, key, value, type = "string";
};

void addBusOption(CLI::App* sub, LocalArgs& args) {
    sub->add_option("--bus-address", args.busAddress,
                    "Bus address (default: --system/--user, then DA_BUS, then "
                    "DBUS_SESSION_BUS_ADDRESS, then $XDG_RUNTIME_DIR/bus)");
}

}  // namespace

void addLocalCommands(CLI::App& app, const Globals& globals, int& result) {
    static LocalArgs args;
    CLI::App* check = app.add_subcommand(
        "check",
        "Ask the service (over the bus) whether the device is in the current diagnostics "
        "session. Prints IN_CURRENT_SESSION or the new session identifier; exits 1 when the "
        "service has no answer, 2 when the bus call fails.");
    addBusOption(check, args);
    check
        ->add_option("--timeout", args.timeoutSeconds,
                     "Seconds to wait for the reply (more than 0, at most 3600)")
        ->capture_default_str();
    check->callback([&] { result = runCheck(args.busAddress, args.timeoutSeconds, globals); });

    CLI::App* status = app.add_subcommand(
        "status",
        "Show whether the service is running (PID, uptime), the selected server and base URL, "
        "whether \"currentSessionID\" is set, where the service logs and its last error line.");
    addBusOption(status, args);
    status->callback([&] { result = runStatus(args.busAddress, globals); });

    CLI::App* prefs = app.add_subcommand("prefs", "Read and write preferences");
    prefs->require_subcommand(1);

    CLI::App* get = prefs->add_subcommand(
        "get", "Print a preference (texts as is, other values as JSON); exit 1 when unset");
    get->add_option("DOMAIN", args.domain, "Preferences domain, e.g. com.tarvo.Diagnostics")
        ->required();
    get->add_option("KEY", args.key, "Preference key")->required();
    get->callback([&] { result = runPrefsGet(args.domain, args.key, globals); });

    CLI::App* set = prefs->add_subcommand("set", "Store a typed preference value");
    set->add_option("--type", args.type, "Type of VALUE")
        ->check(CLI::IsMember({"string", "int", "uint", "double", "bool", "json"}))
        ->capture_default_str();
    set->add_option("DOMAIN", args.domain, "Preferences domain")->required();
    set->add_option("KEY", args.key, "Preference key")->required();
    set->add_option("VALUE", args.value, "Value (use -- before a negative number)")->required();
    set->callback([&] {
        std::string problem;
        std::optional<Id> value = parseTypedValue(args.type, args.value, &problem);
        if (!value) {
            complain(problem);
            result = kUsage;
            return;
        }
        result = runPrefsSet(args.domain, args.key, *value);
    });

    CLI::App* del = prefs->add_subcommand(
        "delete", "Remove a preference (nothing is written when it is not set)");
    del->add_option("DOMAIN", args.domain, "Preferences domain")->required();
    del->add_option("KEY", args.key, "Preference key")->required();
    del->callback([&] { result = runPrefsSet(args.domain, args.key, nullptr); });

    CLI::App* info = app.add_subcommand(
        "device-info",
        "Print the device answers that can be read, one \"Key: value\" per line; with --json, "
        "the device record as the profile call sends it.");
    info->callback([&] { result = runDeviceInfo(globals); });
}

}  // namespace ctl
