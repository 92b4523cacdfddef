#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/VxCrypto.h"
#include "platform/linux/VxSystem.h"
#include "support/TestEnv.h"

TEST(Crypto, MD5KnownVectorsAndIncremental) {
    // RFC 1321 test suite.
    const std::pair<std::string, std::string> vectors[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
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
        md5.update(text.data(), 0);  // an empty piece changes nothing
        EXPECT_EQ(VxMD5::hexString(md5.finish()), hex) << text;
    }
    // A fresh or just finished object with nothing given digests the empty message.
    EXPECT_EQ(VxMD5::hexString(VxMD5().finish()), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(VxMD5::hexString(md5.finish()), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(VxMD5::hexString(VxMD5::digest(nullptr, 0)), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(Crypto, MD5OfAMillionBytesInPiecesAcrossBlockEdges) {
    // One million 'a': the long known-answer case, given whole and in pieces
    // of sizes that fall on, below and above the 64-byte block edge.
    const std::string million(1000000, 'a');
    const std::string expected = "7707d6ae4e027c70eea2a935c2296f21";
    EXPECT_EQ(VxMD5::hexString(VxMD5::digest(million.data(), million.size())), expected);
    for (std::size_t piece : {1u, 63u, 64u, 65u, 4096u, 65536u, 999999u}) {
        VxMD5 md5;
        for (std::size_t i = 0; i < million.size(); i += piece)
            md5.update(million.data() + i, std::min(piece, million.size() - i));
        EXPECT_EQ(VxMD5::hexString(md5.finish()), expected) << piece;
    }
}

TEST(System, PreferredLanguagesFromEnvironment) {
    using V = std::vector<std::string>;
    const struct {
        const char *language, *lcAll, *lcMessages, *lang;
        V expected;
    } cases[] = {
        {nullptr, nullptr, nullptr, nullptr, {"en"}},
        {nullptr, nullptr, nullptr, "de_DE.UTF-8", {"de-DE"}},
        {nullptr, nullptr, "fr_CA@euro", "de_DE.UTF-8", {"fr-CA"}},
        {nullptr, "C.UTF-8", "fr_CA", "de_DE", {"en"}},
        {"", nullptr, nullptr, "POSIX", {"en"}},
        {"pt_BR:pt::en_GB.UTF-8:pt", nullptr, nullptr, "de_DE", {"pt-BR", "pt", "en-GB"}},
        {"::", nullptr, nullptr, "it_IT", {"it-IT"}},  // nothing usable in LANGUAGE
    };
    auto value = [](const char* v) { return v ? std::optional<std::string>(v) : std::nullopt; };
    for (const auto& c : cases) {
        da::test::ScopedEnv language("LANGUAGE", value(c.language)), all("LC_ALL", value(c.lcAll)),
            messages("LC_MESSAGES", value(c.lcMessages)), lang("LANG", value(c.lang));
        EXPECT_EQ(VxPreferredLanguages(), c.expected) << value(c.lang).value_or("-");
    }
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

    // Threads, and a child of fork() next to its parent, never draw the same
    // identifier: the random bytes are fetched in batches that each may hand
    // out once only.
    std::vector<std::vector<std::string>> drawn(4);
    std::vector<std::thread> threads;
    for (auto& list : drawn)
        threads.emplace_back([&list] {
            for (int i = 0; i < 50; ++i) list.push_back(VxUUIDString());
        });
    for (auto& t : threads) t.join();
    for (const auto& list : drawn) seen.insert(list.begin(), list.end());
    EXPECT_EQ(seen.size(), 300u);

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const std::string u = VxUUIDString();
        _exit(write(fds[1], u.data(), u.size()) == static_cast<ssize_t>(u.size()) ? 0 : 1);
    }
    close(fds[1]);
    char buffer[64] = {};
    const ssize_t n = read(fds[0], buffer, sizeof buffer);
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_EQ(n, 36);
    EXPECT_NE(std::string(buffer, 36), VxUUIDString());
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
