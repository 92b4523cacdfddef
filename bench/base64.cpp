// Base64 throughput against OpenSSL's EVP_EncodeBlock / EVP_DecodeBlock over the
// same 1 MiB input, measured in the same run. OpenSSL writes no line breaks, so
// its decoder gets unbroken text while ours decodes our own line-broken output:
// each side decodes what its own encoder produces.

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdio>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "requests/Base64.h"

namespace {

constexpr std::size_t kInputSize = 1 << 20;

// Output buffer for every operation: the larger of our two size estimates, so
// that our decoder's fill of the whole given buffer covers what a caller would
// ask for.
std::size_t outputSize(bool decoding) {
    return decoding ? EstimateBas64DecodedDataSize(EstimateBas64EncodedDataSize(kInputSize))
                    : EstimateBas64EncodedDataSize(kInputSize);
}

const std::vector<unsigned char>& input() {
    static const std::vector<unsigned char> data = [] {
        std::vector<unsigned char> v(kInputSize);
        std::mt19937 rng(7);
        for (auto& b : v) b = static_cast<unsigned char>(rng());
        return v;
    }();
    return data;
}

const std::string& ourEncoded() {
    static const std::string text = [] {
        std::string out(EstimateBas64EncodedDataSize(kInputSize), '\0');
        std::size_t size = out.size();
        Base64EncodeData(input().data(), input().size(), out.data(), &size);
        out.resize(size);
        return out;
    }();
    return text;
}

const std::string& sslEncoded() {
    static const std::string text = [] {
        std::string out(4 * ((kInputSize + 2) / 3) + 1, '\0');
        int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), input().data(),
                                static_cast<int>(input().size()));
        out.resize(static_cast<std::size_t>(n));
        return out;
    }();
    return text;
}

void encodeOurs(std::vector<char>& out) {
    std::size_t size = out.size();
    Base64EncodeData(input().data(), input().size(), out.data(), &size);
    benchmark::DoNotOptimize(out.data());
}

void encodeSSL(std::vector<char>& out) {
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), input().data(),
                            static_cast<int>(input().size()));
    benchmark::DoNotOptimize(n);
    benchmark::DoNotOptimize(out.data());
}

void decodeOurs(std::vector<char>& out) {
    std::size_t size = out.size();
    Base64DecodeData(ourEncoded().data(), ourEncoded().size(), out.data(), &size);
    benchmark::DoNotOptimize(out.data());
}

void decodeSSL(std::vector<char>& out) {
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(sslEncoded().data()),
                            static_cast<int>(sslEncoded().size()));
    benchmark::DoNotOptimize(n);
    benchmark::DoNotOptimize(out.data());
}

template <void (*Fn)(std::vector<char>&), bool Decoding>
void runBench(benchmark::State& state) {
    std::vector<char> out(outputSize(Decoding));
    for (auto _ : state) Fn(out);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kInputSize));
}

BENCHMARK(runBench<encodeOurs, false>)->Name("base64_encode/ours");
BENCHMARK(runBench<encodeSSL, false>)->Name("base64_encode/openssl");
BENCHMARK(runBench<decodeOurs, true>)->Name("base64_decode/ours");
BENCHMARK(runBench<decodeSSL, true>)->Name("base64_decode/openssl");

// Best time of several rounds for one operation, in seconds.
// CPU time of this thread: other processes on the machine do not count.
double threadSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double bestTime(void (*fn)(std::vector<char>&), bool decoding) {
    std::vector<char> out(outputSize(decoding));
    double best = 1e9;
    for (int round = 0; round < 7; ++round) {
        double start = threadSeconds();
        for (int i = 0; i < 20; ++i) fn(out);
        double elapsed = threadSeconds() - start;
        best = std::min(best, elapsed / 20);
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    // Speed relative to OpenSSL (above 1.00x: faster), interleaved best-of runs.
    double encodeRatio = bestTime(encodeSSL, false) / bestTime(encodeOurs, false);
    double decodeRatio = bestTime(decodeSSL, true) / bestTime(decodeOurs, true);
    std::printf("base64 encode: %.2fx OpenSSL\n", encodeRatio);
    std::printf("base64 decode: %.2fx OpenSSL\n", decodeRatio);
    return 0;
}
