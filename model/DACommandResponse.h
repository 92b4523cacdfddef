#pragma once
// A command or status reply for one device.

#include "model/CDictionaryModel.h"
#include "platform/VxExport.h"

class DA_EXPORT DACommandResponse : public CDictionaryModel {
    CPM_DECLARE_MODEL(DACommandResponse)
  public:
    DACommandResponse() = default;

    // Stored values (absent, the null marker or a value of the declared class:
    // texts for deviceId and command, numbers for testId and progress, a
    // dictionary for data).
    Id deviceId() const { return get("deviceId"); }
    void setDeviceId(const Id& v) { set("deviceId", v); }
    Id command() const { return get("command"); }
    void setCommand(const Id& v) { set("command", v); }
    Id testId() const { return get("testId"); }
    void setTestId(const Id& v) { set("testId", v); }
    Id data() const { return get("data"); }
    void setData(const Id& v) { set("data", v); }
    Id progress() const { return get("progress"); }
    void setProgress(const Id& v) { set("progress", v); }
};

using DACommandResponsePtr = std::shared_ptr<DACommandResponse>;
