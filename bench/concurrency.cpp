// Concurrent bus clients against a fast server: 1, 2, 4 and 8 clients, each on
// its own thread and bus connection, call checkAvailabilityWithReply back to
// back for a fixed time while the reference server answers at once. Printed
// per client count: replies per second, the median and 99th percentile wait of
// a call, and the replies/s and median wait as ratios against one client
// measured in the same run (calls that run one at a time show as flat
// replies/s and a median wait that grows with the clients). The same table for a raw sd-bus echo
// service is the anchor: it shows what the bus itself allows on this machine.
//
// The time of each client count is split over five rounds that take the counts
// in turn (1, 2, 4, 8, 1, 2, ...): a machine whose speed drifts during the run
// then weighs on every count alike. Replies/s is the median of a count's rounds;
// the waits are those of all its rounds. The ratio against one client is the
// median of the rounds' own ratios, each taken between counts measured a
// moment apart, so that a slow stretch of the machine moves both sides of it.
//
// Usage: bench_concurrency [seconds per client count] (default 2).

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/bus/VxServiceClient.h"
#include "support/ServiceSetup.h"

namespace {

constexpr int kClientCounts[] = {1, 2, 4, 8};
constexpr int kWarmUp = 10;
constexpr int kRounds = 5;

struct Outcome {
    double repliesPerSecond = 0;
    std::vector<double> waits;  // microseconds, one per call
    bool ok = true;
};

// Runs `clients` threads; each makes its own caller with makeCaller() and calls
// it until the time is up. A caller is a function that makes one call.
Outcome runClients(int clients, double seconds,
                   const std::function<std::function<bool()>()>& makeCaller) {
    std::vector<std::function<bool()>> callers;
    for (int i = 0; i < clients; ++i) callers.push_back(makeCaller());
    for (auto& call : callers)
        for (int i = 0; i < kWarmUp; ++i)
            if (!call()) return {0, {}, false};

    std::mutex mutex;
    std::vector<double> all;
    bool failed = false;
    const auto start = bench::Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    std::vector<std::thread> threads;
    for (auto& call : callers) {
        threads.emplace_back([&, callPtr = &call] {
            std::vector<double> mine;
            bool bad = false;
            while (bench::Clock::now() < end && mine.size() < 1000000) {
                const auto t = bench::Clock::now();
                if (!(*callPtr)()) {
                    bad = true;
                    break;
                }
                mine.push_back(bench::microsecondsSince(t));
            }
            std::lock_guard lock(mutex);
            all.insert(all.end(), mine.begin(), mine.end());
            failed = failed || bad;
        });
    }
    for (auto& t : threads) t.join();
    const double elapsed = bench::microsecondsSince(start) / 1e6;
    Outcome o;
    o.ok = !failed;
    o.repliesPerSecond = static_cast<double>(all.size()) / elapsed;
    o.waits = std::move(all);
    return o;
}

void printTable(const char* title, double seconds,
                const std::function<std::function<bool()>()>& makeCaller) {
    std::printf("%s (%.1f s per client count, in %d rounds)\n", title, seconds, kRounds);
    constexpr std::size_t kCounts = std::size(kClientCounts);
    std::vector<double> rates[kCounts];
    std::vector<double> waits[kCounts];
    bool failed[kCounts] = {};
    for (int round = 0; round < kRounds; ++round) {
        for (std::size_t c = 0; c < kCounts; ++c) {
            if (failed[c]) continue;
            Outcome o = runClients(kClientCounts[c], seconds / kRounds, makeCaller);
            failed[c] = !o.ok;
            rates[c].push_back(o.repliesPerSecond);
            waits[c].insert(waits[c].end(), o.waits.begin(), o.waits.end());
        }
    }
    double singleP50 = 0;
    for (std::size_t c = 0; c < kCounts; ++c) {
        const int clients = kClientCounts[c];
        if (failed[c]) {
            std::printf("  %d clients: a call failed\n", clients);
            continue;
        }
        const double rate = bench::percentile(rates[c], 0.5);
        const double p50 = bench::percentile(waits[c], 0.5);
        if (clients == 1) singleP50 = p50;
        // Count 0 is one client; a failed count has fewer rounds than the others.
        std::vector<double> ratios;
        for (std::size_t r = 0; r < rates[c].size() && r < rates[0].size(); ++r)
            if (rates[0][r] > 0) ratios.push_back(rates[c][r] / rates[0][r]);
        std::printf(
            "  %d clients  %8.0f replies/s  p50 %8.1f us  p99 %8.1f us  "
            "vs 1 client: replies/s %.2f, p50 %.2f\n",
            clients, rate, p50, bench::percentile(waits[c], 0.99),
            ratios.empty() || failed[0] ? 0.0 : bench::percentile(ratios, 0.5),
            singleP50 > 0 ? p50 / singleP50 : 0.0);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::clamp(std::atof(argv[1]), 0.2, 30.0) : 2.0;
    curl_global_init(CURL_GLOBAL_DEFAULT);
    {
        bench::ServiceSetup setup;
        if (!setup.ok()) {
            std::fprintf(stderr, "bench_concurrency: %s\n", setup.error().c_str());
            return 1;
        }
        bench::RawEchoService rawEcho(setup.busAddress());
        if (!rawEcho.ok()) {
            std::fprintf(stderr, "bench_concurrency: the raw echo service did not start\n");
            return 1;
        }
        printTable("availability calls through the service", seconds, [&] {
            auto client = std::make_shared<VxServiceClient>(setup.busAddress());
            return std::function<bool()>([client] {
                VxServiceCallResult r = client->checkAvailability(std::chrono::seconds(30));
                return r.ok && r.reply == bench::ServiceSetup::kReply;
            });
        });
        printTable("anchor: raw sd-bus calls to a raw echo service", seconds, [&] {
            auto caller = std::make_shared<bench::RawBusCaller>(setup.busAddress(),
                                                                bench::RawEchoService::kBusName);
            return std::function<bool()>([caller] { return caller->call(); });
        });
    }
    curl_global_cleanup();
    return 0;
}
