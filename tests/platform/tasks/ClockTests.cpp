#include "platform/tasks/Clock.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

namespace nimbuscrate {
namespace {

TEST(ManualClock, SleeperWakesWhenTheClockReachesItsDeadline) {
    ManualClock clock;
    const Date start = clock.now();
    auto sleeper = std::async(std::launch::async, [&] { return clock.sleepFor(Clock::Duration(1.5), {}); });
    ASSERT_TRUE(clock.waitForSleepers(1));
    clock.advance(Clock::Duration(1.0));
    EXPECT_EQ(sleeper.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    clock.advance(Clock::Duration(0.5));
    EXPECT_TRUE(sleeper.get());
    EXPECT_EQ(clock.now(), start.addingSeconds(1.5));
    EXPECT_EQ(clock.monotonicSeconds(), 1.5);
}

TEST(ManualClock, StopTokenCutsASleepShort) {
    ManualClock clock;
    std::stop_source stop;
    auto sleeper = std::async(std::launch::async, [&] { return clock.sleepFor(Clock::Duration(60), stop.get_token()); });
    ASSERT_TRUE(clock.waitForSleepers(1));
    stop.request_stop();
    EXPECT_FALSE(sleeper.get());
    EXPECT_EQ(clock.sleepers(), 0u);
}

TEST(SystemClock, SleepReturnsFalseWhenStopped) {
    std::stop_source stop;
    stop.request_stop();
    EXPECT_FALSE(Clock::system().sleepFor(Clock::Duration(60), stop.get_token()));
    EXPECT_TRUE(Clock::system().sleepFor(Clock::Duration(0.001), {}));
}

}  // namespace
}  // namespace nimbuscrate
