#include "platform/bus/VxServiceListener.h"

#include <unistd.h>

#include <poll.h>
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
// Delivery threads, which also take turns reading the bus (leader and followers): the
// thread that reads a call runs it itself, after handing the reading on to an idle
// thread. The call thus starts on the thread that received it, with no hand-over to
// another thread on its way, while a slow call still never holds up the bus.
//
// At most maxCalls calls run at once, on as many threads plus the reader. The threads
// are detached and keep the pool alive themselves, so nothing joinable is left behind
// when the loop ends because the bus went away. After the loop has ended the threads
// only run calls (those the listener still hands over) until close().

class DeliveryPool : public std::enable_shared_from_this<DeliveryPool> {
  public:
    // Reads the bus until calls have been submitted (true) or the loop has ended (false).
    using LeadFunction = std::function<bool()>;

    DeliveryPool(std::size_t maxCalls, std::size_t maxQueued)
        : maxCalls_(maxCalls == 0 ? 1 : maxCalls), maxQueued_(maxQueued) {}

    // Starts the loop: a thread takes the lead. False when no thread can be started.
    bool startLoop(LeadFunction lead) {
        std::lock_guard lock(mutex_);
        lead_ = std::move(lead);
        serving_ = true;
        if (startThreadLocked()) return true;
        serving_ = false;
        lead_ = nullptr;
        return false;
    }

    // Waits until the lead function has reported the end of the loop.
    void waitLoopEnded() {
        std::unique_lock lock(mutex_);
        finished_.wait(lock, [this] { return !serving_; });
    }

    // True when calls were submitted since the last look; the reader hands them on then.
    bool takeArrivals() {
        std::lock_guard lock(mutex_);
        return std::exchange(arrived_, false);
    }

    // False when the call can be neither run nor queued. While the loop runs, calls come
    // from the reader, which hands them on when it returns from the bus; later ones wake
    // a thread here.
    bool submit(std::function<void()> task) {
        std::unique_lock lock(mutex_);
        if (closing_) return false;
        const std::size_t pending = queue_.size() + 1;
        const std::size_t available = maxCalls_ - running_;
        if (pending > available && pending - available > maxQueued_) return false;
        queue_.push_back(std::move(task));
        arrived_ = true;
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
    // One thread's place among the idle ones. Records live as long as the pool, so a
    // thread may be woken after the lock is released.
    struct Worker {
        std::condition_variable wake;
        bool woken = false;
    };

    void work(Worker& self) {
        std::unique_lock lock(mutex_);
        bool handedOn = false;  // this thread has just given up the lead to run a call
        for (;;) {
            if (serving_ && !leaderTaken_ && !handedOn) {
                leaderTaken_ = true;
                LeadFunction lead = lead_;
                lock.unlock();
                bool callsWaiting = false;
                try {
                    callsWaiting = lead();
                } catch (...) {
                    // The lead function reports its own failures; the loop ends.
                }
                lead = nullptr;
                lock.lock();
                leaderTaken_ = false;
                if (!callsWaiting) {
                    serving_ = false;
                    lead_ = nullptr;
                    finished_.notify_all();
                    // Calls that waited for a thread when the loop ended still run.
                    if (!queue_.empty()) recruitLocked(lock);
                    continue;
                }
                // With no other thread at all (none could be started), the call runs
                // here rather than never; the bus is read again after it.
                handedOn = recruitLocked(lock) || threads_ == 1;
                continue;
            }
            handedOn = false;
            if (!queue_.empty() && running_ < maxCalls_) {
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
            if (closing_ && !serving_ && queue_.empty()) break;
            self.woken = false;
            idle_.push_back(&self);
            while (!self.woken) self.wake.wait(lock);
        }
        --threads_;
        finished_.notify_all();
    }

    // After a lead that submitted calls: wakes or starts threads for the lead and for the
    // calls that can start now beyond the one this thread runs. False when no other
    // thread can take the lead: this thread keeps it, and the calls wait for a thread
    // that finishes. Releases the lock while it wakes threads, and takes it again.
    bool recruitLocked(std::unique_lock<std::mutex>& lock) {
        const std::size_t runnable = std::min(queue_.size(), maxCalls_ - running_);
        std::vector<Worker*> woken;
        std::size_t started = 0;
        while (woken.size() + started < runnable) {
            if (!idle_.empty()) {
                woken.push_back(popIdleLocked());
            } else if (startThreadLocked()) {
                ++started;
            } else {
                break;
            }
        }
        if (woken.empty()) return started > 0;
        lock.unlock();
        for (Worker* worker : woken) worker->wake.notify_one();
        lock.lock();
        return true;
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
    LeadFunction lead_;
    const std::size_t maxCalls_;
    const std::size_t maxQueued_;
    std::size_t threads_ = 0;
    std::size_t running_ = 0;
    bool serving_ = false;
    bool leaderTaken_ = false;
    bool arrived_ = false;
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
    // One delivery thread's turn at reading the bus: true once calls have been handed
    // to the pool, false when the loop ends (stop, idle end, or the bus went away).
    bool lead(sdbus::IConnection& connection, DeliveryPool& pool, int wakeFd);
    // Makes the thread reading the bus look at the stop and idle flags. Locked.
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
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0)
        return std::string("cannot make the loop's wake-up descriptor: ") + std::strerror(errno);
    bool loop = true;
    {
        std::lock_guard lock(mutex);
        wakeFd = fd;
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
        if (pool.startLoop([this, &connection, &pool, fd] { return lead(connection, pool, fd); })) {
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
    ::close(fd);
    return ended;
}

bool VxListener::Impl::lead(sdbus::IConnection& connection, DeliveryPool& pool, int fd) {
    try {
        for (;;) {
            {
                std::lock_guard lock(mutex);
                if (stopRequested || idleExpired) return false;
            }
            if (connection.processPendingRequest()) {
                if (pool.takeArrivals()) return true;
                continue;
            }
            const auto data = connection.getEventLoopPollData();
            pollfd fds[2] = {{data.fd, data.events, 0}, {fd, POLLIN, 0}};
            if (::poll(fds, 2, data.getPollTimeout()) < 0 && errno != EINTR) {
                const std::string why =
                    std::string("cannot wait for the bus: ") + std::strerror(errno);
                listenerLog(kLogError, why);
                std::lock_guard lock(mutex);
                loopFailure = why;
                return false;
            }
            if (fds[1].revents & POLLIN) {
                std::uint64_t count = 0;
                [[maybe_unused]] const ssize_t n = ::read(fd, &count, sizeof count);
            }
        }
    } catch (const sdbus::Error& e) {
        const std::string why = std::string("the bus went away: ") + e.what();
        listenerLog(kLogInfo, why);
        std::lock_guard lock(mutex);
        loopFailure = why;
        return false;
    } catch (...) {
        const std::string why =
            "the bus loop failed: " + describeException(std::current_exception());
        listenerLog(kLogError, why);
        std::lock_guard lock(mutex);
        loopFailure = why;
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
