#include <gtest/gtest.h>

#include "requests/NUCRestKit.h"
#include "support/RequestHelpers.h"

namespace {

using da::test::text;

std::string abs(const VxURLPtr& u) {
    return u ? u->absoluteString() : "<nothing>";
}
std::string param(const char* s) {
    return text(NUCRestKit::urlEncodeParameterString(vxstr(s)));
}
std::string post(const char* s) {
    return text(NUCRestKit::urlEncodePostString(vxstr(s)));
}
std::string decode(const char* s) {
    return text(NUCRestKit::urlDecodeString(vxstr(s)));
}
std::string resolve(const char* path, const VxURLPtr& base) {
    return abs(NUCRestKit::createURLForPathStr(vxstr(path), base));
}
std::string resolve(const char* path, const char* base) {
    return abs(NUCRestKit::createURLForPathStr(vxstr(path), base ? vxstr(base) : nullptr));
}

}  // namespace

TEST(RestKit, EncodersAndDecoder) {
    // The parameter encoder decodes first and keeps its own set unescaped.
    EXPECT_EQ(param("a%20b"), "a%20b");
    EXPECT_EQ(param("a b"), "a%20b");
    EXPECT_EQ(param("a+b"), "a%2Bb");
    EXPECT_EQ(param("x:&=/?-._~y"), "x:&=/?-._~y");
    EXPECT_EQ(param("#[]{}@*!'\"\\"), "%23%5B%5D%7B%7D%40%2A%21%27%22%5C");
    EXPECT_EQ(param("\xC3\xA9"), "%C3%A9");
    // Escapes that do not decode, to bytes or to UTF-8, give nothing.
    for (const char* bad : {"100%", "%4", "%zz", "%E9", ""}) EXPECT_EQ(param(bad), "<nothing>");

    EXPECT_EQ(post("a~b"), "a%7Eb");
    EXPECT_EQ(post("a-b._c d/e:f"), "a-b._c%20d%2Fe%3Af");
    EXPECT_EQ(post("50%25"), "50%25");
    EXPECT_EQ(post("50%"), "<nothing>");

    EXPECT_EQ(decode("a%20b%2b%C3%A9"), "a b+\xC3\xA9");
    EXPECT_EQ(decode("plain"), "plain");
    // "%C3" is truncated UTF-8.
    for (const char* bad : {"%C3", "%G0", "%", ""}) EXPECT_EQ(decode(bad), "<nothing>");

    EXPECT_EQ(NUCRestKit::urlEncodeParameterString(nullptr), nullptr);
    EXPECT_EQ(NUCRestKit::urlEncodePostString(nullptr), nullptr);
    EXPECT_EQ(NUCRestKit::urlDecodeString(nullptr), nullptr);
}

TEST(RestKit, RepeatedResolutionsKeepTheirOwnPathAndBase) {
    // Resolutions are remembered; each answer must still belong to its own
    // path and base, also for a base of the same text and past the few kept.
    auto first = VxURL::URLWithString("https://one.example/api/");
    auto second = VxURL::URLWithString("https://two.example/other/");
    auto sameText = VxURL::URLWithString("https://one.example/api/");
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 40; ++i) {
            const std::string path = "p" + std::to_string(i);
            for (const VxURLPtr& base : {first, second, sameText}) {
                VxURLPtr url = NUCRestKit::createURLForPathStr(vxstr(path), base);
                ASSERT_TRUE(url);
                EXPECT_EQ(url->absoluteString(), base->absoluteString() + path);
                EXPECT_EQ(url->baseURL(), base);
                EXPECT_EQ(url->relativeString(), path);
            }
        }
    }
}

TEST(RestKit, ResolvesPathsAgainstBase) {
    auto dirBase = VxURL::URLWithString("https://host.example/api/v1/");
    auto fileBase = VxURL::URLWithString("https://host.example/api/v1");
    ASSERT_TRUE(dirBase && fileBase);
    VxURLPtr url = NUCRestKit::createURLForPathStr(vxstr("session"), dirBase);
    ASSERT_TRUE(url);
    EXPECT_EQ(abs(url), "https://host.example/api/v1/session");
    EXPECT_EQ(url->baseURL(), dirBase);
    EXPECT_EQ(url->relativeString(), "session");
    EXPECT_EQ(resolve("session", fileBase), "https://host.example/api/session");
    EXPECT_EQ(resolve("../x?y=1", dirBase), "https://host.example/api/x?y=1");
    EXPECT_EQ(resolve("/root", dirBase), "https://host.example/root");
    EXPECT_EQ(resolve("results/a b", dirBase), "https://host.example/api/v1/results/a%20b");
    EXPECT_EQ(resolve("http://other/p", dirBase), "http://other/p");
    EXPECT_EQ(resolve("https://h/p", VxURLPtr()), "https://h/p");
    EXPECT_EQ(resolve("", dirBase), "<nothing>");
    EXPECT_EQ(resolve("100%", dirBase), "<nothing>");
    EXPECT_EQ(NUCRestKit::createURLForPathStr(nullptr, dirBase), nullptr);

    // The base given as text.
    EXPECT_EQ(resolve("session", "https://h/api/"), "https://h/api/session");
    EXPECT_EQ(resolve("https://h/p", nullptr), "https://h/p");
    EXPECT_EQ(resolve("https://h/p", ""), "https://h/p");
    // A base that does not encode or does not parse fails the whole call, even
    // though the path alone would parse.
    EXPECT_EQ(resolve("https://h/p", "http://h:port/"), "<nothing>");
    EXPECT_EQ(resolve("https://h/p", "http://h/%"), "<nothing>");
}
