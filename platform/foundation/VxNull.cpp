#include "platform/foundation/VxNull.h"

#include <memory>
#include <string>

#include "platform/foundation/VxArray.h"
#include "platform/foundation/VxData.h"
#include "platform/foundation/VxDictionary.h"
#include "platform/foundation/VxSet.h"
#include "platform/foundation/VxString.h"

VX_DEFINE_CLASS(VxNull, VxObject, {});

// ===========================================================================
// Null marker

const VxNullPtr& VxNull::null() {
    static const VxNullPtr instance = std::make_shared<VxNull>();
    return instance;
}

bool VxNull::isEqual(const VxObject& other) const {
    return dynamic_cast<const VxNull*>(&other) != nullptr;
}

// ===========================================================================
// Helpers

namespace vx {

bool isNull(const Id& obj) {
    return obj && obj.get() == VxNull::null().get();
}

bool isNilOrEmpty(const Id& obj) {
    if (!obj || isNull(obj)) return true;
    if (auto s = dynamic_cast<const VxString*>(obj.get())) return s->empty();
    if (auto d = dynamic_cast<const VxData*>(obj.get())) return d->length() == 0;
    if (auto a = dynamic_cast<const VxArray*>(obj.get())) return a->empty();
    if (auto d = dynamic_cast<const VxDictionary*>(obj.get())) return d->empty();
    if (auto s = dynamic_cast<const VxSet*>(obj.get())) return s->count() == 0;
    if (auto s = dynamic_cast<const VxOrderedSet*>(obj.get())) return s->count() == 0;
    return false;
}

VxStringPtr nonEmptyString(const Id& obj) {
    auto s = vx_cast<VxString>(obj);
    return s && !s->empty() ? s : nullptr;
}

std::string textOf(const Id& obj) {
    if (auto s = dynamic_cast<const VxString*>(obj.get())) return s->str();
    return vxDescription(obj);
}

Id null() {
    return VxNull::null();
}

}  // namespace vx
