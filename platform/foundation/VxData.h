#pragma once
// Bytes: immutable and mutable data.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxFileReading.h"
#include "platform/foundation/VxObject.h"
#include "platform/foundation/VxValuesFwd.h"

// Bytes.
class DA_EXPORT VxData : public VxObject {
    VX_DECLARE_CLASS(VxData)
  public:
    VxData() = default;
    explicit VxData(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
    static VxDataPtr data();
    static VxDataPtr dataWithBytes(const void* bytes, std::size_t length);
    static VxDataPtr dataWithString(std::string_view text);  // the UTF-8 bytes of the text
    static VxDataPtr dataWithVector(std::vector<std::uint8_t> bytes);
    // The whole file, or nothing (and the error) when it cannot be read: only
    // a regular file of at most `limit` bytes is read (see VxFileReading.h).
    static VxDataPtr dataWithContentsOfFile(const std::string& path,
                                            std::string* errorText = nullptr,
                                            std::size_t limit = kVxWholeFileLimit);

    const std::uint8_t* bytes() const { return bytes_.data(); }
    std::size_t length() const { return bytes_.size(); }
    const std::vector<std::uint8_t>& vector() const { return bytes_; }
    std::string_view view() const {
        return {reinterpret_cast<const char*>(bytes_.data()), bytes_.size()};
    }
    bool writeToFile(const std::string& path, bool atomically) const;

    bool isEqual(const VxObject& other) const override;
    std::size_t hash() const override;
    // "{length = N, bytes = 0x0011...}", long buffers abbreviated in the middle.
    std::string description() const override;
    Id copyWithZone(void* zone = nullptr) const override;
    Id mutableCopyWithZone(void* zone = nullptr) const override;

  protected:
    std::vector<std::uint8_t> bytes_;
};

class DA_EXPORT VxMutableData : public VxData {
    VX_DECLARE_CLASS(VxMutableData)
  public:
    using VxData::VxData;
    static VxMutableDataPtr dataWithCapacity(std::size_t capacity);
    std::uint8_t* mutableBytes() { return bytes_.data(); }
    std::vector<std::uint8_t>& mutableVector() { return bytes_; }
    void appendBytes(const void* bytes, std::size_t length);
    void appendData(const VxData& other) { appendBytes(other.bytes(), other.length()); }
    void setLength(std::size_t length) { bytes_.resize(length, 0); }
};
