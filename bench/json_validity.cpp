// Validity checking of a large value tree: CJSONUtilities::isValidJSONObject
// against the JSON serializer's own VxJSONSerialization::isValidJSONObject on
// the same tree, reported as a time ratio.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

#include "model/CJSONUtilities.h"
#include "platform/foundation/VxJSON.h"
#include "support/RatioReporter.h"

namespace {

// About 100k nodes: 1000 records of 8 scalar members, a 50-element array of
// numbers and a nested dictionary of 40 texts.
Id makeTree() {
    auto records = VxMutableArray::arrayWithCapacity(1000);
    for (int r = 0; r < 1000; ++r) {
        auto record = VxMutableDictionary::dictionary();
        record->setObject(VxString::make("device-" + std::to_string(r)), "deviceId");
        record->setObject(VxNumber::numberWithInt(r), "index");
        record->setObject(VxNumber::numberWithDouble(r * 0.25), "level");
        record->setObject(VxNumber::numberWithBool(r % 2 == 0), "charging");
        record->setObject(vx::null(), "meid");
        record->setObject(VxString::make("Idle"), "clientStatus");
        record->setObject(VxNumber::numberWithUnsignedLongLong(1ULL << 40), "capacity");
        record->setObject(VxDecimalNumber::decimalNumberWithString("12.5"), "version");
        auto samples = VxMutableArray::arrayWithCapacity(50);
        for (int i = 0; i < 50; ++i) samples->addObject(VxNumber::numberWithLongLong(i * r));
        record->setObject(samples, "samples");
        auto facts = VxMutableDictionary::dictionary();
        for (int i = 0; i < 40; ++i) {
            facts->setObject(VxString::make("value " + std::to_string(i)),
                             "fact" + std::to_string(i));
        }
        record->setObject(facts, "facts");
        records->addObject(record);
    }
    return VxDictionary::dictionaryWithPairs({{"devices", records}});
}

const Id& tree() {
    static const Id t = makeTree();
    return t;
}

void BM_CJSONUtilities(benchmark::State& state) {
    const Id& t = tree();
    for (auto _ : state) {
        bool ok = CJSONUtilities::isValidJSONObject(t);
        benchmark::DoNotOptimize(ok);
        if (!ok) state.SkipWithError("tree reported invalid");
    }
}
BENCHMARK(BM_CJSONUtilities)->Unit(benchmark::kMillisecond);

void BM_VxJSONSerialization(benchmark::State& state) {
    const Id& t = tree();
    for (auto _ : state) {
        bool ok = VxJSONSerialization::isValidJSONObject(t);
        benchmark::DoNotOptimize(ok);
        if (!ok) state.SkipWithError("tree reported invalid");
    }
}
BENCHMARK(BM_VxJSONSerialization)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    bench::RatioReporter reporter;
    if (!bench::runBenchmarks(argc, argv, reporter)) return 1;

    const double ratio = reporter.ratio("BM_CJSONUtilities", "BM_VxJSONSerialization");
    if (ratio < 0) {
        std::printf("ratio unavailable (a benchmark did not run)\n");
        return 0;
    }
    std::printf(
        "isValidJSONObject over %s: CJSONUtilities / VxJSONSerialization CPU time ratio = %.3f\n",
        "~100k nodes", ratio);
    return 0;
}
