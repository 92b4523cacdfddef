#include <gtest/gtest.h>

#include "requests/NUCRestKit.h"

namespace {

std::string text(const VxStringPtr& s) {
    return s ? s->str() : "<nothing>";
}
std::string abs(const VxURLPtr& u) {
    return u ? u->absoluteString() : "<nothing>";
}

}  // namespace

TEST(RestKitEncoding, ParameterEncoderDecodesFirstAndKeepsItsSet) {
    EXPECT_EQ(text(NUCRestKit::urlEncodeParameterString(vxstr("a%20b"))), "a%20b");
    EXPECT_EQ(text(NUCRestKit::urlEncodeParameterString(vxstr("a b"))), "a%20b");
    EXPECT_EQ(text(NUCRestKit::urlEncodeParameterString(vxstr("a+b"))), "a%2Bb");
    EXPECT_EQ(text(NUCRestKit::urlEncodeParameterString(vxstr("x:&=/?-._~y"))), "x:&=/?-._~y");
    EXPECT_EQ(text(NUCRestKit::urlEncodeParameterString(vxstr("#[]{}@*!'\"\\"))),
              "%23%5B%5D%7B%7D%40%2A%21%27%22%5C");
    EXPECT_EQ(text(NUCRestKit::urlEncodeParameterString(vxstr("\xC3\xA9"))), "%C3%A9");
    // Escapes that do not decode, to bytes or to UTF-8, give nothing.
    EXPECT_EQ(NUCRestKit::urlEncodeParameterString(vxstr("100%")), nullptr);
    EXPECT_EQ(NUCRestKit::urlEncodeParameterString(vxstr("%4")), nullptr);
    EXPECT_EQ(NUCRestKit::urlEncodeParameterString(vxstr("%zz")), nullptr);
    EXPECT_EQ(NUCRestKit::urlEncodeParameterString(vxstr("%E9")), nullptr);
    EXPECT_EQ(NUCRestKit::urlEncodeParameterString(vxstr("")), nullptr);
    EXPECT_EQ(NUCRestKit::urlEncodeParameterString(nullptr), nullptr);
}

TEST(RestKitEncoding, PostEncoderAndDecoder) {
    EXPECT_EQ(text(NUCRestKit::urlEncodePostString(vxstr("a~b"))), "a%7Eb");
    EXPECT_EQ(text(NUCRestKit::urlEncodePostString(vxstr("a-b._c d/e:f"))), "a-b._c%20d%2Fe%3Af");
    EXPECT_EQ(text(NUCRestKit::urlEncodePostString(vxstr("50%25"))), "50%25");
    EXPECT_EQ(NUCRestKit::urlEncodePostString(vxstr("50%")), nullptr);

    EXPECT_EQ(text(NUCRestKit::urlDecodeString(vxstr("a%20b%2b%C3%A9"))), "a b+\xC3\xA9");
    EXPECT_EQ(text(NUCRestKit::urlDecodeString(vxstr("plain"))), "plain");
    EXPECT_EQ(NUCRestKit::urlDecodeString(vxstr("%C3")), nullptr);  // truncated UTF-8
    EXPECT_EQ(NUCRestKit::urlDecodeString(vxstr("%G0")), nullptr);
    EXPECT_EQ(NUCRestKit::urlDecodeString(vxstr("%")), nullptr);
    EXPECT_EQ(NUCRestKit::urlDecodeString(vxstr("")), nullptr);
    EXPECT_EQ(NUCRestKit::urlDecodeString(nullptr), nullptr);
}

TEST(RestKitURLs, ResolvesPathsAgainstBase) {
    auto dirBase = VxURL::URLWithString("https://host.example/api/v1/");
    auto fileBase = VxURL::URLWithString("https://host.example/api/v1");
    ASSERT_TRUE(dirBase && fileBase);

    VxURLPtr url = NUCRestKit::createURLForPathStr(vxstr("session"), dirBase);
    EXPECT_EQ(abs(url), "https://host.example/api/v1/session");
    ASSERT_TRUE(url);
    EXPECT_EQ(url->baseURL(), dirBase);
    EXPECT_EQ(url->relativeString(), "session");
    EXPECT_EQ(abs(NUCRestKit::createURLForPathStr(vxstr("session"), fileBase)),
              "https://host.example/api/session");
    EXPECT_EQ(abs(NUCRestKit::createURLForPathStr(vxstr("../x?y=1"), dirBase)),
              "https://host.example/api/x?y=1");
    EXPECT_EQ(abs(NUCRestKit::createURLForPathStr(vxstr("/root"), dirBase)),
              "https://host.example/root");
    EXPECT_EQ(abs(NUCRestKit::createURLForPathStr(vxstr("results/a b"), dirBase)),
              "https://host.example/api/v1/results/a%20b");
    EXPECT_EQ(abs(NUCRestKit::createURLForPathStr(vxstr("http://other/p"), dirBase)),
              "http://other/p");
    EXPECT_EQ(abs(NUCRestKit::createURLForPathStr(vxstr("https://h/p"), VxURLPtr())),
              "https://h/p");
    EXPECT_EQ(NUCRestKit::createURLForPathStr(vxstr(""), dirBase), nullptr);
    EXPECT_EQ(NUCRestKit::createURLForPathStr(nullptr, dirBase), nullptr);
    EXPECT_EQ(NUCRestKit::createURLForPathStr(vxstr("100%"), dirBase), nullptr);
}

TEST(RestKitURLs, BaseGivenAsText) {
    EXPECT_EQ(abs(NUCRestKit::createURLForPathStr(vxstr("session"), vxstr("https://h/api/"))),
              "https://h/api/session");
    EXPECT_EQ(abs(NUCRestKit::createURLForPathStr(vxstr("https://h/p"), VxStringPtr())),
              "https://h/p");
    EXPECT_EQ(abs(NUCRestKit::createURLForPathStr(vxstr("https://h/p"), vxstr(""))), "https://h/p");
    // A base that does not encode or does not parse fails the whole call, even
    // though the path alone would parse.
    EXPECT_EQ(NUCRestKit::createURLForPathStr(vxstr("https://h/p"), vxstr("http://h:port/")),
              nullptr);
    EXPECT_EQ(NUCRestKit::createURLForPathStr(vxstr("https://h/p"), vxstr("http://h/%")), nullptr);
}
