#include "platform/foundation/VxArray.h"

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/VxNull.h"
#include "platform/foundation/VxValuesPrivate.h"

VX_DEFINE_CLASS(VxArray, VxObject, vxMakeInstance<VxArray>);
VX_DEFINE_CLASS(VxMutableArray, VxArray, vxMakeInstance<VxMutableArray>);

using vx::detail::describe;
using vx::detail::describeInline;

// ===========================================================================
// Releasing the elements of containers

namespace {

// Destroying a container releases its elements, which may be containers that
// release theirs: a deeply nested tree would recurse once per level. Below
// kNestedReleases nested releases on a thread, elements are released at once;
// deeper down they are parked, and the outermost release empties the parking
// list in a loop, so the stack stays bounded whatever the depth.
constexpr int kNestedReleases = 256;
thread_local int tReleaseDepth = 0;
thread_local std::vector<Id>* tParked = nullptr;

}  // namespace

namespace vx::detail {

// Also releases the values of dictionaries.
void releaseElements(std::vector<Id>& elements) {
    if (elements.empty()) return;
    if (tReleaseDepth >= kNestedReleases) {
        if (!tParked) tParked = new std::vector<Id>();
        for (Id& e : elements)
            if (e.use_count() == 1) tParked->push_back(std::move(e));
        elements.clear();
        return;
    }
    ++tReleaseDepth;
    elements.clear();
    if (tReleaseDepth == 1) {
        while (tParked) {
            std::unique_ptr<std::vector<Id>> batch(tParked);
            tParked = nullptr;
            batch->clear();
        }
    }
    --tReleaseDepth;
}

}  // namespace vx::detail

using vx::detail::releaseElements;

// ===========================================================================
// Arrays

VxArray::VxArray(std::vector<Id> items) : items_(std::move(items)) {
    for (auto& item : items_) {
        if (!item) item = VxNull::null();
    }
}

VxArray::~VxArray() {
    releaseElements(items_);
}

VxArrayPtr VxArray::array() {
    return std::make_shared<VxArray>();
}
VxArrayPtr VxArray::arrayWithObjects(std::vector<Id> items) {
    return std::make_shared<VxArray>(std::move(items));
}
VxArrayPtr VxArray::arrayWithObjects(std::initializer_list<Id> items) {
    return std::make_shared<VxArray>(std::vector<Id>(items));
}

bool VxArray::containsObject(const Id& obj) const {
    return indexOfObject(obj) != npos;
}

std::size_t VxArray::indexOfObject(const Id& obj) const {
    for (std::size_t i = 0; i < items_.size(); ++i) {
        if (vxEqual(items_[i], obj)) return i;
    }
    return npos;
}

bool VxArray::isEqual(const VxObject& other) const {
    auto* a = dynamic_cast<const VxArray*>(&other);
    if (!a || a->items_.size() != items_.size()) return false;
    for (std::size_t i = 0; i < items_.size(); ++i) {
        if (!vxEqual(items_[i], a->items_[i])) return false;
    }
    return true;
}

std::string VxArray::description() const {
    std::string out;
    describe(self(), 0, out);
    return out;
}

std::string VxArray::descriptionInline() const {
    std::string out;
    describeInline(self(), out);
    return out;
}

Id VxArray::copyWithZone(void*) const {
    if (isMemberOfClass(VxArray::classObject())) return self();
    return std::make_shared<VxArray>(items_);
}

Id VxArray::mutableCopyWithZone(void*) const {
    return std::make_shared<VxMutableArray>(items_);
}

VxMutableArrayPtr VxMutableArray::array() {
    return std::make_shared<VxMutableArray>();
}

VxMutableArrayPtr VxMutableArray::arrayWithCapacity(std::size_t capacity) {
    auto a = std::make_shared<VxMutableArray>();
    a->items_.reserve(capacity);
    return a;
}

void VxMutableArray::addObject(const Id& obj) {
    items_.push_back(obj ? obj : Id(VxNull::null()));
}

void VxMutableArray::insertObject(const Id& obj, std::size_t atIndex) {
    if (atIndex > items_.size()) atIndex = items_.size();
    items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(atIndex),
                  obj ? obj : Id(VxNull::null()));
}

void VxMutableArray::replaceObjectAtIndex(std::size_t index, const Id& withObject) {
    if (index < items_.size()) items_[index] = withObject ? withObject : Id(VxNull::null());
}

void VxMutableArray::removeObjectAtIndex(std::size_t index) {
    if (index < items_.size()) items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
}

void VxMutableArray::removeObject(const Id& obj) {
    items_.erase(
        std::remove_if(items_.begin(), items_.end(), [&](const Id& e) { return vxEqual(e, obj); }),
        items_.end());
}

void VxMutableArray::removeLastObject() {
    if (!items_.empty()) items_.pop_back();
}

void VxMutableArray::addObjectsFromArray(const VxArray& other) {
    items_.insert(items_.end(), other.items().begin(), other.items().end());
}
