// Per-class formatters, the text conversions and the CSV rows of records.

#include <limits>
#include <mutex>

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

// The class's date formatter (under the date lock): the class's pattern in
// "en_US_POSIX" (the process's default locale when that one does not work) and
// GMT, strict.
const vx::text::DateFormat& dateFormatter(State& st) {
    auto& f = st.dateFormatter;
    if (!f.made && st.datePattern) {
        f.made = true;
        f.format = vx::text::makeDateFormat(st.datePattern->str(), "en_US_POSIX", 0);
        if (!f.format) f.format = vx::text::makeDateFormat(st.datePattern->str(), "", 0);
    }
    return f.format;
}

// A number formatter of the class (under its kind's lock): integer digits only,
// no grouping, or the locale's decimal style.
const vx::text::NumberFormat& numberFormatter(const State& st,
                                              State::Formatter<vx::text::NumberFormat>& f,
                                              VxTextNumberStyle style) {
    if (!f.made && st.datePattern) {
        f.made = true;
        f.format = vx::text::makeNumberFormat(style);
    }
    return f.format;
}

VxStringPtr textOrNothing(std::optional<std::string> text) {
    return text ? vxstr(std::move(*text)) : nullptr;
}

}  // namespace

namespace cpm_detail {

void prepareFormatters(State& st) {
    VxStringPtr pattern = st.hooks.dateFormatString ? st.hooks.dateFormatString() : nullptr;
    st.datePattern = pattern ? pattern : vxstr(CPropertyModelDefaultDateFormat);
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
    auto text = vx::text::upperCased(string->str());
    if (!text) return nullptr;
    std::lock_guard lock(dateLock());
    auto when = vx::text::parseDate(dateFormatter(*st), *text);
    return when ? VxDate::dateWithTimeIntervalSince1970(*when) : nullptr;
}

VxStringPtr CPropertyModel::stringFromDate(const VxClass& cls, const VxDatePtr& date) {
    if (!date) return nullptr;
    State* st = initializedState(cls);
    if (!st) return nullptr;
    std::lock_guard lock(dateLock());
    return textOrNothing(vx::text::formatDate(dateFormatter(*st), date->timeIntervalSince1970()));
}

VxNumberPtr CPropertyModel::numberFromString(const VxClass& cls, const VxStringPtr& string) {
    if (!string || string->empty()) return nullptr;
    State* st = initializedState(cls);
    if (!st) return nullptr;
    auto text = vx::text::upperCased(string->str());
    if (!text) return nullptr;
    std::lock_guard lock(numberLock());
    auto number = vx::text::parseNumber(
        numberFormatter(*st, st->numberFormatter, VxTextNumberStyle::integer), *text);
    if (!number) return nullptr;
    return number->isInteger ? VxNumber::numberWithLong(number->integer)
                             : VxNumber::numberWithDouble(number->real);
}

VxStringPtr CPropertyModel::stringFromNumber(const VxClass& cls, const VxNumberPtr& number) {
    if (!number) return nullptr;
    State* st = initializedState(cls);
    if (!st) return nullptr;
    std::lock_guard lock(numberLock());
    const auto& format = numberFormatter(*st, st->numberFormatter, VxTextNumberStyle::integer);
    if (number->isFloatingPoint())
        return textOrNothing(vx::text::formatReal(format, number->doubleValue()));
    if (number->isUnsignedInteger() && number->unsignedLongLongValue() > INT64_MAX)
        return textOrNothing(vx::text::formatDecimalText(format, number->stringValue()));
    return textOrNothing(
        vx::text::formatInteger(format, static_cast<std::int64_t>(number->longLongValue())));
}

VxDecimalNumberPtr CPropertyModel::decimalNumberFromString(const VxClass& cls,
                                                           const VxStringPtr& string) {
    if (!string || string->empty()) return nullptr;
    if (!initializedState(cls)) return nullptr;
    auto upper = vx::text::upperCased(string->str());
    if (!upper) return nullptr;
    std::lock_guard lock(decimalLock());
    return VxDecimalNumber::decimalNumberWithString(*upper);
}

VxStringPtr CPropertyModel::stringFromDecimalNumber(const VxClass& cls,
                                                    const VxDecimalNumberPtr& number) {
    if (!number) return nullptr;
    State* st = initializedState(cls);
    if (!st) return nullptr;
    std::lock_guard lock(decimalLock());
    const auto& format = numberFormatter(*st, st->decimalFormatter, VxTextNumberStyle::decimal);
    if (number->isNaN())
        return textOrNothing(
            vx::text::formatReal(format, std::numeric_limits<double>::quiet_NaN()));
    return textOrNothing(vx::text::formatDecimalText(format, number->stringValue()));
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
