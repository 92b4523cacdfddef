#pragma once
// Value boxes: raw bytes with the type string that describes them.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxObject.h"
#include "platform/foundation/VxValuesFwd.h"

// Value box: raw bytes together with the type string that describes them.
class DA_EXPORT VxValue : public VxObject {
    VX_DECLARE_CLASS(VxValue)
  public:
    VxValue() = default;
    static VxValuePtr valueWithBytes(const void* bytes, std::size_t size,
                                     std::string_view objCType);
    static VxValuePtr valueWithPointer(const void* pointer);  // type "^v"
    template <class T>
    static VxValuePtr valueWithValue(const T& v, std::string_view objCType) {
        return valueWithBytes(&v, sizeof v, objCType);
    }
    const std::string& objCType() const { return type_; }
    std::size_t size() const { return bytes_.size(); }
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }
    // Copies the held bytes into the buffer (at most `size` bytes, the rest zeroed).
    void getValue(void* buffer, std::size_t size) const;
    template <class T>
    T value() const {
        T v{};
        getValue(&v, sizeof v);
        return v;
    }
    const void* pointerValue() const { return value<const void*>(); }
    bool isEqual(const VxObject& other) const override;
    std::size_t hash() const override;
    std::string description() const override;

  private:
    std::vector<std::uint8_t> bytes_;
    std::string type_;
};
