#pragma once
// Shared set-up of the benchmarks that talk to the service over a private bus:
// a work directory, the reference server, the bus with diagnosticsd installed
// for activation, the JSON body the service sends, a reused libcurl POST of
// that body (the HTTP floor), a bus echo service written on the raw sd-bus C
// API (the bus floor) and the timing helpers.

#include <curl/curl.h>
#include <systemd/sd-bus.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/PlainPost.h"
#include "support/PrivateBus.h"
#include "support/ReferenceServer.h"

namespace bench {

using Clock = std::chrono::steady_clock;

double percentile(std::vector<double> values, double p);
double microsecondsSince(Clock::time_point start);

// The reference server, the private bus and diagnosticsd ready for activation.
class ServiceSetup {
  public:
    ServiceSetup();
    ~ServiceSetup();
    ServiceSetup(const ServiceSetup&) = delete;
    ServiceSetup& operator=(const ServiceSetup&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    const std::string& busAddress() const { return bus_->address(); }
    PrivateBus& bus() { return *bus_; }
    // The "session" URL of the reference server and the body the service posts there.
    std::string sessionURL() const;
    const std::string& sessionBody() const { return body_; }
    // The environment diagnosticsd runs with: where its preferences, device
    // answers and logs are. A benchmark that calls the library in process
    // sets the same.
    const std::map<std::string, std::string>& serviceEnvironment() const { return environment_; }
    // A command that the services this benchmark activates run under, from
    // BENCH_SERVICE_WRAPPER (for instance a profiler with its options), with a
    // trailing space; empty when unset. Timings taken under it mean nothing.
    static std::string serviceWrapper();
    static constexpr const char* kReply = "bench-session";
    static constexpr const char* kSerial = "BENCH0000042";

  private:
    std::string work_;
    std::string error_;
    std::string body_;
    std::map<std::string, std::string> environment_;
    std::unique_ptr<da::test::ReferenceServer> server_;
    std::unique_ptr<PrivateBus> bus_;
};

// An echo service on the raw sd-bus C API, served by a thread of this process
// on its own bus connection: it owns `busName` and answers every
// checkAvailabilityWithReply at once with one text, the way the service
// answers.
class RawEchoService {
  public:
    static constexpr const char* kBusName = "com.tarvo.Diagnostics.BenchRawEcho";
    explicit RawEchoService(const std::string& busAddress);
    ~RawEchoService();
    RawEchoService(const RawEchoService&) = delete;
    RawEchoService& operator=(const RawEchoService&) = delete;
    bool ok() const { return ready_.load() == 1; }

  private:
    void run(std::string address);
    std::atomic<int> ready_{0};  // 0 starting, 1 serving, -1 failed
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A client connection on the raw sd-bus C API calling one method that answers
// with an array of texts.
class RawBusCaller {
  public:
    RawBusCaller(const std::string& busAddress, std::string busName);
    ~RawBusCaller();
    RawBusCaller(const RawBusCaller&) = delete;
    RawBusCaller& operator=(const RawBusCaller&) = delete;
    bool ok() const { return bus_ != nullptr; }
    // True when the reply holds exactly one text.
    bool call();

  private:
    sd_bus* bus_ = nullptr;
    std::string busName_;
};

}  // namespace bench
