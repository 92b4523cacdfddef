#include "platform/foundation/VxOrderedTable.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "platform/foundation/VxString.h"

namespace {

// Spreads a hash over the index (hashes of small integers are the integers).
std::size_t slotOf(std::size_t hash, std::size_t mask) {
    return static_cast<std::size_t>((static_cast<std::uint64_t>(hash) * 0x9E3779B97F4A7C15ULL) >>
                                    17) &
           mask;
}

}  // namespace

template <class Match>
std::size_t VxOrderedTable::lookup(std::size_t hash, const Match& match) const {
    if (slots_.empty()) {
        for (std::size_t i = 0; i < hashes_.size(); ++i)
            if (hashes_[i] == hash && match(i)) return i;
        return npos;
    }
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t p = slotOf(hash, mask);; p = (p + 1) & mask) {
        const std::uint32_t slot = slots_[p];
        if (slot == 0) return npos;
        const std::size_t i = slot - 1;
        if (hashes_[i] == hash && match(i)) return i;
    }
}

std::size_t VxOrderedTable::find(const VxObject& key, std::size_t hash) const {
    return lookup(hash, [&](std::size_t i) { return keys_[i]->isEqual(key); });
}

std::size_t VxOrderedTable::findString(std::string_view key) const {
    return lookup(std::hash<std::string_view>()(key), [&](std::size_t i) {
        const VxObject& k = *keys_[i];
        return k.isKindOfClass(VxString::classObject()) &&
               static_cast<const VxString&>(k).str() == key;
    });
}

std::size_t VxOrderedTable::append(Id key, std::size_t hash) {
    keys_.push_back(std::move(key));
    hashes_.push_back(hash);
    indexPosition(keys_.size() - 1);
    return keys_.size() - 1;
}

void VxOrderedTable::indexPosition(std::size_t position) {
    // The index is kept at most half full.
    if (keys_.size() <= kLinearLimit && slots_.empty()) return;
    if (keys_.size() * 2 > slots_.size()) {
        rebuildIndex(keys_.size());
        return;
    }
    const std::size_t mask = slots_.size() - 1;
    std::size_t p = slotOf(hashes_[position], mask);
    while (slots_[p] != 0) p = (p + 1) & mask;
    slots_[p] = static_cast<std::uint32_t>(position + 1);
}

void VxOrderedTable::erase(std::size_t position) {
    if (position >= keys_.size()) return;
    keys_.erase(keys_.begin() + static_cast<std::ptrdiff_t>(position));
    hashes_.erase(hashes_.begin() + static_cast<std::ptrdiff_t>(position));
    rebuildIndex(keys_.size());
}

void VxOrderedTable::clear() {
    keys_.clear();
    hashes_.clear();
    slots_.clear();
}

void VxOrderedTable::reserve(std::size_t n) {
    keys_.reserve(n);
    hashes_.reserve(n);
    if (n > kLinearLimit && n * 2 > slots_.size()) rebuildIndex(n);
}

void VxOrderedTable::rebuildIndex(std::size_t capacity) {
    capacity = std::max(capacity, keys_.size());
    if (capacity <= kLinearLimit) {
        slots_.clear();
        return;
    }
    std::size_t size = 32;
    while (size < capacity * 2) size *= 2;
    slots_.assign(size, 0);
    const std::size_t mask = size - 1;
    for (std::size_t i = 0; i < keys_.size(); ++i) {
        std::size_t p = slotOf(hashes_[i], mask);
        while (slots_[p] != 0) p = (p + 1) & mask;
        slots_[p] = static_cast<std::uint32_t>(i + 1);
    }
}
