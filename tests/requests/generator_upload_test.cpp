#include <gtest/gtest.h>

#include "platform/foundation/VxKeyedArchiver.h"
#include "requests/NUCRestKit.h"
#include "requests/NUCURLRequestGenerator.h"
#include "support/RequestHelpers.h"
#include "support/TestEnv.h"

namespace {

std::string drain(const VxInputStreamPtr& stream) {
    return da::test::drain(stream, 4);
}

using da::test::failure;
using da::test::header;

std::string field(const NUCURLRequestGenerator& g, const char* name) {
    auto v = vx_cast<VxString>(g.defaultHeadersDictionary()->objectForKey(name));
    return v ? v->str() : "<none>";
}

}  // namespace

TEST(GeneratorAuth, AuthorizationAndCookieHeaders) {
    NUCURLRequestGenerator g;
    g.setBasicAuthForUsername(vxstr("a"), vxstr("b"));
    EXPECT_EQ(field(g, "Authorization"), "Basic YTpi");
    // Unusable credentials leave the earlier header in place.
    g.setBasicAuthForUsername(vxstr("a"), vxstr(""));
    g.setBasicAuthForUsername(nullptr, vxstr("b"));
    EXPECT_EQ(field(g, "Authorization"), "Basic YTpi");

    g.setAuthHeaderWithToken(vxstr("t0k"));
    EXPECT_EQ(field(g, "Authorization"), "Token token=\"t0k\"");
    g.setAuthHeaderForSPNEGO(vxstr(""));
    EXPECT_EQ(field(g, "Authorization"), "Token token=\"t0k\"");
    g.setAuthHeaderForSPNEGO(vxstr("YII="));
    EXPECT_EQ(field(g, "Authorization"), "Negotiate YII=");
    g.clearAuthHeader();
    EXPECT_EQ(field(g, "Authorization"), "<none>");

    g.setAuthHeaderWithCookie(vxstr("s=1"));
    auto request =
        g.requestWithMethod(vxstr("GET"), VxURL::URLWithString("http://h/"), nullptr, false);
    EXPECT_EQ(header(request, "Cookie"), "s=1");
    g.setAuthHeaderWithCookie(vxstr(""));
    EXPECT_EQ(field(g, "cookie"), "<none>");
}

TEST(GeneratorUpload, FileAndDataUploads) {
    da::test::TempDir tmp;
    auto good = VxURL::fileURLWithPath(tmp.write("five.bin", "12345"));
    auto empty = VxURL::fileURLWithPath(tmp.write("empty.bin", ""));
    NUCURLRequestGenerator g;
    g.setBaseURLPath(vxstr("http://h.example/api"));
    g.setDefaultValue(vxstr("text/plain"), vxstr("Content-Type"));

    VxErrorPtr error;
    std::uint64_t length = 0;
    auto put =
        g.requestUploadWithMethod(vxstr("put"), vxstr("files/x"), nullptr, good, &length, &error);
    ASSERT_TRUE(put) << failure(error);
    EXPECT_EQ(put->HTTPMethod(), "PUT");
    EXPECT_EQ(header(put, "Content-Type"), "application/octet-stream");
    EXPECT_EQ(header(put, "Content-Length"), "5");
    EXPECT_EQ(length, 5u);
    ASSERT_TRUE(put->HTTPBodyStream());
    EXPECT_EQ(drain(put->HTTPBodyStream()), "12345");

    // GET fails before the file is looked at; the pre-flight's errors pass through.
    length = 9;
    EXPECT_FALSE(g.requestUploadWithMethod(vxstr("Get"), vxstr("x"), nullptr,
                                           VxURL::fileURLWithPath("/nonexistent"), &length,
                                           &error));
    EXPECT_EQ(failure(error), "-1001 HTTPMethod is not valid for this API");
    EXPECT_FALSE(
        g.requestUploadWithMethod(vxstr("POST"), vxstr("x"), nullptr, empty, &length, &error));
    EXPECT_EQ(error->domain(), NUCRestKitErrorDomain);
    EXPECT_EQ(failure(error), "-1007 " + empty->path() + " has zero length");
    EXPECT_EQ(length, 9u);
    EXPECT_FALSE(
        g.requestUploadWithMethod(vxstr("POST"), vxstr("x"), nullptr, VxURLPtr(), &length, &error));
    EXPECT_EQ(failure(error), "-1001 fileURL, method, or url were nil or empty");
    EXPECT_FALSE(
        g.requestUploadWithMethod(vxstr("POST"), vxstr(""), nullptr, good, &length, &error));
    EXPECT_EQ(failure(error), "-1001 urlStr was empty");

    auto data = VxData::dataWithString("abc");
    auto post = g.requestUploadWithMethod(vxstr("post"), vxstr("d"), nullptr, data, &error);
    ASSERT_TRUE(post) << failure(error);
    ASSERT_TRUE(post->HTTPBody());
    EXPECT_EQ(post->HTTPBody()->view(), "abc");
    EXPECT_EQ(header(post, "Content-Type"), "text/plain");
    EXPECT_EQ(header(post, "Content-Length"), "<none>");
    EXPECT_FALSE(
        g.requestUploadWithMethod(vxstr("POST"), vxstr("d"), nullptr, VxData::data(), &error));
    EXPECT_EQ(failure(error), "-1001 data, method, or url were nil or empty");
    EXPECT_FALSE(g.requestUploadWithMethod(vxstr("DELETE"), vxstr("d"), nullptr, data, &error));
    EXPECT_EQ(failure(error), "-1001 HTTPMethod is not valid for this API");
}

TEST(GeneratorArchive, RoundTripKeepsSettingsButNotTheFraction) {
    auto generator = NUCURLRequestGenerator::generator();
    NUCURLRequestGenerator& g = *generator;
    g.setDefaultValue(vxstr("v"), vxstr("X-Test"));
    g.setStringEncoding(NUCStringEncodingISOLatin1);
    g.setAllowsCellularAccess(false);
    g.setCachePolicy(4);
    g.setShouldHandleCookies(false);
    g.setShouldUsePipelining(true);
    g.setNetworkServiceType(3);
    g.setTimeoutInterval(2.9);
    g.setBaseURLPath(vxstr("https://h.example/base"));
    g.setJsonWritingOptions(1);
    g.setQueryStringBlock([](auto&, auto&, auto*) { return vxstr("q"); });

    VxErrorPtr error;
    VxDataPtr archive = VxKeyedArchiver::archivedDataWithRootObject(g.self(), true, &error);
    ASSERT_TRUE(archive) << vxDescription(error);
    auto back = vx_cast<NUCURLRequestGenerator>(VxKeyedUnarchiver::unarchivedObjectOfClass(
        NUCURLRequestGenerator::classObject(), archive, &error));
    ASSERT_TRUE(back) << vxDescription(error);
    EXPECT_TRUE(vxEqual(back->defaultHeadersDictionary(), g.defaultHeadersDictionary()));
    EXPECT_NE(back->defaultHeadersDictionary(), g.defaultHeadersDictionary());
    EXPECT_EQ(back->strEncoding(), NUCStringEncodingISOLatin1);
    EXPECT_EQ(back->cfStrEncoding(), NUCCFStringEncodingISOLatin1);
    EXPECT_FALSE(back->allowsCellularAccess());
    EXPECT_EQ(back->cachePolicy(), 4u);
    EXPECT_EQ(back->networkServiceType(), 3u);
    EXPECT_EQ(back->timeoutInterval(), 2.0);
    ASSERT_TRUE(back->baseURL());
    EXPECT_EQ(back->baseURL()->absoluteString(), "https://h.example/base/");
    EXPECT_EQ(back->jsonWritingOptions(), 1u);
    EXPECT_FALSE(back->queryStringBlock());

    // A generator without base URL comes back without one, and its headers can
    // still be changed.
    auto plainGenerator = NUCURLRequestGenerator::generator();
    NUCURLRequestGenerator& plain = *plainGenerator;
    auto plainBack = vx_cast<NUCURLRequestGenerator>(VxKeyedUnarchiver::unarchivedObjectOfClass(
        NUCURLRequestGenerator::classObject(),
        VxKeyedArchiver::archivedDataWithRootObject(plain.self(), true)));
    ASSERT_TRUE(plainBack);
    EXPECT_FALSE(plainBack->baseURL());
    plainBack->setAuthHeaderWithToken(vxstr("t"));
    EXPECT_EQ(field(*plainBack, "Authorization"), "Token token=\"t\"");
    EXPECT_EQ(field(plain, "Authorization"), "<none>");
}
