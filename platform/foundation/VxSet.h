#pragma once
// Sets and ordered sets, immutable and mutable.

#include <string>
#include <vector>

#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxObject.h"
#include "platform/foundation/VxOrderedTable.h"
#include "platform/foundation/VxValuesFwd.h"

// Set (enumerates in insertion order) and ordered set (indexable).
class DA_EXPORT VxSet : public VxObject {
    VX_DECLARE_CLASS(VxSet)
  public:
    VxSet() = default;
    static VxSetPtr setWithObjects(std::vector<Id> items);
    std::size_t count() const { return table_.size(); }
    bool containsObject(const Id& obj) const;
    Id member(const Id& obj) const;
    const std::vector<Id>& allObjects() const { return table_.keys(); }
    VxArrayPtr allObjectsArray() const;
    bool isEqual(const VxObject& other) const override;
    std::size_t hash() const override { return table_.size(); }
    std::string description() const override;
    Id copyWithZone(void* zone = nullptr) const override;
    Id mutableCopyWithZone(void* zone = nullptr) const override;

  protected:
    void add(const Id& obj);
    VxOrderedTable table_;
};

class DA_EXPORT VxMutableSet : public VxSet {
    VX_DECLARE_CLASS(VxMutableSet)
  public:
    static VxMutableSetPtr set();
    void addObject(const Id& obj) { add(obj); }
    void removeObject(const Id& obj);
    void removeAllObjects() { table_.clear(); }
};

class DA_EXPORT VxOrderedSet : public VxObject {
    VX_DECLARE_CLASS(VxOrderedSet)
  public:
    VxOrderedSet() = default;
    static VxOrderedSetPtr orderedSetWithObjects(std::vector<Id> items);
    std::size_t count() const { return table_.size(); }
    bool containsObject(const Id& obj) const;
    const Id& objectAtIndex(std::size_t index) const { return table_.keys().at(index); }
    std::size_t indexOfObject(const Id& obj) const;  // npos when absent
    static constexpr std::size_t npos = VxOrderedTable::npos;
    const std::vector<Id>& array() const { return table_.keys(); }
    bool isEqual(const VxObject& other) const override;
    std::size_t hash() const override { return table_.size(); }
    std::string description() const override;
    Id copyWithZone(void* zone = nullptr) const override;
    Id mutableCopyWithZone(void* zone = nullptr) const override;

  protected:
    void add(const Id& obj);
    VxOrderedTable table_;
};

class DA_EXPORT VxMutableOrderedSet : public VxOrderedSet {
    VX_DECLARE_CLASS(VxMutableOrderedSet)
  public:
    static VxMutableOrderedSetPtr orderedSet();
    void addObject(const Id& obj) { add(obj); }
    void removeObject(const Id& obj);
    void removeAllObjects() { table_.clear(); }
};
