#pragma once
// The "status" object of every server reply: a code and a reason.

#include "model/CDictionaryModel.h"
#include "platform/foundation/VxExport.h"

class DA_EXPORT DAStatusObject : public CDictionaryModel {
    CPM_DECLARE_MODEL(DAStatusObject)
  public:
    DAStatusObject() = default;

    CPM_PROPERTY(VxStringPtr, code, setCode, cpm::Copy);
    CPM_PROPERTY(VxStringPtr, reason, setReason, cpm::Copy);

    // True only when the code is a non-empty text equal to "NoError".
    bool statusSuccess() const;
};

using DAStatusObjectPtr = std::shared_ptr<DAStatusObject>;
