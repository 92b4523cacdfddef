#include "Knobs.h"

#include <array>
#include <utility>

namespace refserver {

namespace {

using json = nlohmann::json;

constexpr std::array<std::pair<Envelope, const char*>, 5> kEnvelopeNames{{
    {Envelope::Response, "response"},
    {Envelope::Status, "status"},
    {Envelope::Both, "both"},
    {Envelope::None, "none"},
    {Envelope::StatusEmpty, "status-empty"},
}};

constexpr std::array<std::pair<BodyMode, const char*>, 6> kBodyNames{{
    {BodyMode::Envelope, "envelope"},
    {BodyMode::Array, "array"},
    {BodyMode::Null, "null"},
    {BodyMode::Invalid, "invalid"},
    {BodyMode::Empty, "empty"},
    {BodyMode::Raw, "raw"},
}};

template <typename T>
void take(std::optional<T>& dst, const std::optional<T>& src) {
    if (src) dst = src;
}

bool readBool(const json& v, const char* name, std::optional<bool>& out, std::string& error) {
    if (!v.is_boolean()) {
        error = std::string("knob \"") + name + "\" must be true or false";
        return false;
    }
    out = v.get<bool>();
    return true;
}

bool readText(const json& v, const char* name, std::optional<std::string>& out,
              std::string& error) {
    if (!v.is_string()) {
        error = std::string("knob \"") + name + "\" must be a text";
        return false;
    }
    out = v.get<std::string>();
    return true;
}

bool readInt(const json& v, const char* name, int lo, int hi, std::optional<int>& out,
             std::string& error) {
    if (!v.is_number_integer() || v.get<long long>() < lo || v.get<long long>() > hi) {
        error = std::string("knob \"") + name + "\" must be an integer from " + std::to_string(lo) +
                " to " + std::to_string(hi);
        return false;
    }
    out = static_cast<int>(v.get<long long>());
    return true;
}

bool readInt64(const json& v, const char* name, long long lo, long long hi,
               std::optional<long long>& out, std::string& error) {
    if (!v.is_number_integer() || v.get<long long>() < lo || v.get<long long>() > hi) {
        error = std::string("knob \"") + name + "\" must be an integer from " + std::to_string(lo) +
                " to " + std::to_string(hi);
        return false;
    }
    out = v.get<long long>();
    return true;
}

}  // namespace

std::optional<Envelope> envelopeFromName(const std::string& name) {
    for (const auto& [e, n] : kEnvelopeNames)
        if (name == n) return e;
    return std::nullopt;
}

std::string envelopeName(Envelope e) {
    for (const auto& [v, n] : kEnvelopeNames)
        if (v == e) return n;
    return "?";
}

static std::string bodyName(BodyMode b) {
    for (const auto& [v, n] : kBodyNames)
        if (v == b) return n;
    return "?";
}

void Knobs::overlay(const Knobs& top) {
    take(status, top.status);
    take(envelope, top.envelope);
    take(responseWord, top.responseWord);
    take(statusCode, top.statusCode);
    take(statusReason, top.statusReason);
    take(sessionId, top.sessionId);
    take(omitSessionId, top.omitSessionId);
    take(freshSession, top.freshSession);
    take(body, top.body);
    take(rawBody, top.rawBody);
    take(delayMs, top.delayMs);
    take(drop, top.drop);
    take(contentType, top.contentType);
    take(members, top.members);
    take(validate, top.validate);
    take(requireSession, top.requireSession);
    take(corruptUpload, top.corruptUpload);
    take(replyBytes, top.replyBytes);
    take(chunked, top.chunked);
    take(trickleMs, top.trickleMs);
    take(readBytesPerSecond, top.readBytesPerSecond);
}

std::optional<Knobs> Knobs::fromJson(const json& j, std::string& error) {
    if (!j.is_object()) {
        error = "knobs must be a JSON object";
        return std::nullopt;
    }
    Knobs k;
    for (const auto& [name, v] : j.items()) {
        bool ok = true;
        if (name == "status") {
            ok = readInt(v, "status", 100, 599, k.status, error);
        } else if (name == "envelope") {
            std::optional<Envelope> e;
            if (v.is_string()) e = envelopeFromName(v.get<std::string>());
            if (!e) {
                error =
                    "knob \"envelope\" must be one of response, status, both, none, "
                    "status-empty";
                ok = false;
            }
            k.envelope = e;
        } else if (name == "responseWord") {
            ok = readText(v, "responseWord", k.responseWord, error);
        } else if (name == "statusCode") {
            ok = readText(v, "statusCode", k.statusCode, error);
        } else if (name == "statusReason") {
            ok = readText(v, "statusReason", k.statusReason, error);
        } else if (name == "sessionId") {
            if (!v.is_string() && !v.is_null()) {
                error = "knob \"sessionId\" must be a text or null";
                ok = false;
            }
            k.sessionId = v;
        } else if (name == "omitSessionId") {
            ok = readBool(v, "omitSessionId", k.omitSessionId, error);
        } else if (name == "freshSession") {
            ok = readBool(v, "freshSession", k.freshSession, error);
        } else if (name == "body") {
            ok = false;
            for (const auto& [b, n] : kBodyNames) {
                if (v.is_string() && v.get<std::string>() == n) {
                    k.body = b;
                    ok = true;
                }
            }
            if (!ok)
                error = "knob \"body\" must be one of envelope, array, null, invalid, empty, raw";
        } else if (name == "rawBody") {
            ok = readText(v, "rawBody", k.rawBody, error);
        } else if (name == "delayMs") {
            ok = readInt(v, "delayMs", 0, kMaxDelayMs, k.delayMs, error);
        } else if (name == "drop") {
            ok = readBool(v, "drop", k.drop, error);
        } else if (name == "contentType") {
            ok = readText(v, "contentType", k.contentType, error);
        } else if (name == "members") {
            if (!v.is_object()) {
                error = "knob \"members\" must be a JSON object";
                ok = false;
            }
            k.members = v;
        } else if (name == "validate") {
            ok = readBool(v, "validate", k.validate, error);
        } else if (name == "requireSession") {
            ok = readBool(v, "requireSession", k.requireSession, error);
        } else if (name == "corruptUpload") {
            ok = readBool(v, "corruptUpload", k.corruptUpload, error);
        } else if (name == "replyBytes") {
            ok = readInt64(v, "replyBytes", 0, kMaxReplyBytes, k.replyBytes, error);
        } else if (name == "chunked") {
            ok = readBool(v, "chunked", k.chunked, error);
        } else if (name == "trickleMs") {
            ok = readInt(v, "trickleMs", 1, kMaxDelayMs, k.trickleMs, error);
        } else if (name == "readBytesPerSecond") {
            ok = readInt64(v, "readBytesPerSecond", 1, kMaxReplyBytes, k.readBytesPerSecond, error);
        } else {
            error = "unknown knob \"" + name + "\"";
            ok = false;
        }
        if (!ok) return std::nullopt;
    }
    return k;
}

json Knobs::toJson() const {
    json j = json::object();
    if (status) j["status"] = *status;
    if (envelope) j["envelope"] = envelopeName(*envelope);
    if (responseWord) j["responseWord"] = *responseWord;
    if (statusCode) j["statusCode"] = *statusCode;
    if (statusReason) j["statusReason"] = *statusReason;
    if (sessionId) j["sessionId"] = *sessionId;
    if (omitSessionId) j["omitSessionId"] = *omitSessionId;
    if (freshSession) j["freshSession"] = *freshSession;
    if (body) j["body"] = bodyName(*body);
    if (rawBody) j["rawBody"] = *rawBody;
    if (delayMs) j["delayMs"] = *delayMs;
    if (drop) j["drop"] = *drop;
    if (contentType) j["contentType"] = *contentType;
    if (members) j["members"] = *members;
    if (validate) j["validate"] = *validate;
    if (requireSession) j["requireSession"] = *requireSession;
    if (corruptUpload) j["corruptUpload"] = *corruptUpload;
    if (replyBytes) j["replyBytes"] = *replyBytes;
    if (chunked) j["chunked"] = *chunked;
    if (trickleMs) j["trickleMs"] = *trickleMs;
    if (readBytesPerSecond) j["readBytesPerSecond"] = *readBytesPerSecond;
    return j;
}

bool KnobConfig::merge(const json& j, const std::vector<std::string>& callNames,
                       std::string& error) {
    if (!j.is_object()) {
        error = "the configuration must be a JSON object";
        return false;
    }
    json globalPart = json::object();
    std::map<std::string, Knobs> callParts;
    for (const auto& [name, v] : j.items()) {
        bool isCall = false;
        for (const auto& c : callNames) isCall = isCall || c == name;
        if (!isCall) {
            globalPart[name] = v;
            continue;
        }
        auto k = Knobs::fromJson(v, error);
        if (!k) {
            error = "call \"" + name + "\": " + error;
            return false;
        }
        callParts[name] = *k;
    }
    auto g = Knobs::fromJson(globalPart, error);
    if (!g) return false;
    global.overlay(*g);
    for (const auto& [name, k] : callParts) perCall[name].overlay(k);
    return true;
}

Knobs KnobConfig::effective(const std::string& callName) const {
    Knobs k = global;
    if (auto it = perCall.find(callName); it != perCall.end()) k.overlay(it->second);
    return k;
}

json KnobConfig::toJson() const {
    json j = global.toJson();
    for (const auto& [name, k] : perCall) j[name] = k.toJson();
    return j;
}

}  // namespace refserver
