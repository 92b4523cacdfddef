#include "platform/foundation/VxCrypto.h"

#include <openssl/evp.h>

#include <stdexcept>

struct VxMD5::Impl {
    EVP_MD_CTX* ctx = nullptr;
    void reset() {
        if (!EVP_DigestInit_ex(ctx, EVP_md5(), nullptr))
            throw std::runtime_error("MD5 digest is not available");
    }
};

VxMD5::VxMD5() : impl_(std::make_unique<Impl>()) {
    impl_->ctx = EVP_MD_CTX_new();
    if (!impl_->ctx) throw std::bad_alloc();
    impl_->reset();
}

VxMD5::~VxMD5() {
    EVP_MD_CTX_free(impl_->ctx);
}

void VxMD5::update(const void* bytes, std::size_t length) {
    if (length == 0) return;
    EVP_DigestUpdate(impl_->ctx, bytes, length);
}

VxMD5Digest VxMD5::finish() {
    VxMD5Digest out{};
    unsigned int len = 0;
    EVP_DigestFinal_ex(impl_->ctx, out.data(), &len);
    // Ready for a new message.
    impl_->reset();
    return out;
}

VxMD5Digest VxMD5::digest(const void* bytes, std::size_t length) {
    VxMD5Digest out{};
    unsigned int len = 0;
    static const unsigned char empty = 0;
    EVP_Digest(length ? bytes : &empty, length, out.data(), &len, EVP_md5(), nullptr);
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
