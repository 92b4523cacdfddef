// The reference diagnostics server: answers the protocol calls of the call
// table on a loopback address, shaped by the test knobs, records every protocol
// request and offers a control API under "/_control/".
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include <httplib.h>

#include "Calls.h"
#include "Knobs.h"
#include "RequestLog.h"

namespace refserver {

struct ServerOptions {
    std::string host = "127.0.0.1";
    int port = 0;          // 0 picks a free port
    std::string basePath;  // empty: calls match at any base path
    std::string defaultSessionId = "S-0001";
    KnobConfig startKnobs;       // the configuration that reset returns to
    bool verbose = false;        // one line per request on stderr
    std::string storeDirectory;  // not empty: keep what is accepted there (see Store.h)
};

class RefServer {
  public:
    explicit RefServer(ServerOptions options);
    ~RefServer();
    RefServer(const RefServer&) = delete;
    RefServer& operator=(const RefServer&) = delete;

    // Binds the listening socket; returns the port, or -1 on failure.
    int bind();
    // Serves until stop() is called. Blocks.
    bool serve();
    void stop();

  private:
    struct Route {
        const CallSpec* spec;
        std::regex pattern;
    };

    void dispatch(const httplib::Request& req, httplib::Response& res);
    // Reads a request body (paced by "readBytesPerSecond"), then dispatches.
    void readAndDispatch(const httplib::Request& req, httplib::Response& res,
                         const httplib::ContentReader& reader);
    // The call that answers `req`, with the captures of its path; `pathKnown`
    // tells whether some call has that path (for another method).
    const CallSpec* route(const httplib::Request& req, std::vector<std::string>& params,
                          bool& pathKnown) const;
    void handleControl(const httplib::Request& req, httplib::Response& res);
    // `reader` is given for uploads, whose body is streamed rather than held.
    void handleCall(const httplib::Request& req, httplib::Response& res,
                    const httplib::ContentReader* reader = nullptr);
    // Streams an upload's body into `body` (and the store), paced by
    // "readBytesPerSecond", keeping its start for the request log. False when
    // the body could not be read whole.
    bool receiveUpload(const httplib::ContentReader& reader, const Knobs& knobs,
                       UploadReceiver& body, std::string& logged);
    // Keeps what an accepted call brought, when a store is kept.
    void keep(const CallSpec* spec, const httplib::Request& req, UploadReceiver* body,
              CallOutput& out);
    void writeReply(const CallSpec* spec, const Knobs& knobs, CallOutput& out,
                    httplib::Response& res);
    void sleepFor(int ms) const;

    ServerOptions options_;
    httplib::Server server_;
    std::vector<Route> routes_;
    std::atomic<bool> stopping_{false};

    mutable std::mutex configMutex_;
    KnobConfig config_;

    RequestLog log_;
    SessionIds sessions_;
    std::unique_ptr<Store> store_;
};

// Closes the TCP connection that carries `req` without writing anything, so
// the client sees the connection end before any response.
bool dropConnection(const httplib::Request& req);

}  // namespace refserver
