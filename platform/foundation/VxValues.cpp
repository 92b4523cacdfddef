#include "platform/foundation/VxValues.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <sstream>

VX_DEFINE_CLASS(VxNull, VxObject, {});
VX_DEFINE_CLASS(VxString, VxObject, vxMakeInstance<VxString>);
VX_DEFINE_CLASS(VxNumber, VxObject, vxMakeInstance<VxNumber>);
VX_DEFINE_CLASS(VxDecimalNumber, VxObject, vxMakeInstance<VxDecimalNumber>);
VX_DEFINE_CLASS(VxData, VxObject, vxMakeInstance<VxData>);
VX_DEFINE_CLASS(VxMutableData, VxData, vxMakeInstance<VxMutableData>);
VX_DEFINE_CLASS(VxDate, VxObject, vxMakeInstance<VxDate>);
VX_DEFINE_CLASS(VxURL, VxObject, {});
VX_DEFINE_CLASS(VxArray, VxObject, vxMakeInstance<VxArray>);
VX_DEFINE_CLASS(VxMutableArray, VxArray, vxMakeInstance<VxMutableArray>);
VX_DEFINE_CLASS(VxDictionary, VxObject, vxMakeInstance<VxDictionary>);
VX_DEFINE_CLASS(VxMutableDictionary, VxDictionary, vxMakeInstance<VxMutableDictionary>);
VX_DEFINE_CLASS(VxSet, VxObject, vxMakeInstance<VxSet>);
VX_DEFINE_CLASS(VxMutableSet, VxSet, vxMakeInstance<VxMutableSet>);
VX_DEFINE_CLASS(VxOrderedSet, VxObject, vxMakeInstance<VxOrderedSet>);
VX_DEFINE_CLASS(VxMutableOrderedSet, VxOrderedSet, vxMakeInstance<VxMutableOrderedSet>);
VX_DEFINE_CLASS(VxValue, VxObject, vxMakeInstance<VxValue>);

// ===========================================================================
// Property-list style descriptions shared by the containers.
namespace {

bool needsQuotes(const std::string& s) {
    if (s.empty()) return true;
    for (unsigned char c : s) {
        if (!(std::isalnum(c) || c == '_' || c == '.' || c == '$')) return true;
    }
    return false;
}

std::string quoted(const std::string& s) {
    if (!needsQuotes(s)) return s;
    std::string out = "\"";
    for (char c : s) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out.push_back(c);
        }
    }
    return out + "\"";
}

void describe(const Id& obj, int indent, std::string& out);

void indentTo(std::string& out, int indent) {
    out.append(static_cast<std::size_t>(indent) * 4, ' ');
}

void describeArrayItems(const std::vector<Id>& items, int indent, std::string& out) {
    out += "(\n";
    for (std::size_t i = 0; i < items.size(); ++i) {
        indentTo(out, indent + 1);
        describe(items[i], indent + 1, out);
        if (i + 1 < items.size()) out += ",";
        out += "\n";
    }
    indentTo(out, indent);
    out += ")";
}

void describe(const Id& obj, int indent, std::string& out) {
    if (!obj) {
        out += "(null)";
    } else if (auto s = dynamic_cast<const VxString*>(obj.get())) {
        out += quoted(s->str());
    } else if (auto d = dynamic_cast<const VxDictionary*>(obj.get())) {
        out += "{\n";
        d->enumerateKeysAndObjects([&](const Id& k, const Id& v) {
            indentTo(out, indent + 1);
            describe(k, indent + 1, out);
            out += " = ";
            describe(v, indent + 1, out);
            out += ";\n";
        });
        indentTo(out, indent);
        out += "}";
    } else if (auto a = dynamic_cast<const VxArray*>(obj.get())) {
        describeArrayItems(a->items(), indent, out);
    } else if (auto st = dynamic_cast<const VxSet*>(obj.get())) {
        out += "{";
        describeArrayItems(st->allObjects(), indent, out);
        out += "}";
    } else if (auto os = dynamic_cast<const VxOrderedSet*>(obj.get())) {
        out += "{";
        describeArrayItems(os->array(), indent, out);
        out += "}";
    } else {
        std::string text = obj->description();
        // Multi-line descriptions of other objects are indented with the container.
        std::string pad(static_cast<std::size_t>(indent) * 4, ' ');
        for (char c : text) {
            out.push_back(c);
            if (c == '\n') out += pad;
        }
    }
}

void describeInline(const Id& obj, std::string& out) {
    if (!obj) {
        out += "(null)";
    } else if (auto s = dynamic_cast<const VxString*>(obj.get())) {
        out += quoted(s->str());
    } else if (auto d = dynamic_cast<const VxDictionary*>(obj.get())) {
        out += "{";
        bool first = true;
        d->enumerateKeysAndObjects([&](const Id& k, const Id& v) {
            if (!first) out += "; ";
            first = false;
            describeInline(k, out);
            out += " = ";
            describeInline(v, out);
        });
        out += "}";
    } else if (auto a = dynamic_cast<const VxArray*>(obj.get())) {
        out += "(";
        for (std::size_t i = 0; i < a->count(); ++i) {
            if (i) out += ", ";
            describeInline(a->objectAtIndex(i), out);
        }
        out += ")";
    } else {
        std::string text = obj->descriptionInline();
        for (char c : text) out.push_back(c == '\n' ? ' ' : c);
    }
}

std::size_t hashCombine(std::size_t a, std::size_t b) {
    return a ^ (b + 0x9e3779b97f4a7c15ULL + (a << 6) + (a >> 2));
}

}  // namespace

// ===========================================================================
// Null marker

const VxNullPtr& VxNull::null() {
    static const VxNullPtr instance = std::make_shared<VxNull>();
    return instance;
}

bool VxNull::isEqual(const VxObject& other) const {
    return dynamic_cast<const VxNull*>(&other) != nullptr;
}

// ===========================================================================
// Text

VxStringPtr VxString::make(std::string text) {
    return std::make_shared<VxString>(std::move(text));
}

VxStringPtr vxstr(std::string text) {
    return VxString::make(std::move(text));
}

VxStringPtr VxString::stringWithUTF8Bytes(const void* bytes, std::size_t length) {
    std::string_view view(static_cast<const char*>(bytes), length);
    if (!isValidUTF8(view)) return nullptr;
    return make(std::string(view));
}

bool VxString::isValidUTF8(std::string_view s) {
    std::size_t i = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    while (i < s.size()) {
        unsigned char c = p[i];
        std::size_t n;
        std::uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            n = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            n = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            n = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        for (std::size_t k = 1; k <= n; ++k) {
            if (i + k >= s.size() || (p[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        // Overlong forms, surrogates and values beyond Unicode are not UTF-8.
        if ((n == 1 && cp < 0x80) || (n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000))
            return false;
        if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return false;
        i += n + 1;
    }
    return true;
}

std::size_t VxString::length() const {
    std::size_t count = 0;
    for (unsigned char c : text_) {
        if ((c & 0xC0) != 0x80) ++count;
    }
    return count;
}

bool VxString::isEqual(const VxObject& other) const {
    auto* s = dynamic_cast<const VxString*>(&other);
    return s && s->text_ == text_;
}

std::size_t VxString::hash() const {
    return std::hash<std::string_view>()(text_);
}

// ===========================================================================
// Number

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

// ===========================================================================
// Decimal number

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

// ===========================================================================
// Bytes

VxDataPtr VxData::data() {
    return std::make_shared<VxData>();
}

VxDataPtr VxData::dataWithBytes(const void* bytes, std::size_t length) {
    auto p = static_cast<const std::uint8_t*>(bytes);
    return std::make_shared<VxData>(length ? std::vector<std::uint8_t>(p, p + length)
                                           : std::vector<std::uint8_t>());
}

VxDataPtr VxData::dataWithString(std::string_view text) {
    return dataWithBytes(text.data(), text.size());
}

VxDataPtr VxData::dataWithVector(std::vector<std::uint8_t> bytes) {
    return std::make_shared<VxData>(std::move(bytes));
}

VxDataPtr VxData::dataWithContentsOfFile(const std::string& path, std::string* errorText,
                                         std::size_t limit) {
    VxFileReadResult file = VxReadWholeFile(path, {.limit = limit});
    if (!file) {
        if (errorText) *errorText = path + " " + file.problem;
        return nullptr;
    }
    return dataWithString(file.bytes);
}

bool VxData::writeToFile(const std::string& path, bool atomically) const {
    std::string target = atomically ? path + ".tmp." + std::to_string(::getpid()) : path;
    int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < bytes_.size()) {
        ssize_t n = ::write(fd, bytes_.data() + done, bytes_.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            if (atomically) ::unlink(target.c_str());
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    bool ok = !atomically || ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (atomically) {
        if (!ok || ::rename(target.c_str(), path.c_str()) != 0) {
            ::unlink(target.c_str());
            return false;
        }
    }
    return ok;
}

bool VxData::isEqual(const VxObject& other) const {
    auto* d = dynamic_cast<const VxData*>(&other);
    return d && d->bytes_ == bytes_;
}

std::size_t VxData::hash() const {
    return std::hash<std::string_view>()(view().substr(0, 80)) ^ bytes_.size();
}

std::string VxData::description() const {
    static const char* hex = "0123456789abcdef";
    auto appendHex = [&](std::string& out, std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) {
            out.push_back(hex[bytes_[i] >> 4]);
            out.push_back(hex[bytes_[i] & 0xF]);
        }
    };
    std::string out = "{length = " + std::to_string(bytes_.size()) + ", bytes = 0x";
    if (bytes_.size() <= 24) {
        appendHex(out, 0, bytes_.size());
    } else {
        appendHex(out, 0, 8);
        out += " ... ";
        appendHex(out, bytes_.size() - 4, bytes_.size());
    }
    return out + "}";
}

Id VxData::copyWithZone(void*) const {
    if (isMemberOfClass(VxData::classObject())) return self();
    return std::make_shared<VxData>(bytes_);
}

Id VxData::mutableCopyWithZone(void*) const {
    return std::make_shared<VxMutableData>(bytes_);
}

VxMutableDataPtr VxMutableData::dataWithCapacity(std::size_t capacity) {
    auto d = std::make_shared<VxMutableData>();
    d->bytes_.reserve(capacity);
    return d;
}

void VxMutableData::appendBytes(const void* bytes, std::size_t length) {
    auto p = static_cast<const std::uint8_t*>(bytes);
    if (length) bytes_.insert(bytes_.end(), p, p + length);
}

// ===========================================================================
// Date

VxDatePtr VxDate::date() {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::make_shared<VxDate>(std::chrono::duration<double>(now).count());
}

VxDatePtr VxDate::dateWithTimeIntervalSince1970(double seconds) {
    return std::make_shared<VxDate>(seconds);
}

double VxDate::timeIntervalSinceNow() const {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    return t_ - std::chrono::duration<double>(now).count();
}

int VxDate::compare(const VxDate& other) const {
    return t_ < other.t_ ? -1 : (t_ > other.t_ ? 1 : 0);
}

bool VxDate::isEqual(const VxObject& other) const {
    auto* d = dynamic_cast<const VxDate*>(&other);
    return d && d->t_ == t_;
}

std::size_t VxDate::hash() const {
    return std::hash<double>()(t_);
}

std::string VxDate::description() const {
    // Calendar text for years 0001 to 9999; other times (and not-a-number, which
    // a decoded archive may hold) get a text that says so.
    constexpr double kFirst = -62135596800.0;  // 0001-01-01 00:00:00 UTC
    constexpr double kEnd = 253402300800.0;    // 10000-01-01 00:00:00 UTC
    char buf[96];
    if (!(t_ >= kFirst && t_ < kEnd)) {
        std::snprintf(buf, sizeof buf, "(date out of range: %g seconds since 1970)", t_);
        return buf;
    }
    std::time_t secs = static_cast<std::time_t>(std::floor(t_));
    std::tm tm{};
    gmtime_r(&secs, &tm);
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d +0000", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

// ===========================================================================
// URL (RFC 3986)

namespace {

bool isUnreserved(unsigned char c) {
    return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
}
bool isSubDelim(unsigned char c) {
    return std::strchr("!$&'()*+,;=", c) != nullptr && c != 0;
}
bool isHex(unsigned char c) {
    return std::isxdigit(c) != 0;
}

// Every character must be legal somewhere in a URI reference, and every "%"
// must start a two-digit escape.
bool hasOnlyURLCharacters(std::string_view s) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c == '%') {
            if (i + 2 >= s.size()) return false;
            if (!isHex(static_cast<unsigned char>(s[i + 1])) ||
                !isHex(static_cast<unsigned char>(s[i + 2])))
                return false;
            i += 2;
            continue;
        }
        if (isUnreserved(c) || isSubDelim(c) || std::strchr(":/?#[]@", c) != nullptr) {
            if (c == 0) return false;
            continue;
        }
        return false;
    }
    return true;
}

struct URIParts {
    bool hasScheme = false;
    std::string scheme;
    bool hasAuthority = false;
    std::string authority;
    std::string path;
    bool hasQuery = false;
    std::string query;
    bool hasFragment = false;
    std::string fragment;
};

// Splits a reference by the generic syntax (RFC 3986 appendix B).
bool splitURI(std::string_view s, URIParts& p) {
    std::size_t i = 0;
    std::size_t colon = s.find_first_of(":/?#");
    if (colon != std::string_view::npos && s[colon] == ':' && colon > 0) {
        std::string_view scheme = s.substr(0, colon);
        if (!std::isalpha(static_cast<unsigned char>(scheme[0]))) return false;
        for (unsigned char c : scheme) {
            if (!(std::isalnum(c) || c == '+' || c == '-' || c == '.')) return false;
        }
        p.hasScheme = true;
        p.scheme = std::string(scheme);
        i = colon + 1;
    } else if (colon == 0 && !s.empty() && s[0] == ':') {
        return false;
    }
    if (s.substr(i, 2) == "//") {
        i += 2;
        std::size_t end = s.find_first_of("/?#", i);
        if (end == std::string_view::npos) end = s.size();
        p.hasAuthority = true;
        p.authority = std::string(s.substr(i, end - i));
        i = end;
    }
    std::size_t end = s.find_first_of("?#", i);
    if (end == std::string_view::npos) end = s.size();
    p.path = std::string(s.substr(i, end - i));
    i = end;
    if (i < s.size() && s[i] == '?') {
        std::size_t qend = s.find('#', i);
        if (qend == std::string_view::npos) qend = s.size();
        p.hasQuery = true;
        p.query = std::string(s.substr(i + 1, qend - i - 1));
        i = qend;
    }
    if (i < s.size() && s[i] == '#') {
        p.hasFragment = true;
        p.fragment = std::string(s.substr(i + 1));
    }
    // A relative path's first segment may not contain ":" (it would read as a scheme).
    if (!p.hasScheme && !p.hasAuthority) {
        std::size_t slash = p.path.find('/');
        std::string_view first = std::string_view(p.path).substr(0, slash);
        if (first.find(':') != std::string_view::npos) return false;
    }
    return true;
}

std::string removeDotSegments(std::string input) {
    std::string output;
    while (!input.empty()) {
        if (input.rfind("../", 0) == 0) {
            input.erase(0, 3);
        } else if (input.rfind("./", 0) == 0) {
            input.erase(0, 2);
        } else if (input.rfind("/./", 0) == 0) {
            input.erase(0, 2);
        } else if (input == "/.") {
            input = "/";
        } else if (input.rfind("/../", 0) == 0 || input == "/..") {
            input = input.size() == 3 ? "/" : input.substr(3);
            std::size_t last = output.rfind('/');
            output.erase(last == std::string::npos ? 0 : last);
        } else if (input == "." || input == "..") {
            input.clear();
        } else {
            std::size_t start = input[0] == '/' ? 1 : 0;
            std::size_t next = input.find('/', start);
            if (next == std::string::npos) next = input.size();
            output += input.substr(0, next);
            input.erase(0, next);
        }
    }
    return output;
}

std::string recompose(const URIParts& p) {
    std::string out;
    if (p.hasScheme) out += p.scheme + ":";
    if (p.hasAuthority) out += "//" + p.authority;
    out += p.path;
    if (p.hasQuery) out += "?" + p.query;
    if (p.hasFragment) out += "#" + p.fragment;
    return out;
}

std::string percentDecodeLenient(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && isHex(static_cast<unsigned char>(s[i + 1])) &&
            isHex(static_cast<unsigned char>(s[i + 2]))) {
            out.push_back(
                static_cast<char>(std::stoi(std::string(s.substr(i + 1, 2)), nullptr, 16)));
            i += 2;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

std::string percentEncodeSegment(std::string_view s, bool keepSlash) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if (isUnreserved(c) || isSubDelim(c) || c == ':' || c == '@' || (keepSlash && c == '/')) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 0xF]);
        }
    }
    return out;
}

}  // namespace

std::optional<std::string> VxResolveURLReference(std::string_view base,
                                                 std::string_view reference) {
    URIParts b, r, t;
    if (!hasOnlyURLCharacters(base) || !hasOnlyURLCharacters(reference)) return std::nullopt;
    if (!splitURI(base, b) || !splitURI(reference, r)) return std::nullopt;
    if (r.hasScheme) {
        t = r;
        t.path = removeDotSegments(r.path);
    } else {
        if (r.hasAuthority) {
            t.hasAuthority = true;
            t.authority = r.authority;
            t.path = removeDotSegments(r.path);
            t.hasQuery = r.hasQuery;
            t.query = r.query;
        } else {
            if (r.path.empty()) {
                t.path = b.path;
                t.hasQuery = r.hasQuery ? true : b.hasQuery;
                t.query = r.hasQuery ? r.query : b.query;
            } else {
                if (r.path[0] == '/') {
                    t.path = removeDotSegments(r.path);
                } else {
                    std::string merged;
                    if (b.hasAuthority && b.path.empty()) {
                        merged = "/" + r.path;
                    } else {
                        std::size_t last = b.path.rfind('/');
                        merged = (last == std::string::npos ? std::string()
                                                            : b.path.substr(0, last + 1)) +
                                 r.path;
                    }
                    t.path = removeDotSegments(merged);
                }
                t.hasQuery = r.hasQuery;
                t.query = r.query;
            }
            t.hasAuthority = b.hasAuthority;
            t.authority = b.authority;
        }
        t.hasScheme = b.hasScheme;
        t.scheme = b.scheme;
    }
    t.hasFragment = r.hasFragment;
    t.fragment = r.fragment;
    return recompose(t);
}

bool VxURL::parseAbsolute(std::string_view text) {
    URIParts p;
    if (!hasOnlyURLCharacters(text) || !splitURI(text, p)) return false;
    scheme_ = p.scheme;
    hasAuthority_ = p.hasAuthority;
    path_ = p.path;
    hasQuery_ = p.hasQuery;
    query_ = p.query;
    hasFragment_ = p.hasFragment;
    fragment_ = p.fragment;
    userinfo_.clear();
    host_.clear();
    port_.clear();
    if (p.hasAuthority) {
        std::string_view a = p.authority;
        std::size_t at = a.rfind('@');
        if (at != std::string_view::npos) {
            userinfo_ = std::string(a.substr(0, at));
            a.remove_prefix(at + 1);
        }
        if (!a.empty() && a[0] == '[') {
            std::size_t close = a.find(']');
            if (close == std::string_view::npos) return false;
            host_ = std::string(a.substr(1, close - 1));
            a.remove_prefix(close + 1);
            if (!a.empty() && a[0] != ':') return false;
        } else {
            std::size_t colon = a.find(':');
            host_ = std::string(a.substr(0, colon));
            a.remove_prefix(colon == std::string_view::npos ? a.size() : colon);
        }
        if (!a.empty()) {
            if (a[0] == '[' || a[0] == ']') return false;
            port_ = std::string(a.substr(1));
            for (unsigned char c : port_) {
                if (!std::isdigit(c)) return false;
            }
            if (port_.size() > 5 || (!port_.empty() && std::stoi(port_) > 65535)) return false;
        }
        if (host_.find_first_of("[]") != std::string::npos) return false;
    }
    return true;
}

VxURLPtr VxURL::URLWithString(std::string_view text, const VxURLPtr& baseURL) {
    if (text.empty() && !baseURL) return nullptr;
    auto url = std::make_shared<VxURL>();
    url->relative_ = std::string(text);
    if (baseURL) {
        auto resolved = VxResolveURLReference(baseURL->absoluteString(), text);
        if (!resolved) return nullptr;
        url->absolute_ = *resolved;
        url->base_ = baseURL;
    } else {
        url->absolute_ = url->relative_;
    }
    if (!url->parseAbsolute(url->absolute_)) return nullptr;
    // The relative text must itself be a well-formed reference.
    if (baseURL) {
        URIParts check;
        if (!hasOnlyURLCharacters(text) || !splitURI(text, check)) return nullptr;
    }
    return url;
}

VxURLPtr VxURL::fileURLWithPath(std::string_view path, bool isDirectory) {
    std::string p(path);
    if (p.empty() || p[0] != '/') {
        char cwd[4096];
        if (::getcwd(cwd, sizeof cwd)) p = std::string(cwd) + "/" + p;
    }
    if (isDirectory && (p.empty() || p.back() != '/')) p += "/";
    return URLWithString("file://" + percentEncodeSegment(p, true));
}

VxURLPtr VxURL::absoluteURL() const {
    if (!base_)
        return std::const_pointer_cast<VxURL>(
            std::static_pointer_cast<const VxURL>(shared_from_this()));
    return URLWithString(absolute_);
}

VxStringPtr VxURL::scheme() const {
    return scheme_.empty() ? nullptr : vxstr(scheme_);
}
VxStringPtr VxURL::host() const {
    return hasAuthority_ && !host_.empty() ? vxstr(percentDecodeLenient(host_)) : nullptr;
}
std::optional<int> VxURL::port() const {
    if (port_.empty()) return std::nullopt;
    return std::stoi(port_);
}
VxStringPtr VxURL::user() const {
    if (userinfo_.empty()) return nullptr;
    return vxstr(percentDecodeLenient(userinfo_.substr(0, userinfo_.find(':'))));
}
VxStringPtr VxURL::password() const {
    std::size_t colon = userinfo_.find(':');
    if (colon == std::string::npos) return nullptr;
    return vxstr(percentDecodeLenient(userinfo_.substr(colon + 1)));
}
std::string VxURL::path() const {
    return percentDecodeLenient(path_);
}
VxStringPtr VxURL::query() const {
    return hasQuery_ ? vxstr(query_) : nullptr;
}
VxStringPtr VxURL::fragment() const {
    return hasFragment_ ? vxstr(fragment_) : nullptr;
}

std::string VxURL::lastPathComponent() const {
    std::string p = path();
    if (p.empty()) return "";
    if (p == "/") return "/";
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    std::size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string VxURL::pathExtension() const {
    std::string last = lastPathComponent();
    std::size_t dot = last.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == last.size()) return "";
    return last.substr(dot + 1);
}

bool VxURL::isFileURL() const {
    std::string s = scheme_;
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s == "file";
}

VxURLPtr VxURL::URLByAppendingPathComponent(std::string_view component, bool isDirectory) const {
    URIParts p;
    splitURI(absolute_, p);
    if (p.path.empty() || p.path.back() != '/') p.path += "/";
    p.path += percentEncodeSegment(component, false);
    if (isDirectory && !component.empty() && p.path.back() != '/') p.path += "/";
    p.hasFragment = false;
    return URLWithString(recompose(p));
}

bool VxURL::isEqual(const VxObject& other) const {
    auto* u = dynamic_cast<const VxURL*>(&other);
    return u && u->relative_ == relative_ && vxEqual(u->base_, base_);
}

std::size_t VxURL::hash() const {
    return std::hash<std::string>()(relative_);
}

std::string VxURL::description() const {
    return base_ ? relative_ + " -- " + base_->description() : relative_;
}

// ===========================================================================
// Releasing the elements of containers

namespace {

// Destroying a container releases its elements, which may be containers that
// release theirs: a deeply nested tree would recurse once per level. Below
// kNestedReleases nested releases on a thread, elements are released at once;
// deeper down they are parked, and the outermost release empties the parking
// list in a loop, so the stack stays bounded whatever the depth.
constexpr int kNestedReleases = 256;
thread_local int tReleaseDepth __attribute__((tls_model("initial-exec"))) = 0;
thread_local std::vector<Id>* tParked __attribute__((tls_model("initial-exec"))) = nullptr;

void releaseElements(std::vector<Id>& elements) {
    if (elements.empty()) return;
    if (tReleaseDepth >= kNestedReleases) {
        if (!tParked) tParked = new std::vector<Id>();
        for (Id& e : elements)
            if (e.use_count() == 1) tParked->push_back(std::move(e));
        elements.clear();
        return;
    }
    ++tReleaseDepth;
    elements.clear();
    if (tReleaseDepth == 1) {
        while (tParked) {
            std::unique_ptr<std::vector<Id>> batch(tParked);
            tParked = nullptr;
            batch->clear();
        }
    }
    --tReleaseDepth;
}

}  // namespace

// ===========================================================================
// Arrays

VxArray::VxArray(std::vector<Id> items) : items_(std::move(items)) {
    for (auto& item : items_) {
        if (!item) item = VxNull::null();
    }
}

VxArray::~VxArray() {
    releaseElements(items_);
}

VxArrayPtr VxArray::array() {
    return std::make_shared<VxArray>();
}
VxArrayPtr VxArray::arrayWithObjects(std::vector<Id> items) {
    return std::make_shared<VxArray>(std::move(items));
}
VxArrayPtr VxArray::arrayWithObjects(std::initializer_list<Id> items) {
    return std::make_shared<VxArray>(std::vector<Id>(items));
}

bool VxArray::containsObject(const Id& obj) const {
    return indexOfObject(obj) != npos;
}

std::size_t VxArray::indexOfObject(const Id& obj) const {
    for (std::size_t i = 0; i < items_.size(); ++i) {
        if (vxEqual(items_[i], obj)) return i;
    }
    return npos;
}

bool VxArray::isEqual(const VxObject& other) const {
    auto* a = dynamic_cast<const VxArray*>(&other);
    if (!a || a->items_.size() != items_.size()) return false;
    for (std::size_t i = 0; i < items_.size(); ++i) {
        if (!vxEqual(items_[i], a->items_[i])) return false;
    }
    return true;
}

std::string VxArray::description() const {
    std::string out;
    describe(self(), 0, out);
    return out;
}

std::string VxArray::descriptionInline() const {
    std::string out;
    describeInline(self(), out);
    return out;
}

Id VxArray::copyWithZone(void*) const {
    if (isMemberOfClass(VxArray::classObject())) return self();
    return std::make_shared<VxArray>(items_);
}

Id VxArray::mutableCopyWithZone(void*) const {
    return std::make_shared<VxMutableArray>(items_);
}

VxMutableArrayPtr VxMutableArray::array() {
    return std::make_shared<VxMutableArray>();
}

VxMutableArrayPtr VxMutableArray::arrayWithCapacity(std::size_t capacity) {
    auto a = std::make_shared<VxMutableArray>();
    a->items_.reserve(capacity);
    return a;
}

void VxMutableArray::addObject(const Id& obj) {
    items_.push_back(obj ? obj : Id(VxNull::null()));
}

void VxMutableArray::insertObject(const Id& obj, std::size_t atIndex) {
    if (atIndex > items_.size()) atIndex = items_.size();
    items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(atIndex),
                  obj ? obj : Id(VxNull::null()));
}

void VxMutableArray::replaceObjectAtIndex(std::size_t index, const Id& withObject) {
    if (index < items_.size()) items_[index] = withObject ? withObject : Id(VxNull::null());
}

void VxMutableArray::removeObjectAtIndex(std::size_t index) {
    if (index < items_.size()) items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
}

void VxMutableArray::removeObject(const Id& obj) {
    items_.erase(
        std::remove_if(items_.begin(), items_.end(), [&](const Id& e) { return vxEqual(e, obj); }),
        items_.end());
}

void VxMutableArray::removeLastObject() {
    if (!items_.empty()) items_.pop_back();
}

void VxMutableArray::addObjectsFromArray(const VxArray& other) {
    items_.insert(items_.end(), other.items().begin(), other.items().end());
}

// ===========================================================================
// Ordered hash table

namespace {

// Spreads a hash over the index (hashes of small integers are the integers).
std::size_t slotOf(std::size_t hash, std::size_t mask) {
    return static_cast<std::size_t>((static_cast<std::uint64_t>(hash) * 0x9E3779B97F4A7C15ULL) >>
                                    17) &
           mask;
}

}  // namespace

template <class Match>
std::size_t VxOrderedTable::lookup(std::size_t hash, const Match& match) const {
    if (slots_.empty()) {
        for (std::size_t i = 0; i < hashes_.size(); ++i)
            if (hashes_[i] == hash && match(i)) return i;
        return npos;
    }
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t p = slotOf(hash, mask);; p = (p + 1) & mask) {
        const std::uint32_t slot = slots_[p];
        if (slot == 0) return npos;
        const std::size_t i = slot - 1;
        if (hashes_[i] == hash && match(i)) return i;
    }
}

std::size_t VxOrderedTable::find(const VxObject& key, std::size_t hash) const {
    return lookup(hash, [&](std::size_t i) { return keys_[i]->isEqual(key); });
}

std::size_t VxOrderedTable::findString(std::string_view key) const {
    return lookup(std::hash<std::string_view>()(key), [&](std::size_t i) {
        const VxObject& k = *keys_[i];
        return k.isKindOfClass(VxString::classObject()) &&
               static_cast<const VxString&>(k).str() == key;
    });
}

std::size_t VxOrderedTable::append(Id key, std::size_t hash) {
    keys_.push_back(std::move(key));
    hashes_.push_back(hash);
    indexPosition(keys_.size() - 1);
    return keys_.size() - 1;
}

void VxOrderedTable::indexPosition(std::size_t position) {
    // The index is kept at most half full.
    if (keys_.size() <= kLinearLimit && slots_.empty()) return;
    if (keys_.size() * 2 > slots_.size()) {
        rebuildIndex(keys_.size());
        return;
    }
    const std::size_t mask = slots_.size() - 1;
    std::size_t p = slotOf(hashes_[position], mask);
    while (slots_[p] != 0) p = (p + 1) & mask;
    slots_[p] = static_cast<std::uint32_t>(position + 1);
}

void VxOrderedTable::erase(std::size_t position) {
    if (position >= keys_.size()) return;
    keys_.erase(keys_.begin() + static_cast<std::ptrdiff_t>(position));
    hashes_.erase(hashes_.begin() + static_cast<std::ptrdiff_t>(position));
    rebuildIndex(keys_.size());
}

void VxOrderedTable::clear() {
    keys_.clear();
    hashes_.clear();
    slots_.clear();
}

void VxOrderedTable::reserve(std::size_t n) {
    keys_.reserve(n);
    hashes_.reserve(n);
    if (n > kLinearLimit && n * 2 > slots_.size()) rebuildIndex(n);
}

void VxOrderedTable::rebuildIndex(std::size_t capacity) {
    capacity = std::max(capacity, keys_.size());
    if (capacity <= kLinearLimit) {
        slots_.clear();
        return;
    }
    std::size_t size = 32;
    while (size < capacity * 2) size *= 2;
    slots_.assign(size, 0);
    const std::size_t mask = size - 1;
    for (std::size_t i = 0; i < keys_.size(); ++i) {
        std::size_t p = slotOf(hashes_[i], mask);
        while (slots_[p] != 0) p = (p + 1) & mask;
        slots_[p] = static_cast<std::uint32_t>(i + 1);
    }
}

// ===========================================================================
// Dictionaries

VxDictionary::~VxDictionary() {
    releaseElements(values_);
}

VxDictionaryPtr VxDictionary::dictionary() {
    return std::make_shared<VxDictionary>();
}

VxDictionaryPtr VxDictionary::dictionaryWithPairs(std::vector<std::pair<Id, Id>> pairs) {
    auto d = std::make_shared<VxDictionary>();
    d->table_.reserve(pairs.size());
    for (auto& [k, v] : pairs) d->set(v, k);
    return d;
}

VxDictionaryPtr VxDictionary::dictionaryByTakingKeys(std::span<Id> keys, std::span<Id> values) {
    auto d = std::make_shared<VxDictionary>();
    d->take(keys, values);
    return d;
}

void VxDictionary::take(std::span<Id> keys, std::span<Id> values) {
    const std::size_t n = std::min(keys.size(), values.size());
    table_.reserve(table_.size() + n);
    values_.reserve(values_.size() + n);
    for (std::size_t i = 0; i < n; ++i) {
        Id& key = keys[i];
        if (!key) continue;
        Id value = values[i] ? std::move(values[i]) : Id(VxNull::null());
        const std::size_t hash = key->hash();
        const std::size_t pos = table_.find(*key, hash);
        if (pos != VxOrderedTable::npos) {
            values_[pos] = std::move(value);
            continue;
        }
        // A text is immutable: its copy would be itself.
        if (key->isMemberOfClass(VxString::classObject()))
            table_.append(std::move(key), hash);
        else
            table_.append(key->copy(), hash);
        values_.push_back(std::move(value));
    }
}

VxDictionaryPtr VxDictionary::dictionaryWithPairs(
    std::initializer_list<std::pair<std::string, Id>> pairs) {
    auto d = std::make_shared<VxDictionary>();
    for (const auto& [k, v] : pairs) d->set(v, vxstr(k));
    return d;
}

void VxDictionary::set(const Id& value, const Id& key) {
    if (!key) return;
    Id storedValue = value ? value : Id(VxNull::null());
    const std::size_t hash = key->hash();
    std::size_t pos = table_.find(*key, hash);
    if (pos != VxOrderedTable::npos) {
        values_[pos] = std::move(storedValue);
        return;
    }
    table_.append(key->copy(), hash);
    values_.push_back(std::move(storedValue));
}

Id VxDictionary::objectForKey(const Id& key) const {
    if (!key) return nullptr;
    std::size_t pos = table_.find(*key);
    return pos == VxOrderedTable::npos ? nullptr : values_[pos];
}

Id VxDictionary::objectForKey(std::string_view key) const {
    std::size_t pos = table_.findString(key);
    return pos == VxOrderedTable::npos ? nullptr : values_[pos];
}

VxArrayPtr VxDictionary::allKeys() const {
    return VxArray::arrayWithObjects(table_.keys());
}
VxArrayPtr VxDictionary::allValues() const {
    return VxArray::arrayWithObjects(values_);
}

bool VxDictionary::isEqual(const VxObject& other) const {
    auto* d = dynamic_cast<const VxDictionary*>(&other);
    if (!d || d->count() != count()) return false;
    for (std::size_t i = 0; i < values_.size(); ++i) {
        if (!vxEqual(values_[i], d->objectForKey(table_.keys()[i]))) return false;
    }
    return true;
}

std::string VxDictionary::description() const {
    std::string out;
    describe(self(), 0, out);
    return out;
}

std::string VxDictionary::descriptionInline() const {
    std::string out;
    describeInline(self(), out);
    return out;
}

Id VxDictionary::copyWithZone(void*) const {
    if (isMemberOfClass(VxDictionary::classObject())) return self();
    auto d = std::make_shared<VxDictionary>();
    d->table_ = table_;
    d->values_ = values_;
    return d;
}

Id VxDictionary::mutableCopyWithZone(void*) const {
    auto d = std::make_shared<VxMutableDictionary>();
    d->table_ = table_;
    d->values_ = values_;
    return d;
}

VxMutableDictionaryPtr VxMutableDictionary::dictionary() {
    return std::make_shared<VxMutableDictionary>();
}

VxMutableDictionaryPtr VxMutableDictionary::dictionaryByTakingKeys(std::span<Id> keys,
                                                                   std::span<Id> values) {
    auto d = std::make_shared<VxMutableDictionary>();
    d->take(keys, values);
    return d;
}

VxMutableDictionaryPtr VxMutableDictionary::dictionaryWithCapacity(std::size_t capacity) {
    auto d = std::make_shared<VxMutableDictionary>();
    d->table_.reserve(capacity);
    d->values_.reserve(capacity);
    return d;
}

void VxMutableDictionary::setObject(const Id& value, const Id& forKey) {
    if (!value) {
        removeObjectForKey(forKey);
        return;
    }
    set(value, forKey);
}

void VxMutableDictionary::setObject(const Id& value, std::string_view forKey) {
    if (!value) {
        removeObjectForKey(forKey);
        return;
    }
    std::size_t pos = table_.findString(forKey);
    if (pos != VxOrderedTable::npos) {
        values_[pos] = value;
        return;
    }
    table_.append(vxstr(std::string(forKey)));
    values_.push_back(value);
}

void VxMutableDictionary::removeObjectForKey(const Id& key) {
    if (!key) return;
    std::size_t pos = table_.find(*key);
    if (pos == VxOrderedTable::npos) return;
    table_.erase(pos);
    values_.erase(values_.begin() + static_cast<std::ptrdiff_t>(pos));
}

void VxMutableDictionary::removeObjectForKey(std::string_view key) {
    std::size_t pos = table_.findString(key);
    if (pos == VxOrderedTable::npos) return;
    table_.erase(pos);
    values_.erase(values_.begin() + static_cast<std::ptrdiff_t>(pos));
}

void VxMutableDictionary::removeAllObjects() {
    table_.clear();
    values_.clear();
}

void VxMutableDictionary::addEntriesFromDictionary(const VxDictionary& other) {
    other.enumerateKeysAndObjects([&](const Id& k, const Id& v) { set(v, k); });
}

// ===========================================================================
// Sets

VxSetPtr VxSet::setWithObjects(std::vector<Id> items) {
    auto s = std::make_shared<VxSet>();
    for (auto& i : items) s->add(i);
    return s;
}

void VxSet::add(const Id& obj) {
    if (obj && table_.find(*obj) == VxOrderedTable::npos) table_.append(obj->copy());
}

bool VxSet::containsObject(const Id& obj) const {
    return obj && table_.find(*obj) != VxOrderedTable::npos;
}

Id VxSet::member(const Id& obj) const {
    if (!obj) return nullptr;
    std::size_t pos = table_.find(*obj);
    return pos == VxOrderedTable::npos ? nullptr : table_.keys()[pos];
}

VxArrayPtr VxSet::allObjectsArray() const {
    return VxArray::arrayWithObjects(table_.keys());
}

bool VxSet::isEqual(const VxObject& other) const {
    auto* s = dynamic_cast<const VxSet*>(&other);
    if (!s || s->count() != count()) return false;
    for (const auto& k : table_.keys()) {
        if (!s->containsObject(k)) return false;
    }
    return true;
}

std::string VxSet::description() const {
    std::string out;
    describe(self(), 0, out);
    return out;
}

Id VxSet::copyWithZone(void*) const {
    if (isMemberOfClass(VxSet::classObject())) return self();
    auto s = std::make_shared<VxSet>();
    s->table_ = table_;
    return s;
}

Id VxSet::mutableCopyWithZone(void*) const {
    auto s = std::make_shared<VxMutableSet>();
    s->table_ = table_;
    return s;
}

VxMutableSetPtr VxMutableSet::set() {
    return std::make_shared<VxMutableSet>();
}

void VxMutableSet::removeObject(const Id& obj) {
    if (!obj) return;
    table_.erase(table_.find(*obj));
}

VxOrderedSetPtr VxOrderedSet::orderedSetWithObjects(std::vector<Id> items) {
    auto s = std::make_shared<VxOrderedSet>();
    for (auto& i : items) s->add(i);
    return s;
}

void VxOrderedSet::add(const Id& obj) {
    if (obj && table_.find(*obj) == VxOrderedTable::npos) table_.append(obj->copy());
}

bool VxOrderedSet::containsObject(const Id& obj) const {
    return obj && table_.find(*obj) != VxOrderedTable::npos;
}

std::size_t VxOrderedSet::indexOfObject(const Id& obj) const {
    return obj ? table_.find(*obj) : npos;
}

bool VxOrderedSet::isEqual(const VxObject& other) const {
    auto* s = dynamic_cast<const VxOrderedSet*>(&other);
    if (!s || s->count() != count()) return false;
    for (std::size_t i = 0; i < count(); ++i) {
        if (!vxEqual(objectAtIndex(i), s->objectAtIndex(i))) return false;
    }
    return true;
}

std::string VxOrderedSet::description() const {
    std::string out;
    describe(self(), 0, out);
    return out;
}

Id VxOrderedSet::copyWithZone(void*) const {
    if (isMemberOfClass(VxOrderedSet::classObject())) return self();
    auto s = std::make_shared<VxOrderedSet>();
    s->table_ = table_;
    return s;
}

Id VxOrderedSet::mutableCopyWithZone(void*) const {
    auto s = std::make_shared<VxMutableOrderedSet>();
    s->table_ = table_;
    return s;
}

VxMutableOrderedSetPtr VxMutableOrderedSet::orderedSet() {
    return std::make_shared<VxMutableOrderedSet>();
}

void VxMutableOrderedSet::removeObject(const Id& obj) {
    if (!obj) return;
    table_.erase(table_.find(*obj));
}

// ===========================================================================
// Value box

VxValuePtr VxValue::valueWithBytes(const void* bytes, std::size_t size, std::string_view objCType) {
    auto v = std::make_shared<VxValue>();
    auto p = static_cast<const std::uint8_t*>(bytes);
    if (size) v->bytes_.assign(p, p + size);
    v->type_ = std::string(objCType);
    return v;
}

VxValuePtr VxValue::valueWithPointer(const void* pointer) {
    return valueWithValue(pointer, "^v");
}

void VxValue::getValue(void* buffer, std::size_t size) const {
    std::memset(buffer, 0, size);
    std::memcpy(buffer, bytes_.data(), std::min(size, bytes_.size()));
}

bool VxValue::isEqual(const VxObject& other) const {
    auto* v = dynamic_cast<const VxValue*>(&other);
    return v && v->type_ == type_ && v->bytes_ == bytes_;
}

std::size_t VxValue::hash() const {
    return hashCombine(std::hash<std::string>()(type_),
                       std::hash<std::string_view>()(std::string_view(
                           reinterpret_cast<const char*>(bytes_.data()), bytes_.size())));
}

std::string VxValue::description() const {
    static const char* hex = "0123456789abcdef";
    std::string out = "<";
    for (std::size_t i = 0; i < bytes_.size(); ++i) {
        if (i && i % 4 == 0) out.push_back(' ');
        out.push_back(hex[bytes_[i] >> 4]);
        out.push_back(hex[bytes_[i] & 0xF]);
    }
    return out + ">";
}

// ===========================================================================
// Helpers

namespace vx {

bool isNull(const Id& obj) {
    return obj && obj.get() == VxNull::null().get();
}

bool isNilOrEmpty(const Id& obj) {
    if (!obj || isNull(obj)) return true;
    if (auto s = dynamic_cast<const VxString*>(obj.get())) return s->empty();
    if (auto d = dynamic_cast<const VxData*>(obj.get())) return d->length() == 0;
    if (auto a = dynamic_cast<const VxArray*>(obj.get())) return a->empty();
    if (auto d = dynamic_cast<const VxDictionary*>(obj.get())) return d->empty();
    if (auto s = dynamic_cast<const VxSet*>(obj.get())) return s->count() == 0;
    if (auto s = dynamic_cast<const VxOrderedSet*>(obj.get())) return s->count() == 0;
    return false;
}

VxStringPtr nonEmptyString(const Id& obj) {
    auto s = vx_cast<VxString>(obj);
    return s && !s->empty() ? s : nullptr;
}

std::string textOf(const Id& obj) {
    if (auto s = dynamic_cast<const VxString*>(obj.get())) return s->str();
    return vxDescription(obj);
}

Id null() {
    return VxNull::null();
}

}  // namespace vx
