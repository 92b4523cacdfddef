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
    auto lineTest = [&] {
        if (out.size() % 74 == 72) out += "\r\n";
    };
    std::size_t i = 0;
    for (; i + 3 <= in.size(); i += 3) {
        out += t[in[i] >> 2];
        out += t[((in[i] << 4) & 0x30) | (in[i + 1] >> 4)];
        out += t[((in[i + 1] << 2) & 0x3C) | (in[i + 2] >> 6)];
        out += t[in[i + 2] & 0x3F];
        lineTest();
    }
    if (in.size() - i == 2) {
        out += t[in[i] >> 2];
        out += t[((in[i] << 4) & 0x30) | (in[i + 1] >> 4)];
        out += t[(in[i + 1] << 2) & 0x3C];
        out += '=';
        lineTest();
    } else if (in.size() - i == 1) {
        out += t[in[i] >> 2];
        out += t[(in[i] << 4) & 0x30];
        out += "==";
        lineTest();
    }
    return out;
}

// Straightforward decoder: one character at a time through the exported table.
std::vector<unsigned char> referenceDecode(const std::string& in) {
    std::vector<unsigned char> out;
    int phase = 0;
    unsigned pending = 0;
    for (unsigned char c : in) {
        int code = c < 0x80 ? kBase64DecodeTable[c] : -3;
        if (code == -1) break;
        if (code == -2 || code == -3) continue;
        unsigned v = code == -5 ? 0 : static_cast<unsigned>(code);
        switch (phase) {
            case 0:
                pending = v << 2;
                break;
            case 1:
                out.push_back(static_cast<unsigned char>(pending | (v >> 4)));
                pending = (v << 4) & 0xF0;
                break;
            case 2:
                out.push_back(static_cast<unsigned char>(pending | (v >> 2)));
                pending = (v << 6) & 0xC0;
                break;
            default:
                out.push_back(static_cast<unsigned char>(pending | v));
                break;
        }
        phase = (phase + 1) % 4;
    }
    return out;
}

std::string encode(const std::string& in) {
    std::string out(EstimateBas64EncodedDataSize(static_cast<std::uint32_t>(in.size())), '\0');
    std::size_t size = out.size();
    EXPECT_TRUE(Base64EncodeData(in.data(), in.size(), out.data(), &size));
    out.resize(size);
    return out;
}

std::string decode(const std::string& in) {
    std::string out(EstimateBas64DecodedDataSize(static_cast<std::uint32_t>(in.size())), '\0');
    std::size_t size = out.size();
    EXPECT_TRUE(Base64DecodeData(in.data(), in.size(), out.data(), &size));
    out.resize(size);
    return out;
}

}  // namespace

TEST(Base64, TablesAndEstimates) {
    EXPECT_EQ(std::string(kBase64EncodeTable),
              "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
    EXPECT_EQ(kBase64DecodeTable['A'], 0);
    EXPECT_EQ(kBase64DecodeTable['z'], 51);
    EXPECT_EQ(kBase64DecodeTable['9'], 61);
    EXPECT_EQ(kBase64DecodeTable['+'], 62);
    EXPECT_EQ(kBase64DecodeTable['/'], 63);
    EXPECT_EQ(kBase64DecodeTable['='], -1);
    for (char c : {'\t', '\n', '\v', '\f', '\r', ' '}) EXPECT_EQ(kBase64DecodeTable[int(c)], -2);
    EXPECT_EQ(kBase64DecodeTable[0], -5);
    EXPECT_EQ(kBase64DecodeTable['*'], -3);
    EXPECT_EQ(kBase64DecodeTable[127], -3);
    EXPECT_EQ(kBits_00111100 | kBits_11000000 | kBits_00000011, 0xFF);
    EXPECT_EQ(kBits_11111100 | kBits_00000011, 0xFF);
    EXPECT_EQ(kBits_11110000 | kBits_00001111, 0xFF);
    EXPECT_EQ(kBits_00110000 | kBits_00001111 | kBits_11000000, 0xFF);
    EXPECT_EQ(kBits_00111111, 0x3F);

    EXPECT_EQ(EstimateBas64EncodedDataSize(0), 0u);
    EXPECT_EQ(EstimateBas64EncodedDataSize(1), 4u);
    EXPECT_EQ(EstimateBas64EncodedDataSize(54), 74u);
    EXPECT_EQ(EstimateBas64EncodedDataSize(57), 78u);
    EXPECT_EQ(EstimateBas64DecodedDataSize(4), 3u);
    EXPECT_EQ(EstimateBas64DecodedDataSize(5), 6u);
    // Sizes near the 32-bit limit neither wrap to small values nor overflow.
    EXPECT_EQ(EstimateBas64DecodedDataSize(0xFFFFFFFFu), 3u * 0x40000000u);
    EXPECT_EQ(EstimateBas64EncodedDataSize(0xFFFFFFFFu), 0xFFFFFFFFu);
}

TEST(Base64, EncodesGroupsPaddingAndLines) {
    EXPECT_EQ(encode("Man"), "TWFu");
    EXPECT_EQ(encode("Ma"), "TWE=");
    EXPECT_EQ(encode("M"), "TQ==");
    EXPECT_EQ(encode(""), "");

    std::string line54(54, 'x');
    std::string enc = encode(line54);
    ASSERT_EQ(enc.size(), 74u);
    EXPECT_EQ(enc.substr(72), "\r\n");
    enc = encode(std::string(57, 'x'));
    ASSERT_EQ(enc.size(), 78u);
    EXPECT_EQ(enc.substr(72, 2), "\r\n");
    EXPECT_EQ(enc.find('\r', 74), std::string::npos);
    // A tail group that completes a line is followed by CR LF too.
    enc = encode(std::string(53, 'x'));
    ASSERT_EQ(enc.size(), 74u);
    EXPECT_EQ(enc.substr(68), "eHg=\r\n");

    // Too small a buffer: false, nothing written, length untouched.
    char buf[8];
    std::memset(buf, '#', sizeof buf);
    std::size_t size = 3;
    EXPECT_FALSE(Base64EncodeData("Man", 3, buf, &size));
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(std::string(buf, 8), std::string(8, '#'));
    EXPECT_FALSE(Base64EncodeData("Man", 3, buf, nullptr));
    // An empty input writes nothing and gives length 0.
    size = sizeof buf;
    EXPECT_TRUE(Base64EncodeData("", 0, buf, &size));
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(buf[0], '#');
}

TEST(Base64, DecodesSkippingNoiseAndStoppingAtPadding) {
    EXPECT_EQ(decode("TWFu"), "Man");
    EXPECT_EQ(decode("TWE="), "Ma");
    EXPECT_EQ(decode("TWE"), "Ma");
    EXPECT_EQ(decode("TQ"), "M");
    EXPECT_EQ(decode(""), "");
    EXPECT_EQ(decode("T W\r\nF\tu"), "Man");
    EXPECT_EQ(decode("*TW!Fu*"), "Man");
    EXPECT_EQ(decode("TW\xC3\xA9"
                     "Fu"),
              "Man");
    EXPECT_EQ(decode("TWE=TWFu"), "Ma");
    EXPECT_EQ(decode("TWFuTWFu=TWFu"), "ManMan");
    // NUL decodes as the value 0.
    EXPECT_EQ(decode(std::string("TW\0u", 4)), "M`.");

    // Round trip over several lines.
    std::string text(1000, '\0');
    for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(i * 7 + 3);
    EXPECT_EQ(decode(encode(text)), text);

    // Too small a buffer: refused and left filled with dots.
    char buf[2] = {'a', 'b'};
    std::size_t size = sizeof buf;
    EXPECT_FALSE(Base64DecodeData("TWFu", 4, buf, &size));
    EXPECT_EQ(std::string(buf, 2), "..");
    // Room beyond the decoded bytes is dotted too.
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
        std::size_t n = rng() % 400;
        std::vector<unsigned char> in(n);
        for (auto& b : in) b = static_cast<unsigned char>(rng());
        std::string expected = referenceEncode(in);
        std::string out(EstimateBas64EncodedDataSize(static_cast<std::uint32_t>(n)) + 5, '#');
        std::size_t size = out.size();
        ASSERT_TRUE(Base64EncodeData(in.data(), n, out.data(), &size));
        ASSERT_EQ(size, expected.size());
        ASSERT_EQ(out.substr(0, size), expected) << "length " << n;
        ASSERT_EQ(out.substr(size), "#####");

        // Decode the text with occasional noise (including NUL and "=") mixed in.
        std::string text = expected;
        if (round % 2) {
            int edits = static_cast<int>(rng() % 6);
            for (int e = 0; e < edits && !text.empty(); ++e) {
                std::size_t pos = rng() % text.size();
                char c = rng() % 8 == 0 ? '\0' : noise[rng() % noise.size()];
                text.insert(text.begin() + static_cast<std::ptrdiff_t>(pos), c);
            }
        }
        std::vector<unsigned char> want = referenceDecode(text);
        std::string dec(EstimateBas64DecodedDataSize(static_cast<std::uint32_t>(text.size())) + 3,
                        '\0');
        size = dec.size();
        ASSERT_TRUE(Base64DecodeData(text.data(), text.size(), dec.data(), &size));
        ASSERT_EQ(size, want.size());
        ASSERT_EQ(0, std::memcmp(dec.data(), want.data(), size));
        for (std::size_t i = size; i < dec.size(); ++i) ASSERT_EQ(dec[i], '.');
        if (round % 2 == 0) {
            ASSERT_EQ(
                std::vector<unsigned char>(dec.begin(), dec.begin() + static_cast<long>(size)), in);
        }
    }
}
