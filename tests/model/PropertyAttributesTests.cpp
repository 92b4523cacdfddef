#include <gtest/gtest.h>

#include "model/CPropertyAttributes.h"
#include "support/RequestHelpers.h"

namespace {

CPropertyAttributesPtr parse(const std::string& name, const std::string& descriptor) {
    CPropertyDeclaration decl{name, descriptor};
    return CPropertyAttributes::attributesWithProperty(&decl);
}

using da::test::text;

}  // namespace

TEST(PropertyAttributes, ParsesDynamicBooleanAndCustomGetter) {
    auto a = parse("hasBaseband", "TB,D");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->type(), CPropertyTypeBool);
    EXPECT_EQ(a->propClass(), &VxNumber::classObject());
    EXPECT_TRUE(a->dynamic());
    EXPECT_FALSE(a->readonly());
    EXPECT_FALSE(a->nonatomic());
    EXPECT_EQ(a->memoryPolicy(), CPropertyMemoryPolicyAssign);
    EXPECT_EQ(text(a->name()), "hasBaseband");
    EXPECT_EQ(text(a->getterName()), "hasBaseband");
    EXPECT_EQ(text(a->setterName()), "setHasBaseband:");
    EXPECT_EQ(text(a->getterType()), "B@:");
    EXPECT_EQ(text(a->setterType()), "v@:B");
    EXPECT_EQ(text(a->typeStr()), "B");

    auto p = parse("primaryDevice", "TB,N,GisPrimaryDevice,VprimaryDevice");
    EXPECT_EQ(text(p->getterName()), "isPrimaryDevice");
    EXPECT_EQ(text(p->setterName()), "setPrimaryDevice:");
    EXPECT_TRUE(p->nonatomic());
    EXPECT_FALSE(p->dynamic());

    // Only the first character is upper-cased; order of attributes is free.
    auto u = parse("uRLString", "D,N,T@\"VxString\",C");
    EXPECT_EQ(text(u->setterName()), "setURLString:");
    EXPECT_EQ(u->type(), CPropertyTypeObject);
    EXPECT_EQ(u->propClass(), &VxString::classObject());
    EXPECT_EQ(text(u->getterType()), "@\"VxString\"@:");
    EXPECT_EQ(text(u->setterType()), "v@:@\"VxString\"");
}

TEST(PropertyAttributes, MemoryPolicyReadonlyAndMissingParts) {
    EXPECT_EQ(parse("a", "T@,C,&")->memoryPolicy(), CPropertyMemoryPolicyCopy);
    EXPECT_EQ(parse("a", "T@,&,C")->memoryPolicy(), CPropertyMemoryPolicyCopy);
    EXPECT_EQ(parse("a", "T@,&,VtestResults")->memoryPolicy(), CPropertyMemoryPolicyRetain);
    EXPECT_EQ(parse("a", "T@")->memoryPolicy(), CPropertyMemoryPolicyAssign);
    EXPECT_TRUE(parse("a", "T@,W")->weak());

    auto ro = parse("count", "Ti,R,SputCount:,D");
    EXPECT_TRUE(ro->readonly());
    EXPECT_FALSE(ro->setterName());
    EXPECT_EQ(text(parse("count", "Ti,SputCount:")->setterName()), "putCount:");

    // No type: every type field is empty, the names are still made.
    auto untyped = parse("thing", "D");
    EXPECT_EQ(untyped->type(), CPropertyTypeUnknown);
    EXPECT_FALSE(untyped->typeStr());
    EXPECT_FALSE(untyped->getterType());
    EXPECT_FALSE(untyped->setterType());
    EXPECT_EQ(untyped->propClass(), nullptr);
    EXPECT_EQ(text(untyped->getterName()), "thing");
    EXPECT_FALSE(parse("thing", "T,D")->typeStr());

    // A declaration without a name gives a record with every field at default.
    auto unnamed = parse("", "TB,D,R");
    ASSERT_TRUE(unnamed);
    EXPECT_FALSE(unnamed->name());
    EXPECT_FALSE(unnamed->dynamic());
    EXPECT_FALSE(unnamed->readonly());
    EXPECT_FALSE(unnamed->getterName());

    // No declaration: nothing.
    EXPECT_FALSE(CPropertyAttributes::attributesWithProperty(nullptr));
    EXPECT_FALSE(std::make_shared<CPropertyAttributes>()->init());
}

TEST(PropertyAttributes, TypeTableCoversEveryKindAndKeepsTheGaps) {
    struct Row {
        const char* type;
        CPropertyType expected;
        const VxClass* cls;
    };
    const VxClass* number = &VxNumber::classObject();
    const VxClass* box = &VxValue::classObject();
    const VxClass* root = &VxObject::classObject();
    const Row rows[] = {
        {"B", CPropertyTypeBool, number},
        {"s", CPropertyTypeShort, number},
        {"S", CPropertyTypeUnsignedShort, number},
        {"i", CPropertyTypeInt, number},
        {"I", CPropertyTypeUnsignedInt, number},
        {"q", CPropertyTypeLong, number},
        {"Q", CPropertyTypeUnsignedLong, number},
        {"f", CPropertyTypeFloat, number},
        {"d", CPropertyTypeDouble, number},
        {"^v", CPropertyTypePointer, box},
        {"@\"VxString\"", CPropertyTypeObject, &VxString::classObject()},
        {"@\"VxDictionary<VxCoding><Other>\"", CPropertyTypeObject, &VxDictionary::classObject()},
        {"@\"VxDate", CPropertyTypeObject, &VxDate::classObject()},
        {"@", CPropertyTypeId, root},
        {"@?", CPropertyTypeId, root},
        {"@\"NoSuchClassAnywhere\"", CPropertyTypeId, root},
        {"{Point=dd}", CPropertyTypeStruct, box},
        {"{_CRange=QQ}", CPropertyTypeRange, box},
        {"{_CRange=QQ}x", CPropertyTypeStruct, box},
        {"c", CPropertyTypeChar, number},
        {"C", CPropertyTypeUnsignedChar, number},
        {"v", CPropertyTypeVoid, nullptr},
        {"*", CPropertyTypeCString, box},
        {"#", CPropertyTypeClass, box},
        {":", CPropertyTypeSelector, box},
        {"(U=id)", CPropertyTypeUnion, box},
        {"[4i]", CPropertyTypeArray, nullptr},
        {"b3", CPropertyTypeBitField, box},
        {"l", CPropertyTypeUnknown, nullptr},
        {"L", CPropertyTypeUnknown, nullptr},
        {"^i", CPropertyTypeUnknown, nullptr},
        {"r*", CPropertyTypeUnknown, nullptr},
        {"Bq", CPropertyTypeUnknown, nullptr},
        {"", CPropertyTypeUnknown, nullptr},
    };
    for (const Row& row : rows) {
        const VxClass* cls = reinterpret_cast<const VxClass*>(0x1);
        EXPECT_EQ(CPropertyAttributes::getCPropertyTypeForTypeChars(row.type, &cls), row.expected)
            << row.type;
        EXPECT_EQ(cls, row.cls) << row.type;
    }
    EXPECT_EQ(CPropertyAttributes::getCPropertyTypeForTypeChars(nullptr), CPropertyTypeUnknown);
    // The doubled prefix is the domain text clients match on.
    EXPECT_STREQ(CPropertyAttributesErrorDomain, "CCPropertyAttributesErrorDomain");
}
