#pragma once
// Where the service lives on the message bus, shared by the service listener and
// its clients, and the rule that picks the bus to use.

#include <string>

#include "platform/foundation/VxExport.h"

// The bus address of one service: well-known name, object path and interface.
struct DA_EXPORT VxServiceEndpoint {
    static constexpr const char* kDefaultBusName = "com.tarvo.Diagnostics.SessionAvailability";
    static constexpr const char* kDefaultObjectPath = "/com/tarvo/Diagnostics/SessionAvailability";
    static constexpr const char* kDefaultInterfaceName =
        "com.tarvo.Diagnostics.DADiagnosticsSessionAvailabilityProtocol";
    static constexpr const char* kCheckAvailabilityMethod = "checkAvailabilityWithReply";

    std::string busName = kDefaultBusName;
    std::string objectPath = kDefaultObjectPath;
    std::string interfaceName = kDefaultInterfaceName;
};

// Error names carried by failed replies of the service listener.
namespace VxServiceErrors {
inline constexpr const char* kConnectionRefused = "com.tarvo.Diagnostics.Error.ConnectionRefused";
inline constexpr const char* kNoReply = "com.tarvo.Diagnostics.Error.NoReply";
inline constexpr const char* kBusy = "com.tarvo.Diagnostics.Error.Busy";
inline constexpr const char* kInvalidReply = "com.tarvo.Diagnostics.Error.InvalidReply";
inline constexpr const char* kUnknownMethod = "org.freedesktop.DBus.Error.UnknownMethod";
}  // namespace VxServiceErrors

// Which bus to open.
struct DA_EXPORT VxBusChoice {
    enum class Kind { address, system };
    Kind kind = Kind::address;
    std::string address;      // for Kind::address
    std::string description;  // for log lines: "session bus unix:path=...", "system bus"
    std::string error;        // not empty: no bus could be chosen
};

// The rule, in this order:
//  1. an explicit address (when not empty);
//  2. for the service only: DBUS_STARTER_ADDRESS, set by the bus that activated us;
//  3. DA_BUS=system: the system bus;
//  4. the session bus at DBUS_SESSION_BUS_ADDRESS, else at $XDG_RUNTIME_DIR/bus.
// The session bus is always opened by address: a process running as root outside a login
// session would otherwise be sent to the system bus.
DA_EXPORT VxBusChoice vxChooseBus(const std::string& explicitAddress, bool forService);
