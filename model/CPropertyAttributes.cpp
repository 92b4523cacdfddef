#include "model/CPropertyAttributes.h"

#include <cctype>
#include <cstring>
#include <mutex>

#include "platform/foundation/VxFormat.h"

const char* const CPropertyAttributesErrorDomain = "CCPropertyAttributesErrorDomain";
const char* const CPropertyRangeTypeString = "{_CRange=QQ}";

VX_DEFINE_CLASS(CPropertyAttributes, VxObject, {});

namespace {

// Characters that end a class name inside an object type string.
const char* classNameStopSet() {
    static std::once_flag once;
    static std::string stops;
    std::call_once(once, [] { stops = "\"<"; });
    return stops.c_str();
}

struct ScalarCode {
    const char* code;
    CPropertyType type;
    const VxClass& (*cls)();
};

const VxClass& numberClass() {
    return VxNumber::classObject();
}
const VxClass& valueBoxClass() {
    return VxValue::classObject();
}

// Exact-match codes, in the order they are tried. A null class function means
// the kind has no value class.
const ScalarCode kScalarCodes[] = {
    {"B", CPropertyTypeBool, numberClass},
    {"s", CPropertyTypeShort, numberClass},
    {"S", CPropertyTypeUnsignedShort, numberClass},
    {"i", CPropertyTypeInt, numberClass},
    {"I", CPropertyTypeUnsignedInt, numberClass},
    {"q", CPropertyTypeLong, numberClass},
    {"Q", CPropertyTypeUnsignedLong, numberClass},
    {"f", CPropertyTypeFloat, numberClass},
    {"d", CPropertyTypeDouble, numberClass},
    {"^v", CPropertyTypePointer, valueBoxClass},
    {"c", CPropertyTypeChar, numberClass},
    {"C", CPropertyTypeUnsignedChar, numberClass},
    {"v", CPropertyTypeVoid, nullptr},
    {"*", CPropertyTypeCString, valueBoxClass},
    {"#", CPropertyTypeClass, valueBoxClass},
    {":", CPropertyTypeSelector, valueBoxClass},
};

}  // namespace

std::optional<std::string> CPropertyAttributes::attributeValue(std::string_view descriptor,
                                                               char letter) {
    std::size_t pos = 0;
    while (pos <= descriptor.size()) {
        std::size_t end = descriptor.find(',', pos);
        if (end == std::string_view::npos) end = descriptor.size();
        std::string_view item = descriptor.substr(pos, end - pos);
        if (!item.empty() && item.front() == letter) return std::string(item.substr(1));
        pos = end + 1;
    }
    return std::nullopt;
}

CPropertyType CPropertyAttributes::getCPropertyTypeForTypeChars(const char* typeChars,
                                                                const VxClass** ofClass) {
    const char* stops = classNameStopSet();
    CPropertyType type = CPropertyTypeUnknown;
    const VxClass* cls = nullptr;
    if (typeChars == nullptr) {
        // unknown, no class
    } else if (typeChars[0] == '@') {
        type = CPropertyTypeId;
        cls = &VxObject::classObject();
        if (typeChars[1] == '"') {
            const char* name = typeChars + 2;
            std::size_t len = std::strcspn(name, stops);
            if (const VxClass* named = VxClass::classNamed(std::string_view(name, len))) {
                type = CPropertyTypeObject;
                cls = named;
            }
        }
    } else if (typeChars[0] == '[') {
        type = CPropertyTypeArray;
    } else if (typeChars[0] == '{') {
        type = std::strcmp(typeChars, CPropertyRangeTypeString) == 0 ? CPropertyTypeRange
                                                                     : CPropertyTypeStruct;
        cls = &VxValue::classObject();
    } else if (typeChars[0] == '(') {
        type = CPropertyTypeUnion;
        cls = &VxValue::classObject();
    } else if (typeChars[0] == 'b') {
        type = CPropertyTypeBitField;
        cls = &VxValue::classObject();
    } else {
        for (const ScalarCode& code : kScalarCodes) {
            if (std::strcmp(typeChars, code.code) == 0) {
                type = code.type;
                cls = code.cls ? &code.cls() : nullptr;
                break;
            }
        }
    }
    if (ofClass) *ofClass = cls;
    return type;
}

std::shared_ptr<CPropertyAttributes> CPropertyAttributes::attributesWithProperty(
    const CPropertyDeclaration* property) {
    if (!property) return nullptr;
    return std::make_shared<CPropertyAttributes>()->initWithProperty(property);
}

std::shared_ptr<CPropertyAttributes> CPropertyAttributes::initWithProperty(
    const CPropertyDeclaration* property) {
    if (!property) return nullptr;
    auto self = std::static_pointer_cast<CPropertyAttributes>(shared_from_this());
    if (property->name.empty()) return self;
    const std::string& name = property->name;
    std::string_view descriptor = property->attributes;

    name_ = vxstr(name);
    dynamic_ = attributeValue(descriptor, 'D').has_value();
    auto getter = attributeValue(descriptor, 'G');
    getterName_ = vxstr(getter ? *getter : name);
    readonly_ = attributeValue(descriptor, 'R').has_value();
    if (readonly_) {
        setterName_ = nullptr;
    } else if (auto setter = attributeValue(descriptor, 'S')) {
        setterName_ = vxstr(*setter);
    } else {
        std::string first(1, static_cast<char>(std::toupper(static_cast<unsigned char>(name[0]))));
        setterName_ = vxstr(vx::format("set%@%@:", first, name.substr(1)));
    }
    auto typeValue = attributeValue(descriptor, 'T');
    if (!typeValue || typeValue->empty()) {
        typeStr_ = nullptr;
        type_ = CPropertyTypeUnknown;
        propClass_ = nullptr;
        getterType_ = nullptr;
        setterType_ = nullptr;
    } else {
        typeStr_ = vxstr(*typeValue);
        type_ = getCPropertyTypeForTypeChars(typeValue->c_str(), &propClass_);
        getterType_ = vxstr(vx::format("%@@:", *typeValue));
        setterType_ = vxstr(vx::format("v@:%@", *typeValue));
    }
    if (attributeValue(descriptor, 'C'))
        memoryPolicy_ = CPropertyMemoryPolicyCopy;
    else if (attributeValue(descriptor, '&'))
        memoryPolicy_ = CPropertyMemoryPolicyRetain;
    else
        memoryPolicy_ = CPropertyMemoryPolicyAssign;
    nonatomic_ = attributeValue(descriptor, 'N').has_value();
    weak_ = attributeValue(descriptor, 'W').has_value();
    return self;
}

std::string CPropertyAttributes::description() const {
    return vx::format("<%@: %p> name=%@ type=%lld typeStr=%@ getter=%@ setter=%@ dynamic=%d",
                      className(), static_cast<const void*>(this), name_,
                      static_cast<long long>(type_), typeStr_, getterName_, setterName_,
                      dynamic_ ? 1 : 0);
}
