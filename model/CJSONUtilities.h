#pragma once
// Stateless operations that decide whether a value tree can be written as JSON
// and turn an arbitrary value tree into one that can: unsupported members are
// dropped, sets become arrays, objects adopting CPJSONObject are replaced by
// their own JSON form, and null markers can be stripped from dictionaries.
//
// JSON scalars are texts, numbers (booleans included), decimal numbers and the
// null marker; containers are arrays and dictionaries.

#include <cstdint>

#include "model/CPJSONObject.h"
#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxValues.h"

// Options of the cleaning operations (an unsigned 64-bit bit set).
enum CJSONUtilitiesOptions : std::uint64_t {
    // Every array and dictionary a cleaning operation builds is returned mutable,
    // at every level; without it each one is immutable.
    CJSONUtilitiesOptionMutableContainers = 1,
};

class DA_EXPORT CJSONUtilities {
  public:
    CJSONUtilities() = delete;

    // Deepest level a value of a valid JSON tree may sit at (the top is level 0).
    static constexpr std::uint64_t kMaxJSONDepth = 511;

    // True for an array or a dictionary; false for nothing.
    static bool isTopLevelJSONObject(const Id& value);
    // True for a JSON scalar; false for nothing.
    static bool isNonCollectionJSONObject(const Id& value);

    // A JSON-ready value tree, never nothing: an array or dictionary is cleaned,
    // a scalar returned unchanged, and anything else gives the null marker.
    static Id conformingJSONObjectFromObject(const Id& value, std::uint64_t withOptions);
    // The array's elements, cleaned by the member rule, in order; an empty array
    // for nothing.
    static VxArrayPtr arrayByRemovingNonJSONObjects(const VxArrayPtr& array,
                                                    std::uint64_t withOptions);
    // The dictionary's entries with their values cleaned by the member rule;
    // keys are kept as they are; dropped members leave their key out.
    static VxDictionaryPtr dictionaryByRemovingNonJSONObjects(const VxDictionaryPtr& dictionary,
                                                              std::uint64_t withOptions);
    // The value with every dictionary entry whose value is the null marker
    // removed, at every level. Null markers that are array elements stay.
    static Id removeVxNullsFromJSONObject(const Id& value, std::uint64_t withOptions);

    // True when the value is an array or dictionary that JSON can express:
    // texts as keys, finite numbers, decimal numbers other than not-a-number,
    // texts and null markers as leaves, nothing deeper than kMaxJSONDepth.
    // Stops at the first invalid member.
    static bool isValidJSONObject(const Id& value);
    // The validity test of one value at the given depth; a scalar is valid only
    // when singleObject is true.
    static bool validForJSON(const Id& value, std::uint64_t depth, bool singleObject);
};
