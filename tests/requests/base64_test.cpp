#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "requests/Base64.h"

namespace {

// Straightforward encoder: one group at a time with the line test after every
// group, as the algorithm is stated.
std::string referenceEncode(const std::vector<unsigned char>& in) {
    static const char* t = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < in.size(); i += 3) {
        std::size_t n = std::min<std::size_t>(3, in.size() - i);
        unsigned v = in[i] << 16 | (n > 1 ? in[i + 1] << 8 : 0) | (n > 2 ? in[i + 2] : 0);
        for (std::size_t k = 0; k < 4; ++k) out += k <= n ? t[(v >> (18 - 6 * k)) & 63] : '=';
        if (out.size() % 74 == 72) out += "\r\n";
    }
    return out;
}

// Straightforward decoder: one character at a time through the exported table,
// emitting a byte whenever eight bits have gathered.
std::vector<unsigned char> referenceDecode(const std::string& in) {
    std::vector<unsigned char> out;
    unsigned acc = 0;
    int bits = 0;
    for (unsigned char c : in) {
        int code = c < 0x80 ? kBase64DecodeTable[c] : -3;
        if (code == -1) break;
        if (code == -2 || code == -3) continue;
        acc = (acc << 6 | (code == -5 ? 0u : static_cast<unsigned>(code))) & 0xFFF;
        if ((bits += 6) >= 8) out.push_back(static_cast<unsigned char>(acc >> (bits -= 8)));
    }
    return out;
}

std::string encode(const std::string& in) {
    std::string out(EstimateBas64EncodedDataSize(static_cast<std::uint32_t>(in.size())), '\0');
    std::size_t size = out.size();
    EXPECT_TRUE(Base64EncodeData(in.data(), in.size(), out.data(), &size));
    return out.substr(0, size);
}

std::string decode(const std::string& in) {
    std::string out(EstimateBas64DecodedDataSize(static_cast<std::uint32_t>(in.size())), '\0');
    std::size_t size = out.size();
    EXPECT_TRUE(Base64DecodeData(in.data(), in.size(), out.data(), &size));
    return out.substr(0, size);
}

}  // namespace

TEST(Base64, EstimatesEncodingAndSmallBuffers) {
    EXPECT_EQ(EstimateBas64EncodedDataSize(0), 0u);
    EXPECT_EQ(EstimateBas64EncodedDataSize(1), 4u);
    EXPECT_EQ(EstimateBas64EncodedDataSize(54), 74u);
    EXPECT_EQ(EstimateBas64EncodedDataSize(57), 78u);
    EXPECT_EQ(EstimateBas64DecodedDataSize(4), 3u);
    EXPECT_EQ(EstimateBas64DecodedDataSize(5), 6u);
    // Sizes near the 32-bit limit neither wrap to small values nor overflow.
    EXPECT_EQ(EstimateBas64DecodedDataSize(0xFFFFFFFFu), 3u * 0x40000000u);
    EXPECT_EQ(EstimateBas64EncodedDataSize(0xFFFFFFFFu), 0xFFFFFFFFu);

    // Line breaks are left to the randomized comparison with the reference below.
    const std::pair<std::string, std::string> rows[] = {
        {"Man", "TWFu"}, {"Ma", "TWE="}, {"M", "TQ=="}, {"", ""}};
    for (const auto& [in, out] : rows) EXPECT_EQ(encode(in), out) << in.size();

    // Too small a buffer: false, nothing written, length untouched.
    char buf[8];
    std::memset(buf, '#', sizeof buf);
    std::size_t size = 3;
    EXPECT_FALSE(Base64EncodeData("Man", 3, buf, &size));
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(std::string(buf, 8), std::string(8, '#'));
    EXPECT_FALSE(Base64EncodeData("Man", 3, buf, nullptr));
    size = sizeof buf;
    EXPECT_TRUE(Base64EncodeData("", 0, buf, &size));
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(buf[0], '#');
}

TEST(Base64, DecodesSkippingNoiseAndStoppingAtPadding) {
    const std::pair<std::string, std::string> rows[] = {
        {"TWFu", "Man"},
        {"TWE=", "Ma"},
        {"TWE", "Ma"},
        {"TQ", "M"},
        {"", ""},
        {"T W\r\nF\tu\v\f", "Man"},
        {"*TW!Fu*", "Man"},
        {"TW\xC3\xA9"
         "Fu",
         "Man"},
        {"TWE=TWFu", "Ma"},
        {"TWFuTWFu=TWFu", "ManMan"},
        {std::string("TW\0u", 4), "M`."},  // NUL decodes as the value 0
    };
    for (const auto& [in, out] : rows) EXPECT_EQ(decode(in), out) << in;

    // Too small a buffer is refused and left filled with dots; so is spare room.
    char buf[2] = {'a', 'b'};
    std::size_t size = sizeof buf;
    EXPECT_FALSE(Base64DecodeData("TWFu", 4, buf, &size));
    EXPECT_EQ(std::string(buf, 2), "..");
    char big[8];
    size = sizeof big;
    EXPECT_TRUE(Base64DecodeData("TWE=", 4, big, &size));
    EXPECT_EQ(size, 2u);
    EXPECT_EQ(std::string(big, 8), "Ma......");
}

TEST(Base64, FastPathsMatchTheReference) {
    std::mt19937 rng(12345);
    const std::string noise = "\r\n \t=*!-_.\x80\xff";
    for (int round = 0; round < 3000; ++round) {
        std::vector<unsigned char> in(rng() % 400);
        for (auto& b : in) b = static_cast<unsigned char>(rng());
        std::string expected = referenceEncode(in);
        std::string out(EstimateBas64EncodedDataSize(static_cast<std::uint32_t>(in.size())) + 5,
                        '#');
        std::size_t size = out.size();
        ASSERT_TRUE(Base64EncodeData(in.data(), in.size(), out.data(), &size));
        ASSERT_EQ(out, expected + "#####") << "length " << in.size();
        ASSERT_EQ(size, expected.size());

        // Decode the text with occasional noise (including NUL and "=") mixed in.
        std::string text = expected;
        for (int e = round % 2 ? static_cast<int>(rng() % 6) : 0; e > 0 && !text.empty(); --e) {
            char c = rng() % 8 == 0 ? '\0' : noise[rng() % noise.size()];
            text.insert(text.begin() + static_cast<std::ptrdiff_t>(rng() % text.size()), c);
        }
        std::vector<unsigned char> want = referenceDecode(text);
        if (round % 2 == 0) {
            ASSERT_EQ(want, in);  // no noise: the input comes back
        }
        std::string dec(EstimateBas64DecodedDataSize(static_cast<std::uint32_t>(text.size())) + 3,
                        '\0');
        size = dec.size();
        ASSERT_TRUE(Base64DecodeData(text.data(), text.size(), dec.data(), &size));
        ASSERT_EQ(size, want.size());
        want.resize(dec.size(), '.');  // room beyond the decoded bytes is dotted
        ASSERT_EQ(std::vector<unsigned char>(dec.begin(), dec.end()), want);
    }
}
