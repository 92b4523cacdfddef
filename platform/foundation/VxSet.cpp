#include "platform/foundation/VxSet.h"

#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/VxArray.h"
#include "platform/foundation/VxValuesPrivate.h"

VX_DEFINE_CLASS(VxSet, VxObject, vxMakeInstance<VxSet>);
VX_DEFINE_CLASS(VxMutableSet, VxSet, vxMakeInstance<VxMutableSet>);
VX_DEFINE_CLASS(VxOrderedSet, VxObject, vxMakeInstance<VxOrderedSet>);
VX_DEFINE_CLASS(VxMutableOrderedSet, VxOrderedSet, vxMakeInstance<VxMutableOrderedSet>);

using vx::detail::describe;

VxSetPtr VxSet::setWithObjects(std::vector<Id> items) {
    auto s = std::make_shared<VxSet>();
    for (auto& i : items) s->add(i);
    return s;
}

void VxSet::add(const Id& obj) {
    if (obj && table_.find(*obj) == VxOrderedTable::npos) table_.append(obj->copy());
}

bool VxSet::containsObject(const Id& obj) const {
    return obj && table_.find(*obj) != VxOrderedTable::npos;
}

Id VxSet::member(const Id& obj) const {
    if (!obj) return nullptr;
    std::size_t pos = table_.find(*obj);
    return pos == VxOrderedTable::npos ? nullptr : table_.keys()[pos];
}

VxArrayPtr VxSet::allObjectsArray() const {
    return VxArray::arrayWithObjects(table_.keys());
}

bool VxSet::isEqual(const VxObject& other) const {
    auto* s = dynamic_cast<const VxSet*>(&other);
    if (!s || s->count() != count()) return false;
    for (const auto& k : table_.keys()) {
        if (!s->containsObject(k)) return false;
    }
    return true;
}

std::string VxSet::description() const {
    std::string out;
    describe(self(), 0, out);
    return out;
}

Id VxSet::copyWithZone(void*) const {
    if (isMemberOfClass(VxSet::classObject())) return self();
    auto s = std::make_shared<VxSet>();
    s->table_ = table_;
    return s;
}

Id VxSet::mutableCopyWithZone(void*) const {
    auto s = std::make_shared<VxMutableSet>();
    s->table_ = table_;
    return s;
}

VxMutableSetPtr VxMutableSet::set() {
    return std::make_shared<VxMutableSet>();
}

void VxMutableSet::removeObject(const Id& obj) {
    if (!obj) return;
    table_.erase(table_.find(*obj));
}

VxOrderedSetPtr VxOrderedSet::orderedSetWithObjects(std::vector<Id> items) {
    auto s = std::make_shared<VxOrderedSet>();
    for (auto& i : items) s->add(i);
    return s;
}

void VxOrderedSet::add(const Id& obj) {
    if (obj && table_.find(*obj) == VxOrderedTable::npos) table_.append(obj->copy());
}

bool VxOrderedSet::containsObject(const Id& obj) const {
    return obj && table_.find(*obj) != VxOrderedTable::npos;
}

std::size_t VxOrderedSet::indexOfObject(const Id& obj) const {
    return obj ? table_.find(*obj) : npos;
}

bool VxOrderedSet::isEqual(const VxObject& other) const {
    auto* s = dynamic_cast<const VxOrderedSet*>(&other);
    if (!s || s->count() != count()) return false;
    for (std::size_t i = 0; i < count(); ++i) {
        if (!vxEqual(objectAtIndex(i), s->objectAtIndex(i))) return false;
    }
    return true;
}

std::string VxOrderedSet::description() const {
    std::string out;
    describe(self(), 0, out);
    return out;
}

Id VxOrderedSet::copyWithZone(void*) const {
    if (isMemberOfClass(VxOrderedSet::classObject())) return self();
    auto s = std::make_shared<VxOrderedSet>();
    s->table_ = table_;
    return s;
}

Id VxOrderedSet::mutableCopyWithZone(void*) const {
    auto s = std::make_shared<VxMutableOrderedSet>();
    s->table_ = table_;
    return s;
}

VxMutableOrderedSetPtr VxMutableOrderedSet::orderedSet() {
    return std::make_shared<VxMutableOrderedSet>();
}

void VxMutableOrderedSet::removeObject(const Id& obj) {
    if (!obj) return;
    table_.erase(table_.find(*obj));
}
