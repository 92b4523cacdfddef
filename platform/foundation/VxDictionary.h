#pragma once
// Dictionaries: immutable and mutable, insertion-ordered, any keys.

#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxObject.h"
#include "platform/foundation/VxOrderedTable.h"
#include "platform/foundation/VxValuesFwd.h"

// Dictionary: keys are any objects (compared with isEqual), insertion order is
// kept and is the enumeration order.
class DA_EXPORT VxDictionary : public VxObject {
    VX_DECLARE_CLASS(VxDictionary)
  public:
    VxDictionary() = default;
    ~VxDictionary() override;
    static VxDictionaryPtr dictionary();
    // Later duplicates replace earlier values and keep the first position.
    static VxDictionaryPtr dictionaryWithPairs(std::vector<std::pair<Id, Id>> pairs);
    static VxDictionaryPtr dictionaryWithPairs(
        std::initializer_list<std::pair<std::string, Id>> pairs);
    // The same from parallel spans of keys and values (of equal length), whose
    // elements are moved from. Texts are taken as they are, other keys copied.
    static VxDictionaryPtr dictionaryByTakingKeys(std::span<Id> keys, std::span<Id> values);

    std::size_t count() const { return table_.size(); }
    bool empty() const { return table_.size() == 0; }
    // The value for the key, or nothing.
    Id objectForKey(const Id& key) const;
    Id objectForKey(std::string_view key) const;
    Id operator[](std::string_view key) const { return objectForKey(key); }
    VxArrayPtr allKeys() const;
    VxArrayPtr allValues() const;
    const std::vector<Id>& keys() const { return table_.keys(); }
    const std::vector<Id>& values() const { return values_; }
    // Calls fn(key, value) in enumeration order.
    template <class Fn>
    void enumerateKeysAndObjects(Fn&& fn) const {
        for (std::size_t i = 0; i < values_.size(); ++i) fn(table_.keys()[i], values_[i]);
    }

    bool isEqual(const VxObject& other) const override;
    std::size_t hash() const override { return table_.size(); }
    std::string description() const override;
    std::string descriptionInline() const override;
    Id copyWithZone(void* zone = nullptr) const override;
    Id mutableCopyWithZone(void* zone = nullptr) const override;

  protected:
    void set(const Id& value, const Id& key);
    void take(std::span<Id> keys, std::span<Id> values);
    VxOrderedTable table_;
    std::vector<Id> values_;
};

class DA_EXPORT VxMutableDictionary : public VxDictionary {
    VX_DECLARE_CLASS(VxMutableDictionary)
  public:
    VxMutableDictionary() = default;
    static VxMutableDictionaryPtr dictionary();
    static VxMutableDictionaryPtr dictionaryWithCapacity(std::size_t capacity);
    static VxMutableDictionaryPtr dictionaryByTakingKeys(std::span<Id> keys, std::span<Id> values);
    // Stores the value under an immutable copy of the key; an existing key keeps
    // its position. An absent value removes the key.
    void setObject(const Id& value, const Id& forKey);
    void setObject(const Id& value, std::string_view forKey);
    void removeObjectForKey(const Id& key);
    void removeObjectForKey(std::string_view key);
    void removeAllObjects();
    void addEntriesFromDictionary(const VxDictionary& other);
};
