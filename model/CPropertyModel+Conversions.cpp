// Per-class formatters, the text conversions and the CSV rows of records.

#include <mutex>

#include <unicode/locid.h>
#include <unicode/numfmt.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include "model/CPropertyModel.h"
#include "model/CPropertyModelPrivate.h"

const char* const CPropertyModelDefaultDateFormat = "yyyy-MM-dd'T'HH:mm:ssZ";
const char* const CSVdelimiterStr = ",";
const char* const CSVlineEndingStr = "\n";

using State = CPropertyModel::ClassState;

namespace {

// One lock per formatter kind, shared by every record class.
std::mutex& dateLock() {
    static std::mutex m;
    return m;
}
std::mutex& numberLock() {
    static std::mutex m;
    return m;
}
std::mutex& decimalLock() {
    static std::mutex m;
    return m;
}

std::string toUTF8(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

icu::UnicodeString upperCased(const VxStringPtr& text) {
    icu::UnicodeString u = icu::UnicodeString::fromUTF8(text->str());
    u.toUpper(icu::Locale::getRoot());
    return u;
}

std::unique_ptr<icu::NumberFormat> makeNumberFormatter(bool decimalStyle) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::NumberFormat> fmt(
        icu::NumberFormat::createInstance(icu::Locale::getDefault(), UNUM_DECIMAL, status));
    if (U_FAILURE(status) || !fmt) return nullptr;
    if (!decimalStyle) {
        // Style none: integer digits only, no grouping.
        fmt->setGroupingUsed(false);
        fmt->setMinimumFractionDigits(0);
        fmt->setMaximumFractionDigits(0);
    }
    return fmt;
}

// Formats a number with an ICU formatter; nothing when ICU refuses.
VxStringPtr formatNumber(const icu::NumberFormat& fmt, const icu::Formattable& value) {
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString out;
    fmt.format(value, out, status);
    if (U_FAILURE(status)) return nullptr;
    return vxstr(toUTF8(out));
}

}  // namespace

namespace cpm_detail {

void makeFormatters(State& st) {
    VxStringPtr pattern = st.hooks.dateFormatString ? st.hooks.dateFormatString() : nullptr;
    if (!pattern) pattern = vxstr(CPropertyModelDefaultDateFormat);
    {
        UErrorCode status = U_ZERO_ERROR;
        auto fmt = std::make_unique<icu::SimpleDateFormat>(
            icu::UnicodeString::fromUTF8(pattern->str()), status);
        if (U_SUCCESS(status)) {
            icu::Locale posix("en_US_POSIX");
            if (!posix.isBogus()) {
                // Re-create with the fixed locale so that pattern symbols use it.
                UErrorCode localeStatus = U_ZERO_ERROR;
                auto localized = std::make_unique<icu::SimpleDateFormat>(
                    icu::UnicodeString::fromUTF8(pattern->str()), posix, localeStatus);
                if (U_SUCCESS(localeStatus)) fmt = std::move(localized);
            }
            fmt->adoptTimeZone(icu::TimeZone::getGMT()->clone());
            fmt->setLenient(false);
            std::lock_guard lock(dateLock());
            st.dateFormatter = std::move(fmt);
        }
    }
    if (auto fmt = makeNumberFormatter(false)) {
        std::lock_guard lock(numberLock());
        st.numberFormatter = std::move(fmt);
    }
    if (auto fmt = makeNumberFormatter(true)) {
        std::lock_guard lock(decimalLock());
        st.decimalFormatter = std::move(fmt);
    }
}

}  // namespace cpm_detail

namespace {

State* initializedState(const VxClass& cls) {
    CPropertyModel::initializeClass(cls);
    return cpm_detail::stateFor(cls);
}

}  // namespace

VxStringPtr CPropertyModel::dateFormatString(const VxClass& cls) {
    State* st = initializedState(cls);
    VxStringPtr pattern = st && st->hooks.dateFormatString ? st->hooks.dateFormatString() : nullptr;
    return pattern ? pattern : vxstr(CPropertyModelDefaultDateFormat);
}

VxDatePtr CPropertyModel::dateFromString(const VxClass& cls, const VxStringPtr& string) {
    if (!string || string->empty()) return nullptr;
    State* st = initializedState(cls);
    if (!st) return nullptr;
    icu::UnicodeString text = upperCased(string);
    std::lock_guard lock(dateLock());
    if (!st->dateFormatter) return nullptr;
    icu::ParsePosition pos(0);
    UDate when = st->dateFormatter->parse(text, pos);
    if (pos.getErrorIndex() >= 0 || pos.getIndex() != text.length()) return nullptr;
    return VxDate::dateWithTimeIntervalSince1970(when / 1000.0);
}

VxStringPtr CPropertyModel::stringFromDate(const VxClass& cls, const VxDatePtr& date) {
    if (!date) return nullptr;
    State* st = initializedState(cls);
    if (!st) return nullptr;
    std::lock_guard lock(dateLock());
    if (!st->dateFormatter) return nullptr;
    icu::UnicodeString out;
    st->dateFormatter->format(date->timeIntervalSince1970() * 1000.0, out);
    return vxstr(toUTF8(out));
}

VxNumberPtr CPropertyModel::numberFromString(const VxClass& cls, const VxStringPtr& string) {
    if (!string || string->empty()) return nullptr;
    State* st = initializedState(cls);
    if (!st) return nullptr;
    icu::UnicodeString text = upperCased(string);
    std::lock_guard lock(numberLock());
    if (!st->numberFormatter) return nullptr;
    icu::Formattable result;
    icu::ParsePosition pos(0);
    st->numberFormatter->parse(text, result, pos);
    if (pos.getErrorIndex() >= 0 || pos.getIndex() != text.length()) return nullptr;
    UErrorCode status = U_ZERO_ERROR;
    switch (result.getType()) {
        case icu::Formattable::kLong:
        case icu::Formattable::kInt64: {
            std::int64_t v = result.getInt64(status);
            if (U_FAILURE(status)) return nullptr;
            return VxNumber::numberWithLong(v);
        }
        case icu::Formattable::kDouble:
            return VxNumber::numberWithDouble(result.getDouble());
        default:
            return nullptr;
    }
}

VxStringPtr CPropertyModel::stringFromNumber(const VxClass& cls, const VxNumberPtr& number) {
    if (!number) return nullptr;
    State* st = initializedState(cls);
    if (!st) return nullptr;
    std::lock_guard lock(numberLock());
    if (!st->numberFormatter) return nullptr;
    if (number->isFloatingPoint())
        return formatNumber(*st->numberFormatter, icu::Formattable(number->doubleValue()));
    if (number->isUnsignedInteger() && number->unsignedLongLongValue() > INT64_MAX) {
        UErrorCode status = U_ZERO_ERROR;
        icu::Formattable big(icu::StringPiece(number->stringValue()), status);
        if (U_FAILURE(status)) return nullptr;
        return formatNumber(*st->numberFormatter, big);
    }
    return formatNumber(*st->numberFormatter,
                        icu::Formattable(static_cast<int64_t>(number->longLongValue())));
}

VxDecimalNumberPtr CPropertyModel::decimalNumberFromString(const VxClass& cls,
                                                           const VxStringPtr& string) {
    if (!string || string->empty()) return nullptr;
    if (!initializedState(cls)) return nullptr;
    std::string upper = toUTF8(upperCased(string));
    std::lock_guard lock(decimalLock());
    return VxDecimalNumber::decimalNumberWithString(upper);
}

VxStringPtr CPropertyModel::stringFromDecimalNumber(const VxClass& cls,
                                                    const VxDecimalNumberPtr& number) {
    if (!number) return nullptr;
    State* st = initializedState(cls);
    if (!st) return nullptr;
    std::lock_guard lock(decimalLock());
    if (!st->decimalFormatter) return nullptr;
    if (number->isNaN())
        return formatNumber(*st->decimalFormatter,
                            icu::Formattable(std::numeric_limits<double>::quiet_NaN()));
    UErrorCode status = U_ZERO_ERROR;
    icu::Formattable value(icu::StringPiece(number->stringValue()), status);
    if (U_FAILURE(status)) return nullptr;
    return formatNumber(*st->decimalFormatter, value);
}

// ---------------------------------------------------------------------------
// CSV rows

namespace {

// A field as it is written into a row: unchanged, or as a quoted field (inner
// double quotes doubled) when it holds a delimiter, a double quote or a line
// break, so that such a value cannot break the document apart.
void appendField(std::string& row, std::string_view field) {
    if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
        row.append(field);
        return;
    }
    row.push_back('"');
    for (char c : field) {
        if (c == '"') row.push_back('"');
        row.push_back(c);
    }
    row.push_back('"');
}

std::string textForCSV(const Id& value) {
    if (auto text = vx_cast<VxString>(value)) return text->str();
    return value->descriptionInline();
}

}  // namespace

VxStringPtr CPropertyModel::propertyNamesToCSV() const {
    const VxClass& cls = isa();
    VxArrayPtr names = orderedPrintNames(cls);
    if (!names) names = orderedPropertyNames(cls);
    if (!names) names = propertyNames(cls);
    if (!names) return nullptr;
    std::string row;
    const std::size_t n = names->count();
    for (std::size_t i = 0; i < n; ++i) {
        const Id& entry = names->objectAtIndex(i);
        if (vx::isNull(entry)) continue;
        appendField(row, textForCSV(entry));
        if (i + 1 < n) row += CSVdelimiterStr;
    }
    row += CSVlineEndingStr;
    return vxstr(std::move(row));
}

VxStringPtr CPropertyModel::propertyValuesToCSV() const {
    const VxClass& cls = isa();
    VxArrayPtr names = orderedPropertyNames(cls);
    if (!names) names = propertyNames(cls);
    if (!names) return nullptr;
    std::string row;
    const std::size_t n = names->count();
    for (std::size_t i = 0; i < n; ++i) {
        auto name = vx_cast<VxString>(names->objectAtIndex(i));
        Id value = name ? cpm_priv_getValueForProperty(name->str()) : nullptr;
        if (!value || vx::isNull(value))
            row += " ";
        else
            appendField(row, textForCSV(value));
        if (i + 1 < n) row += CSVdelimiterStr;
    }
    row += CSVlineEndingStr;
    return vxstr(std::move(row));
}
