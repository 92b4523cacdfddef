#pragma once
// The object each client of the service gets: compares the session the server
// opens for this device with the stored "currentSessionID".

#include "platform/foundation/VxExport.h"
#include "service/DADiagnosticsSessionAvailabilityProtocol.h"

// The reply when the server's session is the stored current session.
DA_EXPORT extern const char* const DAInCurrentSession;  // "IN_CURRENT_SESSION"

class DA_EXPORT DADiagnosticsSessionAvailability : public VxExportedObject,
                                                   public DADiagnosticsSessionAvailabilityProtocol {
  public:
    // Runs getSessionID and replies with its result. Requests run in parallel;
    // each compares the identifier of its own session call, so replies stay
    // tied to their calls although the connection manager has a single
    // session-identifier slot.
    void checkAvailabilityWithReply(const DAAvailabilityReply& reply) override;

    // "IN_CURRENT_SESSION" when the server's new session identifier equals the
    // stored "currentSessionID", the new identifier when it differs or nothing
    // is stored, nothing when no session could be opened.
    VxStringPtr getSessionID();
};
