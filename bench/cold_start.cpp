// Cold start: from a call to a service that is not running (the bus starts it)
// to its first answer. diagnosticsd, started by bus activation with the same
// set-up as in the availability benchmark, against the floor it stands on,
// measured two ways in the same run (bench/support/ColdStartAnchor.cpp):
// - a minimal sd-bus echo service started the same way (libsystemd only), plus
//   one plain libcurl POST of the same body on a fresh handle and connection;
// - the same minimal service doing that POST itself before it answers, so the
//   start of libcurl and its libraries is part of the floor.
// Before every cold call the service is stopped and its bus name waited for;
// the services take turns. A warm call after each cold one shows what the
// start itself costs, and the services' peak resident sizes are printed too.
//
// Usage: bench_cold_start [runs] (default 15).

#include <signal.h>
#include <systemd/sd-bus.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/bus/VxServiceEndpoint.h"
#include "support/ServiceSetup.h"

namespace {

constexpr const char* kAnchorName = "com.tarvo.Diagnostics.BenchColdStartAnchor";
constexpr const char* kEchoName = "com.tarvo.Diagnostics.BenchColdStartEcho";

struct Target {
    const char* label;
    std::string busName;
    std::vector<double> cold;
    std::vector<double> warm;
    std::vector<double> peakKiB;  // VmHWM after the two calls
};

// A process's peak resident size in KiB (0 when unknown).
double peakResidentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6);
    return 0;
}

// A control connection to the bus daemon itself.
class BusControl {
  public:
    explicit BusControl(const std::string& address) {
        if (sd_bus_new(&bus_) < 0 || sd_bus_set_address(bus_, address.c_str()) < 0 ||
            sd_bus_set_bus_client(bus_, 1) < 0 || sd_bus_start(bus_) < 0) {
            sd_bus_unref(bus_);
            bus_ = nullptr;
        }
    }
    ~BusControl() {
        if (bus_) sd_bus_flush_close_unref(bus_);
    }
    BusControl(const BusControl&) = delete;
    BusControl& operator=(const BusControl&) = delete;
    bool ok() const { return bus_ != nullptr; }

    bool hasOwner(const std::string& name) {
        int has = 0;
        sd_bus_message* reply = nullptr;
        if (callDaemon("NameHasOwner", name, &reply) >= 0) sd_bus_message_read(reply, "b", &has);
        sd_bus_message_unref(reply);
        return has != 0;
    }

    pid_t ownerPid(const std::string& name) {
        std::uint32_t pid = 0;
        sd_bus_message* reply = nullptr;
        if (callDaemon("GetConnectionUnixProcessID", name, &reply) >= 0)
            sd_bus_message_read(reply, "u", &pid);
        sd_bus_message_unref(reply);
        return static_cast<pid_t>(pid);
    }

    // Stops the process that owns `name` and waits until the name is free.
    bool stop(const std::string& name) {
        if (!hasOwner(name)) return true;
        const pid_t pid = ownerPid(name);
        if (pid <= 0 || ::kill(pid, SIGTERM) != 0) return false;
        const auto deadline = bench::Clock::now() + std::chrono::seconds(5);
        while (hasOwner(name)) {
            if (bench::Clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        // Let the old process finish leaving before the next one starts.
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        return true;
    }

  private:
    int callDaemon(const char* method, const std::string& name, sd_bus_message** reply) {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        const int r =
            sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", method, &error, reply, "s", name.c_str());
        sd_bus_error_free(&error);
        return r;
    }
    sd_bus* bus_ = nullptr;
};

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    bench::ServiceSetup setup;
    if (!setup.ok()) {
        std::fprintf(stderr, "set-up failed: %s\n", setup.error().c_str());
        return 1;
    }
    const std::string bodyFile = setup.bus().directory() + "/cold-start-body.json";
    std::ofstream(bodyFile, std::ios::binary) << setup.sessionBody();
    std::string error;
    const std::map<std::string, std::string> environment = {{"BENCH_POST_URL", setup.sessionURL()},
                                                            {"BENCH_POST_BODY_FILE", bodyFile}};
    for (auto [name, program] :
         {std::pair{kAnchorName, DA_COLD_START_ANCHOR}, std::pair{kEchoName, DA_COLD_START_ECHO}}) {
        if (!setup.bus().installService(
                name,
                PrivateBus::commandWithEnvironment(environment, std::string(program) + " " + name),
                &error)) {
            std::fprintf(stderr, "%s could not be installed: %s\n", name, error.c_str());
            return 1;
        }
    }
    BusControl control(setup.busAddress());
    if (!control.ok()) {
        std::fprintf(stderr, "no control connection to the bus\n");
        return 1;
    }

    std::vector<Target> targets = {{"diagnosticsd", VxServiceEndpoint::kDefaultBusName, {}, {}, {}},
                                   {"sd-bus echo service", kEchoName, {}, {}, {}},
                                   {"sd-bus service that POSTs", kAnchorName, {}, {}, {}}};
    std::vector<double> freshPosts;
    // One start of each first, untimed: the files they map are then in the
    // page cache, as on a device that has started them before.
    for (int run = -1; run < runs; ++run) {
        for (Target& t : targets) {
            if (!control.stop(t.busName)) {
                std::fprintf(stderr, "%s could not be stopped\n", t.label);
                return 1;
            }
            bench::RawBusCaller caller(setup.busAddress(), t.busName);
            auto start = bench::Clock::now();
            const bool coldOK = caller.call();
            const double cold = bench::microsecondsSince(start);
            start = bench::Clock::now();
            const bool warmOK = caller.call();
            const double warm = bench::microsecondsSince(start);
            if (!coldOK || !warmOK) {
                std::fprintf(stderr, "%s did not answer\n", t.label);
                return 1;
            }
            if (run < 0) continue;
            t.cold.push_back(cold);
            t.warm.push_back(warm);
            t.peakKiB.push_back(peakResidentKiB(control.ownerPid(t.busName)));
        }
        bench::PlainPost post(setup.sessionURL(), setup.sessionBody());
        const auto start = bench::Clock::now();
        if (!post.post()) {
            std::fprintf(stderr, "the plain POST failed\n");
            return 1;
        }
        if (run >= 0) freshPosts.push_back(bench::microsecondsSince(start));
    }
    for (Target& t : targets) control.stop(t.busName);

    std::printf("cold start: bus activation to the first answer, %d runs each\n", runs);
    for (const Target& t : targets)
        std::printf("  %-36s cold p50 %8.2f ms  p90 %8.2f ms   warm p50 %7.2f ms\n", t.label,
                    bench::percentile(t.cold, 0.5) / 1000, bench::percentile(t.cold, 0.9) / 1000,
                    bench::percentile(t.warm, 0.5) / 1000);
    const double post50 = bench::percentile(freshPosts, 0.5);
    std::printf("  %-36s      p50 %8.2f ms\n", "plain POST, fresh handle", post50 / 1000);
    const double ours = bench::percentile(targets[0].cold, 0.5);
    const double echoPlusPost = bench::percentile(targets[1].cold, 0.5) + post50;
    std::printf("  ratio diagnosticsd / (echo service + plain POST)   p50 %6.2f\n",
                ours / echoPlusPost);
    std::printf("  ratio diagnosticsd / service that POSTs            p50 %6.2f\n",
                ours / bench::percentile(targets[2].cold, 0.5));
    std::printf("peak resident size after the two calls (VmHWM, median)\n");
    for (const Target& t : targets)
        std::printf("  %-36s %8.1f MiB\n", t.label, bench::percentile(t.peakKiB, 0.5) / 1024);
    std::printf(
        "  ratio diagnosticsd / service that POSTs  %8.2f\n",
        bench::percentile(targets[0].peakKiB, 0.5) / bench::percentile(targets[2].peakKiB, 0.5));
    return 0;
}
