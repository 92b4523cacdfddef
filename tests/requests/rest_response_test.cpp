#include <gtest/gtest.h>

#include "platform/foundation/VxFormat.h"
#include "requests/NUCRestResponse.h"

namespace {

NUCRestResponsePtr respond(std::int64_t status) {
    VxHTTPHeaderFields headers;
    headers.set("Content-Type", "application/json");
    auto http = std::make_shared<VxHTTPURLResponse>(VxURL::URLWithString("https://h/session"),
                                                    status, headers);
    return NUCRestResponse::initWithResponse(http);
}

}  // namespace

TEST(RestResponse, ClassifiesStatuses) {
    for (std::int64_t ok : {200, 204, 304, 399}) {
        auto r = respond(ok);
        ASSERT_TRUE(r);
        EXPECT_TRUE(r->isStatusOK()) << ok;
        EXPECT_EQ(r->error(), nullptr);
        EXPECT_EQ(r->statusCode(), ok);
    }
    const char* rest = "NUCRestResponseErrorDomain";
    const char* url = "VxURLErrorDomain";
    struct Case {
        std::int64_t status;
        const char* domain;
        std::int64_t code;
        const char* description;
        const char* reason;
    };
    const Case cases[] = {
        {400, rest, -1023, "Bad Request", "Bad Request"},
        {401, rest, -1019, "Authentication Error", "Unauthorized"},
        {403, rest, -1021, "Operation Not Allowed", "Forbidden"},
        {404, rest, -1022, "Resource Not Available", "Not Found"},
        {409, rest, -1023, "Invalid Request", "Conflict"},
        {503, rest, -1024, "Diagnostics Service Not Available", "Service Unavailable"},
        {402, url, -1011, "Status code: 402", "Payment Required"},
        {500, url, -1011, "Status code: 500", "Internal Server Error"},
        {199, url, -1011, "Status code: 199", "Connection failed"},
        {0, url, -1011, "Status code: 0", "Connection failed"}};
    for (const Case& c : cases) {
        auto r = respond(c.status);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->statusCode(), c.status);
        EXPECT_FALSE(r->isStatusOK()) << c.status;
        ASSERT_TRUE(r->error());
        EXPECT_EQ(r->error()->domain(), c.domain);
        EXPECT_EQ(r->error()->code(), c.code);
        EXPECT_EQ(r->error()->localizedDescription(), c.description);
        ASSERT_TRUE(r->error()->localizedFailureReason());
        EXPECT_EQ(r->error()->localizedFailureReason()->str(), c.reason);
    }
}

TEST(RestResponse, RefusesNonHTTPResponsesAndDescribesItself) {
    auto file = std::make_shared<VxURLResponse>(VxURL::fileURLWithPath("/tmp/x"), "text/plain", 3);
    EXPECT_EQ(NUCRestResponse::initWithResponse(file), nullptr);
    EXPECT_EQ(NUCRestResponse::initWithResponse(nullptr), nullptr);
    EXPECT_EQ(NUCRestResponse::initWithResponse(vx::null()), nullptr);
    EXPECT_EQ(NUCRestResponse::init(), nullptr);

    auto r = respond(201);
    auto headers = r->responseHeaders();
    ASSERT_TRUE(headers);
    EXPECT_EQ(vx::textOf(headers->objectForKey("Content-Type")), "application/json");
    EXPECT_EQ(r->description(),
              "response headers: " + headers->description() + ",\nHTTP status code: 201,\n");

    // The headers are the response's own copy.
    auto mutableHeaders = VxMutableDictionary::dictionary();
    mutableHeaders->setObject(vxstr("1"), "A");
    r->setResponseHeaders(mutableHeaders);
    mutableHeaders->setObject(vxstr("2"), "A");
    EXPECT_EQ(vx::textOf(r->responseHeaders()->objectForKey("A")), "1");
    r->setError(VxError::errorWithDomain("D", 1));
    EXPECT_FALSE(r->isStatusOK());
}
