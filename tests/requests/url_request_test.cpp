#include <gtest/gtest.h>

#include "platform/linux/VxURLRequest.h"

TEST(URLRequest, HeaderFieldsIgnoreCaseAndKeepFirstSpelling) {
    VxHTTPHeaderFields h;
    h.set("Content-Type", "a");
    h.set("content-type", "b");
    h.add("X-List", "1");
    h.add("x-list", "2");
    ASSERT_EQ(h.size(), 2u);
    EXPECT_EQ(h.entries()[0].first, "Content-Type");
    EXPECT_EQ(*h.find("CONTENT-TYPE"), "b");
    EXPECT_EQ(vx::textOf(h.dictionary()->objectForKey("X-List")), "1, 2");
    h.remove("CONTENT-type");
    EXPECT_FALSE(h.contains("Content-Type"));

    h.set("Content-Type", "application/json; charset=utf-8");
    h.set("Content-Length", "12");
    VxHTTPURLResponse response(VxURL::URLWithString("https://h/p"), 404, h);
    EXPECT_EQ(response.MIMEType(), "application/json");
    EXPECT_EQ(response.expectedContentLength(), 12);
    EXPECT_EQ(response.valueForHTTPHeaderField("content-length")->str(), "12");
    for (auto [code, phrase] : {std::pair<int, const char*>{404, "Not Found"},
                                {429, "Too Many Requests"},
                                {418, ""},
                                {299, ""}})
        EXPECT_EQ(VxHTTPURLResponse::localizedStringForStatusCode(code), phrase) << code;
}

TEST(URLRequest, CopiesAreFreshAndIndependent) {
    auto r = VxMutableURLRequest::requestWithURL(VxURL::URLWithString("https://h/p"));
    EXPECT_EQ(r->HTTPMethod(), "GET");
    EXPECT_EQ(r->timeoutInterval(), 60.0);
    r->setHTTPMethod("POST");
    r->setValue("1", "X-A");
    auto bytes = std::make_shared<VxMutableData>();
    bytes->appendBytes("abc", 3);
    r->setHTTPBody(bytes);
    bytes->appendBytes("d", 1);
    EXPECT_EQ(r->HTTPBody()->view(), "abc");

    auto frozen = vx_cast<VxURLRequest>(r->copy());
    ASSERT_TRUE(frozen);
    EXPECT_TRUE(frozen->isMemberOfClass(VxURLRequest::classObject()));
    EXPECT_TRUE(frozen->isEqual(*r));
    auto other = vx_cast<VxMutableURLRequest>(frozen->mutableCopy());
    ASSERT_TRUE(other);
    other->setValue("2", "x-a");
    other->setHTTPMethod("PUT");
    EXPECT_EQ(r->valueForHTTPHeaderField("X-A")->str(), "1");
    EXPECT_EQ(frozen->HTTPMethod(), "POST");
    EXPECT_FALSE(other->isEqual(*r));

    // Body and body stream exclude each other.
    other->setHTTPBodyStream(VxInputStream::inputStreamWithData(VxData::dataWithString("s")));
    EXPECT_EQ(other->HTTPBody(), nullptr);
    other->setHTTPBody(VxData::dataWithString("b"));
    EXPECT_EQ(other->HTTPBodyStream(), nullptr);
    other->setValue(VxStringPtr(), "X-A");
    EXPECT_EQ(other->valueForHTTPHeaderField("x-a"), nullptr);
}
