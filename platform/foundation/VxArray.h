#pragma once
// Arrays: immutable and mutable ordered lists of objects.

#include <initializer_list>
#include <string>
#include <vector>

#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxObject.h"
#include "platform/foundation/VxValuesFwd.h"

// Array of objects. Elements are never absent (the null marker stands in).
class DA_EXPORT VxArray : public VxObject {
    VX_DECLARE_CLASS(VxArray)
  public:
    VxArray() = default;
    explicit VxArray(std::vector<Id> items);
    ~VxArray() override;
    static VxArrayPtr array();
    static VxArrayPtr arrayWithObjects(std::vector<Id> items);
    static VxArrayPtr arrayWithObjects(std::initializer_list<Id> items);

    std::size_t count() const { return items_.size(); }
    bool empty() const { return items_.empty(); }
    const Id& objectAtIndex(std::size_t index) const { return items_.at(index); }
    const Id& operator[](std::size_t index) const { return items_.at(index); }
    Id firstObject() const { return items_.empty() ? nullptr : items_.front(); }
    Id lastObject() const { return items_.empty() ? nullptr : items_.back(); }
    bool containsObject(const Id& obj) const;
    // Index of the first equal element, or npos.
    std::size_t indexOfObject(const Id& obj) const;
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    const std::vector<Id>& items() const { return items_; }
    std::vector<Id>::const_iterator begin() const { return items_.begin(); }
    std::vector<Id>::const_iterator end() const { return items_.end(); }

    bool isEqual(const VxObject& other) const override;
    std::size_t hash() const override { return items_.size(); }
    std::string description() const override;
    std::string descriptionInline() const override;
    Id copyWithZone(void* zone = nullptr) const override;
    Id mutableCopyWithZone(void* zone = nullptr) const override;

  protected:
    std::vector<Id> items_;
};

class DA_EXPORT VxMutableArray : public VxArray {
    VX_DECLARE_CLASS(VxMutableArray)
  public:
    using VxArray::VxArray;
    static VxMutableArrayPtr array();
    static VxMutableArrayPtr arrayWithCapacity(std::size_t capacity);
    // An absent object is stored as the null marker.
    void addObject(const Id& obj);
    void insertObject(const Id& obj, std::size_t atIndex);
    void replaceObjectAtIndex(std::size_t index, const Id& withObject);
    void removeObjectAtIndex(std::size_t index);
    void removeObject(const Id& obj);  // every equal element
    void removeLastObject();
    void removeAllObjects() { items_.clear(); }
    void addObjectsFromArray(const VxArray& other);
};
