#pragma once
// The null marker, and the helpers every layer uses to tell absent, null and
// empty values apart.

#include <string>

#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxObject.h"
#include "platform/foundation/VxValuesFwd.h"

// ---------------------------------------------------------------------------
// Null marker: one shared instance standing for "no value" inside containers.
class DA_EXPORT VxNull final : public VxObject {
    VX_DECLARE_CLASS(VxNull)
  public:
    static const VxNullPtr& null();
    bool isEqual(const VxObject& other) const override;
    std::size_t hash() const override { return 0x6e756c6cU; }
    std::string description() const override { return "<null>"; }
};

// ---------------------------------------------------------------------------
// Helpers shared by every layer.
namespace vx {

DA_EXPORT bool isNull(const Id& obj);  // the null marker
// Absent, the null marker, or an empty text, data, array, dictionary or set.
DA_EXPORT bool isNilOrEmpty(const Id& obj);
// The object when it is a non-empty text, else nothing.
DA_EXPORT VxStringPtr nonEmptyString(const Id& obj);
// Text of any object for query strings and logs: texts as themselves, others by
// their description.
DA_EXPORT std::string textOf(const Id& obj);
// The null marker as a generic object.
DA_EXPORT Id null();

}  // namespace vx
