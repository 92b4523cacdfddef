#include "platform/foundation/VxString.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

VX_DEFINE_CLASS(VxString, VxObject, vxMakeInstance<VxString>);

VxStringPtr VxString::make(std::string text) {
    return std::make_shared<VxString>(std::move(text));
}

VxStringPtr vxstr(std::string text) {
    return VxString::make(std::move(text));
}

VxStringPtr VxString::stringWithUTF8Bytes(const void* bytes, std::size_t length) {
    std::string_view view(static_cast<const char*>(bytes), length);
    if (!isValidUTF8(view)) return nullptr;
    return make(std::string(view));
}

bool VxString::isValidUTF8(std::string_view s) {
    std::size_t i = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    while (i < s.size()) {
        unsigned char c = p[i];
        std::size_t n;
        std::uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            n = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            n = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            n = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        for (std::size_t k = 1; k <= n; ++k) {
            if (i + k >= s.size() || (p[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        // Overlong forms, surrogates and values beyond Unicode are not UTF-8.
        if ((n == 1 && cp < 0x80) || (n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000))
            return false;
        if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return false;
        i += n + 1;
    }
    return true;
}

std::size_t VxString::length() const {
    std::size_t count = 0;
    for (unsigned char c : text_) {
        if ((c & 0xC0) != 0x80) ++count;
    }
    return count;
}

bool VxString::isEqual(const VxObject& other) const {
    auto* s = dynamic_cast<const VxString*>(&other);
    return s && s->text_ == text_;
}

std::size_t VxString::hash() const {
    return std::hash<std::string_view>()(text_);
}
