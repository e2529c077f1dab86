// The model's operations as coroutines on a UI executor run by hand: where
// their steps run, how values and errors reach the awaiting operation, and
// that a dropped handle lets an operation run to its end.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>

#include "app/model/UiTask.h"
#include "tests/support/Eventually.h"

namespace nimbuscrate {
namespace {

class UiTaskTest : public ::testing::Test {
protected:
    ~UiTaskTest() override { workers.shutdown(); }

    template <class Condition>
    bool runUntil(Condition condition) {
        return testing::eventually([&] {
            ui.runPending();
            return condition();
        });
    }

    UiContext context() { return UiContext{ui, workers, alive}; }

    // Hops to a worker for `value` and back; records the threads it ran on.
    UiTask<int> hop(int value) {
        steps.push_back(std::this_thread::get_id());
        const auto work = [value](std::stop_token) {
            if (value < 0) throw std::invalid_argument("negative");
            return value * 2;
        };
        const int doubled = co_await runOnWorker(context(), work);
        steps.push_back(std::this_thread::get_id());
        co_return doubled;
    }
    UiTask<int> sumOfHops(int a, int b) {
        const int first = co_await hop(a);
        const int second = co_await hop(b);
        co_return first + second;
    }

    ManualExecutor ui;
    TaskPool workers{2};
    std::shared_ptr<int> alive = std::make_shared<int>(0);
    std::vector<std::thread::id> steps;
};

TEST_F(UiTaskTest, StepsRunOnTheUIExecutorAndWorkOnAWorker) {
    auto task = sumOfHops(2, 5);
    // Started at once, up to the first hop.
    EXPECT_EQ(steps.size(), 1u);
    EXPECT_FALSE(task.done());
    workers.waitIdle();
    EXPECT_FALSE(task.done()) << "resumed outside the UI executor";
    ASSERT_TRUE(runUntil([&] { return task.done(); }));
    EXPECT_EQ(task.result(), 14);
    ASSERT_EQ(steps.size(), 4u);
    for (const auto& step : steps) EXPECT_EQ(step, std::this_thread::get_id());
}

TEST_F(UiTaskTest, AnErrorReachesTheAwaitingOperation) {
    auto task = sumOfHops(1, -1);
    ASSERT_TRUE(runUntil([&] { return task.done(); }));
    EXPECT_THROW(task.result(), std::invalid_argument);
    EXPECT_EQ(steps.size(), 3u);  // the second hop never came back
}

TEST_F(UiTaskTest, ADroppedHandleRunsToItsEnd) {
    int finished = 0;
    auto run = [&]() -> UiTask<void> {
        co_await hop(1);
        ++finished;
    };
    run().detach();
    { auto dropped = run(); }
    ASSERT_TRUE(runUntil([&] { return finished == 2; }));
}

TEST_F(UiTaskTest, ACallbackResumesOnceOnTheUIExecutor) {
    std::function<void(int)> saved;
    const auto start = [&](std::function<void(int)> done) { saved = std::move(done); };
    auto wait = [&]() -> UiTask<int> { co_return co_await awaitCallback<int>(context(), start); };
    auto task = wait();
    ASSERT_TRUE(saved);
    std::thread([&] {
        saved(7);
        saved(8);  // a second answer is ignored
    }).join();
    EXPECT_FALSE(task.done());
    ASSERT_TRUE(runUntil([&] { return task.done(); }));
    EXPECT_EQ(task.result(), 7);
}

}  // namespace
}  // namespace nimbuscrate
