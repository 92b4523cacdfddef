#include "platform/foundation/VxDictionary.h"

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/foundation/VxArray.h"
#include "platform/foundation/VxNull.h"
#include "platform/foundation/VxString.h"
#include "platform/foundation/VxValuesPrivate.h"

VX_DEFINE_CLASS(VxDictionary, VxObject, vxMakeInstance<VxDictionary>);
VX_DEFINE_CLASS(VxMutableDictionary, VxDictionary, vxMakeInstance<VxMutableDictionary>);

using vx::detail::describe;
using vx::detail::describeInline;
using vx::detail::releaseElements;

VxDictionary::~VxDictionary() {
    releaseElements(values_);
}

VxDictionaryPtr VxDictionary::dictionary() {
    return std::make_shared<VxDictionary>();
}

VxDictionaryPtr VxDictionary::dictionaryWithPairs(std::vector<std::pair<Id, Id>> pairs) {
    auto d = std::make_shared<VxDictionary>();
    d->table_.reserve(pairs.size());
    for (auto& [k, v] : pairs) d->set(v, k);
    return d;
}

VxDictionaryPtr VxDictionary::dictionaryByTakingKeys(std::span<Id> keys, std::span<Id> values) {
    auto d = std::make_shared<VxDictionary>();
    d->take(keys, values);
    return d;
}

void VxDictionary::take(std::span<Id> keys, std::span<Id> values) {
    const std::size_t n = std::min(keys.size(), values.size());
    table_.reserve(table_.size() + n);
    values_.reserve(values_.size() + n);
    for (std::size_t i = 0; i < n; ++i) {
        Id& key = keys[i];
        if (!key) continue;
        Id value = values[i] ? std::move(values[i]) : Id(VxNull::null());
        const std::size_t hash = key->hash();
        const std::size_t pos = table_.find(*key, hash);
        if (pos != VxOrderedTable::npos) {
            values_[pos] = std::move(value);
            continue;
        }
        // A text is immutable: its copy would be itself.
        if (key->isMemberOfClass(VxString::classObject()))
            table_.append(std::move(key), hash);
        else
            table_.append(key->copy(), hash);
        values_.push_back(std::move(value));
    }
}

VxDictionaryPtr VxDictionary::dictionaryWithPairs(
    std::initializer_list<std::pair<std::string, Id>> pairs) {
    auto d = std::make_shared<VxDictionary>();
    for (const auto& [k, v] : pairs) d->set(v, vxstr(k));
    return d;
}

void VxDictionary::set(const Id& value, const Id& key) {
    if (!key) return;
    Id storedValue = value ? value : Id(VxNull::null());
    const std::size_t hash = key->hash();
    std::size_t pos = table_.find(*key, hash);
    if (pos != VxOrderedTable::npos) {
        values_[pos] = std::move(storedValue);
        return;
    }
    table_.append(key->copy(), hash);
    values_.push_back(std::move(storedValue));
}

Id VxDictionary::objectForKey(const Id& key) const {
    if (!key) return nullptr;
    std::size_t pos = table_.find(*key);
    return pos == VxOrderedTable::npos ? nullptr : values_[pos];
}

Id VxDictionary::objectForKey(std::string_view key) const {
    std::size_t pos = table_.findString(key);
    return pos == VxOrderedTable::npos ? nullptr : values_[pos];
}

VxArrayPtr VxDictionary::allKeys() const {
    return VxArray::arrayWithObjects(table_.keys());
}
VxArrayPtr VxDictionary::allValues() const {
    return VxArray::arrayWithObjects(values_);
}

bool VxDictionary::isEqual(const VxObject& other) const {
    auto* d = dynamic_cast<const VxDictionary*>(&other);
    if (!d || d->count() != count()) return false;
    for (std::size_t i = 0; i < values_.size(); ++i) {
        if (!vxEqual(values_[i], d->objectForKey(table_.keys()[i]))) return false;
    }
    return true;
}

std::string VxDictionary::description() const {
    std::string out;
    describe(self(), 0, out);
    return out;
}

std::string VxDictionary::descriptionInline() const {
    std::string out;
    describeInline(self(), out);
    return out;
}

Id VxDictionary::copyWithZone(void*) const {
    if (isMemberOfClass(VxDictionary::classObject())) return self();
    auto d = std::make_shared<VxDictionary>();
    d->table_ = table_;
    d->values_ = values_;
    return d;
}

Id VxDictionary::mutableCopyWithZone(void*) const {
    auto d = std::make_shared<VxMutableDictionary>();
    d->table_ = table_;
    d->values_ = values_;
    return d;
}

VxMutableDictionaryPtr VxMutableDictionary::dictionary() {
    return std::make_shared<VxMutableDictionary>();
}

VxMutableDictionaryPtr VxMutableDictionary::dictionaryByTakingKeys(std::span<Id> keys,
                                                                   std::span<Id> values) {
    auto d = std::make_shared<VxMutableDictionary>();
    d->take(keys, values);
    return d;
}

VxMutableDictionaryPtr VxMutableDictionary::dictionaryWithCapacity(std::size_t capacity) {
    auto d = std::make_shared<VxMutableDictionary>();
    d->table_.reserve(capacity);
    d->values_.reserve(capacity);
    return d;
}

void VxMutableDictionary::setObject(const Id& value, const Id& forKey) {
    if (!value) {
        removeObjectForKey(forKey);
        return;
    }
    set(value, forKey);
}

void VxMutableDictionary::setObject(const Id& value, std::string_view forKey) {
    if (!value) {
        removeObjectForKey(forKey);
        return;
    }
    std::size_t pos = table_.findString(forKey);
    if (pos != VxOrderedTable::npos) {
        values_[pos] = value;
        return;
    }
    table_.append(vxstr(std::string(forKey)));
    values_.push_back(value);
}

void VxMutableDictionary::removeObjectForKey(const Id& key) {
    if (!key) return;
    std::size_t pos = table_.find(*key);
    if (pos == VxOrderedTable::npos) return;
    table_.erase(pos);
    values_.erase(values_.begin() + static_cast<std::ptrdiff_t>(pos));
}

void VxMutableDictionary::removeObjectForKey(std::string_view key) {
    std::size_t pos = table_.findString(key);
    if (pos == VxOrderedTable::npos) return;
    table_.erase(pos);
    values_.erase(values_.begin() + static_cast<std::ptrdiff_t>(pos));
}

void VxMutableDictionary::removeAllObjects() {
    table_.clear();
    values_.clear();
}

void VxMutableDictionary::addEntriesFromDictionary(const VxDictionary& other) {
    other.enumerateKeysAndObjects([&](const Id& k, const Id& v) { set(v, k); });
}
