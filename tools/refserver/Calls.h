// The protocol calls the reference server answers. Each call is one entry of a
// table: its name (also the scope of per-call knobs), method, path relative to
// the client's base path, the success word of its "response" member and a
// handler that checks the request and supplies the call's own reply members.
// The envelope, status, body form, delay and drop are applied around the
// handler by the server, so a new call only needs a table entry.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "Knobs.h"
#include "Store.h"

namespace refserver {

// Hands out session identifiers: fixed, or fresh and unique per call.
class SessionIds {
  public:
    explicit SessionIds(std::string defaultId) : defaultId_(std::move(defaultId)) {}
    // The "sessionId" value for one reply under the given knobs.
    nlohmann::json next(const Knobs& knobs);
    // True when a session reply has carried this identifier.
    bool issued(const std::string& id) const;
    // Forgets the identifiers handed out.
    void forget();

  private:
    std::string defaultId_;
    mutable std::mutex mutex_;
    std::set<std::string> issued_;
    unsigned long long counter_ = 0;
    std::mt19937_64 random_{std::random_device{}()};
};

struct CallInput {
    const httplib::Request& request;
    std::vector<std::string> params;  // captures of the path pattern
    const Knobs& knobs;
    SessionIds& sessions;
    const UploadReceiver* received = nullptr;  // an upload's body as it was streamed in
};

struct CallOutput {
    nlohmann::json members = nlohmann::json::object();  // call-specific reply members
    std::optional<std::string> rejectReason;            // set when the request is refused
    int rejectStatus = 400;                             // HTTP status of a refusal
    std::string rejectCode = "BadRequest";              // "status"."code" of a refusal
    std::optional<std::string> plainBody;               // a reply that is not a JSON envelope
    std::string plainContentType;
};

using CallHandler = std::function<void(const CallInput&, CallOutput&)>;

struct CallSpec {
    std::string name;         // "session", "enroll", ...
    std::string method;       // "POST" or "GET"
    std::string pathPattern;  // regular expression for the path after the base path
    std::string successWord;  // "response" text; empty when the call answers with "status"
    CallHandler handler;
};

const std::vector<CallSpec>& callTable();
std::vector<std::string> callNames();

// True when `id` has the shape of a serial identifier: 52 characters in nine
// groups of 8, 3, 4, 3, 4, 3, 4, 3 and 12 characters joined by "-", the
// groups of 8, 4 and 12 upper-case hexadecimal digits.
bool isSerialIdentifier(const std::string& id);

// Refuses (HTTP 403, "InvalidSession") a device call whose
// "Diagnostic-Session-ID" is not one the server issued, when the knob
// "requireSession" is on. True when the call may go on.
bool checkSession(const CallInput& in, CallOutput& out);

}  // namespace refserver
