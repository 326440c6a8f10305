#include "platform/Dispatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <stdexcept>
#include <thread>
#include <vector>

namespace quintarvel {
namespace {

// Generous bound so that a broken queue fails the test instead of hanging it.
constexpr auto patience = std::chrono::seconds(60);

TEST(SerialQueue, SyncRunsOnTheCallingThreadAfterEverythingPostedBefore) {
    SerialQueue queue("test.sync.order");
    std::vector<int> order;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    // The first block holds the queue, so the others pile up behind it.
    queue.async([&order, released] {
        released.wait();
        order.push_back(0);
    });
    for (int i = 1; i <= 100; ++i)
        queue.async([&order, i] { order.push_back(i); });
    std::thread::id ranOn;
    std::thread releaser([&release] { release.set_value(); });
    queue.sync([&] {
        ranOn = std::this_thread::get_id();
        order.push_back(101);
    });
    releaser.join();
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    ASSERT_EQ(order.size(), 102u);
    for (int i = 0; i <= 101; ++i)
        EXPECT_EQ(order[i], i);
}

TEST(SerialQueue, CallersFromManyThreadsNeverOverlapWithEachOtherOrAsyncBlocks) {
    SerialQueue queue("test.sync.exclusive");
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    auto guarded = [&] {
        if (inside.fetch_add(1) != 0)
            overlapped = true;
        inside.fetch_sub(1);
    };
    constexpr int threads = 16;
    std::latch start(threads);
    std::vector<std::thread> callers;
    for (int t = 0; t < threads; ++t)
        callers.emplace_back([&] {
            start.arrive_and_wait();
            for (int i = 0; i < 2000; ++i) {
                if (i % 4 == 0)
                    queue.async(guarded);
                else
                    queue.sync(guarded);
            }
        });
    for (auto &caller : callers)
        caller.join();
    queue.sync([] {});
    EXPECT_FALSE(overlapped);
}

TEST(SerialQueue, ExceptionsReachSyncCallersAndTheQueueGoesOn) {
    SerialQueue queue("test.sync.errors");
    EXPECT_THROW(queue.sync([] { throw std::runtime_error("no"); }), std::runtime_error);
    EXPECT_THROW(queue.syncResult([]() -> int { throw std::runtime_error("no"); }),
                 std::runtime_error);
    int value = 0;
    queue.async([] { throw std::runtime_error("ignored"); });
    queue.async([&value] { value = 1; });
    EXPECT_EQ(queue.syncResult([&value] { return value + 1; }), 2);
}

TEST(GlobalQueue, KeepsAcceptingWorkWhileSeveralTasksBlock) {
    constexpr int blockers = 12; // more than the machine's cores
    std::latch started(blockers);
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    for (int i = 0; i < blockers; ++i)
        globalQueue().async([&started, released] {
            started.count_down();
            released.wait();
        });
    std::promise<void> ran;
    auto ranFuture = ran.get_future();
    globalQueue(DispatchPriority::background).async([&ran] { ran.set_value(); });
    EXPECT_EQ(ranFuture.wait_for(patience), std::future_status::ready);
    started.wait();
    release.set_value();
}

TEST(MainQueue, RunsBlocksFromOtherThreadsInOrderWakingForEach) {
    std::atomic<int> wakes{0};
    mainQueue().setWaker([&] { ++wakes; });
    std::vector<int> order;
    std::thread poster([&] {
        for (int i = 0; i < 100; ++i)
            mainQueue().async([&order, i] { order.push_back(i); });
    });
    poster.join();
    mainQueue().setWaker(nullptr);
    EXPECT_EQ(wakes, 100);
    EXPECT_EQ(mainQueue().drain(), 100u);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(order[i], i);
    EXPECT_TRUE(mainQueue().isMainThread());
    bool ran = false;
    mainQueue().sync([&] { ran = true; }); // on the main thread: at once
    EXPECT_TRUE(ran);
}

TEST(MainQueue, SyncFromAnotherThreadWaitsForTheMainThread) {
    mainQueue().drain(); // this thread is the main thread
    std::atomic<bool> returned{false};
    std::thread::id ranOn;
    std::thread background([&] {
        mainQueue().sync([&] { ranOn = std::this_thread::get_id(); });
        returned = true;
    });
    while (mainQueue().drainFor(std::chrono::milliseconds(100)) == 0) {
    }
    background.join();
    EXPECT_TRUE(returned);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

} // namespace
} // namespace quintarvel
