#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cmath>
#include <future>
#include <limits>
#include <thread>
#include <vector>

#include "model/TestRecords.h"

namespace {

template <class T>
T as(const CPropertyValue& v) {
    const T* p = std::get_if<T>(&v);
    EXPECT_TRUE(p) << "variant holds alternative " << v.index();
    return p ? *p : T{};
}

std::vector<std::string> strings(const VxArrayPtr& array) {
    std::vector<std::string> out;
    if (array)
        for (const Id& o : *array) out.push_back(vx::textOf(o));
    return out;
}

std::string setterOf(std::string name) {
    name[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
    return "set" + name + ":";
}

int gTarget = 0;
const char kText[] = "text";

// One value of every scalar kind TMScalars declares (selectors are compared by
// name and tested on their own).
const std::vector<std::pair<std::string, CPropertyValue>>& scalarRows() {
    static const std::vector<std::pair<std::string, CPropertyValue>> rows = {
        {"flag", true},
        {"small", std::int16_t{-12}},
        {"usmall", std::uint16_t{65000}},
        {"integer", std::int32_t{-70000}},
        {"uinteger", std::uint32_t{4000000000U}},
        {"big", std::int64_t{-(1LL << 40)}},
        {"ubig", std::uint64_t{UINT64_MAX}},
        {"ratio", 0.5f},
        {"precise", 1e-300},
        {"letter", std::int8_t{-3}},
        {"byte", std::uint8_t{250}},
        {"pointer", static_cast<const void*>(&gTarget)},
        {"cstring", static_cast<const char*>(kText)},
        {"klass", &VxString::classObject()},
        {"span", CRange{3, 9}}};
    return rows;
}

void expectRaises(const VxClass& cls, const std::string& name, const std::string& reason) {
    try {
        CPropertyModel::initializeClass(cls);
        ADD_FAILURE() << cls.name() << " did not raise";
    } catch (const CPropertyModelException& e) {
        EXPECT_EQ(e.name(), name) << cls.name();
        EXPECT_EQ(e.reason(), reason) << cls.name();
    }
}

}  // namespace

TEST(PropertyModel, InstalledAccessorsRoundTripEveryKind) {
    auto r = TMScalars::create();
    for (const auto& [name, value] : scalarRows()) {
        EXPECT_TRUE(r->performSetter(setterOf(name), value)) << name;
        EXPECT_EQ(r->performGetter(name), value) << name;
    }
    EXPECT_TRUE(r->performSetter("setSelector:", CSelector{"doIt:"}));
    EXPECT_STREQ(as<CSelector>(r->performGetter("selector")).name, "doIt:");
    // Arithmetic arguments of another kind are converted when they fit.
    EXPECT_TRUE(r->performSetter("setInteger:", 7.0));
    EXPECT_EQ(as<std::int32_t>(r->performGetter("integer")), 7);

    // What lands in storage: numbers of the declared kind, value boxes with
    // their type string.
    auto stored = r->dictionary();
    EXPECT_TRUE(vx_cast<VxNumber>(stored->objectForKey("flag"))->isBoolean());
    EXPECT_EQ(vx_cast<VxValue>(stored->objectForKey("span"))->objCType(), "{_CRange=QQ}");
    EXPECT_EQ(vx_cast<VxValue>(stored->objectForKey("cstring"))->objCType(), "*");
    EXPECT_EQ(vx_cast<VxValue>(stored->objectForKey("pointer"))->objCType(), "^v");

    // Objects: the declared class is enforced, the root class accepts anything.
    EXPECT_TRUE(r->performSetter("setTitle:", Id(vxstr("hello"))));
    EXPECT_EQ(vx::textOf(as<Id>(r->performGetter("title"))), "hello");
    EXPECT_FALSE(r->performSetter("setTitle:", Id(VxNumber::numberWithInt(1))));  // refused
    EXPECT_EQ(vx::textOf(as<Id>(r->performGetter("title"))), "hello");            // kept
    EXPECT_TRUE(r->performSetter("setAnything:", Id(VxDate::date())));
    EXPECT_TRUE(vx_cast<VxDate>(as<Id>(r->performGetter("anything"))));
    EXPECT_TRUE(r->performSetter("setTitle:", Id()));  // none removes the value
    EXPECT_FALSE(as<Id>(r->performGetter("title")));
    EXPECT_FALSE(r->dictionary()->objectForKey("title"));
    // A value of the wrong alternative is refused by the setter itself.
    EXPECT_FALSE(r->performSetter("setFlag:", Id(vxstr("yes"))));
    EXPECT_FALSE(r->performSetter("setTitle:", 5));

    // The typed accessors of the declaration share the storage and the routing.
    EXPECT_TRUE(r->setSpan(CRange{4, 2}));
    EXPECT_EQ(as<CRange>(r->performGetter("span")), (CRange{4, 2}));
    EXPECT_TRUE(r->setBig(-7));
    EXPECT_EQ(r->big(), -7);
    EXPECT_EQ(as<std::int64_t>(r->performGetter("big")), -7);
    EXPECT_TRUE(r->setTitle(vxstr("typed")));
    EXPECT_FALSE(r->setTitle(Id(VxDate::date())));
    EXPECT_EQ(vx::textOf(as<Id>(r->performGetter("title"))), "typed");
    EXPECT_TRUE(r->setTitle(vx::null()));
    EXPECT_TRUE(vx::isNull(r->title()));
    EXPECT_FALSE(r->fixed());

    // Custom names, read-only and non-dynamic properties.
    EXPECT_TRUE(r->putCustom(42));
    EXPECT_EQ(as<std::int32_t>(r->performGetter("customValue")), 42);
    EXPECT_TRUE(r->performSetter("putCustom:", 43));
    EXPECT_EQ(r->customValue(), 43);
    EXPECT_FALSE(r->respondsToSelector("setCustom:"));
    EXPECT_TRUE(r->respondsToSelector("fixed"));
    EXPECT_FALSE(r->respondsToSelector("setFixed:"));
    EXPECT_FALSE(r->respondsToSelector("plain"));
    EXPECT_TRUE(std::holds_alternative<std::monostate>(r->performGetter("plain")));
    EXPECT_FALSE(r->performSetter("setPlain:", 1));

    auto getter = CPropertyModel::accessorNamed(TMScalars::classObject(), "span");
    ASSERT_TRUE(getter);
    EXPECT_EQ(getter->signature, "{_CRange=QQ}@:");
}

TEST(PropertyModel, RegistryAndAccessorsAreInherited) {
    auto names = strings(TMScalars::propertyNames());
    // Dynamic properties only, in registry order (declaration order here).
    EXPECT_EQ(names.size(), 20u);
    EXPECT_EQ(names.front(), "flag");
    EXPECT_EQ(std::count(names.begin(), names.end(), "plain"), 0);
    EXPECT_EQ(std::count(names.begin(), names.end(), "shape"), 0);

    auto childNames = strings(TMScalarsChild::propertyNames());
    EXPECT_EQ(childNames.size(), 21u);
    EXPECT_EQ(childNames[0], "extra");
    // The subclass declares "title" again (as a number): the ancestor's record,
    // found later on the walk, replaces it in the subclass's registry.
    auto childAttrs = TMScalarsChild::dictionaryOfModelAttributes();
    EXPECT_EQ(vx_cast<CPropertyAttributes>(childAttrs->objectForKey("title"))->propClass(),
              &VxString::classObject());

    // Accessors live on the declaring class and are reached from the subclass.
    EXPECT_FALSE(CPropertyModel::accessorTable(TMScalarsChild::classObject())->contains("flag"));
    EXPECT_TRUE(CPropertyModel::accessorTable(TMScalars::classObject())->contains("flag"));
    EXPECT_TRUE(CPropertyModel::accessorTable(TMScalarsChild::classObject())->contains("extra"));
    auto child = TMScalarsChild::create();
    EXPECT_TRUE(child->performSetter("setFlag:", true));
    EXPECT_TRUE(as<bool>(child->performGetter("flag")));
    // The setter is shared, validation follows the instance's class registry,
    // which holds the ancestor's record of title: text.
    EXPECT_TRUE(child->performSetter("setTitle:", Id(vxstr("text"))));
    EXPECT_EQ(vx::textOf(child->get("title")), "text");
    EXPECT_FALSE(child->set("title", VxNumber::numberWithInt(3)));
    EXPECT_EQ(vx::textOf(child->get("title")), "text");
    EXPECT_FALSE(TMScalars::create()->respondsToSelector("extra"));

    // Records outside the family, and CPropertyModel itself.
    EXPECT_FALSE(CPropertyModel::propertyNames(VxString::classObject()));
    EXPECT_FALSE(CPropertyModel::propertyNames(CPropertyModel::classObject()));
    EXPECT_EQ(CPropertyModel::setDynamicGetterAndSetter(CPropertyModel::classObject()),
              CPropertyModelStatusOK);
    EXPECT_EQ(CPropertyModel::propertyNames(CPropertyModel::classObject())->count(), 0u);
}

TEST(PropertyModel, HandWrittenAccessorWinsAndRoutingIsVirtual) {
    auto r = TMHandWritten::create();
    r->set("name", vxstr("stored"));
    EXPECT_EQ(vx::textOf(as<Id>(r->performGetter("name"))), "hand-written");
    auto acc = CPropertyModel::accessorNamed(TMHandWritten::classObject(), "name");
    EXPECT_TRUE(acc->handWritten);
    // The setter was still installed and stores through the routing.
    EXPECT_TRUE(r->performSetter("setName:", Id(vxstr("again"))));
    EXPECT_EQ(vx::textOf(r->get("name")), "again");
    // Installing again changes nothing.
    EXPECT_EQ(TMHandWritten::setDynamicGetterAndSetter(), CPropertyModelStatusOK);
    EXPECT_TRUE(CPropertyModel::accessorNamed(TMHandWritten::classObject(), "name")->handWritten);
}

TEST(PropertyModel, UnsupportedTypesRaiseAtFirstUse) {
    const std::string unsupported = "An unsupported property type was declared ";
    for (const VxClass* cls :
         {&TMBadStruct::classObject(), &TMBadUnion::classObject(), &TMBadArray::classObject(),
          &TMBadBitField::classObject(), &TMBadVoid::classObject(), &TMBadUnknown::classObject()})
        expectRaises(*cls, unsupported, "for class " + cls->name());
    // Every later use raises again; instances cannot be made.
    EXPECT_THROW(TMBadStruct::create(), CPropertyModelException);
    EXPECT_THROW(TMBadStruct::propertyNames(), CPropertyModelException);
    EXPECT_THROW(TMBadStruct::classObject().createInstance(), CPropertyModelException);
    // Accessors installed before the failure stay; the registry slot stays empty.
    EXPECT_TRUE(CPropertyModel::accessorTable(TMBadStruct::classObject())->contains("ok"));
    EXPECT_EQ(TMBadStruct::setDynamicGetterAndSetter(), CPropertyModelStatusUnsupportedType);
    // A subclass fails with its parent's failure.
    expectRaises(TMBadChild::classObject(), unsupported, "for class TMBadParent");
    CPropertyModelException e("An unsupported property type was declared ", "for class X");
    EXPECT_STREQ(e.what(), "An unsupported property type was declared for class X");
}

TEST(PropertyModel, NullMarkerReadsAsZeroInEveryTypedGetter) {
    auto r = TMScalars::create();
    for (const char* name : {"selector", "title", "anything"}) r->set(name, vx::null());
    for (const auto& [name, value] : scalarRows()) {
        r->set(name, vx::null());
        EXPECT_TRUE(vx::isNull(r->dictionary()->objectForKey(name))) << name;
        // Zero of the same alternative.
        EXPECT_EQ(r->performGetter(name),
                  std::visit([](auto v) -> CPropertyValue { return decltype(v){}; }, value))
            << name;
    }
    EXPECT_EQ(as<CSelector>(r->performGetter("selector")).name, nullptr);
    EXPECT_TRUE(vx::isNull(as<Id>(r->performGetter("title"))));
    EXPECT_TRUE(vx::isNull(as<Id>(r->performGetter("anything"))));
    // Absent values read the same way.
    auto empty = TMScalars::create();
    EXPECT_EQ(as<double>(empty->performGetter("precise")), 0.0);
    EXPECT_FALSE(as<Id>(empty->performGetter("title")));
}

TEST(PropertyModel, TranslationDictionaryMapsStorageKeys) {
    TMTranslated::setTranslationDictionary(VxDictionary::dictionaryWithPairs(
        {{"name", vxstr("display_name")}, {"count", VxNumber::numberWithInt(3)}}));
    auto r = TMTranslated::create();
    EXPECT_TRUE(r->setName(vxstr("Ann")));
    EXPECT_EQ(vx::textOf(r->dictionary()->objectForKey("display_name")), "Ann");
    EXPECT_FALSE(r->dictionary()->objectForKey("name"));
    EXPECT_EQ(vx::textOf(as<Id>(r->performGetter("name"))), "Ann");
    // A translation entry that is not a text leaves the name as the key.
    r->set("count", VxNumber::numberWithInt(9));
    EXPECT_EQ(vx::textOf(r->dictionary()->objectForKey("count")), "9");

    // Import takes the property name first, then the storage key.
    auto both = TMTranslated::modelWithDictionary(VxDictionary::dictionaryWithPairs(
        {{"display_name", vxstr("by key")}, {"name", vxstr("by name")}}));
    EXPECT_EQ(vx::textOf(both->get("name")), "by name");
    auto keyOnly = TMTranslated::modelWithDictionary(
        VxDictionary::dictionaryWithPairs({{"display_name", vxstr("by key")}}));
    EXPECT_EQ(vx::textOf(keyOnly->get("name")), "by key");

    // The slot holds a copy; changing the argument later changes nothing.
    auto mutableNames = VxMutableArray::array();
    mutableNames->addObject(vxstr("name"));
    TMTranslated::setOrderedPropertyNames(mutableNames);
    mutableNames->addObject(vxstr("count"));
    EXPECT_EQ(TMTranslated::orderedPropertyNames()->count(), 1u);
    EXPECT_FALSE(vx_cast<VxMutableArray>(TMTranslated::orderedPropertyNames()));
    TMTranslated::setOrderedPropertyNames(nullptr);
    EXPECT_FALSE(TMTranslated::orderedPropertyNames());
    // Slots are per class.
    EXPECT_FALSE(TMRow::getTranslationDictionary());
    EXPECT_FALSE(CDictionaryModel::getTranslationDictionary());
}

TEST(PropertyModel, ImportValidatesValuesAndIgnoresUnknownEntries) {
    auto r = TMScalars::create();
    EXPECT_FALSE(r->setPropertyValuesFromDictionary(nullptr));
    EXPECT_FALSE(r->setPropertyValuesFromDictionary(vxstr("not a dictionary")));
    EXPECT_FALSE(r->setPropertyValuesFromDictionary(VxDictionary::dictionary()));
    EXPECT_FALSE(r->setPropertyValuesFromDictionary(VxDictionary::dictionaryWithPairs(
        {{"title", VxNumber::numberWithInt(1)}, {"unknown", vxstr("x")}})));
    EXPECT_TRUE(r->setPropertyValuesFromDictionary(VxDictionary::dictionaryWithPairs(
        {{"title", vxstr("ok")}, {"flag", vxstr("not a number")}, {"integer", vx::null()}})));
    EXPECT_EQ(r->dictionary()->count(), 2u);
    EXPECT_FALSE(r->dictionary()->objectForKey("flag"));

    auto empty = TMEmpty::create();
    EXPECT_EQ(TMEmpty::propertyNames()->count(), 0u);
    EXPECT_FALSE(empty->setPropertyValuesFromDictionary(
        VxDictionary::dictionaryWithPairs({{"notDynamic", vxstr("x")}})));
    // Empty, misspelt or undeclared names store nothing, not even the null
    // marker, and say so.
    EXPECT_FALSE(r->set("", vxstr("x")));
    EXPECT_FALSE(r->get(""));
    EXPECT_FALSE(r->set("titel", vx::null()));
    EXPECT_FALSE(r->set("plain", VxNumber::numberWithInt(1)));
    EXPECT_EQ(r->dictionary()->count(), 2u);
}

TEST(PropertyModel, DateStringsAndConversions) {
    auto r = TMDated::create();
    EXPECT_FALSE(r->setWhen(Id(vxstr("2014-05-01T10:00:00+0000"))));
    EXPECT_FALSE(r->when());  // option clear: texts refused
    TMDated::setOptions(CPropertyModelOptionConvertDateStrings);
    EXPECT_TRUE(r->setWhen(Id(vxstr("2014-05-01t10:00:00+0000"))));
    auto when = vx_cast<VxDate>(r->when());
    ASSERT_TRUE(when);
    EXPECT_EQ(when->timeIntervalSince1970(), 1398938400.0);
    EXPECT_FALSE(r->set("when", vxstr("May 1st")));
    EXPECT_EQ(r->get("when"), when);  // refused, kept
    r->set("when", vxstr("2014-05-01T10:00:00+0000 trailing"));
    EXPECT_EQ(r->get("when"), when);
    // An offset is honoured when parsing; output is always GMT.
    auto shifted = TMDated::dateFromString(vxstr("2014-05-01T12:00:00+0200"));
    ASSERT_TRUE(shifted);
    EXPECT_EQ(shifted->timeIntervalSince1970(), 1398938400.0);
    EXPECT_EQ(TMDated::stringFromDate(shifted)->str(), "2014-05-01T10:00:00+0000");
    EXPECT_FALSE(TMDated::dateFromString(vxstr("")));
    EXPECT_FALSE(TMDated::dateFromString(nullptr));
    EXPECT_FALSE(TMDated::stringFromDate(nullptr));
    EXPECT_EQ(TMRow::options(), 0u);

    // A class's own pattern.
    EXPECT_EQ(CPropertyModel::dateFormatString(TMCustomDate::classObject())->str(),
              "dd.MM.yyyy HH:mm");
    EXPECT_EQ(CPropertyModel::dateFormatString(TMDated::classObject())->str(),
              CPropertyModelDefaultDateFormat);
    auto custom = TMCustomDate::dateFromString(vxstr("01.05.2014 10:00"));
    ASSERT_TRUE(custom);
    EXPECT_EQ(custom->timeIntervalSince1970(), 1398938400.0);

    // Numbers.
    EXPECT_EQ(TMDated::stringFromNumber(VxNumber::numberWithInt(-1234567))->str(), "-1234567");
    EXPECT_EQ(TMDated::stringFromNumber(VxNumber::numberWithBool(true))->str(), "1");
    EXPECT_EQ(TMDated::stringFromNumber(VxNumber::numberWithUnsignedLongLong(UINT64_MAX))->str(),
              "18446744073709551615");
    auto n = TMDated::numberFromString(vxstr("42"));
    ASSERT_TRUE(n);
    EXPECT_EQ(n->longLongValue(), 42);
    EXPECT_FALSE(TMDated::numberFromString(vxstr("42abc")));
    EXPECT_FALSE(TMDated::numberFromString(vxstr("")));
    auto d = TMDated::decimalNumberFromString(vxstr("-12.5e3"));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->stringValue(), "-12500");
    EXPECT_FALSE(TMDated::decimalNumberFromString(vxstr("twelve")));
    EXPECT_TRUE(TMDated::stringFromDecimalNumber(VxDecimalNumber::decimalNumberWithString("3.25")));
    EXPECT_FALSE(TMDated::stringFromDecimalNumber(nullptr));
}

TEST(PropertyModel, ClassInitialisationRunsOnceAcrossThreads) {
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([] {
            for (int k = 0; k < 50; ++k) {
                auto r = TMCounted::create();
                EXPECT_TRUE(r->setValue(k));
                EXPECT_EQ(r->value(), k);
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(TMCounted::initialisations.load(), 1);
}

// A class whose own set-up (its date pattern, its hand-written accessors) calls
// its class operations finishes its set-up instead of waiting on itself.
TEST(PropertyModel, SetUpMayCallTheClassesOwnOperations) {
    auto done = std::make_shared<std::promise<int>>();
    std::future<int> result = done->get_future();
    // On a thread of its own, so that a regression fails instead of hanging.
    std::thread([done] {
        auto r = TMReentrant::create();
        done->set_value(as<std::int32_t>(r->performGetter("answer")));
    }).detach();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(result.get(), 42);
    EXPECT_EQ(TMReentrant::namesSeenDuringSetUp.load(), 1);
    EXPECT_EQ(strings(TMReentrant::propertyNames()), std::vector<std::string>{"value"});
    EXPECT_EQ(vx::textOf(TMReentrant::stringFromDate(VxDate::dateWithTimeIntervalSince1970(0))),
              "1970");
}

// Scalars reach a property only when the property's type holds the value
// exactly; anything else is refused (false) and the stored value stays.
TEST(PropertyModel, ScalarSettersRefuseValuesThatDoNotFit) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr double inf = std::numeric_limits<double>::infinity();
    struct Case {
        const char* property;
        CPropertyValue value;
        bool fits;
    };
    const Case cases[] = {
        // Integers of another width: range decides.
        {"letter", std::int64_t{-128}, true},
        {"letter", std::int64_t{128}, false},
        {"byte", std::int32_t{255}, true},
        {"byte", std::int32_t{256}, false},
        {"small", std::int32_t{-32769}, false},
        {"usmall", std::uint64_t{65535}, true},
        {"integer", std::int64_t{INT32_MIN}, true},
        {"integer", std::int64_t{1LL << 31}, false},
        {"uinteger", std::uint64_t{UINT32_MAX}, true},
        {"uinteger", std::uint64_t{1ULL << 32}, false},
        {"big", std::uint64_t{INT64_MAX}, true},
        {"big", std::uint64_t{1ULL << 63}, false},
        // Negative into unsigned.
        {"uinteger", std::int32_t{-1}, false},
        {"ubig", std::int64_t{-1}, false},
        {"byte", std::int8_t{-1}, false},
        {"ubig", std::int64_t{0}, true},
        // Floating point into integers: whole and in range only.
        {"integer", 1e12, false},
        {"integer", 3.9, false},
        {"integer", -3.0, true},
        {"integer", 2147483647.0, true},
        {"integer", 2147483648.0, false},
        {"integer", -2147483648.0, true},
        {"integer", -2147483649.0, false},
        {"big", 9223372036854775808.0, false},
        {"big", -9223372036854775808.0, true},
        {"ubig", 18446744073709551616.0, false},
        {"ubig", 18446744073709549568.0, true},
        {"ubig", -0.0, true},
        {"letter", 0.5f, false},
        {"integer", nan, false},
        {"integer", inf, false},
        {"ubig", -inf, false},
        // Booleans: 0 and 1 only; a boolean fits every number.
        {"flag", std::int32_t{1}, true},
        {"flag", std::int32_t{2}, false},
        {"flag", 0.0, true},
        {"flag", 0.5, false},
        {"flag", nan, false},
        {"byte", true, true},
        {"ratio", false, true},
        // Into floating point: integers that round are refused, doubles beyond
        // the float range too; not-a-number and infinities fit.
        {"ratio", std::int32_t{16777216}, true},
        {"ratio", std::int32_t{16777217}, false},
        {"precise", std::int64_t{(1LL << 53) + 1}, false},
        {"precise", std::uint64_t{UINT64_MAX}, false},
        {"precise", std::int64_t{-(1LL << 62)}, true},
        {"ratio", 0.1, true},
        {"ratio", 1e39, false},
        {"ratio", nan, true},
        {"ratio", -inf, true},
        {"precise", 0.1f, true},
    };
    auto r = TMScalars::create();
    for (const Case& c : cases) {
        r->set(c.property, vx::null());
        EXPECT_EQ(r->performSetter(setterOf(c.property), c.value), c.fits)
            << c.property << " alternative " << c.value.index();
        const Id stored = r->dictionary()->objectForKey(c.property);
        EXPECT_EQ(vx::isNull(stored), !c.fits) << c.property << " alternative " << c.value.index();
    }
    // A fitting value is stored as the property's own value.
    EXPECT_TRUE(r->performSetter("setInteger:", -3.0));
    EXPECT_EQ(as<std::int32_t>(r->performGetter("integer")), -3);
    EXPECT_TRUE(r->performSetter("setUbig:", 18446744073709549568.0));
    EXPECT_EQ(as<std::uint64_t>(r->performGetter("ubig")), 18446744073709549568ULL);
    EXPECT_TRUE(r->performSetter("setRatio:", 0.1));
    EXPECT_EQ(as<float>(r->performGetter("ratio")), 0.1f);
    EXPECT_TRUE(r->performSetter("setPrecise:", nan));
    EXPECT_TRUE(std::isnan(as<double>(r->performGetter("precise"))));
}

// The setter hands the attribute record it looked up to the validation; an
// overriding validation that asks the base about another property, or about
// the same one, must get that property's own verdict.
// Setters find a property's record by name, and repeated names are answered
// from what the thread found before: the answer must stay the record of the
// instance's own class, and of the very name given.
TEST(PropertyModel, SettersJudgeByTheirOwnClassRecordWhateverWasSetBefore) {
    auto row = TMRow::create();
    auto swapped = TMRowSwapped::create();
    const Id text = vxstr("t");
    const Id number = VxNumber::numberWithInt(1);
    for (int round = 0; round < 3; ++round) {
        EXPECT_TRUE(row->set("alpha", text));
        EXPECT_FALSE(swapped->set("alpha", text));
        EXPECT_TRUE(swapped->set("alpha", number));
        EXPECT_FALSE(row->set("alpha", number));
        // "gamma" has the length and last letter of "alpha": any value goes.
        EXPECT_TRUE(row->set("gamma", number));
        EXPECT_FALSE(row->set("alpha", number));
        EXPECT_TRUE(row->set("beta", number));
        EXPECT_FALSE(swapped->set("beta", number));
        // A name only one class has, and a misspelt one, after the others.
        EXPECT_FALSE(swapped->set("gamma", number));
        EXPECT_FALSE(row->set("alphA", text));
    }
    EXPECT_EQ(vx::textOf(row->get("alpha")), "t");
    EXPECT_EQ(vx::textOf(swapped->get("beta")), "(null)");

    // The set-up asked for again publishes a new table; records found in the
    // earlier ones stay valid and setters judge as before.
    for (int again = 0; again < 3; ++again) {
        EXPECT_EQ(TMRow::setDynamicGetterAndSetter(), CPropertyModelStatusOK);
        EXPECT_TRUE(row->set("alpha", text));
        EXPECT_FALSE(row->set("alpha", number));
        EXPECT_TRUE(row->set("beta", number));
    }
}

TEST(PropertyModel, OverriddenValidationIsJudgedByThePropertyItNames) {
    auto r = TMJudged::create();
    EXPECT_TRUE(r->setCount(VxNumber::numberWithInt(3)));
    EXPECT_TRUE(r->set("count", vxstr("three")));  // judged as a label: a text passes
    EXPECT_EQ(vx::textOf(r->get("count")), "three");
    EXPECT_FALSE(r->set("label", VxNumber::numberWithInt(4)));
    EXPECT_FALSE(r->set("label", vxstr("")));
    EXPECT_FALSE(r->setLabel(vxstr("reserved")));
    EXPECT_TRUE(r->setLabel(vxstr("ok")));
    EXPECT_EQ(vx::textOf(r->label()), "ok");
    EXPECT_FALSE(r->set("lable", vxstr("misspelt")));
    EXPECT_EQ(r->internalDictionary()->count(), 2u);
}
