#pragma once
// Client side of the service listener: calls a method of the service by its well-known
// name (which lets the bus start the service on demand) and decodes the optional text.

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/bus/VxServiceEndpoint.h"
#include "platform/foundation/VxExport.h"

// The outcome of one call. ok: the service replied, and `reply` is its text or absent.
// Not ok: the call failed on the bus or in the service; errorName is the bus error name
// (empty when there was no bus error, e.g. no bus) and error a readable description.
struct DA_EXPORT VxServiceCallResult {
    bool ok = false;
    std::optional<std::string> reply;
    std::string errorName;
    std::string error;
};

// One client of the service: one bus connection, hence one unique bus name, for the
// client's lifetime. Calls of one client run one at a time.
class DA_EXPORT VxServiceClient {
  public:
    // busAddress empty: the bus chosen by vxChooseBus (DA_BUS, the session bus).
    explicit VxServiceClient(std::string busAddress = {}, VxServiceEndpoint endpoint = {});
    ~VxServiceClient();
    VxServiceClient(const VxServiceClient&) = delete;
    VxServiceClient& operator=(const VxServiceClient&) = delete;

    // Opens the bus connection now (calls open it on demand).
    bool connect(std::string* errorText = nullptr);
    // Closes the connection: the service sees this client leave.
    void disconnect();
    bool isConnected() const;
    // The client's unique bus name; empty when not connected.
    std::string uniqueName() const;

    VxServiceCallResult call(const std::string& methodName, std::chrono::milliseconds timeout);
    VxServiceCallResult checkAvailability(std::chrono::milliseconds timeout) {
        return call(VxServiceEndpoint::kCheckAvailabilityMethod, timeout);
    }

    // The process that owns the service's bus name now, or nothing when the
    // service is not running; the bus is asked, so the service is not started.
    // errorText (when given) is empty unless the bus could not be asked.
    std::optional<std::uint32_t> serviceProcessId(std::string* errorText = nullptr);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// One-shot availability check on a fresh connection. Returns the reply text or nothing;
// errorText (when given) is always written: empty when the service replied (with or
// without a text), the failure otherwise.
DA_EXPORT std::optional<std::string> vxCheckAvailability(const std::string& busAddress,
                                                         std::chrono::milliseconds timeout,
                                                         std::string* errorText = nullptr);
