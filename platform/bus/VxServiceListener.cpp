#include "platform/bus/VxServiceListener.h"

#include <unistd.h>

#include <sys/epoll.h>
#include <sys/eventfd.h>

#include <sdbus-c++/sdbus-c++.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <list>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/foundation/VxDeferred.h"

// ---------------------------------------------------------------------------------------
// Logging: one place, so that the sink can be switched.

namespace {

std::mutex gLogMutex;
VxListenerLogHandler gLogHandler;

void listenerLog(int level, const std::string& line) {
    VxListenerLogHandler handler;
    {
        std::lock_guard lock(gLogMutex);
        handler = gLogHandler;
    }
    if (handler) {
        handler(level, line);
        return;
    }
    static const char* const kLevelNames[] = {"emerg",   "alert",  "crit", "error",
                                              "warning", "notice", "info", "debug"};
    const char* levelName = (level >= 0 && level <= 7) ? kLevelNames[level] : "log";
    std::fprintf(stderr, "diagnostics listener[%d] %s: %s\n", static_cast<int>(::getpid()),
                 levelName, line.c_str());
    std::fflush(stderr);
}

constexpr int kLogError = 3;
constexpr int kLogInfo = 6;
constexpr int kLogDebug = 7;

// ---------------------------------------------------------------------------------------
// Delivery threads, which are also the bus readers: every thread that runs no call waits
// for the bus in one shared epoll set, where the bus descriptor is armed for one wake-up
// at a time. The thread it wakes reads one call and runs it itself, while the others go
// on waiting for the next. A call thus reaches its handler with no hand-over between
// threads, and no thread is woken only to take another's place; a slow call still never
// holds up the bus, since a thread that is about to run a call makes sure another one
// reads meanwhile.
//
// At most maxCalls calls run at once, on as many threads plus one that reads. The threads
// are detached and keep the pool alive themselves, so nothing joinable is left behind
// when the loop ends because the bus went away. After the loop has ended the threads
// only run calls (those the listener still hands over) until close().

// Set by submit() on the thread that submitted: the reader then has a call to run.
thread_local bool tSubmittedHere = false;

class DeliveryPool : public std::enable_shared_from_this<DeliveryPool> {
  public:
    // Waits for the bus once and reads what came, up to the first call it submits; false
    // when the loop has ended.
    using ReadFunction = std::function<bool()>;

    DeliveryPool(std::size_t maxCalls, std::size_t maxQueued)
        : maxCalls_(maxCalls == 0 ? 1 : maxCalls), maxQueued_(maxQueued) {}

    // Starts the loop: a thread starts reading. False when no thread can be started.
    bool startLoop(ReadFunction read) {
        std::lock_guard lock(mutex_);
        read_ = std::move(read);
        serving_ = true;
        if (startThreadLocked()) return true;
        serving_ = false;
        read_ = nullptr;
        return false;
    }

    // Waits until the loop has ended and no thread reads any more.
    void waitLoopEnded() {
        std::unique_lock lock(mutex_);
        finished_.wait(lock, [this] { return !serving_ && readers_ == 0; });
    }

    // False when the call can be neither run nor queued. While the loop runs, calls come
    // from a reader, which runs the first itself; later ones wake a thread here.
    bool submit(std::function<void()> task) {
        std::unique_lock lock(mutex_);
        if (closing_) return false;
        const std::size_t pending = queue_.size() + 1;
        const std::size_t available = maxCalls_ - running_;
        if (pending > available && pending - available > maxQueued_) return false;
        queue_.push_back(std::move(task));
        tSubmittedHere = true;
        if (serving_) return true;
        if (!idle_.empty()) {
            Worker* worker = popIdleLocked();
            lock.unlock();
            worker->wake.notify_one();
        } else if (queue_.size() > threads_ - running_) {
            // Every thread runs a call, or fewer are on their way back than calls wait.
            startThreadLocked();
        }
        return true;
    }

    // The threads end once the queue is empty. Queued calls still run, unless
    // dropQueued: then they are released unstarted (which answers them with an error).
    void close(bool dropQueued) {
        std::deque<std::function<void()>> dropped;
        std::vector<Worker*> sleepers;
        {
            std::lock_guard lock(mutex_);
            closing_ = true;
            if (dropQueued) dropped.swap(queue_);
            while (!idle_.empty()) sleepers.push_back(popIdleLocked());
        }
        for (Worker* worker : sleepers) worker->wake.notify_one();
    }

    // Waits until every thread has ended; false on timeout.
    bool waitFinished(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return finished_.wait_for(lock, timeout, [this] { return threads_ == 0; });
    }

  private:
    // One thread's place among the idle ones after the loop. Records live as long as the
    // pool, so a thread may be woken after the lock is released.
    struct Worker {
        std::condition_variable wake;
        bool woken = false;
    };

    void work(Worker& self) {
        std::unique_lock lock(mutex_);
        for (;;) {
            // A call runs here when a thread is free for it and, while the loop runs,
            // another thread reads the bus meanwhile (or one can be started to). With
            // no other thread at all (none could be started), the call runs here
            // rather than never; the bus is read again after it.
            if (!queue_.empty() && running_ < maxCalls_ &&
                (!serving_ || readers_ > 0 || startThreadLocked() || threads_ == 1)) {
                auto task = std::move(queue_.front());
                queue_.pop_front();
                ++running_;
                lock.unlock();
                try {
                    task();
                } catch (...) {
                    // Tasks report their own failures; nothing may end the thread early.
                }
                task = nullptr;
                lock.lock();
                --running_;
                continue;
            }
            if (serving_) {
                ++readers_;
                ReadFunction read = read_;
                lock.unlock();
                bool goOn = false;
                try {
                    goOn = read();
                } catch (...) {
                    // The read function reports its own failures; the loop ends.
                }
                read = nullptr;
                lock.lock();
                --readers_;
                if (!goOn && serving_) {
                    serving_ = false;
                    read_ = nullptr;
                    // Calls that waited for a thread when the loop ended still run.
                    wakeForQueueLocked(lock);
                }
                if (!serving_) finished_.notify_all();
                continue;
            }
            if (closing_ && queue_.empty()) break;
            self.woken = false;
            idle_.push_back(&self);
            while (!self.woken) self.wake.wait(lock);
        }
        --threads_;
        finished_.notify_all();
    }

    // Wakes or starts threads for the queued calls that can start now. Releases the lock
    // while it wakes threads, and takes it again.
    void wakeForQueueLocked(std::unique_lock<std::mutex>& lock) {
        const std::size_t runnable = std::min(queue_.size(), maxCalls_ - running_);
        std::vector<Worker*> woken;
        for (std::size_t started = 0; woken.size() + started < runnable;) {
            if (!idle_.empty()) {
                woken.push_back(popIdleLocked());
            } else if (startThreadLocked()) {
                ++started;
            } else {
                break;
            }
        }
        if (woken.empty()) return;
        lock.unlock();
        for (Worker* worker : woken) worker->wake.notify_one();
        lock.lock();
    }

    Worker* popIdleLocked() {
        // The thread that went idle last is the one most likely still in the cache.
        Worker* worker = idle_.back();
        idle_.pop_back();
        worker->woken = true;
        return worker;
    }

    bool startThreadLocked() {
        if (threads_ >= maxCalls_ + 1) return false;
        workers_.emplace_back();
        Worker* worker = &workers_.back();
        try {
            std::thread([self = shared_from_this(), worker] { self->work(*worker); }).detach();
        } catch (const std::system_error& e) {
            workers_.pop_back();
            listenerLog(kLogError, std::string("cannot start a delivery thread: ") + e.what());
            return false;
        }
        ++threads_;
        return true;
    }

    std::mutex mutex_;
    std::condition_variable finished_;
    std::deque<std::function<void()>> queue_;
    std::list<Worker> workers_;
    std::vector<Worker*> idle_;
    ReadFunction read_;
    const std::size_t maxCalls_;
    const std::size_t maxQueued_;
    std::size_t threads_ = 0;
    std::size_t running_ = 0;
    std::size_t readers_ = 0;
    bool serving_ = false;
    bool closing_ = false;
};

// ---------------------------------------------------------------------------------------
// One pending method call: answered exactly once, with the text or with an error.

class ReplySlot {
  public:
    ReplySlot(sdbus::MethodCall call, std::shared_ptr<sdbus::IConnection> bus, std::string what)
        : bus_(std::move(bus)), call_(std::move(call)), what_(std::move(what)) {}

    ~ReplySlot() { fail(VxServiceErrors::kNoReply, "the call ended without a reply"); }

    // Kept until the slot goes, that is until the call has been answered.
    void holdWhileOpen(std::shared_ptr<void> token) { token_ = std::move(token); }

    void answer(std::optional<std::string> text) {
        std::lock_guard lock(mutex_);
        if (answered_) {
            listenerLog(kLogError, what_ + ": reply given more than once; extra reply ignored");
            return;
        }
        answered_ = true;
        if (text && text->find('\0') != std::string::npos) {
            // A bus string ends at the first NUL; refuse rather than send a cut text.
            sendError(VxServiceErrors::kInvalidReply, "the reply text contains a NUL character");
            return;
        }
        try {
            auto reply = call_.createReply();
            std::vector<std::string> items;
            if (text) items.push_back(*text);
            reply << items;
            reply.send();
        } catch (const sdbus::Error& e) {
            if (e.getName() == "org.freedesktop.DBus.Error.InvalidArgs") {
                sendError(VxServiceErrors::kInvalidReply,
                          "the reply text cannot be sent on the bus: " + e.getMessage());
            } else {
                listenerLog(kLogError, what_ + ": reply not sent: " + e.what());
            }
        }
        call_ = sdbus::MethodCall();
    }

    // Replies with an error unless the call was answered already.
    void fail(const std::string& name, const std::string& message) {
        std::lock_guard lock(mutex_);
        if (answered_) return;
        answered_ = true;
        listenerLog(kLogError, what_ + ": " + message);
        sendError(name, message);
        call_ = sdbus::MethodCall();
    }

  private:
    void sendError(const std::string& name, const std::string& message) {
        try {
            call_.createErrorReply(sdbus::Error(name, message)).send();
        } catch (const sdbus::Error& e) {
            listenerLog(kLogError, what_ + ": error reply not sent: " + e.what());
        }
    }

    std::mutex mutex_;
    // Keeps the bus connection alive as long as a reply may still be sent on it; declared
    // before the call, which refers to the connection.
    std::shared_ptr<sdbus::IConnection> bus_;
    sdbus::MethodCall call_;
    const std::string what_;
    bool answered_ = false;
    std::shared_ptr<void> token_;
};

// Owned by every copy of a reply callback: when the last copy goes without a reply,
// the caller gets an error instead of waiting for nothing.
struct ReplyGuard {
    explicit ReplyGuard(std::shared_ptr<ReplySlot> s) : slot(std::move(s)) {}
    ~ReplyGuard() { slot->fail(VxServiceErrors::kNoReply, "the handler dropped its reply"); }
    std::shared_ptr<ReplySlot> slot;
};

struct ClientEntry {
    std::shared_ptr<VxListenerConnection> connection;
    bool accepted = false;
    // Set when the client leaves the bus; its queued calls are then not started.
    std::atomic<bool> gone{false};
};

std::string describeException(std::exception_ptr error) {
    try {
        std::rethrow_exception(std::move(error));
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown exception";
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// VxListenerConnection

void VxListenerConnection::setExportedInterface(VxExportedInterface exportedInterface) {
    auto shared = std::make_shared<const VxExportedInterface>(std::move(exportedInterface));
    std::lock_guard lock(mutex_);
    interface_ = std::move(shared);
}

std::shared_ptr<const VxExportedInterface> VxListenerConnection::exportedInterface() const {
    std::lock_guard lock(mutex_);
    return interface_;
}

void VxListenerConnection::setExportedObject(std::shared_ptr<VxExportedObject> exportedObject) {
    std::lock_guard lock(mutex_);
    object_ = std::move(exportedObject);
}

std::shared_ptr<VxExportedObject> VxListenerConnection::exportedObject() const {
    std::lock_guard lock(mutex_);
    return object_;
}

void VxListenerConnection::resume() {
    std::lock_guard lock(mutex_);
    resumed_ = true;
}

bool VxListenerConnection::isResumed() const {
    std::lock_guard lock(mutex_);
    return resumed_;
}

// ---------------------------------------------------------------------------------------
// VxListener

struct VxListener::Impl : std::enable_shared_from_this<VxListener::Impl> {
    explicit Impl(VxListener& o, VxListenerConfiguration c) : owner(o), config(std::move(c)) {}

    // What publishing made: the connection, the object and the departure watch.
    struct Publication {
        std::shared_ptr<sdbus::IConnection> connection;
        std::unique_ptr<sdbus::IObject> object;
        sdbus::Slot ownerWatch;
    };

    void run();
    // Claims the listener for a run (false when it runs already or a stop came
    // first) and copies the configuration the run uses.
    bool beginRun(VxListenerConfiguration& cfg);
    // Records why the run could not start and releases the listener.
    void failRun(const std::string& why);
    // Opens the connection, watches departures, registers the methods and takes
    // the bus name; the reason on failure, "" on success.
    std::string publish(const VxListenerConfiguration& cfg, const VxBusChoice& choice,
                        const std::shared_ptr<DeliveryPool>& pool, Publication& out);
    // Runs the event loop (with the idle timer) on the delivery threads until it ends;
    // the reason the bus ended it, "" for a stop or an idle end (`idle` tells which).
    std::string serve(const VxListenerConfiguration& cfg, const VxBusChoice& choice,
                      sdbus::IConnection& connection, DeliveryPool& pool, bool& idle);
    // One delivery thread's wait for the bus and what it reads, up to the first call;
    // false when the loop ends (stop, idle end, or the bus went away).
    bool readBus(sdbus::IConnection& connection, int readers, int busFd);
    // True once the loop has to end. Locks.
    bool loopEnding();
    // Ends the loop for every reader, giving why. Locks.
    void endLoop(const std::string& why, int level);
    // Wakes every reader to look at the stop and idle flags: the wake-up descriptor,
    // once written, stays readable. Locked.
    void interruptLoopLocked();
    // Gives up the name after an idle end, lets the calls finish as the end
    // allows, forgets the clients and records how the run ended.
    void windDown(const VxListenerConfiguration& cfg, DeliveryPool& pool, bool idle,
                  const std::string& ended, Publication& published);
    void onCall(sdbus::MethodCall call, const std::shared_ptr<sdbus::IConnection>& bus,
                const std::shared_ptr<DeliveryPool>& pool, std::chrono::milliseconds maxQueueWait);
    // Counts a call from its arrival until its reply has gone: the result of
    // callArrived() is released when the call ends.
    std::shared_ptr<void> callArrived();
    void callEnded();
    // Ends the loop once no call has run for `idle`.
    void watchIdle(std::chrono::milliseconds idle);
    // Gives up the name and hands the calls that reached us meanwhile to the pool.
    void leaveIdle(sdbus::IConnection& bus, const std::string& busName);
    std::shared_ptr<ClientEntry> clientFor(const std::string& peer);
    void onNameOwnerChanged(sdbus::Message& message);

    VxListener& owner;
    mutable std::mutex mutex;
    VxListenerConfiguration config;
    std::shared_ptr<VxListenerDelegate> delegate;
    std::string failure;
    bool stopRequested = false;
    bool running = false;
    int wakeFd = -1;          // set while the loop runs; see interruptLoopLocked()
    std::string loopFailure;  // why the bus ended the loop
    std::map<std::string, std::shared_ptr<ClientEntry>> clients;
    // Idle tracking: calls not yet finished, and when the last call arrived or ended.
    std::size_t callsInFlight = 0;
    std::chrono::steady_clock::time_point lastActivity = std::chrono::steady_clock::now();
    std::condition_variable activity;
    bool idleExpired = false;
    bool watchEnd = false;
    bool endedIdle = false;
};

namespace {

// Releases its call's place in the count of calls in flight.
class CallInFlight {
  public:
    explicit CallInFlight(std::weak_ptr<VxListener::Impl> impl) : impl_(std::move(impl)) {}
    ~CallInFlight() {
        if (auto impl = impl_.lock()) impl->callEnded();
    }
    CallInFlight(const CallInFlight&) = delete;
    CallInFlight& operator=(const CallInFlight&) = delete;

  private:
    std::weak_ptr<VxListener::Impl> impl_;
};

}  // namespace

std::shared_ptr<void> VxListener::Impl::callArrived() {
    {
        std::lock_guard lock(mutex);
        ++callsInFlight;
        lastActivity = std::chrono::steady_clock::now();
    }
    return std::make_shared<CallInFlight>(weak_from_this());
}

void VxListener::Impl::callEnded() {
    std::lock_guard lock(mutex);
    --callsInFlight;
    lastActivity = std::chrono::steady_clock::now();
    // No wake-up for the idle watch: it looks again by itself (see watchIdle), which
    // spares every call a hand-over to that thread.
}

void VxListener::Impl::watchIdle(std::chrono::milliseconds idle) {
    std::unique_lock lock(mutex);
    while (!watchEnd) {
        // While calls run, look again after a whole idle period: a call that ends
        // meanwhile moves the deadline to at least then.
        if (callsInFlight > 0) {
            activity.wait_for(lock, idle);
            continue;
        }
        const auto deadline = lastActivity + idle;
        if (std::chrono::steady_clock::now() < deadline) {
            activity.wait_until(lock, deadline);
            continue;
        }
        idleExpired = true;
        interruptLoopLocked();
        return;
    }
}

void VxListener::Impl::leaveIdle(sdbus::IConnection& connection, const std::string& busName) {
    // Calls sent to the name before the bus took it back reach us before the reply to
    // ReleaseName; the ones after go to a new instance. Answer every one that came.
    try {
        connection.releaseName(busName);
        while (connection.processPendingRequest()) {
        }
    } catch (const sdbus::Error& e) {
        listenerLog(kLogError, std::string("while giving up the name: ") + e.what());
    }
}

VxListener& VxListener::serviceListener() {
    static VxListener listener;
    return listener;
}

VxListener::VxListener(VxListenerConfiguration configuration)
    : impl_(std::make_shared<Impl>(*this, std::move(configuration))) {}

VxListener::~VxListener() {
    stop();
}

void VxListener::setConfiguration(VxListenerConfiguration configuration) {
    std::lock_guard lock(impl_->mutex);
    impl_->config = std::move(configuration);
}

VxListenerConfiguration VxListener::configuration() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->config;
}

void VxListener::setDelegate(std::shared_ptr<VxListenerDelegate> delegate) {
    std::lock_guard lock(impl_->mutex);
    impl_->delegate = std::move(delegate);
}

std::shared_ptr<VxListenerDelegate> VxListener::delegate() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->delegate;
}

void VxListener::setLogHandler(VxListenerLogHandler handler) {
    std::lock_guard lock(gLogMutex);
    gLogHandler = std::move(handler);
}

void VxListener::resume() {
    impl_->run();
}

void VxListener::stop() {
    std::lock_guard lock(impl_->mutex);
    impl_->stopRequested = true;
    impl_->interruptLoopLocked();
}

std::string VxListener::failureReason() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->failure;
}

std::size_t VxListener::connectionCount() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->clients.size();
}

std::size_t VxListener::callsInProgress() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->callsInFlight;
}

bool VxListener::endedIdle() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->endedIdle;
}

// The listener's run, in the order of its steps: claim the listener, publish
// the object and its name, serve until the loop ends, then wind down.
void VxListener::Impl::run() {
    VxListenerConfiguration cfg;
    if (!beginRun(cfg)) return;

    const VxBusChoice choice = vxChooseBus(cfg.busAddress, true);
    if (!choice.error.empty()) return failRun(choice.error);

    // Declared first so that it outlives the pool: the pool's delivery threads
    // have ended before the connection is closed.
    Publication published;
    auto pool = std::make_shared<DeliveryPool>(cfg.maxConcurrentCalls, cfg.maxQueuedCalls);
    if (std::string why = publish(cfg, choice, pool, published); !why.empty()) return failRun(why);

    bool idle = false;
    const std::string ended = serve(cfg, choice, *published.connection, *pool, idle);
    windDown(cfg, *pool, idle, ended, published);
}

bool VxListener::Impl::beginRun(VxListenerConfiguration& cfg) {
    std::lock_guard lock(mutex);
    if (running) {
        listenerLog(kLogError, "resume: the listener is running already");
        return false;
    }
    failure.clear();
    endedIdle = false;
    if (stopRequested) return false;
    running = true;
    cfg = config;
    return true;
}

void VxListener::Impl::failRun(const std::string& why) {
    listenerLog(kLogError, why);
    std::lock_guard lock(mutex);
    failure = why;
    running = false;
}

std::string VxListener::Impl::publish(const VxListenerConfiguration& cfg, const VxBusChoice& choice,
                                      const std::shared_ptr<DeliveryPool>& pool, Publication& out) {
    try {
        if (choice.kind == VxBusChoice::Kind::system) {
            out.connection = sdbus::createSystemBusConnection();
        } else {
            out.connection = sdbus::createSessionBusConnectionWithAddress(choice.address);
        }
        out.connection->setMethodCallTimeout(cfg.busCallTimeout);

        // Watch clients leaving before anyone can call us, so no departure is missed.
        out.ownerWatch = out.connection->addMatch(
            "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
            "interface='org.freedesktop.DBus',member='NameOwnerChanged'",
            [this](sdbus::Message& message) { onNameOwnerChanged(message); });

        out.object = sdbus::createObject(*out.connection, cfg.endpoint.objectPath);
        std::weak_ptr<sdbus::IConnection> weakBus = out.connection;
        for (const auto& methodName : cfg.methodNames) {
            out.object->registerMethod(
                cfg.endpoint.interfaceName, methodName, "", "as",
                [this, weakBus, pool, maxWait = cfg.maxQueueWait](sdbus::MethodCall call) {
                    onCall(std::move(call), weakBus.lock(), pool, maxWait);
                });
        }
        out.object->finishRegistration();
        out.connection->requestName(cfg.endpoint.busName);
    } catch (const sdbus::Error& e) {
        out.object.reset();
        out.ownerWatch.reset();
        return "cannot publish " + cfg.endpoint.busName + " on the " + choice.description + ": " +
               e.what();
    }
    return {};
}

std::string VxListener::Impl::serve(const VxListenerConfiguration& cfg, const VxBusChoice& choice,
                                    sdbus::IConnection& connection, DeliveryPool& pool,
                                    bool& idle) {
    // The readers' shared wait: the bus descriptor, armed for one wake-up at a time, and
    // the wake-up descriptor, which once written stays readable so that every reader
    // sees the end of the loop.
    const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    const int readers = ::epoll_create1(EPOLL_CLOEXEC);
    auto closeAll = [&] {
        if (wake >= 0) ::close(wake);
        if (readers >= 0) ::close(readers);
    };
    if (wake < 0 || readers < 0) {
        const std::string why = std::string("cannot set up the bus loop: ") + std::strerror(errno);
        closeAll();
        return why;
    }
    int busFd = -1;
    try {
        busFd = connection.getEventLoopPollData().fd;
    } catch (const sdbus::Error& e) {
        closeAll();
        return std::string("the bus went away: ") + e.what();
    }
    epoll_event busEvent{};
    busEvent.events = EPOLLIN | EPOLLONESHOT;
    busEvent.data.fd = busFd;
    epoll_event wakeEvent{};
    wakeEvent.events = EPOLLIN;
    wakeEvent.data.fd = wake;
    if (::epoll_ctl(readers, EPOLL_CTL_ADD, busFd, &busEvent) != 0 ||
        ::epoll_ctl(readers, EPOLL_CTL_ADD, wake, &wakeEvent) != 0) {
        const std::string why = std::string("cannot set up the bus loop: ") + std::strerror(errno);
        closeAll();
        return why;
    }

    bool loop = true;
    {
        std::lock_guard lock(mutex);
        wakeFd = wake;
        loopFailure.clear();
        loop = !stopRequested;
        idleExpired = false;
        watchEnd = false;
        lastActivity = std::chrono::steady_clock::now();
    }
    std::thread watchdog;
    if (loop && cfg.idleTimeout.count() > 0) {
        try {
            watchdog = std::thread([this, idle = cfg.idleTimeout] { watchIdle(idle); });
        } catch (const std::system_error& e) {
            listenerLog(kLogError, std::string("cannot start the idle timer: ") + e.what());
        }
    }
    std::string ended;
    if (loop) {
        listenerLog(kLogInfo, "serving " + cfg.endpoint.busName + " as " +
                                  connection.getUniqueName() + " on the " + choice.description);
        if (pool.startLoop([this, &connection, readers, busFd] {
                return readBus(connection, readers, busFd);
            })) {
            pool.waitLoopEnded();
            std::lock_guard lock(mutex);
            ended = loopFailure;
        } else {
            ended = "cannot start a thread to read the bus";
            listenerLog(kLogError, ended);
        }
    }
    {
        std::lock_guard lock(mutex);
        wakeFd = -1;
        watchEnd = true;
        activity.notify_all();
        idle = idleExpired && !stopRequested && ended.empty();
    }
    if (watchdog.joinable()) watchdog.join();
    closeAll();
    return ended;
}

bool VxListener::Impl::loopEnding() {
    std::lock_guard lock(mutex);
    return stopRequested || idleExpired || !loopFailure.empty();
}

void VxListener::Impl::endLoop(const std::string& why, int level) {
    listenerLog(level, why);
    std::lock_guard lock(mutex);
    if (loopFailure.empty()) loopFailure = why;
    interruptLoopLocked();
}

bool VxListener::Impl::readBus(sdbus::IConnection& connection, int readers, int busFd) {
    try {
        if (loopEnding()) return false;
        epoll_event event{};
        const int n =
            ::epoll_wait(readers, &event, 1, connection.getEventLoopPollData().getPollTimeout());
        if (n < 0) {
            if (errno == EINTR) return true;
            endLoop(std::string("cannot wait for the bus: ") + std::strerror(errno), kLogError);
            return false;
        }
        if (n == 1 && event.data.fd != busFd) return !loopEnding();
        // Read until a call has been submitted, which this thread then runs; a further
        // message wakes another reader once the descriptor is armed again.
        tSubmittedHere = false;
        while (connection.processPendingRequest()) {
            if (tSubmittedHere) break;
        }
        epoll_event arm{};
        arm.events =
            static_cast<std::uint32_t>(connection.getEventLoopPollData().events) | EPOLLONESHOT;
        arm.data.fd = busFd;
        if (::epoll_ctl(readers, EPOLL_CTL_MOD, busFd, &arm) != 0) {
            endLoop(std::string("cannot wait for the bus: ") + std::strerror(errno), kLogError);
            return false;
        }
        return true;
    } catch (const sdbus::Error& e) {
        endLoop(std::string("the bus went away: ") + e.what(), kLogInfo);
        return false;
    } catch (...) {
        endLoop("the bus loop failed: " + describeException(std::current_exception()), kLogError);
        return false;
    }
}

void VxListener::Impl::interruptLoopLocked() {
    if (wakeFd < 0) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakeFd, &one, sizeof one);
}

void VxListener::Impl::windDown(const VxListenerConfiguration& cfg, DeliveryPool& pool, bool idle,
                                const std::string& ended, Publication& published) {
    if (idle) {
        listenerLog(kLogInfo, "no calls for " + std::to_string(cfg.idleTimeout.count()) +
                                  " ms; giving up " + cfg.endpoint.busName);
        leaveIdle(*published.connection, cfg.endpoint.busName);
    }
    // Let running calls reply while the connection is still open: after an idle end all
    // of them, queued ones included (unless stop() comes meanwhile); otherwise the running
    // ones within drainTimeout, while queued ones are not started.
    pool.close(!idle);
    if (idle) {
        while (!pool.waitFinished(std::chrono::milliseconds(100))) {
            std::lock_guard lock(mutex);
            if (stopRequested) break;
        }
    }
    if (!pool.waitFinished(cfg.drainTimeout)) {
        listenerLog(kLogError, "calls still running when the listener stopped; left behind");
    }
    std::map<std::string, std::shared_ptr<ClientEntry>> dropped;
    {
        std::lock_guard lock(mutex);
        dropped.swap(clients);
        failure = ended;
        endedIdle = idle;
        running = false;
    }
    dropped.clear();
    published.object.reset();
    published.ownerWatch.reset();
    listenerLog(kLogInfo, "listener stopped");
}

std::shared_ptr<ClientEntry> VxListener::Impl::clientFor(const std::string& peer) {
    std::shared_ptr<VxListenerDelegate> currentDelegate;
    {
        std::lock_guard lock(mutex);
        auto it = clients.find(peer);
        if (it != clients.end()) return it->second;
        currentDelegate = delegate;
    }
    auto entry = std::make_shared<ClientEntry>();
    entry->connection = std::make_shared<VxListenerConnection>(peer);
    if (currentDelegate) {
        try {
            entry->accepted = currentDelegate->listener(owner, *entry->connection);
        } catch (...) {
            listenerLog(kLogError, "the listener delegate failed for " + peer + ": " +
                                       describeException(std::current_exception()));
            entry->accepted = false;
        }
    } else {
        listenerLog(kLogError, "no listener delegate; refusing " + peer);
    }
    listenerLog(kLogDebug,
                std::string("new connection from ") + peer + (entry->accepted ? "" : " refused"));
    std::lock_guard lock(mutex);
    clients[peer] = entry;
    return entry;
}

void VxListener::Impl::onNameOwnerChanged(sdbus::Message& message) {
    std::string name, oldOwner, newOwner;
    try {
        message >> name >> oldOwner >> newOwner;
    } catch (const sdbus::Error&) {
        return;
    }
    if (!newOwner.empty() || name.empty() || name[0] != ':') return;
    std::shared_ptr<ClientEntry> departed;
    {
        std::lock_guard lock(mutex);
        auto it = clients.find(name);
        if (it == clients.end()) return;
        departed = std::move(it->second);
        clients.erase(it);
    }
    departed->gone = true;
    listenerLog(kLogDebug, "client " + name + " left; connection dropped");
    // `departed` releases the connection and its exported object here, or when the last of
    // its running calls ends.
}

void VxListener::Impl::onCall(sdbus::MethodCall call,
                              const std::shared_ptr<sdbus::IConnection>& currentBus,
                              const std::shared_ptr<DeliveryPool>& pool,
                              std::chrono::milliseconds maxQueueWait) {
    const std::string peer = call.getSender();
    const std::string methodName = call.getMemberName();
    auto slot =
        std::make_shared<ReplySlot>(std::move(call), currentBus, methodName + " from " + peer);
    slot->holdWhileOpen(callArrived());

    auto entry = clientFor(peer);
    if (!entry->accepted) {
        return slot->fail(VxServiceErrors::kConnectionRefused,
                          "the service refused the connection of " + peer);
    }
    const auto& connection = entry->connection;
    auto exportedInterface = connection->exportedInterface();
    auto exportedObject = connection->exportedObject();
    if (!connection->isResumed() || !exportedInterface || !exportedObject) {
        return slot->fail(VxServiceErrors::kConnectionRefused,
                          "the connection of " + peer + " exports nothing or was not resumed");
    }
    const VxExportedInterface::Method* method = exportedInterface->method(methodName);
    if (method == nullptr) {
        return slot->fail(VxServiceErrors::kUnknownMethod,
                          "the connection of " + peer + " does not export " + methodName);
    }

    const auto queuedAt = std::chrono::steady_clock::now();
    auto task = [slot, entry, exportedInterface, exportedObject, method, queuedAt, maxQueueWait]() {
        // Nobody waits for the reply any more: do not spend the work.
        if (entry->gone) {
            return slot->fail(VxServiceErrors::kNoReply,
                              "not started: the caller left the bus while the call waited");
        }
        if (std::chrono::steady_clock::now() - queuedAt > maxQueueWait) {
            return slot->fail(VxServiceErrors::kBusy,
                              "not started: the call waited longer than callers wait for it");
        }
        // What the handler leaves for later (releasing what it built) runs once the
        // reply has gone out, when this scope closes: the caller does not wait for it.
        VxDeferredScope afterReply;
        // The task keeps one guard itself, so that a failing handler is reported as such
        // before the guard reports a dropped reply.
        auto guard = std::make_shared<ReplyGuard>(slot);
        VxReplyBlock reply = [guard](std::optional<std::string> text) {
            guard->slot->answer(std::move(text));
        };
        try {
            (*method)(*exportedObject, std::move(reply));
        } catch (...) {
            slot->fail(VxServiceErrors::kNoReply,
                       "the handler failed: " + describeException(std::current_exception()));
        }
    };
    if (!pool->submit(std::move(task))) {
        slot->fail(VxServiceErrors::kBusy, "too many calls at once; try again later");
    }
}
