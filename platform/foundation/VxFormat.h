#pragma once
// printf-style formatting with the object conversion "%@" (an object's
// description; "(null)" for an absent one), so that the system's message
// formats can be written in code exactly as they stand.
//
// Supported: %@, %%, and the C conversions d i u x X o c s p f F e E g G with
// flags, width, precision and the length modifiers hh h l ll z j t. Arguments
// are type-checked at run time against the conversion: an integer conversion
// takes any integer, a floating one any arithmetic value, %s a text, %@ an
// object or a text. A mismatched or missing argument is written as "(?)"
// rather than read as garbage.

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxObject.h"

namespace vx {

struct DA_EXPORT FormatArg {
    std::variant<std::monostate, std::int64_t, std::uint64_t, double, std::string, Id, const void*>
        v;

    FormatArg(bool b) : v(static_cast<std::int64_t>(b)) {}
    template <class T, std::enable_if_t<std::is_integral_v<T> && std::is_signed_v<T> &&
                                            !std::is_same_v<T, bool>,
                                        int> = 0>
    FormatArg(T i) : v(static_cast<std::int64_t>(i)) {}
    template <class T, std::enable_if_t<std::is_integral_v<T> && std::is_unsigned_v<T> &&
                                            !std::is_same_v<T, bool>,
                                        int> = 0>
    FormatArg(T u) : v(static_cast<std::uint64_t>(u)) {}
    FormatArg(float d) : v(static_cast<double>(d)) {}
    FormatArg(double d) : v(d) {}
    FormatArg(const char* s) : v(std::string(s ? s : "(null)")) {}
    FormatArg(std::string s) : v(std::move(s)) {}
    FormatArg(std::string_view s) : v(std::string(s)) {}
    template <class T, std::enable_if_t<std::is_base_of_v<VxObject, T>, int> = 0>
    FormatArg(const std::shared_ptr<T>& obj) : v(Id(obj)) {}
    FormatArg(const void* p) : v(p) {}
    FormatArg(std::nullptr_t) : v(Id()) {}
};

DA_EXPORT std::string formatv(std::string_view format, const std::vector<FormatArg>& args);

template <class... Args>
std::string format(std::string_view fmt, Args&&... args) {
    return formatv(fmt, std::vector<FormatArg>{FormatArg(std::forward<Args>(args))...});
}

}  // namespace vx
