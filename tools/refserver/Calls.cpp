#include "Calls.h"

#include <cctype>
#include <cstdio>

namespace refserver {

namespace {

using json = nlohmann::json;

// Parses the request body as JSON; a parse failure becomes a refusal.
std::optional<json> parseBody(const CallInput& in, CallOutput& out) {
    json j = json::parse(in.request.body, nullptr, false);
    if (j.is_discarded()) {
        out.rejectReason = "request body is not JSON";
        return std::nullopt;
    }
    return j;
}

bool validating(const CallInput& in) {
    return in.knobs.validate.value_or(true);
}

bool nonEmptyText(const json& obj, const char* key) {
    return obj.contains(key) && obj[key].is_string() && !obj[key].get<std::string>().empty();
}

void session(const CallInput& in, CallOutput& out) {
    if (validating(in)) {
        auto body = parseBody(in, out);
        if (!body) return;
        if (!body->is_object()) {
            out.rejectReason = "request body must be a JSON object";
            return;
        }
        if (!body->contains("identifier") || !(*body)["identifier"].is_string() ||
            !isSerialIdentifier((*body)["identifier"].get<std::string>())) {
            out.rejectReason = "\"identifier\" must be a 52-character serial identifier";
            return;
        }
        if (!nonEmptyText(*body, "platform") || !nonEmptyText(*body, "appVersion")) {
            out.rejectReason = "\"platform\" and \"appVersion\" must be non-empty texts";
            return;
        }
    }
    if (!in.knobs.omitSessionId.value_or(false))
        out.members["sessionId"] = in.sessions.next(in.knobs);
}

// Enrolment: an array of serial numbers; each is given a device identifier.
void enroll(const CallInput& in, CallOutput& out) {
    auto body = parseBody(in, out);
    if (!body) return;
    json devices = json::object();
    if (body->is_array()) {
        int n = 0;
        for (const auto& sn : *body)
            if (sn.is_string()) devices[sn.get<std::string>()] = "device-" + std::to_string(++n);
    }
    if (validating(in) && (!body->is_array() || body->empty() || devices.size() != body->size())) {
        out.rejectReason = "request body must be a non-empty JSON array of texts";
        return;
    }
    out.members["devices"] = std::move(devices);
}

// Profiles: an array of device objects; the reply names the devices accepted.
void profile(const CallInput& in, CallOutput& out) {
    auto body = parseBody(in, out);
    if (!body) return;
    if (validating(in) && !body->is_array()) {
        out.rejectReason = "request body must be a JSON array";
        return;
    }
    json devices = json::object();
    if (body->is_array()) {
        int n = 0;
        for (const auto& d : *body) {
            ++n;
            std::string id = "device-" + std::to_string(n);
            if (d.is_object() && nonEmptyText(d, "deviceId")) id = d["deviceId"].get<std::string>();
            devices[id] = "accepted";
        }
    }
    out.members["devices"] = std::move(devices);
}

// Client status: a device object; the reply carries a command response.
void clientStatus(const CallInput& in, CallOutput& out) {
    json status = json::object();
    json body = json::parse(in.request.body, nullptr, false);
    if (body.is_object() && body.contains("deviceId")) status["deviceId"] = body["deviceId"];
    out.members["statusResponse"] = std::move(status);
}

// Command poll: a GET naming the device in "Diagnostic-Device-ID". The whole
// reply is the command response.
void command(const CallInput& in, CallOutput& out) {
    const std::string device = in.request.get_header_value("Diagnostic-Device-ID");
    if (validating(in) && device.empty()) {
        out.rejectReason = "\"Diagnostic-Device-ID\" header missing";
        return;
    }
    out.members["deviceId"] = device;
}

// Results: any JSON object.
void results(const CallInput& in, CallOutput& out) {
    auto body = parseBody(in, out);
    if (!body) return;
    if (validating(in) && !body->is_object()) {
        out.rejectReason = "request body must be a JSON object";
        return;
    }
    out.members["code"] = "Received";
}

// Test data upload: the raw file bytes, described by the ZET-* headers. The
// size and digest headers must match the body when validation is on.
void upload(const CallInput& in, CallOutput& out) {
    const auto& req = in.request;
    const std::uint64_t size = in.received ? in.received->size() : req.body.size();
    const std::string md5 = in.received ? in.received->md5() : md5Hex(req.body);
    if (validating(in)) {
        for (const char* h :
             {"ZET-file-sequence", "ZET-total-files", "ZET-file-MD5", "ZET-file-size"}) {
            if (!req.has_header(h)) {
                out.rejectReason = std::string("\"") + h + "\" header missing";
                return;
            }
        }
        if (req.get_header_value("ZET-file-size") != std::to_string(size)) {
            out.rejectReason = "\"ZET-file-size\" does not match the body size";
            return;
        }
        if (req.get_header_value("ZET-file-MD5") != md5) {
            out.rejectReason = "\"ZET-file-MD5\" does not match the body";
            return;
        }
    }
    out.members["testId"] = in.params.size() > 0 ? in.params[0] : "";
    out.members["dataId"] = in.params.size() > 1 ? in.params[1] : "";
    out.members["size"] = size;
    out.members["md5"] = md5;
}

// Localization strings table: a plain text body, not an envelope.
void strings(const CallInput&, CallOutput& out) {
    out.plainBody = "\"OK\" = \"OK\";\n\"Cancel\" = \"Cancel\";\n";
    out.plainContentType = "text/plain; charset=utf-8";
}

bool isUpperHex(const std::string& s, std::size_t from, std::size_t len) {
    for (std::size_t i = from; i < from + len; ++i) {
        const char c = s[i];
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    }
    return true;
}

}  // namespace

json SessionIds::next(const Knobs& knobs) {
    std::lock_guard lock(mutex_);
    json id = defaultId_;
    if (knobs.freshSession.value_or(false)) {
        char hex[17];
        std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(random_()));
        id = "session-" + std::to_string(++counter_) + "-" + hex;
    } else if (knobs.sessionId) {
        id = *knobs.sessionId;
    }
    if (id.is_string()) issued_.insert(id.get<std::string>());
    return id;
}

bool SessionIds::issued(const std::string& id) const {
    std::lock_guard lock(mutex_);
    return issued_.count(id) > 0;
}

void SessionIds::forget() {
    std::lock_guard lock(mutex_);
    issued_.clear();
}

bool checkSession(const CallInput& in, CallOutput& out) {
    if (!in.knobs.requireSession.value_or(false)) return true;
    const std::string id = in.request.get_header_value("Diagnostic-Session-ID");
    if (in.sessions.issued(id)) return true;
    out.rejectStatus = 403;
    out.rejectCode = "InvalidSession";
    out.rejectReason = id.empty() ? "\"Diagnostic-Session-ID\" header missing"
                                  : "session \"" + id + "\" was not issued by this server";
    return false;
}

const std::vector<CallSpec>& callTable() {
    // More specific patterns first: the upload path also ends in a name that
    // could equal another call's path.
    static const std::vector<CallSpec> table{
        {"upload", "POST", "results/([^/]*)/data/([^/]+)", "", upload},
        {"session", "POST", "session", "SessionSuccess", session},
        {"enroll", "POST", "enroll", "EnrollSuccess", enroll},
        {"profile", "POST", "profile", "ProfileSuccess", profile},
        {"clientstatus", "POST", "clientstatus", "", clientStatus},
        {"command", "GET", "command", "", command},
        {"results", "POST", "results", "", results},
        {"strings", "GET", "assets/strings", "", strings},
    };
    return table;
}

std::vector<std::string> callNames() {
    std::vector<std::string> names;
    for (const auto& c : callTable()) names.push_back(c.name);
    return names;
}

bool isSerialIdentifier(const std::string& id) {
    static const std::size_t kGroups[] = {8, 3, 4, 3, 4, 3, 4, 3, 12};
    if (id.size() != 52) return false;
    std::size_t pos = 0;
    for (std::size_t g = 0; g < 9; ++g) {
        if (g > 0) {
            if (id[pos] != '-') return false;
            ++pos;
        }
        // Groups 0, 2, 4, 6, 8 come from a UUID; the others are serial slices.
        if (g % 2 == 0 && !isUpperHex(id, pos, kGroups[g])) return false;
        pos += kGroups[g];
    }
    return pos == id.size();
}

}  // namespace refserver
