#include "platform/foundation/VxDecimalNumber.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <string_view>

#include "platform/foundation/VxValuesPrivate.h"

VX_DEFINE_CLASS(VxDecimalNumber, VxObject, vxMakeInstance<VxDecimalNumber>);

using vx::detail::hashCombine;

namespace {
constexpr std::size_t kMaxDecimalDigits = 38;
}

VxDecimalNumberPtr VxDecimalNumber::notANumber() {
    auto n = std::make_shared<VxDecimalNumber>();
    n->nan_ = true;
    return n;
}

VxDecimalNumberPtr VxDecimalNumber::zero() {
    return std::make_shared<VxDecimalNumber>();
}

void VxDecimalNumber::normalize() {
    if (nan_) {
        digits_ = "0";
        exponent_ = 0;
        negative_ = false;
        return;
    }
    std::size_t lead = digits_.find_first_not_of('0');
    if (lead == std::string::npos) {
        digits_ = "0";
        exponent_ = 0;
        negative_ = false;
        return;
    }
    digits_.erase(0, lead);
    // Keep at most 38 significant digits, rounding half up.
    if (digits_.size() > kMaxDecimalDigits) {
        bool roundUp = digits_[kMaxDecimalDigits] >= '5';
        exponent_ += static_cast<std::int32_t>(digits_.size() - kMaxDecimalDigits);
        digits_.resize(kMaxDecimalDigits);
        if (roundUp) {
            int i = static_cast<int>(digits_.size()) - 1;
            while (i >= 0 && digits_[static_cast<std::size_t>(i)] == '9')
                digits_[static_cast<std::size_t>(i--)] = '0';
            if (i < 0) {
                digits_.insert(digits_.begin(), '1');
                digits_.pop_back();
                exponent_ += 1;
            } else {
                digits_[static_cast<std::size_t>(i)]++;
            }
        }
    }
    std::size_t trail = digits_.find_last_not_of('0');
    exponent_ += static_cast<std::int32_t>(digits_.size() - 1 - trail);
    digits_.resize(trail + 1);
}

VxDecimalNumberPtr VxDecimalNumber::decimalNumberWithString(std::string_view text) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    std::string digits;
    std::int64_t exponent = 0;
    bool any = false;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
        digits.push_back(text[i++]);
        any = true;
    }
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
            digits.push_back(text[i++]);
            --exponent;
            any = true;
        }
    }
    if (!any) return nullptr;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        bool expNeg = false;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) expNeg = text[i++] == '-';
        std::int64_t e = 0;
        bool expDigits = false;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
            e = std::min<std::int64_t>(e * 10 + (text[i++] - '0'), 100000);
            expDigits = true;
        }
        if (!expDigits) return nullptr;
        exponent += expNeg ? -e : e;
    }
    if (i != text.size()) return nullptr;
    if (exponent > 10000 || exponent < -10000) return nullptr;
    auto n = std::make_shared<VxDecimalNumber>();
    n->negative_ = negative;
    n->digits_ = digits;
    n->exponent_ = static_cast<std::int32_t>(exponent);
    n->normalize();
    return n;
}

VxDecimalNumberPtr VxDecimalNumber::decimalNumberWithMantissa(std::uint64_t mantissa,
                                                              std::int32_t exponent,
                                                              bool isNegative) {
    auto n = std::make_shared<VxDecimalNumber>();
    n->digits_ = std::to_string(mantissa);
    n->exponent_ = exponent;
    n->negative_ = isNegative;
    n->normalize();
    return n;
}

VxDecimalNumberPtr VxDecimalNumber::decimalNumberWithDouble(double value) {
    if (!std::isfinite(value)) return notANumber();
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    auto n = decimalNumberWithString(std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)));
    return n ? n : notANumber();
}

double VxDecimalNumber::doubleValue() const {
    if (nan_) return std::numeric_limits<double>::quiet_NaN();
    std::string s = (negative_ ? "-" : "") + digits_ + "e" + std::to_string(exponent_);
    return std::strtod(s.c_str(), nullptr);
}

std::string VxDecimalNumber::stringValue() const {
    if (nan_) return "NaN";
    std::string out = negative_ ? "-" : "";
    if (exponent_ >= 0) {
        out += digits_;
        if (digits_ != "0") out.append(static_cast<std::size_t>(exponent_), '0');
        return out;
    }
    std::size_t frac = static_cast<std::size_t>(-static_cast<std::int64_t>(exponent_));
    if (frac >= digits_.size()) {
        out += "0.";
        out.append(frac - digits_.size(), '0');
        out += digits_;
    } else {
        out += digits_.substr(0, digits_.size() - frac);
        out += ".";
        out += digits_.substr(digits_.size() - frac);
    }
    return out;
}

int VxDecimalNumber::compare(const VxDecimalNumber& other) const {
    if (nan_ || other.nan_) return nan_ == other.nan_ ? 0 : (nan_ ? -1 : 1);
    bool aZero = digits_ == "0";
    bool bZero = other.digits_ == "0";
    if (aZero && bZero) return 0;
    int aSign = aZero ? 0 : (negative_ ? -1 : 1);
    int bSign = bZero ? 0 : (other.negative_ ? -1 : 1);
    if (aSign != bSign) return aSign < bSign ? -1 : 1;
    // Same sign, both non-zero: compare magnitudes by order, then digits.
    std::int64_t aOrder = static_cast<std::int64_t>(digits_.size()) + exponent_;
    std::int64_t bOrder = static_cast<std::int64_t>(other.digits_.size()) + other.exponent_;
    int mag;
    if (aOrder != bOrder) {
        mag = aOrder < bOrder ? -1 : 1;
    } else {
        std::size_t len = std::max(digits_.size(), other.digits_.size());
        std::string a = digits_, b = other.digits_;
        a.resize(len, '0');
        b.resize(len, '0');
        int c = a.compare(b);
        mag = c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    return aSign > 0 ? mag : -mag;
}

bool VxDecimalNumber::isEqual(const VxObject& other) const {
    auto* d = dynamic_cast<const VxDecimalNumber*>(&other);
    return d && compare(*d) == 0;
}

std::size_t VxDecimalNumber::hash() const {
    return hashCombine(std::hash<std::string>()(digits_),
                       static_cast<std::size_t>(exponent_) * 31 + negative_ + 7 * nan_);
}
