#include "requests/Base64.h"

#include <array>
#include <bit>
#include <cstring>

namespace {

constexpr char kAlphabet[65] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::int8_t kEquals = -1;
constexpr std::int8_t kWhitespace = -2;
constexpr std::int8_t kOther = -3;
constexpr std::int8_t kNul = -5;

constexpr std::array<std::int8_t, 128> makeDecodeTable() {
    std::array<std::int8_t, 128> t{};
    for (auto& v : t) v = kOther;
    for (int i = 0; i < 64; ++i) {
        t[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
    }
    t['='] = kEquals;
    for (char c : {'\t', '\n', '\v', '\f', '\r', ' '})
        t[static_cast<unsigned char>(c)] = kWhitespace;
    t[0] = kNul;
    return t;
}

constexpr std::array<std::int8_t, 128> kDecode = makeDecodeTable();

// Two output characters per 12 input bits: the encoder's inner loop does two
// look-ups per group of three bytes instead of four.
struct CharPair {
    char c[2];
};
constexpr std::array<CharPair, 4096> makePairTable() {
    std::array<CharPair, 4096> t{};
    for (int i = 0; i < 4096; ++i) {
        t[i].c[0] = kAlphabet[i >> 6];
        t[i].c[1] = kAlphabet[i & 0x3F];
    }
    return t;
}
constexpr std::array<CharPair, 4096> kPairs = makePairTable();

// Decoding tables for the fast path: the value of a character already shifted
// to its place in a 24-bit group, or kInvalid for anything that is not one of
// the 64 alphabet characters (those take the exact character-by-character path).
constexpr std::uint32_t kInvalid = 0x01000000U;
constexpr std::array<std::uint32_t, 256> makeShifted(int shift) {
    std::array<std::uint32_t, 256> t{};
    for (int c = 0; c < 256; ++c) {
        std::int8_t v = c < 128 ? kDecode[c] : kOther;
        t[c] = v >= 0 ? static_cast<std::uint32_t>(v) << shift : kInvalid;
    }
    return t;
}
constexpr std::array<std::uint32_t, 256> kD0 = makeShifted(18);
constexpr std::array<std::uint32_t, 256> kD1 = makeShifted(12);
constexpr std::array<std::uint32_t, 256> kD2 = makeShifted(6);
constexpr std::array<std::uint32_t, 256> kD3 = makeShifted(0);

constexpr std::size_t kGroupsPerLine = 18;                 // 72 characters
constexpr std::size_t kBytesPerLine = kGroupsPerLine * 3;  // 54 input bytes
constexpr std::uint64_t kMaxEstimate = 0xFFFFFFFFULL;

std::uint64_t encodedSize(std::uint64_t n) {
    std::uint64_t chars = 4 * ((n + 2) / 3);
    return chars + 2 * (chars / 72);
}

inline void encodeGroup(std::uint32_t b0, std::uint32_t b1, std::uint32_t b2, char* out) {
    std::uint32_t w = (b0 << 16) | (b1 << 8) | b2;
    std::memcpy(out, kPairs[w >> 12].c, 2);
    std::memcpy(out + 2, kPairs[w & 0xFFF].c, 2);
}

// Writes the low 48 bits of v as six big-endian bytes followed by two "."
// bytes (the buffer's fill, so that bytes past the end of the output keep it);
// the caller guarantees that all eight bytes lie inside the buffer.
inline void storeBigEndian48(std::uint64_t v, unsigned char* out) {
    v = (v << 16) | 0x2E2EU;
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    std::memcpy(out, &v, 8);
}

}  // namespace

const char kBase64EncodeTable[65] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

const std::int8_t kBase64DecodeTable[128] = {
#define DA_ROW(i)                                                                               \
    kDecode[i], kDecode[i + 1], kDecode[i + 2], kDecode[i + 3], kDecode[i + 4], kDecode[i + 5], \
        kDecode[i + 6], kDecode[i + 7]
    DA_ROW(0),  DA_ROW(8),   DA_ROW(16),  DA_ROW(24),  DA_ROW(32), DA_ROW(40),
    DA_ROW(48), DA_ROW(56),  DA_ROW(64),  DA_ROW(72),  DA_ROW(80), DA_ROW(88),
    DA_ROW(96), DA_ROW(104), DA_ROW(112), DA_ROW(120),
#undef DA_ROW
};

const std::uint8_t kBits_00000011 = 0x03;
const std::uint8_t kBits_00001111 = 0x0F;
const std::uint8_t kBits_00110000 = 0x30;
const std::uint8_t kBits_00111100 = 0x3C;
const std::uint8_t kBits_00111111 = 0x3F;
const std::uint8_t kBits_11000000 = 0xC0;
const std::uint8_t kBits_11110000 = 0xF0;
const std::uint8_t kBits_11111100 = 0xFC;

std::uint32_t EstimateBas64EncodedDataSize(std::uint32_t inDataSize) {
    std::uint64_t size = encodedSize(inDataSize);
    return size > kMaxEstimate ? static_cast<std::uint32_t>(kMaxEstimate)
                               : static_cast<std::uint32_t>(size);
}

std::uint32_t EstimateBas64DecodedDataSize(std::uint32_t inDataSize) {
    // Written so that no intermediate value wraps: the result is at most 3 * 2^30.
    return (inDataSize / 4 + (inDataSize % 4 != 0 ? 1U : 0U)) * 3U;
}

bool Base64EncodeData(const void* inInputData, std::size_t inInputDataSize, char* outOutputData,
                      std::size_t* ioOutputDataSize) {
    if (!ioOutputDataSize || (inInputDataSize > 0 && (!inInputData || !outOutputData))) {
        return false;
    }
    std::uint64_t estimate = encodedSize(inInputDataSize);
    if (inInputDataSize > kMaxEstimate || estimate > kMaxEstimate) return false;
    if (*ioOutputDataSize < estimate) return false;
    *ioOutputDataSize = static_cast<std::size_t>(estimate);

    const auto* in = static_cast<const unsigned char*>(inInputData);
    const unsigned char* end = in + inInputDataSize;
    char* out = outOutputData;

    // Whole lines: 18 groups, then CR LF, without a line test per group.
    while (static_cast<std::size_t>(end - in) >= kBytesPerLine) {
        for (std::size_t g = 0; g < kGroupsPerLine; g += 2) {
            encodeGroup(in[0], in[1], in[2], out);
            encodeGroup(in[3], in[4], in[5], out + 4);
            in += 6;
            out += 8;
        }
        out[0] = '\r';
        out[1] = '\n';
        out += 2;
    }
    // The last, incomplete line: fewer than 18 complete groups follow.
    std::size_t groups = 0;
    while (end - in >= 3) {
        encodeGroup(in[0], in[1], in[2], out);
        in += 3;
        out += 4;
        ++groups;
    }
    std::size_t rest = static_cast<std::size_t>(end - in);
    if (rest > 0) {
        unsigned b0 = in[0];
        out[0] = kBase64EncodeTable[b0 >> 2];
        if (rest == 2) {
            unsigned b1 = in[1];
            out[1] = kBase64EncodeTable[((b0 << 4) & kBits_00110000) | (b1 >> 4)];
            out[2] = kBase64EncodeTable[(b1 << 2) & kBits_00111100];
        } else {
            out[1] = kBase64EncodeTable[(b0 << 4) & kBits_00110000];
            out[2] = '=';
        }
        out[3] = '=';
        out += 4;
        ++groups;
    }
    if (groups == kGroupsPerLine) {
        out[0] = '\r';
        out[1] = '\n';
    }
    return true;
}

bool Base64DecodeData(const void* inInputData, std::size_t inInputDataSize, void* ioOutputData,
                      std::size_t* ioOutputDataSize) {
    if (!ioOutputDataSize) return false;
    auto* out = static_cast<unsigned char*>(ioOutputData);
    if (*ioOutputDataSize > 0) {
        if (!out) return false;
        std::memset(out, '.', *ioOutputDataSize);
    }
    if (inInputDataSize > 0 && !inInputData) return false;
    if (inInputDataSize > kMaxEstimate) return false;
    if (*ioOutputDataSize <
        EstimateBas64DecodedDataSize(static_cast<std::uint32_t>(inInputDataSize))) {
        return false;
    }

    const auto* in = static_cast<const unsigned char*>(inInputData);
    std::size_t i = 0;
    const std::size_t n = inInputDataSize;
    std::size_t o = 0;
    unsigned phase = 0;
    unsigned pending = 0;  // the incomplete byte being assembled

    for (;;) {
        if (phase == 0) {
            // Fast path: whole groups of four alphabet characters. Two groups
            // make six bytes, stored with one 8-byte write while the estimate
            // guarantees room for the two extra bytes.
            while (n - i >= 12) {
                std::uint32_t a = kD0[in[i]] | kD1[in[i + 1]] | kD2[in[i + 2]] | kD3[in[i + 3]];
                std::uint32_t b = kD0[in[i + 4]] | kD1[in[i + 5]] | kD2[in[i + 6]] | kD3[in[i + 7]];
                if ((a | b) & kInvalid) break;
                storeBigEndian48((static_cast<std::uint64_t>(a) << 24) | b, out + o);
                o += 6;
                i += 8;
            }
            // Single groups only near the end; elsewhere the stop was caused by
            // a character that the exact path has to see anyway.
            while (n - i < 12 && n - i >= 4) {
                std::uint32_t a = kD0[in[i]] | kD1[in[i + 1]] | kD2[in[i + 2]] | kD3[in[i + 3]];
                if (a & kInvalid) break;
                out[o] = static_cast<unsigned char>(a >> 16);
                out[o + 1] = static_cast<unsigned char>(a >> 8);
                out[o + 2] = static_cast<unsigned char>(a);
                o += 3;
                i += 4;
            }
        }
        if (i >= n) break;

        // Exact path: one character.
        unsigned char c = in[i++];
        std::int8_t code = c < 0x80 ? kDecode[c] : kOther;
        if (code == kEquals) break;
        if (code == kWhitespace || code == kOther) {
            // Skip the whole run (a line break is two characters).
            while (i < n &&
                   (in[i] >= 0x80 || kDecode[in[i]] == kWhitespace || kDecode[in[i]] == kOther)) {
                ++i;
            }
            continue;
        }
        unsigned v = code == kNul ? 0U : static_cast<unsigned>(code);
        switch (phase) {
            case 0:
                pending = (v << 2) & kBits_11111100;
                phase = 1;
                break;
            case 1:
                out[o++] = static_cast<unsigned char>(pending | ((v >> 4) & kBits_00000011));
                pending = (v << 4) & kBits_11110000;
                phase = 2;
                break;
            case 2:
                out[o++] = static_cast<unsigned char>(pending | ((v >> 2) & kBits_00001111));
                pending = (v << 6) & kBits_11000000;
                phase = 3;
                break;
            default:
                out[o++] = static_cast<unsigned char>(pending | (v & kBits_00111111));
                phase = 0;
                break;
        }
    }
    *ioOutputDataSize = o;
    return true;
}
