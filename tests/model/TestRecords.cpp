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
CPM_DEFINE_MODEL(TMEmpty, CDictionaryModel, {"notDynamic", "T@\"VxString\",C"});

std::atomic<int> TMCounted::initialisations{0};
CPM_DEFINE_MODEL(TMCounted, CDictionaryModel);

CPM_DEFINE_MODEL(TMBadStruct, CDictionaryModel, {"ok", "Ti,D"}, {"point", "T{Point=dd},D"});
CPM_DEFINE_MODEL(TMBadUnion, CDictionaryModel, {"u", "T(Either=id),D"});
CPM_DEFINE_MODEL(TMBadArray, CDictionaryModel, {"a", "T[4i],D"});
CPM_DEFINE_MODEL(TMBadBitField, CDictionaryModel, {"bits", "Tb4,D"});
CPM_DEFINE_MODEL(TMBadVoid, CDictionaryModel, {"nothing", "Tv,D"});
CPM_DEFINE_MODEL(TMBadUnknown, CDictionaryModel, {"pi", "T^i,D"});
CPM_DEFINE_MODEL(TMBadParent, CDictionaryModel, {"s", "T{S=i},D"});
CPM_DEFINE_MODEL(TMBadChild, TMBadParent, {"fine", "Ti,D"});
