#include <gtest/gtest.h>

#include <string>

#include "platform/foundation/VxJSON.h"
#include "requests/NUCURLRequestGenerator.h"
#include "support/RequestHelpers.h"
#include "support/TestEnv.h"

namespace {

using da::test::header;
using da::test::ScopedEnv;

std::string url(const VxURLRequestPtr& r) {
    return r ? r->URL()->absoluteString() : "<none>";
}
std::string body(const VxURLRequestPtr& r) {
    return r && r->HTTPBody() ? std::string(r->HTTPBody()->view()) : "<none>";
}
std::string reason(const VxErrorPtr& e) {
    auto r = e ? e->localizedFailureReason() : nullptr;
    return r ? r->str() : "<none>";
}
std::string defaultHeader(const NUCURLRequestGeneratorPtr& g, const char* name) {
    return vx::textOf(g->defaultRequestHeaders()->objectForKey(name));
}

NUCURLRequestGeneratorPtr generatorWithBase() {
    auto g = NUCURLRequestGenerator::generator();
    g->setBaseURLPath(vxstr("https://diag.example/api"));
    return g;
}

VxDictionaryPtr params(std::initializer_list<std::pair<std::string, Id>> pairs) {
    return VxDictionary::dictionaryWithPairs(pairs);
}

VxStringPtr str(const char* s) {
    return s ? vxstr(s) : VxStringPtr();
}
// Parameters in the URL or as a form body.
VxMutableURLRequestPtr make(const NUCURLRequestGeneratorPtr& g, const char* method,
                            const char* path, const Id& p = Id(), bool form = false,
                            VxErrorPtr* error = nullptr) {
    return g->requestWithMethod(str(method), str(path), p, form, error);
}
// A JSON body.
VxMutableURLRequestPtr makeJSON(const NUCURLRequestGeneratorPtr& g, const char* method,
                                const char* path, const Id& json, VxErrorPtr* error) {
    return g->requestWithMethod(str(method), str(path), Id(), json, error);
}

void expectError(const VxErrorPtr& error, std::int64_t code, const char* why) {
    ASSERT_TRUE(error) << why;
    EXPECT_EQ(error->domain(), "NUCURLRequestErrorDomain");
    EXPECT_EQ(error->code(), code);
    EXPECT_EQ(reason(error), why);
}

}  // namespace

TEST(Generator, DefaultsHeadersAndUserAgent) {
    {
        ScopedEnv language("LANGUAGE", "fr:de:es");
        auto g = NUCURLRequestGenerator::generator();
        EXPECT_EQ(defaultHeader(g, "Accept-Language"), "fr;q=1, de;q=0.9, es;q=0.8");
        EXPECT_EQ(g->defaultRequestHeaders()->count(), 1u);
        EXPECT_TRUE(g->allowsCellularAccess());
        EXPECT_TRUE(g->shouldHandleCookies());
        EXPECT_EQ(g->timeoutInterval(), 60.0);
        EXPECT_EQ(g->stringEncoding(), 4u);
        EXPECT_EQ(g->cfStrEncoding(), 0x08000100u);
    }
    ScopedEnv language("LANGUAGE", "a:b:c:d:e:f:g:h:i");  // at most six languages
    auto g = NUCURLRequestGenerator::generator();
    EXPECT_EQ(defaultHeader(g, "Accept-Language"),
              "a;q=1, b;q=0.9, c;q=0.8, d;q=0.7, e;q=0.6, f;q=0.5");
    EXPECT_EQ(NUCURLRequestGenerator::jsonContentTypeString()->str(),
              "application/json; charset=utf-8");

    g->setDefaultValue(vxstr("v1"), vxstr("X-One"));
    g->setDefaultValue(vxstr("v2"), vxstr("X-One"));
    EXPECT_EQ(defaultHeader(g, "X-One"), "v2");
    g->setDefaultValue(vxstr(""), vxstr("X-One"));
    EXPECT_EQ(g->defaultRequestHeaders()->objectForKey("X-One"), nullptr);
    g->setDefaultValue(vxstr("v"), vxstr(""));
    g->setDefaultValue(vxstr("v"), nullptr);
    EXPECT_EQ(g->defaultRequestHeaders()->count(), 1u);
    auto snapshot = g->defaultRequestHeaders();  // does not follow later changes
    g->setDefaultValue(vxstr("v"), vxstr("X-Two"));
    EXPECT_EQ(snapshot->objectForKey("X-Two"), nullptr);

    // The user agent is reduced to ASCII.
    const std::pair<const char*, const char*> agents[] = {
        {"Caf\xC3\xA9 D\xC3\xAFgn\xC3\xB6stics/2", "Cafe Dignostics/2"},
        {"\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82/3", "Privet/3"}};
    for (const auto& [in, out] : agents) {
        g->setUserAgent(vxstr(in));
        EXPECT_EQ(g->userAgent()->str(), out);
    }
    g->setUserAgent(nullptr);
    EXPECT_EQ(g->userAgent(), nullptr);
}

TEST(Generator, BaseURLPathEncodingAndURIMethods) {
    auto a = NUCURLRequestGenerator::generator();
    for (const char* path : {"https://diag.example/api", "https://diag.example/api/", "", "100%"}) {
        a->setBaseURLPath(vxstr(path));  // the last two are refused
        ASSERT_TRUE(a->baseURL());
        EXPECT_EQ(a->baseURL()->absoluteString(), "https://diag.example/api/") << path;
    }
    a->setStringEncoding(5);
    a->setStringEncoding(99);  // unsupported: unchanged
    EXPECT_EQ(a->strEncoding(), 5u);
    EXPECT_EQ(a->cfStrEncoding(), 0x0201u);

    for (const char* m : {"GET", "get", "Head", "DELETE"})
        EXPECT_TRUE(a->methodsWithParametersInURI(vxstr(m))) << m;
    for (const char* m : {"POST", "put", "GETX", ""})
        EXPECT_FALSE(a->methodsWithParametersInURI(vxstr(m))) << m;
    EXPECT_FALSE(a->methodsWithParametersInURI(nullptr));
}

TEST(Generator, QueryStringsAndURIMethods) {
    auto g = generatorWithBase();
    auto q = g->queryStringFromParameters(params({{"z", vxstr("a b&c")},
                                                  {"list[]", vxstr("[v]")},
                                                  {"n", VxNumber::numberWithInt(42)},
                                                  {"flag", vx::null()},
                                                  {"", vxstr("skipped")},
                                                  {"e", vxstr("")},
                                                  {"k:/?", vxstr("~-._+,*'")},
                                                  {"\xC3\xA9", vxstr("\xC3\xA9")}}));
    ASSERT_TRUE(q);
    EXPECT_EQ(q->str(),
              "z=a%20b%26c&list[]=%5Bv%5D&n=42&flag&e&k%3A%2F%3F=~-._%2B%2C%2A%27&%C3%A9=%C3%A9");
    EXPECT_EQ(g->queryStringFromParameters(nullptr), nullptr);
    EXPECT_EQ(g->queryStringFromParameters(vx::null()), nullptr);
    EXPECT_EQ(g->queryStringFromParameters(params({{"", vxstr("x")}})), nullptr);
    g->setStringEncoding(5);  // in ISO Latin 1 a character is one escaped byte
    EXPECT_EQ(g->queryStringFromParameters(params({{"k", vxstr("\xC3\xA9")}}))->str(), "k=%E9");

    // URI methods append to a query already there.
    auto p = params({{"a", vxstr("1")}});
    EXPECT_EQ(url(make(g, "DELETE", "items?x=y", p)), "https://diag.example/api/items?x=y&a=1");
    EXPECT_EQ(
        url(g->requestWithMethod(vxstr("HEAD"), VxURL::URLWithString("https://h/p?"), p, false)),
        "https://h/p??a=1");
    // Parameters that give no text leave the request unchanged.
    EXPECT_EQ(url(make(g, "GET", "items", VxDictionary::dictionary())),
              "https://diag.example/api/items");
}

TEST(Generator, CopyCarriesSettingsIntoRequestsAndOwnsItsHeaders) {
    auto g = generatorWithBase();
    g->setTimeoutInterval(12.5);
    g->setCachePolicy(4);
    g->setShouldHandleCookies(false);
    g->setShouldUsePipelining(true);
    g->setNetworkServiceType(3);
    g->setAllowsCellularAccess(false);
    g->setJsonWritingOptions(1);
    g->setStringEncoding(1);
    g->setDefaultValue(vxstr("shared"), vxstr("X-Shared"));

    auto copy = g->copyGenerator();
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->jsonWritingOptions(), 1u);
    EXPECT_EQ(copy->strEncoding(), 1u);
    EXPECT_EQ(copy->cfStrEncoding(), 0x0600u);

    // A URI method on the copy: base, headers and settings come along.
    VxErrorPtr error = VxError::errorWithDomain("stale", 1);
    auto r = make(copy, "get", "items", params({{"a", vxstr("1")}}), false, &error);
    EXPECT_EQ(error, nullptr);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->HTTPMethod(), "GET");
    EXPECT_EQ(url(r), "https://diag.example/api/items?a=1");
    EXPECT_EQ(r->timeoutInterval(), 12.5);
    EXPECT_EQ(r->cachePolicy(), 4u);
    EXPECT_FALSE(r->HTTPShouldHandleCookies());
    EXPECT_TRUE(r->HTTPShouldUsePipelining());
    EXPECT_EQ(r->networkServiceType(), 3u);
    EXPECT_FALSE(r->allowsCellularAccess());
    EXPECT_NE(header(r, "accept-language"), "<none>");
    EXPECT_EQ(header(r, "X-Shared"), "shared");

    copy->setDefaultValue(vxstr("diag.example"), vxstr("Host"));
    copy->setDefaultValue(nullptr, vxstr("X-Shared"));
    EXPECT_EQ(g->defaultRequestHeaders()->objectForKey("Host"), nullptr);
    EXPECT_EQ(defaultHeader(g, "X-Shared"), "shared");
    r = make(g, "GET", "x");
    EXPECT_EQ(header(r, "Host"), "<none>");
    // Requests are fresh too: changing one never reaches the generator's next.
    r->setValue("changed", "X-Shared");
    EXPECT_EQ(header(make(g, "GET", "x"), "X-Shared"), "shared");

    // The class is known by name, so it can be created when decoding.
    const VxClass* cls = VxClass::classNamed("NUCURLRequestGenerator");
    ASSERT_NE(cls, nullptr);
    EXPECT_TRUE(vx_cast<NUCURLRequestGenerator>(cls->createInstance()));
}

TEST(Generator, FormBodiesAndIgnoredParameters) {
    auto g = generatorWithBase();
    auto p = params({{"a", vxstr("1")}, {"b", vxstr("x y")}});
    auto r = make(g, "post", "form", p, true);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->HTTPMethod(), "POST");
    EXPECT_EQ(url(r), "https://diag.example/api/form");
    EXPECT_EQ(header(r, "Content-Type"), "application/x-www-form-urlencoded; charset=utf-8");
    EXPECT_EQ(body(r), "a=1&b=x%20y");

    r = make(g, "POST", "form", p);
    EXPECT_EQ(url(r), "https://diag.example/api/form");
    EXPECT_EQ(r->HTTPBody(), nullptr);
    EXPECT_EQ(header(r, "Content-Type"), "<none>");

    // A Content-Type from the header table wins over the form one; the first of
    // two spellings of one header in the table is the one that counts.
    g->setDefaultValue(vxstr("text/plain"), vxstr("Content-Type"));
    g->setDefaultValue(vxstr("first"), vxstr("X-Dup"));
    g->setDefaultValue(vxstr("second"), vxstr("x-dup"));
    g->setStringEncoding(5);
    r = make(g, "PUT", "form", p, true);
    EXPECT_EQ(header(r, "Content-Type"), "text/plain");
    EXPECT_EQ(header(r, "X-DUP"), "first");
    EXPECT_EQ(body(r), "a=1&b=x%20y");
    g->setDefaultValue(nullptr, vxstr("Content-Type"));
    r = make(g, "PUT", "form", p, true);
    EXPECT_EQ(header(r, "Content-Type"), "application/x-www-form-urlencoded; charset=iso-8859-1");
}

// Text that the string encoding cannot express is an input error (-1001) for
// query strings and form bodies alike, never a pair silently cut short.
TEST(Generator, ParametersTheEncodingCannotExpressFail) {
    const char* zoe = "Zo\xC3\xAB \xE2\x82\xAC";  // "Zoë €": ë is Latin 1, € is not
    struct Case {
        std::uint64_t encoding;
        std::pair<std::string, Id> pair;
    };
    const Case cases[] = {
        {1, {"name", vxstr(zoe)}},          // ASCII: value
        {5, {"name", vxstr(zoe)}},          // ISO Latin 1: the euro sign
        {5, {"\xE2\x82\xAC", vxstr("1")}},  // a key
        {1, {"\xC3\xAB", VxNull::null()}},  // a bare key
    };
    for (const Case& c : cases) {
        auto g = generatorWithBase();
        g->setStringEncoding(c.encoding);
        auto p = VxDictionary::dictionaryWithPairs({{"a", vxstr("1")}, c.pair});
        EXPECT_EQ(g->queryStringFromParameters(p), nullptr) << c.encoding;
        for (const char* method : {"GET", "POST"}) {
            VxErrorPtr error;
            EXPECT_FALSE(make(g, method, "items", p, true, &error)) << method;
            expectError(error, -1001, "parameters cannot be expressed in the string encoding");
        }
        // A body method without form data does not use the parameters at all.
        VxErrorPtr error;
        EXPECT_TRUE(make(g, "POST", "items", p, false, &error));
        EXPECT_FALSE(error);
    }
    // What Latin 1 can express is sent in Latin 1.
    auto g = generatorWithBase();
    g->setStringEncoding(5);
    auto r = make(g, "POST", "items", params({{"name", vxstr("Zo\xC3\xAB")}}), true);
    EXPECT_EQ(body(r), "name=Zo%EB");
}

TEST(Generator, QueryStringBlockReplacesTheEncoder) {
    auto g = generatorWithBase();
    VxURLRequestPtr seen;
    g->setQueryStringBlock([&](const VxMutableURLRequestPtr& request, const Id& parameters,
                               VxErrorPtr* error) -> VxStringPtr {
        seen = request;
        if (vx::textOf(vx_cast<VxDictionary>(parameters)->objectForKey("fail")) == "yes") {
            *error = VxError::errorWithDomain("Custom", 7);
            return vxstr("ignored");
        }
        return vxstr("custom=1");
    });
    // The copy carries the callback along.
    auto r = make(g->copyGenerator(), "GET", "q", params({{"a", vxstr("1")}}));
    EXPECT_EQ(url(r), "https://diag.example/api/q?custom=1");
    ASSERT_TRUE(seen);  // the callback sees the request it fills in
    // What the caller gets is its own: changes to it never reach the one the callback kept.
    EXPECT_NE(seen.get(), r.get());
    r->setValue("later", "X-Later");
    EXPECT_FALSE(seen->headerFields().contains("X-Later"));

    VxErrorPtr error;
    EXPECT_EQ(make(g, "GET", "q", params({{"fail", vxstr("yes")}}), false, &error), nullptr);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), "Custom");
    EXPECT_EQ(error->code(), 7);
}

TEST(Generator, JSONBodies) {
    auto g = generatorWithBase();
    g->setDefaultValue(vxstr("text/plain"), vxstr("Content-Type"));
    auto json = params({{"identifier", vxstr("X")}, {"n", VxNumber::numberWithInt(1)}});
    VxErrorPtr error = VxError::errorWithDomain("stale", 1);
    auto r = makeJSON(g, "post", "session", json, &error);
    EXPECT_EQ(error, nullptr);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->HTTPMethod(), "POST");
    EXPECT_EQ(url(r), "https://diag.example/api/session");
    EXPECT_EQ(body(r), R"({"identifier":"X","n":1})");
    EXPECT_EQ(header(r, "Content-Type"), "application/json; charset=utf-8");

    EXPECT_EQ(makeJSON(g, "get", "session", json, &error), nullptr);
    expectError(error, -1001, "HTTPMethod is not valid for this API");
    EXPECT_EQ(makeJSON(g, "POST", "session", Id(), &error), nullptr);
    expectError(error, -1001, "jsonObject, method, or url were nil or empty");
    error = nullptr;
    g->requestWithMethod(vxstr(""), VxURL::URLWithString("https://h/"), Id(), Id(json), &error);
    expectError(error, -1001, "jsonObject, method, or url were nil or empty");

    // A value JSON cannot express: -1005 with the serializer's reason as description.
    auto bad = params({{"when", VxDate::date()}});
    EXPECT_EQ(makeJSON(g, "POST", "session", bad, &error), nullptr);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), "NUCURLRequestErrorDomain");
    EXPECT_EQ(error->code(), -1005);
    EXPECT_FALSE(error->localizedDescription().empty());
    EXPECT_EQ(error->localizedFailureReason(), nullptr);

    auto request = VxMutableURLRequest::requestWithURL(VxURL::URLWithString("https://h/"));
    EXPECT_FALSE(g->setRequestBody(request, Id(), &error));
    EXPECT_EQ(error, nullptr);
    EXPECT_TRUE(g->setRequestBody(request, json, &error));
    EXPECT_EQ(body(request), R"({"identifier":"X","n":1})");
}

TEST(Generator, InputErrors) {
    auto g = generatorWithBase();
    VxErrorPtr error;
    auto check = [&](const VxMutableURLRequestPtr& r, std::int64_t code, const char* message) {
        EXPECT_EQ(r, nullptr);
        expectError(error, code, message);
        error = nullptr;
    };
    check(make(g, "GET", "", Id(), false, &error), -1001, "urlStr was empty");
    check(makeJSON(g, "POST", nullptr, vxstr("x"), &error), -1001, "urlStr was empty");
    check(make(g, "GET", "50%", Id(), false, &error), -1006, "Could not create VxURL for request");
    check(makeJSON(g, "POST", "50%", vxstr("x"), &error), -1006,
          "Could not create VxURL for request");
    check(make(g, nullptr, "items", Id(), false, &error), -1001, "method or url were nil");
    check(g->requestWithMethod(vxstr("GET"), VxURLPtr(), Id(), false, &error), -1001,
          "method or url were nil");
    // Without an out-argument a failure just gives nothing.
    EXPECT_EQ(make(g, "GET", ""), nullptr);
}
