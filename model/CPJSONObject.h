#pragma once
// The interface through which an object offers its own JSON form. A record
// class adopts it by deriving from CPJSONObject next to its object base class:
//
//     class CMyRecord : public CDictionaryModel, public CPJSONObject { ... };
//
// The cleaning operations of CJSONUtilities replace a member that adopts the
// interface with the value tree returned by jsonConformingObject().

#include <concepts>

#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxObject.h"

class DA_EXPORT CPJSONObject {
  public:
    virtual ~CPJSONObject() = default;

    // The receiver's JSON form as a value tree (arrays, dictionaries, texts,
    // numbers, the null marker), or nothing. The cleaning operations use it as
    // it comes back, without cleaning it further.
    virtual Id jsonConformingObject() const = 0;

    // The receiver in whatever serialized form the adopting class chooses
    // (typically the JSON bytes of jsonConformingObject() as a VxData).
    virtual Id jsonDataFromObject() const = 0;

    // Optional class operation: an adopting class may offer
    //     static Id modelFromJSONData(const Id& data);
    // that builds a record from what jsonDataFromObject() produced. The concept
    // CPJSONObjectModelClass tells whether a class offers it.

  protected:
    CPJSONObject() = default;
    CPJSONObject(const CPJSONObject&) = default;
    CPJSONObject& operator=(const CPJSONObject&) = default;
};

// True for a class that adopts CPJSONObject and offers the optional class
// operation modelFromJSONData.
template <class T>
concept CPJSONObjectModelClass = std::derived_from<T, CPJSONObject> && requires(const Id& data) {
    { T::modelFromJSONData(data) } -> std::convertible_to<Id>;
};
