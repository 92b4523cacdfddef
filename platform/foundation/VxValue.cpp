#include "platform/foundation/VxValue.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/foundation/VxValuesPrivate.h"

VX_DEFINE_CLASS(VxValue, VxObject, vxMakeInstance<VxValue>);

using vx::detail::hashCombine;

VxValuePtr VxValue::valueWithBytes(const void* bytes, std::size_t size, std::string_view objCType) {
    auto v = std::make_shared<VxValue>();
    auto p = static_cast<const std::uint8_t*>(bytes);
    if (size) v->bytes_.assign(p, p + size);
    v->type_ = std::string(objCType);
    return v;
}

VxValuePtr VxValue::valueWithPointer(const void* pointer) {
    return valueWithValue(pointer, "^v");
}

void VxValue::getValue(void* buffer, std::size_t size) const {
    std::memset(buffer, 0, size);
    std::memcpy(buffer, bytes_.data(), std::min(size, bytes_.size()));
}

bool VxValue::isEqual(const VxObject& other) const {
    auto* v = dynamic_cast<const VxValue*>(&other);
    return v && v->type_ == type_ && v->bytes_ == bytes_;
}

std::size_t VxValue::hash() const {
    return hashCombine(std::hash<std::string>()(type_),
                       std::hash<std::string_view>()(std::string_view(
                           reinterpret_cast<const char*>(bytes_.data()), bytes_.size())));
}

std::string VxValue::description() const {
    static const char* hex = "0123456789abcdef";
    std::string out = "<";
    for (std::size_t i = 0; i < bytes_.size(); ++i) {
        if (i && i % 4 == 0) out.push_back(' ');
        out.push_back(hex[bytes_[i] >> 4]);
        out.push_back(hex[bytes_[i] & 0xF]);
    }
    return out + ">";
}
