#pragma once
// Base64 (standard alphabet, "=" padding) over caller-supplied buffers. The
// encoder breaks its output into lines of 72 characters ended by CR LF; the
// decoder skips whitespace and characters outside the alphabet and stops at the
// first "=". Neither writes a terminating NUL.

#include <cstddef>
#include <cstdint>

#include "platform/foundation/VxExport.h"

// The 64 characters of the alphabet (followed by a NUL that is not part of it).
DA_EXPORT extern const char kBase64EncodeTable[65];
// ASCII code -> 6-bit value; -1 for "=", -2 for whitespace, -5 for NUL, -3 for
// any other code.
DA_EXPORT extern const std::int8_t kBase64DecodeTable[128];

// Masks used to split bytes into 6-bit groups and join them again.
DA_EXPORT extern const std::uint8_t kBits_00000011;
DA_EXPORT extern const std::uint8_t kBits_00001111;
DA_EXPORT extern const std::uint8_t kBits_00110000;
DA_EXPORT extern const std::uint8_t kBits_00111100;
DA_EXPORT extern const std::uint8_t kBits_00111111;
DA_EXPORT extern const std::uint8_t kBits_11000000;
DA_EXPORT extern const std::uint8_t kBits_11110000;
DA_EXPORT extern const std::uint8_t kBits_11111100;

// Characters needed to encode `inDataSize` bytes, including one CR LF per
// complete line of 72. Saturates at UINT32_MAX when the size does not fit in
// 32 bits (Base64EncodeData refuses such inputs).
DA_EXPORT std::uint32_t EstimateBas64EncodedDataSize(std::uint32_t inDataSize);
// Bytes needed to decode `inDataSize` characters: 3 per started group of 4.
DA_EXPORT std::uint32_t EstimateBas64DecodedDataSize(std::uint32_t inDataSize);

// Encodes the input into the output buffer. *ioOutputDataSize gives the
// buffer's size and receives the number of characters written. Returns false,
// writing nothing, when the buffer is smaller than the estimate (or the
// estimate does not fit in 32 bits, or an argument is missing).
DA_EXPORT bool Base64EncodeData(const void* inInputData, std::size_t inInputDataSize,
                                char* outOutputData, std::size_t* ioOutputDataSize);

// Decodes the input into the output buffer. The whole buffer (*ioOutputDataSize
// bytes) is first filled with "."; then, when it is at least the estimate, the
// characters are decoded and *ioOutputDataSize receives the number of bytes
// written. Returns false when the buffer is too small (or an argument is
// missing).
DA_EXPORT bool Base64DecodeData(const void* inInputData, std::size_t inInputDataSize,
                                void* ioOutputData, std::size_t* ioOutputDataSize);
