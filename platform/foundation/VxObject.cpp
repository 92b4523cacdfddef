#include "platform/foundation/VxObject.h"

#include <cstdio>
#include <map>
#include <mutex>

#include "platform/foundation/VxValues.h"

namespace {

struct Registry {
    std::mutex mutex;
    std::map<std::string, const VxClass*, std::less<>> byName;
};

Registry& registry() {
    static Registry* r = new Registry;  // never destroyed: classes outlive static destruction
    return *r;
}

// The value classes are known to the registry before any look-up, whatever the
// order in which the program touched them.
void registerValueClasses() {
    static std::once_flag once;
    std::call_once(once, [] {
        (void)VxObject::classObject();
        (void)VxNull::classObject();
        (void)VxString::classObject();
        (void)VxNumber::classObject();
        (void)VxDecimalNumber::classObject();
        (void)VxData::classObject();
        (void)VxMutableData::classObject();
        (void)VxDate::classObject();
        (void)VxURL::classObject();
        (void)VxArray::classObject();
        (void)VxMutableArray::classObject();
        (void)VxDictionary::classObject();
        (void)VxMutableDictionary::classObject();
        (void)VxSet::classObject();
        (void)VxMutableSet::classObject();
        (void)VxOrderedSet::classObject();
        (void)VxMutableOrderedSet::classObject();
        (void)VxValue::classObject();
    });
}

}  // namespace

VxClass::VxClass(std::string name, const VxClass* superclass, Factory factory)
    : name_(std::move(name)), superclass_(superclass), factory_(std::move(factory)) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.byName.emplace(name_, this);
}

bool VxClass::isSubclassOfClass(const VxClass& other) const {
    for (const VxClass* c = this; c; c = c->superclass_) {
        if (c == &other) return true;
    }
    return false;
}

Id VxClass::createInstance() const {
    return factory_ ? factory_() : nullptr;
}

const VxClass* VxClass::classNamed(std::string_view name) {
    registerValueClasses();
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.byName.find(name);
    return it == r.byName.end() ? nullptr : it->second;
}

std::vector<const VxClass*> VxClass::registeredClasses() {
    registerValueClasses();
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    std::vector<const VxClass*> out;
    out.reserve(r.byName.size());
    for (const auto& [name, cls] : r.byName) out.push_back(cls);
    return out;
}

const VxClass& VxObject::classObject() {
    static const VxClass cls("VxObject", nullptr, [] { return std::make_shared<VxObject>(); });
    return cls;
}

VxObject::~VxObject() = default;

std::string VxObject::description() const {
    char buf[64];
    std::snprintf(buf, sizeof buf, ": %p>", static_cast<const void*>(this));
    return "<" + className() + buf;
}

Id VxObject::copyWithZone(void*) const {
    return self();
}

Id VxObject::mutableCopyWithZone(void*) const {
    return nullptr;
}

bool vxEqual(const Id& a, const Id& b) {
    if (a == b) return true;
    if (!a || !b) return false;
    return a->isEqual(*b);
}

std::string vxDescription(const Id& obj) {
    return obj ? obj->description() : "(null)";
}
