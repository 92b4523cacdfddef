#pragma once
// Decimal numbers of up to 38 digits, and not-a-number.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxObject.h"
#include "platform/foundation/VxValuesFwd.h"

// Decimal number: a base-10 mantissa of up to 38 digits with an exponent, or
// not-a-number.
class DA_EXPORT VxDecimalNumber : public VxObject {
    VX_DECLARE_CLASS(VxDecimalNumber)
  public:
    VxDecimalNumber() = default;
    static VxDecimalNumberPtr notANumber();
    static VxDecimalNumberPtr zero();
    // Parses an optional sign, digits, an optional fraction and an optional
    // exponent ("-12.5e3"); nothing for any other text.
    static VxDecimalNumberPtr decimalNumberWithString(std::string_view text);
    static VxDecimalNumberPtr decimalNumberWithMantissa(std::uint64_t mantissa,
                                                        std::int32_t exponent, bool isNegative);
    static VxDecimalNumberPtr decimalNumberWithDouble(double value);

    bool isNaN() const { return nan_; }
    bool isNegative() const { return negative_; }
    // Digits of the mantissa without leading zeros ("0" for zero).
    const std::string& mantissaDigits() const { return digits_; }
    std::int32_t exponent() const { return exponent_; }
    double doubleValue() const;
    // Plain decimal form, "NaN" for not-a-number ("-1250", "0.001").
    std::string stringValue() const;

    int compare(const VxDecimalNumber& other) const;  // NaN sorts first
    bool isEqual(const VxObject& other) const override;
    std::size_t hash() const override;
    std::string description() const override { return stringValue(); }

  private:
    void normalize();
    bool nan_ = false;
    bool negative_ = false;
    std::string digits_ = "0";
    std::int32_t exponent_ = 0;
};
