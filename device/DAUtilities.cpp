#include "device/DAUtilities.h"

#include <vector>

#include "platform/linux/VxApplicationInfo.h"
#include "platform/linux/VxDeviceAnswers.h"
#include "platform/linux/VxLog.h"
#include "platform/linux/VxSystem.h"

const char* const DADefaultDateFormat = "MM/DD/YYYY HH:MM:SS \xC2\xB1HHMM";

VX_DEFINE_CLASS(DAUtilities, VxObject, {});

namespace {

// Splits UTF-8 text into its characters (code points), so that slicing by
// character never cuts a multi-byte sequence.
std::vector<std::string> characters(const std::string& text) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t n = 1;
        auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0xF0)
            n = 4;
        else if (c >= 0xE0)
            n = 3;
        else if (c >= 0xC0)
            n = 2;
        out.push_back(text.substr(i, n));
        i += n;
    }
    return out;
}

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        std::size_t pos = text.find(sep, start);
        out.push_back(text.substr(start, pos - start));
        if (pos == std::string::npos) break;
        start = pos + 1;
    }
    return out;
}

}  // namespace

DAUtilities::DAUtilities()
    : applicationVersion_(getDiagnosticsVersion()),
      applicationBuild_(getDiagnosticsBuild()),
      appPlatform_(vxstr("Kelo")) {}

DAUtilitiesPtr DAUtilities::sharedInstance() {
    static const DAUtilitiesPtr instance = std::make_shared<DAUtilities>();
    return instance;
}

#define DA_ATOMIC_PROPERTY(Type, getter, setter, field) \
    Type DAUtilities::getter() const {                  \
        std::lock_guard<std::mutex> lock(mutex_);       \
        return field;                                   \
    }                                                   \
    void DAUtilities::setter(const Type& value) {       \
        std::lock_guard<std::mutex> lock(mutex_);       \
        field = value;                                  \
    }

DA_ATOMIC_PROPERTY(VxStringPtr, applicationVersion, setApplicationVersion, applicationVersion_)
DA_ATOMIC_PROPERTY(VxStringPtr, applicationBuild, setApplicationBuild, applicationBuild_)
DA_ATOMIC_PROPERTY(VxStringPtr, appPlatform, setAppPlatform, appPlatform_)
DA_ATOMIC_PROPERTY(VxStringPtr, osVersion, setOsVersion, osVersion_)
// The date formatter is made on first use: it loads the locale data, which most
// callers (the session call among them) never need.
VxDateFormatterPtr DAUtilities::dateFormatter() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!dateFormatterMade_) {
        dateFormatterMade_ = true;
        if (auto formatter = VxDateFormatter::formatter()) {
            formatter->setDateFormat(DADefaultDateFormat);
            formatter->setLocaleIdentifier("en_US_POSIX");
            formatter->setTimeZoneSecondsFromGMT(0);
            formatter->setFormatterBehavior(VxDateFormatterBehavior10_4);
            formatter->setTimeStyle(VxDateFormatterNoStyle);
            dateFormatter_ = formatter;
        }
    }
    return dateFormatter_;
}

void DAUtilities::setDateFormatter(const VxDateFormatterPtr& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    dateFormatter_ = value;
    dateFormatterMade_ = true;
}

#undef DA_ATOMIC_PROPERTY

VxStringPtr DAUtilities::uuidHashFromString(const VxStringPtr& serialNumber) const {
    if (!serialNumber) return nullptr;
    std::vector<std::string> chars = characters(serialNumber->str());
    if (chars.size() < 12) return nullptr;
    std::vector<std::string> groups = split(VxUUIDString(), '-');
    if (groups.size() < 5) return nullptr;
    auto slice = [&](std::size_t from) { return chars[from] + chars[from + 1] + chars[from + 2]; };
    std::string s0 = slice(0), s1 = slice(3), s2 = slice(6), s3 = slice(9);
    std::string out;
    out.reserve(56);
    for (const std::string* piece :
         {&groups[0], &s2, &groups[1], &s0, &groups[2], &s3, &groups[3], &s1}) {
        out += *piece;
        out += '-';
    }
    out += groups[4];
    return vxstr(std::move(out));
}

VxStringPtr DAUtilities::serialNumberFromHash(const VxStringPtr& hash) const {
    if (!hash || hash->length() != 52) return vxstr("");
    std::vector<std::string> pieces = split(hash->str(), '-');
    if (pieces.size() < 8) return vxstr("");
    return vxstr(pieces[3] + pieces[7] + pieces[1] + pieces[5]);
}

VxStringPtr DAUtilities::getSerialNumberForPrimaryDevice() const {
    Id answer = VxDeviceAnswers::shared().copyAnswer("SerialNumber");
    VxStringPtr serial = vx::nonEmptyString(answer);
    if (!serial) {
        VxSystemLog("Diagnostics: the device answer service gave no serial number (SerialNumber)");
        return nullptr;
    }
    return serial;
}

Id DAUtilities::getDeviceName() const {
    return VxDeviceAnswers::shared().copyAnswer("UserAssignedDeviceName");
}

VxStringPtr DAUtilities::getDiagnosticsVersion() {
    return VxApplicationInfo::shortVersionString();
}

VxStringPtr DAUtilities::getDiagnosticsBuild() {
    return VxApplicationInfo::buildVersion();
}
