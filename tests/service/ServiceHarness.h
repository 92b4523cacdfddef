#pragma once
// Test harness for the availability service: a private bus that starts the real
// diagnosticsd on demand, with its preferences, device answers and logs in a
// temporary directory, and helpers to call it, find it and restart it.

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>

#include "platform/bus/VxServiceClient.h"
#include "platform/foundation/VxValues.h"
#include "platform/linux/VxPreferences.h"
#include "support/PrivateBus.h"
#include "support/TestEnv.h"

namespace svc {

inline constexpr const char* kDomain = "com.tarvo.Diagnostics";
inline constexpr std::chrono::seconds kCallTimeout{20};

using da::test::processGone;
using da::test::readFile;
// Writes through a temporary file and a rename, so readers see the old or the new text.
void writeFileAtomically(const std::string& path, const std::string& text);
// A loopback port on which nothing listens (bound once, then released).
int unusedLoopbackPort();
// Resident set size of a process in KiB, or -1.
long residentKiB(pid_t pid);

class ServiceHarness {
  public:
    // Starts the bus and installs diagnosticsd with its environment. The console
    // level of the service's logs is 0 unless `environment` says otherwise, so
    // that its lines go only to the log file.
    explicit ServiceHarness(std::map<std::string, std::string> environment = {});
    ~ServiceHarness();
    ServiceHarness(const ServiceHarness&) = delete;
    ServiceHarness& operator=(const ServiceHarness&) = delete;

    // Empty when the harness is usable, else why not.
    const std::string& error() const { return error_; }
    const std::string& busAddress() const { return bus_.address(); }

    // Preferences of the agent's domain, written the way another process would.
    void setPreference(const std::string& key, const Id& value);
    // A preference of the agent's domain as stored now.
    Id preference(const std::string& key);
    // Points the agent at a server ("Server" = 5 and "CustomServerURL").
    void useServer(const std::string& baseURL);
    // The device's serial number in the answers file; nothing writes a null answer.
    void setSerialNumber(const std::optional<std::string>& serial);

    // One availability request on a fresh bus connection.
    VxServiceCallResult ask();

    // Process id of the running service, or -1 when none owns the name.
    pid_t servicePid() const;
    // Ends the running service (if any) and waits until its name is free.
    bool stopService();

    // The "Diagnostics" log file and its current size (0 when missing).
    std::string logPath() const { return directory_ + "/logs/Diagnostics.log"; }
    std::size_t logSize() const;
    // Log text written after `offset`.
    std::string logSince(std::size_t offset) const;

  private:
    PrivateBus bus_;
    da::test::TempDir tmp_;
    std::string directory_;
    std::string error_;
    VxPreferences preferences_;
};

}  // namespace svc
