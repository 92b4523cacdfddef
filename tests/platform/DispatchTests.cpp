#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <numeric>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/VxDeferred.h"
#include "platform/foundation/VxDispatch.h"

TEST(Dispatch, MainQueueIsSerialAndOrdered) {
    EXPECT_FALSE(VxIsMainThread());  // the test thread is not the main queue thread
    std::mutex m;
    std::vector<int> order;
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    VxSemaphore done;
    for (int i = 0; i < 50; ++i) {
        VxDispatchQueue::mainQueue().async([&, i] {
            if (running.fetch_add(1) != 0) overlapped = true;
            EXPECT_TRUE(VxIsMainThread());
            {
                std::lock_guard l(m);
                order.push_back(i);
            }
            running.fetch_sub(1);
            if (i == 49) done.signal();
        });
    }
    ASSERT_TRUE(done.wait(10));
    EXPECT_FALSE(overlapped);
    std::vector<int> expected(50);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(order, expected);
}

TEST(Dispatch, PerformOnMainThreadAndWaitNestsWithoutDeadlock) {
    int value = 0;
    VxPerformOnMainThreadAndWait([&] {
        EXPECT_TRUE(VxIsMainThread());
        // From the main queue thread itself: runs inline.
        VxPerformOnMainThreadAndWait([&] { value = 1; });
        EXPECT_EQ(value, 1);
        value = 2;
    });
    EXPECT_EQ(value, 2);

    // A global-queue block that waits for the main queue, awaited from the main queue.
    VxSemaphore done;
    VxDispatchQueue::globalQueue().async([&] {
        EXPECT_TRUE(VxDispatchQueue::globalQueue().isCurrent());
        VxPerformOnMainThreadAndWait([&] { value = 3; });
        done.signal();
    });
    ASSERT_TRUE(done.wait(10));
    EXPECT_EQ(value, 3);

    // sync hands a block's exception to the caller; the queue keeps working.
    EXPECT_THROW(VxDispatchQueue::mainQueue().sync([] { throw std::runtime_error("x"); }),
                 std::runtime_error);
    VxDispatchQueue::mainQueue().async([] { throw std::runtime_error("ignored"); });
    bool ran = false;
    VxPerformOnMainThreadAndWait([&] { ran = true; });
    EXPECT_TRUE(ran);
}

TEST(Dispatch, GlobalQueueRunsConcurrentlyAndSerialQueuesDrain) {
    // Two blocks that each wait for the other only finish when run side by side.
    VxSemaphore a, b, done;
    VxDispatchQueue::globalQueue().async([&] {
        a.signal();
        if (b.wait(10)) done.signal();
    });
    VxDispatchQueue::globalQueue().async([&] {
        b.signal();
        if (a.wait(10)) done.signal();
    });
    EXPECT_TRUE(done.wait(10));
    EXPECT_TRUE(done.wait(10));

    std::vector<int> order;
    {
        auto q = VxDispatchQueue::serialQueue("test.serial");
        for (int i = 0; i < 20; ++i)
            q->async([&, i] {
                VxSleepForTimeInterval(0.001);
                order.push_back(i);
            });
        int seen = -1;
        q->sync([&] { seen = static_cast<int>(order.size()); });
        EXPECT_EQ(seen, 20);
        q->async([&] { order.push_back(99); });
    }  // destruction runs what is still pending
    ASSERT_EQ(order.size(), 21u);
    EXPECT_EQ(order.back(), 99);
}

// Many short hand-offs from several threads: each block runs exactly once, on
// the queue, and every caller returns only after its block has run (a worker
// that finishes before the caller waits must not make it run the block again).
TEST(Dispatch, SyncRunsEachBlockOnceEvenWhenTheWorkerIsFirst) {
    constexpr int kThreads = 3;
    constexpr int kCalls = 1500;
    std::atomic<int> ran{0};
    std::atomic<int> offQueue{0};
    std::atomic<int> lateReturns{0};
    auto queue = VxDispatchQueue::serialQueue("sync-test");
    std::vector<std::thread> callers;
    for (int t = 0; t < kThreads; ++t) {
        callers.emplace_back([&] {
            for (int i = 0; i < kCalls; ++i) {
                bool mine = false;
                queue->sync([&] {
                    if (!queue->isCurrent()) ++offQueue;
                    mine = true;
                    ++ran;
                });
                if (!mine) ++lateReturns;
            }
        });
    }
    for (auto& c : callers) c.join();
    EXPECT_EQ(ran.load(), kThreads * kCalls);
    EXPECT_EQ(offQueue.load(), 0);
    EXPECT_EQ(lateReturns.load(), 0);
    // An exception thrown by the block reaches the caller.
    EXPECT_THROW(queue->sync([] { throw std::runtime_error("boom"); }), std::runtime_error);
}

TEST(Dispatch, SemaphoreCountsAndTimesOut) {
    VxSemaphore s(2);
    EXPECT_TRUE(s.wait(0));
    EXPECT_TRUE(s.wait(0.01));
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(s.wait(0.05));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(45));
    EXPECT_FALSE(s.wait(-1));
    std::thread t([&] {
        VxSleepForTimeInterval(0.02);
        s.signal();
    });
    EXPECT_TRUE(s.wait(10));
    t.join();
    s.signal();
    s.wait();  // returns at once
}

// Work left for later runs when the scope that collected it closes, after the
// work of the scope itself; without a scope it runs at once.
TEST(DeferredScope, RunsLeftWorkWhenTheScopeClosesAndOnlyThere) {
    std::vector<std::string> order;
    vx::runLater([&] { order.push_back("unscoped"); });
    EXPECT_EQ(order, std::vector<std::string>{"unscoped"});
    EXPECT_FALSE(vx::deferring());

    std::weak_ptr<int> kept;
    {
        VxDeferredScope outer;
        auto value = std::make_shared<int>(7);
        kept = value;
        vx::releaseLater(std::move(value));
        vx::runLater([&] { order.push_back("outer"); });
        {
            VxDeferredScope inner;
            // Work left while the work of a scope runs belongs to that scope too.
            vx::runLater([&] {
                order.push_back("inner");
                vx::runLater([&] { order.push_back("inner, left by inner"); });
            });
        }
        EXPECT_EQ(order.size(), 3u);
        // Another thread has no scope of its own: its work runs there at once.
        std::thread([&] { vx::runLater([&] { order.push_back("other thread"); }); }).join();
        EXPECT_FALSE(kept.expired());
        EXPECT_TRUE(vx::deferring());
    }
    EXPECT_TRUE(kept.expired());
    EXPECT_FALSE(vx::deferring());
    EXPECT_EQ(order, (std::vector<std::string>{"unscoped", "inner", "inner, left by inner",
                                               "other thread", "outer"}));
}
