#pragma once
// Numbers that keep the kind they were made with (boolean, integers of 8 to 64
// bits, float, double).

#include <cstdint>
#include <string>
#include <type_traits>

#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxObject.h"
#include "platform/foundation/VxValuesFwd.h"

// Number: keeps the kind it was made with, which decides its text and JSON forms.
enum class VxNumberKind : std::uint8_t {
    Bool,
    Char,
    UnsignedChar,
    Short,
    UnsignedShort,
    Int,
    UnsignedInt,
    Long,  // 64-bit
    UnsignedLong,
    LongLong,
    UnsignedLongLong,
    Float,
    Double,
};

class DA_EXPORT VxNumber : public VxObject {
    VX_DECLARE_CLASS(VxNumber)
  public:
    VxNumber() = default;
    static VxNumberPtr numberWithBool(bool v);
    static VxNumberPtr numberWithChar(std::int8_t v);
    static VxNumberPtr numberWithUnsignedChar(std::uint8_t v);
    static VxNumberPtr numberWithShort(std::int16_t v);
    static VxNumberPtr numberWithUnsignedShort(std::uint16_t v);
    static VxNumberPtr numberWithInt(std::int32_t v);
    static VxNumberPtr numberWithUnsignedInt(std::uint32_t v);
    static VxNumberPtr numberWithLong(std::int64_t v);
    static VxNumberPtr numberWithUnsignedLong(std::uint64_t v);
    static VxNumberPtr numberWithLongLong(std::int64_t v);
    static VxNumberPtr numberWithUnsignedLongLong(std::uint64_t v);
    static VxNumberPtr numberWithFloat(float v);
    static VxNumberPtr numberWithDouble(double v);
    // Number of the C++ type's natural kind (bool, int8..uint64, float, double).
    template <class T>
    static VxNumberPtr make(T v);

    VxNumberKind kind() const { return kind_; }
    bool isBoolean() const { return kind_ == VxNumberKind::Bool; }
    bool isFloatingPoint() const {
        return kind_ == VxNumberKind::Float || kind_ == VxNumberKind::Double;
    }
    bool isUnsignedInteger() const;
    // The kind's type code: "B", "c", "C", "s", "S", "i", "I", "q", "Q", "f", "d".
    const char* objCType() const;

    bool boolValue() const;
    std::int8_t charValue() const { return static_cast<std::int8_t>(longLongValue()); }
    std::uint8_t unsignedCharValue() const {
        return static_cast<std::uint8_t>(unsignedLongLongValue());
    }
    std::int16_t shortValue() const { return static_cast<std::int16_t>(longLongValue()); }
    std::uint16_t unsignedShortValue() const {
        return static_cast<std::uint16_t>(unsignedLongLongValue());
    }
    std::int32_t intValue() const { return static_cast<std::int32_t>(longLongValue()); }
    std::uint32_t unsignedIntValue() const {
        return static_cast<std::uint32_t>(unsignedLongLongValue());
    }
    std::int64_t longValue() const { return longLongValue(); }
    std::uint64_t unsignedLongValue() const { return unsignedLongLongValue(); }
    std::int64_t longLongValue() const;
    std::uint64_t unsignedLongLongValue() const;
    float floatValue() const { return static_cast<float>(doubleValue()); }
    double doubleValue() const;
    // Plain decimal text: booleans as 1 and 0, integers in decimal, floating
    // point numbers in their shortest exact form.
    std::string stringValue() const;

    // -1, 0 or 1 by numeric value.
    int compare(const VxNumber& other) const;
    bool isEqual(const VxObject& other) const override;
    std::size_t hash() const override;
    std::string description() const override { return stringValue(); }

  private:
    VxNumberKind kind_ = VxNumberKind::Int;
    union {
        std::int64_t i;
        std::uint64_t u;
        double d;
    } v_{0};
    friend class VxNumberAccess;
};

template <class T>
VxNumberPtr VxNumber::make(T v) {
    if constexpr (std::is_same_v<T, bool>)
        return numberWithBool(v);
    else if constexpr (std::is_same_v<T, float>)
        return numberWithFloat(v);
    else if constexpr (std::is_floating_point_v<T>)
        return numberWithDouble(static_cast<double>(v));
    else if constexpr (std::is_signed_v<T> && sizeof(T) == 1)
        return numberWithChar(v);
    else if constexpr (std::is_unsigned_v<T> && sizeof(T) == 1)
        return numberWithUnsignedChar(v);
    else if constexpr (std::is_signed_v<T> && sizeof(T) == 2)
        return numberWithShort(v);
    else if constexpr (std::is_unsigned_v<T> && sizeof(T) == 2)
        return numberWithUnsignedShort(v);
    else if constexpr (std::is_signed_v<T> && sizeof(T) == 4)
        return numberWithInt(v);
    else if constexpr (std::is_unsigned_v<T> && sizeof(T) == 4)
        return numberWithUnsignedInt(v);
    else if constexpr (std::is_signed_v<T>)
        return numberWithLongLong(static_cast<std::int64_t>(v));
    else
        return numberWithUnsignedLongLong(static_cast<std::uint64_t>(v));
}
