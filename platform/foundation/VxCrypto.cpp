#include "platform/foundation/VxCrypto.h"

#include <nettle/md5.h>

// Nettle's MD5 is plain code on a context held here: no provider or
// algorithm-table set-up runs on first use, which keeps a process that digests
// a file from touching code and data beyond the digest itself.
static_assert(MD5_DIGEST_SIZE == std::tuple_size_v<VxMD5Digest>);

struct VxMD5::Impl {
    md5_ctx ctx;
};

VxMD5::VxMD5() : impl_(std::make_unique<Impl>()) {
    md5_init(&impl_->ctx);
}

VxMD5::~VxMD5() = default;

void VxMD5::update(const void* bytes, std::size_t length) {
    if (length == 0) return;
    md5_update(&impl_->ctx, length, static_cast<const std::uint8_t*>(bytes));
}

VxMD5Digest VxMD5::finish() {
    VxMD5Digest out{};
    // Also starts the context over, ready for a new message.
    md5_digest(&impl_->ctx, out.size(), out.data());
    return out;
}

VxMD5Digest VxMD5::digest(const void* bytes, std::size_t length) {
    md5_ctx ctx;
    md5_init(&ctx);
    if (length) md5_update(&ctx, length, static_cast<const std::uint8_t*>(bytes));
    VxMD5Digest out{};
    md5_digest(&ctx, out.size(), out.data());
    return out;
}

std::string VxMD5::hexString(const VxMD5Digest& digest) {
    static const char* hex = "0123456789abcdef";
    std::string s;
    s.reserve(32);
    for (std::uint8_t b : digest) {
        s += hex[b >> 4];
        s += hex[b & 0xF];
    }
    return s;
}
