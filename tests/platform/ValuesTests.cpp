// Value model: absent vs null marker vs empty, number kinds, ordered
// dictionaries with any keys, mutability and copies, URLs, descriptions, the
// class registry, errors and formatting.
#include <gtest/gtest.h>
#include <limits>

#include <algorithm>
#include <cmath>
#include <random>
#include <utility>
#include <vector>

#include "platform/foundation/VxError.h"
#include "platform/foundation/VxFormat.h"
#include "platform/foundation/VxValues.h"

TEST(Values, AbsentNullAndEmptyAreDistinct) {
    auto dict = VxMutableDictionary::dictionary();
    dict->setObject(VxNull::null(), "null");
    dict->setObject(vxstr(""), "empty");
    EXPECT_EQ(dict->objectForKey("absent"), nullptr);
    EXPECT_TRUE(vx::isNull(dict->objectForKey("null")));
    EXPECT_FALSE(vx::isNull(dict->objectForKey("empty")));
    EXPECT_EQ(dict->count(), 2u);
    // Setting an absent value removes; the null marker is a real entry.
    dict->setObject(nullptr, "null");
    EXPECT_EQ(dict->count(), 1u);
    EXPECT_TRUE(vx::isNilOrEmpty(nullptr));
    EXPECT_TRUE(vx::isNilOrEmpty(VxNull::null()));
    EXPECT_TRUE(vx::isNilOrEmpty(vxstr("")));
    EXPECT_TRUE(vx::isNilOrEmpty(VxArray::array()));
    EXPECT_FALSE(vx::isNilOrEmpty(vxstr(" ")));
    EXPECT_FALSE(vx::isNilOrEmpty(VxNumber::numberWithInt(0)));
    // Arrays never hold absent elements.
    auto arr = VxMutableArray::array();
    arr->addObject(nullptr);
    EXPECT_TRUE(vx::isNull(arr->objectAtIndex(0)));
}

TEST(Values, NumbersKeepTheirKindAndText) {
    EXPECT_EQ(VxNumber::numberWithBool(true)->description(), "1");
    EXPECT_EQ(VxNumber::numberWithBool(false)->description(), "0");
    EXPECT_STREQ(VxNumber::numberWithBool(true)->objCType(), "B");
    EXPECT_EQ(VxNumber::numberWithLongLong(-42)->description(), "-42");
    EXPECT_EQ(VxNumber::numberWithUnsignedLongLong(18446744073709551615ULL)->description(),
              "18446744073709551615");
    EXPECT_EQ(VxNumber::numberWithFloat(0.1f)->description(), "0.1");
    EXPECT_EQ(VxNumber::numberWithDouble(0.1)->description(), "0.1");
    EXPECT_EQ(VxNumber::numberWithDouble(100.0)->description(), "100");
    EXPECT_EQ(VxNumber::make(std::uint16_t{7})->kind(), VxNumberKind::UnsignedShort);
    // Equality is numeric across kinds and hashes agree.
    auto one = VxNumber::numberWithInt(1);
    auto oneD = VxNumber::numberWithDouble(1.0);
    auto big = VxNumber::numberWithUnsignedLongLong(1ULL << 63);
    EXPECT_TRUE(one->isEqual(*oneD));
    EXPECT_EQ(one->hash(), oneD->hash());
    EXPECT_FALSE(big->isEqual(*VxNumber::numberWithLongLong(INT64_MIN)));
    EXPECT_EQ(VxNumber::numberWithLongLong(-1)->compare(*big), -1);
    // Out-of-range conversions saturate instead of invoking undefined behaviour.
    EXPECT_EQ(VxNumber::numberWithDouble(1e30)->longLongValue(), INT64_MAX);
    EXPECT_EQ(VxNumber::numberWithDouble(NAN)->longLongValue(), 0);
    EXPECT_EQ(VxNumber::numberWithInt(300)->unsignedCharValue(), 44);
}

TEST(Values, DecimalNumbers) {
    auto d = VxDecimalNumber::decimalNumberWithString("-0012.500");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->stringValue(), "-12.5");
    EXPECT_EQ(VxDecimalNumber::decimalNumberWithString("1.25e3")->stringValue(), "1250");
    EXPECT_EQ(VxDecimalNumber::decimalNumberWithString("0.001")->stringValue(), "0.001");
    EXPECT_EQ(VxDecimalNumber::decimalNumberWithString("-0")->stringValue(), "0");
    EXPECT_EQ(VxDecimalNumber::decimalNumberWithString("12a"), nullptr);
    EXPECT_EQ(VxDecimalNumber::decimalNumberWithString("."), nullptr);
    EXPECT_EQ(VxDecimalNumber::decimalNumberWithString("1e"), nullptr);
    EXPECT_TRUE(VxDecimalNumber::notANumber()->isNaN());
    EXPECT_EQ(VxDecimalNumber::notANumber()->stringValue(), "NaN");
    EXPECT_TRUE(VxDecimalNumber::decimalNumberWithString("1.50")->isEqual(
        *VxDecimalNumber::decimalNumberWithMantissa(15, -1, false)));
    EXPECT_EQ(VxDecimalNumber::decimalNumberWithString("-2")->compare(
                  *VxDecimalNumber::decimalNumberWithString("-10")),
              1);
    EXPECT_DOUBLE_EQ(VxDecimalNumber::decimalNumberWithString("2.5")->doubleValue(), 2.5);
    // More than 38 digits are rounded, not lost wholesale.
    auto longOne =
        VxDecimalNumber::decimalNumberWithString("123456789012345678901234567890123456789");
    EXPECT_EQ(longOne->mantissaDigits().size(), 38u);
    EXPECT_EQ(longOne->stringValue(), "123456789012345678901234567890123456790");
}

// Random sets, removals and look-ups on dictionaries of up to a few hundred
// keys (texts and numbers), checked against a plain list of pairs: insertion
// order (a key set again keeps its place), values and look-ups must always
// agree, also after removals.
TEST(Values, DictionariesAgreeWithAPlainListUnderRandomChanges) {
    std::mt19937 random(7);
    // Number keys are stored as one kind and looked up as the other.
    auto keyFor = [](unsigned k, bool lookUp = false) -> Id {
        if (k % 2 == 0) return vxstr("key-" + std::to_string(k));
        if (lookUp) return VxNumber::numberWithDouble(static_cast<double>(k));
        return VxNumber::numberWithLongLong(static_cast<long long>(k));
    };
    for (unsigned range : {5u, 40u, 600u}) {
        auto d = VxMutableDictionary::dictionary();
        std::vector<std::pair<unsigned, int>> model;
        for (int step = 0; step < 3000; ++step) {
            const unsigned k = random() % range;
            auto at = std::find_if(model.begin(), model.end(),
                                   [&](const auto& p) { return p.first == k; });
            if (random() % 4 == 0) {
                d->removeObjectForKey(keyFor(k, true));
                if (at != model.end()) model.erase(at);
            } else {
                d->setObject(VxNumber::numberWithInt(step), keyFor(k));
                if (at != model.end())
                    at->second = step;
                else
                    model.emplace_back(k, step);
            }
            const unsigned probe = random() % range;
            auto expected = std::find_if(model.begin(), model.end(),
                                         [&](const auto& p) { return p.first == probe; });
            auto got = vx_cast<VxNumber>(d->objectForKey(keyFor(probe, true)));
            ASSERT_EQ(static_cast<bool>(got), expected != model.end()) << "key " << probe;
            if (got) {
                ASSERT_EQ(got->intValue(), expected->second);
            }
        }
        ASSERT_EQ(d->count(), model.size());
        for (std::size_t i = 0; i < model.size(); ++i) {
            EXPECT_TRUE(vxEqual(d->keys()[i], keyFor(model[i].first)));
            EXPECT_EQ(vx_cast<VxNumber>(d->values()[i])->intValue(), model[i].second);
        }
        // Copies and text look-ups see the same table.
        auto copy = vx_cast<VxDictionary>(d->copy());
        EXPECT_TRUE(copy->isEqual(*d));
        auto text = std::find_if(model.begin(), model.end(),
                                 [](const auto& p) { return p.first % 2 == 0; });
        if (text != model.end()) {
            EXPECT_TRUE(copy->objectForKey("key-" + std::to_string(text->first)));
        }
    }
    // Equality ignores order.
    auto a = VxDictionary::dictionaryWithPairs({{"x", vxstr("1")}, {"y", vxstr("2")}});
    auto b = VxDictionary::dictionaryWithPairs({{"y", vxstr("2")}, {"x", vxstr("1")}});
    EXPECT_TRUE(a->isEqual(*b));
}

// Trees far deeper than any stack allows are released without recursing per level.
TEST(Values, DeepTreesAreReleasedWithoutDeepRecursion) {
    constexpr int kDepth = 200000;
    Id array = VxArray::array();
    for (int i = 0; i < kDepth; ++i) array = VxArray::arrayWithObjects({array, vx::null()});
    Id dictionary = VxDictionary::dictionary();
    for (int i = 0; i < kDepth; ++i) {
        auto d = VxMutableDictionary::dictionary();
        d->setObject(dictionary, "child");
        dictionary = d;
    }
    // A branch shared with a survivor stays alive and intact.
    auto survivor = vx_cast<VxArray>(array);
    for (int i = 0; i < kDepth / 2; ++i) survivor = vx_cast<VxArray>(survivor->firstObject());
    array.reset();
    dictionary.reset();
    int depth = 0;
    for (Id node = survivor; node; node = vx_cast<VxArray>(node)->firstObject()) ++depth;
    EXPECT_EQ(depth, kDepth / 2 + 1);
}

TEST(Values, CopiesShareNothingMutable) {
    auto m = VxMutableDictionary::dictionary();
    m->setObject(vxstr("v"), "k");
    auto frozen = vx_cast<VxDictionary>(m->copy());
    ASSERT_TRUE(frozen);
    EXPECT_FALSE(frozen->isKindOfClass(VxMutableDictionary::classObject()));
    m->setObject(vxstr("w"), "k2");
    EXPECT_EQ(frozen->count(), 1u);
    // An immutable container's copy is itself; a mutable copy is a new object.
    EXPECT_EQ(frozen->copy(), Id(frozen));
    auto thawed = vx_cast<VxMutableDictionary>(frozen->mutableCopy());
    ASSERT_TRUE(thawed);
    thawed->setObject(vxstr("x"), "k3");
    EXPECT_EQ(frozen->count(), 1u);
    auto arr = VxMutableArray::array();
    arr->addObject(vxstr("a"));
    auto arrCopy = vx_cast<VxArray>(arr->copy());
    arr->addObject(vxstr("b"));
    EXPECT_EQ(arrCopy->count(), 1u);
    auto data = VxMutableData::dataWithCapacity(4);
    data->appendBytes("ab", 2);
    auto dataCopy = vx_cast<VxData>(data->copy());
    data->appendBytes("c", 1);
    EXPECT_EQ(dataCopy->length(), 2u);
    // A mutable key put into a dictionary is copied, so later changes cannot
    // corrupt the table.
    auto keyData = VxMutableData::dataWithCapacity(1);
    keyData->appendBytes("k", 1);
    auto d = VxMutableDictionary::dictionary();
    d->setObject(vxstr("v"), keyData);
    keyData->appendBytes("z", 1);
    EXPECT_TRUE(d->objectForKey(VxData::dataWithString("k")));
}

TEST(Values, SetsAndOrderedSets) {
    auto s = VxMutableSet::set();
    s->addObject(vxstr("a"));
    s->addObject(vxstr("a"));
    s->addObject(VxNumber::numberWithInt(1));
    EXPECT_EQ(s->count(), 2u);
    EXPECT_TRUE(s->containsObject(VxNumber::numberWithDouble(1)));
    s->removeObject(vxstr("a"));
    EXPECT_FALSE(s->containsObject(vxstr("a")));
    auto os = VxOrderedSet::orderedSetWithObjects({vxstr("b"), vxstr("a"), vxstr("b")});
    EXPECT_EQ(os->count(), 2u);
    EXPECT_EQ(os->indexOfObject(vxstr("a")), 1u);
}

TEST(Values, URLsParseResolveAndDecompose) {
    auto base = VxURL::URLWithString("https://user:pw@example.com:8443/kelo/v1.01/?x=y#f");
    ASSERT_TRUE(base);
    EXPECT_EQ(base->scheme()->str(), "https");
    EXPECT_EQ(base->host()->str(), "example.com");
    EXPECT_EQ(base->port(), 8443);
    EXPECT_EQ(base->user()->str(), "user");
    EXPECT_EQ(base->password()->str(), "pw");
    EXPECT_EQ(base->query()->str(), "x=y");
    EXPECT_EQ(base->fragment()->str(), "f");
    auto rel = VxURL::URLWithString("session", base);
    ASSERT_TRUE(rel);
    EXPECT_EQ(rel->absoluteString(), "https://user:pw@example.com:8443/kelo/v1.01/session");
    EXPECT_EQ(rel->relativeString(), "session");
    EXPECT_EQ(rel->baseURL(), base);
    EXPECT_EQ(rel->lastPathComponent(), "session");
    // The same URL without its base keeps every part of the resolved text.
    auto full = VxURL::URLWithString("s?q=1#frag", base)->absoluteURL();
    auto parsed = VxURL::URLWithString(full->absoluteString());
    ASSERT_TRUE(full && parsed);
    EXPECT_EQ(full->baseURL(), nullptr);
    EXPECT_EQ(full->relativeString(), full->absoluteString());
    EXPECT_TRUE(full->isEqual(*parsed));
    EXPECT_EQ(full->description(), parsed->description());
    for (const auto& url : {full, parsed}) {
        EXPECT_EQ(url->absoluteString(), "https://user:pw@example.com:8443/kelo/v1.01/s?q=1#frag");
        EXPECT_EQ(vx::textOf(url->scheme()), "https");
        EXPECT_EQ(vx::textOf(url->host()), "example.com");
        EXPECT_EQ(url->port(), 8443);
        EXPECT_EQ(vx::textOf(url->user()), "user");
        EXPECT_EQ(vx::textOf(url->password()), "pw");
        EXPECT_EQ(url->path(), "/kelo/v1.01/s");
        EXPECT_EQ(vx::textOf(url->query()), "q=1");
        EXPECT_EQ(vx::textOf(url->fragment()), "frag");
    }
    // RFC 3986 section 5.4 examples.
    const char* b = "http://a/b/c/d;p?q";
    const std::pair<const char*, const char*> cases[] = {
        {"g", "http://a/b/c/g"},
        {"./g", "http://a/b/c/g"},
        {"g/", "http://a/b/c/g/"},
        {"/g", "http://a/g"},
        {"//g", "http://g"},
        {"?y", "http://a/b/c/d;p?y"},
        {"g?y", "http://a/b/c/g?y"},
        {"#s", "http://a/b/c/d;p?q#s"},
        {"", "http://a/b/c/d;p?q"},
        {"..", "http://a/b/"},
        {"../g", "http://a/b/g"},
        {"../../../g", "http://a/g"},
        {"g;x=1/../y", "http://a/b/c/y"},
        {"http:g", "http:g"},
    };
    for (const auto& [ref, expected] : cases) {
        auto r = VxResolveURLReference(b, ref);
        ASSERT_TRUE(r) << ref;
        EXPECT_EQ(*r, expected) << ref;
    }
    // Texts that are not URLs.
    EXPECT_EQ(VxURL::URLWithString("a b"), nullptr);
    EXPECT_EQ(VxURL::URLWithString("http://h/%zz"), nullptr);
    EXPECT_EQ(VxURL::URLWithString("http://h:99999/"), nullptr);
    EXPECT_EQ(VxURL::URLWithString("caf\xc3\xa9"), nullptr);
    EXPECT_EQ(VxURL::URLWithString(""), nullptr);
    auto file = VxURL::fileURLWithPath("/tmp/a b.txt");
    ASSERT_TRUE(file);
    EXPECT_TRUE(file->isFileURL());
    EXPECT_EQ(file->path(), "/tmp/a b.txt");
    EXPECT_EQ(file->pathExtension(), "txt");
    auto dir = VxURL::URLWithString("http://h/base")->URLByAppendingPathComponent("");
    EXPECT_EQ(dir->absoluteString(), "http://h/base/");
    EXPECT_EQ(VxURL::URLWithString("http://[::1]:80/")->host()->str(), "::1");
}

// Dates outside years 1 to 9999, and not-a-number (a decoded archive can hold
// any double), get a defined text rather than a cast out of range.
TEST(Values, DateDescriptionsAtTheEdges) {
    const struct {
        double seconds;
        const char* text;
    } cases[] = {
        {0, "1970-01-01 00:00:00 +0000"},
        {-0.5, "1969-12-31 23:59:59 +0000"},
        {-62135596800.0, "0001-01-01 00:00:00 +0000"},
        {253402300799.0, "9999-12-31 23:59:59 +0000"},
        {253402300800.0, "(date out of range: 2.53402e+11 seconds since 1970)"},
        {-62135596801.0, "(date out of range: -6.21356e+10 seconds since 1970)"},
        {1e300, "(date out of range: 1e+300 seconds since 1970)"},
        {-std::numeric_limits<double>::infinity(), "(date out of range: -inf seconds since 1970)"},
        {std::numeric_limits<double>::quiet_NaN(), "(date out of range: nan seconds since 1970)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(VxDate::dateWithTimeIntervalSince1970(c.seconds)->description(), c.text)
            << c.seconds;
}

TEST(Values, DescriptionsAndStrings) {
    auto d = VxDictionary::dictionaryWithPairs(
        {{"Accept", vxstr("application/json")},
         {"n", VxNumber::numberWithInt(3)},
         {"list", VxArray::arrayWithObjects({vxstr("a"), VxNull::null()})}});
    EXPECT_EQ(d->description(),
              "{\n    Accept = \"application/json\";\n    n = 3;\n    list = (\n        a,\n"
              "        <null>\n    );\n}");
    EXPECT_EQ(d->descriptionInline(), "{Accept = \"application/json\"; n = 3; list = (a, <null>)}");
    EXPECT_EQ(VxData::dataWithString("hi")->description(), "{length = 2, bytes = 0x6869}");
    EXPECT_EQ(vxstr("h\xc3\xa9llo")->length(), 5u);
    EXPECT_FALSE(VxString::isValidUTF8("\xc3"));
    EXPECT_FALSE(VxString::isValidUTF8("\xc0\xaf"));      // overlong
    EXPECT_FALSE(VxString::isValidUTF8("\xed\xa0\x80"));  // surrogate
    EXPECT_TRUE(VxString::isValidUTF8("\xf0\x9f\x98\x80"));
    auto box = VxValue::valueWithValue(std::uint64_t{5}, "Q");
    EXPECT_EQ(box->value<std::uint64_t>(), 5u);
    EXPECT_EQ(box->objCType(), "Q");
}

TEST(Values, ClassRegistryKnowsValueClasses) {
    const VxClass* str = VxClass::classNamed("VxString");
    ASSERT_TRUE(str);
    EXPECT_EQ(str, &VxString::classObject());
    EXPECT_TRUE(
        VxClass::classNamed("VxMutableDictionary")->isSubclassOfClass(VxDictionary::classObject()));
    EXPECT_TRUE(VxClass::classNamed("VxNull"));
    EXPECT_TRUE(VxClass::classNamed("VxValue"));
    EXPECT_EQ(VxClass::classNamed("NoSuchClass"), nullptr);
    auto made = VxClass::classNamed("VxMutableArray")->createInstance();
    EXPECT_TRUE(made && made->isKindOfClass(VxArray::classObject()));
    EXPECT_TRUE(vxstr("x")->isKindOfClass(VxObject::classObject()));
}

TEST(Values, ErrorsAndFormatting) {
    auto plain = VxError::errorWithDomain("SomeDomain", -7);
    EXPECT_EQ(plain->localizedDescription(),
              "The operation couldn't be completed. (SomeDomain error -7.)");
    EXPECT_EQ(plain->localizedFailureReason(), nullptr);
    auto rich = VxError::errorWithDomain("D", 3, "Bad Request", "Bad request phrase");
    EXPECT_EQ(rich->localizedDescription(), "Bad Request");
    EXPECT_EQ(rich->localizedFailureReason()->str(), "Bad request phrase");
    EXPECT_EQ(
        rich->description(),
        "Error Domain=D Code=3 \"Bad Request\" UserInfo={VxLocalizedDescription = \"Bad Request\"; "
        "VxLocalizedFailureReason = \"Bad request phrase\"}");
    EXPECT_EQ(rich->description().find('\n'), std::string::npos);

    EXPECT_EQ(vx::format("[Session] > Serial: %@ Platform:%@ Version: %@", vxstr("ABC"), "Kelo",
                         std::string("1.0")),
              "[Session] > Serial: ABC Platform:Kelo Version: 1.0");
    EXPECT_EQ(vx::format("%@", VxStringPtr()), "(null)");
    EXPECT_EQ(vx::format("Status code: %ld", std::int64_t{402}), "Status code: 402");
    EXPECT_EQ(vx::format("%@;q=%0.1g", "en", 0.9f), "en;q=0.9");
    EXPECT_EQ(vx::format("%@;q=%0.1g", "en", 1.0f), "en;q=1");
    EXPECT_EQ(vx::format("%05.1f%%", 3.14159), "003.1%");
    EXPECT_EQ(vx::format("%d and %@"), "(?) and (?)");  // missing arguments never read garbage
    EXPECT_EQ(vx::format("%s", 5), "(?)");
}
