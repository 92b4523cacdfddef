#pragma once
// JSON serializer: bytes to values and values to bytes.
//
// Reading keeps object member order and number kinds (booleans, signed and
// unsigned integers, doubles); null becomes the null marker. Writing produces
// compact UTF-8 (or pretty-printed output with VxJSONWritingPrettyPrinted).
// Failures are reported through the error out-parameter, never thrown.
//
// Reading details: non-negative integers that fit 64-bit signed read as
// LongLong, larger ones as UnsignedLongLong, anything with a fraction or an
// exponent as Double. Duplicate object members: the last value wins and keeps
// the first member's position. Texts are always immutable
// (VxJSONReadingMutableLeaves is accepted and has no effect).
//
// Writing details: numbers by kind (Bool as true/false, integers exactly, Float
// as the shortest text that reads back as the same float, so 0.1f gives 0.1,
// Double as the shortest round-trip text); "/" is written as "\/" unless
// VxJSONWritingWithoutEscapingSlashes; characters outside ASCII are written as
// UTF-8, control characters as escapes. Pretty printing indents by two spaces
// and separates keys from values with " : "; empty containers stay "[]"/"{}".
// Sorted keys compare by code point.

#include <cstdint>

#include "platform/foundation/VxError.h"
#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxValues.h"

enum VxJSONReadingOptions : std::uint64_t {
    VxJSONReadingMutableContainers = 1 << 0,
    VxJSONReadingMutableLeaves = 1 << 1,
    VxJSONReadingFragmentsAllowed = 1 << 2,
};

enum VxJSONWritingOptions : std::uint64_t {
    VxJSONWritingPrettyPrinted = 1 << 0,
    VxJSONWritingSortedKeys = 1 << 1,
    VxJSONWritingFragmentsAllowed = 1 << 2,
    VxJSONWritingWithoutEscapingSlashes = 1 << 3,
};

// Domain and code of reading errors (malformed text, too deep, bad UTF-8).
DA_EXPORT extern const char* const VxCocoaErrorDomain;  // "VxCocoaErrorDomain"
constexpr std::int64_t VxPropertyListReadCorruptError = 3840;
// Domain of writing failures for values that JSON cannot express (a date, a
// non-text key, NaN, ...). The failure reason carries the explanation.
DA_EXPORT extern const char* const VxInvalidArgumentException;  // "VxInvalidArgumentException"
constexpr std::int64_t VxPropertyListWriteInvalidError = 3851;

class DA_EXPORT VxJSONSerialization {
  public:
    // Deepest nesting of arrays and objects accepted when reading.
    static constexpr int kMaxReadingDepth = 512;

    static Id JSONObjectWithData(const VxDataPtr& data, std::uint64_t options,
                                 VxErrorPtr* error = nullptr);
    static VxDataPtr dataWithJSONObject(const Id& obj, std::uint64_t options,
                                        VxErrorPtr* error = nullptr);
    // True when dataWithJSONObject with options 0 would succeed: the top level is
    // an array or a dictionary, keys are texts, leaves are texts, numbers
    // (finite), the null marker, arrays or dictionaries.
    static bool isValidJSONObject(const Id& obj);
};
