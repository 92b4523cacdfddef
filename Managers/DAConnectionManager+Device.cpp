// The device calls of the server client: enrolment, profiles, client status,
// command polling and results. Each identifies the session through
// "Diagnostic-Session-ID" and runs through performProtocolCall.
#include <string>

#include "Managers/DAConnectionManager.h"
#include "Managers/DALogging.h"
#include "model/DACommandResponse.h"
#include "model/DADeviceModel.h"

namespace {

// The header table carrying the session identifier (and the device identifier
// when one is given), or nothing when no session is held: without a session
// the server cannot place the call, so the call is refused before anything is
// sent.
VxDictionaryPtr sessionHeaders(const DAConnectionManager& manager,
                               const VxStringPtr& deviceId = nullptr) {
    VxStringPtr session = vx::nonEmptyString(manager.sessionIdStr());
    if (!session) return nullptr;
    auto headers = VxMutableDictionary::dictionary();
    headers->setObject(session, "Diagnostic-Session-ID");
    if (deviceId) headers->setObject(deviceId, "Diagnostic-Device-ID");
    return headers;
}

}  // namespace

VxDictionaryPtr DAConnectionManager::enrollArrayOfDeviceSNs(const VxArrayPtr& serialNumbers,
                                                            VxErrorPtr* error) {
    vxSetError(error, nullptr);
    if (!serialNumbers || serialNumbers->empty()) return nullptr;
    VxDictionaryPtr headers = sessionHeaders(*this);
    if (!headers) return nullptr;

    DALog(6, "[Enroll] > Serials: %@", serialNumbers);
    VxDictionaryPtr reply =
        performProtocolCall("[Enroll]", "POST", vxstr("enroll"), serialNumbers, headers, error);
    if (!reply) return nullptr;

    auto devices = vx_cast<VxDictionary>(reply->objectForKey("devices"));
    DALog(6, "[Enroll] < Devices IDs: %@", [&] {
        std::string ids;
        if (devices)
            devices->enumerateKeysAndObjects(
                [&](const Id& key, const Id& value) { ids += vx::format("%@: %@", key, value); });
        return ids;
    }());
    return devices;
}

VxDictionaryPtr DAConnectionManager::sendProfilesForDevices(const VxArrayPtr& devices,
                                                            VxErrorPtr* error) {
    vxSetError(error, nullptr);
    if (!devices || devices->empty()) return nullptr;
    VxDictionaryPtr headers = sessionHeaders(*this);
    if (!headers) return nullptr;

    auto profiles = VxMutableArray::arrayWithCapacity(devices->count());
    for (const Id& element : *devices) {
        auto record = vx_cast<CDictionaryModel>(element);
        VxDictionaryPtr profile = record ? record->dictionary() : nullptr;
        if (profile && !profile->empty()) profiles->addObject(profile);
    }

    DALog(6, "[Profile] > Devices array count: %@ ",
          VxNumber::numberWithUnsignedLong(devices->count()));
    VxDictionaryPtr reply = performProtocolCall("[Profiles]", "POST", vxstr("profile"),
                                                profiles->copy(), headers, error);
    if (!reply) return nullptr;

    auto accepted = vx_cast<VxDictionary>(reply->objectForKey("devices"));
    DALog(6, "[Profile] < Devices accepted: %@", [&] {
        std::string keys;
        if (accepted) {
            for (const Id& key : accepted->keys()) {
                if (!keys.empty()) keys += ' ';
                keys += vx::textOf(key);
            }
        }
        return keys;
    }());
    return accepted;
}

DACommandResponsePtr DAConnectionManager::sendClientStatus(const DADeviceModelPtr& device,
                                                           VxErrorPtr* error) {
    vxSetError(error, nullptr);
    DALog(6, "[Status] > DeviceID: %@ Test: %@ Status: %@ Progress: %@%% ",
          device ? device->deviceId() : Id(), device ? device->currentTest() : Id(),
          device ? device->clientStatus() : VxStringPtr(),
          device ? device->progress() : VxNumberPtr());
    VxDictionaryPtr headers = sessionHeaders(*this);
    if (!headers) return nullptr;

    // An absent record is sent as a POST without a body.
    Id body = device ? Id(device->dictionary()) : Id();
    VxDictionaryPtr reply =
        performProtocolCall("[STATUS]", "POST", vxstr("clientstatus"), body, headers, error);
    if (!reply) return nullptr;

    auto response = DACommandResponse::modelWithDictionary(reply->objectForKey("statusResponse"));
    DALog(6, "[Command] < DeviceID: %@ Command: %@ TestId: %@ data: %@ progress: %@",
          response->deviceId(), response->command(), response->testId(), response->data(),
          response->progress());
    return response;
}

DACommandResponsePtr DAConnectionManager::getCommandForDeviceId(const VxStringPtr& deviceId,
                                                                VxErrorPtr* error) {
    vxSetError(error, nullptr);
    if (!deviceId || deviceId->empty()) return nullptr;
    VxDictionaryPtr headers = sessionHeaders(*this, deviceId);
    if (!headers) return nullptr;

    DALog(6, "[Command] > DeviceID: %@ GET COMMAND", deviceId);
    VxDictionaryPtr reply =
        performProtocolCall("[Command]", "GET", vxstr("command"), nullptr, headers, error);
    if (!reply) return nullptr;

    auto response = DACommandResponse::modelWithDictionary(reply);
    DALog(6, "[Command] < DeviceID: %@ Command: %@ TestId: %@ Data: %@", response->deviceId(),
          response->command(), response->testId(), response->data());
    return response;
}

bool DAConnectionManager::sendResultsObject(const CDictionaryModelPtr& results, VxErrorPtr* error) {
    vxSetError(error, nullptr);
    if (!results) return false;
    VxDictionaryPtr body = results->dictionary();
    if (!body) return false;
    VxDictionaryPtr headers = sessionHeaders(*this);
    if (!headers) return false;

    // Preparation writes nothing to the log, so this line stands where it would
    // after preparing the request.
    DALog(6, "[Results] > %@", body);
    VxDictionaryPtr reply =
        performProtocolCall("[Results]", "POST", vxstr("results"), body, headers, error);
    if (!reply) return false;

    DALog(6, "[Results] < %@", reply->objectForKey("code"));
    return true;
}
