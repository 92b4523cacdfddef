#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "platform/foundation/VxJSON.h"

namespace {

Id parse(std::string_view text, std::uint64_t options = 0, VxErrorPtr* error = nullptr) {
    return VxJSONSerialization::JSONObjectWithData(VxData::dataWithString(text), options, error);
}

std::string write(const Id& obj, std::uint64_t options = 0, VxErrorPtr* error = nullptr) {
    auto data = VxJSONSerialization::dataWithJSONObject(obj, options, error);
    return data ? std::string(data->view()) : std::string("<failed>");
}

VxNumberPtr num(const Id& obj) {
    return vx_cast<VxNumber>(obj);
}

}  // namespace

TEST(JSON, ReadingKeepsOrderKindsAndNull) {
    VxErrorPtr error = VxError::errorWithDomain("stale", 1);
    auto dict = vx_cast<VxDictionary>(
        parse(R"({"z":1,"a":-2,"m":18446744073709551615,"f":1.5,"t":true,"n":null,"s":"","e":[]})",
              0, &error));
    ASSERT_TRUE(dict);
    EXPECT_EQ(error, nullptr);  // success clears the out-parameter
    EXPECT_FALSE(dict->isKindOfClass(VxMutableDictionary::classObject()));
    ASSERT_EQ(dict->count(), 8u);
    EXPECT_EQ(vx_cast<VxString>(dict->keys()[0])->str(), "z");
    EXPECT_EQ(vx_cast<VxString>(dict->keys()[1])->str(), "a");
    EXPECT_EQ(num(dict->objectForKey("z"))->kind(), VxNumberKind::LongLong);
    EXPECT_EQ(num(dict->objectForKey("a"))->longLongValue(), -2);
    EXPECT_EQ(num(dict->objectForKey("m"))->kind(), VxNumberKind::UnsignedLongLong);
    EXPECT_EQ(num(dict->objectForKey("m"))->unsignedLongLongValue(), UINT64_MAX);
    EXPECT_EQ(num(dict->objectForKey("f"))->kind(), VxNumberKind::Double);
    EXPECT_TRUE(num(dict->objectForKey("t"))->isBoolean());
    // Absent, null and empty stay distinct.
    EXPECT_TRUE(vx::isNull(dict->objectForKey("n")));
    EXPECT_EQ(dict->objectForKey("missing"), nullptr);
    EXPECT_TRUE(vx_cast<VxString>(dict->objectForKey("s"))->empty());
    EXPECT_TRUE(vx_cast<VxArray>(dict->objectForKey("e"))->empty());

    // Escapes and non-ASCII text.
    auto arr = vx_cast<VxArray>(parse(R"(["a\/b\u00e9\n", "\ud83d\ude00"])"));
    ASSERT_TRUE(arr);
    EXPECT_EQ(vx_cast<VxString>(arr->objectAtIndex(0))->str(), "a/b\xc3\xa9\n");
    EXPECT_EQ(vx_cast<VxString>(arr->objectAtIndex(1))->str(), "\xf0\x9f\x98\x80");
}

// Records of a reply repeat their member names and small numbers; each record
// still reads as its own values, in order, with the right kinds (a repeated
// member: the last value at the first position).
TEST(JSON, RepeatedNamesLargeObjectsAndSmallNumbers) {
    std::string text = "[";
    for (int r = 0; r < 3; ++r) {
        text += r ? ",{" : "{";
        for (int m = 0; m < 20; ++m)
            text += "\"m" + std::to_string(m) + "\":" + std::to_string(r * 100 + m) + ",";
        text += R"("m3":"last","b":true,"f":false,"z":0,"n":-1,"big":256,"u":255})";
    }
    text += "]";
    for (std::uint64_t options :
         {std::uint64_t{0}, std::uint64_t{VxJSONReadingMutableContainers}}) {
        auto records = vx_cast<VxArray>(parse(text, options));
        ASSERT_TRUE(records);
        ASSERT_EQ(records->count(), 3u);
        for (int r = 0; r < 3; ++r) {
            auto d = vx_cast<VxDictionary>(records->objectAtIndex(r));
            ASSERT_TRUE(d);
            ASSERT_EQ(d->count(), 26u);
            EXPECT_EQ(vx_cast<VxString>(d->keys()[3])->str(), "m3");  // first position kept
            EXPECT_EQ(vx_cast<VxString>(d->objectForKey("m3"))->str(), "last");
            EXPECT_EQ(num(d->objectForKey("m19"))->longLongValue(), r * 100 + 19);
            EXPECT_EQ(vx_cast<VxString>(d->keys()[25])->str(), "u");
            const std::pair<const char*, VxNumberKind> kinds[] = {
                {"b", VxNumberKind::Bool},       {"f", VxNumberKind::Bool},
                {"z", VxNumberKind::LongLong},   {"n", VxNumberKind::LongLong},
                {"big", VxNumberKind::LongLong}, {"u", VxNumberKind::LongLong}};
            for (const auto& [name, kind] : kinds)
                EXPECT_EQ(num(d->objectForKey(name))->kind(), kind) << name;
            EXPECT_TRUE(num(d->objectForKey("b"))->boolValue());
            EXPECT_FALSE(num(d->objectForKey("f"))->boolValue());
            EXPECT_EQ(num(d->objectForKey("n"))->longLongValue(), -1);
            EXPECT_EQ(num(d->objectForKey("big"))->longLongValue(), 256);
            EXPECT_EQ(num(d->objectForKey("u"))->longLongValue(), 255);
        }
        if (options & VxJSONReadingMutableContainers) {
            // Changing one record leaves the others alone.
            auto first = vx_cast<VxMutableDictionary>(records->objectAtIndex(0));
            ASSERT_TRUE(first);
            first->setObject(vxstr("changed"), "m0");
            first->removeObjectForKey("m1");
            auto second = vx_cast<VxDictionary>(records->objectAtIndex(1));
            EXPECT_EQ(num(second->objectForKey("m0"))->longLongValue(), 100);
            EXPECT_TRUE(second->objectForKey("m1"));
        }
    }
}

TEST(JSON, MutableContainersAtEveryLevel) {
    auto root = parse(R"({"a":[{"b":[]}]})", VxJSONReadingMutableContainers);
    auto d = vx_cast<VxMutableDictionary>(root);
    ASSERT_TRUE(d);
    auto a = vx_cast<VxMutableArray>(d->objectForKey("a"));
    ASSERT_TRUE(a);
    auto inner = vx_cast<VxMutableDictionary>(a->objectAtIndex(0));
    ASSERT_TRUE(inner);
    EXPECT_TRUE(vx_cast<VxMutableArray>(inner->objectForKey("b")));
}

TEST(JSON, BadInputGivesFormatError) {
    const char* bad[] = {
        "",       "   ",   "{",          "[1,]",       "{\"a\":1} x", "[1] [2]",       "{'a':1}",
        "[01]",   "[NaN]", "[\"\xff\"]", "[\"\xc3\"]", "\xef\xbb",    "[\"\\ud800\"]", "{\"a\" 1}",
        "[1e999]"};
    for (const char* text : bad) {
        VxErrorPtr error;
        EXPECT_EQ(parse(text, VxJSONReadingFragmentsAllowed, &error), nullptr) << text;
        ASSERT_TRUE(error) << text;
        EXPECT_EQ(error->domain(), "VxCocoaErrorDomain");
        EXPECT_EQ(error->code(), 3840);
        EXPECT_EQ(error->localizedDescription(),
                  "The data couldn't be read because it isn't in the correct format.");
        EXPECT_TRUE(error->localizedFailureReason()) << text;
    }
    VxErrorPtr error;
    EXPECT_EQ(parse("[1, x]", 0, &error), nullptr);
    ASSERT_TRUE(error);
    EXPECT_NE(error->localizedFailureReason()->str().find("character 4"), std::string::npos)
        << error->localizedFailureReason()->str();
    EXPECT_EQ(VxJSONSerialization::JSONObjectWithData(nullptr, 0, &error), nullptr);
    EXPECT_TRUE(error);
}

TEST(JSON, FragmentsAndDepthLimit) {
    VxErrorPtr error;
    EXPECT_EQ(parse("\"text\"", 0, &error), nullptr);
    EXPECT_TRUE(error);
    EXPECT_EQ(vx_cast<VxString>(parse("\"text\"", VxJSONReadingFragmentsAllowed))->str(), "text");
    EXPECT_TRUE(vx::isNull(parse("null", VxJSONReadingFragmentsAllowed)));
    EXPECT_EQ(num(parse(" 42 ", VxJSONReadingFragmentsAllowed))->longLongValue(), 42);

    const int limit = VxJSONSerialization::kMaxReadingDepth;
    std::string ok = std::string(limit, '[') + std::string(limit, ']');
    EXPECT_TRUE(parse(ok));
    // Far deeper than the limit: refused quickly, without deep recursion.
    std::string deep = std::string(200000, '[') + std::string(200000, ']');
    EXPECT_EQ(parse(deep, 0, &error), nullptr);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 3840);
    EXPECT_NE(error->localizedFailureReason()->str().find("nested"), std::string::npos);
    std::string justOver = std::string(limit + 1, '[') + std::string(limit + 1, ']');
    EXPECT_EQ(parse(justOver), nullptr);
}

TEST(JSON, WritingCompactPrettySortedAndEscaped) {
    auto inner = VxArray::arrayWithObjects({VxNumber::numberWithBool(true), vx::null()});
    auto d = VxDictionary::dictionaryWithPairs({{"b", inner},
                                                {"a", VxNumber::numberWithInt(1)},
                                                {"u", vxstr("http://x/\"\\\x01\xc3\xa9")}});
    EXPECT_EQ(write(d), R"({"b":[true,null],"a":1,"u":"http:\/\/x\/\"\\\u0001)"
                        "\xc3\xa9\"}");
    EXPECT_EQ(write(d, VxJSONWritingSortedKeys | VxJSONWritingWithoutEscapingSlashes),
              R"({"a":1,"b":[true,null],"u":"http://x/\"\\\u0001)"
              "\xc3\xa9\"}");
    // Escapes at either end and between plain runs.
    EXPECT_EQ(write(vxstr("\tab\b\f\ncd\r\x1f"), VxJSONWritingFragmentsAllowed),
              R"("\tab\b\f\ncd\r\u001f")");
    auto small = VxDictionary::dictionaryWithPairs({{"a", inner}, {"e", VxArray::array()}});
    EXPECT_EQ(write(small, VxJSONWritingPrettyPrinted),
              "{\n  \"a\" : [\n    true,\n    null\n  ],\n  \"e\" : []\n}");

    // Numbers by kind.
    auto nums = VxArray::arrayWithObjects(
        {VxNumber::numberWithFloat(0.1f), VxNumber::numberWithDouble(0.1),
         VxNumber::numberWithDouble(1e300), VxNumber::numberWithUnsignedLongLong(UINT64_MAX),
         VxNumber::numberWithLongLong(INT64_MIN), VxNumber::numberWithChar(-5),
         VxNumber::numberWithBool(false), VxDecimalNumber::decimalNumberWithString("-12.50")});
    std::string text = write(nums);
    EXPECT_EQ(text, "[0.1,0.1,1e+300,18446744073709551615,-9223372036854775808,-5,false," +
                        VxDecimalNumber::decimalNumberWithString("-12.50")->stringValue() + "]");
    // What is written reads back equal, kinds included.
    auto back = vx_cast<VxArray>(parse(text));
    ASSERT_TRUE(back);
    EXPECT_EQ(num(back->objectAtIndex(1))->doubleValue(), 0.1);
    EXPECT_EQ(num(back->objectAtIndex(3))->unsignedLongLongValue(), UINT64_MAX);
    EXPECT_EQ(num(back->objectAtIndex(4))->longLongValue(), INT64_MIN);
    EXPECT_TRUE(num(back->objectAtIndex(6))->isBoolean());

    // Fragments on request only.
    VxErrorPtr error;
    EXPECT_EQ(write(vxstr("a/b"), VxJSONWritingFragmentsAllowed), "\"a\\/b\"");
    EXPECT_EQ(write(vxstr("x"), 0, &error), "<failed>");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->localizedFailureReason()->str(), "Invalid top-level type in JSON write");
}

TEST(JSON, UnexpressibleValuesFail) {
    struct Case {
        Id value;
        std::string reason;
    };
    std::vector<Case> cases = {
        {VxArray::arrayWithObjects({VxDate::date()}), "Invalid type in JSON write (VxDate)"},
        {VxArray::arrayWithObjects({VxNumber::numberWithDouble(NAN)}),
         "Invalid number value (NaN) in JSON write"},
        {VxArray::arrayWithObjects({VxNumber::numberWithFloat(INFINITY)}),
         "Invalid number value (infinite) in JSON write"},
        {VxArray::arrayWithObjects({VxDecimalNumber::notANumber()}),
         "Invalid number value (NaN) in JSON write"},
        {VxArray::arrayWithObjects({VxData::dataWithString("x")}),
         "Invalid type in JSON write (VxData)"},
        {VxDictionary::dictionaryWithPairs(
             std::vector<std::pair<Id, Id>>{{VxNumber::numberWithInt(1), vxstr("v")}}),
         "Invalid (non-string) key in JSON dictionary (VxNumber)"},
        {VxArray::arrayWithObjects({VxSet::setWithObjects({vxstr("a")})}),
         "Invalid type in JSON write (VxSet)"},
        {nullptr, "Invalid top-level type in JSON write"},
    };
    for (const auto& c : cases) {
        VxErrorPtr error;
        EXPECT_EQ(VxJSONSerialization::dataWithJSONObject(c.value, 0, &error), nullptr) << c.reason;
        ASSERT_TRUE(error) << c.reason;
        EXPECT_EQ(error->domain(), "VxInvalidArgumentException");
        ASSERT_TRUE(error->localizedFailureReason());
        EXPECT_EQ(error->localizedFailureReason()->str(), c.reason);
        EXPECT_FALSE(VxJSONSerialization::isValidJSONObject(c.value));
    }
    EXPECT_TRUE(VxJSONSerialization::isValidJSONObject(VxArray::array()));
    EXPECT_FALSE(VxJSONSerialization::isValidJSONObject(vxstr("fragment")));

    // A container that contains itself is refused, not followed forever.
    auto loop = VxMutableArray::array();
    loop->addObject(loop);
    VxErrorPtr error;
    EXPECT_EQ(VxJSONSerialization::dataWithJSONObject(loop, 0, &error), nullptr);
    EXPECT_TRUE(error);
    loop->removeAllObjects();  // break the cycle
}
