#pragma once
// Declaring a record property once. One line in the class body gives the
// property's descriptor, derived from its C++ type, its typed getter and its
// typed setter:
//
//   class Sensor : public CDictionaryModel {
//       CPM_DECLARE_MODEL(Sensor)
//     public:
//       Sensor() = default;
//       CPM_PROPERTY(VxStringPtr, label, setLabel, cpm::Copy);  // T@"VxString",C,D
//       CPM_PROPERTY(double, reading, setReading);              // Td,D
//   };
//   CPM_DEFINE_MODEL(Sensor, CDictionaryModel);                 // in Sensor.cpp
//
// The forms, each used as one statement in the class body after
// CPM_DECLARE_MODEL; the accessors take the access of the section they stand
// in (normally public):
//   CPM_PROPERTY(Type, name, setName, attributes...)
//       a dynamic property; the setter must be "set" + the capitalised name.
//   CPM_PROPERTY_ACCESSORS(Type, name, getter, setter, attributes...)
//       the same with other accessor names (they become G and S of the
//       descriptor when they differ from the usual ones).
//   CPM_READONLY_PROPERTY(Type, name, attributes...)
//       a dynamic property with a getter only (R).
//   CPM_FIELD(Type, name, attributes...)
//       a declaration only (no D, backing field V = name): the class keeps the
//       value itself and writes its accessors by hand.
// Attributes: cpm::Copy (C), cpm::Retain (&), cpm::Nonatomic (N), cpm::Weak
// (W); for fields also cpm::getter("isX") (G) and cpm::backingField("x") (V).
//
// Types and their type strings: bool B, std::int8_t c, std::uint8_t C,
// std::int16_t s, std::uint16_t S, std::int32_t i, std::uint32_t I,
// std::int64_t q, std::uint64_t Q, float f, double d, const void* ^v,
// const char* *, const VxClass* #, CSelector :, CRange {_CRange=QQ}, Id @, and
// the shared pointer of a value class or a record class @"ClassName". Any
// other type does not compile.
//
// Getters return the scalar, or for objects the stored value itself (Id: it may
// be the null marker). Setters return whether the value was stored: false when
// validation refused it (an object of another class reached through Id). An
// object setter takes a pointer of the declared class or a subclass, the null
// marker, nullptr (removes the value) or an Id, which is checked when stored;
// a pointer of any other class does not compile.

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "model/CPropertyAttributes.h"
#include "model/CPropertyModel.h"
#include "platform/foundation/VxValues.h"

namespace cpm {

// ---- Registered names of the classes an object property may name ----------

template <class C>
struct ClassName {
    static constexpr std::string_view value{};  // unknown: not a property type
};
#define CPM_VALUE_CLASS_NAME(C)                       \
    template <>                                       \
    struct ClassName<C> {                             \
        static constexpr std::string_view value = #C; \
    }
CPM_VALUE_CLASS_NAME(VxString);
CPM_VALUE_CLASS_NAME(VxNumber);
CPM_VALUE_CLASS_NAME(VxDecimalNumber);
CPM_VALUE_CLASS_NAME(VxData);
CPM_VALUE_CLASS_NAME(VxMutableData);
CPM_VALUE_CLASS_NAME(VxDate);
CPM_VALUE_CLASS_NAME(VxURL);
CPM_VALUE_CLASS_NAME(VxArray);
CPM_VALUE_CLASS_NAME(VxMutableArray);
CPM_VALUE_CLASS_NAME(VxDictionary);
CPM_VALUE_CLASS_NAME(VxMutableDictionary);
CPM_VALUE_CLASS_NAME(VxSet);
CPM_VALUE_CLASS_NAME(VxOrderedSet);
CPM_VALUE_CLASS_NAME(VxValue);
#undef CPM_VALUE_CLASS_NAME

// Record classes carry their registered name (CPM_DECLARE_MODEL).
template <class C>
requires std::same_as<typename C::cpm_Self, C>
struct ClassName<C> {
    static constexpr std::string_view value = C::cpm_className;
};

// ---- C++ type -> type string -----------------------------------------------

template <class T>
struct PropertyType {
    static constexpr bool supported = false;
    static constexpr bool object = false;
};

#define CPM_SCALAR_TYPE(T, CODE)                         \
    template <>                                          \
    struct PropertyType<T> {                             \
        static constexpr bool supported = true;          \
        static constexpr bool object = false;            \
        static std::string typeString() { return CODE; } \
    }
CPM_SCALAR_TYPE(bool, "B");
CPM_SCALAR_TYPE(std::int8_t, "c");
CPM_SCALAR_TYPE(std::uint8_t, "C");
CPM_SCALAR_TYPE(std::int16_t, "s");
CPM_SCALAR_TYPE(std::uint16_t, "S");
CPM_SCALAR_TYPE(std::int32_t, "i");
CPM_SCALAR_TYPE(std::uint32_t, "I");
CPM_SCALAR_TYPE(std::int64_t, "q");
CPM_SCALAR_TYPE(std::uint64_t, "Q");
CPM_SCALAR_TYPE(float, "f");
CPM_SCALAR_TYPE(double, "d");
CPM_SCALAR_TYPE(const void*, "^v");
CPM_SCALAR_TYPE(const char*, "*");
CPM_SCALAR_TYPE(const VxClass*, "#");
CPM_SCALAR_TYPE(CSelector, ":");
CPM_SCALAR_TYPE(CRange, "{_CRange=QQ}");  // CPropertyRangeTypeString
#undef CPM_SCALAR_TYPE

// Id is any object ("@"); the pointer of a named class is "@\"Name\"".
template <class C>
struct PropertyType<std::shared_ptr<C>> {
    static constexpr bool anyObject = std::same_as<C, VxObject>;
    static constexpr bool supported = anyObject || !ClassName<C>::value.empty();
    static constexpr bool object = true;
    static std::string typeString() {
        if constexpr (anyObject)
            return "@";
        else
            return "@\"" + std::string(ClassName<C>::value) + "\"";
    }
};

template <class T>
inline constexpr bool isSupported = PropertyType<T>::supported;

// ---- Accessor value types ----------------------------------------------------

// What an object setter accepts (see the header comment).
template <class C>
class ObjectArg {
  public:
    ObjectArg(std::nullptr_t) {}
    ObjectArg(const Id& value) : value_(value) {}
    ObjectArg(const VxNullPtr& null) : value_(null) {}
    template <class U>
    requires std::derived_from<U, C> ObjectArg(const std::shared_ptr<U>& value) : value_(value) {}
    const Id& value() const { return value_; }

  private:
    Id value_;
};

template <class T>
struct AccessorTypes {
    using Get = T;
    using Arg = T;
};
template <class C>
struct AccessorTypes<std::shared_ptr<C>> {
    using Get = Id;
    using Arg = ObjectArg<C>;
};
template <class T>
using Get = typename AccessorTypes<T>::Get;
template <class T>
using Arg = typename AccessorTypes<T>::Arg;

// Bodies of the generated accessors; they go through the record's routing
// (storage key, validation, storage hook) like the accessors reached by name.
// (An unsupported type only reaches here next to its static_assert.)
template <class T>
Get<T> read(const CPropertyModel& record, std::string_view property) {
    if constexpr (!isSupported<T>)
        return {};
    else if constexpr (PropertyType<T>::object)
        return record.cpm_priv_getValueForProperty(property);
    else
        return scalarFromValue<T>(record.cpm_priv_getValueForProperty(property));
}

template <class T>
bool write(CPropertyModel& record, std::string_view property, const Arg<T>& value) {
    if constexpr (!isSupported<T>)
        return false;
    else if constexpr (PropertyType<T>::object)
        return record.cpm_priv_setValue(value.value(), property);
    else if constexpr (std::same_as<T, std::int64_t>)  // "q" is the long kind
        return record.cpm_priv_setValue(VxNumber::numberWithLong(value), property);
    else if constexpr (std::same_as<T, std::uint64_t>)
        return record.cpm_priv_setValue(VxNumber::numberWithUnsignedLong(value), property);
    else
        return record.cpm_priv_setValue(valueFromScalar<T>(value), property);
}

// ---- Attributes and the descriptor --------------------------------------------

struct Attribute {
    enum Flag : unsigned { kCopy = 1, kRetain = 2, kNonatomic = 4, kWeak = 8 };
    unsigned flags = 0;
    const char* getter = nullptr;  // fields only
    const char* field = nullptr;   // fields only
};
inline constexpr Attribute Copy{Attribute::kCopy};
inline constexpr Attribute Retain{Attribute::kRetain};
inline constexpr Attribute Nonatomic{Attribute::kNonatomic};
inline constexpr Attribute Weak{Attribute::kWeak};
constexpr Attribute getter(const char* name) {
    return {0, name, nullptr};
}
constexpr Attribute backingField(const char* name) {
    return {0, nullptr, name};
}

enum class Kind { Dynamic, ReadOnly, Field };

// The descriptor of one declaration, attributes in the order
// T, R, C or &, N, W, D, G, S, V.
DA_EXPORT std::string descriptor(std::string typeString, Kind kind, std::string_view name,
                                 std::string_view getter, std::string_view setter,
                                 std::initializer_list<Attribute> attributes);

template <class T>
CPropertyDeclaration declare(Kind kind, std::string_view name, std::string_view getter,
                             std::string_view setter,
                             std::initializer_list<Attribute> attributes = {}) {
    if constexpr (!isSupported<T>)
        return {};
    else
        return {std::string(name),
                descriptor(PropertyType<T>::typeString(), kind, name, getter, setter, attributes)};
}

// "set" followed by the name with its first letter in upper case.
constexpr bool isUsualSetterName(std::string_view property, std::string_view setter) {
    if (property.empty() || setter.size() != property.size() + 3 || setter.substr(0, 3) != "set")
        return false;
    char first = property[0];
    char upper = (first >= 'a' && first <= 'z') ? static_cast<char>(first - 'a' + 'A') : first;
    return setter[3] == upper && setter.substr(4) == property.substr(1);
}

// ---- The per-class list of in-class declarations ------------------------------
//
// Each declaration in a class body takes the next index of a counter kept in
// the class scope by overloads of cpm_count: Slot<N> derives from Slot<N - 1>,
// so a call with Slot<kMaxProperties> picks the overload with the highest N
// declared so far, whose result type Count<N> holds the next free index. The
// declaration then adds the overload for N + 1 and its own
// cpm_declaration(Index<N>). cpm_inClassDeclarations() (in a member body, where
// the whole class is visible) collects indices 0 .. count - 1 in order.

inline constexpr int kMaxProperties = 96;
template <int N>
struct Slot : Slot<N - 1> {};
template <>
struct Slot<0> {};
template <int N>
struct Count {
    static constexpr int value = N;
};
template <int N>
struct Index {};

// The in-class declarations followed by the hand-written ones.
DA_EXPORT std::vector<CPropertyDeclaration> joined(
    std::vector<CPropertyDeclaration> inClass,
    std::initializer_list<CPropertyDeclaration> handWritten);

}  // namespace cpm

// Members that CPM_DECLARE_MODEL adds for the declaration list.
#define CPM_DETAIL_DECLARATION_LIST(Self)                                                   \
    using cpm_Self = Self;                                                                  \
    static constexpr std::string_view cpm_className = #Self;                                \
    static cpm::Count<0> cpm_count(cpm::Slot<0>);                                           \
    static void cpm_declaration(cpm::Index<-1>);                                            \
    static std::vector<CPropertyDeclaration> cpm_inClassDeclarations() {                    \
        constexpr int count = decltype(cpm_count(cpm::Slot<cpm::kMaxProperties>{}))::value; \
        return []<int... I>(std::integer_sequence<int, I...>) {                             \
            return std::vector<CPropertyDeclaration>{cpm_declaration(cpm::Index<I>{})...};  \
        }                                                                                   \
        (std::make_integer_sequence<int, count>{});                                         \
    }

// One entry of the list: the next index and the declaration built at run time
// from the type and the attributes.
#define CPM_DETAIL_DECLARE(Type, name, kind, getterName, setterName, ...)                      \
    static constexpr int cpm_index_##name =                                                    \
        decltype(cpm_count(cpm::Slot<cpm::kMaxProperties>{}))::value;                          \
    static_assert(cpm_index_##name < cpm::kMaxProperties, "too many properties in one class"); \
    static cpm::Count<cpm_index_##name + 1> cpm_count(cpm::Slot<cpm_index_##name + 1>);        \
    static CPropertyDeclaration cpm_declaration(cpm::Index<cpm_index_##name>) {                \
        return cpm::declare<Type>(kind, #name, getterName, setterName, {__VA_ARGS__});         \
    }

#define CPM_DETAIL_TYPE_CHECK(Type)                                                           \
    static_assert(cpm::isSupported<Type>,                                                     \
                  "unsupported property type " #Type                                          \
                  ": use bool, std::int8_t .. std::uint64_t, float, double, const void*, "    \
                  "const char*, const VxClass*, CSelector, CRange, Id or the shared pointer " \
                  "of a value class or a record class")

#define CPM_PROPERTY_ACCESSORS(Type, name, getter, setter, ...)                       \
    CPM_DETAIL_DECLARE(Type, name, cpm::Kind::Dynamic, #getter, #setter, __VA_ARGS__) \
    cpm::Get<Type> getter() const {                                                   \
        return cpm::read<Type>(*this, #name);                                         \
    }                                                                                 \
    bool setter(const cpm::Arg<Type>& value) {                                        \
        return cpm::write<Type>(*this, #name, value);                                 \
    }                                                                                 \
    CPM_DETAIL_TYPE_CHECK(Type)

#define CPM_PROPERTY(Type, name, setter, ...)                           \
    static_assert(cpm::isUsualSetterName(#name, #setter),               \
                  "the setter of " #name                                \
                  " is set + its capitalised name; "                    \
                  "CPM_PROPERTY_ACCESSORS takes other accessor names"); \
    CPM_PROPERTY_ACCESSORS(Type, name, name, setter, __VA_ARGS__)

#define CPM_READONLY_PROPERTY(Type, name, ...)                                  \
    CPM_DETAIL_DECLARE(Type, name, cpm::Kind::ReadOnly, #name, "", __VA_ARGS__) \
    cpm::Get<Type> name() const {                                               \
        return cpm::read<Type>(*this, #name);                                   \
    }                                                                           \
    CPM_DETAIL_TYPE_CHECK(Type)

#define CPM_FIELD(Type, name, ...)                                        \
    CPM_DETAIL_DECLARE(Type, name, cpm::Kind::Field, "", "", __VA_ARGS__) \
    CPM_DETAIL_TYPE_CHECK(Type)
