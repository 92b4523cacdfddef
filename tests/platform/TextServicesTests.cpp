// The text services load ICU on first use, from the module next to the library,
// and fail cleanly where the module cannot be used. Each case runs the probe
// (tests/platform/textprobe) as a fresh process.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/TestEnv.h"

namespace {

// The probe's stdout, its stderr in `errors`; exit code in `code`.
std::string runProbe(const std::string& environment, const da::test::TempDir& tmp,
                     std::string& errors, int& code) {
    const std::string errorFile = tmp / "stderr";
    std::string out = da::test::runCommand(
        "env LC_ALL=C " + environment + " " DA_TEXT_PROBE " 2>" + errorFile, &code);
    errors = da::test::readFile(errorFile);
    return out;
}

}  // namespace

TEST(TextServices, IcuIsMappedOnlyOnceTextIsFormatted) {
    da::test::TempDir tmp;
    ASSERT_FALSE(tmp.path().empty());
    std::string errors;
    int code = -1;
    const std::string out = runProbe("", tmp, errors, code);
    EXPECT_EQ(code, 0) << errors;
    EXPECT_EQ(out,
              "after ordinary work: icu 0\n"
              "date: 1970-01-01\n"
              "number: 12345\n"
              "transliteration: Creme\n"
              "after text work: icu 1\n");
    EXPECT_EQ(errors, "");
}

// Without a usable module next to the library (a copy of the library alone in
// a folder, found first through LD_LIBRARY_PATH), every text operation gives
// its documented nothing and one line says why.
TEST(TextServices, UnusableModuleGivesNothingAndOneLine) {
    struct Case {
        const char* what;
        const char* moduleFile;  // put where the module belongs; nothing: none
        const char* reason;
    };
    for (const Case& c :
         {Case{"missing", nullptr, ": cannot load "},
          Case{"another version", DA_STALE_TEXT_MODULE, " is of another version"}}) {
        da::test::TempDir tmp;
        ASSERT_FALSE(tmp.path().empty());
        const std::string library =
            tmp / std::filesystem::path(DA_LIBRARY_SONAME_FILE).filename().string();
        std::filesystem::copy_file(DA_LIBRARY_SONAME_FILE, library);
        const std::string module = tmp / "diagnostics/libdiagnostics-text.so";
        if (c.moduleFile) {
            std::filesystem::create_directories(tmp / "diagnostics");
            std::filesystem::copy_file(c.moduleFile, module);
        }
        std::string errors;
        int code = -1;
        const std::string out = runProbe("LD_LIBRARY_PATH=" + tmp.path(), tmp, errors, code);
        EXPECT_EQ(code, 0) << c.what << ": " << errors;
        EXPECT_EQ(out,
                  "after ordinary work: icu 0\n"
                  "date: (none)\n"
                  "number: (none)\n"
                  "transliteration: (none)\n"
                  "after text work: icu 0\n")
            << c.what;
        EXPECT_EQ(da::test::countOccurrences(errors, "Text services unavailable"), 1u)
            << c.what << ": " << errors;
        EXPECT_NE(errors.find(c.moduleFile ? module + c.reason : c.reason + module),
                  std::string::npos)
            << c.what << ": " << errors;
    }
}
