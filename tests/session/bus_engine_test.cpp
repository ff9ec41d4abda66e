#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <numeric>
#include <set>
#include <thread>
#include <vector>

#include "session/bus_engine.h"

namespace tarvo {
namespace {

// Keeps what the bus thread posts, to run on the test's thread.
struct QueuePoster : ResultPoster {
    void post(std::function<void()> fn) override {
        const std::lock_guard lock(mutex);
        posted.push_back(std::move(fn));
    }
    void runPosted() {
        std::vector<std::function<void()>> now;
        {
            const std::lock_guard lock(mutex);
            now.swap(posted);
        }
        for (auto& fn : now)
            fn();
    }
    std::mutex mutex;
    std::vector<std::function<void()>> posted;
};

// One row per way of getting the queue wrong.
TEST(BusEngineTest, JobsRunInTurnOnOneThreadAndTheirResultsComeBackInOrder) {
    QueuePoster poster;
    std::vector<int> ran;   // touched by the bus thread only
    std::vector<int> shown; // by the test's thread only
    std::set<std::thread::id> threads;
    std::atomic<int> running{0};
    int overlaps = 0;
    BusEngine engine(&poster, BusEngine::Mode::Thread); // stopped before the above go
    for (int i = 0; i < 20; ++i)
        engine.post(
            [&, i] {
                overlaps += running.fetch_add(1) != 0;
                threads.insert(std::this_thread::get_id());
                ran.push_back(i);
                --running;
            },
            [&, i] { shown.push_back(i); });
    ASSERT_TRUE(engine.call([] {})) << "a call waits behind the posted jobs";
    poster.runPosted();
    std::vector<int> inOrder(20);
    std::iota(inOrder.begin(), inOrder.end(), 0);
    EXPECT_EQ(ran, inOrder) << "jobs reordered";
    EXPECT_EQ(shown, inOrder) << "results reordered or lost";
    EXPECT_EQ(overlaps, 0) << "two jobs at once";
    ASSERT_EQ(threads.size(), 1u) << "a pool, not one bus thread";
    EXPECT_NE(*threads.begin(), std::this_thread::get_id()) << "a job ran on the poster's thread";
}

TEST(BusEngineTest, StopFinishesTheRunningJobAndDropsTheQueue) {
    QueuePoster poster;
    std::promise<void> started;
    std::atomic<bool> release{false};
    bool finished = false;
    int later = 0;
    BusEngine engine(&poster, BusEngine::Mode::Thread);
    engine.post([&] {
        started.set_value();
        while (!release)
            std::this_thread::yield();
        finished = true;
    });
    engine.post([&] { ++later; }, [&] { ++later; });
    started.get_future().wait();
    auto blockedCall =
        std::async(std::launch::async, [&] { return engine.call([&] { ++later; }); });
    while (engine.pending() < 3)
        std::this_thread::yield();
    std::thread stopper([&] { engine.stop(); });
    while (blockedCall.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        std::this_thread::yield(); // a dropped call returns before the running job ends
    release = true;
    stopper.join();
    poster.runPosted();
    EXPECT_TRUE(finished) << "the running job was cut short";
    EXPECT_FALSE(blockedCall.get()) << "a dropped call claims it ran";
    EXPECT_EQ(later, 0) << "a queued job or its result ran after stop";
    engine.post([&] { ++later; });
    EXPECT_FALSE(engine.call([&] { ++later; }));
    EXPECT_EQ(later, 0) << "a job posted after stop ran";
}

TEST(BusEngineTest, InlineRunsEachJobAndItsResultBeforeReturning) {
    BusEngine engine(nullptr, BusEngine::Mode::Inline);
    std::vector<int> order;
    engine.post([&] { order.push_back(1); }, [&] { order.push_back(2); });
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_TRUE(engine.onBusThread());
}

} // namespace
} // namespace tarvo
