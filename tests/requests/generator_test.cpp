#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "platform/VxJSON.h"
#include "requests/NUCURLRequestGenerator.h"

namespace {

// Sets LANGUAGE for the life of the guard and restores the previous value.
class LanguageGuard {
  public:
    explicit LanguageGuard(const char* value) {
        if (const char* old = std::getenv("LANGUAGE")) old_ = old;
        ::setenv("LANGUAGE", value, 1);
    }
    ~LanguageGuard() {
        if (old_) {
            ::setenv("LANGUAGE", old_->c_str(), 1);
        } else {
            ::unsetenv("LANGUAGE");
        }
    }

  private:
    std::optional<std::string> old_;
};

std::string header(const VxURLRequestPtr& r, std::string_view name) {
    auto v = r ? r->valueForHTTPHeaderField(name) : nullptr;
    return v ? v->str() : "<none>";
}

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

NUCURLRequestGeneratorPtr generatorWithBase() {
    auto g = NUCURLRequestGenerator::generator();
    g->setBaseURLPath(vxstr("https://diag.example/api"));
    return g;
}

VxDictionaryPtr params(std::initializer_list<std::pair<std::string, Id>> pairs) {
    return VxDictionary::dictionaryWithPairs(pairs);
}

}  // namespace

TEST(GeneratorDefaults, PropertiesAndAcceptLanguage) {
    {
        LanguageGuard guard("fr:de:es");
        auto g = NUCURLRequestGenerator::generator();
        EXPECT_EQ(vx::textOf(g->defaultRequestHeaders()->objectForKey("Accept-Language")),
                  "fr;q=1, de;q=0.9, es;q=0.8");
        EXPECT_TRUE(g->allowsCellularAccess());
        EXPECT_EQ(g->cachePolicy(), 0u);
        EXPECT_TRUE(g->shouldHandleCookies());
        EXPECT_FALSE(g->shouldUsePipelining());
        EXPECT_EQ(g->networkServiceType(), 0u);
        EXPECT_EQ(g->timeoutInterval(), 60.0);
        EXPECT_FALSE(g->queryStringBlock());
        EXPECT_EQ(g->baseURL(), nullptr);
        EXPECT_EQ(g->jsonWritingOptions(), 0u);
        EXPECT_EQ(g->stringEncoding(), 4u);
        EXPECT_EQ(g->cfStrEncoding(), 0x08000100u);
        EXPECT_EQ(g->userAgent(), nullptr);
        EXPECT_EQ(g->defaultRequestHeaders()->count(), 1u);
    }
    {
        LanguageGuard guard("a:b:c:d:e:f:g:h:i");
        auto g = NUCURLRequestGenerator::generator();
        EXPECT_EQ(vx::textOf(g->defaultRequestHeaders()->objectForKey("Accept-Language")),
                  "a;q=1, b;q=0.9, c;q=0.8, d;q=0.7, e;q=0.6, f;q=0.5");
    }
    EXPECT_EQ(NUCURLRequestGenerator::jsonContentTypeString()->str(),
              "application/json; charset=utf-8");
}

TEST(GeneratorHeaders, DefaultValuesAndUserAgent) {
    auto g = NUCURLRequestGenerator::generator();
    g->setDefaultValue(vxstr("v1"), vxstr("X-One"));
    g->setDefaultValue(vxstr("v2"), vxstr("X-One"));
    EXPECT_EQ(vx::textOf(g->defaultRequestHeaders()->objectForKey("X-One")), "v2");
    g->setDefaultValue(vxstr(""), vxstr("X-One"));
    EXPECT_EQ(g->defaultRequestHeaders()->objectForKey("X-One"), nullptr);
    g->setDefaultValue(vxstr("v"), vxstr(""));
    g->setDefaultValue(vxstr("v"), nullptr);
    EXPECT_EQ(g->defaultRequestHeaders()->count(), 1u);
    // The immutable copy does not follow later changes.
    auto snapshot = g->defaultRequestHeaders();
    g->setDefaultValue(vxstr("v"), vxstr("X-Two"));
    EXPECT_EQ(snapshot->objectForKey("X-Two"), nullptr);

    g->setUserAgent(vxstr("Diagnostics/1.0 (device; 12)"));
    EXPECT_EQ(g->userAgent()->str(), "Diagnostics/1.0 (device; 12)");
    g->setUserAgent(vxstr("Caf\xC3\xA9 D\xC3\xAFgn\xC3\xB6stics/2"));
    EXPECT_EQ(g->userAgent()->str(), "Cafe Dignostics/2");
    g->setUserAgent(vxstr("\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82/3"));  // Cyrillic
    EXPECT_EQ(g->userAgent()->str(), "Privet/3");
    g->setUserAgent(nullptr);
    EXPECT_EQ(g->userAgent(), nullptr);
}

TEST(GeneratorSettings, BaseURLPathEncodingAndURIMethods) {
    auto a = NUCURLRequestGenerator::generator();
    auto b = NUCURLRequestGenerator::generator();
    a->setBaseURLPath(vxstr("https://diag.example/api"));
    b->setBaseURLPath(vxstr("https://diag.example/api/"));
    ASSERT_TRUE(a->baseURL() && b->baseURL());
    EXPECT_EQ(a->baseURL()->absoluteString(), "https://diag.example/api/");
    EXPECT_EQ(b->baseURL()->absoluteString(), "https://diag.example/api/");
    a->setBaseURLPath(vxstr(""));
    a->setBaseURLPath(vxstr("100%"));
    EXPECT_EQ(a->baseURL()->absoluteString(), "https://diag.example/api/");

    a->setStringEncoding(5);
    EXPECT_EQ(a->stringEncoding(), 5u);
    EXPECT_EQ(a->cfStrEncoding(), 0x0201u);
    a->setStringEncoding(99);  // unsupported: unchanged
    EXPECT_EQ(a->strEncoding(), 5u);
    EXPECT_EQ(a->cfStrEncoding(), 0x0201u);

    for (const char* m : {"GET", "get", "Head", "DELETE"}) {
        EXPECT_TRUE(a->methodsWithParametersInURI(vxstr(m))) << m;
    }
    for (const char* m : {"POST", "put", "GETX", ""}) {
        EXPECT_FALSE(a->methodsWithParametersInURI(vxstr(m))) << m;
    }
    EXPECT_FALSE(a->methodsWithParametersInURI(nullptr));
}

TEST(GeneratorQuery, EscapingOrderAndBareKeys) {
    auto g = NUCURLRequestGenerator::generator();
    auto q = g->queryStringFromParameters(params({
        {"z", vxstr("a b&c")},
        {"list[]", vxstr("[v]")},
        {"n", VxNumber::numberWithInt(42)},
        {"flag", vx::null()},
        {"", vxstr("skipped")},
        {"e", vxstr("")},
        {"k:/?", vxstr("~-._+,*'")},
        {"\xC3\xA9", vxstr("\xC3\xA9")},
    }));
    ASSERT_TRUE(q);
    EXPECT_EQ(q->str(),
              "z=a%20b%26c&list[]=%5Bv%5D&n=42&flag&e&k%3A%2F%3F=~-._%2B%2C%2A%27&%C3%A9=%C3%A9");
    EXPECT_EQ(g->queryStringFromParameters(nullptr), nullptr);
    EXPECT_EQ(g->queryStringFromParameters(vx::null()), nullptr);
    EXPECT_EQ(g->queryStringFromParameters(params({{"", vxstr("x")}})), nullptr);

    // In ISO Latin 1 a character is one escaped byte.
    g->setStringEncoding(5);
    EXPECT_EQ(g->queryStringFromParameters(params({{"k", vxstr("\xC3\xA9")}}))->str(), "k=%E9");
}

TEST(GeneratorBuild, URIMethodsCarryParametersInTheURL) {
    auto g = generatorWithBase();
    g->setTimeoutInterval(30);
    g->setCachePolicy(1);
    g->setShouldHandleCookies(false);
    g->setShouldUsePipelining(true);
    g->setNetworkServiceType(2);
    g->setAllowsCellularAccess(false);
    VxErrorPtr error = VxError::errorWithDomain("stale", 1);
    auto r = g->requestWithMethod(vxstr("get"), vxstr("items"), params({{"a", vxstr("1")}}), false,
                                  &error);
    EXPECT_EQ(error, nullptr);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->HTTPMethod(), "GET");
    EXPECT_EQ(url(r), "https://diag.example/api/items?a=1");
    EXPECT_EQ(r->timeoutInterval(), 30.0);
    EXPECT_EQ(r->cachePolicy(), 1u);
    EXPECT_FALSE(r->HTTPShouldHandleCookies());
    EXPECT_TRUE(r->HTTPShouldUsePipelining());
    EXPECT_EQ(r->networkServiceType(), 2u);
    EXPECT_FALSE(r->allowsCellularAccess());
    EXPECT_NE(header(r, "accept-language"), "<none>");

    r = g->requestWithMethod(vxstr("DELETE"), vxstr("items?x=y"), params({{"a", vxstr("1")}}),
                             false);
    EXPECT_EQ(url(r), "https://diag.example/api/items?x=y&a=1");
    r = g->requestWithMethod(vxstr("HEAD"), VxURL::URLWithString("https://h/p?"),
                             params({{"a", vxstr("1")}}), false);
    EXPECT_EQ(url(r), "https://h/p??a=1");
    // Parameters that give no text leave the request unchanged.
    r = g->requestWithMethod(vxstr("GET"), vxstr("items"), VxDictionary::dictionary(), false);
    EXPECT_EQ(url(r), "https://diag.example/api/items");
}

TEST(GeneratorBuild, FormBodiesAndIgnoredParameters) {
    auto g = generatorWithBase();
    auto p = params({{"a", vxstr("1")}, {"b", vxstr("x y")}});
    auto r = g->requestWithMethod(vxstr("post"), vxstr("form"), p, true);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->HTTPMethod(), "POST");
    EXPECT_EQ(url(r), "https://diag.example/api/form");
    EXPECT_EQ(header(r, "Content-Type"), "application/x-www-form-urlencoded; charset=utf-8");
    EXPECT_EQ(body(r), "a=1&b=x%20y");

    r = g->requestWithMethod(vxstr("POST"), vxstr("form"), p, false);
    EXPECT_EQ(url(r), "https://diag.example/api/form");
    EXPECT_EQ(r->HTTPBody(), nullptr);
    EXPECT_EQ(header(r, "Content-Type"), "<none>");

    // A Content-Type from the header table wins over the form one; the first of
    // two spellings of one header in the table is the one that counts.
    g->setDefaultValue(vxstr("text/plain"), vxstr("Content-Type"));
    g->setDefaultValue(vxstr("first"), vxstr("X-Dup"));
    g->setDefaultValue(vxstr("second"), vxstr("x-dup"));
    r = g->requestWithMethod(vxstr("PUT"), vxstr("form"), p, true);
    EXPECT_EQ(header(r, "Content-Type"), "text/plain");
    EXPECT_EQ(header(r, "X-DUP"), "first");
    EXPECT_EQ(body(r), "a=1&b=x%20y");

    g->setStringEncoding(5);
    r = g->requestWithMethod(vxstr("PUT"), vxstr("form"), p, true);
    EXPECT_EQ(header(r, "Content-Type"), "text/plain");
    g->setDefaultValue(nullptr, vxstr("Content-Type"));
    r = g->requestWithMethod(vxstr("PUT"), vxstr("form"), p, true);
    EXPECT_EQ(header(r, "Content-Type"), "application/x-www-form-urlencoded; charset=iso-8859-1");
}

TEST(GeneratorBuild, QueryStringBlockReplacesTheEncoder) {
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
    auto r = g->requestWithMethod(vxstr("GET"), vxstr("q"), params({{"a", vxstr("1")}}), false);
    EXPECT_EQ(url(r), "https://diag.example/api/q?custom=1");
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->HTTPMethod(), "GET");

    VxErrorPtr error;
    r = g->requestWithMethod(vxstr("GET"), vxstr("q"), params({{"fail", vxstr("yes")}}), false,
                             &error);
    EXPECT_EQ(r, nullptr);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), "Custom");
    EXPECT_EQ(error->code(), 7);

    // The copy carries the callback along.
    EXPECT_EQ(url(g->copyGenerator()->requestWithMethod(vxstr("GET"), vxstr("q"),
                                                        params({{"a", vxstr("1")}}), false)),
              "https://diag.example/api/q?custom=1");
}

TEST(GeneratorBuild, JSONBodies) {
    auto g = generatorWithBase();
    g->setDefaultValue(vxstr("text/plain"), vxstr("Content-Type"));
    auto json = params({{"identifier", vxstr("X")}, {"n", VxNumber::numberWithInt(1)}});
    VxErrorPtr error = VxError::errorWithDomain("stale", 1);
    auto r = g->requestWithMethod(vxstr("post"), vxstr("session"), Id(), Id(json), &error);
    EXPECT_EQ(error, nullptr);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->HTTPMethod(), "POST");
    EXPECT_EQ(url(r), "https://diag.example/api/session");
    EXPECT_EQ(body(r), R"({"identifier":"X","n":1})");
    EXPECT_EQ(header(r, "Content-Type"), "application/json; charset=utf-8");

    r = g->requestWithMethod(vxstr("get"), vxstr("session"), Id(), Id(json), &error);
    EXPECT_EQ(r, nullptr);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), "NUCURLRequestErrorDomain");
    EXPECT_EQ(error->code(), -1001);
    EXPECT_EQ(reason(error), "HTTPMethod is not valid for this API");

    r = g->requestWithMethod(vxstr("POST"), vxstr("session"), Id(), Id(), &error);
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(reason(error), "jsonObject, method, or url were nil or empty");
    r = g->requestWithMethod(vxstr(""), VxURL::URLWithString("https://h/"), Id(), Id(json), &error);
    EXPECT_EQ(reason(error), "jsonObject, method, or url were nil or empty");

    // A value JSON cannot express: -1005 with the serializer's reason as description.
    auto bad = params({{"when", VxDate::date()}});
    r = g->requestWithMethod(vxstr("POST"), vxstr("session"), Id(), Id(bad), &error);
    EXPECT_EQ(r, nullptr);
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

TEST(GeneratorBuild, InputErrors) {
    auto g = generatorWithBase();
    VxErrorPtr error;
    auto check = [&](const VxMutableURLRequestPtr& r, std::int64_t code, const char* message) {
        EXPECT_EQ(r, nullptr);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), "NUCURLRequestErrorDomain");
        EXPECT_EQ(error->code(), code);
        EXPECT_EQ(reason(error), message);
    };
    check(g->requestWithMethod(vxstr("GET"), vxstr(""), Id(), false, &error), -1001,
          "urlStr was empty");
    check(g->requestWithMethod(vxstr("POST"), VxStringPtr(), Id(), Id(vxstr("x")), &error), -1001,
          "urlStr was empty");
    check(g->requestWithMethod(vxstr("GET"), vxstr("50%"), Id(), false, &error), -1006,
          "Could not create VxURL for request");
    check(g->requestWithMethod(vxstr("POST"), vxstr("50%"), Id(), Id(vxstr("x")), &error), -1006,
          "Could not create VxURL for request");
    check(g->requestWithMethod(VxStringPtr(), vxstr("items"), Id(), false, &error), -1001,
          "method or url were nil");
    check(g->requestWithMethod(vxstr("GET"), VxURLPtr(), Id(), false, &error), -1001,
          "method or url were nil");
    // Without an out-argument a failure just gives nothing.
    EXPECT_EQ(g->requestWithMethod(vxstr("GET"), vxstr(""), Id(), false), nullptr);
}

TEST(GeneratorCopy, CopiesSettingsAndOwnsItsHeaders) {
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
    EXPECT_NE(copy, g);
    EXPECT_TRUE(copy->isMemberOfClass(NUCURLRequestGenerator::classObject()));
    EXPECT_EQ(copy->timeoutInterval(), 12.5);
    EXPECT_EQ(copy->cachePolicy(), 4u);
    EXPECT_FALSE(copy->shouldHandleCookies());
    EXPECT_TRUE(copy->shouldUsePipelining());
    EXPECT_EQ(copy->networkServiceType(), 3u);
    EXPECT_FALSE(copy->allowsCellularAccess());
    EXPECT_EQ(copy->jsonWritingOptions(), 1u);
    EXPECT_EQ(copy->strEncoding(), 1u);
    EXPECT_EQ(copy->cfStrEncoding(), 0x0600u);
    EXPECT_EQ(copy->baseURL(), g->baseURL());
    EXPECT_TRUE(copy->defaultRequestHeaders()->isEqual(*g->defaultRequestHeaders()));

    copy->setDefaultValue(vxstr("diag.example"), vxstr("Host"));
    copy->setDefaultValue(nullptr, vxstr("X-Shared"));
    EXPECT_EQ(g->defaultRequestHeaders()->objectForKey("Host"), nullptr);
    EXPECT_EQ(vx::textOf(g->defaultRequestHeaders()->objectForKey("X-Shared")), "shared");
    auto r = g->requestWithMethod(vxstr("GET"), vxstr("x"), Id(), false);
    EXPECT_EQ(header(r, "Host"), "<none>");

    // Requests are fresh too: changing one never reaches the generator's next.
    r->setValue("changed", "X-Shared");
    EXPECT_EQ(header(g->requestWithMethod(vxstr("GET"), vxstr("x"), Id(), false), "X-Shared"),
              "shared");

    // The class is known by name, so it can be created when decoding.
    const VxClass* cls = VxClass::classNamed("NUCURLRequestGenerator");
    ASSERT_NE(cls, nullptr);
    EXPECT_TRUE(vx_cast<NUCURLRequestGenerator>(cls->createInstance()));
}
