#include "platform/foundation/VxDispatch.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// Shared state of one queue: the pending blocks and the worker bookkeeping. The
// workers hold it through a shared pointer, so it outlives the queue object
// whatever order things are torn down in.
struct QueueState {
    explicit QueueState(std::string l) : label(std::move(l)) {}
    std::string label;
    std::mutex mutex;
    std::condition_variable wake;      // workers: work arrived or stop requested
    std::condition_variable finished;  // stoppers: a worker left
    std::deque<VxDispatchQueue::Block> pending;
    bool stopping = false;
    bool drain = true;  // run what is pending before stopping
    int liveWorkers = 0;
    std::vector<std::thread::id> workerIds;
    // Workers blocked on `wake`: producers notify only when one is.
    int sleepers = 0;
    // Workers not blocked (running a block or polling for the next one): a
    // sync() caller polls for its block's end only while one is, since waking
    // a blocked worker takes a context switch anyway.
    std::atomic<int> awake{0};
    // Blocks pushed so far, readable without the lock by a spinning worker.
    std::atomic<std::uint64_t> pushed{0};
    // How long an idle worker keeps polling for the next block before it
    // blocks (zero: it blocks at once).
    std::chrono::nanoseconds spinFor{0};
};

// Short busy waits. A hand-off to a queue thread that is asleep costs two
// context switches (a few microseconds each); when blocks follow one another
// closely, as the phase changes of a multipart body being read do, both sides
// poll briefly instead. Only where a second core can run the other side.
void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
    asm volatile("yield");
#endif
}

bool spinningPays() {
    static const bool pays = std::thread::hardware_concurrency() > 1;
    return pays;
}

template <typename Ready>
bool spinUntil(std::chrono::nanoseconds limit, Ready ready) {
    if (limit.count() <= 0 || !spinningPays()) return ready();
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        for (int i = 0; i < 16; ++i) {
            if (ready()) return true;
            cpuRelax();
        }
        if (std::chrono::steady_clock::now() - start >= limit) return ready();
        // Polling yields: alone on its core the thread goes on at once, and
        // when the other side waits for this core it gets it now.
        std::this_thread::yield();
    }
}

// An idle main-queue thread polls this long; a waiting sync() caller polls the
// same before it blocks. Short, so that a machine with every core busy loses
// little to polling that cannot succeed.
constexpr std::chrono::microseconds kMainQueueSpin{20};

thread_local const QueueState* tCurrentQueue = nullptr;

void runBlock(const VxDispatchQueue::Block& block, const std::string& label) {
    try {
        block();
    } catch (const std::exception& ex) {
        std::fprintf(stderr, "dispatch queue %s: block threw: %s\n", label.c_str(), ex.what());
    } catch (...) {
        std::fprintf(stderr, "dispatch queue %s: block threw\n", label.c_str());
    }
}

void workerLoop(std::shared_ptr<QueueState> state) {
    tCurrentQueue = state.get();
    state->awake.fetch_add(1, std::memory_order_relaxed);
    std::unique_lock lock(state->mutex);
    for (;;) {
        if (state->pending.empty() && !state->stopping && state->spinFor.count() > 0) {
            const std::uint64_t seen = state->pushed.load(std::memory_order_relaxed);
            lock.unlock();
            spinUntil(state->spinFor,
                      [&] { return state->pushed.load(std::memory_order_acquire) != seen; });
            lock.lock();
        }
        if (state->pending.empty() && !state->stopping) {
            ++state->sleepers;
            state->awake.fetch_sub(1, std::memory_order_relaxed);
            state->wake.wait(lock, [&] { return state->stopping || !state->pending.empty(); });
            state->awake.fetch_add(1, std::memory_order_relaxed);
            --state->sleepers;
        }
        if (state->pending.empty() || (state->stopping && !state->drain)) break;
        VxDispatchQueue::Block block = std::move(state->pending.front());
        state->pending.pop_front();
        lock.unlock();
        runBlock(block, state->label);
        block = nullptr;  // release captures outside the lock
        lock.lock();
    }
    state->awake.fetch_sub(1, std::memory_order_relaxed);
    --state->liveWorkers;
    state->finished.notify_all();
}

class PoolQueue final : public VxDispatchQueue {
  public:
    PoolQueue(std::string label, int workers, std::chrono::nanoseconds spinFor = {})
        : state_(std::make_shared<QueueState>(label)) {
        std::lock_guard lock(state_->mutex);
        state_->spinFor = spinFor;
        for (int i = 0; i < workers; ++i) {
            threads_.emplace_back(workerLoop, state_);
            state_->workerIds.push_back(threads_.back().get_id());
            ++state_->liveWorkers;
        }
    }

    // Used by serial queues made with serialQueue(): pending blocks still run,
    // then the thread is joined (or detached when the queue is destroyed from
    // one of its own blocks).
    ~PoolQueue() override {
        {
            std::lock_guard lock(state_->mutex);
            state_->stopping = true;
        }
        state_->wake.notify_all();
        for (auto& t : threads_) {
            if (t.get_id() == std::this_thread::get_id())
                t.detach();
            else
                t.join();
        }
    }

    void async(Block block) override {
        if (!block) return;
        std::lock_guard lock(state_->mutex);
        if (state_->stopping) return;  // the process is shutting down
        push(std::move(block));
    }

    void sync(const Block& block) override {
        if (!block) return;
        if (isCurrent()) {
            block();
            return;
        }
        // The hand-off's state is shared with the queued block, so the worker
        // may still be notifying when the caller has already returned.
        struct HandOff {
            std::mutex mutex;
            std::condition_variable cv;
            std::atomic<bool> done{false};  // the block has run (or never will there)
            bool dropped = false;           // the queue discarded it without running it
            std::exception_ptr failure;
            void finish(bool wasDropped) {
                dropped = wasDropped;
                std::lock_guard l(mutex);
                done.store(true, std::memory_order_release);
                cv.notify_all();
            }
        };
        // Marks the hand-off finished when the queued block is destroyed: after
        // running it, or unrun when a stopping queue drops its pending blocks.
        struct Completion {
            std::shared_ptr<HandOff> handOff;
            bool ran = false;
            explicit Completion(std::shared_ptr<HandOff> h) : handOff(std::move(h)) {}
            Completion(const Completion&) = delete;
            ~Completion() { handOff->finish(!ran); }
        };
        auto handOff = std::make_shared<HandOff>();
        bool queued = false;
        {
            std::lock_guard lock(state_->mutex);
            if (!state_->stopping) {
                auto completion = std::make_shared<Completion>(handOff);
                push([&block, completion] {
                    try {
                        block();
                    } catch (...) {
                        completion->handOff->failure = std::current_exception();
                    }
                    completion->ran = true;
                });
                queued = true;
            }
        }
        if (queued) {
            auto isDone = [&] { return handOff->done.load(std::memory_order_acquire); };
            const bool workerAwake = state_->awake.load(std::memory_order_relaxed) > 0;
            if (!spinUntil(workerAwake ? state_->spinFor : std::chrono::nanoseconds{0}, isDone)) {
                std::unique_lock l(handOff->mutex);
                handOff->cv.wait(l, isDone);
            }
            if (!handOff->dropped) {
                if (handOff->failure) std::rethrow_exception(handOff->failure);
                return;
            }
        }
        // No worker will take it any more: run it here rather than never.
        block();
    }

    bool isCurrent() const override { return tCurrentQueue == state_.get(); }

    // Threads of process-wide queues are detached: they hold the state alive and
    // are stopped by the exit hook.
    void detachAll() {
        for (auto& t : threads_) t.detach();
        threads_.clear();
    }

    const std::shared_ptr<QueueState>& state() const { return state_; }

  private:
    // With the lock held.
    void push(Block block) {
        state_->pending.push_back(std::move(block));
        state_->pushed.fetch_add(1, std::memory_order_release);
        if (state_->sleepers > 0) state_->wake.notify_one();
    }

    std::shared_ptr<QueueState> state_;
    std::vector<std::thread> threads_;
};

// Process-wide queues are never destroyed (their objects are intentionally
// leaked). At exit, a hook stops them: blocks not yet started are dropped, and
// blocks already running get a short grace period to finish before static
// destruction goes on. Their threads are detached and only touch the shared
// state they hold, so no joinable thread is ever destroyed.
std::mutex gProcessQueuesMutex;
std::vector<std::shared_ptr<QueueState>>* gProcessQueues = nullptr;

void stopProcessQueues() {
    std::vector<std::shared_ptr<QueueState>> queues;
    {
        std::lock_guard lock(gProcessQueuesMutex);
        if (gProcessQueues) queues = *gProcessQueues;
    }
    for (auto& s : queues) {
        std::unique_lock lock(s->mutex);
        s->stopping = true;
        s->drain = false;
        s->pending.clear();
        s->wake.notify_all();
        // When exit() is called from one of the queue's own blocks, that worker
        // cannot finish before this hook returns.
        bool selfWorker = std::find(s->workerIds.begin(), s->workerIds.end(),
                                    std::this_thread::get_id()) != s->workerIds.end();
        int mustRemain = selfWorker ? 1 : 0;
        s->finished.wait_for(lock, std::chrono::seconds(2),
                             [&] { return s->liveWorkers <= mustRemain; });
    }
}

PoolQueue* makeProcessQueue(const char* label, int workers, std::chrono::nanoseconds spinFor = {}) {
    auto* q = new PoolQueue(label, workers, spinFor);
    q->detachAll();
    std::lock_guard lock(gProcessQueuesMutex);
    if (!gProcessQueues) {
        gProcessQueues = new std::vector<std::shared_ptr<QueueState>>();
        std::atexit(stopProcessQueues);
    }
    gProcessQueues->push_back(q->state());
    return q;
}

}  // namespace

VxDispatchQueue& VxDispatchQueue::mainQueue() {
    static PoolQueue* q = makeProcessQueue("main", 1, kMainQueueSpin);
    return *q;
}

VxDispatchQueue& VxDispatchQueue::globalQueue() {
    static PoolQueue* q = makeProcessQueue("global", 2);
    return *q;
}

std::unique_ptr<VxDispatchQueue> VxDispatchQueue::serialQueue(const char* label) {
    return std::make_unique<PoolQueue>(label ? label : "serial", 1);
}

bool VxIsMainThread() {
    return VxDispatchQueue::mainQueue().isCurrent();
}

void VxPerformOnMainThreadAndWait(const std::function<void()>& block) {
    VxDispatchQueue::mainQueue().sync(block);
}

// ---------------------------------------------------------------------------

struct VxSemaphore::State {
    std::mutex mutex;
    std::condition_variable cv;
    long value = 0;
};

VxSemaphore::VxSemaphore(long value) : state_(std::make_unique<State>()) {
    state_->value = value;
}

VxSemaphore::~VxSemaphore() = default;

void VxSemaphore::signal() {
    // Notify while holding the lock: a waiter may destroy the semaphore as soon
    // as it returns, so signal must not touch it after the lock is released.
    std::lock_guard lock(state_->mutex);
    ++state_->value;
    state_->cv.notify_one();
}

bool VxSemaphore::wait(double timeoutSeconds) {
    std::unique_lock lock(state_->mutex);
    auto ready = [&] { return state_->value > 0; };
    if (std::isnan(timeoutSeconds) || timeoutSeconds <= 0) {
        if (!ready()) return false;
    } else if (timeoutSeconds > 1e9) {  // practically forever
        state_->cv.wait(lock, ready);
    } else {
        auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(timeoutSeconds));
        if (!state_->cv.wait_until(lock, deadline, ready)) return false;
    }
    --state_->value;
    return true;
}

void VxSemaphore::wait() {
    std::unique_lock lock(state_->mutex);
    state_->cv.wait(lock, [&] { return state_->value > 0; });
    --state_->value;
}

void VxSleepForTimeInterval(double seconds) {
    if (std::isnan(seconds) || seconds <= 0) return;
    seconds = std::min(seconds, 1e9);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}
