#pragma once
// The service's one inter-process interface: is this device in the diagnostics
// application's current session?

#include <functional>
#include <optional>
#include <string>

#include "platform/bus/VxServiceListener.h"
#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxValues.h"

// The reply callback: "IN_CURRENT_SESSION", a new session identifier, or
// nothing (an absent text).
using DAAvailabilityReply = std::function<void(const VxStringPtr&)>;

class DA_EXPORT DADiagnosticsSessionAvailabilityProtocol {
  public:
    virtual ~DADiagnosticsSessionAvailabilityProtocol() = default;
    // Calls `reply` exactly once, before returning.
    virtual void checkAvailabilityWithReply(const DAAvailabilityReply& reply) = 0;
};

// The exported interface built from the protocol: the bus interface
// "com.tarvo.Diagnostics.DADiagnosticsSessionAvailabilityProtocol" with its
// method "checkAvailabilityWithReply", whose optional text travels as a string
// array of zero or one element.
DA_EXPORT VxExportedInterface DADiagnosticsSessionAvailabilityProtocolInterface();

// The reply text that travels on the bus: the text itself, or nothing (with a
// level-3 line) when the bus cannot carry it because it holds a NUL character
// or is not valid UTF-8.
DA_EXPORT std::optional<std::string> DAReplyText(const VxStringPtr& text);
