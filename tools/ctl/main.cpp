// diagnosticsctl: command-line companion of the diagnostics agent. It asks the
// running service whether the device is in the current session, runs the
// session call through the library, edits the agent's preferences and shows
// what the device answer service knows.

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "Managers/DAConnectionManager.h"
#include "platform/VxDeviceAnswers.h"
#include "platform/VxJSON.h"
#include "platform/VxPreferences.h"
#include "platform/VxServiceClient.h"
#include "service/DALoggingInit.h"

namespace {

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

// A value as one line: texts as themselves, booleans as true/false, everything
// else in its compact JSON form.
std::string valueText(const Id& value) {
    if (auto text = vx_cast<VxString>(value)) return text->str();
    if (auto number = vx_cast<VxNumber>(value); number && number->isBoolean())
        return number->boolValue() ? "true" : "false";
    VxDataPtr json = VxJSONSerialization::dataWithJSONObject(
        value, VxJSONWritingFragmentsAllowed | VxJSONWritingWithoutEscapingSlashes);
    if (json) return std::string(json->view());
    return value ? value->descriptionInline() : std::string();
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

int runCheck(const std::string& busAddress, double timeoutSeconds) {
    if (!(timeoutSeconds > 0) || timeoutSeconds > 3600) {
        std::cerr << "diagnosticsctl: --timeout must be between 0 and 3600 seconds\n";
        return 2;
    }
    const auto timeout = std::chrono::milliseconds(static_cast<long long>(timeoutSeconds * 1000));
    std::string error;
    std::optional<std::string> reply = vxCheckAvailability(busAddress, timeout, &error);
    if (!error.empty()) {
        std::cerr << "diagnosticsctl: the service could not be asked: " << error << "\n";
        return 2;
    }
    if (!reply) return 1;
    std::cout << *reply << "\n";
    return 0;
}

int runSession(const std::string& serialNumber) {
    DALoggingInit();
    DAConnectionManagerPtr manager = DAConnectionManager::sharedInstance();
    VxErrorPtr error;
    if (manager->sessionForSerialNumber(vxstr(serialNumber), &error)) {
        std::cout << manager->sessionIdStr()->str() << "\n";
        return 0;
    }
    if (error) {
        std::cerr << error->description() << "\n";
    } else {
        std::cerr << "diagnosticsctl: no session was opened (serial number unusable, or the "
                     "server's reply was not accepted)\n";
    }
    return 1;
}

int runPrefsGet(const std::string& domain, const std::string& key) {
    VxPreferences& prefs = VxPreferences::standard();
    if (prefs.pathForDomain(domain).empty()) {
        std::cerr << "diagnosticsctl: \"" << domain << "\" cannot be a preferences domain\n";
        return 2;
    }
    prefs.synchronize(domain);
    Id value = prefs.copyValue(key, domain);
    if (!value) return 1;
    std::cout << valueText(value) << "\n";
    return 0;
}

int runPrefsSet(const std::string& domain, const std::string& key, const Id& value) {
    VxPreferences& prefs = VxPreferences::standard();
    if (prefs.pathForDomain(domain).empty()) {
        std::cerr << "diagnosticsctl: \"" << domain << "\" cannot be a preferences domain\n";
        return 2;
    }
    VxErrorPtr error;
    if (!prefs.setValue(value, key, domain, &error)) {
        std::cerr << "diagnosticsctl: cannot write " << prefs.pathForDomain(domain) << ": "
                  << (error ? error->description() : std::string("unknown failure")) << "\n";
        return 1;
    }
    return 0;
}

int runDeviceInfo() {
    VxDeviceAnswers& answers = VxDeviceAnswers::shared();
    for (const std::string& key : deviceInfoKeys()) {
        Id value = answers.copyAnswer(key);
        if (!value || vx::isNull(value)) continue;
        std::cout << key << ": " << valueText(value) << "\n";
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Command-line companion of the diagnostics agent"};
    app.require_subcommand(1);
    int result = 0;

    std::string busAddress;
    double timeoutSeconds = 35;
    CLI::App* check = app.add_subcommand(
        "check",
        "Ask the service (over the bus) whether the device is in the current diagnostics "
        "session. Prints IN_CURRENT_SESSION or the new session identifier; prints nothing and "
        "exits 1 when the service has no answer; exits 2 when the bus call fails.");
    check->add_option("--bus-address", busAddress,
                      "Bus address (default: DA_BUS, then DBUS_SESSION_BUS_ADDRESS, then "
                      "$XDG_RUNTIME_DIR/bus)");
    check->add_option("--timeout", timeoutSeconds, "Seconds to wait for the reply")
        ->capture_default_str();
    check->callback([&] { result = runCheck(busAddress, timeoutSeconds); });

    std::string serialNumber;
    CLI::App* session = app.add_subcommand(
        "session",
        "Open a session for a serial number through the library, with the server chosen by "
        "the preferences \"Server\" and \"CustomServerURL\". Prints the session identifier, or "
        "the error on stderr and exits 1.");
    session->add_option("SERIAL", serialNumber, "Device serial number")->required();
    session->callback([&] { result = runSession(serialNumber); });

    CLI::App* prefs = app.add_subcommand("prefs", "Read and write preferences");
    prefs->require_subcommand(1);
    std::string domain, key, valueArg, type = "string";

    CLI::App* get = prefs->add_subcommand(
        "get", "Print a preference (texts as is, other values as JSON); exit 1 when unset");
    get->add_option("DOMAIN", domain, "Preferences domain, e.g. com.tarvo.Diagnostics")->required();
    get->add_option("KEY", key, "Preference key")->required();
    get->callback([&] { result = runPrefsGet(domain, key); });

    CLI::App* set = prefs->add_subcommand("set", "Store a typed preference value");
    set->add_option("--type", type, "Type of VALUE")
        ->check(CLI::IsMember({"string", "int", "uint", "double", "bool", "json"}))
        ->capture_default_str();
    set->add_option("DOMAIN", domain, "Preferences domain")->required();
    set->add_option("KEY", key, "Preference key")->required();
    set->add_option("VALUE", valueArg, "Value (use -- before a negative number)")->required();
    set->callback([&] {
        std::string problem;
        std::optional<Id> value = parseTypedValue(type, valueArg, &problem);
        if (!value) {
            std::cerr << "diagnosticsctl: " << problem << "\n";
            result = 2;
            return;
        }
        result = runPrefsSet(domain, key, *value);
    });

    CLI::App* del = prefs->add_subcommand("delete", "Remove a preference");
    del->add_option("DOMAIN", domain, "Preferences domain")->required();
    del->add_option("KEY", key, "Preference key")->required();
    del->callback([&] { result = runPrefsSet(domain, key, nullptr); });

    CLI::App* info = app.add_subcommand(
        "device-info", "Print the device answers that can be read, one \"Key: value\" per line");
    info->callback([&] { result = runDeviceInfo(); });

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }
    return result;
}
