#pragma once
// What the system says about itself and about the device it runs on: the values
// every server request carries (platform name, application version and build),
// the device serial number and name, and the scrambling of a serial number into
// a UUID-shaped identifier and back.

#include <memory>
#include <mutex>

#include "platform/VxDateFormatter.h"
#include "platform/VxValues.h"

// Pattern of the shared date formatter.
extern const char* const DADefaultDateFormat;  // "MM/DD/YYYY HH:MM:SS ±HHMM"

class DAUtilities;
using DAUtilitiesPtr = std::shared_ptr<DAUtilities>;

class DAUtilities : public VxObject {
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

  private:
    mutable std::mutex mutex_;
    VxStringPtr applicationVersion_;
    VxStringPtr applicationBuild_;
    VxStringPtr appPlatform_;
    VxStringPtr osVersion_;
    VxDateFormatterPtr dateFormatter_;
};
