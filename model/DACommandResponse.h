#pragma once
// A command or status reply for one device.

#include "model/CDictionaryModel.h"
#include "platform/foundation/VxExport.h"

class DA_EXPORT DACommandResponse : public CDictionaryModel {
    CPM_DECLARE_MODEL(DACommandResponse)
  public:
    DACommandResponse() = default;

    CPM_PROPERTY(VxStringPtr, deviceId, setDeviceId, cpm::Copy);
    CPM_PROPERTY(VxStringPtr, command, setCommand, cpm::Copy);
    CPM_PROPERTY(VxNumberPtr, testId, setTestId, cpm::Copy);
    CPM_PROPERTY(VxDictionaryPtr, data, setData, cpm::Copy);
    CPM_PROPERTY(VxNumberPtr, progress, setProgress, cpm::Copy);
};

using DACommandResponsePtr = std::shared_ptr<DACommandResponse>;
