#include "service/ServiceHarness.h"

#include <signal.h>
#include <unistd.h>

#include <sdbus-c++/sdbus-c++.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/bus/VxServiceEndpoint.h"

using namespace std::chrono_literals;

namespace svc {

void writeFileAtomically(const std::string& path, const std::string& text) {
    std::ofstream(path + ".tmp", std::ios::binary | std::ios::trunc) << text;
    std::filesystem::rename(path + ".tmp", path);
}

int unusedLoopbackPort() {
    int port;
    ::close(da::test::loopbackSocket(&port));
    return port;
}

long residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

ServiceHarness::ServiceHarness(std::map<std::string, std::string> environment)
    : directory_(tmp_.path()), preferences_(directory_ + "/prefs") {
    if (!bus_.ok()) {
        error_ = "private bus: " + bus_.error();
        return;
    }
    if (directory_.empty()) {
        error_ = "cannot create a temporary directory";
        return;
    }
    std::filesystem::create_directories(directory_ + "/prefs");
    std::filesystem::create_directories(directory_ + "/logs");
    environment.try_emplace("DA_PREFERENCES_DIR", directory_ + "/prefs");
    environment.try_emplace("DA_DEVICE_ANSWERS", directory_ + "/answers.json");
    environment.try_emplace("DA_LOG_DIR", directory_ + "/logs");
    environment.try_emplace("DA_LOG_CONSOLE_LEVEL", "0");
    setSerialNumber(std::nullopt);
    std::string problem;
    if (!bus_.installService(
            VxServiceEndpoint::kDefaultBusName,
            PrivateBus::commandWithEnvironment(environment, DA_BINARY_DIR "/service/diagnosticsd"),
            &problem))
        error_ = "cannot install the service: " + problem;
}

ServiceHarness::~ServiceHarness() {
    stopService();
    bus_.shutdown();
}

void ServiceHarness::setPreference(const std::string& key, const Id& value) {
    preferences_.setValue(value, key, kDomain);
}

Id ServiceHarness::preference(const std::string& key) {
    preferences_.synchronize(kDomain);
    return preferences_.copyValue(key, kDomain);
}

void ServiceHarness::useServer(const std::string& baseURL) {
    setPreference("Server", VxNumber::numberWithUnsignedLongLong(5));
    setPreference("CustomServerURL", vxstr(baseURL));
}

void ServiceHarness::setSerialNumber(const std::optional<std::string>& serial) {
    writeFileAtomically(directory_ + "/answers.json",
                        serial ? "{\"SerialNumber\": \"" + *serial + "\"}\n"
                               : std::string("{\"SerialNumber\": null}\n"));
}

VxServiceCallResult ServiceHarness::ask() {
    VxServiceClient client(bus_.address());
    return client.checkAvailability(kCallTimeout);
}

pid_t ServiceHarness::servicePid() const {
    try {
        auto connection = sdbus::createSessionBusConnectionWithAddress(bus_.address());
        auto proxy =
            sdbus::createProxy(*connection, "org.freedesktop.DBus", "/org/freedesktop/DBus");
        std::uint32_t pid = 0;
        proxy->callMethod("GetConnectionUnixProcessID")
            .onInterface("org.freedesktop.DBus")
            .withArguments(std::string(VxServiceEndpoint::kDefaultBusName))
            .storeResultsTo(pid);
        return static_cast<pid_t>(pid);
    } catch (const sdbus::Error&) {
        return -1;
    }
}

bool ServiceHarness::stopService() {
    if (!bus_.ok()) return true;
    const pid_t pid = servicePid();
    if (pid <= 0) return true;
    ::kill(pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!processGone(pid) || servicePid() > 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

std::size_t ServiceHarness::logSize() const {
    std::error_code ec;
    auto size = std::filesystem::file_size(logPath(), ec);
    return ec ? 0 : static_cast<std::size_t>(size);
}

std::string ServiceHarness::logSince(std::size_t offset) const {
    std::string text = readFile(logPath());
    return offset < text.size() ? text.substr(offset) : std::string();
}

}  // namespace svc
