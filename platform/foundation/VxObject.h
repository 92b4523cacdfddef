#pragma once
// The root of the object model shared by every layer: reference-counted objects
// with a runtime class identity, a class registry (name -> class, superclass
// chain, factory), equality, hashing, copying and a textual description.
//
// An "absent" value is an empty pointer; the null marker is the VxNull singleton
// (see VxValues.h); those are different things everywhere.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include "platform/foundation/VxExport.h"

class VxObject;
using Id = std::shared_ptr<VxObject>;

// Class identity. Every VxObject subclass that declares VX_DECLARE_CLASS has
// exactly one VxClass, registered by name when it is first touched.
class DA_EXPORT VxClass {
  public:
    using Factory = std::function<Id()>;

    VxClass(std::string name, const VxClass* superclass, Factory factory = {});
    VxClass(const VxClass&) = delete;
    VxClass& operator=(const VxClass&) = delete;

    const std::string& name() const { return name_; }
    const VxClass* superclass() const { return superclass_; }
    // True when this class is `other` or descends from it.
    bool isSubclassOfClass(const VxClass& other) const;
    // A new instance made by the class's plain initialiser, or nothing when the
    // class cannot be instantiated by name.
    Id createInstance() const;
    bool canCreateInstances() const { return static_cast<bool>(factory_); }

    // Registry look-up by name; nothing when no class of that name is known.
    // The value classes are always known; other classes register on first use.
    static const VxClass* classNamed(std::string_view name);
    static std::vector<const VxClass*> registeredClasses();

  private:
    std::string name_;
    const VxClass* superclass_;
    Factory factory_;
};

// Declares the class identity members inside a VxObject subclass.
#define VX_DECLARE_CLASS(Self)            \
  public:                                 \
    static const VxClass& classObject();  \
    const VxClass& isa() const override { \
        return classObject();             \
    }                                     \
                                          \
  private:

// Defines the class identity in one source file. FACTORY is an expression of
// type VxClass::Factory, or {} for classes that are not created by name.
#define VX_DEFINE_CLASS(Self, Super, FACTORY)                            \
    const VxClass& Self::classObject() {                                 \
        static const VxClass cls(#Self, &Super::classObject(), FACTORY); \
        return cls;                                                      \
    }                                                                    \
    [[maybe_unused]] static const bool vx_registered_##Self = (Self::classObject(), true)

// Factory helper for VX_DEFINE_CLASS: instances made with std::make_shared<T>().
template <class T>
Id vxMakeInstance() {
    return std::make_shared<T>();
}

class DA_EXPORT VxObject : public std::enable_shared_from_this<VxObject> {
  public:
    VxObject() = default;
    VxObject(const VxObject&) = delete;
    VxObject& operator=(const VxObject&) = delete;
    virtual ~VxObject();

    static const VxClass& classObject();
    virtual const VxClass& isa() const { return classObject(); }
    const std::string& className() const { return isa().name(); }

    bool isKindOfClass(const VxClass& cls) const { return isa().isSubclassOfClass(cls); }
    bool isMemberOfClass(const VxClass& cls) const { return &isa() == &cls; }

    // Value equality where the class defines it, identity otherwise. Objects that
    // are equal have equal hashes.
    virtual bool isEqual(const VxObject& other) const { return this == &other; }
    virtual std::size_t hash() const { return std::hash<const void*>()(this); }

    // Multi-line textual description (texts as themselves, numbers in decimal,
    // containers in the classic property-list style).
    virtual std::string description() const;
    // The same on one line, used inside error descriptions and log lines.
    virtual std::string descriptionInline() const { return description(); }

    // Copying. copyWithZone gives an immutable copy (immutable objects return
    // themselves); mutableCopyWithZone a fresh mutable object for the classes that
    // have a mutable form, nothing otherwise. The zone argument is ignored.
    virtual Id copyWithZone(void* zone = nullptr) const;
    virtual Id mutableCopyWithZone(void* zone = nullptr) const;
    Id copy() const { return copyWithZone(nullptr); }
    Id mutableCopy() const { return mutableCopyWithZone(nullptr); }

    Id self() const { return std::const_pointer_cast<VxObject>(shared_from_this()); }
};

// Typed down-cast of an object pointer; nothing when the object is absent or of
// another class. Most casts name the object's own class (a text read as
// VxString, a number as VxNumber): that case is settled by comparing the dynamic
// type, which costs far less than the hierarchy walk of dynamic_cast.
template <class T>
std::shared_ptr<T> vx_cast(const Id& obj) {
    if (obj && typeid(*obj) == typeid(T)) return std::static_pointer_cast<T>(obj);
    return std::dynamic_pointer_cast<T>(obj);
}

// Equality of two possibly absent objects (two absent objects are equal).
DA_EXPORT bool vxEqual(const Id& a, const Id& b);
// Description of a possibly absent object: "(null)" for an absent one.
DA_EXPORT std::string vxDescription(const Id& obj);
