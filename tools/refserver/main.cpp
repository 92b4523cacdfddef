// diagnostics-refserver: a reference diagnostics server on the loopback
// interface for tests, benchmarks and demonstrations.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include <CLI/CLI.hpp>

#include "RefServer.h"

namespace {

// Ends the process (through the signal wait in main) once standard input
// reaches its end, so a server started by a test dies with the test program
// even when that program is killed.
void watchStdin() {
    char buf[256];
    while (true) {
        const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
        if (n == 0 || (n < 0 && errno != EINTR)) break;
    }
    kill(getpid(), SIGTERM);
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Reference diagnostics server on the loopback interface. Answers the protocol calls\n"
        "(session, enroll, profile, clientstatus, command, results, results/<test>/data/<name>,\n"
        "assets/strings) below any base path and offers a control API under /_control/\n"
        "(POST config, POST reset, GET requests, GET config, GET health). Prints\n"
        "\"listening on HOST:PORT\" once ready; stops on SIGTERM or SIGINT.",
        "diagnostics-refserver"};

    std::string host = "127.0.0.1";
    int port = 0;
    std::string sessionId;
    bool freshSession = false;
    std::string envelope;
    std::string basePath;
    std::string configText;
    bool verbose = false;
    bool exitOnStdinEof = false;
    std::string storeDirectory;
    bool requireSession = false;

    app.add_option("--host", host,
                   "Address to listen on: 127.0.0.1, localhost or ::1 (no other is accepted)")
        ->capture_default_str();
    app.add_option("--port", port, "TCP port; 0 picks a free one")
        ->check(CLI::Range(0, 65535))
        ->capture_default_str();
    auto* idOpt = app.add_option("--session-id", sessionId,
                                 "Fixed session identifier of session replies (default S-0001)");
    app.add_flag("--fresh-session", freshSession, "Give every session call a new unique identifier")
        ->excludes(idOpt);
    app.add_option("--envelope", envelope,
                   "Reply envelope form: response, status, both, none or status-empty "
                   "(default: response for calls with a success word, status otherwise)")
        ->check(CLI::IsMember({"response", "status", "both", "none", "status-empty"}));
    app.add_option("--base-path", basePath,
                   "Answer calls only below this path (e.g. /kelo/v1.01/); by default calls are "
                   "matched by their path at the end of any request path");
    app.add_option("--config", configText,
                   "Start-up knobs as a JSON object, the same form as POST /_control/config; "
                   "e.g. '{\"delayMs\":100,\"session\":{\"status\":503}}'");
    app.add_option("--store", storeDirectory,
                   "Keep what the calls bring (uploads, results, profiles, client statuses, "
                   "enrolled devices) in this directory; see GET /_control/store. Turns on "
                   "--require-session unless --config sets \"requireSession\"");
    app.add_flag("--require-session", requireSession,
                 "Refuse device calls and uploads (HTTP 403) whose Diagnostic-Session-ID was "
                 "not issued by a session reply of this server");
    app.add_flag("--verbose", verbose, "Write one line per request to stderr");
    app.add_flag("--exit-on-stdin-eof", exitOnStdinEof,
                 "Stop when standard input reaches its end (for test fixtures)");
    CLI11_PARSE(app, argc, argv);

    if (host == "localhost") host = "127.0.0.1";
    if (host != "127.0.0.1" && host != "::1") {
        std::cerr << "diagnostics-refserver: refusing to listen on " << host
                  << ": only 127.0.0.1, localhost and ::1 are allowed\n";
        return 2;
    }

    refserver::ServerOptions options;
    options.host = host;
    options.port = port;
    options.basePath = basePath;
    options.verbose = verbose;
    options.storeDirectory = storeDirectory;
    if (!sessionId.empty()) options.defaultSessionId = sessionId;

    nlohmann::json start = nlohmann::json::object();
    if (!configText.empty()) {
        start = nlohmann::json::parse(configText, nullptr, false);
        if (start.is_discarded() || !start.is_object()) {
            std::cerr << "diagnostics-refserver: --config is not a JSON object\n";
            return 2;
        }
    }
    if (freshSession) start["freshSession"] = true;
    if (requireSession || (!storeDirectory.empty() && !start.contains("requireSession")))
        start["requireSession"] = true;
    if (!envelope.empty()) start["envelope"] = envelope;
    std::string error;
    if (!options.startKnobs.merge(start, refserver::callNames(), error)) {
        std::cerr << "diagnostics-refserver: --config: " << error << "\n";
        return 2;
    }

    // All threads inherit this mask; the main thread takes the stop signals
    // with sigwait. A client that goes away mid-reply must not kill the server.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<refserver::RefServer> made;
    try {
        made = std::make_unique<refserver::RefServer>(options);
    } catch (const std::exception& e) {
        std::cerr << "diagnostics-refserver: " << e.what() << "\n";
        return 2;
    }
    refserver::RefServer& server = *made;
    const int bound = server.bind();
    if (bound <= 0) {
        std::cerr << "diagnostics-refserver: cannot listen on " << host << ":" << port << "\n";
        return 1;
    }
    const std::string shown = host == "::1" ? "[::1]" : host;
    std::printf("listening on %s:%d\n", shown.c_str(), bound);
    std::fflush(stdout);

    std::atomic<bool> serveFailed{false};
    std::atomic<bool> served{false};
    std::thread serving([&] {
        if (!server.serve()) serveFailed = true;
        served = true;
        kill(getpid(), SIGTERM);  // wake the signal wait when serving ends by itself
    });
    if (exitOnStdinEof) std::thread(watchStdin).detach();

    int sig = 0;
    sigwait(&stopSignals, &sig);
    // A stop that comes before the serving loop has started is lost, so repeat
    // it until the loop has ended.
    while (!served) {
        server.stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    serving.join();
    return serveFailed ? 1 : 0;
}
