#include "service/DADiagnosticsSessionAvailability.h"

#include <mutex>

#include "Managers/DAConnectionManager.h"
#include "Managers/DALogging.h"
#include "platform/VxDeviceAnswers.h"
#include "platform/VxPreferences.h"

const char* const DAInCurrentSession = "IN_CURRENT_SESSION";

namespace {
std::mutex& availabilityMutex() {
    static std::mutex mutex;
    return mutex;
}
}  // namespace

VxExportedInterface DADiagnosticsSessionAvailabilityProtocolInterface() {
    VxExportedInterface exported(VxServiceEndpoint::kDefaultInterfaceName);
    exported.addMethod(VxServiceEndpoint::kCheckAvailabilityMethod, [](VxExportedObject& object,
                                                                       VxReplyBlock reply) {
        auto& target = dynamic_cast<DADiagnosticsSessionAvailabilityProtocol&>(object);
        target.checkAvailabilityWithReply([&reply](const VxStringPtr& text) {
            reply(text ? std::optional<std::string>(text->str()) : std::nullopt);
        });
    });
    return exported;
}

void DADiagnosticsSessionAvailability::checkAvailabilityWithReply(
    const DAAvailabilityReply& reply) {
    std::lock_guard<std::mutex> lock(availabilityMutex());
    reply(getSessionID());
}

VxStringPtr DADiagnosticsSessionAvailability::getSessionID() {
    VxStringPtr serialNumber =
        vx_cast<VxString>(VxDeviceAnswers::shared().copyAnswer("SerialNumber"));

    VxPreferences& prefs = VxPreferences::standard();
    prefs.synchronize(DAPreferencesDomain);
    VxStringPtr storedSessionID =
        vx_cast<VxString>(prefs.copyValue("currentSessionID", DAPreferencesDomain));

    DAConnectionManagerPtr manager = DAConnectionManager::sharedInstance();
    VxErrorPtr error;
    bool started = manager->sessionForSerialNumber(serialNumber, &error);

    if (error) {
        DALog(3, "Could not start session: %@", error);
        return nullptr;
    }
    if (!started) {
        DALog(3, "Could not start session for unknown reason");
        return nullptr;
    }
    VxStringPtr sessionID = manager->sessionIdStr();
    if (storedSessionID && sessionID && sessionID->str() == storedSessionID->str())
        return vxstr(DAInCurrentSession);
    return sessionID;
}
