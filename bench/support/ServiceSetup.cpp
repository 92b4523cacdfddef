#include "ServiceSetup.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "device/DAUtilities.h"
#include "platform/bus/VxServiceEndpoint.h"
#include "platform/foundation/VxJSON.h"
#include "platform/linux/VxPreferences.h"

namespace bench {

namespace {

constexpr const char* kDomain = "com.tarvo.Diagnostics";

}  // namespace

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

double microsecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

ServiceSetup::ServiceSetup() {
    work_ = (std::filesystem::temp_directory_path() / ("da-bench-" + std::to_string(::getpid())))
                .string();
    std::filesystem::create_directories(work_ + "/prefs");
    std::filesystem::create_directories(work_ + "/logs");
    server_ = std::make_unique<da::test::ReferenceServer>();
    server_->configure(std::string(R"({"sessionId":")") + kReply + "\"}");
    bus_ = std::make_unique<PrivateBus>();
    if (!bus_->ok()) {
        error_ = bus_->error();
        return;
    }
    // A wrapped service (a profiler) writes its data as it ends.
    if (!serviceWrapper().empty()) bus_->setServiceGrace(std::chrono::seconds(10));
    VxPreferences prefs(work_ + "/prefs");
    prefs.setValue(VxNumber::numberWithUnsignedLongLong(5), "Server", kDomain);
    prefs.setValue(vxstr(server_->baseURL()), "CustomServerURL", kDomain);
    {
        std::ofstream answers(work_ + "/answers.json");
        answers << "{\"SerialNumber\": \"" << kSerial << "\"}\n";
    }
    environment_ = {{"DA_PREFERENCES_DIR", work_ + "/prefs"},
                    {"DA_DEVICE_ANSWERS", work_ + "/answers.json"},
                    {"DA_LOG_DIR", work_ + "/logs"},
                    {"DA_LOG_CONSOLE_LEVEL", "0"}};
    if (!bus_->installService(
            VxServiceEndpoint::kDefaultBusName,
            PrivateBus::commandWithEnvironment(
                environment_, serviceWrapper() + DA_BINARY_DIR "/service/diagnosticsd"),
            &error_)) {
        if (error_.empty()) error_ = "the service could not be installed";
        return;
    }
    // The body the service sends for this serial number.
    auto utilities = DAUtilities::sharedInstance();
    auto body = VxDictionary::dictionaryWithPairs(
        {{"identifier", utilities->uuidHashFromString(vxstr(kSerial))},
         {"platform", utilities->appPlatform()},
         {"appVersion", utilities->applicationVersion()}});
    body_ = std::string(VxJSONSerialization::dataWithJSONObject(body, 0)->view());
}

ServiceSetup::~ServiceSetup() {
    bus_.reset();
    server_.reset();
    std::error_code ec;
    std::filesystem::remove_all(work_, ec);
}

std::string ServiceSetup::sessionURL() const {
    return server_->baseURL() + "session";
}

std::string ServiceSetup::serviceWrapper() {
    const char* wrapper = std::getenv("BENCH_SERVICE_WRAPPER");
    return wrapper != nullptr && *wrapper != '\0' ? std::string(wrapper) + " " : std::string();
}

// ---------------------------------------------------------------------------

namespace {

int answerEcho(sd_bus_message* m, void*, sd_bus_error*) {
    return sd_bus_reply_method_return(m, "as", 1, "echo");
}

const sd_bus_vtable kEchoVTable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("checkAvailabilityWithReply", "", "as", answerEcho, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

sd_bus* openBus(const std::string& address) {
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0) return nullptr;
    if (sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
        sd_bus_start(bus) < 0) {
        sd_bus_unref(bus);
        return nullptr;
    }
    return bus;
}

}  // namespace

RawEchoService::RawEchoService(const std::string& busAddress)
    : thread_([this, busAddress] { run(busAddress); }) {
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (ready_.load() == 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

RawEchoService::~RawEchoService() {
    stop_ = true;
    thread_.join();
}

void RawEchoService::run(std::string address) {
    sd_bus* bus = openBus(address);
    sd_bus_slot* slot = nullptr;
    if (bus == nullptr ||
        sd_bus_add_object_vtable(bus, &slot, VxServiceEndpoint::kDefaultObjectPath,
                                 VxServiceEndpoint::kDefaultInterfaceName, kEchoVTable,
                                 nullptr) < 0 ||
        sd_bus_request_name(bus, kBusName, 0) < 0) {
        ready_ = -1;
        if (bus) sd_bus_flush_close_unref(bus);
        return;
    }
    ready_ = 1;
    while (!stop_.load()) {
        const int r = sd_bus_process(bus, nullptr);
        if (r < 0) break;
        if (r == 0) sd_bus_wait(bus, 50000);  // microseconds: look at stop_ now and then
    }
    sd_bus_slot_unref(slot);
    sd_bus_flush_close_unref(bus);
}

RawBusCaller::RawBusCaller(const std::string& busAddress, std::string busName)
    : bus_(openBus(busAddress)), busName_(std::move(busName)) {}

RawBusCaller::~RawBusCaller() {
    if (bus_) sd_bus_flush_close_unref(bus_);
}

bool RawBusCaller::call() {
    if (!bus_) return false;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(bus_, busName_.c_str(), VxServiceEndpoint::kDefaultObjectPath,
                               VxServiceEndpoint::kDefaultInterfaceName,
                               VxServiceEndpoint::kCheckAvailabilityMethod, &error, &reply, "");
    char** texts = nullptr;
    if (r >= 0) r = sd_bus_message_read_strv(reply, &texts);
    std::size_t count = 0;
    if (texts) {
        for (char** t = texts; *t; ++t) {
            ++count;
            free(*t);
        }
        free(texts);
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return r >= 0 && count == 1;
}

}  // namespace bench
