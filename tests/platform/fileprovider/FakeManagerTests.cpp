#include "platform/fileprovider/testing/FakeManager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "platform/fileprovider/testing/ExtensionHarness.h"
#include "platform/fileprovider/testing/RecordingObservers.h"
#include "platform/fileprovider/testing/RequestLog.h"
#include "platform/fileprovider/testing/StaticEnumerator.h"
#include "platform/tasks/Clock.h"
#include "platform/tasks/TaskPool.h"

namespace nimbuscrate::fp::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(FileProviderFakeManager, AnswersFromTheScriptInOrderThenOk) {
    TaskPool tasks(2);
    ManualClock clock;
    FakeManager manager(tasks, clock);
    manager.script("evict: fail, fail, ok");
    std::mutex mutex;
    std::vector<bool> failed;
    for (int i = 0; i < 4; ++i) {
        manager.evictItem("file", [&](std::optional<Error> error) {
            std::lock_guard lock(mutex);
            failed.push_back(error.has_value());
        });
        tasks.waitIdle();  // keep the answers in call order
        clock.advance(std::chrono::seconds(1));
    }
    EXPECT_THAT(failed, ElementsAre(true, true, false, false));
    auto calls = manager.calls("evict");
    ASSERT_EQ(calls.size(), 4u);
    // Each call carries the clock's time when it was made.
    EXPECT_DOUBLE_EQ(calls[3].monotonicAt - calls[0].monotonicAt, 3.0);
    EXPECT_THROW(manager.script("evict", "maybe"), std::invalid_argument);
    EXPECT_THROW(manager.script("no colon here"), std::invalid_argument);
}

TEST(FileProviderFakeManager, NeverAnswersInsideTheCall) {
    TaskPool tasks(2);
    ManualClock clock;
    FakeManager manager(tasks, clock);
    auto gate = std::make_shared<Gate>();
    manager.holdAt("signal", gate);
    std::atomic<bool> answered{false};
    std::thread::id caller = std::this_thread::get_id();
    std::thread::id answerer;
    manager.signalEnumerator(kRootContainer, [&](std::optional<Error>) {
        answerer = std::this_thread::get_id();
        answered = true;
    });
    ASSERT_TRUE(gate->waitForArrivals(1));
    EXPECT_FALSE(answered);  // held at the gate, so certainly not answered inside the call
    gate->open();
    tasks.waitIdle();
    EXPECT_TRUE(answered);
    EXPECT_NE(answerer, caller);
    EXPECT_THAT(manager.signalled(), ElementsAre(kRootContainer));
}

TEST(FileProviderFakeManager, UserVisiblePathAndMaterializedItems) {
    TaskPool tasks(2);
    ManualClock clock;
    FakeManager manager(tasks, clock);
    manager.setVisibleRoot("/home/user/Nimbuscrate");
    std::optional<std::filesystem::path> root, item;
    manager.userVisiblePath(kRootContainer, [&](auto path, auto) { root = path; });
    manager.userVisiblePath("abc", [&](auto path, auto) { item = path; });
    tasks.waitIdle();
    EXPECT_EQ(root, std::filesystem::path("/home/user/Nimbuscrate"));
    EXPECT_EQ(item, std::filesystem::path("/home/user/Nimbuscrate/abc"));

    manager.script("userVisiblePath", "fail");
    std::optional<Error> error;
    manager.userVisiblePath("abc", [&](auto, auto failure) { error = failure; });
    tasks.waitIdle();
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->code, CocoaErrorCode::connectionReplyInvalid);


    // Without one set, the materialized items are an empty enumeration that
    // finishes at once; a set enumerator is handed out as it is.
    CompletionTracker tracker;
    auto empty = std::make_shared<RecordingEnumerationObserver>(tracker, "materialized");
    manager.materializedItems()->enumerateItems(empty, kInitialPage);
    tasks.waitIdle();
    EXPECT_THAT(tracker.check(), IsEmpty());
    EXPECT_THAT(empty->identifiers(), IsEmpty());
    EXPECT_EQ(empty->finishedUpTo(), std::optional<std::optional<Page>>(std::optional<Page>()));
    EXPECT_FALSE(empty->error().has_value());

    ItemProperties properties;
    properties.identifier = "local-copy";
    properties.parent = kRootContainer;
    properties.filename = "local-copy.txt";
    auto set = std::make_shared<StaticEnumerator>(tasks, std::vector<ItemPtr>{ItemSnapshot::make(properties)}, 10);
    manager.setMaterializedEnumerator(set);
    EXPECT_EQ(manager.materializedItems(), set);
    EXPECT_EQ(manager.calls("materializedItems").size(), 2u);
}

TEST(FileProviderFakeManager, APoolThatTakesNoMoreTasksFailsEachCallAtOnce) {
    TaskPool tasks(2);
    ManualClock clock;
    FakeManager manager(tasks, clock);
    tasks.shutdown();
    std::vector<std::optional<Error>> answers;
    auto record = [&](std::optional<Error> error) { answers.push_back(std::move(error)); };
    manager.signalEnumerator(kRootContainer, record);
    manager.evictItem("file", record);
    manager.waitForChangesBelow("folder", record);
    std::optional<std::filesystem::path> path;
    manager.userVisiblePath("file", [&](std::optional<std::filesystem::path> found, std::optional<Error> error) {
        path = std::move(found);
        answers.push_back(std::move(error));
    });
    ASSERT_EQ(answers.size(), 4u);
    for (const auto& answer : answers) {
        ASSERT_TRUE(answer.has_value());
        EXPECT_TRUE(answer->is(kCocoaErrorDomain, CocoaErrorCode::connectionInterrupted));
    }
    EXPECT_FALSE(path.has_value());
    EXPECT_EQ(manager.calls().size(), 4u);  // still recorded
}


TEST(FileProviderRequestLog, FailsTheChosenCallsAndLogsEveryCall) {
    RequestLog log;
    log.failAt("PROPFIND", 2);
    log.failAt("PROPFIND", 4);
    log.failFrom("GET", 3);
    std::vector<bool> propfind, get;
    for (int i = 0; i < 5; ++i) propfind.push_back(log.record("PROPFIND", "/docs"));
    for (int i = 0; i < 4; ++i) get.push_back(log.record("GET", "/a.txt"));
    EXPECT_THAT(propfind, ElementsAre(false, true, false, true, false));
    EXPECT_THAT(get, ElementsAre(false, false, true, true));
    EXPECT_FALSE(log.record("PUT"));
    EXPECT_EQ(log.count("PROPFIND"), 5u);
    EXPECT_EQ(log.count("DELETE"), 0u);
    auto entries = log.entries();
    ASSERT_EQ(entries.size(), 10u);
    EXPECT_EQ(entries[5].operation, "GET");
    EXPECT_EQ(entries[5].detail, "/a.txt");
}

}  // namespace
}  // namespace nimbuscrate::fp::testing
