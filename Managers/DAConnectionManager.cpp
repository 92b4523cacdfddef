#include "Managers/DAConnectionManager.h"

#include "Managers/DALogging.h"
#include "Managers/DAServers.h"
#include "device/DAUtilities.h"
#include "platform/foundation/VxDeferred.h"
#include "platform/foundation/VxJSON.h"
#include "platform/linux/VxPreferences.h"
#include "platform/linux/VxURLSession.h"
#include "requests/NUCRestResponse.h"

const char* const DALogName = "Diagnostics";
const char* const DAPreferencesDomain = "com.tarvo.Diagnostics";
const char* const DALogLevelKey = "DALogLevel";

const char* const DAServerURLInternalUAT = "http://uat.diagnostics.tarvo.com/kelo/v1.01/";
const char* const DAServerURLInternalIT = "http://it.diagnostics.tarvo.com/kelo/v1.01/";
const char* const DAServerURLInternalQA = "http://qa.diagnostics.tarvo.com/kelo/v1.01/";
const char* const DAServerURLDevelopment =
    "https://dev.diagnostics.tarvo.com/r2-zet/services/devices/v1/";
const char* const DAServerURLProduction = "https://diagnostics.tarvo.com/kelo/v1.01/";

const char* const DAConnectionErrorDomain = "DAConnectionErrorDomain";

VX_DEFINE_CLASS(DAConnectionManager, VxObject, {});

namespace {

// The body of a request or reply as text for the dumps: nothing when there is
// none or it is not UTF-8.
VxStringPtr utf8Text(const VxDataPtr& data) {
    if (!data) return nullptr;
    return VxString::stringWithUTF8Bytes(data->bytes(), data->length());
}

}  // namespace

DAConnectionManager::DAConnectionManager() {
    VxStringPtr baseURL = getServerBaseURL();
    auto generator = NUCURLRequestGenerator::generator();
    generator->setCachePolicy(VxURLRequestReloadIgnoringLocalAndRemoteCacheData);
    generator->setTimeoutInterval(30.0);
    generator->setShouldHandleCookies(false);
    generator->setBaseURLPath(baseURL);
    generator->setDefaultValue(vxstr("application/json; charset=UTF-8"), vxstr("Content-Type"));
    generator->setDefaultValue(vxstr("application/json"), vxstr("Accept"));
    dacRequestGenerator_ = generator;
    sessionIdStr_ = nullptr;
}

DAConnectionManagerPtr DAConnectionManager::sharedInstance() {
    static const DAConnectionManagerPtr instance = std::make_shared<DAConnectionManager>();
    return instance;
}

VxStringPtr DAConnectionManager::sessionIdStr() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sessionIdStr_;
}

void DAConnectionManager::setSessionIdStr(const VxStringPtr& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    sessionIdStr_ = value;
}

void DAConnectionManager::setTransferObserver(DATransferObserver observer) {
    std::lock_guard<std::mutex> lock(mutex_);
    transferObserver_ = std::move(observer);
}

DATransferObserver DAConnectionManager::transferObserver() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return transferObserver_;
}

namespace {

// Readers of the last synchronized server settings.
std::uint64_t serverSelectionIn(VxPreferences& prefs) {
    return prefs.unsignedIntegerValue("Server", DAPreferencesDomain);
}

VxStringPtr customServerURLIn(VxPreferences& prefs) {
    return vx_cast<VxString>(prefs.copyValue("CustomServerURL", DAPreferencesDomain));
}

}  // namespace

std::uint64_t DAConnectionManager::getServerSelection() const {
    VxPreferences& prefs = VxPreferences::standard();
    prefs.synchronize(DAPreferencesDomain);
    return serverSelectionIn(prefs);
}

VxStringPtr DAConnectionManager::getCustomServerURL() const {
    VxPreferences& prefs = VxPreferences::standard();
    prefs.synchronize(DAPreferencesDomain);
    return customServerURLIn(prefs);
}

VxStringPtr DAConnectionManager::getServerBaseURL() const {
    // One synchronize serves both settings: they come from the same file.
    VxPreferences& prefs = VxPreferences::standard();
    prefs.synchronize(DAPreferencesDomain);
    const std::uint64_t server = serverSelectionIn(prefs);
    VxStringPtr custom = customServerURLIn(prefs);  // read on every call, used only for 5
    switch (server) {
        case 1:
            return vxstr(DAServerURLInternalUAT);
        case 2:
            return vxstr(DAServerURLInternalIT);
        case 3:
            return vxstr(DAServerURLInternalQA);
        case 4:
            return vxstr(DAServerURLDevelopment);
        case 5:
            if (custom && !custom->empty()) return custom;
            return vxstr(DAServerURLProduction);
        default:
            return vxstr(DAServerURLProduction);
    }
}

VxMutableURLRequestPtr DAConnectionManager::prepareURLRequestForMethod(
    const VxStringPtr& method, const VxStringPtr& atURLString, const Id& withJSONObject,
    const VxDataPtr& orData, const VxURLPtr& orFileURL, std::uint64_t* outLength,
    const Id& andAdditionalHeaders, VxErrorPtr* forError) const {
    (void)orData;
    (void)orFileURL;
    (void)outLength;
    NUCURLRequestGeneratorPtr generator =
        dacRequestGenerator_ ? dacRequestGenerator_->copyGenerator() : NUCURLRequestGeneratorPtr();
    if (!generator) return nullptr;
    vx::releaseLater(generator);

    VxURLPtr base = generator->baseURL();
    generator->setDefaultValue(base ? base->host() : nullptr, vxstr("Host"));

    VxErrorPtr buildError;
    VxMutableURLRequestPtr request;
    if (withJSONObject && !vx::isNull(withJSONObject)) {
        request =
            generator->requestWithMethod(method, atURLString, Id(), withJSONObject, &buildError);
    } else {
        request = generator->requestWithMethod(method, atURLString, Id(), false, &buildError);
    }
    vxSetError(forError, buildError);
    if (!request) return nullptr;

    auto headers = vx_cast<VxDictionary>(andAdditionalHeaders);
    if (headers && !headers->empty()) {
        headers->enumerateKeysAndObjects([&](const Id& key, const Id& value) {
            auto name = vx::nonEmptyString(key);
            auto text = vx_cast<VxString>(value);
            if (name && text) request->setValue(text, name->str());
        });
    }
    return request;
}

VxDictionaryPtr DAConnectionManager::responseDictionaryFromRequest(const VxURLRequestPtr& request,
                                                                   VxErrorPtr* error) const {
    vxSetError(error, nullptr);
    if (!request) return nullptr;

    DALog(7, "Request Headers: %@", request->allHTTPHeaderFields());
    DALog(7, "Request body: %@", utf8Text(request->HTTPBody()));

    // The caller waits for the whole exchange: the request's timeout bounds it
    // as a whole, not only its idle stretches, and the reply is held in memory.
    VxURLLoadOptions limits;
    limits.deadline = request->timeoutInterval() > 0 ? request->timeoutInterval() : 30.0;
    limits.maxBodyLength = DAMaxReplyBodyLength;
    VxURLResponsePtr response;
    VxErrorPtr transportError;
    VxDataPtr data =
        VxURLSession::sendSynchronousRequest(request, &response, limits, &transportError);

    vx::releaseLater(response);
    vx::releaseLater(data);
    auto http = vx_cast<VxHTTPURLResponse>(response);
    DALog(7, "Response Headers: %@", http ? http->allHeaderFields() : VxDictionaryPtr());
    DALog(7, "Response body: %@", utf8Text(data));

    if (transportError) {
        vxSetError(error, transportError);
        return nullptr;
    }
    // Only the status decides here: the reply's header table is not needed.
    if (!http) return nullptr;
    if (VxErrorPtr statusError = NUCRestResponse::errorForStatusCode(http->statusCode())) {
        vxSetError(error, statusError);
        return nullptr;
    }
    // An empty body is no reply at all, not malformed JSON.
    if (!data || data->length() == 0) return nullptr;

    // Well-formed JSON that is not an object (null, an array, a bare value) is a
    // rejected reply without an error; only malformed text is a parse error.
    VxErrorPtr parseError;
    Id parsed =
        VxJSONSerialization::JSONObjectWithData(data, VxJSONReadingFragmentsAllowed, &parseError);
    if (parseError) {
        vxSetError(error, parseError);
        return nullptr;
    }
    auto reply = vx_cast<VxDictionary>(parsed);
    if (!reply) return nullptr;
    if (!validateResponse(reply)) return nullptr;
    return reply;
}

bool DAConnectionManager::validResponseString(const Id& text) const {
    auto s = vx::nonEmptyString(text);
    if (!s) return false;
    const std::string& v = s->str();
    return v == "SessionSuccess" || v == "EnrollSuccess" || v == "ProfileSuccess";
}

bool DAConnectionManager::validateResponse(const Id& response, VxErrorPtr* error) const {
    vxSetError(error, nullptr);
    auto reply = vx_cast<VxDictionary>(response);
    if (!reply) return false;
    bool statusOK = false;
    if (auto status = vx_cast<VxDictionary>(reply->objectForKey("status"));
        status && !status->empty()) {
        auto code = vx::nonEmptyString(status->objectForKey("code"));
        statusOK = code && code->str() == "NoError";
    }
    return validResponseString(reply->objectForKey("response")) || statusOK;
}

VxDictionaryPtr DAConnectionManager::performProtocolCall(const char* tag, const char* method,
                                                         const VxStringPtr& path,
                                                         const Id& jsonBody,
                                                         const VxDictionaryPtr& headers,
                                                         VxErrorPtr* error) const {
    VxErrorPtr failure;
    VxDictionaryPtr reply;
    VxErrorPtr prepareError;
    VxMutableURLRequestPtr request = prepareURLRequestForMethod(
        vxstr(method), path, jsonBody, nullptr, nullptr, nullptr, headers, &prepareError);
    if (!request || prepareError) {
        failure = prepareError;
    } else {
        VxErrorPtr exchangeError;
        reply = responseDictionaryFromRequest(request, &exchangeError);
        if (!reply || exchangeError) {
            reply = nullptr;
            failure = exchangeError;
        }
    }
    if (failure) DALog(3, "%@ <ERROR> %@", tag, failure->localizedDescription());
    vxSetError(error, failure);
    // A service call answers before these go (see VxDeferredScope).
    vx::releaseLater(request);
    vx::releaseLater(reply);
    return reply;
}

bool DAConnectionManager::sessionForSerialNumber(const VxStringPtr& serialNumber,
                                                 VxErrorPtr* error) {
    return openSessionForSerialNumber(serialNumber, error) != nullptr;
}

VxStringPtr DAConnectionManager::openSessionForSerialNumber(const VxStringPtr& serialNumber,
                                                            VxErrorPtr* error) {
    vxSetError(error, nullptr);
    if (!serialNumber || serialNumber->empty()) return nullptr;

    DAUtilitiesPtr utilities = DAUtilities::sharedInstance();
    VxStringPtr identifier = utilities->uuidHashFromString(serialNumber);
    VxStringPtr platform = utilities->appPlatform();
    VxStringPtr version = utilities->applicationVersion();
    if (!identifier || !platform || !version) return nullptr;
    auto body = VxDictionary::dictionaryWithPairs(
        {{"identifier", identifier}, {"platform", platform}, {"appVersion", version}});
    vx::releaseLater(body);

    DALog(6, "[Session] > Serial: %@ Platform:%@ Version: %@", serialNumber, platform, version);

    VxErrorPtr failure;
    VxDictionaryPtr reply =
        performProtocolCall("[Session]", "POST", vxstr("session"), body, nullptr, &failure);
    if (!reply) {
        vxSetError(error, failure);
        return nullptr;
    }
    Id sessionId = reply->objectForKey("sessionId");
    setSessionIdStr(vx_cast<VxString>(sessionId));
    DALog(6, "[Session] < Session ID: %@", sessionId);
    return vx::nonEmptyString(sessionId);
}
