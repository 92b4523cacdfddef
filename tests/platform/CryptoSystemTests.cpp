#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <thread>

#include "platform/foundation/VxCrypto.h"
#include "platform/linux/VxSystem.h"

TEST(Crypto, MD5KnownVectorsAndIncremental) {
    // RFC 1321 test suite.
    const std::pair<std::string, std::string> vectors[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    VxMD5 md5;
    for (const auto& [text, hex] : vectors) {
        EXPECT_EQ(VxMD5::hexString(VxMD5::digest(text.data(), text.size())), hex) << text;
        // Incremental in uneven pieces gives the same digest; finish() resets.
        for (std::size_t i = 0; i < text.size(); i += 3)
            md5.update(text.data() + i, std::min<std::size_t>(3, text.size() - i));
        EXPECT_EQ(VxMD5::hexString(md5.finish()), hex) << text;
    }
}

namespace {

// Sets locale variables for one test and restores them afterwards.
class EnvGuard {
  public:
    EnvGuard() {
        for (const char* n : kNames) {
            const char* v = std::getenv(n);
            saved_[n] = v ? std::optional<std::string>(v) : std::nullopt;
        }
    }
    ~EnvGuard() {
        for (auto& [n, v] : saved_) v ? setenv(n.c_str(), v->c_str(), 1) : unsetenv(n.c_str());
    }
    void set(std::map<std::string, const char*> values) {
        for (const char* n : kNames) unsetenv(n);
        for (auto& [n, v] : values) setenv(n.c_str(), v, 1);
    }

  private:
    static constexpr const char* kNames[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};
    std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace

TEST(System, PreferredLanguagesFromEnvironment) {
    EnvGuard env;
    using V = std::vector<std::string>;
    env.set({});
    EXPECT_EQ(VxPreferredLanguages(), V{"en"});
    env.set({{"LANG", "de_DE.UTF-8"}});
    EXPECT_EQ(VxPreferredLanguages(), V{"de-DE"});
    env.set({{"LANG", "de_DE.UTF-8"}, {"LC_MESSAGES", "fr_CA@euro"}});
    EXPECT_EQ(VxPreferredLanguages(), V{"fr-CA"});
    env.set({{"LANG", "de_DE"}, {"LC_MESSAGES", "fr_CA"}, {"LC_ALL", "C.UTF-8"}});
    EXPECT_EQ(VxPreferredLanguages(), V{"en"});
    env.set({{"LANG", "POSIX"}, {"LANGUAGE", ""}});
    EXPECT_EQ(VxPreferredLanguages(), V{"en"});
    env.set({{"LANG", "de_DE"}, {"LANGUAGE", "pt_BR:pt::en_GB.UTF-8:pt"}});
    EXPECT_EQ(VxPreferredLanguages(), (V{"pt-BR", "pt", "en-GB"}));
    env.set({{"LANG", "it_IT"}, {"LANGUAGE", "::"}});  // nothing usable in LANGUAGE
    EXPECT_EQ(VxPreferredLanguages(), V{"it-IT"});
}

TEST(System, UUIDsAreCanonicalAndDistinct) {
    std::regex shape("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        auto u = VxUUIDString();
        EXPECT_TRUE(std::regex_match(u, shape)) << u;
        seen.insert(u);
    }
    EXPECT_EQ(seen.size(), 100u);
}

TEST(System, TransliterationWithICU) {
    const char* toASCII = "Any-Latin; Latin-ASCII; [:^ASCII:] Remove";
    EXPECT_EQ(
        VxTransliterate("Cr\xc3\xa8me Br\xc3\xbbl\xc3\xa9\x65 \xc3\x85ngstr\xc3\xb6m", toASCII),
        "Creme Brulee Angstrom");
    // Greek and Cyrillic become Latin letters.
    EXPECT_EQ(VxTransliterate("\xce\x91\xce\xb8\xce\xae\xce\xbd\xce\xb1", toASCII), "Athena");
    EXPECT_EQ(VxTransliterate("\xd0\x9c\xd0\xbe\xd1\x81\xd0\xba\xd0\xb2\xd0\xb0", toASCII),
              "Moskva");
    EXPECT_EQ(VxTransliterate("", toASCII), "");
    EXPECT_EQ(VxTransliterate("x", "No-Such-Transform"), std::nullopt);
    EXPECT_EQ(VxTransliterate("bad \xff", toASCII), std::nullopt);

    // Concurrent use of one transform.
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i)
                if (VxTransliterate("\xc3\xa9t\xc3\xa9", toASCII) != "ete") ++wrong;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
}
