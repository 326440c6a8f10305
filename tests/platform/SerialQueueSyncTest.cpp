#include "platform/Dispatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <stdexcept>
#include <thread>
#include <vector>

namespace quintarvel {
namespace {

TEST(SerialQueueSync, RunsOnTheCallingThreadAfterEverythingPostedBefore) {
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

TEST(SerialQueueSync, CallersFromManyThreadsNeverOverlapWithEachOtherOrAsyncBlocks) {
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

TEST(SerialQueueSync, ExceptionsReachTheCallerAndTheQueueGoesOn) {
    SerialQueue queue("test.sync.errors");
    EXPECT_THROW(queue.sync([] { throw std::runtime_error("no"); }), std::runtime_error);
    int value = 0;
    queue.async([&value] { value = 1; });
    EXPECT_EQ(queue.syncResult([&value] { return value + 1; }), 2);
}

} // namespace
} // namespace quintarvel
