// Test knobs of the reference diagnostics server: what a reply looks like and
// how it is delivered. Knobs are set globally or per call name; the effective
// knobs of one call are the defaults, overlaid by the global knobs, overlaid by
// the knobs of that call.
#pragma once

#include <map>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace refserver {

// Which members of the reply envelope are written.
enum class Envelope {
    Response,     // {"response": word}
    Status,       // {"status": {"code": ..., "reason": ...}}
    Both,         // both members
    None,         // an object with neither member
    StatusEmpty,  // {"status": {}}
};

// What the reply body is.
enum class BodyMode {
    Envelope,  // the JSON envelope with the call's members (the normal case)
    Array,     // []
    Null,      // null
    Invalid,   // text that is not JSON
    Empty,     // zero-length body
    Raw,       // the text of the "rawBody" knob
};

struct Knobs {
    std::optional<int> status;                // HTTP status code
    std::optional<Envelope> envelope;         // envelope form
    std::optional<std::string> responseWord;  // text of "response"
    std::optional<std::string> statusCode;    // text of "status"."code"
    std::optional<std::string> statusReason;  // text of "status"."reason"
    std::optional<nlohmann::json> sessionId;  // fixed id: a text, or null to send null
    std::optional<bool> omitSessionId;        // leave "sessionId" out of the reply
    std::optional<bool> freshSession;         // a new unique id for every session call
    std::optional<BodyMode> body;             // body form
    std::optional<std::string> rawBody;       // body text for body "raw"
    std::optional<int> delayMs;               // wait before answering
    std::optional<bool> drop;                 // close the connection without answering
    std::optional<std::string> contentType;   // Content-Type of the reply
    std::optional<nlohmann::json> members;    // extra members merged into the reply object
    std::optional<bool> validate;             // check the request body of the call
    std::optional<bool> requireSession;       // refuse device calls without an issued session id
    std::optional<bool> corruptUpload;        // damage an upload's first byte as it arrives
    // Delivery of large or slow bodies.
    std::optional<long long> replyBytes;          // pad the reply body with spaces to this size
    std::optional<bool> chunked;                  // reply without Content-Length
    std::optional<int> trickleMs;                 // send the reply one byte per this many ms
    std::optional<long long> readBytesPerSecond;  // read the request body at most this fast

    // Every knob set in `top` replaces the one here.
    void overlay(const Knobs& top);

    // Parses a JSON object of knobs. Unknown names and wrong types are refused
    // with a message in `error`.
    static std::optional<Knobs> fromJson(const nlohmann::json& j, std::string& error);
    nlohmann::json toJson() const;
};

// Longest accepted "delayMs", so that a typo cannot stall a test run.
inline constexpr int kMaxDelayMs = 120000;
// Largest accepted "replyBytes" (the body is generated, never held whole).
inline constexpr long long kMaxReplyBytes = 1LL << 40;

std::optional<Envelope> envelopeFromName(const std::string& name);
std::string envelopeName(Envelope e);

// The knob set of a running server: global knobs and knobs per call name.
struct KnobConfig {
    Knobs global;
    std::map<std::string, Knobs> perCall;

    // Merges a JSON object into this configuration. Top-level members are
    // global knobs, except members named after a call in `callNames`, whose
    // value is an object of knobs for that call only. On error nothing changes.
    bool merge(const nlohmann::json& j, const std::vector<std::string>& callNames,
               std::string& error);

    Knobs effective(const std::string& callName) const;
    nlohmann::json toJson() const;
};

}  // namespace refserver
