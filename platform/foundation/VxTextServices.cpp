// Loads the text-services module on first use and forwards to its table.

#include <dlfcn.h>
#include <syslog.h>

#include <cstdio>
#include <string>

#include "platform/foundation/VxTextServicesPrivate.h"

namespace vx::text {

namespace {

constexpr const char* kModuleFolder = "diagnostics";
constexpr const char* kModuleName = "libdiagnostics-text.so";

// The one line about a module that cannot be used: syslog and stderr, the way
// the platform's system log writes (foundation cannot call that one).
void reportUnavailable(const std::string& text) {
    syslog(LOG_USER | LOG_WARNING, "%s", text.c_str());
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
}

// The module lives in a folder next to the library that loads it, wherever the
// library was installed (the file this very function was loaded from); the
// path never comes from the environment.
std::string modulePath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&modulePath), &info) == 0 || !info.dli_fname) return {};
    std::string path = info.dli_fname;
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return {};  // a bare name: no folder to look in
    path.erase(slash + 1);
    return path + kModuleFolder + "/" + kModuleName;
}

std::string lastDlError() {
    const char* error = dlerror();
    return error ? error : "unknown error";
}

const VxTextModuleTable* load() {
    const std::string path = modulePath();
    if (path.empty()) {
        reportUnavailable("Text services unavailable: cannot locate the diagnostics library");
        return nullptr;
    }
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        reportUnavailable("Text services unavailable: cannot load " + path + ": " + lastDlError());
        return nullptr;
    }
    // The module stays loaded for the life of the process: formatters it made
    // may be held until the very end.
    auto entry = reinterpret_cast<VxTextModuleEntry>(dlsym(handle, kVxTextModuleEntryPoint));
    if (!entry) {
        reportUnavailable("Text services unavailable: " + path +
                          " is not a text-services module: " + lastDlError());
        return nullptr;
    }
    const VxTextModuleTable* table = entry();
    if (!table || table->version != kVxTextModuleVersion ||
        table->size != sizeof(VxTextModuleTable)) {
        const auto form = [](std::uint32_t version, std::uint32_t size) {
            return "version " + std::to_string(version) + " with a table of " +
                   std::to_string(size) + " bytes";
        };
        reportUnavailable("Text services unavailable: " + path + " is of another version (" +
                          (table ? form(table->version, table->size) : "no table") + "; expected " +
                          form(kVxTextModuleVersion, sizeof(VxTextModuleTable)) + ")");
        return nullptr;
    }
    return table;
}

// The table, loaded once by whichever thread gets here first.
const VxTextModuleTable* module() {
    static const VxTextModuleTable* const table = load();
    return table;
}

// Runs one of the table's functions on a formatter and gives what it wrote;
// nothing without a formatter or when the function fails.
template <class Out, class Handle, class Function, class... Args>
std::optional<Out> call(const Handle& handle, Function VxTextModuleTable::*function, Args... args) {
    Out out{};
    if (!handle || !(module()->*function)(handle.get(), args..., &out)) return std::nullopt;
    return out;
}

}  // namespace

// A formatter exists only when the module was loaded, so releasing one needs
// no check.
void FormatReleaser::operator()(VxTextDateFormat* format) const {
    module()->releaseDateFormat(format);
}
void FormatReleaser::operator()(VxTextNumberFormat* format) const {
    module()->releaseNumberFormat(format);
}
void FormatReleaser::operator()(VxTextTransliterator* transliterator) const {
    module()->releaseTransliterator(transliterator);
}

std::optional<std::string> upperCased(std::string_view text) {
    const VxTextModuleTable* m = module();
    std::string out;
    if (!m || !m->upperCase(text, &out)) return std::nullopt;
    return out;
}

bool isUsableLocale(const std::string& identifier) {
    const VxTextModuleTable* m = module();
    return m && m->isUsableLocale(identifier.c_str());
}

DateFormat makeDateFormat(std::string_view pattern, const std::string& locale,
                          std::int32_t secondsFromGMT) {
    const VxTextModuleTable* m = module();
    if (!m) return nullptr;
    return DateFormat(m->makeDateFormat(pattern, locale.c_str(), secondsFromGMT));
}

std::optional<std::string> formatDate(const DateFormat& format, double secondsSince1970) {
    return call<std::string>(format, &VxTextModuleTable::formatDate, secondsSince1970);
}

std::optional<double> parseDate(const DateFormat& format, std::string_view text) {
    return call<double>(format, &VxTextModuleTable::parseDate, text);
}

NumberFormat makeNumberFormat(VxTextNumberStyle style) {
    const VxTextModuleTable* m = module();
    if (!m) return nullptr;
    return NumberFormat(m->makeNumberFormat(style));
}

std::optional<std::string> formatInteger(const NumberFormat& format, std::int64_t value) {
    return call<std::string>(format, &VxTextModuleTable::formatInteger, value);
}

std::optional<std::string> formatReal(const NumberFormat& format, double value) {
    return call<std::string>(format, &VxTextModuleTable::formatReal, value);
}

std::optional<std::string> formatDecimalText(const NumberFormat& format, std::string_view digits) {
    return call<std::string>(format, &VxTextModuleTable::formatDecimalText, digits);
}

std::optional<VxTextParsedNumber> parseNumber(const NumberFormat& format, std::string_view text) {
    return call<VxTextParsedNumber>(format, &VxTextModuleTable::parseNumber, text);
}

Transliterator makeTransliterator(std::string_view identifier) {
    const VxTextModuleTable* m = module();
    if (!m) return nullptr;
    return Transliterator(m->makeTransliterator(identifier));
}

Transliterator cloneTransliterator(const Transliterator& prototype) {
    if (!prototype) return nullptr;
    return Transliterator(module()->cloneTransliterator(prototype.get()));
}

std::optional<std::string> transliterate(const Transliterator& transliterator,
                                         std::string_view text) {
    return call<std::string>(transliterator, &VxTextModuleTable::transliterate, text);
}

}  // namespace vx::text
