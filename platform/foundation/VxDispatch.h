#pragma once
// Work queues and waits.
//
// The main queue is a serial queue with a thread of its own (the "main queue
// thread"), started on first use: completions that are delivered "on the main
// queue" run there one after another, whatever the process's main thread is
// doing (the service's main thread runs the bus loop). The global queue is a
// small pool of background workers (two threads). Semaphores wait with
// time-outs.
//
// Queues run blocks in submission order (a serial queue one at a time). A block
// that throws is reported on standard error and does not end its thread; sync()
// passes the exception on to its caller. At process exit the main and global
// queues stop taking work, drop blocks not yet started and give running blocks
// up to two seconds to finish; a serial queue made with serialQueue() runs its
// pending blocks before its destructor returns.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/foundation/VxExport.h"

class DA_EXPORT VxDispatchQueue {
  public:
    using Block = std::function<void()>;
    virtual ~VxDispatchQueue() = default;

    static VxDispatchQueue& mainQueue();
    static VxDispatchQueue& globalQueue();
    // A new serial queue with its own thread (ended when the queue is destroyed).
    static std::unique_ptr<VxDispatchQueue> serialQueue(const char* label);

    virtual void async(Block block) = 0;
    // Runs the block on the queue and waits for it; runs it inline when called
    // from the queue's own thread.
    virtual void sync(const Block& block) = 0;
    virtual bool isCurrent() const = 0;
};

// True on the main queue's thread.
DA_EXPORT bool VxIsMainThread();
// Runs the block on the main queue and waits until it has run (inline on the
// main queue's thread).
DA_EXPORT void VxPerformOnMainThreadAndWait(const std::function<void()>& block);

class DA_EXPORT VxSemaphore {
  public:
    explicit VxSemaphore(long value = 0);
    ~VxSemaphore();
    VxSemaphore(const VxSemaphore&) = delete;
    VxSemaphore& operator=(const VxSemaphore&) = delete;
    void signal();
    // Waits for a signal: true when one arrived, false after the time-out.
    bool wait(double timeoutSeconds);
    void wait();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

DA_EXPORT void VxSleepForTimeInterval(double seconds);
