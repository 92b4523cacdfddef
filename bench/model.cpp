// Record layer costs, each reported as a CPU time ratio against a reference
// measured in the same run:
// - a typed get and a typed set of a dynamic property through the routing
//   (translation, validation, storage hook) against the same get and set done
//   directly on the record's storage dictionary;
// - importing 100,000 device dictionaries into DADeviceModel records against
//   building the same number of plain mutable dictionary copies.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "model/DADeviceModel.h"
#include "support/RatioReporter.h"

namespace {

constexpr std::size_t kDevices = 100000;

const std::vector<VxDictionaryPtr>& deviceDictionaries() {
    static const std::vector<VxDictionaryPtr> all = [] {
        std::vector<VxDictionaryPtr> v;
        v.reserve(kDevices);
        VxArrayPtr names = DADeviceModel::propertyNames();
        for (std::size_t i = 0; i < kDevices; ++i) {
            std::vector<std::pair<Id, Id>> pairs;
            for (const Id& name : *names) {
                const std::string& n = vx_cast<VxString>(name)->str();
                if (n == "hasBaseband" || n == "isBatteryCharging")
                    pairs.emplace_back(name, VxNumber::numberWithBool(i % 2 == 0));
                else
                    pairs.emplace_back(name, vxstr(n + "-" + std::to_string(i)));
            }
            v.push_back(VxDictionary::dictionaryWithPairs(std::move(pairs)));
        }
        return v;
    }();
    return all;
}

void BM_TypedGetSetThroughRouting(benchmark::State& state) {
    auto device = DADeviceModel::create();
    VxStringPtr value = vxstr("SER-0001");
    for (auto _ : state) {
        device->setDeviceId(value);
        Id got = device->deviceId();
        device->setHasBaseband(true);
        bool flag = device->hasBaseband();
        benchmark::DoNotOptimize(got);
        benchmark::DoNotOptimize(flag);
    }
}
BENCHMARK(BM_TypedGetSetThroughRouting);

void BM_PlainDictionaryGetSet(benchmark::State& state) {
    auto device = DADeviceModel::create();
    VxMutableDictionaryPtr storage = device->internalDictionary();
    VxStringPtr value = vxstr("SER-0001");
    for (auto _ : state) {
        storage->setObject(value, "deviceId");
        Id got = storage->objectForKey("deviceId");
        storage->setObject(VxNumber::numberWithBool(true), "hasBaseband");
        auto number = vx_cast<VxNumber>(storage->objectForKey("hasBaseband"));
        bool flag = number && number->boolValue();
        benchmark::DoNotOptimize(got);
        benchmark::DoNotOptimize(flag);
    }
}
BENCHMARK(BM_PlainDictionaryGetSet);

void BM_ImportDeviceRecords(benchmark::State& state) {
    const auto& input = deviceDictionaries();
    for (auto _ : state) {
        for (const VxDictionaryPtr& d : input) {
            auto record = DADeviceModel::modelWithDictionary(d);
            benchmark::DoNotOptimize(record);
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}
BENCHMARK(BM_ImportDeviceRecords)->Unit(benchmark::kMillisecond);

void BM_PlainDictionaryCopies(benchmark::State& state) {
    const auto& input = deviceDictionaries();
    for (auto _ : state) {
        for (const VxDictionaryPtr& d : input) {
            auto copy = VxMutableDictionary::dictionaryWithCapacity(d->count());
            copy->addEntriesFromDictionary(*d);
            benchmark::DoNotOptimize(copy);
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}
BENCHMARK(BM_PlainDictionaryCopies)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    bench::RatioReporter reporter;
    if (!bench::runBenchmarks(argc, argv, reporter)) return 1;

    double access = reporter.ratio("BM_TypedGetSetThroughRouting", "BM_PlainDictionaryGetSet");
    double import = reporter.ratio("BM_ImportDeviceRecords", "BM_PlainDictionaryCopies");
    if (access > 0)
        std::printf("typed get+set through the routing / plain dictionary get+set: %.2f\n", access);
    if (import > 0) {
        const double milliseconds = reporter.time("BM_ImportDeviceRecords");
        // GetAdjustedCPUTime is in the benchmark's unit (milliseconds here).
        std::printf(
            "import of %zu device dictionaries: %.0f records/s; "
            "DADeviceModel / plain dictionary copies: %.2f\n",
            kDevices, kDevices / (milliseconds / 1000.0), import);
    }
    if (access <= 0 && import <= 0) std::printf("ratios unavailable (a benchmark did not run)\n");
    return 0;
}
