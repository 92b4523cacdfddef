#pragma once
// The root of every record class: declared, typed properties whose accessors
// the model layer supplies.
//
// Declaring a record class (see docs/MODEL.md and model/CPropertyDeclare.h):
//
//   // header
//   class MyRecord : public CDictionaryModel {
//       CPM_DECLARE_MODEL(MyRecord)
//   public:
//       CPM_PROPERTY(VxStringPtr, name, setName, cpm::Copy);  // "T@\"VxString\",C,D"
//       CPM_PROPERTY(std::int32_t, count, setCount);          // "Ti,D"
//   };
//   // source
//   CPM_DEFINE_MODEL(MyRecord, CDictionaryModel);
//
// Each CPM_PROPERTY line gives the property's descriptor (from its C++ type),
// its typed getter and its typed setter, which returns whether the value was
// stored. Declarations written as descriptor texts still work:
// CPM_DEFINE_MODEL(MyRecord, CDictionaryModel, {"name", "T@\"VxString\",C,D"})
// lists them after the in-class ones; accessors for them are reached by name.
//
// CPM_DECLARE_MODEL gives the class its identity (VX_DECLARE_CLASS), its own
// declaration table `declaredProperties()` and static forwards of every class
// operation bound to the class (`MyRecord::propertyNames()`, ...). The generic
// forms of the class operations take the class as their first argument
// (`CPropertyModel::propertyNames(record->isa())`).
//
// Class-level initialisation runs once per class (superclass first) before
// the class's first class operation, its first instance made through
// `create()` / `modelWithDictionary()` / the class factory, or the first
// property access of an instance. It parses the declarations of the class and
// its ancestors and installs a typed getter and setter for every dynamic
// property in the declaring class's accessor table, reachable by accessor name
// (`performGetter("count")`, `performSetter("setCount:", int32_t{3})`) and
// inherited by subclasses. An accessor that the class registered by hand (its
// static `registerAccessors(table)`) is never replaced.
//
// Every installed accessor goes through the virtual routing operations
// cpm_priv_getValueForProperty / cpm_priv_setValue, which map the property
// name to its storage key, validate the value against the declared class and
// call the storage hooks cpm_subclass_priv_*; CPropertyModel's hooks store
// nothing.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "model/CPropertyAttributes.h"
#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxKeyedArchiver.h"
#include "platform/foundation/VxValues.h"

// "CPropertyModelErrorDomain". No operation produces errors in it.
DA_EXPORT extern const char* const CPropertyModelErrorDomain;
// "yyyy-MM-dd'T'HH:mm:ssZ"
DA_EXPORT extern const char* const CPropertyModelDefaultDateFormat;
// ","
DA_EXPORT extern const char* const CSVdelimiterStr;
// "\n"
DA_EXPORT extern const char* const CSVlineEndingStr;

// Options bits of a record class.
enum CPropertyModelOptions : std::uint64_t {
    // validatedValue turns a text given to a date property into a date.
    CPropertyModelOptionConvertDateStrings = 1,
    // Reserved for texts given to number properties; currently such texts are
    // refused whether or not the bit is set.
    CPropertyModelOptionConvertNumberStrings = 2,
};

// Result of setDynamicGetterAndSetter.
enum CPropertyModelStatus : std::int64_t {
    CPropertyModelStatusOK = -1000,
    CPropertyModelStatusUnsupportedType = -1001,
    CPropertyModelStatusNoGetter = -1002,
    CPropertyModelStatusNoSetter = -1003,
    CPropertyModelStatusOutOfMemory = -1004,
};

// Raised by class-level initialisation when a record class's declarations
// cannot be installed. Nothing in the library catches it. name() and reason()
// are the exact texts, e.g. "An unsupported property type was declared " and
// "for class MyRecord"; what() is the two joined.
class DA_EXPORT CPropertyModelException : public std::runtime_error {
  public:
    CPropertyModelException(std::string name, std::string reason);
    const std::string& name() const { return name_; }
    const std::string& reason() const { return reason_; }

  private:
    std::string name_;
    std::string reason_;
};

// A typed property value as passed to and returned by accessors reached by
// name. Object properties use Id (which may hold the null marker); scalar
// properties use the C++ type of their kind (Long and LongLong both use
// std::int64_t); Pointer uses const void*, CString const char*, Class
// const VxClass*, Selector CSelector, Range CRange. std::monostate means
// "no such accessor".
using CPropertyValue =
    std::variant<std::monostate, Id, bool, std::int8_t, std::uint8_t, std::int16_t, std::uint16_t,
                 std::int32_t, std::uint32_t, std::int64_t, std::uint64_t, float, double,
                 const void*, const char*, const VxClass*, CSelector, CRange>;

class CPropertyModel;

// One accessor reachable by name: a getter (signature such as "B@:") or a
// setter (signature such as "v@:B").
struct DA_EXPORT CPropertyAccessor {
    enum class Kind { Getter, Setter };
    Kind kind = Kind::Getter;
    std::string signature;
    bool handWritten = false;
    std::function<CPropertyValue(const CPropertyModel&)> getter;
    // Returns false when the value's alternative does not fit the property.
    std::function<bool(CPropertyModel&, const CPropertyValue&)> setter;
};

// The accessors of one class, by getter or setter name ("deviceId",
// "setDeviceId:"). Thread-safe.
class DA_EXPORT CPropertyAccessorTable {
  public:
    // Adds a hand-written accessor (replacing an earlier one of that name).
    void addGetter(std::string name, std::string signature,
                   std::function<CPropertyValue(const CPropertyModel&)> fn);
    void addSetter(std::string name, std::string signature,
                   std::function<bool(CPropertyModel&, const CPropertyValue&)> fn);
    // Adds the accessor unless the name is taken; true when the table now has
    // an accessor under the name.
    bool installIfAbsent(const std::string& name, CPropertyAccessor accessor);
    // A copy of the accessor under the name, or nothing.
    std::shared_ptr<const CPropertyAccessor> find(std::string_view name) const;
    bool contains(std::string_view name) const;
    std::vector<std::string> names() const;

  private:
    mutable std::shared_mutex lock_;
    std::map<std::string, std::shared_ptr<const CPropertyAccessor>, std::less<>> accessors_;
};

// Reading and writing scalar property values the way the typed accessors do:
// absent and the null marker read as zero; writes make a number (or a value
// box for pointers, C strings, classes, selectors and ranges).
namespace cpm {
template <class T>
DA_EXPORT T scalarFromValue(const Id& value);
template <class T>
DA_EXPORT Id valueFromScalar(T v);
}  // namespace cpm

class DA_EXPORT CPropertyModel : public VxObject, public VxCoding {
    VX_DECLARE_CLASS(CPropertyModel)
  public:
    CPropertyModel() = default;
    ~CPropertyModel() override;

    // ---- Class operations (generic forms; each acts on the given class) ----
    static std::int64_t setDynamicGetterAndSetter(const VxClass& cls);
    static VxDictionaryPtr dictionaryOfModelAttributes(const VxClass& cls);
    static VxArrayPtr propertyNames(const VxClass& cls);
    static void setOrderedPropertyNames(const VxClass& cls, const VxArrayPtr& names);
    static VxArrayPtr orderedPropertyNames(const VxClass& cls);
    static void setOrderedPrintNames(const VxClass& cls, const VxArrayPtr& names);
    static VxArrayPtr orderedPrintNames(const VxClass& cls);
    static void setTranslationDictionary(const VxClass& cls, const VxDictionaryPtr& dictionary);
    static VxDictionaryPtr getTranslationDictionary(const VxClass& cls);
    static void setOptions(const VxClass& cls, std::uint64_t options);
    static std::uint64_t options(const VxClass& cls);
    // The date pattern the class's date formatter was made with.
    static VxStringPtr dateFormatString(const VxClass& cls);
    static VxDatePtr dateFromString(const VxClass& cls, const VxStringPtr& string);
    static VxStringPtr stringFromDate(const VxClass& cls, const VxDatePtr& date);
    static VxNumberPtr numberFromString(const VxClass& cls, const VxStringPtr& string);
    static VxStringPtr stringFromNumber(const VxClass& cls, const VxNumberPtr& number);
    static VxDecimalNumberPtr decimalNumberFromString(const VxClass& cls,
                                                      const VxStringPtr& string);
    static VxStringPtr stringFromDecimalNumber(const VxClass& cls,
                                               const VxDecimalNumberPtr& number);

    // Runs the class-level initialisation of the class (and its ancestors) if
    // it has not run yet; raises CPropertyModelException when it fails (again
    // on every later call). Does nothing for classes outside the family.
    static void initializeClass(const VxClass& cls);
    // The accessor table of the class itself (not its ancestors); nothing for
    // classes outside the family.
    static CPropertyAccessorTable* accessorTable(const VxClass& cls);
    // The accessor under the name, searched from the class up its superclass
    // chain (after initialising the class); nothing when there is none.
    static std::shared_ptr<const CPropertyAccessor> accessorNamed(const VxClass& cls,
                                                                  std::string_view name);

    // The class's own declarations (CPropertyModel declares none). Every
    // record class shadows this through CPM_DECLARE_MODEL.
    static const std::vector<CPropertyDeclaration>& declaredProperties();
    // Default date pattern; a record class may declare its own static
    // `VxStringPtr dateFormatString()` (inherited by its subclasses). It is
    // read once, when the class's date formatter is made.
    static VxStringPtr dateFormatString();
    // Hand-written accessors of a class; a record class may declare its own.
    static void registerAccessors(CPropertyAccessorTable&) {}

    // ---- Instance operations ----
    // Plain initialisation (no state); returns the record.
    virtual std::shared_ptr<CPropertyModel> init();

    // Routing: property name -> storage key -> storage hook.
    virtual Id cpm_priv_getValueForProperty(std::string_view property) const;
    // True when the property is declared and the value was stored (or, for
    // nothing, removed); false when the name is not a dynamic property of the
    // class or validation refused the value, which then leaves the stored
    // value unchanged.
    virtual bool cpm_priv_setValue(const Id& value, std::string_view property);
    // Storage hooks, keyed by storage key; these store nothing.
    virtual Id cpm_subclass_priv_getValueForProperty(std::string_view key) const;
    virtual void cpm_subclass_priv_setValue(const Id& value, std::string_view key);

    // The value to store for the property, or nothing when it is refused.
    virtual Id validatedValue(const Id& value, std::string_view property) const;
    // Imports the entries that belong to dynamic properties; true when at
    // least one was stored.
    bool setPropertyValuesFromDictionary(const Id& dictionary);

    // CSV header row and value row (fields that hold a comma, a double quote
    // or a line break are written as quoted fields).
    VxStringPtr propertyNamesToCSV() const;
    VxStringPtr propertyValuesToCSV() const;

    // A new instance of the record's own class; no values are carried over.
    Id copyWithZone(void* zone = nullptr) const override;
    void encodeWithCoder(VxKeyedArchiver& coder) const override;
    bool initWithCoder(VxKeyedUnarchiver& coder) override;

    // ---- Access by accessor name ----
    // The result of the getter under the name (std::monostate when the class
    // has no such getter).
    CPropertyValue performGetter(std::string_view getterName) const;
    // Calls the setter under the name ("setDeviceId:"); false when there is
    // no such setter, the value does not fit it or validation refused it.
    bool performSetter(std::string_view setterName, const CPropertyValue& value);
    bool respondsToSelector(std::string_view name) const;

    // ---- Helpers for typed member functions ----
    // The stored value of a property (absent, the null marker or the value).
    Id get(std::string_view property) const { return cpm_priv_getValueForProperty(property); }
    // The stored value when it is of class T (the null marker reads as absent).
    template <class T>
    std::shared_ptr<T> getAs(std::string_view property) const {
        return std::dynamic_pointer_cast<T>(get(property));
    }
    // Stores the value; false for an unknown property or a refused value.
    bool set(std::string_view property, const Id& value) {
        return cpm_priv_setValue(value, property);
    }
    template <class T>
    T getScalar(std::string_view property) const {
        return cpm::scalarFromValue<T>(get(property));
    }
    template <class T>
    bool setScalar(std::string_view property, T value) {
        return set(property, cpm::valueFromScalar<T>(value));
    }

    // Registration of a record class (used by CPM_DEFINE_MODEL).
    struct ClassHooks {
        const std::vector<CPropertyDeclaration>& (*declarations)() = nullptr;
        VxStringPtr (*dateFormatString)() = nullptr;
        void (*registerAccessors)(CPropertyAccessorTable&) = nullptr;
    };
    static bool registerModelClass(const VxClass& cls, const ClassHooks& hooks);

    template <class Self, class Super>
    static bool registerModelClassOf(const VxClass& cls) {
        ClassHooks hooks;
        hooks.declarations = &Self::declaredProperties;
        hooks.dateFormatString = &Self::dateFormatString;
        if (&Self::registerAccessors != &Super::registerAccessors)
            hooks.registerAccessors = &Self::registerAccessors;
        return registerModelClass(cls, hooks);
    }

    // Per-class state (opaque outside the model layer's sources).
    struct ClassState;

  protected:
    // Per-class state of this record's class (initialising the class first).
    ClassState& classState() const;

  private:
    mutable std::atomic<ClassState*> state_{nullptr};
};

using CPropertyModelPtr = std::shared_ptr<CPropertyModel>;

// Inside the class body of a record class, first thing.
#define CPM_DECLARE_MODEL(Self)                                               \
    VX_DECLARE_CLASS(Self)                                                    \
  public:                                                                     \
    static const std::vector<CPropertyDeclaration>& declaredProperties();     \
    static std::shared_ptr<Self> create() {                                   \
        CPropertyModel::initializeClass(classObject());                       \
        auto r = std::make_shared<Self>();                                    \
        r->init();                                                            \
        return r;                                                             \
    }                                                                         \
    template <class D = Self>                                                 \
    static std::shared_ptr<D> modelWithDictionary(const Id& dictionary) {     \
        CPropertyModel::initializeClass(classObject());                       \
        auto r = std::make_shared<D>();                                       \
        r->initWithDictionary(dictionary);                                    \
        return r;                                                             \
    }                                                                         \
    static std::int64_t setDynamicGetterAndSetter() {                         \
        return CPropertyModel::setDynamicGetterAndSetter(classObject());      \
    }                                                                         \
    static VxDictionaryPtr dictionaryOfModelAttributes() {                    \
        return CPropertyModel::dictionaryOfModelAttributes(classObject());    \
    }                                                                         \
    static VxArrayPtr propertyNames() {                                       \
        return CPropertyModel::propertyNames(classObject());                  \
    }                                                                         \
    static void setOrderedPropertyNames(const VxArrayPtr& n) {                \
        CPropertyModel::setOrderedPropertyNames(classObject(), n);            \
    }                                                                         \
    static VxArrayPtr orderedPropertyNames() {                                \
        return CPropertyModel::orderedPropertyNames(classObject());           \
    }                                                                         \
    static void setOrderedPrintNames(const VxArrayPtr& n) {                   \
        CPropertyModel::setOrderedPrintNames(classObject(), n);               \
    }                                                                         \
    static VxArrayPtr orderedPrintNames() {                                   \
        return CPropertyModel::orderedPrintNames(classObject());              \
    }                                                                         \
    static void setTranslationDictionary(const VxDictionaryPtr& d) {          \
        CPropertyModel::setTranslationDictionary(classObject(), d);           \
    }                                                                         \
    static VxDictionaryPtr getTranslationDictionary() {                       \
        return CPropertyModel::getTranslationDictionary(classObject());       \
    }                                                                         \
    static void setOptions(std::uint64_t o) {                                 \
        CPropertyModel::setOptions(classObject(), o);                         \
    }                                                                         \
    static std::uint64_t options() {                                          \
        return CPropertyModel::options(classObject());                        \
    }                                                                         \
    static VxDatePtr dateFromString(const VxStringPtr& s) {                   \
        return CPropertyModel::dateFromString(classObject(), s);              \
    }                                                                         \
    static VxStringPtr stringFromDate(const VxDatePtr& d) {                   \
        return CPropertyModel::stringFromDate(classObject(), d);              \
    }                                                                         \
    static VxNumberPtr numberFromString(const VxStringPtr& s) {               \
        return CPropertyModel::numberFromString(classObject(), s);            \
    }                                                                         \
    static VxStringPtr stringFromNumber(const VxNumberPtr& n) {               \
        return CPropertyModel::stringFromNumber(classObject(), n);            \
    }                                                                         \
    static VxDecimalNumberPtr decimalNumberFromString(const VxStringPtr& s) { \
        return CPropertyModel::decimalNumberFromString(classObject(), s);     \
    }                                                                         \
    static VxStringPtr stringFromDecimalNumber(const VxDecimalNumberPtr& n) { \
        return CPropertyModel::stringFromDecimalNumber(classObject(), n);     \
    }                                                                         \
    CPM_DETAIL_DECLARATION_LIST(Self)                                         \
                                                                              \
  private:

// In one source file: the class identity (registered by name, created by the
// class factory with the class initialised) and the class's own property
// declarations in declaration order: those of its body (CPM_PROPERTY, ...),
// then any given here as {name, descriptor} pairs.
#define CPM_DEFINE_MODEL(Self, Super, ...)                                  \
    const VxClass& Self::classObject() {                                    \
        static const VxClass cls(#Self, &Super::classObject(), []() -> Id { \
            CPropertyModel::initializeClass(Self::classObject());           \
            auto r = std::make_shared<Self>();                              \
            r->init();                                                      \
            return r;                                                       \
        });                                                                 \
        [[maybe_unused]] static const bool registered =                     \
            CPropertyModel::registerModelClassOf<Self, Super>(cls);         \
        return cls;                                                         \
    }                                                                       \
    const std::vector<CPropertyDeclaration>& Self::declaredProperties() {   \
        static const std::vector<CPropertyDeclaration> declarations =       \
            cpm::joined(Self::cpm_inClassDeclarations(), {__VA_ARGS__});    \
        return declarations;                                                \
    }                                                                       \
    [[maybe_unused]] static const bool cpm_registered_##Self = (Self::classObject(), true)

#include "model/CPropertyDeclare.h"  // IWYU pragma: export
