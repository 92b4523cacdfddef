// The generator's query encoder over a 100-entry table, against the plain
// concatenation of the same pairs without any escaping (the least any encoder
// has to do), measured in the same run.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "requests/NUCURLRequestGenerator.h"

namespace {

VxDictionaryPtr table() {
    static const VxDictionaryPtr t = [] {
        std::vector<std::pair<Id, Id>> pairs;
        for (int i = 0; i < 100; ++i) {
            Id value = i % 3 == 0 ? Id(VxNumber::numberWithInt(i * 37))
                                  : Id(vxstr("value " + std::to_string(i) + "&more/stuff"));
            pairs.emplace_back(vxstr("key_" + std::to_string(i) + (i % 10 == 0 ? "[]" : "")),
                               value);
        }
        return VxDictionary::dictionaryWithPairs(std::move(pairs));
    }();
    return t;
}

const NUCURLRequestGeneratorPtr& generator() {
    static const NUCURLRequestGeneratorPtr g = NUCURLRequestGenerator::generator();
    return g;
}

VxStringPtr encodeQuery() {
    return generator()->queryStringFromParameters(table());
}

VxStringPtr concatenate() {
    std::string out;
    bool first = true;
    table()->enumerateKeysAndObjects([&](const Id& key, const Id& value) {
        if (!first) out.push_back('&');
        first = false;
        out += vx::textOf(key);
        out.push_back('=');
        out += vx::textOf(value);
    });
    return vxstr(std::move(out));
}

void BM_QueryString(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(encodeQuery());
}
void BM_PlainConcatenation(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(concatenate());
}
BENCHMARK(BM_QueryString);
BENCHMARK(BM_PlainConcatenation);

// CPU time of this thread: other processes on the machine do not count.
double threadSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double bestTime(VxStringPtr (*fn)()) {
    double best = 1e9;
    for (int round = 0; round < 7; ++round) {
        double start = threadSeconds();
        for (int i = 0; i < 2000; ++i) benchmark::DoNotOptimize(fn());
        double elapsed = threadSeconds() - start;
        best = std::min(best, elapsed / 2000);
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    // Time of the escaping encoder relative to plain concatenation (lower is better).
    std::printf("query string (100 entries): %.2fx plain concatenation time\n",
                bestTime(encodeQuery) / bestTime(concatenate));
    return 0;
}
