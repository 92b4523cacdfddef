#pragma once
// MD5 digests (RFC 1321), one-shot and incremental.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/foundation/VxExport.h"

using VxMD5Digest = std::array<std::uint8_t, 16>;

class DA_EXPORT VxMD5 {
  public:
    VxMD5();
    ~VxMD5();
    VxMD5(const VxMD5&) = delete;
    VxMD5& operator=(const VxMD5&) = delete;
    void update(const void* bytes, std::size_t length);
    // The digest of everything given since construction or the last finish();
    // the object is then ready for a new message.
    VxMD5Digest finish();

    static VxMD5Digest digest(const void* bytes, std::size_t length);
    // Lower-case hexadecimal text of a digest.
    static std::string hexString(const VxMD5Digest& digest);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
