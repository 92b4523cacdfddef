#pragma once
// A private message bus for tests: its own dbus-daemon on a unix socket in a temporary
// directory, with a service directory for bus activation and a policy that allows
// everything. The daemon and the services it started end with the fixture.

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>

class PrivateBus {
  public:
    // Starts the daemon; on failure ok() is false and error() tells why.
    explicit PrivateBus(std::chrono::milliseconds startTimeout = std::chrono::seconds(5));
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    bool ok() const { return !address_.empty(); }
    const std::string& error() const { return error_; }
    // The bus address ("unix:path=...,guid=...").
    const std::string& address() const { return address_; }
    // The temporary directory that holds the socket, the configuration and the services.
    const std::string& directory() const { return directory_; }
    pid_t daemonPid() const { return pid_; }

    // Writes <name>.service for bus activation and makes the daemon read it. The command
    // line starts with an absolute path; see commandWithEnvironment to pass variables.
    bool installService(const std::string& name, const std::string& execCommandLine,
                        std::string* error = nullptr);
    // "/usr/bin/env K=V ... <commandLine>"; values must not contain blanks or quotes.
    static std::string commandWithEnvironment(const std::map<std::string, std::string>& variables,
                                              const std::string& commandLine);

    // Asks the daemon to read its configuration and service files again.
    bool reloadConfig(std::string* error = nullptr);

    // Ends the daemon and everything in its process group; the destructor calls it.
    void shutdown();

    // How long shutdown() lets the services end on the SIGTERM they get before it
    // stops them the hard way; none unless set (a service run under a profiler
    // needs the time to write its data).
    void setServiceGrace(std::chrono::milliseconds grace) { serviceGrace_ = grace; }

  private:
    std::string directory_;
    std::string address_;
    std::string error_;
    pid_t pid_ = -1;
    std::chrono::milliseconds serviceGrace_{0};
};
