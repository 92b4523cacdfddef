// The text-services module: the functions of VxTextModuleTable on ICU. Built
// as libdiagnostics-text.so, which the library loads on first use; its only
// exported symbol is the entry point that hands out the table.

#include <unicode/locid.h>
#include <unicode/numfmt.h>
#include <unicode/simpletz.h>
#include <unicode/smpdtfmt.h>
#include <unicode/translit.h>
#include <unicode/unistr.h>

#include <cstdint>
#include <limits>
#include <memory>

#include "platform/foundation/VxTextModulePrivate.h"

struct VxTextDateFormat {
    std::unique_ptr<icu::SimpleDateFormat> icu;
};
struct VxTextNumberFormat {
    std::unique_ptr<icu::NumberFormat> icu;
};
struct VxTextTransliterator {
    std::unique_ptr<icu::Transliterator> icu;
};

namespace {

// ICU measures text in 32-bit lengths; longer text is refused.
bool fitsICU(std::string_view text) {
    return text.size() <= static_cast<std::size_t>(std::numeric_limits<int32_t>::max());
}

icu::UnicodeString fromUTF8(std::string_view text) {
    return icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

bool toUTF8(const icu::UnicodeString& text, std::string* out) {
    out->clear();
    text.toUTF8String(*out);
    return true;
}

bool upperCase(std::string_view text, std::string* out) {
    if (!fitsICU(text)) return false;
    icu::UnicodeString u = fromUTF8(text);
    u.toUpper(icu::Locale::getRoot());
    return toUTF8(u, out);
}

bool isUsableLocale(const char* identifier) {
    return !icu::Locale(identifier).isBogus();
}

// ---------------------------------------------------------------------------
// Dates

VxTextDateFormat* makeDateFormat(std::string_view pattern, const char* locale,
                                 std::int32_t secondsFromGMT) {
    const std::int64_t offset = std::int64_t{secondsFromGMT} * 1000;
    if (!fitsICU(pattern) || offset > std::numeric_limits<int32_t>::max() ||
        offset < std::numeric_limits<int32_t>::min())
        return nullptr;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::SimpleDateFormat> format;
    if (*locale)
        format =
            std::make_unique<icu::SimpleDateFormat>(fromUTF8(pattern), icu::Locale(locale), status);
    else
        format = std::make_unique<icu::SimpleDateFormat>(fromUTF8(pattern), status);
    if (U_FAILURE(status)) return nullptr;
    format->adoptTimeZone(
        new icu::SimpleTimeZone(static_cast<int32_t>(offset), icu::UnicodeString("GMT")));
    format->setLenient(false);
    return new VxTextDateFormat{std::move(format)};
}

void releaseDateFormat(VxTextDateFormat* format) {
    delete format;
}

bool formatDate(VxTextDateFormat* format, double secondsSince1970, std::string* out) {
    icu::UnicodeString text;
    format->icu->format(static_cast<UDate>(secondsSince1970 * 1000.0), text);
    return toUTF8(text, out);
}

bool parseDate(VxTextDateFormat* format, std::string_view text, double* secondsSince1970) {
    if (!fitsICU(text)) return false;
    icu::UnicodeString in = fromUTF8(text);
    icu::ParsePosition pos(0);
    UDate when = format->icu->parse(in, pos);
    if (pos.getErrorIndex() >= 0 || pos.getIndex() != in.length()) return false;
    *secondsSince1970 = when / 1000.0;
    return true;
}

// ---------------------------------------------------------------------------
// Numbers

VxTextNumberFormat* makeNumberFormat(VxTextNumberStyle style) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::NumberFormat> format(
        icu::NumberFormat::createInstance(icu::Locale::getDefault(), UNUM_DECIMAL, status));
    if (U_FAILURE(status) || !format) return nullptr;
    if (style == VxTextNumberStyle::integer) {
        format->setGroupingUsed(false);
        format->setMinimumFractionDigits(0);
        format->setMaximumFractionDigits(0);
    }
    return new VxTextNumberFormat{std::move(format)};
}

void releaseNumberFormat(VxTextNumberFormat* format) {
    delete format;
}

bool formatNumber(VxTextNumberFormat* format, const icu::Formattable& value, std::string* out) {
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString text;
    format->icu->format(value, text, status);
    return U_SUCCESS(status) && toUTF8(text, out);
}

bool formatInteger(VxTextNumberFormat* format, std::int64_t value, std::string* out) {
    return formatNumber(format, icu::Formattable(static_cast<int64_t>(value)), out);
}

bool formatReal(VxTextNumberFormat* format, double value, std::string* out) {
    return formatNumber(format, icu::Formattable(value), out);
}

bool formatDecimalText(VxTextNumberFormat* format, std::string_view digits, std::string* out) {
    if (!fitsICU(digits)) return false;
    UErrorCode status = U_ZERO_ERROR;
    icu::Formattable value(icu::StringPiece(digits.data(), static_cast<int32_t>(digits.size())),
                           status);
    return U_SUCCESS(status) && formatNumber(format, value, out);
}

bool parseNumber(VxTextNumberFormat* format, std::string_view text, VxTextParsedNumber* out) {
    if (!fitsICU(text)) return false;
    icu::UnicodeString in = fromUTF8(text);
    icu::Formattable result;
    icu::ParsePosition pos(0);
    format->icu->parse(in, result, pos);
    if (pos.getErrorIndex() >= 0 || pos.getIndex() != in.length()) return false;
    switch (result.getType()) {
        case icu::Formattable::kLong:
        case icu::Formattable::kInt64: {
            UErrorCode status = U_ZERO_ERROR;
            const int64_t value = result.getInt64(status);
            if (U_FAILURE(status)) return false;
            *out = {true, value, 0};
            return true;
        }
        case icu::Formattable::kDouble:
            *out = {false, 0, result.getDouble()};
            return true;
        default:
            return false;
    }
}

// ---------------------------------------------------------------------------
// Transliteration

VxTextTransliterator* makeTransliterator(std::string_view identifier) {
    if (!fitsICU(identifier)) return nullptr;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Transliterator> t(
        icu::Transliterator::createInstance(fromUTF8(identifier), UTRANS_FORWARD, status));
    if (U_FAILURE(status) || !t) return nullptr;
    return new VxTextTransliterator{std::move(t)};
}

VxTextTransliterator* cloneTransliterator(const VxTextTransliterator* prototype) {
    std::unique_ptr<icu::Transliterator> t(prototype->icu->clone());
    if (!t) return nullptr;
    return new VxTextTransliterator{std::move(t)};
}

void releaseTransliterator(VxTextTransliterator* transliterator) {
    delete transliterator;
}

bool transliterate(VxTextTransliterator* transliterator, std::string_view text, std::string* out) {
    if (!fitsICU(text)) return false;
    icu::UnicodeString u = fromUTF8(text);
    transliterator->icu->transliterate(u);
    return toUTF8(u, out);
}

constexpr VxTextModuleTable kTable = {
    kVxTextModuleVersion,
    sizeof(VxTextModuleTable),
    upperCase,
    isUsableLocale,
    makeDateFormat,
    releaseDateFormat,
    formatDate,
    parseDate,
    makeNumberFormat,
    releaseNumberFormat,
    formatInteger,
    formatReal,
    formatDecimalText,
    parseNumber,
    makeTransliterator,
    cloneTransliterator,
    releaseTransliterator,
    transliterate,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) const VxTextModuleTable* vx_text_module_table() {
    return &kTable;
}
