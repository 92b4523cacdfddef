#include "platform/foundation/VxNumber.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>

VX_DEFINE_CLASS(VxNumber, VxObject, vxMakeInstance<VxNumber>);

// Grants the factories access to the representation.
class VxNumberAccess {
  public:
    static VxNumberPtr signedNumber(VxNumberKind kind, std::int64_t i) {
        auto n = std::make_shared<VxNumber>();
        n->kind_ = kind;
        n->v_.i = i;
        return n;
    }
    static VxNumberPtr unsignedNumber(VxNumberKind kind, std::uint64_t u) {
        auto n = std::make_shared<VxNumber>();
        n->kind_ = kind;
        n->v_.u = u;
        return n;
    }
    static VxNumberPtr floatingNumber(VxNumberKind kind, double d) {
        auto n = std::make_shared<VxNumber>();
        n->kind_ = kind;
        n->v_.d = d;
        return n;
    }
};

VxNumberPtr VxNumber::numberWithBool(bool v) {
    return VxNumberAccess::signedNumber(VxNumberKind::Bool, v ? 1 : 0);
}
VxNumberPtr VxNumber::numberWithChar(std::int8_t v) {
    return VxNumberAccess::signedNumber(VxNumberKind::Char, v);
}
VxNumberPtr VxNumber::numberWithUnsignedChar(std::uint8_t v) {
    return VxNumberAccess::unsignedNumber(VxNumberKind::UnsignedChar, v);
}
VxNumberPtr VxNumber::numberWithShort(std::int16_t v) {
    return VxNumberAccess::signedNumber(VxNumberKind::Short, v);
}
VxNumberPtr VxNumber::numberWithUnsignedShort(std::uint16_t v) {
    return VxNumberAccess::unsignedNumber(VxNumberKind::UnsignedShort, v);
}
VxNumberPtr VxNumber::numberWithInt(std::int32_t v) {
    return VxNumberAccess::signedNumber(VxNumberKind::Int, v);
}
VxNumberPtr VxNumber::numberWithUnsignedInt(std::uint32_t v) {
    return VxNumberAccess::unsignedNumber(VxNumberKind::UnsignedInt, v);
}
VxNumberPtr VxNumber::numberWithLong(std::int64_t v) {
    return VxNumberAccess::signedNumber(VxNumberKind::Long, v);
}
VxNumberPtr VxNumber::numberWithUnsignedLong(std::uint64_t v) {
    return VxNumberAccess::unsignedNumber(VxNumberKind::UnsignedLong, v);
}
VxNumberPtr VxNumber::numberWithLongLong(std::int64_t v) {
    return VxNumberAccess::signedNumber(VxNumberKind::LongLong, v);
}
VxNumberPtr VxNumber::numberWithUnsignedLongLong(std::uint64_t v) {
    return VxNumberAccess::unsignedNumber(VxNumberKind::UnsignedLongLong, v);
}
VxNumberPtr VxNumber::numberWithFloat(float v) {
    return VxNumberAccess::floatingNumber(VxNumberKind::Float, v);
}
VxNumberPtr VxNumber::numberWithDouble(double v) {
    return VxNumberAccess::floatingNumber(VxNumberKind::Double, v);
}

bool VxNumber::isUnsignedInteger() const {
    switch (kind_) {
        case VxNumberKind::UnsignedChar:
        case VxNumberKind::UnsignedShort:
        case VxNumberKind::UnsignedInt:
        case VxNumberKind::UnsignedLong:
        case VxNumberKind::UnsignedLongLong:
            return true;
        default:
            return false;
    }
}

const char* VxNumber::objCType() const {
    switch (kind_) {
        case VxNumberKind::Bool:
            return "B";
        case VxNumberKind::Char:
            return "c";
        case VxNumberKind::UnsignedChar:
            return "C";
        case VxNumberKind::Short:
            return "s";
        case VxNumberKind::UnsignedShort:
            return "S";
        case VxNumberKind::Int:
            return "i";
        case VxNumberKind::UnsignedInt:
            return "I";
        case VxNumberKind::Long:
        case VxNumberKind::LongLong:
            return "q";
        case VxNumberKind::UnsignedLong:
        case VxNumberKind::UnsignedLongLong:
            return "Q";
        case VxNumberKind::Float:
            return "f";
        case VxNumberKind::Double:
            return "d";
    }
    return "i";
}

bool VxNumber::boolValue() const {
    if (isFloatingPoint()) return v_.d != 0.0;
    return v_.u != 0;
}

std::int64_t VxNumber::longLongValue() const {
    if (isFloatingPoint()) {
        double d = v_.d;
        if (std::isnan(d)) return 0;
        if (d >= 9223372036854775807.0) return std::numeric_limits<std::int64_t>::max();
        if (d <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
        return static_cast<std::int64_t>(d);
    }
    return v_.i;  // unsigned values wrap like a C conversion
}

std::uint64_t VxNumber::unsignedLongLongValue() const {
    if (isFloatingPoint()) {
        double d = v_.d;
        if (std::isnan(d)) return 0;
        if (d < 0) return static_cast<std::uint64_t>(longLongValue());
        if (d >= 18446744073709551615.0) return std::numeric_limits<std::uint64_t>::max();
        return static_cast<std::uint64_t>(d);
    }
    return v_.u;
}

double VxNumber::doubleValue() const {
    if (isFloatingPoint()) return v_.d;
    if (isUnsignedInteger()) return static_cast<double>(v_.u);
    return static_cast<double>(v_.i);
}

std::string VxNumber::stringValue() const {
    char buf[64];
    std::to_chars_result r{};
    switch (kind_) {
        case VxNumberKind::Float:
            if (std::isnan(v_.d)) return "nan";
            if (std::isinf(v_.d)) return v_.d > 0 ? "inf" : "-inf";
            r = std::to_chars(buf, buf + sizeof buf, static_cast<float>(v_.d));
            break;
        case VxNumberKind::Double:
            if (std::isnan(v_.d)) return "nan";
            if (std::isinf(v_.d)) return v_.d > 0 ? "inf" : "-inf";
            r = std::to_chars(buf, buf + sizeof buf, v_.d);
            break;
        default:
            if (isUnsignedInteger())
                r = std::to_chars(buf, buf + sizeof buf, v_.u);
            else
                r = std::to_chars(buf, buf + sizeof buf, v_.i);
    }
    return std::string(buf, r.ptr);
}

int VxNumber::compare(const VxNumber& other) const {
    if (!isFloatingPoint() && !other.isFloatingPoint()) {
        bool aNeg = !isUnsignedInteger() && v_.i < 0;
        bool bNeg = !other.isUnsignedInteger() && other.v_.i < 0;
        if (aNeg != bNeg) return aNeg ? -1 : 1;
        if (aNeg) return v_.i < other.v_.i ? -1 : (v_.i > other.v_.i ? 1 : 0);
        return v_.u < other.v_.u ? -1 : (v_.u > other.v_.u ? 1 : 0);
    }
    double a = doubleValue();
    double b = other.doubleValue();
    return a < b ? -1 : (a > b ? 1 : 0);
}

bool VxNumber::isEqual(const VxObject& other) const {
    auto* n = dynamic_cast<const VxNumber*>(&other);
    if (!n) return false;
    if (isFloatingPoint() && n->isFloatingPoint() && std::isnan(v_.d) && std::isnan(n->v_.d))
        return true;
    return compare(*n) == 0;
}

std::size_t VxNumber::hash() const {
    // Equal values of different kinds hash alike: integral values hash by their
    // 64-bit pattern, other floating values by their bits.
    if (!isFloatingPoint()) return std::hash<std::uint64_t>()(v_.u);
    double d = v_.d;
    if (std::isfinite(d) && d == std::floor(d)) {
        if (d >= 0 && d < 18446744073709551616.0)
            return std::hash<std::uint64_t>()(static_cast<std::uint64_t>(d));
        if (d < 0 && d >= -9223372036854775808.0)
            return std::hash<std::uint64_t>()(
                static_cast<std::uint64_t>(static_cast<std::int64_t>(d)));
    }
    return std::hash<double>()(d);
}
