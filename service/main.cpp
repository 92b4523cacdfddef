// diagnosticsd: the session-availability service, started by the message bus
// when a client calls it. The main thread runs the bus loop until the service
// has been idle for a while, is asked to terminate, or loses the bus.

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "Managers/DALogging.h"
#include "Managers/DALoggingInit.h"
#include "VxBuildInfo.h"
#include "platform/bus/VxServiceListener.h"
#include "platform/foundation/VxValues.h"
#include "service/ServiceDelegate.h"

namespace {

// The service's own lines (listener, signals, settings) go to a log of their own,
// so that the "Diagnostics" log carries only the agent's lines.
constexpr const char* kServiceLog = "DiagnosticsService";
constexpr long kDefaultIdleSeconds = 60;
constexpr long kMaxIdleSeconds = 7 * 24 * 3600;

void printUsage() {
    std::printf(
        "Usage: diagnosticsd [--help] [--version] [--idle-timeout SECONDS]\n"
        "\n"
        "Session-availability service of the diagnostics agent. It owns the bus name\n"
        "com.tarvo.Diagnostics.SessionAvailability and answers the method\n"
        "com.tarvo.Diagnostics.DADiagnosticsSessionAvailabilityProtocol."
        "checkAvailabilityWithReply\n"
        "on /com/tarvo/Diagnostics/SessionAvailability. It is normally started by the bus.\n"
        "\n"
        "  --idle-timeout SECONDS  exit after this many seconds without calls (default %ld,\n"
        "                          0 = never); the bus starts the service again on the\n"
        "                          next call. Overrides DA_IDLE_TIMEOUT.\n"
        "\n"
        "Environment: DBUS_STARTER_ADDRESS or DBUS_SESSION_BUS_ADDRESS (DA_BUS=system for\n"
        "the system bus), DA_IDLE_TIMEOUT, DA_PREFERENCES_DIR, DA_DEVICE_ANSWERS,\n"
        "DA_LOG_DIR, DA_LOG_MAX_LEVEL, DA_LOG_CONSOLE_LEVEL.\n",
        kDefaultIdleSeconds);
}

// Whole seconds from 0 to kMaxIdleSeconds, else nothing.
std::optional<long> parseIdleSeconds(const char* text) {
    if (text == nullptr || *text == '\0') return std::nullopt;
    for (const char* p = text; *p != '\0'; ++p)
        if (*p < '0' || *p > '9') return std::nullopt;
    if (std::strlen(text) > 9) return std::nullopt;
    const long seconds = std::strtol(text, nullptr, 10);
    if (seconds > kMaxIdleSeconds) return std::nullopt;
    return seconds;
}

// Waits for SIGTERM or SIGINT on a thread of its own (both are blocked in every
// thread) and stops the listener there, outside any signal handler.
class TerminationWatch {
  public:
    explicit TerminationWatch(VxListener& listener) {
        sigemptyset(&signals_);
        sigaddset(&signals_, SIGTERM);
        sigaddset(&signals_, SIGINT);
        thread_ = std::thread([this, &listener] {
            int signal = 0;
            if (sigwait(&signals_, &signal) != 0 || finished_) return;
            VX_LOG(kServiceLog, 6, "stopping on signal %@", vxstr(std::to_string(signal)));
            listener.stop();
        });
    }
    ~TerminationWatch() {
        finished_ = true;
        pthread_kill(thread_.native_handle(), SIGTERM);
        thread_.join();
    }
    TerminationWatch(const TerminationWatch&) = delete;
    TerminationWatch& operator=(const TerminationWatch&) = delete;

    // Call before any other thread starts, so that every thread inherits the mask.
    static void blockSignals() {
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGTERM);
        sigaddset(&signals, SIGINT);
        pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    }

  private:
    sigset_t signals_;
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
    TerminationWatch::blockSignals();

    std::optional<long> idleOption;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            printUsage();
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("diagnosticsd %s (build %s)\n", DA_APPLICATION_VERSION,
                        DA_APPLICATION_BUILD);
            return 0;
        }
        const char* value = nullptr;
        if (std::strcmp(argv[i], "--idle-timeout") == 0) {
            value = i + 1 < argc ? argv[++i] : "";
        } else if (std::strncmp(argv[i], "--idle-timeout=", 15) == 0) {
            value = argv[i] + 15;
        } else {
            std::fprintf(stderr, "diagnosticsd: unknown option %s (see --help)\n", argv[i]);
            return 2;
        }
        idleOption = parseIdleSeconds(value);
        if (!idleOption) {
            std::fprintf(stderr,
                         "diagnosticsd: --idle-timeout takes whole seconds from 0 to %ld, not "
                         "\"%s\"\n",
                         kMaxIdleSeconds, value);
            return 2;
        }
    }

    DALoggingInit();
    long idleSeconds = kDefaultIdleSeconds;
    if (idleOption) {
        idleSeconds = *idleOption;
    } else if (const char* fromEnvironment = std::getenv("DA_IDLE_TIMEOUT")) {
        if (auto parsed = parseIdleSeconds(fromEnvironment)) {
            idleSeconds = *parsed;
        } else {
            VX_LOG(kServiceLog, 3, "DA_IDLE_TIMEOUT is not whole seconds from 0 to %@; using %@ s",
                   vxstr(std::to_string(kMaxIdleSeconds)),
                   vxstr(std::to_string(kDefaultIdleSeconds)));
        }
    }

    VxListener::setLogHandler(
        [](int level, const std::string& line) { VX_LOG(kServiceLog, level, "%@", line); });
    VxListener& listener = VxListener::serviceListener();
    VxListenerConfiguration config = listener.configuration();
    config.idleTimeout = std::chrono::seconds(idleSeconds);
    // A termination request ends the process within a second; calls still waiting
    // for the server then get the bus's error for a peer that went away.
    config.drainTimeout = std::chrono::milliseconds(500);
    listener.setConfiguration(config);
    listener.setDelegate(std::make_shared<ServiceDelegate>());

    std::string failure;
    {
        TerminationWatch termination(listener);
        listener.resume();
        failure = listener.failureReason();
    }
    if (!failure.empty()) {
        DALog(3, "Service listener stopped: %@", failure);
        std::fprintf(stderr, "diagnosticsd: %s\n", failure.c_str());
    }
    const int status = failure.empty() ? 0 : 1;
    if (listener.callsInProgress() > 0) {
        // Calls left behind still run on their threads; end without the static
        // destructors that they may still be using. Log lines are flushed as written.
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}
