#pragma once
// The description of one device as sent to the server (its device profile),
// plus per-test state that lives in the object and never reaches the profile.

#include <mutex>

#include "model/CDictionaryModel.h"
#include "platform/foundation/VxExport.h"

class DA_EXPORT DADeviceModel : public CDictionaryModel {
    CPM_DECLARE_MODEL(DADeviceModel)
  public:
    DADeviceModel();

    // Runs the dictionary-backed initialisation, then resets every field to its
    // default: hashedSNString none, primaryDevice false, clientStatus "Idle",
    // currentTest the null marker, progress 0, testResults and testFileName
    // none.
    std::shared_ptr<CDictionaryModel> initWithDictionary(const Id& dictionary) override;
    // Resets the per-test fields (clientStatus, currentTest, progress,
    // testResults, testFileName); everything else keeps its value.
    void dropData();

    // The device profile, in declaration order: stored in the dictionary and
    // sent under these names. A text property may hold the null marker for a
    // fact that could not be obtained (it encodes as JSON null).
    CPM_PROPERTY(VxStringPtr, deviceId, setDeviceId, cpm::Copy);
    CPM_PROPERTY(VxStringPtr, deviceName, setDeviceName, cpm::Copy);
    CPM_PROPERTY(VxStringPtr, nandCapacity, setNandCapacity, cpm::Copy);
    CPM_PROPERTY(VxStringPtr, meid, setMeid, cpm::Copy);
    CPM_PROPERTY(VxStringPtr, imei, setImei, cpm::Copy);
    CPM_PROPERTY(VxStringPtr, wifiAddress, setWifiAddress, cpm::Copy);
    CPM_PROPERTY(VxStringPtr, bluetoothAddress, setBluetoothAddress, cpm::Copy);
    CPM_PROPERTY(VxStringPtr, iccid, setIccid, cpm::Copy);
    CPM_PROPERTY(VxStringPtr, basebandVersion, setBasebandVersion, cpm::Copy);
    CPM_PROPERTY(VxStringPtr, modelNumber, setModelNumber, cpm::Copy);
    CPM_PROPERTY(VxStringPtr, deviceColor, setDeviceColor, cpm::Copy);
    CPM_PROPERTY(VxStringPtr, deviceType, setDeviceType, cpm::Copy);
    CPM_PROPERTY(VxStringPtr, cpuArchitecture, setCpuArchitecture, cpm::Copy);
    CPM_PROPERTY(bool, hasBaseband, setHasBaseband);
    CPM_PROPERTY(VxStringPtr, mlbSerialNumber, setMlbSerialNumber, cpm::Copy);
    CPM_PROPERTY(VxStringPtr, currentBatteryLevel, setCurrentBatteryLevel, cpm::Copy);
    CPM_PROPERTY(bool, isBatteryCharging, setIsBatteryCharging);
    CPM_PROPERTY(VxStringPtr, systemVersion, setSystemVersion, cpm::Copy);
    CPM_PROPERTY(VxStringPtr, systemBuild, setSystemBuild, cpm::Copy);
    CPM_PROPERTY(VxStringPtr, diagnosticsVersion, setDiagnosticsVersion, cpm::Copy);
    CPM_PROPERTY(VxStringPtr, diagnosticsBuild, setDiagnosticsBuild, cpm::Copy);
    CPM_PROPERTY(VxStringPtr, carrierBundleVersion, setCarrierBundleVersion, cpm::Copy);
    CPM_PROPERTY(VxStringPtr, systemUptime, setSystemUptime, cpm::Copy);
    CPM_PROPERTY(VxStringPtr, currentStandbyTime, setCurrentStandbyTime, cpm::Copy);
    CPM_PROPERTY(VxStringPtr, currentUsageTime, setCurrentUsageTime, cpm::Copy);

    // Fields kept in the object, never in the profile; their accessors below
    // are written by hand (also reachable by name, see registerAccessors).
    CPM_FIELD(bool, primaryDevice, cpm::Nonatomic, cpm::getter("isPrimaryDevice"));
    CPM_FIELD(VxStringPtr, hashedSNString, cpm::Copy, cpm::Nonatomic);
    CPM_FIELD(VxStringPtr, clientStatus, cpm::Copy);
    CPM_FIELD(VxStringPtr, currentTest, cpm::Copy);
    CPM_FIELD(VxNumberPtr, progress, cpm::Retain);
    CPM_FIELD(Id, testResults, cpm::Retain);
    CPM_FIELD(VxStringPtr, testFileName, cpm::Copy);

    // primaryDevice and hashedSNString are plain; the others are read and
    // written atomically.
    bool isPrimaryDevice() const { return primaryDevice_; }
    void setPrimaryDevice(bool v) { primaryDevice_ = v; }
    VxStringPtr hashedSNString() const { return hashedSNString_; }
    void setHashedSNString(const VxStringPtr& v) { hashedSNString_ = v; }
    VxStringPtr clientStatus() const;
    void setClientStatus(const VxStringPtr& v);
    // A text, or the null marker when no test runs.
    Id currentTest() const;
    void setCurrentTest(const Id& v);
    VxNumberPtr progress() const;
    void setProgress(const VxNumberPtr& v);
    Id testResults() const;
    void setTestResults(const Id& v);
    VxStringPtr testFileName() const;
    void setTestFileName(const VxStringPtr& v);

    // The fields' accessors by name ("isPrimaryDevice", "setClientStatus:", ...).
    static void registerAccessors(CPropertyAccessorTable& table);

  private:
    void resetTestFields();

    bool primaryDevice_ = false;
    VxStringPtr hashedSNString_;
    mutable std::mutex fieldsLock_;
    VxStringPtr clientStatus_;
    Id currentTest_;
    VxNumberPtr progress_;
    Id testResults_;
    VxStringPtr testFileName_;
};

using DADeviceModelPtr = std::shared_ptr<DADeviceModel>;
