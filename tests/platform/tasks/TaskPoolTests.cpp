#include "platform/tasks/TaskPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <latch>
#include <memory>
#include <vector>
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

std::size_t threadsOfThisProcess() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++count;
    return count;
}

TEST(TaskPool, ShutdownFromItsOwnTasksWaitsForTheRestAndTheWorkersAreJoinedLater) {
    const auto threadsBefore = threadsOfThisProcess();
    auto pool = std::make_unique<TaskPool>(3);
    TaskPool* raw = pool.get();
    std::latch bothRunning(3);  // and the queue filled
    std::latch bothShutDown(2);
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> queuedRuns{0};
    std::atomic<int> queuedRunsSeenAfterShutdown[2] = {-1, -1};
    // Two tasks shut the pool down at once, each from its own worker.
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(pool->submit([&, i](std::stop_token) {
            bothRunning.arrive_and_wait();
            raw->shutdown();
            queuedRunsSeenAfterShutdown[i] = queuedRuns.load();
            bothShutDown.count_down();
            released.wait();  // the worker outlives its shutdown call
        }));
    }
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(pool->submit([&](std::stop_token) { ++queuedRuns; }));
    bothRunning.count_down();
    bothShutDown.wait();  // neither deadlocked, and each saw the queue run first

    // The pool's end waits for both workers: nothing is left running unowned.
    auto destroyed = std::async(std::launch::async, [&] { pool.reset(); });
    EXPECT_NE(destroyed.wait_for(std::chrono::milliseconds(200)), std::future_status::ready)
        << "the pool ended while its workers still ran";
    release.set_value();
    destroyed.get();
    for (int i = 0; i < 2; ++i) EXPECT_EQ(queuedRunsSeenAfterShutdown[i].load(), 20) << i;
    EXPECT_EQ(queuedRuns.load(), 20);
    EXPECT_EQ(threadsOfThisProcess(), threadsBefore);
}

TEST(TaskPool, ShutdownFromATaskOfAOneThreadPoolEndsAndAnOutsideShutdownJoinsIt) {
    const auto threadsBefore = threadsOfThisProcess();
    TaskPool pool(1);
    std::promise<bool> refused;
    ASSERT_TRUE(pool.submit([&](std::stop_token stop) {
        pool.shutdown();  // no other worker: returns at once
        refused.set_value(stop.stop_requested() && !pool.submit([](std::stop_token) {}));
    }));
    EXPECT_TRUE(refused.get_future().get());
    pool.shutdown();  // joins the worker that shut it down
    EXPECT_EQ(threadsOfThisProcess(), threadsBefore);
}

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
