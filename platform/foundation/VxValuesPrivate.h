#pragma once
// Pieces shared by the value kinds' sources; not part of the library's API.

#include <cstddef>
#include <string>
#include <vector>

#include "platform/foundation/VxObject.h"

namespace vx::detail {

// Property-list style description of an object, nested `indent` levels deep
// (VxValueDescription.cpp).
void describe(const Id& obj, int indent, std::string& out);
// The same on one line.
void describeInline(const Id& obj, std::string& out);

inline std::size_t hashCombine(std::size_t a, std::size_t b) {
    return a ^ (b + 0x9e3779b97f4a7c15ULL + (a << 6) + (a >> 2));
}

// Empties a container's element list without deep recursion (VxArray.cpp).
void releaseElements(std::vector<Id>& elements);

}  // namespace vx::detail
