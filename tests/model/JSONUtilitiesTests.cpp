#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "model/CJSONUtilities.h"
#include "platform/foundation/VxJSON.h"

namespace {

constexpr std::uint64_t kMutable = CJSONUtilitiesOptionMutableContainers;

Id str(const char* text) {
    return VxString::make(text);
}
Id num(std::int64_t v) {
    return VxNumber::numberWithLongLong(v);
}

// A record that offers its own JSON form.
class JSONRecord : public VxObject, public CPJSONObject {
  public:
    explicit JSONRecord(Id form) : form_(std::move(form)) {}
    Id jsonConformingObject() const override { return form_; }
    Id jsonDataFromObject() const override {
        return VxJSONSerialization::dataWithJSONObject(form_, 0);
    }
    static Id modelFromJSONData(const Id& data) {
        auto bytes = vx_cast<VxData>(data);
        return std::make_shared<JSONRecord>(VxJSONSerialization::JSONObjectWithData(bytes, 0));
    }

  private:
    Id form_;
};
static_assert(CPJSONObjectModelClass<JSONRecord>);
static_assert(!CPJSONObjectModelClass<VxString>);

// `levels` nested arrays around `inner` (or around nothing when inner is absent).
Id nestedArrays(std::size_t levels, const Id& inner) {
    Id value = inner;
    for (std::size_t i = 0; i < levels; ++i) {
        value = value ? VxArray::arrayWithObjects({value}) : VxArray::array();
    }
    return value;
}

// Walks every container of a tree and checks that each has the expected
// mutability; returns the number of containers seen.
std::size_t expectMutability(const Id& value, bool expectMutable) {
    std::size_t seen = 0;
    if (auto array = vx_cast<VxArray>(value)) {
        ++seen;
        EXPECT_EQ(vx_cast<VxMutableArray>(value) != nullptr, expectMutable);
        for (const Id& element : *array) seen += expectMutability(element, expectMutable);
    } else if (auto dict = vx_cast<VxDictionary>(value)) {
        ++seen;
        EXPECT_EQ(vx_cast<VxMutableDictionary>(value) != nullptr, expectMutable);
        for (const Id& v : dict->values()) seen += expectMutability(v, expectMutable);
    }
    return seen;
}

// dict { "list": [ 1, set{ dict{"k": null} }, orderedset[ [ "x" ] ] ], "map": {"inner": []} }
Id mixedTree() {
    auto innerDict = VxDictionary::dictionaryWithPairs({{"k", vx::null()}});
    auto set = VxSet::setWithObjects({innerDict});
    auto ordered = VxOrderedSet::orderedSetWithObjects({VxArray::arrayWithObjects({str("x")})});
    auto list = VxMutableArray::array();
    list->addObject(num(1));
    list->addObject(set);
    list->addObject(ordered);
    return VxDictionary::dictionaryWithPairs(
        {{"list", list},
         {"map", VxDictionary::dictionaryWithPairs({{"inner", VxMutableArray::array()}})}});
}

}  // namespace

TEST(JSONUtilities, ClassifiesValues) {
    EXPECT_TRUE(CJSONUtilities::isTopLevelJSONObject(VxMutableDictionary::dictionary()));
    EXPECT_FALSE(CJSONUtilities::isTopLevelJSONObject(VxSet::setWithObjects({})));
    EXPECT_FALSE(CJSONUtilities::isTopLevelJSONObject(nullptr));
    EXPECT_TRUE(CJSONUtilities::isNonCollectionJSONObject(VxDecimalNumber::zero()));
    EXPECT_TRUE(CJSONUtilities::isNonCollectionJSONObject(vx::null()));
    EXPECT_FALSE(CJSONUtilities::isNonCollectionJSONObject(VxDate::date()));
    EXPECT_FALSE(CJSONUtilities::isNonCollectionJSONObject(VxArray::array()));
    EXPECT_FALSE(CJSONUtilities::isNonCollectionJSONObject(nullptr));
}

TEST(JSONUtilities, CleaningDropsUnsupportedMembersAndConvertsSets) {
    // Top level: scalars unchanged, containers cleaned, anything else the null marker.
    for (const Id& other : {Id(VxDate::date()), Id(), Id(VxSet::setWithObjects({num(1)})),
                            Id(std::make_shared<JSONRecord>(VxArray::array()))})
        EXPECT_TRUE(vx::isNull(CJSONUtilities::conformingJSONObjectFromObject(other, 0)));
    Id text = str("kept");
    EXPECT_EQ(CJSONUtilities::conformingJSONObjectFromObject(text, 0), text);

    // Dates, bytes and URLs are dropped from arrays, order of the rest kept.
    auto array =
        VxArray::arrayWithObjects({num(1), VxDate::date(), str("two"), VxData::dataWithString("x"),
                                   VxURL::URLWithString("http://127.0.0.1/"), vx::null()});
    auto cleaned = vx_cast<VxArray>(CJSONUtilities::conformingJSONObjectFromObject(array, 0));
    ASSERT_TRUE(cleaned);
    EXPECT_TRUE(cleaned->isEqual(*VxArray::arrayWithObjects({num(1), str("two"), vx::null()})));

    // Sets become arrays under the same key; an ordered set keeps its order;
    // a number key is kept as it is and leaves the result invalid.
    auto dict = VxDictionary::dictionaryWithPairs(std::vector<std::pair<Id, Id>>{
        {str("set"), VxSet::setWithObjects({str("a")})},
        {str("ordered"), VxOrderedSet::orderedSetWithObjects({num(3), num(1), num(2)})},
        {str("date"), VxDate::date()},
        {num(7), str("numeric key")}});
    auto cleanedDict = CJSONUtilities::dictionaryByRemovingNonJSONObjects(dict, 0);
    ASSERT_TRUE(cleanedDict);
    EXPECT_EQ(cleanedDict->count(), 3u);
    EXPECT_TRUE(vxEqual(cleanedDict->objectForKey("set"), VxArray::arrayWithObjects({str("a")})));
    EXPECT_TRUE(vxEqual(cleanedDict->objectForKey("ordered"),
                        VxArray::arrayWithObjects({num(3), num(1), num(2)})));
    EXPECT_FALSE(cleanedDict->objectForKey("date"));
    EXPECT_TRUE(vxEqual(cleanedDict->objectForKey(num(7)), str("numeric key")));
    EXPECT_FALSE(CJSONUtilities::isValidJSONObject(cleanedDict));

    // Absent arguments give empty containers.
    EXPECT_EQ(CJSONUtilities::arrayByRemovingNonJSONObjects(nullptr, 0)->count(), 0u);
    EXPECT_EQ(CJSONUtilities::dictionaryByRemovingNonJSONObjects(nullptr, 0)->count(), 0u);
}

TEST(JSONUtilities, CleaningUsesTheJSONFormOfAdoptingObjects) {
    // The form is used as it comes back: the date inside it is not removed.
    auto form = VxArray::arrayWithObjects({str("own"), VxDate::date()});
    auto array = VxArray::arrayWithObjects(
        {std::make_shared<JSONRecord>(form), std::make_shared<JSONRecord>(nullptr)});
    auto cleaned = CJSONUtilities::arrayByRemovingNonJSONObjects(array, kMutable);
    ASSERT_EQ(cleaned->count(), 2u);
    EXPECT_EQ(cleaned->objectAtIndex(0), form);
    EXPECT_TRUE(vx::isNull(cleaned->objectAtIndex(1)));
}

TEST(JSONUtilities, MutableContainersOptionAppliesAtEveryLevel) {
    Id tree = mixedTree();
    Id mutableClean = CJSONUtilities::conformingJSONObjectFromObject(tree, kMutable);
    EXPECT_EQ(expectMutability(mutableClean, true), 8u);
    // The cleaned set member is an array holding a mutable dictionary.
    auto list = vx_cast<VxMutableArray>(vx_cast<VxDictionary>(mutableClean)->objectForKey("list"));
    ASSERT_TRUE(list);
    auto fromSet = vx_cast<VxMutableArray>(list->objectAtIndex(1));
    ASSERT_TRUE(fromSet);
    auto fromSetDict = vx_cast<VxMutableDictionary>(fromSet->objectAtIndex(0));
    ASSERT_TRUE(fromSetDict);
    fromSetDict->setObject(str("added"), "new");  // really modifiable
    EXPECT_EQ(fromSetDict->count(), 2u);

    EXPECT_EQ(expectMutability(CJSONUtilities::conformingJSONObjectFromObject(tree, 0), false), 8u);
    // Mutable sources give immutable results without the option.
    auto mutableSource = VxMutableArray::array();
    mutableSource->addObject(VxMutableDictionary::dictionary());
    EXPECT_EQ(
        expectMutability(CJSONUtilities::arrayByRemovingNonJSONObjects(mutableSource, 0), false),
        2u);

    // Removing null markers rebuilds every container the same way.
    Id stripped = CJSONUtilities::removeVxNullsFromJSONObject(mutableClean, kMutable);
    EXPECT_EQ(expectMutability(stripped, true), 8u);
    EXPECT_EQ(expectMutability(CJSONUtilities::removeVxNullsFromJSONObject(mutableClean, 0), false),
              8u);

    // Options bits other than 1 are ignored.
    EXPECT_EQ(expectMutability(CJSONUtilities::conformingJSONObjectFromObject(tree, 2), false), 8u);
}

TEST(JSONUtilities, RemovesNullMarkersFromDictionariesOnly) {
    auto onlyNull = VxDictionary::dictionaryWithPairs({{"gone", vx::null()}});
    auto array = VxArray::arrayWithObjects({vx::null(), onlyNull});
    auto result = vx_cast<VxArray>(CJSONUtilities::removeVxNullsFromJSONObject(array, 0));
    ASSERT_TRUE(result);
    ASSERT_EQ(result->count(), 2u);
    EXPECT_TRUE(vx::isNull(result->objectAtIndex(0)));
    auto emptied = vx_cast<VxDictionary>(result->objectAtIndex(1));
    ASSERT_TRUE(emptied);
    EXPECT_EQ(emptied->count(), 0u);
    EXPECT_EQ(onlyNull->count(), 1u);  // the source is untouched

    // Nested dictionaries inside arrays inside dictionaries; other members and
    // key order kept.
    auto deep = VxDictionary::dictionaryWithPairs(
        {{"a", num(1)},
         {"b", vx::null()},
         {"c", VxArray::arrayWithObjects(
                   {VxDictionary::dictionaryWithPairs({{"x", vx::null()}, {"y", str("y")}})})},
         {"d", str("d")}});
    auto expected = VxDictionary::dictionaryWithPairs(
        {{"a", num(1)},
         {"c", VxArray::arrayWithObjects({VxDictionary::dictionaryWithPairs({{"y", str("y")}})})},
         {"d", str("d")}});
    auto stripped = vx_cast<VxDictionary>(CJSONUtilities::removeVxNullsFromJSONObject(deep, 0));
    ASSERT_TRUE(stripped);
    EXPECT_TRUE(stripped->isEqual(*expected));
    ASSERT_EQ(stripped->keys().size(), 3u);
    EXPECT_TRUE(vxEqual(stripped->keys()[1], str("c")));

    // Anything that is not a container comes back as it is.
    Id date = VxDate::date();
    EXPECT_EQ(CJSONUtilities::removeVxNullsFromJSONObject(date, 0), date);
    EXPECT_TRUE(vx::isNull(CJSONUtilities::removeVxNullsFromJSONObject(vx::null(), kMutable)));
    EXPECT_FALSE(CJSONUtilities::removeVxNullsFromJSONObject(nullptr, 0));
}

TEST(JSONUtilities, ValidityOfLeavesAndKeys) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    auto wrap = [](const Id& v) { return VxArray::arrayWithObjects({v}); };

    EXPECT_FALSE(CJSONUtilities::isValidJSONObject(nullptr));
    EXPECT_FALSE(CJSONUtilities::isValidJSONObject(str("lone")));
    EXPECT_TRUE(CJSONUtilities::isValidJSONObject(VxArray::array()));
    for (const Id& leaf :
         {str("lone"), Id(VxNumber::numberWithBool(true)), vx::null(),
          Id(VxNumber::numberWithUnsignedLongLong(UINT64_MAX)), Id(VxDecimalNumber::zero())})
        EXPECT_TRUE(CJSONUtilities::isValidJSONObject(wrap(leaf))) << vx::textOf(leaf);
    for (const Id& leaf :
         {Id(VxNumber::numberWithDouble(nan)), Id(VxNumber::numberWithDouble(inf)),
          Id(VxNumber::numberWithFloat(NAN)), Id(VxNumber::numberWithFloat(INFINITY)),
          Id(VxDecimalNumber::notANumber()), Id(VxDate::date()), Id(VxSet::setWithObjects({}))})
        EXPECT_FALSE(CJSONUtilities::isValidJSONObject(wrap(leaf))) << vx::textOf(leaf);
    // The first invalid member decides, wherever it sits.
    auto dict = VxDictionary::dictionaryWithPairs(
        {{"ok", num(1)}, {"bad", wrap(VxNumber::numberWithDouble(nan))}});
    EXPECT_FALSE(CJSONUtilities::isValidJSONObject(dict));
    auto numberKey =
        VxDictionary::dictionaryWithPairs(std::vector<std::pair<Id, Id>>{{num(1), str("v")}});
    EXPECT_FALSE(CJSONUtilities::isValidJSONObject(numberKey));

    // The single-object form accepts scalars; depth is checked first.
    EXPECT_TRUE(CJSONUtilities::validForJSON(str("s"), 0, true));
    EXPECT_FALSE(CJSONUtilities::validForJSON(str("s"), 0, false));
    EXPECT_TRUE(CJSONUtilities::validForJSON(str("s"), 511, true));
    EXPECT_FALSE(CJSONUtilities::validForJSON(str("s"), 512, true));
    EXPECT_FALSE(CJSONUtilities::validForJSON(VxArray::array(), 512, false));
}

TEST(JSONUtilities, DepthLimitIsLevel511) {
    // A string inside n arrays sits at depth n.
    EXPECT_TRUE(CJSONUtilities::isValidJSONObject(nestedArrays(510, str("s"))));
    EXPECT_TRUE(CJSONUtilities::isValidJSONObject(nestedArrays(511, str("s"))));
    EXPECT_FALSE(CJSONUtilities::isValidJSONObject(nestedArrays(512, str("s"))));
    // The innermost of n empty arrays sits at depth n - 1.
    EXPECT_TRUE(CJSONUtilities::isValidJSONObject(nestedArrays(512, nullptr)));
    EXPECT_FALSE(CJSONUtilities::isValidJSONObject(nestedArrays(513, nullptr)));

    // Dictionaries count the same way.
    Id dict = VxDictionary::dictionary();
    for (int i = 0; i < 511; ++i) dict = VxDictionary::dictionaryWithPairs({{"k", dict}});
    EXPECT_TRUE(CJSONUtilities::isValidJSONObject(dict));
    dict = VxDictionary::dictionaryWithPairs({{"k", dict}});
    EXPECT_FALSE(CJSONUtilities::isValidJSONObject(dict));

    // Cleaning keeps the whole depth (it neither cuts nor flattens), and with
    // the option every one of the 512 levels is mutable.
    Id deep = nestedArrays(512, VxSet::setWithObjects({str("s")}));
    Id cleaned = CJSONUtilities::conformingJSONObjectFromObject(deep, kMutable);
    EXPECT_EQ(expectMutability(cleaned, true), 513u);  // the set became the 513th array
    EXPECT_FALSE(CJSONUtilities::isValidJSONObject(cleaned));
    Id shallower = CJSONUtilities::conformingJSONObjectFromObject(
        nestedArrays(510, VxSet::setWithObjects({str("s")})), 0);
    EXPECT_EQ(expectMutability(shallower, false), 511u);
    EXPECT_TRUE(CJSONUtilities::isValidJSONObject(shallower));
}

TEST(JSONUtilities, SelfContainingContainersDoNotHang) {
    auto loop = VxMutableArray::array();
    loop->addObject(str("a"));
    auto holder = VxMutableDictionary::dictionary();
    holder->setObject(loop, "loop");
    holder->setObject(vx::null(), "n");
    loop->addObject(holder);  // loop -> holder -> loop

    EXPECT_FALSE(CJSONUtilities::isValidJSONObject(loop));

    // Cleaning drops the back reference, which JSON cannot express.
    auto cleaned = CJSONUtilities::arrayByRemovingNonJSONObjects(loop, 0);
    auto expected = VxArray::arrayWithObjects(
        {str("a"), VxDictionary::dictionaryWithPairs({{"n", vx::null()}})});
    EXPECT_TRUE(cleaned->isEqual(*expected));
    EXPECT_TRUE(CJSONUtilities::isValidJSONObject(cleaned));

    // Removing nulls leaves the back reference as it is.
    auto stripped = vx_cast<VxArray>(CJSONUtilities::removeVxNullsFromJSONObject(loop, 0));
    ASSERT_TRUE(stripped);
    auto strippedHolder = vx_cast<VxDictionary>(stripped->objectAtIndex(1));
    ASSERT_TRUE(strippedHolder);
    EXPECT_EQ(strippedHolder->count(), 1u);
    EXPECT_EQ(strippedHolder->objectForKey("loop"), loop);

    loop->removeAllObjects();  // break the cycle so that everything is freed
}
