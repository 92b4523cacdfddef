#pragma once
// The byte layout of keyed archives shared by the archiver and the unarchiver
// (docs/ARCHIVE_FORMAT.md), and the bounds-checked reader both the validation
// and the decoding walk with. Not part of the library's API.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/foundation/VxError.h"
#include "platform/foundation/VxValues.h"

namespace vx::archive {

constexpr char kMagic[4] = {'V', 'X', 'K', 'A'};
constexpr std::uint16_t kVersion = 1;
constexpr int kMaxDepth = 512;

enum Tag : std::uint8_t {
    TagNull = 0x00,
    TagString = 0x01,
    TagNumber = 0x02,
    TagDecimal = 0x03,
    TagData = 0x04,
    TagDate = 0x05,
    TagURL = 0x06,
    TagArray = 0x07,
    TagDictionary = 0x08,
    TagSet = 0x09,
    TagOrderedSet = 0x0A,
    TagValue = 0x0B,
    TagError = 0x0C,
    TagBool = 0x0D,
    TagInt64 = 0x0E,
    TagDouble = 0x0F,
    TagObject = 0x10,
};

constexpr std::uint8_t kFlagMutable = 0x01;
constexpr std::uint8_t kDecimalNaN = 0x01;
constexpr std::uint8_t kDecimalNegative = 0x02;

VxErrorPtr archiveError(std::int64_t code, const std::string& reason);

// Reads the archive bytes p[0..n). Every primitive fails instead of reading
// past the end; the skip functions validate one value without building it.
struct Reader {
    const std::uint8_t* p = nullptr;
    std::size_t n = 0;

    // -- bounds-checked primitives; every one fails instead of reading past the end
    bool u8(std::size_t& pos, std::uint8_t& v) const {
        if (pos >= n) return false;
        v = p[pos++];
        return true;
    }
    bool u64(std::size_t& pos, std::uint64_t& v) const {
        if (n - pos < 8 || pos > n) return false;
        v = 0;
        for (int i = 0; i < 8; ++i) v |= static_cast<std::uint64_t>(p[pos + i]) << (8 * i);
        pos += 8;
        return true;
    }
    bool f64(std::size_t& pos, double& v) const {
        std::uint64_t bits;
        if (!u64(pos, bits)) return false;
        v = std::bit_cast<double>(bits);
        return true;
    }
    bool varint(std::size_t& pos, std::uint64_t& v) const {
        v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            std::uint8_t b;
            if (!u8(pos, b)) return false;
            if (shift == 63 && b > 1) return false;
            v |= static_cast<std::uint64_t>(b & 0x7F) << shift;
            if (!(b & 0x80)) return true;
        }
        return false;
    }
    // A length-prefixed byte run, not longer than what is left.
    bool bytes(std::size_t& pos, std::string_view& v) const {
        std::uint64_t len;
        if (!varint(pos, len) || len > n - pos) return false;
        v = {reinterpret_cast<const char*>(p + pos), static_cast<std::size_t>(len)};
        pos += static_cast<std::size_t>(len);
        return true;
    }
    // An element count, each element taking at least `minBytes` bytes.
    bool count(std::size_t& pos, std::uint64_t& c, std::size_t minBytes) const {
        return varint(pos, c) && c <= (n - pos) / minBytes;
    }

    // -- validation: walks one value without building anything
    bool skipContainer(std::size_t& pos, int depth) const;
    bool skipList(std::size_t& pos, int depth, std::uint64_t perItem) const;
    bool skipValue(std::size_t& pos, int depth) const;

    // The values of archived numbers and decimal numbers; nothing when out of range.
    static VxNumberPtr numberFrom(std::uint8_t kind, std::uint64_t u);
    static VxDecimalNumberPtr decimalFrom(std::uint8_t flags, std::uint64_t exp,
                                          std::string_view digits);
};

}  // namespace vx::archive
