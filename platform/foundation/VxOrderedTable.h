#pragma once
// The insertion-ordered hash table that stores dictionaries and sets.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxObject.h"

// Insertion-ordered hash table of objects, the storage of dictionaries and sets.
// Each key's hash is stored beside it; small tables are searched by comparing
// the stored hashes, larger ones keep an open-addressing index of positions.
class DA_EXPORT VxOrderedTable {
  public:
    std::size_t size() const { return keys_.size(); }
    // Position of the key, or npos. `hash` is key.hash().
    std::size_t find(const VxObject& key) const { return find(key, key.hash()); }
    std::size_t find(const VxObject& key, std::size_t hash) const;
    std::size_t findString(std::string_view key) const;
    // Appends a key that is not present yet; returns its position. `hash` is
    // key->hash().
    std::size_t append(const Id& key) { return append(key, key->hash()); }
    std::size_t append(Id key, std::size_t hash);
    void erase(std::size_t position);
    void clear();
    void reserve(std::size_t n);
    const std::vector<Id>& keys() const { return keys_; }
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  private:
    // Tables up to this size have no index.
    static constexpr std::size_t kLinearLimit = 16;
    template <class Match>
    std::size_t lookup(std::size_t hash, const Match& match) const;
    void indexPosition(std::size_t position);
    void rebuildIndex(std::size_t capacity);
    std::vector<Id> keys_;
    std::vector<std::size_t> hashes_;
    // Open addressing, a power of two in size: 0 is free, else position + 1.
    std::vector<std::uint32_t> slots_;
};
