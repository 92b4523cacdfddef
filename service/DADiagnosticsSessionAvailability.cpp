#include "service/DADiagnosticsSessionAvailability.h"

#include "Managers/DAConnectionManager.h"
#include "Managers/DALogging.h"
#include "platform/linux/VxDeviceAnswers.h"
#include "platform/linux/VxPreferences.h"

const char* const DAInCurrentSession = "IN_CURRENT_SESSION";

std::optional<std::string> DAReplyText(const VxStringPtr& text) {
    if (!text) return std::nullopt;
    // A bus text is UTF-8 without NUL; anything else would turn the reply into a
    // bus error, while the interface promises one optional text.
    const std::string& bytes = text->str();
    if (bytes.find('\0') != std::string::npos || !VxString::isValidUTF8(bytes)) {
        DALog(3, "Session identifier (%@ bytes) holds NUL or is not UTF-8; replying with nothing",
              vxstr(std::to_string(bytes.size())));
        return std::nullopt;
    }
    return bytes;
}

VxExportedInterface DADiagnosticsSessionAvailabilityProtocolInterface() {
    VxExportedInterface exported(VxServiceEndpoint::kDefaultInterfaceName);
    exported.addMethod(VxServiceEndpoint::kCheckAvailabilityMethod, [](VxExportedObject& object,
                                                                       VxReplyBlock reply) {
        auto& target = dynamic_cast<DADiagnosticsSessionAvailabilityProtocol&>(object);
        target.checkAvailabilityWithReply(
            [&reply](const VxStringPtr& text) { reply(DAReplyText(text)); });
    });
    return exported;
}

void DADiagnosticsSessionAvailability::checkAvailabilityWithReply(
    const DAAvailabilityReply& reply) {
    reply(getSessionID());
}

VxStringPtr DADiagnosticsSessionAvailability::getSessionID() {
    VxStringPtr serialNumber =
        vx_cast<VxString>(VxDeviceAnswers::shared().copyAnswer("SerialNumber"));

    VxPreferences& prefs = VxPreferences::standard();
    prefs.synchronize(DAPreferencesDomain);
    VxStringPtr storedSessionID =
        vx_cast<VxString>(prefs.copyValue("currentSessionID", DAPreferencesDomain));

    // The identifier this request's own session call obtained: the manager's
    // sessionIdStr slot is shared with requests running at the same time.
    VxErrorPtr error;
    VxStringPtr sessionID =
        DAConnectionManager::sharedInstance()->openSessionForSerialNumber(serialNumber, &error);

    if (error) {
        DALog(3, "Could not start session: %@", error);
        return nullptr;
    }
    if (!sessionID) {
        DALog(3, "Could not start session for unknown reason");
        return nullptr;
    }
    if (storedSessionID && sessionID->str() == storedSessionID->str())
        return vxstr(DAInCurrentSession);
    return sessionID;
}
