// Property descriptors: the parsed record agrees, field by field, with a plain
// reading of the descriptor and the type-string table.

#include <cctype>
#include <cstring>
#include <optional>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "model/CPropertyAttributes.h"

namespace {

// The value of the first comma-separated item that starts with the letter.
std::optional<std::string> item(const std::string& descriptor, char letter) {
    std::size_t pos = 0;
    while (pos <= descriptor.size()) {
        std::size_t end = descriptor.find(',', pos);
        if (end == std::string::npos) end = descriptor.size();
        if (end > pos && descriptor[pos] == letter)
            return descriptor.substr(pos + 1, end - pos - 1);
        pos = end + 1;
    }
    return std::nullopt;
}

struct Expected {
    CPropertyType type = CPropertyTypeUnknown;
    const VxClass* cls = nullptr;
};

Expected typeOf(const char* chars) {
    std::string t(chars);  // a type string ends at its first NUL
    const VxClass* number = &VxNumber::classObject();
    const VxClass* box = &VxValue::classObject();
    if (!t.empty() && t[0] == '@') {
        if (t.size() >= 2 && t[1] == '"') {
            std::string name = t.substr(2, t.find_first_of("\"<", 2) - 2);
            if (const VxClass* cls = VxClass::classNamed(name)) return {CPropertyTypeObject, cls};
        }
        return {CPropertyTypeId, &VxObject::classObject()};
    }
    if (!t.empty() && t[0] == '[') return {CPropertyTypeArray, nullptr};
    if (!t.empty() && t[0] == '{')
        return {t == CPropertyRangeTypeString ? CPropertyTypeRange : CPropertyTypeStruct, box};
    if (!t.empty() && t[0] == '(') return {CPropertyTypeUnion, box};
    if (!t.empty() && t[0] == 'b') return {CPropertyTypeBitField, box};
    static const struct {
        const char* code;
        CPropertyType type;
        bool isNumber;
        bool isBox;
    } table[] = {
        {"B", CPropertyTypeBool, true, false},
        {"s", CPropertyTypeShort, true, false},
        {"S", CPropertyTypeUnsignedShort, true, false},
        {"i", CPropertyTypeInt, true, false},
        {"I", CPropertyTypeUnsignedInt, true, false},
        {"q", CPropertyTypeLong, true, false},
        {"Q", CPropertyTypeUnsignedLong, true, false},
        {"f", CPropertyTypeFloat, true, false},
        {"d", CPropertyTypeDouble, true, false},
        {"^v", CPropertyTypePointer, false, true},
        {"c", CPropertyTypeChar, true, false},
        {"C", CPropertyTypeUnsignedChar, true, false},
        {"v", CPropertyTypeVoid, false, false},
        {"*", CPropertyTypeCString, false, true},
        {"#", CPropertyTypeClass, false, true},
        {":", CPropertyTypeSelector, false, true},
    };
    for (const auto& row : table) {
        if (t == row.code) return {row.type, row.isNumber ? number : row.isBox ? box : nullptr};
    }
    return {};
}

std::string textOf(const VxStringPtr& s) {
    return s ? s->str() : std::string("<nothing>");
}

}  // namespace

// Input: the property name, a NUL, then the descriptor.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    CPropertyDeclaration declaration{in.until('\0'), in.rest()};
    const std::string& name = declaration.name;
    const std::string& descriptor = declaration.attributes;

    FUZZ_CHECK(CPropertyAttributes::attributesWithProperty(nullptr) == nullptr);
    auto record = CPropertyAttributes::attributesWithProperty(&declaration);
    FUZZ_CHECK(record != nullptr);
    (void)record->description();
    if (name.empty()) {
        FUZZ_CHECK(!record->name() && !record->getterName() && !record->setterName());
        FUZZ_CHECK(record->type() == CPropertyTypeUnknown && !record->propClass());
        return 0;
    }

    FUZZ_CHECK(textOf(record->name()) == name);
    FUZZ_CHECK(record->dynamic() == item(descriptor, 'D').has_value());
    FUZZ_CHECK(record->nonatomic() == item(descriptor, 'N').has_value());
    FUZZ_CHECK(record->weak() == item(descriptor, 'W').has_value());
    FUZZ_CHECK(record->readonly() == item(descriptor, 'R').has_value());
    FUZZ_CHECK(textOf(record->getterName()) == item(descriptor, 'G').value_or(name));

    std::string setter = "set";
    setter += static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
    setter += name.substr(1) + ":";
    if (record->readonly())
        FUZZ_CHECK(!record->setterName());
    else
        FUZZ_CHECK(textOf(record->setterName()) == item(descriptor, 'S').value_or(setter));

    auto policy = item(descriptor, 'C')   ? CPropertyMemoryPolicyCopy
                  : item(descriptor, '&') ? CPropertyMemoryPolicyRetain
                                          : CPropertyMemoryPolicyAssign;
    FUZZ_CHECK(record->memoryPolicy() == policy);

    std::string typeStr = item(descriptor, 'T').value_or("");
    if (typeStr.empty()) {
        FUZZ_CHECK(!record->typeStr() && !record->getterType() && !record->setterType());
        FUZZ_CHECK(record->type() == CPropertyTypeUnknown && !record->propClass());
        return 0;
    }
    Expected expected = typeOf(typeStr.c_str());
    FUZZ_CHECK(textOf(record->typeStr()) == typeStr);
    FUZZ_CHECK(record->type() == expected.type);
    FUZZ_CHECK(record->propClass() == expected.cls);
    FUZZ_CHECK(textOf(record->getterType()) == typeStr + "@:");
    FUZZ_CHECK(textOf(record->setterType()) == "v@:" + typeStr);
    return 0;
}
