// The model's operations as coroutines on a UI executor run by hand: where
// their steps run, how values and errors reach the awaiting operation, that
// a dropped handle lets an operation run to its end, and that operations
// whose owner is gone are freed without running another step.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>

#include "app/model/UiTask.h"
#include "platform/core/CancellationError.h"
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

    // Counts its destructions: a local of an operation's frame shows whether
    // the frame was freed.
    struct FrameLocal {
        int* destroyed;
        ~FrameLocal() { ++*destroyed; }
    };

    // An operation awaiting one that hops to a worker, each with a local;
    // counts the steps that ran after the hop.
    UiTask<int> inner(const UiContext& ctx, int* destroyed, int* stepsAfter) {
        const FrameLocal local{destroyed};
        const auto work = [](std::stop_token) { return 1; };
        const int value = co_await runOnWorker(ctx, work);
        ++*stepsAfter;
        co_return value;
    }
    UiTask<int> outer(UiContext ctx, int* destroyed, int* stepsAfter) {
        const FrameLocal local{destroyed};
        const int value = co_await inner(ctx, destroyed, stepsAfter);
        ++*stepsAfter;
        co_return value;
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

TEST_F(UiTaskTest, AnOperationWhoseOwnerIsGoneIsFreedWithoutAnotherStep) {
    // Detached, its frames are freed when the resumption finds the owner
    // gone; held, it reads as cancelled and its handle frees it; a
    // resumption dropped without running frees it too.
    enum class Ending { detached, held, droppedResumption };
    for (const Ending ending : {Ending::detached, Ending::held, Ending::droppedResumption}) {
        SCOPED_TRACE(static_cast<int>(ending));
        auto owner = std::make_shared<int>(0);
        auto dropping = std::make_unique<ManualExecutor>();
        Executor& executor = ending == Ending::droppedResumption ? *dropping : static_cast<Executor&>(ui);
        int destroyed = 0;
        int stepsAfter = 0;
        auto task = outer(UiContext{executor, workers, owner}, &destroyed, &stepsAfter);
        owner.reset();
        if (ending != Ending::held) task.detach();
        workers.waitIdle();

        switch (ending) {
            case Ending::detached:
                ui.runPending();
                break;
            case Ending::held:
                ui.runPending();
                ASSERT_TRUE(task.done());
                EXPECT_THROW(task.result(), CancellationError);
                EXPECT_EQ(destroyed, 0) << "freed under its handle";
                task.detach();
                break;
            case Ending::droppedResumption:
                ASSERT_EQ(dropping->pending(), 1u);
                dropping.reset();
                break;
        }
        EXPECT_EQ(destroyed, 2) << "both frames are freed";
        EXPECT_EQ(stepsAfter, 0) << "a step ran after the owner was gone";
    }
}

TEST_F(UiTaskTest, AnAnsweredCallbackWhoseOwnerIsGoneFreesTheOperation) {
    int destroyed = 0;
    bool resumed = false;
    std::function<void(int)> saved;
    const auto start = [&](std::function<void(int)> done) { saved = std::move(done); };
    auto owner = std::make_shared<int>(0);
    auto wait = [&]() -> UiTask<void> {
        const FrameLocal local{&destroyed};
        const UiContext ctx{ui, workers, owner};
        co_await awaitCallback<int>(ctx, start);
        resumed = true;
    };
    wait().detach();
    owner.reset();
    saved(1);
    saved(2);  // ignored: the operation has its answer
    ui.runPending();
    EXPECT_EQ(destroyed, 1);
    EXPECT_FALSE(resumed);
}

}  // namespace
}  // namespace nimbuscrate
