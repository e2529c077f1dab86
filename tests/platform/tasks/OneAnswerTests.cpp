#include "platform/tasks/OneAnswer.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace nimbuscrate {
namespace {

TEST(OneAnswer, AnAnswerGivenBeforeOrWhileWaitingIsTaken) {
    OneAnswer<std::string> before;
    EXPECT_TRUE(before.set("early"));
    EXPECT_EQ(before.wait({}), "early");

    OneAnswer<std::string> during;
    auto waited = std::async(std::launch::async, [&] { return during.wait({}); });
    std::thread answerer([&] { during.set("late"); });
    answerer.join();
    EXPECT_EQ(waited.get(), "late");
}

TEST(OneAnswer, OnlyTheFirstOfManyAnswersCounts) {
    OneAnswer<int> answer;
    std::vector<std::thread> answerers;
    std::vector<std::promise<bool>> accepted(8);
    for (int n = 0; n < 8; ++n) {
        answerers.emplace_back([&, n] { accepted[n].set_value(answer.set(n)); });
    }
    for (auto& answerer : answerers) answerer.join();
    int firsts = 0;
    for (auto& each : accepted) firsts += each.get_future().get() ? 1 : 0;
    EXPECT_EQ(firsts, 1);
    auto value = answer.wait({});
    ASSERT_TRUE(value);
    EXPECT_GE(*value, 0);
    EXPECT_LT(*value, 8);
    // Taken: an answer after that is still a second answer.
    EXPECT_FALSE(answer.set(99));
}

TEST(OneAnswer, AStopOrATimeoutEndsTheWaitWithoutAnAnswer) {
    OneAnswer<int> stopped;
    std::stop_source source;
    auto waited = std::async(std::launch::async, [&] { return stopped.wait(source.get_token()); });
    source.request_stop();
    EXPECT_FALSE(waited.get());
    // An answer that comes after the stop is not lost to a later wait.
    EXPECT_TRUE(stopped.set(7));
    EXPECT_EQ(stopped.wait({}), 7);

    OneAnswer<int> silent;
    EXPECT_FALSE(silent.wait({}, std::chrono::milliseconds(1)));
    std::stop_source already;
    already.request_stop();
    OneAnswer<int> answered;
    answered.set(3);
    // An answer that is there wins over a stop.
    EXPECT_EQ(answered.wait(already.get_token()), 3);
}

TEST(OneAnswer, AnswersMayBeMoveOnly) {
    OneAnswer<std::unique_ptr<int>> answer;
    answer.set(std::make_unique<int>(5));
    auto value = answer.wait({}, std::chrono::seconds(1));
    ASSERT_TRUE(value && *value);
    EXPECT_EQ(**value, 5);
}

}  // namespace
}  // namespace nimbuscrate
