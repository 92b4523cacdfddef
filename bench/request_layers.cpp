// The availability call's HTTP side in this process, layer by layer, against a
// plain keep-alive libcurl POST of the same body to the same server (the floor):
//
//   transfer          the request the connection manager builds, prepared once
//                     and sent again and again through VxURLSession;
//   session call      DAConnectionManager::openSessionForSerialNumber: body,
//                     request building, the exchange, reply parse and checks;
//   getSessionID      what the service runs per call: the serial number, the
//                     session call and the comparison with "currentSessionID".
//
// Each layer's ratio over the one below tells what that layer adds; the bus and
// the service listener are left out (bench_availability has them). The series
// run in an order drawn anew for each iteration. The second pass evicts the
// caches between calls by writing a buffer (4 MiB by default), as the other
// processes that run between two calls on a device do: code and data that a
// call touches then cost more than their instructions.
//
// Usage: bench_request_layers [iterations] [KiB written between calls in the
// second pass] (defaults 2000 and 4096).

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "Managers/DAConnectionManager.h"
#include "platform/foundation/VxDictionary.h"
#include "platform/foundation/VxJSON.h"
#include "platform/linux/VxURLSession.h"
#include "service/DADiagnosticsSessionAvailability.h"
#include "support/ServiceSetup.h"

namespace {

constexpr int kWarmUp = 50;

struct Series {
    const char* label;
    std::function<bool()> run;
    std::vector<double> micros;
};

// Runs every series `iterations` times in a shuffled order per iteration,
// writing `evict` bytes (one per cache line) before each call. False when a
// call failed.
bool runPass(std::vector<Series>& series, int iterations, std::size_t evict) {
    std::vector<unsigned char> buffer(evict);
    std::vector<std::size_t> order(series.size());
    for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
    std::mt19937 shuffle(20261208);
    for (Series& s : series) {
        s.micros.clear();
        s.micros.reserve(static_cast<std::size_t>(iterations));
    }
    for (int i = 0; i < iterations; ++i) {
        std::shuffle(order.begin(), order.end(), shuffle);
        for (std::size_t k : order) {
            for (std::size_t b = 0; b < buffer.size(); b += 64) ++buffer[b];
            const auto start = bench::Clock::now();
            const bool ok = series[k].run();
            series[k].micros.push_back(bench::microsecondsSince(start));
            if (!ok) {
                std::fprintf(stderr, "bench_request_layers: \"%s\" failed\n", series[k].label);
                return false;
            }
        }
    }
    return true;
}

void printPass(const char* title, const std::vector<Series>& series) {
    std::printf("%s\n", title);
    const double floor = bench::percentile(series.front().micros, 0.5);
    double below = floor;
    for (const Series& s : series) {
        const double p50 = bench::percentile(s.micros, 0.5);
        std::printf("  %-28s p50 %8.1f us  p99 %8.1f us  ratio plain POST %.2f  layer %.2f\n",
                    s.label, p50, bench::percentile(s.micros, 0.99), p50 / floor, p50 / below);
        below = p50;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int iterations = argc > 1 ? std::clamp(std::atoi(argv[1]), 10, 1000000) : 2000;
    const long evictKiB = argc > 2 ? std::clamp(std::atol(argv[2]), 0L, 1L << 20) : 4096;
    curl_global_init(CURL_GLOBAL_DEFAULT);
    int rc = 0;
    {
        bench::ServiceSetup setup;
        if (!setup.ok()) {
            std::fprintf(stderr, "bench_request_layers: %s\n", setup.error().c_str());
            return 1;
        }
        // The library in this process reads the service's preferences and answers.
        for (const auto& [name, value] : setup.serviceEnvironment())
            ::setenv(name.c_str(), value.c_str(), 1);

        auto manager = DAConnectionManager::sharedInstance();
        VxErrorPtr error;
        auto body = VxJSONSerialization::JSONObjectWithData(
            VxData::dataWithBytes(setup.sessionBody().data(), setup.sessionBody().size()), 0,
            &error);
        VxMutableURLRequestPtr request = manager->prepareURLRequestForMethod(
            vxstr("POST"), vxstr("session"), body, nullptr, nullptr, nullptr, nullptr, &error);
        if (!request) {
            std::fprintf(stderr, "bench_request_layers: the session request was not built\n");
            return 1;
        }
        VxURLLoadOptions limits;
        limits.deadline = 30.0;
        const VxStringPtr serial = vxstr(bench::ServiceSetup::kSerial);
        DADiagnosticsSessionAvailability availability;
        bench::PlainPost plain(setup.sessionURL(), setup.sessionBody());

        std::vector<Series> series = {
            {"plain libcurl POST", [&] { return plain.post(); }, {}},
            {"transfer",
             [&] {
                 VxURLResponsePtr response;
                 auto data = VxURLSession::sendSynchronousRequest(request, &response, limits);
                 auto http = vx_cast<VxHTTPURLResponse>(response);
                 return data && http && http->statusCode() == 200;
             },
             {}},
            {"session call",
             [&] { return manager->openSessionForSerialNumber(serial) != nullptr; },
             {}},
            {"getSessionID", [&] { return availability.getSessionID() != nullptr; }, {}},
        };
        for (int i = 0; i < kWarmUp && rc == 0; ++i)
            for (Series& s : series)
                if (!s.run()) {
                    std::fprintf(stderr, "bench_request_layers: warm-up of \"%s\" failed\n",
                                 s.label);
                    rc = 1;
                    break;
                }
        if (rc == 0 && runPass(series, iterations, 0)) {
            printPass("request layers in process, caches warm", series);
        } else {
            rc = 1;
        }
        if (rc == 0 && evictKiB > 0) {
            if (runPass(series, iterations, static_cast<std::size_t>(evictKiB) * 1024)) {
                const std::string title = "request layers in process, " + std::to_string(evictKiB) +
                                          " KiB written between calls";
                printPass(title.c_str(), series);
            } else {
                rc = 1;
            }
        }
    }
    curl_global_cleanup();
    return rc;
}
