// The device answers file reader: a file with arbitrary bytes overrides exactly
// the entries of the JSON object that an independent parser sees (an entry
// holding null is present without an answer), or is ignored as a whole.

#include <cstdlib>

#include "fuzz/FuzzSupport.h"
#include "platform/linux/VxDeviceAnswers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = [] {
        std::string file = fuzz::privateDirectory() + "/answers.json";
        ::setenv("DA_DEVICE_ANSWERS", file.c_str(), 1);
        return file;
    }();
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    fuzz::writeFile(path, bytes);
    // A fresh reader each time: the file is new to it whatever its timestamps.
    VxDeviceAnswers answers;
    auto oracle = fuzz::parseOracle(bytes);

    const char* unknown = "\x01 no such question";
    if (!oracle.is_object() || !oracle.contains(unknown)) {
        bool present = true;
        FUZZ_CHECK(!answers.copyOverride(unknown, &present) && !present);
    }
    if (!oracle.is_object()) return 0;

    for (const auto& [key, value] : oracle.items()) {
        bool present = false;
        Id answer = answers.copyOverride(key, &present);
        FUZZ_CHECK(present);
        if (value.is_null()) {
            FUZZ_CHECK(!answer);
        } else {
            FUZZ_CHECK(fuzz::sameJSON(answer, value));
            FUZZ_CHECK(fuzz::sameJSON(answers.copyAnswer(key), value));
        }
    }
    return 0;
}
