#include "platform/foundation/VxKeyedArchiveFormat.h"

#include <bit>
#include <cstdint>
#include <string>

namespace vx::archive {

bool Reader::skipContainer(std::size_t& pos, int depth) const {
    if (depth > kMaxDepth) return false;
    std::uint64_t c;
    if (!count(pos, c, 2)) return false;
    for (std::uint64_t i = 0; i < c; ++i) {
        std::string_view key;
        if (!bytes(pos, key) || !skipValue(pos, depth)) return false;
    }
    return true;
}

bool Reader::skipList(std::size_t& pos, int depth, std::uint64_t perItem) const {
    std::uint64_t c;
    if (!count(pos, c, perItem)) return false;
    for (std::uint64_t i = 0; i < c * perItem; ++i)
        if (!skipValue(pos, depth + 1)) return false;
    return true;
}

bool Reader::skipValue(std::size_t& pos, int depth) const {
    if (depth > kMaxDepth) return false;
    std::uint8_t tag, b;
    std::uint64_t u;
    double d;
    std::string_view s;
    if (!u8(pos, tag)) return false;
    switch (tag) {
        case TagNull:
            return true;
        case TagString:
            return bytes(pos, s);
        case TagNumber: {
            if (!u8(pos, b) || !u64(pos, u)) return false;
            return numberFrom(b, u) != nullptr;
        }
        case TagDecimal:
            return u8(pos, b) && u64(pos, u) && bytes(pos, s) && decimalFrom(b, u, s);
        case TagData:
            return u8(pos, b) && bytes(pos, s);
        case TagDate:
            return f64(pos, d);
        case TagURL: {
            if (!bytes(pos, s) || !u8(pos, b) || b > 1) return false;
            if (b == 0) return true;
            return pos < n && p[pos] == TagURL && skipValue(pos, depth + 1);
        }
        case TagArray:
        case TagSet:
        case TagOrderedSet:
            return u8(pos, b) && skipList(pos, depth, 1);
        case TagDictionary:
            return u8(pos, b) && skipList(pos, depth, 2);
        case TagValue:
            return bytes(pos, s) && bytes(pos, s);
        case TagError:
            return bytes(pos, s) && u64(pos, u) && pos < n &&
                   (p[pos] == TagDictionary || p[pos] == TagNull) && skipValue(pos, depth + 1);
        case TagBool:
            return u8(pos, b) && b <= 1;
        case TagInt64:
            return u64(pos, u);
        case TagDouble:
            return f64(pos, d);
        case TagObject:
            return bytes(pos, s) && skipContainer(pos, depth + 1);
        default:
            return false;
    }
}

VxNumberPtr Reader::numberFrom(std::uint8_t kind, std::uint64_t u) {
    auto i = static_cast<std::int64_t>(u);
    auto inRange = [&](std::int64_t lo, std::int64_t hi) { return i >= lo && i <= hi; };
    switch (static_cast<VxNumberKind>(kind)) {
        case VxNumberKind::Bool:
            return u <= 1 ? VxNumber::numberWithBool(u == 1) : nullptr;
        case VxNumberKind::Char:
            return inRange(INT8_MIN, INT8_MAX)
                       ? VxNumber::numberWithChar(static_cast<std::int8_t>(i))
                       : nullptr;
        case VxNumberKind::UnsignedChar:
            return u <= UINT8_MAX ? VxNumber::numberWithUnsignedChar(static_cast<std::uint8_t>(u))
                                  : nullptr;
        case VxNumberKind::Short:
            return inRange(INT16_MIN, INT16_MAX)
                       ? VxNumber::numberWithShort(static_cast<std::int16_t>(i))
                       : nullptr;
        case VxNumberKind::UnsignedShort:
            return u <= UINT16_MAX
                       ? VxNumber::numberWithUnsignedShort(static_cast<std::uint16_t>(u))
                       : nullptr;
        case VxNumberKind::Int:
            return inRange(INT32_MIN, INT32_MAX)
                       ? VxNumber::numberWithInt(static_cast<std::int32_t>(i))
                       : nullptr;
        case VxNumberKind::UnsignedInt:
            return u <= UINT32_MAX ? VxNumber::numberWithUnsignedInt(static_cast<std::uint32_t>(u))
                                   : nullptr;
        case VxNumberKind::Long:
            return VxNumber::numberWithLong(i);
        case VxNumberKind::UnsignedLong:
            return VxNumber::numberWithUnsignedLong(u);
        case VxNumberKind::LongLong:
            return VxNumber::numberWithLongLong(i);
        case VxNumberKind::UnsignedLongLong:
            return VxNumber::numberWithUnsignedLongLong(u);
        case VxNumberKind::Float:
            return VxNumber::numberWithFloat(static_cast<float>(std::bit_cast<double>(u)));
        case VxNumberKind::Double:
            return VxNumber::numberWithDouble(std::bit_cast<double>(u));
    }
    return nullptr;
}

VxDecimalNumberPtr Reader::decimalFrom(std::uint8_t flags, std::uint64_t exp,
                                       std::string_view digits) {
    if (flags & ~(kDecimalNaN | kDecimalNegative)) return nullptr;
    if (flags & kDecimalNaN) return VxDecimalNumber::notANumber();
    auto e = static_cast<std::int64_t>(exp);
    if (e < INT32_MIN || e > INT32_MAX) return nullptr;
    if (digits.empty() || digits.size() > 40) return nullptr;
    for (char c : digits)
        if (c < '0' || c > '9') return nullptr;
    std::string text = (flags & kDecimalNegative) ? "-" : "";
    text.append(digits);
    text += 'e';
    text += std::to_string(e);
    return VxDecimalNumber::decimalNumberWithString(text);
}

}  // namespace vx::archive
