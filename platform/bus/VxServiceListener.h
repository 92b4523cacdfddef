#pragma once
// The platform service listener: publishes one object under a well-known name on the
// message bus and hands every client of the service to a delegate, which decides whether
// to accept it and what to export to it.
//
// A "connection" is one client of the service, identified by its unique bus name. Its
// first call asks the delegate (listener:shouldAcceptNewConnection:); an accepted
// connection keeps its exported object until the client leaves the bus. Every method of
// an exported interface takes no argument and replies exactly once with one optional
// text; on the bus the reply is an array of strings ("as") with zero or one element.

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include "platform/bus/VxServiceEndpoint.h"
#include "platform/foundation/VxExport.h"

class VxListener;

// The reply callback of an exported method. Call it exactly once; later calls are
// ignored. When every copy is dropped without a call, the caller gets an error reply.
using VxReplyBlock = std::function<void(std::optional<std::string>)>;

// Base class of every object a connection exports.
class DA_EXPORT VxExportedObject {
  public:
    virtual ~VxExportedObject() = default;
};

// Describes an exported interface: its bus interface name and its methods.
class DA_EXPORT VxExportedInterface {
  public:
    using Method = std::function<void(VxExportedObject& object, VxReplyBlock reply)>;

    explicit VxExportedInterface(std::string name = VxServiceEndpoint::kDefaultInterfaceName)
        : name_(std::move(name)) {}

    const std::string& name() const { return name_; }

    void addMethod(const std::string& methodName, Method method) {
        methods_[methodName] = std::move(method);
    }

    // Binds a member function `void T::m(R reply)` where R can be built from VxReplyBlock.
    // Calls on an exported object of another type fail with an error reply.
    template <class T, class R>
    void addMethod(const std::string& methodName, void (T::*member)(R)) {
        static_assert(std::is_base_of_v<VxExportedObject, T>,
                      "exported objects derive from VxExportedObject");
        methods_[methodName] = [member, methodName](VxExportedObject& object, VxReplyBlock reply) {
            auto* target = dynamic_cast<T*>(&object);
            if (target == nullptr) throw std::bad_cast();
            (target->*member)(R(std::move(reply)));
        };
    }

    const Method* method(const std::string& methodName) const {
        auto it = methods_.find(methodName);
        return it == methods_.end() ? nullptr : &it->second;
    }

    std::vector<std::string> methodNames() const {
        std::vector<std::string> names;
        for (const auto& entry : methods_) names.push_back(entry.first);
        return names;
    }

  private:
    std::string name_;
    std::map<std::string, Method> methods_;
};

// One client of the service. Created by the listener; configured by the delegate.
class DA_EXPORT VxListenerConnection {
  public:
    // The client's unique bus name (":1.42").
    const std::string& peerName() const { return peerName_; }

    void setExportedInterface(VxExportedInterface exportedInterface);
    std::shared_ptr<const VxExportedInterface> exportedInterface() const;

    void setExportedObject(std::shared_ptr<VxExportedObject> exportedObject);
    std::shared_ptr<VxExportedObject> exportedObject() const;

    // Starts delivering the client's calls. Calls of a connection that was never resumed
    // are refused.
    void resume();
    bool isResumed() const;

    explicit VxListenerConnection(std::string peerName) : peerName_(std::move(peerName)) {}
    VxListenerConnection(const VxListenerConnection&) = delete;
    VxListenerConnection& operator=(const VxListenerConnection&) = delete;

  private:
    const std::string peerName_;
    mutable std::mutex mutex_;
    std::shared_ptr<const VxExportedInterface> interface_;
    std::shared_ptr<VxExportedObject> object_;
    bool resumed_ = false;
};

class DA_EXPORT VxListenerDelegate {
  public:
    virtual ~VxListenerDelegate() = default;
    // Called, for the first call of every new client, on the delivery thread that is
    // reading the bus at the time (the bus is not read meanwhile).
    // Return true to accept it (after exporting an interface and object and resuming it);
    // false refuses every call of that client until it leaves the bus.
    virtual bool listener(VxListener& listener,
                          VxListenerConnection& shouldAcceptNewConnection) = 0;
};

struct DA_EXPORT VxListenerConfiguration {
    VxServiceEndpoint endpoint;
    // The methods published on the bus under endpoint.interfaceName. A call of one of
    // them is served by the connection's exported interface.
    std::vector<std::string> methodNames = {VxServiceEndpoint::kCheckAvailabilityMethod};
    // Bus address to use instead of the usual choice (see vxChooseBus).
    std::string busAddress;
    // Delivery threads: at most this many calls run at the same time (on as many
    // threads, plus the one reading the bus) ...
    std::size_t maxConcurrentCalls = 8;
    // ... and at most this many more wait; beyond that calls are refused as busy.
    std::size_t maxQueuedCalls = 64;
    // Timeout of the listener's own calls to the bus daemon.
    std::chrono::milliseconds busCallTimeout{10000};
    // A queued call that has waited longer than this for a delivery thread is not
    // started (its caller gets a busy error): the caller's own call has timed out by
    // then. The bus's usual method-call timeout is 25 seconds. Calls of a client that
    // left the bus while they waited are not started either.
    std::chrono::milliseconds maxQueueWait{25000};
    // After this long without calls, counted from the end of the last call and never
    // while a call runs, the listener gives up its name, answers the calls that
    // reached it meanwhile and ends resume(), as bus-activated services do: the bus
    // starts the service again for the next call. Zero: never.
    std::chrono::milliseconds idleTimeout{0};
    // After stop() or the loss of the bus, how long resume() waits for running calls
    // to reply; calls still running then are left behind (see callsInProgress()).
    std::chrono::milliseconds drainTimeout{2000};
};

// Log sink of the listener; level follows syslog numbering (3 error, 6 info, 7 debug).
using VxListenerLogHandler = std::function<void(int level, const std::string& line)>;

class DA_EXPORT VxListener {
  public:
    // The process's service listener, configured with the default endpoint. Configure
    // it (setConfiguration) before resume().
    static VxListener& serviceListener();

    explicit VxListener(VxListenerConfiguration configuration = {});
    ~VxListener();
    VxListener(const VxListener&) = delete;
    VxListener& operator=(const VxListener&) = delete;

    void setConfiguration(VxListenerConfiguration configuration);
    VxListenerConfiguration configuration() const;

    void setDelegate(std::shared_ptr<VxListenerDelegate> delegate);
    std::shared_ptr<VxListenerDelegate> delegate() const;

    // Replaces the log sink (default: one line per message on stderr).
    static void setLogHandler(VxListenerLogHandler handler);

    // Connects to the bus, publishes the object, takes the well-known name and serves
    // calls: the delivery threads that run no call wait for the bus together, and the
    // thread that reads a call runs it. The calling thread waits meanwhile. Returns when the bus
    // goes away, when stop() is called, or at once when the bus or the name cannot be had (see
    // failureReason()).
    void resume();
    // Ends a running resume() from any thread (not from a signal handler); a later
    // resume() returns at once.
    void stop();

    // Why the last resume() ended; empty after stop().
    std::string failureReason() const;
    // Clients currently known (accepted or refused).
    std::size_t connectionCount() const;
    // Calls received and not yet finished (queued, running, or left behind by the
    // last resume()).
    std::size_t callsInProgress() const;
    // True when the last resume() ended because the service was idle.
    bool endedIdle() const;

    struct Impl;

  private:
    std::shared_ptr<Impl> impl_;
};
