// diagnosticsd: the session-availability service, started by the message bus
// when a client calls it. The main thread runs the bus loop for the life of
// the process.

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

#include "Managers/DALogging.h"
#include "VxBuildInfo.h"
#include "platform/VxServiceListener.h"
#include "service/DALoggingInit.h"
#include "service/ServiceDelegate.h"

namespace {

void stopOnSignal(int) {
    VxListener::serviceListener().stop();
}

void printUsage() {
    std::printf(
        "Usage: diagnosticsd [--help] [--version]\n"
        "\n"
        "Session-availability service of the diagnostics agent. It owns the bus name\n"
        "com.tarvo.Diagnostics.SessionAvailability and answers the method\n"
        "com.tarvo.Diagnostics.DADiagnosticsSessionAvailabilityProtocol."
        "checkAvailabilityWithReply\n"
        "on /com/tarvo/Diagnostics/SessionAvailability. It is normally started by the bus.\n"
        "\n"
        "Environment: DBUS_STARTER_ADDRESS or DBUS_SESSION_BUS_ADDRESS (DA_BUS=system for\n"
        "the system bus), DA_PREFERENCES_DIR, DA_DEVICE_ANSWERS, DA_LOG_DIR,\n"
        "DA_LOG_MAX_LEVEL, DA_LOG_CONSOLE_LEVEL.\n");
}

}  // namespace

int main(int argc, char** argv) {
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
        std::fprintf(stderr, "diagnosticsd: unknown option %s (see --help)\n", argv[i]);
        return 2;
    }

    DALoggingInit();
    // The listener's own lines go to a log of their own, so that the
    // "Diagnostics" log carries only the agent's lines.
    VxListener::setLogHandler([](int level, const std::string& line) {
        VX_LOG("DiagnosticsService", level, "%@", line);
    });
    auto delegate = std::make_shared<ServiceDelegate>();
    VxListener& listener = VxListener::serviceListener();
    listener.setDelegate(delegate);
    std::signal(SIGTERM, stopOnSignal);
    std::signal(SIGINT, stopOnSignal);
    listener.resume();

    std::string failure = listener.failureReason();
    if (!failure.empty()) {
        DALog(3, "Service listener stopped: %@", failure);
        std::fprintf(stderr, "diagnosticsd: %s\n", failure.c_str());
        return 1;
    }
    return 0;
}
