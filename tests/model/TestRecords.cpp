#include "model/TestRecords.h"

CPM_DEFINE_MODEL(TMScalars, CDictionaryModel, {"shape", "T{Shape=ii},VshapeField"});
CPM_DEFINE_MODEL(TMScalarsChild, TMScalars);
CPM_DEFINE_MODEL(TMHandWritten, CDictionaryModel);

void TMHandWritten::registerAccessors(CPropertyAccessorTable& table) {
    table.addGetter("name", "@@:", [](const CPropertyModel&) -> CPropertyValue {
        return Id(vxstr("hand-written"));
    });
}

CPM_DEFINE_MODEL(TMTranslated, CDictionaryModel);
CPM_DEFINE_MODEL(TMDated, CDictionaryModel);
CPM_DEFINE_MODEL(TMCustomDate, CDictionaryModel);
CPM_DEFINE_MODEL(TMRow, CDictionaryModel);
CPM_DEFINE_MODEL(TMRowSwapped, CDictionaryModel);
CPM_DEFINE_MODEL(TMJudged, CDictionaryModel);

Id TMJudged::validatedValue(const Id& value, std::string_view property) const {
    if (property == "count" && vx_cast<VxString>(value))
        return CDictionaryModel::validatedValue(value, std::string("label"));
    if (property == "label") {
        auto text = vx_cast<VxString>(value);
        if (text && text->empty()) return nullptr;
        // A list made and dropped while the setter validates: releasing a
        // container must not disturb the setter's own per-thread state.
        auto reserved = VxArray::arrayWithObjects({vxstr("reserved"), vxstr("none")});
        if (text && reserved->containsObject(text)) return nullptr;
    }
    return CDictionaryModel::validatedValue(value, property);
}
CPM_DEFINE_MODEL(TMEmpty, CDictionaryModel, {"notDynamic", "T@\"VxString\",C"});

std::atomic<int> TMCounted::initialisations{0};
CPM_DEFINE_MODEL(TMCounted, CDictionaryModel);

CPM_DEFINE_MODEL(TMReentrant, CDictionaryModel, {"value", "Ti,D"});
std::atomic<int> TMReentrant::namesSeenDuringSetUp{-1};

VxStringPtr TMReentrant::dateFormatString() {
    // The registry is in place by the time the formatters are made.
    VxArrayPtr names = propertyNames();
    namesSeenDuringSetUp = names ? static_cast<int>(names->count()) : 0;
    setOptions(0);
    return vxstr("yyyy");
}

void TMReentrant::registerAccessors(CPropertyAccessorTable& table) {
    (void)options();  // before the registry exists: answers, does not wait
    table.addGetter(
        "answer", "i@:", [](const CPropertyModel&) -> CPropertyValue { return std::int32_t{42}; });
}

CPM_DEFINE_MODEL(TMBadStruct, CDictionaryModel, {"ok", "Ti,D"}, {"point", "T{Point=dd},D"});
CPM_DEFINE_MODEL(TMBadUnion, CDictionaryModel, {"u", "T(Either=id),D"});
CPM_DEFINE_MODEL(TMBadArray, CDictionaryModel, {"a", "T[4i],D"});
CPM_DEFINE_MODEL(TMBadBitField, CDictionaryModel, {"bits", "Tb4,D"});
CPM_DEFINE_MODEL(TMBadVoid, CDictionaryModel, {"nothing", "Tv,D"});
CPM_DEFINE_MODEL(TMBadUnknown, CDictionaryModel, {"pi", "T^i,D"});
CPM_DEFINE_MODEL(TMBadParent, CDictionaryModel, {"s", "T{S=i},D"});
CPM_DEFINE_MODEL(TMBadChild, TMBadParent, {"fine", "Ti,D"});
