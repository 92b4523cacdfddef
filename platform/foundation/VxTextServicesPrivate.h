#pragma once
// Text services inside the library: upper-casing, date and number formatting,
// transliteration. They run in the text-services module, which is loaded the
// first time one of these functions is called (VxTextModulePrivate.h), so a
// process that never formats text never maps ICU. When the module cannot be
// loaded, one line saying why goes to the system log and every function here
// fails: no formatter, no text, no value. Not part of the library's API.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/VxTextModulePrivate.h"

namespace vx::text {

struct FormatReleaser {
    void operator()(VxTextDateFormat* format) const;
    void operator()(VxTextNumberFormat* format) const;
    void operator()(VxTextTransliterator* transliterator) const;
};
// Formatters are built once and reused; each may be used by one thread at a time.
using DateFormat = std::unique_ptr<VxTextDateFormat, FormatReleaser>;
using NumberFormat = std::unique_ptr<VxTextNumberFormat, FormatReleaser>;
using Transliterator = std::unique_ptr<VxTextTransliterator, FormatReleaser>;

// UTF-8 text upper-cased with the root locale's rules.
std::optional<std::string> upperCased(std::string_view text);
// Whether date formatters accept the locale identifier.
bool isUsableLocale(const std::string& identifier);

// A strict date formatter; locale "" is the process's default. Nothing when
// the pattern or the locale does not work.
DateFormat makeDateFormat(std::string_view pattern, const std::string& locale,
                          std::int32_t secondsFromGMT);
std::optional<std::string> formatDate(const DateFormat& format, double secondsSince1970);
// Nothing unless the whole text matches the pattern.
std::optional<double> parseDate(const DateFormat& format, std::string_view text);

// A number formatter in the process's default locale.
NumberFormat makeNumberFormat(VxTextNumberStyle style);
std::optional<std::string> formatInteger(const NumberFormat& format, std::int64_t value);
std::optional<std::string> formatReal(const NumberFormat& format, double value);
std::optional<std::string> formatDecimalText(const NumberFormat& format, std::string_view digits);
// Nothing unless the whole text is a number.
std::optional<VxTextParsedNumber> parseNumber(const NumberFormat& format, std::string_view text);

// A transform by identifier; nothing when it does not name a working one.
Transliterator makeTransliterator(std::string_view identifier);
Transliterator cloneTransliterator(const Transliterator& prototype);
std::optional<std::string> transliterate(const Transliterator& transliterator,
                                         std::string_view text);

}  // namespace vx::text
