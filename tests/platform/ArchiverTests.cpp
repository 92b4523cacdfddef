#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "platform/foundation/VxKeyedArchiver.h"

namespace {

// A coded class with scalar and object fields, optionally nesting another one.
class ArchTestPoint : public VxObject, public VxCoding {
    VX_DECLARE_CLASS(ArchTestPoint)
  public:
    std::int64_t x = 0;
    double y = 0;
    bool flag = false;
    VxStringPtr name;
    std::shared_ptr<ArchTestPoint> child;

    void encodeWithCoder(VxKeyedArchiver& c) const override {
        c.encodeInt64(x, "x");
        c.encodeDouble(y, "y");
        c.encodeBool(flag, "flag");
        c.encodeObject(name, "name");
        c.encodeObject(child, "child");
    }
    bool initWithCoder(VxKeyedUnarchiver& c) override {
        x = c.decodeInt64ForKey("x");
        y = c.decodeDoubleForKey("y");
        flag = c.decodeBoolForKey("flag");
        name = vx_cast<VxString>(c.decodeObjectOfClass(VxString::classObject(), "name"));
        child =
            vx_cast<ArchTestPoint>(c.decodeObjectOfClass(ArchTestPoint::classObject(), "child"));
        return c.decodeInt64ForKey("x") >= 0;  // negative x: refuse
    }
    bool supportsSecureCoding() const override { return true; }
};
VX_DEFINE_CLASS(ArchTestPoint, VxObject, vxMakeInstance<ArchTestPoint>);

class ArchTestInsecure : public VxObject, public VxCoding {
    VX_DECLARE_CLASS(ArchTestInsecure)
  public:
    void encodeWithCoder(VxKeyedArchiver&) const override {}
    bool initWithCoder(VxKeyedUnarchiver&) override { return true; }
};
VX_DEFINE_CLASS(ArchTestInsecure, VxObject, vxMakeInstance<ArchTestInsecure>);

Id everyKind() {
    auto mdict = VxMutableDictionary::dictionary();
    mdict->setObject(vxstr("v"), VxNumber::numberWithInt(7));  // non-text key
    mdict->setObject(vx::null(), "null");
    auto base = VxURL::URLWithString("https://example.com/api/");
    auto marr = VxMutableArray::array();
    marr->addObject(vxstr("m"));
    auto mset = VxMutableSet::set();
    mset->addObject(vxstr("s"));
    auto mos = VxMutableOrderedSet::orderedSet();
    mos->addObject(vxstr("b"));
    mos->addObject(vxstr("a"));
    std::vector<Id> items = {
        vx::null(),
        vxstr(""),
        vxstr("t\xc3\xa9xt"),
        VxNumber::numberWithBool(true),
        VxNumber::numberWithChar(-3),
        VxNumber::numberWithUnsignedChar(200),
        VxNumber::numberWithShort(-30000),
        VxNumber::numberWithUnsignedShort(60000),
        VxNumber::numberWithInt(INT32_MIN),
        VxNumber::numberWithUnsignedInt(UINT32_MAX),
        VxNumber::numberWithLong(-5),
        VxNumber::numberWithUnsignedLong(5),
        VxNumber::numberWithLongLong(INT64_MIN),
        VxNumber::numberWithUnsignedLongLong(UINT64_MAX),
        VxNumber::numberWithFloat(0.1f),
        VxNumber::numberWithDouble(-2.5e-300),
        VxDecimalNumber::decimalNumberWithString("-12345678901234567890.123"),
        VxDecimalNumber::notANumber(),
        VxData::dataWithString(std::string("\0\1\2", 3)),
        std::make_shared<VxMutableData>(std::vector<std::uint8_t>{9, 8}),
        VxDate::dateWithTimeIntervalSince1970(1234567.875),
        VxURL::URLWithString("v1/session?q=1", base),
        base,
        VxArray::arrayWithObjects({vxstr("a")}),
        marr,
        VxDictionary::dictionaryWithPairs({{"z", vxstr("1")}, {"a", vxstr("2")}}),
        mdict,
        VxSet::setWithObjects({vxstr("x"), vxstr("y")}),
        mset,
        VxOrderedSet::orderedSetWithObjects({vxstr("q"), vxstr("p")}),
        mos,
        VxValue::valueWithValue<std::int32_t>(42, "i"),
        VxError::errorWithDomain("D", -7, "desc", "why")};
    return VxArray::arrayWithObjects(std::move(items));
}

std::shared_ptr<ArchTestPoint> makePoint() {
    auto p = std::make_shared<ArchTestPoint>();
    p->x = 12;
    p->y = 3.25;
    p->flag = true;
    p->name = vxstr("outer");
    p->child = std::make_shared<ArchTestPoint>();
    p->child->x = 99;
    return p;
}

}  // namespace

TEST(Archiver, RoundTripEveryKindExactly) {
    auto root = everyKind();
    VxErrorPtr error = VxError::errorWithDomain("stale", 1);
    auto data = VxKeyedArchiver::archivedDataWithRootObject(root, true, &error);
    ASSERT_TRUE(data) << vxDescription(error);
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(std::string(data->view().substr(0, 4)), "VXKA");
    auto back = vx_cast<VxArray>(
        VxKeyedUnarchiver::unarchivedObjectOfClass(VxArray::classObject(), data, &error));
    ASSERT_TRUE(back) << vxDescription(error);
    auto orig = vx_cast<VxArray>(root);
    ASSERT_EQ(back->count(), orig->count());
    for (std::size_t i = 0; i < orig->count(); ++i) {
        const Id& a = orig->objectAtIndex(i);
        const Id& b = back->objectAtIndex(i);
        EXPECT_EQ(&a->isa(), &b->isa()) << i << " " << a->className() << " vs " << b->className();
        if (auto dn = vx_cast<VxDecimalNumber>(a); dn && dn->isNaN()) {
            EXPECT_TRUE(vx_cast<VxDecimalNumber>(b)->isNaN());
        } else {
            EXPECT_TRUE(a->isEqual(*b))
                << i << ": " << a->description() << " vs " << b->description();
        }
        if (auto n = vx_cast<VxNumber>(a)) {
            EXPECT_EQ(n->kind(), vx_cast<VxNumber>(b)->kind());
        }
        if (auto d = vx_cast<VxDictionary>(a)) {  // key order and key kinds
            auto bd = vx_cast<VxDictionary>(b);
            for (std::size_t k = 0; k < d->count(); ++k) {
                EXPECT_TRUE(d->keys()[k]->isEqual(*bd->keys()[k]));
                EXPECT_EQ(&d->keys()[k]->isa(), &bd->keys()[k]->isa());
            }
        }
    }
    auto url = vx_cast<VxURL>(back->objectAtIndex(21));
    ASSERT_TRUE(url && url->baseURL());
    EXPECT_EQ(url->relativeString(), "v1/session?q=1");
    EXPECT_EQ(url->absoluteString(), "https://example.com/api/v1/session?q=1");
    EXPECT_EQ(vx_cast<VxNumber>(back->objectAtIndex(14))->floatValue(), 0.1f);
    auto err = vx_cast<VxError>(back->objectAtIndex(32));
    EXPECT_EQ(err->localizedFailureReason()->str(), "why");
}

TEST(Archiver, CodedObjectsAndSecureDecoding) {
    auto p = makePoint();
    auto data = VxKeyedArchiver::archivedDataWithRootObject(p, true);
    ASSERT_TRUE(data);
    auto back = vx_cast<ArchTestPoint>(
        VxKeyedUnarchiver::unarchivedObjectOfClass(ArchTestPoint::classObject(), data));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->x, 12);
    EXPECT_EQ(back->y, 3.25);
    EXPECT_TRUE(back->flag);
    EXPECT_EQ(back->name->str(), "outer");
    ASSERT_TRUE(back->child);
    EXPECT_EQ(back->child->x, 99);
    EXPECT_EQ(back->child->name, nullptr);  // absent stays absent

    // Wrong expected class.
    VxErrorPtr error;
    EXPECT_EQ(VxKeyedUnarchiver::unarchivedObjectOfClass(VxString::classObject(), data, &error),
              nullptr);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), "VxKeyedArchiveErrorDomain");
    EXPECT_EQ(error->code(), VxKeyedArchiveErrorWrongClass);
    auto u = VxKeyedUnarchiver::unarchiverForReadingFromData(data);
    ASSERT_TRUE(u);
    EXPECT_TRUE(
        u->decodeObjectOfClasses({&VxString::classObject(), &VxObject::classObject()}, "root"));
    EXPECT_EQ(u->error(), nullptr);
    EXPECT_TRUE(u->containsValueForKey("root"));
    EXPECT_FALSE(u->containsValueForKey("other"));
    EXPECT_EQ(u->decodeObjectForKey("other"), nullptr);

    // An object that refuses its data.
    p->x = -1;
    data = VxKeyedArchiver::archivedDataWithRootObject(p, true);
    EXPECT_EQ(
        VxKeyedUnarchiver::unarchivedObjectOfClass(ArchTestPoint::classObject(), data, &error),
        nullptr);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), VxKeyedArchiveErrorCorrupt);

    // Insecure classes: refused by a secure archiver, and by a secure unarchiver.
    auto insecure = std::make_shared<ArchTestInsecure>();
    EXPECT_EQ(VxKeyedArchiver::archivedDataWithRootObject(insecure, true, &error), nullptr);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), VxKeyedArchiveErrorNotEncodable);
    data = VxKeyedArchiver::archivedDataWithRootObject(insecure, false, &error);
    ASSERT_TRUE(data);
    EXPECT_EQ(
        VxKeyedUnarchiver::unarchivedObjectOfClass(ArchTestInsecure::classObject(), data, &error),
        nullptr);
    EXPECT_EQ(error->code(), VxKeyedArchiveErrorWrongClass);
    u = VxKeyedUnarchiver::unarchiverForReadingFromData(data);
    u->setRequiresSecureCoding(false);
    EXPECT_TRUE(u->decodeObjectOfClass(ArchTestInsecure::classObject(), "root"));

    // Objects that cannot be archived, and containers that contain themselves.
    EXPECT_EQ(
        VxKeyedArchiver::archivedDataWithRootObject(std::make_shared<VxObject>(), false, &error),
        nullptr);
    EXPECT_EQ(error->code(), VxKeyedArchiveErrorNotEncodable);
    auto loop = VxMutableArray::array();
    loop->addObject(loop);
    EXPECT_EQ(VxKeyedArchiver::archivedDataWithRootObject(loop, false, &error), nullptr);
    EXPECT_EQ(error->code(), VxKeyedArchiveErrorNotEncodable);
    loop->removeAllObjects();
}

TEST(Archiver, KeyedScalarsAndUnknownClass) {
    VxKeyedArchiver a;
    a.encodeBool(true, "b");
    a.encodeInt64(INT64_MIN, "i");
    a.encodeDouble(-0.5, "d");
    a.encodeInt64(1, "i2");
    a.encodeInt64(2, "i2");  // replaces
    a.encodeObject(vxstr("text"), "s");
    auto data = a.encodedData();
    ASSERT_TRUE(data);
    auto u = VxKeyedUnarchiver::unarchiverForReadingFromData(data);
    ASSERT_TRUE(u);
    EXPECT_TRUE(u->decodeBoolForKey("b"));
    EXPECT_EQ(u->decodeInt64ForKey("i"), INT64_MIN);
    EXPECT_EQ(u->decodeDoubleForKey("d"), -0.5);
    EXPECT_EQ(u->decodeInt64ForKey("i2"), 2);
    EXPECT_EQ(u->decodeInt64ForKey("missing"), 0);
    EXPECT_EQ(u->error(), nullptr);
    EXPECT_EQ(u->decodeInt64ForKey("s"), 0);
    EXPECT_TRUE(u->error());

    // Rename the class inside a valid archive: unknown class, clear error.
    auto bytes = VxKeyedArchiver::archivedDataWithRootObject(makePoint(), true)->vector();
    std::string s(bytes.begin(), bytes.end());
    auto at = s.find("ArchTestPoint");
    ASSERT_NE(at, std::string::npos);
    s[at] = 'Z';
    VxErrorPtr error;
    EXPECT_EQ(VxKeyedUnarchiver::unarchivedObjectOfClass(VxObject::classObject(),
                                                         VxData::dataWithString(s), &error),
              nullptr);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), VxKeyedArchiveErrorUnknownClass);
}

TEST(Archiver, CorruptAndTruncatedArchivesFailCleanly) {
    auto root = VxArray::arrayWithObjects({everyKind(), makePoint()});
    auto data = VxKeyedArchiver::archivedDataWithRootObject(root, true);
    ASSERT_TRUE(data);
    const auto& bytes = data->vector();
    for (std::size_t len = 0; len < bytes.size(); ++len) {
        VxErrorPtr error;
        auto prefix = VxData::dataWithBytes(bytes.data(), len);
        EXPECT_EQ(
            VxKeyedUnarchiver::unarchivedObjectOfClass(VxObject::classObject(), prefix, &error),
            nullptr)
            << len;
        ASSERT_TRUE(error) << len;
        EXPECT_EQ(error->domain(), "VxKeyedArchiveErrorDomain");
    }
    // Every single flipped byte: a clear result either way, never a crash.
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        for (std::uint8_t mask : {0x01, 0x80, 0xFF}) {
            auto copy = bytes;
            copy[i] ^= mask;
            VxErrorPtr error;
            Id obj = VxKeyedUnarchiver::unarchivedObjectOfClass(
                VxObject::classObject(), VxData::dataWithVector(copy), &error);
            EXPECT_TRUE(obj || error) << i;
        }
    }
    // Trailing garbage, future version, absurd lengths and counts, excessive
    // nesting, unknown tag: all refused with an error.
    auto refused = [](const std::vector<std::uint8_t>& b) {
        VxErrorPtr error;
        EXPECT_FALSE(
            VxKeyedUnarchiver::unarchiverForReadingFromData(VxData::dataWithVector(b), &error));
        return error ? error : VxError::errorWithDomain("none", 0);
    };
    auto extra = bytes;
    extra.push_back(0);
    EXPECT_EQ(refused(extra)->code(), VxKeyedArchiveErrorCorrupt);
    auto version = bytes;
    version[4] = 2;
    EXPECT_NE(refused(version)->localizedFailureReason()->str().find("version"), std::string::npos);

    auto header = [](std::initializer_list<std::uint8_t> rest) {
        std::vector<std::uint8_t> b{'V', 'X', 'K', 'A', 1, 0, 1, 1, 'k'};
        b.insert(b.end(), rest);
        return b;
    };
    refused(header({0x07, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}));
    refused(header({0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 'a'}));
    refused(header({0x42}));
    auto deep = header({});
    for (int i = 0; i < 100000; ++i) deep.insert(deep.end(), {0x07, 0, 1});
    deep.push_back(0x00);
    EXPECT_EQ(refused(deep)->code(), VxKeyedArchiveErrorCorrupt);
}
