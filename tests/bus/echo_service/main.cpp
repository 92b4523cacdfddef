// A small bus service for the listener tests. Each client gets its own EchoObject; the
// methods below exercise the ways a handler can answer (or fail to).
//
// Environment: ECHO_BUS_NAME overrides the well-known name; ECHO_REFUSE=1 makes the
// delegate refuse every client.

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>

#include "platform/VxServiceListener.h"

namespace {

std::atomic<int> gLiveObjects{0};

// Calls parked in blockWithReply until a releaseWithReply.
std::mutex gBlockMutex;
std::condition_variable gBlockChanged;
int gWaiters = 0;
long gGeneration = 0;

class EchoObject : public VxExportedObject {
  public:
    explicit EchoObject(std::string peer) : peer_(std::move(peer)) { ++gLiveObjects; }
    ~EchoObject() override { --gLiveObjects; }

    void checkAvailabilityWithReply(VxReplyBlock reply) {
        reply("call " + std::to_string(++calls_));
    }
    void absentWithReply(VxReplyBlock reply) { reply(std::nullopt); }
    void emptyWithReply(VxReplyBlock reply) { reply(std::string()); }
    void peerWithReply(VxReplyBlock reply) { reply(peer_); }
    void liveObjectsWithReply(VxReplyBlock reply) { reply(std::to_string(gLiveObjects.load())); }
    void pidWithReply(VxReplyBlock reply) { reply(std::to_string(::getpid())); }
    void dropWithReply(VxReplyBlock) {}
    void throwWithReply(VxReplyBlock) { throw std::runtime_error("handler failure on purpose"); }
    void twiceWithReply(VxReplyBlock reply) {
        reply(std::string("first"));
        reply(std::string("second"));
    }
    void nulWithReply(VxReplyBlock reply) { reply(std::string("a\0b", 3)); }
    void badUtf8WithReply(VxReplyBlock reply) { reply(std::string("\xff\xfe")); }
    void waitersWithReply(VxReplyBlock reply) {
        std::lock_guard lock(gBlockMutex);
        reply(std::to_string(gWaiters));
    }
    void blockWithReply(VxReplyBlock reply) {
        std::unique_lock lock(gBlockMutex);
        const long generation = gGeneration;
        ++gWaiters;
        gBlockChanged.notify_all();
        const bool released = gBlockChanged.wait_for(lock, std::chrono::seconds(10),
                                                     [&] { return gGeneration != generation; });
        --gWaiters;
        lock.unlock();
        reply(std::string(released ? "released" : "timed out"));
    }
    void releaseWithReply(VxReplyBlock reply) {
        int released = 0;
        {
            std::lock_guard lock(gBlockMutex);
            released = gWaiters;
            ++gGeneration;
        }
        gBlockChanged.notify_all();
        reply(std::to_string(released));
    }
    void stopWithReply(VxReplyBlock reply) {
        reply(std::string("stopping"));
        VxListener::serviceListener().stop();
    }

  private:
    std::string peer_;
    int calls_ = 0;
};

VxExportedInterface echoInterface(const std::string& name) {
    VxExportedInterface i(name);
    i.addMethod("checkAvailabilityWithReply", &EchoObject::checkAvailabilityWithReply);
    i.addMethod("absentWithReply", &EchoObject::absentWithReply);
    i.addMethod("emptyWithReply", &EchoObject::emptyWithReply);
    i.addMethod("peerWithReply", &EchoObject::peerWithReply);
    i.addMethod("liveObjectsWithReply", &EchoObject::liveObjectsWithReply);
    i.addMethod("pidWithReply", &EchoObject::pidWithReply);
    i.addMethod("dropWithReply", &EchoObject::dropWithReply);
    i.addMethod("throwWithReply", &EchoObject::throwWithReply);
    i.addMethod("twiceWithReply", &EchoObject::twiceWithReply);
    i.addMethod("nulWithReply", &EchoObject::nulWithReply);
    i.addMethod("badUtf8WithReply", &EchoObject::badUtf8WithReply);
    i.addMethod("waitersWithReply", &EchoObject::waitersWithReply);
    i.addMethod("blockWithReply", &EchoObject::blockWithReply);
    i.addMethod("releaseWithReply", &EchoObject::releaseWithReply);
    i.addMethod("stopWithReply", &EchoObject::stopWithReply);
    return i;
}

class EchoDelegate : public VxListenerDelegate {
  public:
    EchoDelegate(VxExportedInterface i, bool refuse) : interface_(std::move(i)), refuse_(refuse) {}

    bool listener(VxListener&, VxListenerConnection& shouldAcceptNewConnection) override {
        if (refuse_) return false;
        shouldAcceptNewConnection.setExportedInterface(interface_);
        shouldAcceptNewConnection.setExportedObject(
            std::make_shared<EchoObject>(shouldAcceptNewConnection.peerName()));
        shouldAcceptNewConnection.resume();
        return true;
    }

  private:
    VxExportedInterface interface_;
    bool refuse_;
};

}  // namespace

int main() {
    VxListener& listener = VxListener::serviceListener();
    VxListenerConfiguration config = listener.configuration();
    if (const char* name = std::getenv("ECHO_BUS_NAME")) config.endpoint.busName = name;
    VxExportedInterface exported = echoInterface(config.endpoint.interfaceName);
    config.methodNames = exported.methodNames();
    config.maxConcurrentCalls = 4;
    listener.setConfiguration(config);

    const char* refuse = std::getenv("ECHO_REFUSE");
    listener.setDelegate(std::make_shared<EchoDelegate>(
        std::move(exported), refuse != nullptr && std::string(refuse) == "1"));
    listener.resume();
    return listener.failureReason().empty() || listener.failureReason().rfind("the bus", 0) == 0
               ? 0
               : 1;
}
