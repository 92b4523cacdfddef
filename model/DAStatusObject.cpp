#include "model/DAStatusObject.h"

#include "model/ModelConstants.h"

CPM_DEFINE_MODEL(DAStatusObject, CDictionaryModel);

bool DAStatusObject::statusSuccess() const {
    VxStringPtr text = vx::nonEmptyString(code());
    return text && text->str() == kNoError;
}
