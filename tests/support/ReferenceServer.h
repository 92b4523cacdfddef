// Test fixture that runs the reference diagnostics server as a child process on
// 127.0.0.1 and drives its control API. The process is stopped when the object
// is destroyed (and dies with the test program, which holds its stdin open).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace da::test {

// One protocol request as the server received it.
struct RecordedRequest {
    std::string method;
    std::string path;   // decoded path, without the query
    std::string query;  // raw query text, empty when none
    std::string call;   // the call it matched ("session", "upload", ...), empty when none
    std::map<std::string, std::string> headers;  // names as sent by the client
    std::string body;                            // exact bytes

    // Header value by name, compared without regard to case.
    std::optional<std::string> header(std::string_view name) const;
};

class ReferenceServer {
  public:
    // Not an aggregate, so that a braced list of arguments always means the
    // argument-vector constructor.
    struct Options {
        Options() = default;
        std::string binary;             // empty: the server built in this tree
        std::vector<std::string> args;  // extra command-line options
        std::chrono::milliseconds startTimeout{10000};
    };

    // Starts the server; throws std::runtime_error when it does not come up.
    ReferenceServer();
    explicit ReferenceServer(std::vector<std::string> args);
    explicit ReferenceServer(Options options);
    ~ReferenceServer();
    ReferenceServer(const ReferenceServer&) = delete;
    ReferenceServer& operator=(const ReferenceServer&) = delete;

    static std::string defaultBinary();
    // One server with the default options for every test of the program that
    // asks for it: started on first use, stopped when the program ends.
    static ReferenceServer& shared();

    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    // "http://127.0.0.1:PORT" followed by basePath.
    std::string baseURL(const std::string& basePath = "/kelo/v1.01/") const;

    // Merges a JSON object of knobs (POST /_control/config). Throws
    // std::runtime_error with the server's message when it is refused.
    void configure(const std::string& jsonKnobs);
    // Back to the start-up knobs, and the request log emptied.
    void reset();
    // Every protocol request received since start or the last reset.
    std::vector<RecordedRequest> requests() const;

    // Stops the process: SIGTERM, then SIGKILL when it has not ended within
    // `grace`. Safe to call more than once.
    void stop(std::chrono::milliseconds grace = std::chrono::milliseconds(3000));

  private:
    void start(const Options& options);
    std::string control(const std::string& method, const std::string& what,
                        const std::string& body) const;

    pid_t pid_ = -1;
    int port_ = 0;
    int stdinFd_ = -1;  // write end of the child's stdin; closing it ends the child
};

}  // namespace da::test
