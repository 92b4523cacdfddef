#pragma once
// The boundary between the library and its text-services module
// (libdiagnostics-text.so, built from platform/text/): the table of functions
// the module hands out. The library loads the module on first use
// (VxTextServices.cpp) and reaches it only through this table, so ICU, which
// the module links, is mapped only into processes that format or convert text.
// Both sides are built together from one tree; the version guards against a
// module left over from another build.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Formatters made by the module and released through it.
struct VxTextDateFormat;
struct VxTextNumberFormat;
struct VxTextTransliterator;

// Raise whenever a function of the table changes its signature or meaning.
inline constexpr std::uint32_t kVxTextModuleVersion = 1;
// The module's one exported symbol: extern "C" const VxTextModuleTable* NAME().
inline constexpr const char* kVxTextModuleEntryPoint = "vx_text_module_table";

// How a number formatter writes numbers: integer digits only without grouping,
// or the locale's decimal style.
enum class VxTextNumberStyle : int { integer = 0, decimal = 1 };

// A number read from text: an integer when the text held one that fits 64
// bits, else a double.
struct VxTextParsedNumber {
    bool isInteger = false;
    std::int64_t integer = 0;
    double real = 0;
};

// Every function that produces text or a value returns false when it fails and
// then leaves its output alone. Formatters may be used by one thread at a time.
struct VxTextModuleTable {
    std::uint32_t version;  // kVxTextModuleVersion of the module's build
    std::uint32_t size;     // sizeof(VxTextModuleTable) of the module's build

    // Upper-cases UTF-8 text with the root locale's rules.
    bool (*upperCase)(std::string_view text, std::string* out);
    // Whether the locale identifier is one the formatters accept.
    bool (*isUsableLocale)(const char* identifier);

    // A strict date formatter for a pattern in a locale ("" for the process's
    // default) at a fixed offset from GMT; null when the pattern or locale does
    // not work.
    VxTextDateFormat* (*makeDateFormat)(std::string_view pattern, const char* locale,
                                        std::int32_t secondsFromGMT);
    void (*releaseDateFormat)(VxTextDateFormat* format);
    bool (*formatDate)(VxTextDateFormat* format, double secondsSince1970, std::string* out);
    // Only text the pattern consumes entirely counts.
    bool (*parseDate)(VxTextDateFormat* format, std::string_view text, double* secondsSince1970);

    // A number formatter in the process's default locale.
    VxTextNumberFormat* (*makeNumberFormat)(VxTextNumberStyle style);
    void (*releaseNumberFormat)(VxTextNumberFormat* format);
    bool (*formatInteger)(VxTextNumberFormat* format, std::int64_t value, std::string* out);
    bool (*formatReal)(VxTextNumberFormat* format, double value, std::string* out);
    // A number given as decimal text ("18446744073709551615", "1.25E-3").
    bool (*formatDecimalText)(VxTextNumberFormat* format, std::string_view digits,
                              std::string* out);
    // Only text the formatter consumes entirely counts.
    bool (*parseNumber)(VxTextNumberFormat* format, std::string_view text, VxTextParsedNumber* out);

    // A transform by its identifier ("Any-Latin; Latin-ASCII"); null when the
    // identifier does not name a working transform.
    VxTextTransliterator* (*makeTransliterator)(std::string_view identifier);
    VxTextTransliterator* (*cloneTransliterator)(const VxTextTransliterator* prototype);
    void (*releaseTransliterator)(VxTextTransliterator* transliterator);
    bool (*transliterate)(VxTextTransliterator* transliterator, std::string_view text,
                          std::string* out);
};

using VxTextModuleEntry = const VxTextModuleTable* (*)();
