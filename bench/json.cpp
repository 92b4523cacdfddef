// Reading a JSON reply into values: VxJSONSerialization::JSONObjectWithData
// against a plain nlohmann DOM parse of the same bytes, for replies of 1 KiB to
// 10 MiB. Both include building and then destroying the whole tree. The
// figures printed are the CPU time ratios per size, measured in the same run;
// with --benchmark_repetitions=N (and, on a busy machine,
// --benchmark_enable_random_interleaving=true) the ratios use the medians.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/foundation/VxJSON.h"
#include "support/RatioReporter.h"

namespace {

// A reply shaped like the server's: an object holding an array of device
// records (texts, integers, doubles, booleans, null, a nested object and a
// short array), grown until it reaches `bytes`.
std::string makeReply(std::size_t bytes) {
    std::string out = R"({"status":"ok","sessionId":"4f1c2a9e-bench","devices":[)";
    for (int r = 0; out.size() + 2 < bytes; ++r) {
        if (r > 0) out += ',';
        const std::string n = std::to_string(r);
        out += R"({"deviceId":"DEV-)" + n + R"(","index":)" + n + R"(,"level":)" +
               std::to_string(r * 0.37) + R"(,"charging":)" + (r % 2 ? "true" : "false") +
               R"(,"meid":null,"clientStatus":"Idle \"quoted\" \u00e9","capacity":)" +
               std::to_string(1ULL << 40) + R"(,"facts":{"model":"HX-)" + n +
               R"(","os":"12.4.1","region":"EU"},"samples":[1,2,3,-4,5.5]})";
    }
    out += "]}";
    return out;
}

const std::string& reply(std::size_t bytes) {
    static std::map<std::size_t, std::string> cache;
    auto it = cache.find(bytes);
    if (it == cache.end()) it = cache.emplace(bytes, makeReply(bytes)).first;
    return it->second;
}

void BM_VxJSON(benchmark::State& state) {
    const auto data = VxData::dataWithString(reply(static_cast<std::size_t>(state.range(0))));
    for (auto _ : state) {
        Id value = VxJSONSerialization::JSONObjectWithData(data, 0);
        if (!value) state.SkipWithError("reply did not parse");
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data->length()));
}

void BM_NlohmannDOM(benchmark::State& state) {
    const auto data = VxData::dataWithString(reply(static_cast<std::size_t>(state.range(0))));
    for (auto _ : state) {
        const char* begin = reinterpret_cast<const char*>(data->bytes());
        nlohmann::json value = nlohmann::json::parse(begin, begin + data->length(), nullptr, false);
        if (value.is_discarded()) state.SkipWithError("reply did not parse");
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data->length()));
}

constexpr std::int64_t kSizes[] = {1 << 10, 64 << 10, 1 << 20, 10 << 20};

void sizes(benchmark::internal::Benchmark* b) {
    for (std::int64_t s : kSizes) b->Arg(s);
    b->Unit(benchmark::kMicrosecond);
}
BENCHMARK(BM_VxJSON)->Apply(sizes);
BENCHMARK(BM_NlohmannDOM)->Apply(sizes);

}  // namespace

int main(int argc, char** argv) {
    bench::RatioReporter reporter;
    if (!bench::runBenchmarks(argc, argv, reporter)) return 1;

    bool any = false;
    for (std::int64_t s : kSizes) {
        const std::string arg = "/" + std::to_string(s);
        const double ratio = reporter.ratio("BM_VxJSON" + arg, "BM_NlohmannDOM" + arg);
        if (ratio < 0) continue;
        any = true;
        std::printf("JSON reply of %8lld bytes: VxJSON / nlohmann DOM CPU time ratio = %.2f\n",
                    static_cast<long long>(s), ratio);
    }
    if (!any) std::printf("ratios unavailable (a benchmark did not run)\n");
    return 0;
}
