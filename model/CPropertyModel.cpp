#include "model/CPropertyModel.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <type_traits>
#include <utility>

#include "model/CPropertyModelPrivate.h"
#include "platform/foundation/VxFormat.h"

const char* const CPropertyModelErrorDomain = "CPropertyModelErrorDomain";

using State = CPropertyModel::ClassState;

// ---------------------------------------------------------------------------
// Exception

CPropertyModelException::CPropertyModelException(std::string name, std::string reason)
    : std::runtime_error(name + reason), name_(std::move(name)), reason_(std::move(reason)) {}

// ---------------------------------------------------------------------------
// Accessor table

void CPropertyAccessorTable::addGetter(std::string name, std::string signature,
                                       std::function<CPropertyValue(const CPropertyModel&)> fn) {
    auto acc = std::make_shared<CPropertyAccessor>();
    acc->kind = CPropertyAccessor::Kind::Getter;
    acc->signature = std::move(signature);
    acc->handWritten = true;
    acc->getter = std::move(fn);
    std::unique_lock lock(lock_);
    accessors_[std::move(name)] = std::move(acc);
}

void CPropertyAccessorTable::addSetter(
    std::string name, std::string signature,
    std::function<bool(CPropertyModel&, const CPropertyValue&)> fn) {
    auto acc = std::make_shared<CPropertyAccessor>();
    acc->kind = CPropertyAccessor::Kind::Setter;
    acc->signature = std::move(signature);
    acc->handWritten = true;
    acc->setter = std::move(fn);
    std::unique_lock lock(lock_);
    accessors_[std::move(name)] = std::move(acc);
}

bool CPropertyAccessorTable::installIfAbsent(const std::string& name, CPropertyAccessor accessor) {
    std::unique_lock lock(lock_);
    auto it = accessors_.find(name);
    if (it != accessors_.end()) return it->second->kind == accessor.kind;
    accessors_.emplace(name, std::make_shared<const CPropertyAccessor>(std::move(accessor)));
    return true;
}

std::shared_ptr<const CPropertyAccessor> CPropertyAccessorTable::find(std::string_view name) const {
    std::shared_lock lock(lock_);
    auto it = accessors_.find(name);
    return it == accessors_.end() ? nullptr : it->second;
}

bool CPropertyAccessorTable::contains(std::string_view name) const {
    std::shared_lock lock(lock_);
    return accessors_.find(name) != accessors_.end();
}

std::vector<std::string> CPropertyAccessorTable::names() const {
    std::shared_lock lock(lock_);
    std::vector<std::string> out;
    for (const auto& [name, acc] : accessors_) out.push_back(name);
    return out;
}

// ---------------------------------------------------------------------------
// Scalar conversions

namespace cpm {

namespace {
VxNumber* numberOf(const Id& v) {
    if (!v || vx::isNull(v)) return nullptr;
    if (typeid(*v) == typeid(VxNumber)) return static_cast<VxNumber*>(v.get());
    return dynamic_cast<VxNumber*>(v.get());
}
VxValue* boxOf(const Id& v) {
    if (!v || vx::isNull(v)) return nullptr;
    return dynamic_cast<VxValue*>(v.get());
}
}  // namespace

template <class T>
T scalarFromValue(const Id& value) {
    if constexpr (std::is_arithmetic_v<T>) {
        VxNumber* n = numberOf(value);
        if (!n) return T{};
        if constexpr (std::is_same_v<T, bool>)
            return n->boolValue();
        else if constexpr (std::is_same_v<T, std::int8_t>)
            return n->charValue();
        else if constexpr (std::is_same_v<T, std::uint8_t>)
            return n->unsignedCharValue();
        else if constexpr (std::is_same_v<T, std::int16_t>)
            return n->shortValue();
        else if constexpr (std::is_same_v<T, std::uint16_t>)
            return n->unsignedShortValue();
        else if constexpr (std::is_same_v<T, std::int32_t>)
            return n->intValue();
        else if constexpr (std::is_same_v<T, std::uint32_t>)
            return n->unsignedIntValue();
        else if constexpr (std::is_same_v<T, std::int64_t>)
            return n->longLongValue();
        else if constexpr (std::is_same_v<T, std::uint64_t>)
            return n->unsignedLongLongValue();
        else if constexpr (std::is_same_v<T, float>)
            return n->floatValue();
        else
            return n->doubleValue();
    } else {
        VxValue* box = boxOf(value);
        if (!box) return T{};
        return box->value<T>();
    }
}

template <class T>
Id valueFromScalar(T v) {
    if constexpr (std::is_arithmetic_v<T>) {
        return VxNumber::make(v);
    } else if constexpr (std::is_same_v<T, const void*>) {
        return VxValue::valueWithPointer(v);
    } else if constexpr (std::is_same_v<T, const char*>) {
        return VxValue::valueWithValue(v, "*");
    } else if constexpr (std::is_same_v<T, const VxClass*>) {
        return VxValue::valueWithValue(v, "#");
    } else if constexpr (std::is_same_v<T, CSelector>) {
        return VxValue::valueWithValue(v, ":");
    } else {
        static_assert(std::is_same_v<T, CRange>);
        return VxValue::valueWithValue(v, CPropertyRangeTypeString);
    }
}

#define CPM_INSTANTIATE(T)                    \
    template T scalarFromValue<T>(const Id&); \
    template Id valueFromScalar<T>(T);
CPM_INSTANTIATE(bool)
CPM_INSTANTIATE(std::int8_t)
CPM_INSTANTIATE(std::uint8_t)
CPM_INSTANTIATE(std::int16_t)
CPM_INSTANTIATE(std::uint16_t)
CPM_INSTANTIATE(std::int32_t)
CPM_INSTANTIATE(std::uint32_t)
CPM_INSTANTIATE(std::int64_t)
CPM_INSTANTIATE(std::uint64_t)
CPM_INSTANTIATE(float)
CPM_INSTANTIATE(double)
CPM_INSTANTIATE(const void*)
CPM_INSTANTIATE(const char*)
CPM_INSTANTIATE(const VxClass*)
CPM_INSTANTIATE(CSelector)
CPM_INSTANTIATE(CRange)
#undef CPM_INSTANTIATE

}  // namespace cpm

// ---------------------------------------------------------------------------
// Class registry

namespace {

struct Registry {
    std::shared_mutex lock;
    std::map<const VxClass*, std::unique_ptr<State>> states;
};

Registry& registry() {
    static Registry* r = new Registry;  // lives until the process ends
    return *r;
}

}  // namespace

namespace cpm_detail {

State* stateFor(const VxClass& cls) {
    Registry& reg = registry();
    {
        std::shared_lock lock(reg.lock);
        auto it = reg.states.find(&cls);
        if (it != reg.states.end()) return it->second.get();
    }
    if (!cls.isSubclassOfClass(CPropertyModel::classObject())) return nullptr;
    std::unique_lock lock(reg.lock);
    auto& slot = reg.states[&cls];
    if (!slot) {
        slot = std::make_unique<State>();
        slot->cls = &cls;
        slot->isRoot = (&cls == &CPropertyModel::classObject());
    }
    return slot.get();
}

const Id& nullMarker() {
    static const Id marker = vx::null();
    return marker;
}

std::string_view storageKey(const VxDictionaryPtr& translation, std::string_view property,
                            VxStringPtr& holder) {
    // Most classes translate no name: skip hashing the name into an empty table.
    if (translation && !translation->empty()) {
        holder = vx::nonEmptyString(translation->objectForKey(property));
        if (holder) return holder->str();
    }
    return property;
}

}  // namespace cpm_detail

using cpm_detail::nullMarker;
using cpm_detail::stateFor;

const VxClass& CPropertyModel::classObject() {
    static const VxClass cls("CPropertyModel", &VxObject::classObject(),
                             []() -> Id { return std::make_shared<CPropertyModel>(); });
    [[maybe_unused]] static const bool registered = [] {
        ClassHooks hooks;
        hooks.declarations = &CPropertyModel::declaredProperties;
        hooks.dateFormatString = &CPropertyModel::dateFormatString;
        return registerModelClass(cls, hooks);
    }();
    return cls;
}
[[maybe_unused]] static const bool cpm_registered_CPropertyModel =
    (CPropertyModel::classObject(), true);

bool CPropertyModel::registerModelClass(const VxClass& cls, const ClassHooks& hooks) {
    Registry& reg = registry();
    std::unique_lock lock(reg.lock);
    auto& slot = reg.states[&cls];
    if (!slot) {
        slot = std::make_unique<State>();
        slot->cls = &cls;
        slot->isRoot =
            (cls.name() == "CPropertyModel" && cls.superclass() == &VxObject::classObject());
    }
    slot->hooks = hooks;
    return true;
}

CPropertyModel::~CPropertyModel() = default;

const std::vector<CPropertyDeclaration>& CPropertyModel::declaredProperties() {
    static const std::vector<CPropertyDeclaration> none;
    return none;
}

VxStringPtr CPropertyModel::dateFormatString() {
    return vxstr(CPropertyModelDefaultDateFormat);
}

// ---------------------------------------------------------------------------
// Class-level initialisation

namespace {

CPropertyModelException exceptionForStatus(std::int64_t status, const VxClass& cls) {
    switch (status) {
        case CPropertyModelStatusUnsupportedType:
            return {"An unsupported property type was declared ",
                    vx::format("for class %@", cls.name())};
        case CPropertyModelStatusNoGetter:
            return {"Could not find a suitable getter method ",
                    vx::format("for class %@", cls.name())};
        case CPropertyModelStatusNoSetter:
            return {"Could not find a suitable setter method ",
                    vx::format("for class %@", cls.name())};
        default:
            return {"Out of memory initializing ", vx::format("class %@", cls.name())};
    }
}

void runClassInitialisation(State& st) {
    if (st.isRoot) return;
    nullMarker();
    if (st.hooks.registerAccessors) st.hooks.registerAccessors(st.accessors);
    std::int64_t status = CPropertyModel::setDynamicGetterAndSetter(*st.cls);
    if (status != CPropertyModelStatusOK) {
        st.failure.emplace(exceptionForStatus(status, *st.cls));
        return;
    }
    st.options.store(0);
    cpm_detail::prepareFormatters(st);
}

}  // namespace

void CPropertyModel::initializeClass(const VxClass& cls) {
    State* st = stateFor(cls);
    if (!st) return;
    if (st->initialized.load(std::memory_order_acquire)) return;
    if (const VxClass* super = cls.superclass()) initializeClass(*super);
    std::lock_guard lock(st->initLock);
    if (st->initializing) return;  // called again from the class's own set-up
    if (!st->attempted) {
        st->initializing = true;
        try {
            runClassInitialisation(*st);
        } catch (...) {
            // Something the class's own hooks threw: the next use tries again.
            st->initializing = false;
            throw;
        }
        st->initializing = false;
        st->attempted = true;
        if (!st->failure) st->initialized.store(true, std::memory_order_release);
    }
    if (st->failure) throw *st->failure;
}

CPropertyModel::ClassState& CPropertyModel::classState() const {
    State* st = state_.load(std::memory_order_acquire);
    if (st) return *st;
    initializeClass(isa());
    st = stateFor(isa());
    state_.store(st, std::memory_order_release);
    return *st;
}

// ---------------------------------------------------------------------------
// Accessor installation

namespace {

using Getter = std::function<CPropertyValue(const CPropertyModel&)>;
using Setter = std::function<bool(CPropertyModel&, const CPropertyValue&)>;

// The number x as a T when T holds exactly that value; nothing otherwise (a
// fraction into an integer, a negative number into an unsigned type, a value
// beyond the type's range, not-a-number or infinity into an integer, 2 into a
// boolean). Not-a-number and infinities fit the floating-point types.
// Double into float rounds to the nearest float within the float range.
template <class T, class X>
std::optional<T> exactly(X x) {
    if constexpr (std::is_same_v<T, X>) {
        return x;
    } else if constexpr (std::is_same_v<X, bool>) {
        return static_cast<T>(x);
    } else if constexpr (std::is_same_v<T, bool>) {
        if (x == X{0}) return false;
        if (x == X{1}) return true;
        return std::nullopt;
    } else if constexpr (std::is_integral_v<T> && std::is_integral_v<X>) {
        if (!std::in_range<T>(x)) return std::nullopt;
        return static_cast<T>(x);
    } else if constexpr (std::is_integral_v<T>) {  // from floating point
        // [lowest, max + 1) as doubles; both bounds are powers of two (or 0).
        constexpr double low = static_cast<double>(std::numeric_limits<T>::min());
        constexpr double high = 2.0 * static_cast<double>(std::numeric_limits<T>::max() / 2 + 1);
        const double d = static_cast<double>(x);
        if (!(d >= low && d < high) || std::trunc(d) != d) return std::nullopt;
        return static_cast<T>(d);
    } else if constexpr (std::is_integral_v<X>) {  // integer into floating point
        const T t = static_cast<T>(x);
        constexpr double high = 2.0 * static_cast<double>(std::numeric_limits<X>::max() / 2 + 1);
        if (static_cast<double>(t) >= high || static_cast<X>(t) != x) return std::nullopt;
        return t;
    } else if constexpr (sizeof(T) < sizeof(X)) {  // double into float
        // A decimal fraction is never exact in either type: a double within the
        // float range is rounded to the nearest float; beyond it, refused.
        if (std::isfinite(x) && std::fabs(x) > static_cast<X>(std::numeric_limits<T>::max()))
            return std::nullopt;
        return static_cast<T>(x);
    } else {  // float into double
        return static_cast<T>(x);
    }
}

template <class T>
std::optional<T> coerce(const CPropertyValue& v) {
    if (const T* exact = std::get_if<T>(&v)) return *exact;
    if constexpr (std::is_arithmetic_v<T>) {
        std::optional<T> out;
        std::visit(
            [&out](const auto& x) {
                using X = std::decay_t<decltype(x)>;
                if constexpr (std::is_arithmetic_v<X>) out = exactly<T>(x);
            },
            v);
        return out;
    }
    return std::nullopt;
}

template <class T>
std::pair<Getter, Setter> scalarPair(const std::string& name, bool longLong = false) {
    Getter g = [name](const CPropertyModel& m) -> CPropertyValue {
        return CPropertyValue(std::in_place_type<T>,
                              cpm::scalarFromValue<T>(m.cpm_priv_getValueForProperty(name)));
    };
    Setter s = [name, longLong](CPropertyModel& m, const CPropertyValue& v) {
        std::optional<T> x = coerce<T>(v);
        if (!x) return false;
        Id stored;
        if constexpr (std::is_same_v<T, std::int64_t>)
            stored = longLong ? VxNumber::numberWithLongLong(*x) : VxNumber::numberWithLong(*x);
        else if constexpr (std::is_same_v<T, std::uint64_t>)
            stored = longLong ? VxNumber::numberWithUnsignedLongLong(*x)
                              : VxNumber::numberWithUnsignedLong(*x);
        else
            stored = cpm::valueFromScalar<T>(*x);
        return m.cpm_priv_setValue(stored, name);
    };
    return {std::move(g), std::move(s)};
}

std::pair<Getter, Setter> objectPair(const std::string& name) {
    Getter g = [name](const CPropertyModel& m) -> CPropertyValue {
        return CPropertyValue(std::in_place_type<Id>, m.cpm_priv_getValueForProperty(name));
    };
    Setter s = [name](CPropertyModel& m, const CPropertyValue& v) {
        const Id* obj = std::get_if<Id>(&v);
        if (!obj) return false;
        return m.cpm_priv_setValue(*obj, name);
    };
    return {std::move(g), std::move(s)};
}

std::optional<std::pair<Getter, Setter>> accessorPairFor(CPropertyType type,
                                                         const std::string& name) {
    switch (type) {
        case CPropertyTypeObject:
        case CPropertyTypeId:
            return objectPair(name);
        case CPropertyTypeBool:
            return scalarPair<bool>(name);
        case CPropertyTypeShort:
            return scalarPair<std::int16_t>(name);
        case CPropertyTypeUnsignedShort:
            return scalarPair<std::uint16_t>(name);
        case CPropertyTypeInt:
            return scalarPair<std::int32_t>(name);
        case CPropertyTypeUnsignedInt:
            return scalarPair<std::uint32_t>(name);
        case CPropertyTypeLong:
            return scalarPair<std::int64_t>(name);
        case CPropertyTypeUnsignedLong:
            return scalarPair<std::uint64_t>(name);
        case CPropertyTypeLongLong:
            return scalarPair<std::int64_t>(name, true);
        case CPropertyTypeUnsignedLongLong:
            return scalarPair<std::uint64_t>(name, true);
        case CPropertyTypeFloat:
            return scalarPair<float>(name);
        case CPropertyTypeDouble:
            return scalarPair<double>(name);
        case CPropertyTypeChar:
            return scalarPair<std::int8_t>(name);
        case CPropertyTypeUnsignedChar:
            return scalarPair<std::uint8_t>(name);
        case CPropertyTypePointer:
            return scalarPair<const void*>(name);
        case CPropertyTypeCString:
            return scalarPair<const char*>(name);
        case CPropertyTypeClass:
            return scalarPair<const VxClass*>(name);
        case CPropertyTypeSelector:
            return scalarPair<CSelector>(name);
        case CPropertyTypeRange:
            return scalarPair<CRange>(name);
        default:
            return std::nullopt;
    }
}

}  // namespace

std::int64_t CPropertyModel::setDynamicGetterAndSetter(const VxClass& cls) {
    State* st = stateFor(cls);
    if (!st) return CPropertyModelStatusOutOfMemory;
    VxMutableDictionaryPtr attributes = VxMutableDictionary::dictionaryWithCapacity(10);
    if (!attributes) return CPropertyModelStatusOutOfMemory;

    const VxClass& root = CPropertyModel::classObject();
    if (&cls != &root) {
        for (const VxClass* c = &cls; c && c != &root; c = c->superclass()) {
            State* declaring = stateFor(*c);
            if (!declaring || !declaring->hooks.declarations) continue;
            for (const CPropertyDeclaration& decl : declaring->hooks.declarations()) {
                CPropertyAttributesPtr attrs = CPropertyAttributes::attributesWithProperty(&decl);
                if (!attrs || !attrs->dynamic() || !attrs->getterType() || !attrs->setterType() ||
                    !attrs->getterName())
                    continue;
                auto pair = accessorPairFor(attrs->type(), decl.name);
                if (!pair) return CPropertyModelStatusUnsupportedType;

                CPropertyAccessor getter;
                getter.kind = CPropertyAccessor::Kind::Getter;
                getter.signature = attrs->getterType()->str();
                getter.getter = std::move(pair->first);
                if (!declaring->accessors.installIfAbsent(attrs->getterName()->str(),
                                                          std::move(getter)))
                    return CPropertyModelStatusNoGetter;
                if (!attrs->readonly()) {
                    if (!attrs->setterName()) return CPropertyModelStatusNoSetter;
                    CPropertyAccessor setter;
                    setter.kind = CPropertyAccessor::Kind::Setter;
                    setter.signature = attrs->setterType()->str();
                    setter.setter = std::move(pair->second);
                    if (!declaring->accessors.installIfAbsent(attrs->setterName()->str(),
                                                              std::move(setter)))
                        return CPropertyModelStatusNoSetter;
                }
                // The walk goes from the class up to its ancestors: an ancestor
                // that declares the same name again replaces the record.
                attributes->setObject(attrs, decl.name);
            }
        }
    }
    st->attributes.publish(vx_cast<VxDictionary>(attributes->copy()));
    return CPropertyModelStatusOK;
}

std::shared_ptr<const CPropertyAccessor> CPropertyModel::accessorNamed(const VxClass& cls,
                                                                       std::string_view name) {
    initializeClass(cls);
    for (const VxClass* c = &cls; c; c = c->superclass()) {
        State* st = stateFor(*c);
        if (!st) break;
        if (auto acc = st->accessors.find(name)) return acc;
    }
    return nullptr;
}

CPropertyAccessorTable* CPropertyModel::accessorTable(const VxClass& cls) {
    State* st = stateFor(cls);
    return st ? &st->accessors : nullptr;
}

// ---------------------------------------------------------------------------
// Per-class slots

VxDictionaryPtr CPropertyModel::dictionaryOfModelAttributes(const VxClass& cls) {
    initializeClass(cls);
    State* st = stateFor(cls);
    return st ? st->attributes.load() : nullptr;
}

VxArrayPtr CPropertyModel::propertyNames(const VxClass& cls) {
    VxDictionaryPtr attributes = dictionaryOfModelAttributes(cls);
    return attributes ? attributes->allKeys() : nullptr;
}

namespace {

template <class T>
std::shared_ptr<T> immutableCopy(const std::shared_ptr<T>& v) {
    return v ? std::dynamic_pointer_cast<T>(v->copy()) : nullptr;
}

}  // namespace

void CPropertyModel::setOrderedPropertyNames(const VxClass& cls, const VxArrayPtr& names) {
    initializeClass(cls);
    if (State* st = stateFor(cls)) st->orderedNames.store(immutableCopy(names));
}

VxArrayPtr CPropertyModel::orderedPropertyNames(const VxClass& cls) {
    initializeClass(cls);
    State* st = stateFor(cls);
    return st ? st->orderedNames.load() : nullptr;
}

void CPropertyModel::setOrderedPrintNames(const VxClass& cls, const VxArrayPtr& names) {
    initializeClass(cls);
    if (State* st = stateFor(cls)) st->printNames.store(immutableCopy(names));
}

VxArrayPtr CPropertyModel::orderedPrintNames(const VxClass& cls) {
    initializeClass(cls);
    State* st = stateFor(cls);
    return st ? st->printNames.load() : nullptr;
}

void CPropertyModel::setTranslationDictionary(const VxClass& cls, const VxDictionaryPtr& d) {
    initializeClass(cls);
    if (State* st = stateFor(cls)) st->translation.store(immutableCopy(d));
}

VxDictionaryPtr CPropertyModel::getTranslationDictionary(const VxClass& cls) {
    initializeClass(cls);
    State* st = stateFor(cls);
    return st ? st->translation.load() : nullptr;
}

void CPropertyModel::setOptions(const VxClass& cls, std::uint64_t options) {
    initializeClass(cls);
    if (State* st = stateFor(cls)) st->options.store(options);
}

std::uint64_t CPropertyModel::options(const VxClass& cls) {
    initializeClass(cls);
    State* st = stateFor(cls);
    return st ? st->options.load() : 0;
}

// ---------------------------------------------------------------------------
// Instances

std::shared_ptr<CPropertyModel> CPropertyModel::init() {
    classState();
    return std::static_pointer_cast<CPropertyModel>(shared_from_this());
}

Id CPropertyModel::cpm_priv_getValueForProperty(std::string_view property) const {
    if (property.empty()) return nullptr;
    State& st = classState();
    if (!st.translation.holdsEntries()) return cpm_subclass_priv_getValueForProperty(property);
    VxStringPtr holder;
    return cpm_subclass_priv_getValueForProperty(
        cpm_detail::storageKey(st.translation.load(), property, holder));
}

namespace {

// The attribute record a setter has already looked up, offered to the
// validation it calls for the same class and property so that the base
// validation need not look it up again. It lives for the duration of that call
// (the setter holds the attribute table), on this thread only.
struct ValidationContext {
    const CPropertyModel::ClassState* state;
    std::string_view property;
    const CPropertyAttributes* attributes;
    const ValidationContext* outer;
};

// A record of a class's attribute table: null when there is no such dynamic
// property; `attributes` is the record as attributes, when it is.
struct AttributeLookup {
    const VxObject* record;
    const CPropertyAttributes* attributes;
};

// (Plain data, zero at thread start: no set-up on first use.)
struct AttributeHint {
    const VxDictionary* table;
    AttributeLookup found;
    std::size_t length;
    char name[24];
};

// This thread's routing state, in one record so that a function reaches all of
// it with one thread-local access: the innermost setter's validation context,
// and the attribute records found lately (attributeRecord).
struct RoutingState {
    const ValidationContext* validation;
    AttributeHint hints[8];
};
thread_local RoutingState tRouting;

class ValidationScope {
  public:
    ValidationScope(const CPropertyModel::ClassState& st, std::string_view property,
                    const CPropertyAttributes* attributes)
        : state_(tRouting), context_{&st, property, attributes, state_.validation} {
        state_.validation = &context_;
    }
    ~ValidationScope() { state_.validation = context_.outer; }
    ValidationScope(const ValidationScope&) = delete;
    ValidationScope& operator=(const ValidationScope&) = delete;

  private:
    RoutingState& state_;
    ValidationContext context_;
};

// The record the innermost setter looked up, when it is for this class and
// this very property text.
const CPropertyAttributes* offeredAttributes(const CPropertyModel::ClassState& st,
                                             std::string_view property) {
    const ValidationContext* c = tRouting.validation;
    if (c && c->state == &st && c->property.data() == property.data() &&
        c->property.size() == property.size())
        return c->attributes;
    return nullptr;
}

// The table holds the class's own records: a type check by class object is
// enough for them, and cheaper than a dynamic cast.
AttributeLookup lookedUp(const VxObject* record) {
    if (!record) return {nullptr, nullptr};
    if (&record->isa() == &CPropertyAttributes::classObject())
        return {record, static_cast<const CPropertyAttributes*>(record)};
    return {record, dynamic_cast<const CPropertyAttributes*>(record)};
}

// The attribute record of a property in a class's table. Accessors pass the
// same few names over and over, so each thread remembers the last records it
// found, by table and name: a repeated lookup compares a short name instead of
// hashing it and probing the table. Every table a class ever published lives
// as long as the class state (CPMSlot::publish), so a remembered record stays
// valid, and a table made by a repeated set-up never takes the address of an
// earlier one. Names that are not found are not remembered.
AttributeLookup attributeRecord(const VxDictionary& table, std::string_view property) {
    if (property.empty() || property.size() > sizeof(AttributeHint::name))
        return lookedUp(table.objectForKey(property).get());
    AttributeHint& hint =
        tRouting.hints[(property.size() * 31 + static_cast<unsigned char>(property.back())) & 7];
    if (hint.table == &table && hint.length == property.size() &&
        std::memcmp(hint.name, property.data(), property.size()) == 0)
        return hint.found;
    const AttributeLookup found = lookedUp(table.objectForKey(property).get());
    if (found.record) {
        hint.table = &table;
        hint.found = found;
        hint.length = property.size();
        std::memcpy(hint.name, property.data(), property.size());
    }
    return found;
}

}  // namespace

bool CPropertyModel::cpm_priv_setValue(const Id& value, std::string_view property) {
    if (property.empty()) return false;
    State& st = classState();
    // A name that is no dynamic property (a misspelt one) stores nothing, not
    // even the null marker, which would otherwise reach the storage under it.
    const VxDictionary* attributes = st.attributes.peek();
    const AttributeLookup found =
        attributes ? attributeRecord(*attributes, property) : AttributeLookup{nullptr, nullptr};
    if (!found.record) return false;
    VxStringPtr holder;
    std::string_view key = st.translation.holdsEntries()
                               ? cpm_detail::storageKey(st.translation.load(), property, holder)
                               : property;
    if (!value) {
        cpm_subclass_priv_setValue(nullptr, key);
        return true;
    }
    Id valid;
    {
        ValidationScope scope(st, property, found.attributes);
        valid = validatedValue(value, property);
    }
    if (!valid) return false;
    cpm_subclass_priv_setValue(valid, key);
    return true;
}

Id CPropertyModel::cpm_subclass_priv_getValueForProperty(std::string_view) const {
    return nullptr;
}

void CPropertyModel::cpm_subclass_priv_setValue(const Id&, std::string_view) {}

Id CPropertyModel::validatedValue(const Id& value, std::string_view property) const {
    if (!value) return nullptr;
    // (The null marker is the null object itself.)
    if (vx::isNull(value)) return value;
    State& st = classState();
    const CPropertyAttributes* attrs = offeredAttributes(st, property);
    std::shared_ptr<CPropertyAttributes> looked;
    if (!attrs) {
        const VxDictionary* attributes = st.attributes.peek();
        if (!attributes) return nullptr;
        looked = vx_cast<CPropertyAttributes>(attributes->objectForKey(property));
        attrs = looked.get();
    }
    if (!attrs) return nullptr;
    const VxClass* propClass = attrs->propClass();
    if (propClass && value->isKindOfClass(*propClass)) return value;
    if ((st.options.load() & CPropertyModelOptionConvertDateStrings) &&
        propClass == &VxDate::classObject()) {
        if (auto text = vx_cast<VxString>(value)) return dateFromString(isa(), text);
    }
    return nullptr;
}

bool CPropertyModel::setPropertyValuesFromDictionary(const Id& dictionary) {
    auto input = vx_cast<VxDictionary>(dictionary);
    if (!input || input->empty()) return false;
    State& st = classState();
    VxArrayPtr names = propertyNames(isa());
    VxDictionaryPtr translation = st.translation.load();
    if (!names) return false;
    std::size_t count = 0;
    for (const Id& nameObj : *names) {
        auto name = vx_cast<VxString>(nameObj);
        if (!name) continue;
        VxStringPtr holder;
        std::string_view key = cpm_detail::storageKey(translation, name->str(), holder);
        Id value = input->objectForKey(name->str());
        if (!value) value = input->objectForKey(key);
        if (!value) continue;
        if (Id valid = validatedValue(value, name->str())) {
            cpm_subclass_priv_setValue(valid, key);
            ++count;
        }
    }
    return count > 0;
}

Id CPropertyModel::copyWithZone(void*) const {
    return isa().createInstance();
}

void CPropertyModel::encodeWithCoder(VxKeyedArchiver&) const {}

bool CPropertyModel::initWithCoder(VxKeyedUnarchiver&) {
    init();
    return true;
}

CPropertyValue CPropertyModel::performGetter(std::string_view getterName) const {
    auto acc = accessorNamed(isa(), getterName);
    if (!acc || acc->kind != CPropertyAccessor::Kind::Getter || !acc->getter) return {};
    return acc->getter(*this);
}

bool CPropertyModel::performSetter(std::string_view setterName, const CPropertyValue& value) {
    auto acc = accessorNamed(isa(), setterName);
    if (!acc || acc->kind != CPropertyAccessor::Kind::Setter || !acc->setter) return false;
    return acc->setter(*this, value);
}

bool CPropertyModel::respondsToSelector(std::string_view name) const {
    return accessorNamed(isa(), name) != nullptr;
}
