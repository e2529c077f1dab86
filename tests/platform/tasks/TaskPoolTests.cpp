#include "platform/tasks/TaskPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>

#include "platform/log/LogCapture.h"
#include "platform/tasks/Executor.h"

namespace nimbuscrate {
namespace {

TEST(TaskPool, RunsEveryTaskOnce) {
    TaskPool pool(4);
    std::atomic<int> ran{0};
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(pool.submit([&](std::stop_token) { ++ran; }));
    pool.waitIdle();
    EXPECT_EQ(ran.load(), 1000);
}

TEST(TaskPool, ShutdownStopsRunningTasksAndStillRunsQueuedOnesCancelled) {
    TaskPool pool(1);
    std::promise<void> started;
    std::atomic<bool> sawStop{false};
    std::atomic<int> queuedRuns{0};
    std::atomic<int> queuedSawStopAtStart{0};
    pool.submit([&](std::stop_token stop) {
        started.set_value();
        while (!stop.stop_requested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        sawStop = true;
    });
    // Accepted but not started when shutdown comes: each still runs once,
    // with its token already stopped, so its caller hears back.
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(pool.submit([&](std::stop_token stop) {
            if (stop.stop_requested()) ++queuedSawStopAtStart;
            ++queuedRuns;
        }));
    }
    started.get_future().wait();
    pool.shutdown();
    EXPECT_TRUE(sawStop);
    EXPECT_EQ(queuedRuns.load(), 3);
    EXPECT_EQ(queuedSawStopAtStart.load(), 3);
    EXPECT_FALSE(pool.submit([](std::stop_token) {}));
    pool.shutdown();  // a second shutdown is harmless
    EXPECT_EQ(queuedRuns.load(), 3);
}

TEST(TaskPool, DestructionRunsEveryAcceptedTask) {
    std::atomic<int> ran{0};
    {
        TaskPool pool(2);
        for (int i = 0; i < 100; ++i) ASSERT_TRUE(pool.submit([&](std::stop_token) { ++ran; }));
    }
    EXPECT_EQ(ran.load(), 100);
}

TEST(TaskPool, ATaskThatThrowsIsLoggedAndThePoolGoesOn) {
    LogCapture capture;
    TaskPool pool(1);
    std::atomic<int> ran{0};
    pool.submit([](std::stop_token) { throw std::runtime_error("disk on fire"); });
    pool.submit([](std::stop_token) { throw 42; });
    pool.submit([&](std::stop_token) { ++ran; });
    pool.waitIdle();
    EXPECT_EQ(ran.load(), 1);
    const auto entries = capture.matching("tasks", "disk on fire");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].level, LogLevel::error);
    EXPECT_EQ(capture.matching("tasks", "not a std::exception").size(), 1u);
    // The worker survived both: it still takes new work.
    ASSERT_TRUE(pool.submit([&](std::stop_token) { ++ran; }));
    pool.waitIdle();
    EXPECT_EQ(ran.load(), 2);
}

TEST(ManualExecutor, RunsWorkOnlyWhenAskedIncludingWorkPostedMeanwhile) {
    ManualExecutor executor;
    std::vector<int> order;
    executor.post([&] {
        order.push_back(1);
        executor.post([&] { order.push_back(3); });
    });
    executor.post([&] { order.push_back(2); });
    EXPECT_TRUE(order.empty());
    EXPECT_EQ(executor.pending(), 2u);
    EXPECT_EQ(executor.runPending(), 3u);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

}  // namespace
}  // namespace nimbuscrate

namespace nimbuscrate {
namespace {

TEST(TaskPool, WaitIdleReturnsOnlyAfterATasksCapturesAreGone) {
    TaskPool pool(2);
    for (int round = 0; round < 200; ++round) {
        auto captured = std::make_shared<int>(round);
        std::weak_ptr<int> watch = captured;
        pool.submit([captured = std::move(captured)](std::stop_token) { (void)*captured; });
        pool.waitIdle();
        ASSERT_TRUE(watch.expired()) << "round " << round;
    }
}

}  // namespace
}  // namespace nimbuscrate
