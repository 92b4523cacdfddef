#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "platform/foundation/VxStream.h"
#include "requests/NUCRestKit.h"
#include "support/RequestHelpers.h"
#include "support/TestEnv.h"

namespace {

using da::test::header;
using da::test::text;

VxDictionaryPtr table(std::initializer_list<std::pair<const char*, Id>> entries) {
    auto d = VxMutableDictionary::dictionary();
    for (auto& [k, v] : entries) d->setObject(v, vxstr(k));
    return d;
}
std::string failure(const VxErrorPtr& e) {
    if (!e) return "<no error>";
    auto reason = e->localizedFailureReason();
    return e->domain() + " " + std::to_string(e->code()) + " " + (reason ? reason->str() : "");
}

}  // namespace

TEST(RestHelpers, RequestRecords) {
    auto url = VxURL::URLWithString("https://h.example/p");
    auto post = NUCRestKit::createRequestForURL(url, true, 5, VxData::dataWithString("0123456789"),
                                                true, false);
    ASSERT_TRUE(post);
    EXPECT_EQ(post->HTTPMethod(), "POST");
    EXPECT_EQ(header(post, "Content-Length"), "10");
    EXPECT_EQ(header(post, "Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(header(post, "Accept-Encoding"), "gzip");
    EXPECT_EQ(post->timeoutInterval(), 5.0);
    EXPECT_FALSE(post->HTTPShouldHandleCookies());

    auto get = NUCRestKit::createSimpleRequestForURL(url, false);
    ASSERT_TRUE(get);
    EXPECT_EQ(get->HTTPMethod(), "GET");
    EXPECT_EQ(header(get, "Content-Length"), "<none>");
    EXPECT_EQ(get->cachePolicy(), 1u);
    EXPECT_EQ(get->timeoutInterval(), 120.0);
    EXPECT_FALSE(NUCRestKit::createSimpleRequestForURL(nullptr, true));

    auto form = NUCRestKit::createPostRequestForURL(url, -1, table({{"a b", vxstr("x/y")}}), true);
    ASSERT_TRUE(form && form->HTTPBody());
    EXPECT_EQ(form->HTTPBody()->view(), "a%20b=x%2Fy");
    auto empty = NUCRestKit::createPostRequestForURL(url, 3, VxDictionary::dictionary(), true);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->HTTPMethod(), "GET");

    auto byPath =
        NUCRestKit::createRequestForPath(vxstr("http://h/a b"), true, 1, nullptr, false, true);
    ASSERT_TRUE(byPath);
    EXPECT_EQ(byPath->URL()->absoluteString(), "http://h/a%20b");
}

TEST(RestHelpers, EncodingsOfTables) {
    auto t = table({{"a", vxstr("1 2")}, {"b&", VxNumber::make(3)}, {"c", vx::null()}});
    EXPECT_EQ(text(NUCRestKit::encodeParamStringFromDictionary(t)), "a=1%202&b&=3&c=");
    auto form = NUCRestKit::encodedFormFromDictionary(t);
    ASSERT_TRUE(form);
    EXPECT_EQ(form->view(), "a=1%202&b%26=3&c=");
    EXPECT_FALSE(NUCRestKit::encodeParamStringFromDictionary(VxDictionary::dictionary()));

    auto one = vxstr("1");
    EXPECT_EQ(text(NUCRestKit::createQueryStringForPath(
                  vxstr("p?"), {vxstr("a"), one, vxstr("b"), VxNumber::make(2), nullptr})),
              "p?a=1&b=2");
    EXPECT_EQ(text(NUCRestKit::createQueryStringForPath(vxstr("p"), {vxstr("a"), one})), "pa=1");
    // A null value drops its pair and ends the list.
    EXPECT_EQ(text(NUCRestKit::createQueryStringForPath(
                  vxstr("p?"), {vxstr("a"), one, vxstr("b"), vx::null(), vxstr("c"), one})),
              "p?a=1");
    EXPECT_FALSE(NUCRestKit::createQueryStringForPath(vxstr("p?"), {nullptr}));
}

TEST(RestHelpers, BasicAuthorizationAndCredentials) {
    auto request = VxMutableURLRequest::requestWithURL(VxURL::URLWithString("https://h/"));
    request->setValue("Bearer x", "Authorization");
    auto withAuth = NUCRestKit::addBasicAuthToURLRequest(request, vxstr("a"), vxstr("b"));
    ASSERT_TRUE(withAuth);
    EXPECT_EQ(header(withAuth, "Authorization"), "Bearer x, Basic YTpi");
    EXPECT_EQ(header(request, "Authorization"), "Bearer x");  // the original is untouched
    // Long credentials still give one token without line breaks.
    std::string user(80, 'u');
    auto longAuth = NUCRestKit::addBasicAuthToURLRequest(
        VxMutableURLRequest::requestWithURL(VxURL::URLWithString("https://h/")), vxstr(user),
        vxstr("p"));
    ASSERT_TRUE(longAuth);
    std::string value = header(longAuth, "Authorization");
    EXPECT_EQ(value.size(), 6 + 4 * ((user.size() + 2 + 2) / 3));
    EXPECT_EQ(value.find_first_of("\r\n "), 5u);
    EXPECT_FALSE(NUCRestKit::addBasicAuthToURLRequest(request, vxstr("a"), vxstr("")));

    auto credential = NUCRestKit::createVxURLCredentialForUser(vxstr("u"), vxstr(""));
    ASSERT_TRUE(credential);
    EXPECT_EQ(credential->user()->str(), "u");
    EXPECT_EQ(credential->password()->str(), "");
    EXPECT_EQ(credential->persistence(), VxURLCredentialPersistenceForSession);
    EXPECT_FALSE(NUCRestKit::createVxURLCredentialForUser(nullptr, vxstr("p")));
}

TEST(RestHelpers, StringEncodingOfFile) {
    da::test::TempDir tmp;
    struct Case {
        const char* name;
        std::string bytes;
        bool ok;
        std::uint64_t encoding;
    } cases[] = {
        {"utf8.txt", "h\xC3\xA9", true, 4},
        {"bom8.txt", "\xEF\xBB\xBFx", true, 4},
        {"le16.txt", std::string("\xFF\xFEh\0", 4), true, NUCStringEncodingUTF16LittleEndian},
        {"le32.txt", std::string("\xFF\xFE\0\0h\0\0\0", 8), true,
         NUCStringEncodingUTF32LittleEndian},
        {"odd16.txt", std::string("\xFE\xFF\0", 3), false, 0},
        {"latin1.txt", "h\xE9", false, 0},
        {"empty.txt", "", false, 4},
    };
    for (const Case& c : cases) {
        std::uint64_t encoding = 99;
        bool ok = NUCRestKit::getStringEncoding(&encoding, vxstr(tmp.write(c.name, c.bytes)));
        EXPECT_EQ(ok, c.ok) << c.name;
        EXPECT_EQ(encoding, c.encoding) << c.name;
    }
    std::uint64_t encoding = 0;
    std::string fileURL = "file://" + (tmp / "utf8.txt");
    EXPECT_TRUE(NUCRestKit::getStringEncoding(&encoding, vxstr(fileURL)));
    EXPECT_FALSE(NUCRestKit::getStringEncoding(&encoding, vxstr(tmp / "missing.txt")));
    EXPECT_FALSE(NUCRestKit::getStringEncoding(&encoding, vxstr("http://h/utf8.txt")));
}

TEST(RestHelpers, UploadPreflight) {
    da::test::TempDir tmp;
    const std::string good = tmp.write("good.bin", "12345");
    const std::string empty = tmp.write("empty.bin", "");
    const std::string link = tmp / "link.bin";
    ASSERT_EQ(::symlink(good.c_str(), link.c_str()), 0);
    const std::string secret = tmp.write("secret.bin", "x");
    std::filesystem::permissions(secret, std::filesystem::perms::none);
    const bool root = ::geteuid() == 0;

    auto check = [](const VxURLPtr& url, std::uint64_t* length = nullptr) {
        VxErrorPtr error = VxError::errorWithDomain("stale", 1);
        bool ok = NUCRestKit::canUploadFileAtURL(url, length, &error);
        EXPECT_EQ(ok, error == nullptr);
        return failure(error);
    };
    const std::string d = "NUCRestKitErrorDomain ";
    EXPECT_EQ(check(nullptr), d + "-1000 FileURL cannot be nil");
    EXPECT_EQ(check(VxURL::URLWithString("http://h")), d + "-1000 File path is invalid");
    EXPECT_EQ(check(VxURL::URLWithString("http://h/x")),
              d + "-1000 URL parameter must be a file URL");
    EXPECT_EQ(check(VxURL::fileURLWithPath(tmp.path(), true)),
              d + "-1002 Directories are not supported");
    EXPECT_EQ(check(VxURL::fileURLWithPath(link)), d + "-1003 Symbolic links are not supported");
    EXPECT_EQ(check(VxURL::fileURLWithPath(empty)), d + "-1007 " + empty + " has zero length");
    if (!root) {
        EXPECT_EQ(check(VxURL::fileURLWithPath(secret)),
                  d + "-1004 " + secret + " does not have read permissions set");
    }
    // A missing file: the file system's own error is passed on.
    std::string missing = check(VxURL::fileURLWithPath(tmp / "missing"));
    EXPECT_EQ(missing.rfind(std::string(VxPOSIXErrorDomain) + " 2 ", 0), 0u) << missing;

    std::uint64_t length = 77;
    EXPECT_EQ(check(VxURL::fileURLWithPath(empty), &length),
              d + "-1007 " + empty + " has zero length");
    EXPECT_EQ(length, 77u);  // untouched on failure
    EXPECT_EQ(check(VxURL::fileURLWithPath(good), &length), "<no error>");
    EXPECT_EQ(length, 5u);
}
