#pragma once
// Text: immutable UTF-8 strings.

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxObject.h"
#include "platform/foundation/VxValuesFwd.h"

// Text: an immutable UTF-8 string.
class DA_EXPORT VxString : public VxObject {
    VX_DECLARE_CLASS(VxString)
  public:
    explicit VxString(std::string text = {}) : text_(std::move(text)) {}
    static VxStringPtr make(std::string text);
    static VxStringPtr stringWithUTF8Bytes(const void* bytes,
                                           std::size_t length);  // nothing if invalid

    const std::string& str() const { return text_; }
    const char* UTF8String() const { return text_.c_str(); }
    bool empty() const { return text_.empty(); }
    // Length in Unicode characters (code points).
    std::size_t length() const;
    // Number of UTF-8 bytes.
    std::size_t byteLength() const { return text_.size(); }

    bool isEqual(const VxObject& other) const override;
    std::size_t hash() const override;
    std::string description() const override { return text_; }

    static bool isValidUTF8(std::string_view bytes);

  private:
    std::string text_;
};

DA_EXPORT VxStringPtr vxstr(std::string text);
