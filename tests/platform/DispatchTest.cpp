#include "platform/Dispatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <stdexcept>
#include <vector>

namespace quintarvel {
namespace {

// Generous bound so that a broken queue fails the test instead of hanging it.
constexpr auto patience = std::chrono::seconds(60);

TEST(SerialQueue, RunsBlocksOneAtATimeInPostingOrder) {
    SerialQueue queue("test.serial");
    std::vector<int> order;
    std::atomic<int> running{0};
    bool overlapped = false;
    for (int i = 0; i < 500; ++i)
        queue.async([&, i] {
            overlapped |= running.fetch_add(1) != 0;
            order.push_back(i);
            running.fetch_sub(1);
        });
    queue.sync([] {});
    ASSERT_EQ(order.size(), 500u);
    for (int i = 0; i < 500; ++i)
        EXPECT_EQ(order[i], i);
    EXPECT_FALSE(overlapped);
}

TEST(SerialQueue, SyncResultHandsBackValuesAndExceptions) {
    SerialQueue queue("test.result");
    EXPECT_EQ(queue.syncResult([] { return 42; }), 42);
    EXPECT_THROW(queue.syncResult([]() -> int { throw std::runtime_error("no"); }),
                 std::runtime_error);
    // A throwing async block does not stop the queue.
    queue.async([] { throw std::runtime_error("ignored"); });
    EXPECT_EQ(queue.syncResult([] { return 7; }), 7);
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

TEST(MainQueue, RunsPostedBlocksInOrderOnTheDrainingThread) {
    std::vector<int> order;
    std::thread poster([&] {
        for (int i = 0; i < 100; ++i)
            mainQueue().async([&order, i] { order.push_back(i); });
    });
    poster.join();
    EXPECT_EQ(mainQueue().drain(), 100u);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(order[i], i);
    EXPECT_TRUE(mainQueue().isMainThread());
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

TEST(MainQueue, SyncOnTheMainThreadRunsAtOnce) {
    mainQueue().drain();
    bool ran = false;
    mainQueue().sync([&] { ran = true; });
    EXPECT_TRUE(ran);
}

TEST(MainQueue, WakerIsCalledForEveryPost) {
    std::atomic<int> wakes{0};
    mainQueue().setWaker([&] { ++wakes; });
    mainQueue().async([] {});
    mainQueue().async([] {});
    mainQueue().setWaker(nullptr);
    EXPECT_EQ(wakes, 2);
    mainQueue().drain();
}

} // namespace
} // namespace quintarvel
