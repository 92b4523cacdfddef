// A record class declared one line per property, as a program that links the
// installed library would write it. Exits 0 when the record round-trips
// through JSON, CSV and the keyed archive.

#include <cstdio>

#include "model/CDictionaryModel.h"
#include "platform/foundation/VxJSON.h"
#include "platform/foundation/VxKeyedArchiver.h"

class Sensor : public CDictionaryModel {
    CPM_DECLARE_MODEL(Sensor)
  public:
    Sensor() = default;
    CPM_PROPERTY(VxStringPtr, label, setLabel, cpm::Copy);
    CPM_PROPERTY(double, reading, setReading);
    CPM_PROPERTY(bool, active, setActive);
    CPM_PROPERTY(std::int32_t, samples, setSamples);
};

CPM_DEFINE_MODEL(Sensor, CDictionaryModel);

#define CHECK(cond)                                      \
    do {                                                 \
        if (!(cond)) {                                   \
            std::fprintf(stderr, "failed: %s\n", #cond); \
            return 1;                                    \
        }                                                \
    } while (0)

int main() {
    auto sensor = Sensor::create();
    CHECK(sensor->setLabel(vxstr("north")));
    CHECK(sensor->setReading(21.5));
    CHECK(sensor->setActive(true));
    CHECK(sensor->setSamples(12));
    CHECK(!sensor->setLabel(Id(VxNumber::numberWithInt(3))));  // refused, reported
    CHECK(!sensor->set("lable", vxstr("south")));              // no such property
    CHECK(vx::textOf(sensor->label()) == "north");

    VxDataPtr json = VxJSONSerialization::dataWithJSONObject(sensor->dictionary(), 0);
    CHECK(json);
    auto fromJson = Sensor::modelWithDictionary(VxJSONSerialization::JSONObjectWithData(json, 0));
    CHECK(fromJson->dictionary()->isEqual(*sensor->dictionary()));
    CHECK(fromJson->reading() == 21.5 && fromJson->active() && fromJson->samples() == 12);

    CHECK(sensor->propertyNamesToCSV()->str() == "label,reading,active,samples\n");
    CHECK(sensor->propertyValuesToCSV()->str() == "north,21.5,1,12\n");

    VxDataPtr archive = VxKeyedArchiver::archivedDataWithRootObject(sensor, true);
    auto fromArchive =
        vx_cast<Sensor>(VxKeyedUnarchiver::unarchivedObjectOfClass(Sensor::classObject(), archive));
    CHECK(fromArchive && fromArchive->dictionary()->isEqual(*sensor->dictionary()));
    CHECK(vx::textOf(fromArchive->label()) == "north");
    return 0;
}
