// A small bus service for the listener tests: each client gets its own EchoObject, and the
// methods below exercise the ways a handler can answer (or fail to). ECHO_BUS_NAME overrides
// the well-known name; ECHO_REFUSE=1 makes the delegate refuse every client. ECHO_MAX_CALLS,
// ECHO_MAX_QUEUE_WAIT_MS and ECHO_BLOCK_MS set the delivery threads, the longest queue wait
// and how long blockWithReply waits for a release.

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>

#include "platform/bus/VxServiceListener.h"
#include "platform/foundation/VxDeferred.h"

namespace {

std::atomic<int> gLiveObjects{0};
// Calls of countWithReply that were started.
std::atomic<int> gStarted{0};

// Calls parked in blockWithReply until a releaseWithReply.
std::mutex gBlockMutex;
std::condition_variable gBlockChanged;
std::atomic<int> gWaiters{0};
long gGeneration = 0;
std::chrono::milliseconds gBlockTime{10000};

// A positive number from the environment, else `fallback`.
long fromEnvironment(const char* name, long fallback) {
    const char* text = std::getenv(name);
    const long value = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
    return value > 0 ? value : fallback;
}

class EchoObject : public VxExportedObject {
  public:
    explicit EchoObject(std::string peer) : peer_(std::move(peer)) { ++gLiveObjects; }
    ~EchoObject() override { --gLiveObjects; }

    void checkAvailabilityWithReply(VxReplyBlock reply) {
        reply("call " + std::to_string(++calls_));
    }
    void peerWithReply(VxReplyBlock reply) { reply(peer_); }

  private:
    std::string peer_;
    int calls_ = 0;
};

// Waits for a releaseWithReply, at most gBlockTime; false when none came.
bool waitForRelease() {
    std::unique_lock lock(gBlockMutex);
    const long generation = gGeneration;
    ++gWaiters;
    const bool released =
        gBlockChanged.wait_for(lock, gBlockTime, [&] { return gGeneration != generation; });
    --gWaiters;
    return released;
}

void blockWithReply(VxExportedObject&, VxReplyBlock reply) {
    reply(std::string(waitForRelease() ? "released" : "timed out"));
}

// Answers at once, and leaves for after the answer a wait like blockWithReply's.
void deferWithReply(VxExportedObject&, VxReplyBlock reply) {
    vx::runLater([] { waitForRelease(); });
    reply(std::string("answered"));
}

VxExportedInterface echoInterface(const std::string& name) {
    VxExportedInterface i(name);
    i.addMethod("checkAvailabilityWithReply", &EchoObject::checkAvailabilityWithReply);
    i.addMethod("peerWithReply", &EchoObject::peerWithReply);
    i.addMethod("blockWithReply", blockWithReply);
    i.addMethod("deferWithReply", deferWithReply);
    // Methods whose reply does not depend on the client's object.
    const std::pair<const char*, std::function<std::optional<std::string>()>> plain[] = {
        {"absentWithReply", [] { return std::nullopt; }},
        {"emptyWithReply", [] { return std::string(); }},
        {"liveObjectsWithReply", [] { return std::to_string(gLiveObjects.load()); }},
        {"pidWithReply", [] { return std::to_string(::getpid()); }},
        {"nulWithReply", [] { return std::string("a\0b", 3); }},
        {"badUtf8WithReply", [] { return std::string("\xff\xfe"); }},
        {"waitersWithReply", [] { return std::to_string(gWaiters.load()); }},
        {"countWithReply", [] { return std::to_string(++gStarted); }},
        {"startedWithReply", [] { return std::to_string(gStarted.load()); }},
        {"releaseWithReply", [] {
             std::lock_guard lock(gBlockMutex);
             ++gGeneration;
             gBlockChanged.notify_all();
             return std::to_string(gWaiters.load());
         }}};
    for (const auto& [method, answer] : plain)
        i.addMethod(method, [answer](VxExportedObject&, VxReplyBlock reply) { reply(answer()); });
    i.addMethod("dropWithReply", [](VxExportedObject&, VxReplyBlock) {});
    i.addMethod("throwWithReply", [](VxExportedObject&, VxReplyBlock) {
        throw std::runtime_error("handler failure on purpose");
    });
    i.addMethod("twiceWithReply", [](VxExportedObject&, VxReplyBlock reply) {
        reply(std::string("first"));
        reply(std::string("second"));
    });
    i.addMethod("stopWithReply", [](VxExportedObject&, VxReplyBlock reply) {
        reply(std::string("stopping"));
        VxListener::serviceListener().stop();
    });
    return i;
}

class EchoDelegate : public VxListenerDelegate {
  public:
    explicit EchoDelegate(VxExportedInterface i) : interface_(std::move(i)) {}

    bool listener(VxListener&, VxListenerConnection& shouldAcceptNewConnection) override {
        const char* refuse = std::getenv("ECHO_REFUSE");
        if (refuse != nullptr && std::string(refuse) == "1") return false;
        shouldAcceptNewConnection.setExportedInterface(interface_);
        shouldAcceptNewConnection.setExportedObject(
            std::make_shared<EchoObject>(shouldAcceptNewConnection.peerName()));
        shouldAcceptNewConnection.resume();
        return true;
    }

  private:
    VxExportedInterface interface_;
};

}  // namespace

int main() {
    VxListener& listener = VxListener::serviceListener();
    VxListenerConfiguration config = listener.configuration();
    if (const char* name = std::getenv("ECHO_BUS_NAME")) config.endpoint.busName = name;
    VxExportedInterface exported = echoInterface(config.endpoint.interfaceName);
    config.methodNames = exported.methodNames();
    config.maxConcurrentCalls = static_cast<std::size_t>(fromEnvironment("ECHO_MAX_CALLS", 4));
    config.maxQueueWait =
        std::chrono::milliseconds(fromEnvironment("ECHO_MAX_QUEUE_WAIT_MS", 25000));
    gBlockTime = std::chrono::milliseconds(fromEnvironment("ECHO_BLOCK_MS", 10000));
    listener.setConfiguration(config);
    listener.setDelegate(std::make_shared<EchoDelegate>(std::move(exported)));
    listener.resume();
    // Losing the bus is how an activated service ordinarily ends.
    const std::string& failure = listener.failureReason();
    return failure.empty() || failure.rfind("the bus", 0) == 0 ? 0 : 1;
}
