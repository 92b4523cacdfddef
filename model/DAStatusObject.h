#pragma once
// The "status" object of every server reply: a code and a reason.

#include "model/CDictionaryModel.h"
#include "platform/VxExport.h"

class DA_EXPORT DAStatusObject : public CDictionaryModel {
    CPM_DECLARE_MODEL(DAStatusObject)
  public:
    DAStatusObject() = default;

    // Stored values (absent, the null marker or a text).
    Id code() const { return get("code"); }
    void setCode(const Id& v) { set("code", v); }
    Id reason() const { return get("reason"); }
    void setReason(const Id& v) { set("reason", v); }

    // True only when the code is a non-empty text equal to "NoError".
    bool statusSuccess() const;
};

using DAStatusObjectPtr = std::shared_ptr<DAStatusObject>;
