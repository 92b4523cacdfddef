#pragma once
// What the system says about itself and about the device it runs on: the values
// every server request carries (platform name, application version and build),
// the device serial number and name, and the scrambling of a serial number into
// a UUID-shaped identifier and back.

#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/foundation/VxDateFormatter.h"
#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxValues.h"

// Pattern of the shared date formatter.
DA_EXPORT extern const char* const DADefaultDateFormat;  // "MM/DD/YYYY HH:MM:SS ±HHMM"

// The carrier bundle's information table and its build version key.
DA_EXPORT extern const char* const DACarrierBundleInfoFile;    // "Info.json"
DA_EXPORT extern const char* const DACarrierBundleVersionKey;  // "BundleVersion"

class DADeviceModel;
class DAUtilities;
using DAUtilitiesPtr = std::shared_ptr<DAUtilities>;

class DA_EXPORT DAUtilities : public VxObject {
    VX_DECLARE_CLASS(DAUtilities)
  public:
    // init: the version values from the build, "Kelo" as platform, no OS version
    // and the shared date formatter.
    DAUtilities();

    // The one instance, created on first use (thread-safe).
    static DAUtilitiesPtr sharedInstance();

    // Atomic properties; the texts are stored as given (texts are immutable).
    VxStringPtr applicationVersion() const;
    void setApplicationVersion(const VxStringPtr& value);
    VxStringPtr applicationBuild() const;
    void setApplicationBuild(const VxStringPtr& value);
    VxStringPtr appPlatform() const;
    void setAppPlatform(const VxStringPtr& value);
    VxStringPtr osVersion() const;
    void setOsVersion(const VxStringPtr& value);
    VxDateFormatterPtr dateFormatter() const;
    void setDateFormatter(const VxDateFormatterPtr& value);

    // The 52-character identifier U0-S2-U1-S0-U2-S3-U3-S1-U4 made of a fresh
    // random UUID's groups and four 3-character slices of the serial number;
    // nothing for a serial number shorter than 12 characters.
    VxStringPtr uuidHashFromString(const VxStringPtr& serialNumber) const;
    // The first twelve characters of the serial number carried by an identifier;
    // the empty text when the input is not an identifier.
    VxStringPtr serialNumberFromHash(const VxStringPtr& hash) const;

    // The device answer service's "SerialNumber"; nothing (and one system-log
    // line) when it has none.
    VxStringPtr getSerialNumberForPrimaryDevice() const;
    // The answer to "UserAssignedDeviceName", as given.
    Id getDeviceName() const;
    // The application's short version string and build number from the build.
    static VxStringPtr getDiagnosticsVersion();
    static VxStringPtr getDiagnosticsBuild();

    // --- Device facts (DAUtilities+Facts.cpp) ---
    // Device answer questions, each answered fresh and returned as the device
    // answer service gives it (a text unless noted), or nothing:
    Id getBluetoothAddress() const;         // "BluetoothAddress"
    Id getMEID() const;                     // "MobileEquipmentIdentifier"
    Id getWiFiAddress() const;              // "WifiAddress"
    Id getDeviceColor() const;              // "DeviceColor"
    Id getModelNumber() const;              // "ModelNumber"
    Id getIMEI() const;                     // "InternationalMobileEquipmentIdentity"
    Id getDeviceType() const;               // "ProductType"
    Id getBatteryLevel() const;             // "BatteryCurrentCapacity" (a number)
    Id getDeviceVersion() const;            // "ProductVersion"
    Id getBuildVersion() const;             // "BuildVersion"
    Id getCpuArchitecture() const;          // "CPUArchitecture"
    Id getMLBSerialNumber() const;          // "MLBSerialNumber"
    Id getICCID() const;                    // "IntegratedCircuitCardIdentifier"
    Id getBasebandFirmwareVersion() const;  // "BasebandFirmwareVersion"
    // True only when "BatteryIsCharging" is answered with a true value.
    bool isBatteryCharging() const;
    // The total data capacity in bytes from the "DiskUsage" table; nothing when
    // the table is missing or empty.
    Id getDiskCapacity() const;

    // Battery times in seconds from one battery usage query each; -1 when the
    // query fails.
    float getCurrentUsageTime() const;
    float getCurrentStandbyTime() const;
    // The build version of ~/Library/Carrier Bundle.bundle (links resolved): the
    // non-empty text DACarrierBundleVersionKey of the bundle's information table
    // DACarrierBundleInfoFile (a JSON object); nothing when any of it is missing.
    VxStringPtr getCarrierBundleVersion() const;
    // Seconds since the device started (/proc/uptime below DA_SYSFS_ROOT).
    double getSystemUptime() const;
    // Always 0.
    std::int64_t getWifiDeviceCount() const;
    // Now, formatted with dateFormatter (the date's default text without one).
    // With the default pattern: "12/07/2026 02:24:00 +0000" (month/day/year
    // hour:minute:second and the offset, as the pattern reads).
    VxStringPtr getCreatedDateString() const;

    // The value, or the null marker when it is absent.
    Id stringOrNullFromString(const VxStringPtr& text) const;
    Id numberOrNullFromNumber(const VxNumberPtr& number) const;
    Id dictionaryOrNullFromDictionary(const VxDictionaryPtr& dictionary) const;
    // The decimal text of a number (a text stays itself); the null marker for
    // nothing, the null marker or a value without a text form.
    Id stringOrNullFromNumber(const Id& value) const;

    // Serial numbers of auxiliary devices: always the empty list.
    VxArrayPtr getAuxSerialNumbers() const;
    // Serial identifiers of the auxiliary devices; nothing when there are none.
    VxArrayPtr getAuxHashedDeviceSerialNumberArray() const;

    // A new device record filled from every fact above; facts that cannot be
    // obtained are stored as the null marker so that the record serialises
    // every property.
    std::shared_ptr<DADeviceModel> deviceModelForDeviceId(const VxStringPtr& deviceId) const;

  private:
    mutable std::mutex mutex_;
    VxStringPtr applicationVersion_;
    VxStringPtr applicationBuild_;
    VxStringPtr appPlatform_;
    VxStringPtr osVersion_;
    mutable VxDateFormatterPtr dateFormatter_;
    mutable bool dateFormatterMade_ = false;
};
