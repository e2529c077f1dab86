#include "fileprovider/AutomaticLocalCleanup.h"

#include <cmath>
#include <filesystem>

#include "platform/fileprovider/testing/FakeManager.h"
#include "platform/log/LogCapture.h"
#include "platform/tasks/Clock.h"
#include "platform/tasks/TaskPool.h"
#include "tests/fileprovider/ExtensionTestSupport.h"

namespace nimbuscrate::testing {
namespace {

using ::testing::DoubleNear;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pointwise;

std::vector<double> evictionTimes(const fp::testing::FakeManager& manager) {
    std::vector<double> times;
    for (const auto& call : manager.calls("evict")) times.push_back(call.monotonicAt);
    return times;
}

std::size_t linesAt(const LogCapture& log, LogLevel level) {
    std::size_t count = 0;
    for (const auto& entry : log.entries()) {
        if (entry.category == "eviction" && entry.level == level) ++count;
    }
    return count;
}

class LocalCleanupTest : public ExtensionTest {
protected:
    // Creates an empty file through the extension, which schedules its cleanup.
    std::string uploadOneFile(const std::string& name = "upload.txt") {
        TemplateSpec spec;
        spec.filename = name;
        auto call = harness().create(makeTemplate(spec), fp::ItemField::filename);
        expectDrained();
        auto [item, pending, refetch, error] = call->first();
        EXPECT_FALSE(error) << error->localizedDescription();
        return item ? item->itemIdentifier() : std::string();
    }

    // Lets the cleanup reach its next wait, then moves the clock past it and
    // waits until the attempt it starts has been made.
    void passWait(double seconds, std::size_t attemptsAfter) {
        ASSERT_TRUE(harness().clock().waitForSleepers(1));
        harness().clock().advance(Clock::Duration(seconds));
        ASSERT_TRUE(eventually([&] { return harness().manager().calls("evict").size() == attemptsAfter; }));
    }
};

TEST_F(LocalCleanupTest, AnAcceptedFirstAttemptEndsTheCleanupAfterSevenTenthsOfASecond) {
    LogCapture log;
    const std::string id = uploadOneFile();
    passWait(0.7, 1);
    ASSERT_TRUE(eventually([&] { return extension().runningCleanups() == 0; }));
    EXPECT_THAT(evictionTimes(harness().manager()), Pointwise(DoubleNear(1e-9), {0.7}));
    EXPECT_EQ(harness().manager().calls("evict")[0].item, id);
    EXPECT_EQ(log.matching("eviction", "Automatically removed local copy for " + id).size(), 1u);
    EXPECT_EQ(linesAt(log, LogLevel::debug), 0u);
}

TEST_F(LocalCleanupTest, RefusedFiveTimesItTriesOnTheScheduleAndGivesUp) {
    LogCapture log;
    harness().manager().script("evict", "fail, fail, fail, fail, fail");
    const std::string id = uploadOneFile();
    const double waits[] = {0.7, 1.5, 3, 6, 12};
    for (std::size_t attempt = 0; attempt < 5; ++attempt) passWait(waits[attempt], attempt + 1);
    ASSERT_TRUE(eventually([&] { return extension().runningCleanups() == 0; }));
    EXPECT_THAT(evictionTimes(harness().manager()), Pointwise(DoubleNear(1e-9), {0.7, 2.2, 5.2, 11.2, 23.2}));
    EXPECT_EQ(log.matching("eviction", "Automatic local cleanup retry for " + id + ": Scripted failure").size(), 5u);
    EXPECT_EQ(linesAt(log, LogLevel::debug), 5u);
    EXPECT_EQ(log.matching("eviction", "Automatic local cleanup exhausted retries for " + id).size(), 1u);
    EXPECT_EQ(linesAt(log, LogLevel::error), 1u);
    // There is no sixth attempt.
    harness().clock().advance(Clock::Duration(100));
    EXPECT_EQ(harness().manager().calls("evict").size(), 5u);
}

TEST_F(LocalCleanupTest, AcceptedOnTheThirdTryItStopsThere) {
    LogCapture log;
    harness().manager().script("evict", "fail, fail, ok");
    const std::string id = uploadOneFile();
    passWait(0.7, 1);
    passWait(1.5, 2);
    passWait(3, 3);
    ASSERT_TRUE(eventually([&] { return extension().runningCleanups() == 0; }));
    EXPECT_THAT(evictionTimes(harness().manager()), Pointwise(DoubleNear(1e-9), {0.7, 2.2, 5.2}));
    EXPECT_EQ(linesAt(log, LogLevel::debug), 2u);
    EXPECT_EQ(log.matching("eviction", "Automatically removed local copy for " + id).size(), 1u);
    EXPECT_EQ(linesAt(log, LogLevel::error), 0u);
}

TEST_F(LocalCleanupTest, InvalidatingTheExtensionCancelsAWaitingCleanupAndJoinsIt) {
    LogCapture log;
    harness().manager().script("evict", "fail");
    uploadOneFile();
    passWait(0.7, 1);
    ASSERT_TRUE(harness().clock().waitForSleepers(1));  // in the 1.5 s wait
    harness().extension().invalidate();
    // invalidate returns only once the cleanup has ended.
    EXPECT_EQ(extension().runningCleanups(), 0u);
    EXPECT_EQ(harness().clock().sleepers(), 0u);
    harness().clock().advance(Clock::Duration(100));
    EXPECT_EQ(harness().manager().calls("evict").size(), 1u);
    EXPECT_EQ(linesAt(log, LogLevel::debug), 1u);  // only the first refusal
    EXPECT_EQ(linesAt(log, LogLevel::info), 0u);
    EXPECT_EQ(linesAt(log, LogLevel::error), 0u);
    // Later uploads schedule nothing any more.
    uploadOneFile("later.txt");
    EXPECT_EQ(extension().runningCleanups(), 0u);
}

TEST_F(LocalCleanupTest, InvalidatingWhileTheSystemHoldsAnEvictionOpenStillJoins) {
    auto gate = std::make_shared<fp::testing::Gate>();
    harness().manager().holdAt("evict", gate);
    uploadOneFile();
    ASSERT_TRUE(harness().clock().waitForSleepers(1));
    harness().clock().advance(Clock::Duration(0.7));
    ASSERT_TRUE(gate->waitForArrivals(1));  // the eviction's answer is held by the system
    harness().extension().invalidate();
    EXPECT_EQ(extension().runningCleanups(), 0u);
    gate->open();  // the late answer finds nobody waiting
    expectDrained();
}

TEST_F(LocalCleanupTest, WithoutAManagerNothingIsAttempted) {
    start(/*withManager=*/false);
    uploadOneFile();
    ASSERT_TRUE(eventually([&] { return extension().runningCleanups() == 0; }));
    EXPECT_EQ(harness().clock().sleepers(), 0u);
    EXPECT_THAT(harness().manager().calls(), IsEmpty());
}

TEST(AutomaticLocalCleanupTest, CleanupsKeepTheirOwnSchedulesAndDestructionJoinsThem) {
    ManualClock clock;
    TaskPool tasks(2);
    auto manager = std::make_shared<fp::testing::FakeManager>(tasks, clock);
    {
        AutomaticLocalCleanup cleanup([manager] { return manager; }, clock);
        cleanup.schedule("a");
        ASSERT_TRUE(clock.waitForSleepers(1));
        clock.advance(Clock::Duration(0.5));
        cleanup.schedule("b");
        EXPECT_EQ(cleanup.running(), 2u);
        ASSERT_TRUE(clock.waitForSleepers(1));  // one worker waits for whichever is due first
        clock.advance(Clock::Duration(0.2));  // a's first attempt is due, b's is not
        ASSERT_TRUE(eventually([&] { return manager->calls("evict").size() == 1; }));
        EXPECT_EQ(manager->calls("evict")[0].item, "a");
        ASSERT_TRUE(eventually([&] { return cleanup.running() == 1; }));
        manager->script("evict", "fail");
        ASSERT_TRUE(clock.waitForSleepers(1));  // waiting for b's first attempt
        clock.advance(Clock::Duration(0.5));
        ASSERT_TRUE(eventually([&] { return manager->calls("evict").size() == 2; }));
        EXPECT_EQ(manager->calls("evict")[1].item, "b");
        EXPECT_NEAR(manager->calls("evict")[1].monotonicAt, 1.2, 1e-9);
        ASSERT_TRUE(clock.waitForSleepers(1));  // b waits to retry; the destructor cancels it
    }
    EXPECT_EQ(clock.sleepers(), 0u);
    clock.advance(Clock::Duration(100));
    tasks.waitIdle();
    EXPECT_EQ(manager->calls("evict").size(), 2u);
}

std::size_t threadsOfThisProcess() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++count;
    return count;
}

bool waitsUntil(const AutomaticLocalCleanup& cleanup, double dueAt) {
    return eventually([&] {
        auto until = cleanup.waitingUntil();
        return until && std::abs(*until - dueAt) < 1e-6;
    });
}

TEST(AutomaticLocalCleanupTest, ABulkOfCleanupsSharesOneWorkerAndOneWait) {
    ManualClock clock;
    TaskPool tasks(2);
    auto manager = std::make_shared<fp::testing::FakeManager>(tasks, clock);
    AutomaticLocalCleanup cleanup([manager] { return manager; }, clock);
    const std::size_t threadsBefore = threadsOfThisProcess();
    constexpr std::size_t kFiles = 2000;
    for (std::size_t i = 0; i < kFiles; ++i) cleanup.schedule("file-" + std::to_string(i));
    EXPECT_EQ(cleanup.running(), kFiles);
    EXPECT_EQ(threadsOfThisProcess(), threadsBefore);  // no thread per file
    ASSERT_TRUE(clock.waitForSleepers(1));
    EXPECT_EQ(clock.sleepers(), 1u);
    clock.advance(Clock::Duration(0.7));
    ASSERT_TRUE(eventually([&] { return cleanup.running() == 0; }));
    auto calls = manager->calls("evict");
    ASSERT_EQ(calls.size(), kFiles);
    for (const auto& call : calls) EXPECT_NEAR(call.monotonicAt, 0.7, 1e-9);
}

TEST(AutomaticLocalCleanupTest, AnAttemptDueBeforeTheAwaitedOneIsMadeOnTime) {
    ManualClock clock;
    TaskPool tasks(2);
    auto manager = std::make_shared<fp::testing::FakeManager>(tasks, clock);
    manager->script("evict", "fail");
    AutomaticLocalCleanup cleanup([manager] { return manager; }, clock);
    cleanup.schedule("a");
    ASSERT_TRUE(clock.waitForSleepers(1));
    clock.advance(Clock::Duration(0.7));  // a is refused; its retry is due at 2.2
    ASSERT_TRUE(waitsUntil(cleanup, 2.2));
    ASSERT_TRUE(clock.waitForSleepers(1));
    clock.advance(Clock::Duration(0.3));
    cleanup.schedule("b");  // due at 1.7, before a's retry
    ASSERT_TRUE(waitsUntil(cleanup, 1.7));
    ASSERT_TRUE(clock.waitForSleepers(1));
    clock.advance(Clock::Duration(0.7));
    ASSERT_TRUE(eventually([&] { return manager->calls("evict").size() == 2; }));
    EXPECT_EQ(manager->calls("evict")[1].item, "b");
    EXPECT_NEAR(manager->calls("evict")[1].monotonicAt, 1.7, 1e-9);
    ASSERT_TRUE(waitsUntil(cleanup, 2.2));
    ASSERT_TRUE(clock.waitForSleepers(1));
    clock.advance(Clock::Duration(0.5));
    ASSERT_TRUE(eventually([&] { return manager->calls("evict").size() == 3; }));
    EXPECT_EQ(manager->calls("evict")[2].item, "a");
    EXPECT_NEAR(manager->calls("evict")[2].monotonicAt, 2.2, 1e-9);
    ASSERT_TRUE(eventually([&] { return cleanup.running() == 0; }));
}

// A manager made afresh for each caller, which nobody but the caller holds.
class ForwardingManager final : public fp::Manager {
public:
    explicit ForwardingManager(std::shared_ptr<fp::Manager> target) : target_(std::move(target)) {}
    void signalEnumerator(const fp::ItemId& container, Completion done) override {
        target_->signalEnumerator(container, std::move(done));
    }
    void evictItem(const fp::ItemId& item, Completion done) override { target_->evictItem(item, std::move(done)); }
    void waitForChangesBelow(const fp::ItemId& item, Completion done) override {
        target_->waitForChangesBelow(item, std::move(done));
    }
    fp::EnumeratorPtr materializedItems() override { return target_->materializedItems(); }
    void userVisiblePath(const fp::ItemId& item,
                         std::function<void(std::optional<std::filesystem::path>, std::optional<fp::Error>)> done)
        override {
        target_->userVisiblePath(item, std::move(done));
    }

private:
    std::shared_ptr<fp::Manager> target_;
};

TEST(AutomaticLocalCleanupTest, TheManagerObtainedAtSchedulingServesEveryAttempt) {
    ManualClock clock;
    TaskPool tasks(2);
    auto system = std::make_shared<fp::testing::FakeManager>(tasks, clock);
    system->script("evict", "fail, ok");
    AutomaticLocalCleanup cleanup([system] { return std::make_shared<ForwardingManager>(system); }, clock);
    cleanup.schedule("a");
    ASSERT_TRUE(clock.waitForSleepers(1));
    clock.advance(Clock::Duration(0.7));
    ASSERT_TRUE(eventually([&] { return system->calls("evict").size() == 1; }));
    ASSERT_TRUE(waitsUntil(cleanup, 2.2));
    ASSERT_TRUE(clock.waitForSleepers(1));
    clock.advance(Clock::Duration(1.5));
    ASSERT_TRUE(eventually([&] { return cleanup.running() == 0; }));
    EXPECT_THAT(evictionTimes(*system), Pointwise(DoubleNear(1e-9), {0.7, 2.2}));
}

}  // namespace
}  // namespace nimbuscrate::testing
