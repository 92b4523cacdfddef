#pragma once
// The parsed form of one declared record property: its name, its kind of value,
// its attribute flags and the names and signatures of its accessors.
//
// A property is declared with a name and a descriptor: comma-separated
// attributes, each one letter directly followed by its (possibly empty) value.
// The letters read here are T (type string), R (read-only), C (copy),
// & (retain), N (non-atomic), W (weak), D (dynamic: the model layer supplies the
// accessors), G (getter name) and S (setter name, with its trailing ":"). Any
// other letter, such as V (backing field), is ignored.
//
// Type strings use the one-letter type-code alphabet ("B", "i", "q", "d", ...);
// "@" is an object, optionally followed by the registered class name in double
// quotes ("@\"VxString\"").

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxValues.h"

// Kind of value that a property holds. The numbering keeps its gaps (15, 18).
enum CPropertyType : std::int64_t {
    CPropertyTypeUnknown = 0,
    CPropertyTypeBool = 1,
    CPropertyTypeShort = 2,
    CPropertyTypeUnsignedShort = 3,
    CPropertyTypeInt = 4,
    CPropertyTypeUnsignedInt = 5,
    CPropertyTypeLong = 6,
    CPropertyTypeUnsignedLong = 7,
    CPropertyTypeLongLong = 8,          // never produced by the parser
    CPropertyTypeUnsignedLongLong = 9,  // never produced by the parser
    CPropertyTypeFloat = 10,
    CPropertyTypeDouble = 11,
    CPropertyTypePointer = 12,
    CPropertyTypeObject = 13,
    CPropertyTypeId = 14,
    CPropertyTypeStruct = 16,
    CPropertyTypeRange = 17,
    CPropertyTypeChar = 19,
    CPropertyTypeUnsignedChar = 20,
    CPropertyTypeVoid = 21,
    CPropertyTypeCString = 22,
    CPropertyTypeClass = 23,
    CPropertyTypeSelector = 24,
    CPropertyTypeUnion = 25,
    CPropertyTypeArray = 26,
    CPropertyTypeBitField = 27,
};

enum CPropertyMemoryPolicy : std::int64_t {
    CPropertyMemoryPolicyAssign = 0,
    CPropertyMemoryPolicyRetain = 1,
    CPropertyMemoryPolicyCopy = 2,
};

// "CCPropertyAttributesErrorDomain". No operation produces errors in it.
DA_EXPORT extern const char* const CPropertyAttributesErrorDomain;

// The range structure: two unsigned 64-bit members. Its type string,
// CPropertyRangeTypeString, is "{_CRange=QQ}".
struct DA_EXPORT CRange {
    std::uint64_t location = 0;
    std::uint64_t length = 0;
    friend bool operator==(const CRange&, const CRange&) = default;
};
DA_EXPORT extern const char* const CPropertyRangeTypeString;

// A method selector, represented by its (interned or static) name.
struct DA_EXPORT CSelector {
    const char* name = nullptr;
    friend bool operator==(const CSelector&, const CSelector&) = default;
};

// One declared property: its name and its descriptor text. An empty name
// stands for a declaration without a name.
struct DA_EXPORT CPropertyDeclaration {
    std::string name;
    std::string attributes;
};

class DA_EXPORT CPropertyAttributes : public VxObject {
    VX_DECLARE_CLASS(CPropertyAttributes)
  public:
    CPropertyAttributes() = default;

    // A new record filled from the declaration, or nothing without one.
    static std::shared_ptr<CPropertyAttributes> attributesWithProperty(
        const CPropertyDeclaration* property);
    // Fills this record from the declaration and returns it; nothing without a
    // declaration.
    std::shared_ptr<CPropertyAttributes> initWithProperty(const CPropertyDeclaration* property);
    // A record exists only for a declaration: always nothing.
    std::shared_ptr<CPropertyAttributes> init() { return initWithProperty(nullptr); }

    // Kind of the type string and, when `ofClass` is given, the class of the
    // values that such a property holds (nothing where there is none). A null
    // `typeChars` is an unknown type.
    static CPropertyType getCPropertyTypeForTypeChars(const char* typeChars,
                                                      const VxClass** ofClass = nullptr);

    // The value of one attribute letter of a descriptor, or nothing when the
    // letter is absent.
    static std::optional<std::string> attributeValue(std::string_view descriptor, char letter);

    // Fields. String fields are absent (nothing) unless set.
    const VxStringPtr& name() const { return name_; }
    void setName(const VxStringPtr& v) { name_ = v; }
    CPropertyType type() const { return type_; }
    void setType(CPropertyType v) { type_ = v; }
    bool readonly() const { return readonly_; }
    void setReadonly(bool v) { readonly_ = v; }
    bool nonatomic() const { return nonatomic_; }
    void setNonatomic(bool v) { nonatomic_ = v; }
    bool weak() const { return weak_; }
    void setWeak(bool v) { weak_ = v; }
    bool dynamic() const { return dynamic_; }
    void setDynamic(bool v) { dynamic_ = v; }
    CPropertyMemoryPolicy memoryPolicy() const { return memoryPolicy_; }
    void setMemoryPolicy(CPropertyMemoryPolicy v) { memoryPolicy_ = v; }
    const VxClass* propClass() const { return propClass_; }
    void setPropClass(const VxClass* v) { propClass_ = v; }
    const VxStringPtr& typeStr() const { return typeStr_; }
    void setTypeStr(const VxStringPtr& v) { typeStr_ = v; }
    const VxStringPtr& getterName() const { return getterName_; }
    void setGetterName(const VxStringPtr& v) { getterName_ = v; }
    const VxStringPtr& setterName() const { return setterName_; }
    void setSetterName(const VxStringPtr& v) { setterName_ = v; }
    const VxStringPtr& getterType() const { return getterType_; }
    void setGetterType(const VxStringPtr& v) { getterType_ = v; }
    const VxStringPtr& setterType() const { return setterType_; }
    void setSetterType(const VxStringPtr& v) { setterType_ = v; }

    std::string description() const override;

  private:
    VxStringPtr name_;
    CPropertyType type_ = CPropertyTypeUnknown;
    bool readonly_ = false;
    bool nonatomic_ = false;
    bool weak_ = false;
    bool dynamic_ = false;
    CPropertyMemoryPolicy memoryPolicy_ = CPropertyMemoryPolicyAssign;
    const VxClass* propClass_ = nullptr;
    VxStringPtr typeStr_;
    VxStringPtr getterName_;
    VxStringPtr setterName_;
    VxStringPtr getterType_;
    VxStringPtr setterType_;
};

using CPropertyAttributesPtr = std::shared_ptr<CPropertyAttributes>;
