#pragma once
// The description of one device as sent to the server (its device profile),
// plus per-test state that lives in the object and never reaches the profile.

#include <mutex>

#include "model/CDictionaryModel.h"
#include "platform/VxExport.h"

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

    // Stored properties. Object getters return the stored value itself, which
    // may be the null marker for facts that could not be obtained.
    Id deviceId() const { return get("deviceId"); }
    void setDeviceId(const Id& v) { set("deviceId", v); }
    Id deviceName() const { return get("deviceName"); }
    void setDeviceName(const Id& v) { set("deviceName", v); }
    Id nandCapacity() const { return get("nandCapacity"); }
    void setNandCapacity(const Id& v) { set("nandCapacity", v); }
    Id meid() const { return get("meid"); }
    void setMeid(const Id& v) { set("meid", v); }
    Id imei() const { return get("imei"); }
    void setImei(const Id& v) { set("imei", v); }
    Id wifiAddress() const { return get("wifiAddress"); }
    void setWifiAddress(const Id& v) { set("wifiAddress", v); }
    Id bluetoothAddress() const { return get("bluetoothAddress"); }
    void setBluetoothAddress(const Id& v) { set("bluetoothAddress", v); }
    Id iccid() const { return get("iccid"); }
    void setIccid(const Id& v) { set("iccid", v); }
    Id basebandVersion() const { return get("basebandVersion"); }
    void setBasebandVersion(const Id& v) { set("basebandVersion", v); }
    Id modelNumber() const { return get("modelNumber"); }
    void setModelNumber(const Id& v) { set("modelNumber", v); }
    Id deviceColor() const { return get("deviceColor"); }
    void setDeviceColor(const Id& v) { set("deviceColor", v); }
    Id deviceType() const { return get("deviceType"); }
    void setDeviceType(const Id& v) { set("deviceType", v); }
    Id cpuArchitecture() const { return get("cpuArchitecture"); }
    void setCpuArchitecture(const Id& v) { set("cpuArchitecture", v); }
    bool hasBaseband() const { return getScalar<bool>("hasBaseband"); }
    void setHasBaseband(bool v) { setScalar("hasBaseband", v); }
    Id mlbSerialNumber() const { return get("mlbSerialNumber"); }
    void setMlbSerialNumber(const Id& v) { set("mlbSerialNumber", v); }
    Id currentBatteryLevel() const { return get("currentBatteryLevel"); }
    void setCurrentBatteryLevel(const Id& v) { set("currentBatteryLevel", v); }
    bool isBatteryCharging() const { return getScalar<bool>("isBatteryCharging"); }
    void setIsBatteryCharging(bool v) { setScalar("isBatteryCharging", v); }
    Id systemVersion() const { return get("systemVersion"); }
    void setSystemVersion(const Id& v) { set("systemVersion", v); }
    Id systemBuild() const { return get("systemBuild"); }
    void setSystemBuild(const Id& v) { set("systemBuild", v); }
    Id diagnosticsVersion() const { return get("diagnosticsVersion"); }
    void setDiagnosticsVersion(const Id& v) { set("diagnosticsVersion", v); }
    Id diagnosticsBuild() const { return get("diagnosticsBuild"); }
    void setDiagnosticsBuild(const Id& v) { set("diagnosticsBuild", v); }
    Id carrierBundleVersion() const { return get("carrierBundleVersion"); }
    void setCarrierBundleVersion(const Id& v) { set("carrierBundleVersion", v); }
    Id systemUptime() const { return get("systemUptime"); }
    void setSystemUptime(const Id& v) { set("systemUptime", v); }
    Id currentStandbyTime() const { return get("currentStandbyTime"); }
    void setCurrentStandbyTime(const Id& v) { set("currentStandbyTime", v); }
    Id currentUsageTime() const { return get("currentUsageTime"); }
    void setCurrentUsageTime(const Id& v) { set("currentUsageTime", v); }

    // Fields kept in the object. primaryDevice and hashedSNString are plain;
    // the others are read and written atomically.
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
