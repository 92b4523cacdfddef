#include "device/DAUtilities.h"

#include <vector>

#include "platform/linux/VxApplicationInfo.h"
#include "platform/linux/VxDeviceAnswers.h"
#include "platform/linux/VxLog.h"
#include "platform/linux/VxSystem.h"

const char* const DADefaultDateFormat = "MM/DD/YYYY HH:MM:SS \xC2\xB1HHMM";

VX_DEFINE_CLASS(DAUtilities, VxObject, {});

namespace {

// Where each of the first `count` characters (code points) of UTF-8 text
// starts, and where the last of them ends: count + 1 byte offsets, so that
// slicing by character never cuts a multi-byte sequence. Fewer when the text
// has fewer characters.
std::vector<std::size_t> characterOffsets(std::string_view text, std::size_t count) {
    std::vector<std::size_t> offsets;
    offsets.reserve(count + 1);
    std::size_t i = 0;
    while (offsets.size() < count && i < text.size()) {
        offsets.push_back(i);
        const auto c = static_cast<unsigned char>(text[i]);
        i += c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    }
    offsets.push_back(std::min(i, text.size()));
    return offsets;
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
    const std::string_view serial = serialNumber->str();
    const std::vector<std::size_t> at = characterOffsets(serial, 12);
    if (at.size() < 13) return nullptr;
    const std::string uuid = VxUUIDString();
    // The canonical text: groups of 8, 4, 4, 4 and 12 digits at fixed places.
    if (uuid.size() != 36) return nullptr;
    const std::string_view u(uuid);
    const std::string_view groups[] = {u.substr(0, 8), u.substr(9, 4), u.substr(14, 4),
                                       u.substr(19, 4), u.substr(24, 12)};
    // Characters 3k to 3k+2 of the serial number.
    auto slice = [&](std::size_t k) { return serial.substr(at[3 * k], at[3 * k + 3] - at[3 * k]); };
    std::string out;
    out.reserve(uuid.size() + serial.size() + 4);
    for (std::string_view piece :
         {groups[0], slice(2), groups[1], slice(0), groups[2], slice(3), groups[3], slice(1)}) {
        out += piece;
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
