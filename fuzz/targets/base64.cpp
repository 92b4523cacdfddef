// Base64: decoding arbitrary text agrees with a plain reference decoder, and any
// bytes survive an encode/decode round trip with the documented layout.

#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "requests/Base64.h"

namespace {

int sixBits(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Keeps the alphabet's characters up to the first "=", drops everything else,
// and joins them 6 bits at a time; incomplete bits are dropped.
std::string referenceDecode(const std::string& text) {
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (unsigned char c : text) {
        if (c == '=') break;
        int v = sixBits(c);
        if (v < 0 && c != '\0') continue;
        bits = (bits << 6) | static_cast<unsigned>(v < 0 ? 0 : v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<char>((bits >> count) & 0xFF));
        }
    }
    return out;
}

void checkDecode(const std::string& text) {
    std::size_t estimate = EstimateBas64DecodedDataSize(static_cast<std::uint32_t>(text.size()));
    FUZZ_CHECK(estimate == 3 * ((text.size() + 3) / 4));
    std::vector<char> out(estimate + 1, 'x');
    std::size_t length = estimate;
    FUZZ_CHECK(Base64DecodeData(text.data(), text.size(), out.data(), &length));
    FUZZ_CHECK(length <= estimate);
    FUZZ_CHECK(std::string(out.data(), length) == referenceDecode(text));
    FUZZ_CHECK(out[estimate] == 'x');  // nothing written past the buffer

    if (estimate > 0) {  // one byte short: refused, buffer all dots
        std::vector<char> small(estimate - 1, 'x');
        std::size_t smallLength = small.size();
        FUZZ_CHECK(!Base64DecodeData(text.data(), text.size(), small.data(), &smallLength));
        FUZZ_CHECK(small == std::vector<char>(small.size(), '.'));
    }
}

void checkRoundTrip(const std::string& bytes) {
    std::size_t estimate = EstimateBas64EncodedDataSize(static_cast<std::uint32_t>(bytes.size()));
    std::size_t groups = 4 * ((bytes.size() + 2) / 3);
    FUZZ_CHECK(estimate == groups + 2 * (groups / 72));
    std::vector<char> text(estimate + 1, 'x');
    std::size_t length = estimate;
    FUZZ_CHECK(Base64EncodeData(bytes.data(), bytes.size(), text.data(), &length));
    FUZZ_CHECK(length == estimate);
    FUZZ_CHECK(text[estimate] == 'x');
    // Lines of 72 characters, each ended by CR LF; only the alphabet and "=".
    for (std::size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (i % 74 == 72) {
            FUZZ_CHECK(c == '\r');
        } else if (i % 74 == 73) {
            FUZZ_CHECK(c == '\n');
        } else {
            FUZZ_CHECK(sixBits(c) >= 0 || c == '=');
        }
    }
    if (estimate > 0) {
        std::size_t shortLength = estimate - 1;
        FUZZ_CHECK(!Base64EncodeData(bytes.data(), bytes.size(), text.data(), &shortLength));
    }

    std::size_t decodedSize = EstimateBas64DecodedDataSize(static_cast<std::uint32_t>(length));
    std::vector<char> back(decodedSize + 1);
    std::size_t backLength = decodedSize;
    FUZZ_CHECK(Base64DecodeData(text.data(), length, back.data(), &backLength));
    FUZZ_CHECK(std::string(back.data(), backLength) == bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    checkDecode(input);
    checkRoundTrip(input);
    return 0;
}
