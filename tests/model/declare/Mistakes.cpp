// Declarations that must not compile; the test compiles this file once per
// MISTAKE and expects the compiler to name the fault.

#include "model/CDictionaryModel.h"

#include <string>

class Sensor : public CDictionaryModel {
    CPM_DECLARE_MODEL(Sensor)
  public:
    CPM_PROPERTY(VxStringPtr, label, setLabel, cpm::Copy);
#if MISTAKE == 2
    CPM_PROPERTY(std::string, name, setName);
#elif MISTAKE == 3
    CPM_PROPERTY(double, reading, setReadng);
#elif MISTAKE == 4
    CPM_PROPERTY(std::shared_ptr<VxObject>, owner, setOwner, cpm::Copy);
    CPM_PROPERTY(std::shared_ptr<std::string>, note, setNote);
#endif
};

void use(Sensor& sensor) {
#if MISTAKE == 1
    sensor.setLable(vxstr("north"));
#elif MISTAKE == 5
    sensor.setLabel(VxNumber::numberWithInt(1));
#else
    sensor.setLabel(vxstr("north"));
#endif
}
