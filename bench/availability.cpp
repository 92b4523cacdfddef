// Round trip of one availability request through the bus (client -> bus ->
// diagnosticsd -> reference server and back) against the floor it stands on:
// a raw sd-bus call to an echo service that answers at once plus a plain
// keep-alive libcurl POST of the same JSON body to the same server. All are
// timed per iteration, in the same run and in an order drawn anew for each
// iteration; the figures printed are the ratios of the medians and 99th
// percentiles.
//
// A further line shows the bus hop alone through the service listener: a raw
// sd-bus call to the listener's echo service (tests/bus/echo_service) against
// the same call to the raw sd-bus echo service. The last shows the floor of any
// service that POSTs before it answers: a minimal service on the raw sd-bus C
// API that makes the same POST with one kept libcurl handle
// (bench/support/ColdStartAnchor.cpp), against the same anchor.
//
// Usage: bench_availability [iterations] (default 300, after 50 warm-up calls
// of each).

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "platform/bus/VxServiceClient.h"
#include "support/ServiceSetup.h"

namespace {

constexpr int kWarmUp = 50;
constexpr const char* kListenerEchoName = "com.tarvo.Diagnostics.BenchListenerEcho";
constexpr const char* kPostingName = "com.tarvo.Diagnostics.BenchPostingService";

struct Series {
    const char* label;
    std::function<bool()> run;
    std::vector<double> micros;
};

void print(const Series& s) {
    std::printf("  %-36s p50 %9.1f us   p99 %9.1f us\n", s.label, bench::percentile(s.micros, 0.5),
                bench::percentile(s.micros, 0.99));
}

}  // namespace

int main(int argc, char** argv) {
    const int iterations = argc > 1 ? std::max(10, std::atoi(argv[1])) : 300;
    curl_global_init(CURL_GLOBAL_DEFAULT);
    int rc = 0;
    {
        bench::ServiceSetup setup;
        if (!setup.ok()) {
            std::fprintf(stderr, "bench_availability: %s\n", setup.error().c_str());
            return 1;
        }
        std::string problem;
        const bool listenerEcho = setup.bus().installService(
            kListenerEchoName,
            PrivateBus::commandWithEnvironment({{"ECHO_BUS_NAME", kListenerEchoName}},
                                               DA_BUS_ECHO_SERVICE),
            &problem);
        if (!listenerEcho) std::fprintf(stderr, "bench_availability: %s\n", problem.c_str());
        const std::string bodyFile = setup.bus().directory() + "/availability-body.json";
        std::ofstream(bodyFile, std::ios::binary) << setup.sessionBody();
        const bool posting = setup.bus().installService(
            kPostingName,
            PrivateBus::commandWithEnvironment(
                {{"BENCH_POST_URL", setup.sessionURL()},
                 {"BENCH_POST_BODY_FILE", bodyFile},
                 {"BENCH_POST_KEEP", "1"}},
                bench::ServiceSetup::serviceWrapper() + DA_COLD_START_ANCHOR + " " + kPostingName),
            &problem);
        if (!posting) std::fprintf(stderr, "bench_availability: %s\n", problem.c_str());

        bench::PlainPost plain(setup.sessionURL(), setup.sessionBody());
        bench::RawEchoService rawEcho(setup.busAddress());
        bench::RawBusCaller rawCaller(setup.busAddress(), bench::RawEchoService::kBusName);
        bench::RawBusCaller listenerCaller(setup.busAddress(), kListenerEchoName);
        bench::RawBusCaller postingCaller(setup.busAddress(), kPostingName);
        VxServiceClient client(setup.busAddress());
        if (!rawEcho.ok() || !rawCaller.ok()) {
            std::fprintf(stderr, "bench_availability: the raw echo service did not start\n");
            return 1;
        }

        std::vector<Series> series = {
            {"bus + service + HTTP",
             [&] {
                 VxServiceCallResult r = client.checkAvailability(std::chrono::seconds(30));
                 return r.ok && r.reply == bench::ServiceSetup::kReply;
             },
             {}},
            {"plain libcurl POST", [&] { return plain.post(); }, {}},
            {"raw sd-bus echo call", [&] { return rawCaller.call(); }, {}},
        };
        // Optional series keep their places, so that the printing below finds them.
        const std::size_t listenerAt = series.size();
        if (listenerEcho)
            series.push_back(
                {"raw call to the listener's echo", [&] { return listenerCaller.call(); }, {}});
        const std::size_t postingAt = series.size();
        if (posting)
            series.push_back(
                {"minimal service that POSTs", [&] { return postingCaller.call(); }, {}});
        for (int i = 0; i < kWarmUp; ++i) {
            for (Series& s : series) {
                if (!s.run()) {
                    std::fprintf(stderr, "bench_availability: warm-up of \"%s\" failed\n", s.label);
                    return 1;
                }
            }
        }
        for (Series& s : series) s.micros.reserve(iterations);
        // Each iteration runs the series in a new order: a call costs less right
        // after another one that woke the same processes, so a fixed order would
        // favour whichever series follows its like.
        std::vector<std::size_t> order(series.size());
        for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
        std::mt19937 shuffle(20261208);
        for (int i = 0; i < iterations && rc == 0; ++i) {
            std::shuffle(order.begin(), order.end(), shuffle);
            for (std::size_t k : order) {
                Series& s = series[k];
                const auto start = bench::Clock::now();
                const bool ok = s.run();
                s.micros.push_back(bench::microsecondsSince(start));
                if (!ok) {
                    std::fprintf(stderr, "bench_availability: \"%s\" %d failed\n", s.label, i);
                    rc = 1;
                    break;
                }
            }
        }
        if (rc == 0) {
            std::printf("availability round trip, %d iterations each (after %d warm-up)\n",
                        iterations, kWarmUp);
            for (const Series& s : series) print(s);
            auto p = [&](std::size_t i, double q) {
                return bench::percentile(series[i].micros, q);
            };
            std::printf("  %-36s p50 %9.2f      p99 %9.2f\n", "ratio bus / plain POST",
                        p(0, 0.5) / p(1, 0.5), p(0, 0.99) / p(1, 0.99));
            std::printf("  %-36s p50 %9.2f      p99 %9.2f\n", "ratio bus / (raw echo + plain POST)",
                        p(0, 0.5) / (p(1, 0.5) + p(2, 0.5)),
                        p(0, 0.99) / (p(1, 0.99) + p(2, 0.99)));
            if (listenerEcho)
                std::printf("  %-36s p50 %9.2f      p99 %9.2f\n", "ratio listener echo / raw echo",
                            p(listenerAt, 0.5) / p(2, 0.5), p(listenerAt, 0.99) / p(2, 0.99));
            if (posting) {
                std::printf("  %-36s p50 %9.2f      p99 %9.2f\n",
                            "ratio minimal / (raw echo + POST)",
                            p(postingAt, 0.5) / (p(1, 0.5) + p(2, 0.5)),
                            p(postingAt, 0.99) / (p(1, 0.99) + p(2, 0.99)));
                std::printf("  %-36s p50 %9.2f      p99 %9.2f\n", "ratio bus / minimal service",
                            p(0, 0.5) / p(postingAt, 0.5), p(0, 0.99) / p(postingAt, 0.99));
            }
        }
    }
    curl_global_cleanup();
    return rc;
}
