#include "platform/tasks/TaskPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>

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

TEST(TaskPool, ShutdownStopsRunningTasksAndDropsQueuedOnes) {
    TaskPool pool(1);
    std::promise<void> started;
    std::atomic<bool> sawStop{false};
    std::atomic<bool> queuedRan{false};
    pool.submit([&](std::stop_token stop) {
        started.set_value();
        while (!stop.stop_requested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        sawStop = true;
    });
    pool.submit([&](std::stop_token) { queuedRan = true; });
    started.get_future().wait();
    pool.shutdown();
    EXPECT_TRUE(sawStop);
    EXPECT_FALSE(queuedRan);
    EXPECT_FALSE(pool.submit([](std::stop_token) {}));
    pool.shutdown();  // a second shutdown is harmless
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
