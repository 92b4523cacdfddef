// The preferences file reader: a domain file with arbitrary bytes either reads
// as exactly the JSON object that an independent parser sees, or the
// synchronize fails cleanly and the domain reads as empty. The integer readers
// agree with the stored numbers.

#include <cstdlib>
#include <limits>

#include "fuzz/FuzzSupport.h"
#include "platform/linux/VxPreferences.h"

namespace {

constexpr const char* kDomain = "com.tarvo.Diagnostics";

void checkIntegers(VxPreferences& prefs, const std::string& key,
                   const nlohmann::ordered_json& value) {
    std::uint64_t asUnsigned = prefs.unsignedIntegerValue(key, kDomain);
    std::optional<std::int64_t> asSigned = prefs.integerValue(key, kDomain);
    if (value.is_number_integer() && !value.is_number_unsigned()) {
        auto v = value.get<std::int64_t>();
        FUZZ_CHECK(asSigned && *asSigned == v);
        FUZZ_CHECK(asUnsigned == (v < 0 ? 0 : static_cast<std::uint64_t>(v)));
    } else if (value.is_number_unsigned()) {
        FUZZ_CHECK(asUnsigned == value.get<std::uint64_t>());
    } else if (value.is_boolean()) {
        FUZZ_CHECK(asUnsigned == (value.get<bool>() ? 1u : 0u));
    } else if (value.is_structured() || value.is_null()) {
        FUZZ_CHECK(asUnsigned == 0 && !asSigned);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string directory = [] {
        std::string dir = fuzz::privateDirectory();
        ::setenv("DA_PREFERENCES_DIR", dir.c_str(), 1);
        return dir;
    }();
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    // A fresh store each time: the file is new to it whatever its timestamps.
    VxPreferences prefs;
    FUZZ_CHECK(prefs.directory() == directory);
    fuzz::writeFile(prefs.pathForDomain(kDomain), bytes);

    auto oracle = fuzz::parseOracle(bytes);
    bool isObject = oracle.is_object();
    FUZZ_CHECK(prefs.synchronize(kDomain) == isObject);
    VxDictionaryPtr domain = prefs.dictionaryForDomain(kDomain);
    FUZZ_CHECK(domain != nullptr);
    if (!isObject) {
        FUZZ_CHECK(domain->empty());
        FUZZ_CHECK(!prefs.copyValue("currentSessionID", kDomain));
        FUZZ_CHECK(prefs.unsignedIntegerValue("Server", kDomain) == 0);
        return 0;
    }
    FUZZ_CHECK(fuzz::sameJSON(domain, oracle));
    for (const auto& [key, value] : oracle.items()) {
        FUZZ_CHECK(fuzz::sameJSON(prefs.copyValue(key, kDomain), value));
        checkIntegers(prefs, key, value);
    }
    if (!oracle.contains("Server")) FUZZ_CHECK(prefs.unsignedIntegerValue("Server", kDomain) == 0);
    return 0;
}
