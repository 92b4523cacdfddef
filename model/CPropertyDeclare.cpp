#include "model/CPropertyDeclare.h"

namespace cpm {

std::string descriptor(std::string typeString, Kind kind, std::string_view name,
                       std::string_view getter, std::string_view setter,
                       std::initializer_list<Attribute> attributes) {
    unsigned flags = 0;
    std::string_view fieldGetter;
    std::string_view field = name;
    for (const Attribute& a : attributes) {
        flags |= a.flags;
        if (a.getter) fieldGetter = a.getter;
        if (a.field) field = a.field;
    }
    std::string d = "T" + std::move(typeString);
    if (kind == Kind::ReadOnly) d += ",R";
    if (flags & Attribute::kCopy)
        d += ",C";
    else if (flags & Attribute::kRetain)
        d += ",&";
    if (flags & Attribute::kNonatomic) d += ",N";
    if (flags & Attribute::kWeak) d += ",W";
    if (kind == Kind::Field) {
        if (!fieldGetter.empty()) d += ",G" + std::string(fieldGetter);
        return d + ",V" + std::string(field);
    }
    d += ",D";
    if (getter != name) d += ",G" + std::string(getter);
    if (kind == Kind::Dynamic && !isUsualSetterName(name, setter))
        d += ",S" + std::string(setter) + ":";
    return d;
}

std::vector<CPropertyDeclaration> joined(std::vector<CPropertyDeclaration> inClass,
                                         std::initializer_list<CPropertyDeclaration> handWritten) {
    inClass.insert(inClass.end(), handWritten.begin(), handWritten.end());
    return inClass;
}

}  // namespace cpm
