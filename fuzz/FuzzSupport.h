#pragma once
// Helpers shared by the fuzz targets in fuzz/targets/. Every target defines
// LLVMFuzzerTestOneInput and checks an invariant with FUZZ_CHECK; a broken
// invariant aborts, so libFuzzer keeps the input as a crash and the replay test
// of the normal build fails on it.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/foundation/VxValues.h"

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

namespace fuzz {

// Takes typed values off the front of the input; reads past the end give 0 / "".
class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : p_(data), n_(size) {}
    bool empty() const { return n_ == 0; }
    std::size_t remaining() const { return n_; }
    std::uint8_t byte() {
        if (n_ == 0) return 0;
        --n_;
        return *p_++;
    }
    std::uint32_t u32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = (v << 8) | byte();
        return v;
    }
    // Up to `max` bytes.
    std::string bytes(std::size_t max) {
        std::size_t take = max < n_ ? max : n_;
        std::string out(reinterpret_cast<const char*>(p_), take);
        p_ += take;
        n_ -= take;
        return out;
    }
    // The bytes up to (not including) the separator, which is consumed; all
    // the rest when there is none.
    std::string until(char separator) {
        const void* hit = n_ ? std::memchr(p_, separator, n_) : nullptr;
        if (!hit) return rest();
        auto length = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - p_);
        std::string out = bytes(length);
        byte();
        return out;
    }
    std::string rest() { return bytes(n_); }

  private:
    const std::uint8_t* p_;
    std::size_t n_;
};

// A directory of this process's own, made with mkdtemp under the working
// directory and removed at exit. Absolute path.
std::string privateDirectory();

// Writes the bytes to the file (replacing it); aborts when that fails.
void writeFile(const std::string& path, std::string_view bytes);

// True when the value read by the system's JSON reader is the one that
// nlohmann's parser gives: same kinds, same texts, numbers equal, same member
// order (the last of duplicate members wins and keeps the first position).
bool sameJSON(const Id& value, const nlohmann::ordered_json& oracle);

// The oracle's reading of the bytes, or a discarded value when they are not
// JSON. Nesting deeper than the system's reader accepts counts as not JSON.
nlohmann::ordered_json parseOracle(std::string_view bytes);

}  // namespace fuzz
