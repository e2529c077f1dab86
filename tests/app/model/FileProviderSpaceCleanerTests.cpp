// The space cleaner over a scripted manager, on a UI executor run by hand:
// the result texts, the order of its calls, and what it does when the wait,
// the enumeration or single evictions fail.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "app/model/FileProviderSpaceCleaner.h"
#include "platform/fileprovider/testing/FakeManager.h"
#include "platform/fileprovider/testing/StaticEnumerator.h"
#include "platform/tasks/Clock.h"
#include "platform/tasks/Executor.h"
#include "platform/tasks/TaskPool.h"
#include "tests/support/Eventually.h"

namespace nimbuscrate {
namespace {

using fp::testing::FakeManager;
using fp::testing::StaticEnumerator;
using ::testing::ElementsAre;

TEST(FileProviderSpaceCleanerMessage, NamesWhatWasRemovedAndWhatWasKept) {
    struct Row {
        std::int64_t total;
        std::int64_t evicted;
        std::string text;
    };
    const Row rows[] = {
        {0, 0, "Files are already cloud-only."},
        {1, 1,
         "Removed 1 local file copy. Your cloud files remain available in "
         "Finder."},
        {3, 3,
         "Removed 3 local file copies. Your cloud files remain available in "
         "Finder."},
        {5, 3,
         "Removed 3 local file copies. 2 files were kept because it is still "
         "uploading, has unsynced changes, or is "
         "in use."},
        {2, 0,
         "Removed 0 local file copies. 2 files were kept because it is still "
         "uploading, has unsynced changes, or is "
         "in use."},
        {2, 1,
         "Removed 1 local file copy. 1 file was kept because it is still "
         "uploading, has unsynced changes, or is in "
         "use."},
        {1, 0,
         "Removed 0 local file copies. 1 file was kept because it is still "
         "uploading, has unsynced changes, or is in "
         "use."},
        {1200, 1000,
         "Removed 1000 local file copies. 200 files were kept because it is "
         "still uploading, has unsynced changes, "
         "or is in use."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("(" + std::to_string(row.total) + ", " + std::to_string(row.evicted) + ")");
        EXPECT_EQ(FileProviderSpaceCleaner::spaceCleanupMessage(row.total, row.evicted), row.text);
    }
}

fp::ItemPtr item(const std::string& id, std::optional<fp::ContentType> type = fp::ContentType::data()) {
    fp::ItemProperties properties;
    properties.identifier = id;
    properties.parent = fp::kRootContainer;
    properties.filename = id;
    properties.contentType = type;
    return fp::ItemSnapshot::make(properties);
}

// Forwards to the scripted manager and counts the evictions in flight.
class EvictionCountingManager final : public fp::Manager {
public:
    explicit EvictionCountingManager(std::shared_ptr<FakeManager> inner) : inner_(std::move(inner)) {}

    void signalEnumerator(const fp::ItemId& container, Completion done) override {
        inner_->signalEnumerator(container, std::move(done));
    }
    void evictItem(const fp::ItemId& item, Completion done) override {
        const int now = ++inFlight_;
        int seen = mostInFlight_.load();
        while (now > seen && !mostInFlight_.compare_exchange_weak(seen, now)) {
        }
        inner_->evictItem(item, [this, done = std::move(done)](std::optional<fp::Error> error) {
            --inFlight_;
            done(std::move(error));
        });
    }
    void waitForChangesBelow(const fp::ItemId& item, Completion done) override {
        inner_->waitForChangesBelow(item, std::move(done));
    }
    fp::EnumeratorPtr materializedItems() override { return inner_->materializedItems(); }
    void userVisiblePath(
        const fp::ItemId& item,
        std::function<void(std::optional<std::filesystem::path>, std::optional<fp::Error>)> done) override {
        inner_->userVisiblePath(item, std::move(done));
    }

    int mostInFlight() const { return mostInFlight_; }

private:
    std::shared_ptr<FakeManager> inner_;
    std::atomic<int> inFlight_{0};
    std::atomic<int> mostInFlight_{0};
};

class FileProviderSpaceCleanerTest : public ::testing::Test {
protected:
    UiContext context() { return UiContext{ui, pool, alive}; }

    // Runs the UI executor until the task has ended.
    template <class T>
    void runToEnd(UiTask<T>& task) {
        while (!task.done()) {
            ASSERT_TRUE(testing::eventually([&] { return ui.pending() > 0; })) << "the task waits for nothing";
            ui.runPending();
        }
    }

    SpaceCleanupCounts clean() {
        UiTask<SpaceCleanupCounts> task = FileProviderSpaceCleaner::evictMaterializedFiles(context(), manager);
        runToEnd(task);
        return task.result();
    }

    // The error the clean-up ended with.
    fp::Error failure() {
        UiTask<SpaceCleanupCounts> task = FileProviderSpaceCleaner::evictMaterializedFiles(context(), manager);
        runToEnd(task);
        try {
            task.result();
        } catch (const fp::ErrorException& error) {
            return error.error();
        }
        ADD_FAILURE() << "the clean-up did not fail";
        return {};
    }

    std::vector<std::string> operations() const {
        std::vector<std::string> result;
        for (const auto& call : fake->calls()) result.push_back(call.operation + " " + call.item);
        return result;
    }

    void listMaterialized(std::vector<fp::ItemPtr> items, std::size_t pageSize = 2) {
        enumerator = std::make_shared<StaticEnumerator>(pool, std::move(items), pageSize);
        fake->setMaterializedEnumerator(enumerator);
    }

    ManualExecutor ui;
    ManualClock clock;
    TaskPool pool{3};
    std::shared_ptr<int> alive = std::make_shared<int>(0);
    std::shared_ptr<FakeManager> fake = std::make_shared<FakeManager>(pool, clock);
    std::shared_ptr<EvictionCountingManager> manager = std::make_shared<EvictionCountingManager>(fake);
    std::shared_ptr<StaticEnumerator> enumerator;
};

TEST_F(FileProviderSpaceCleanerTest, WaitsThenEvictsTheListedFilesOneAfterAnotherInTheirOrder) {
    // Pages of two; the root, the Trash and folders are not files.
    listMaterialized({item("a"), item(fp::kRootContainer, fp::ContentType::folder()),
                      item("folder", fp::ContentType::folder()), item("b", std::nullopt), item(fp::kTrashContainer),
                      item("c")});
    fake->script("evict: ok, fail, ok");

    EXPECT_EQ(clean(), (SpaceCleanupCounts{3, 2}));
    EXPECT_THAT(operations(), ElementsAre("waitForChanges " + fp::kRootContainer, "materializedItems ", "evict a",
                                          "evict b", "evict c"));
    EXPECT_EQ(manager->mostInFlight(), 1);
    EXPECT_EQ(enumerator->pagesRequested().size(), 3u);
    EXPECT_EQ(enumerator->pagesRequested().front(), fp::kInitialPage);
    EXPECT_EQ(enumerator->invalidations(), 1);
}

TEST_F(FileProviderSpaceCleanerTest, NothingDownloadedIsNothingToDo) {
    {
        SCOPED_TRACE("no items");
        listMaterialized({});
        EXPECT_EQ(clean(), (SpaceCleanupCounts{0, 0}));
    }
    {
        SCOPED_TRACE("only folders");
        listMaterialized({item("one", fp::ContentType::folder()), item("two", fp::ContentType::folder())});
        EXPECT_EQ(clean(), (SpaceCleanupCounts{0, 0}));
    }
    EXPECT_TRUE(fake->calls("evict").empty());
}

TEST_F(FileProviderSpaceCleanerTest, FailedEvictionsOnlyLowerTheCount) {
    listMaterialized({item("a"), item("b"), item("c"), item("d")});
    fake->script("evict: fail, fail, fail, fail");
    EXPECT_EQ(clean(), (SpaceCleanupCounts{4, 0}));
    EXPECT_EQ(fake->calls("evict").size(), 4u);
}

TEST_F(FileProviderSpaceCleanerTest, AFailedWaitOrEnumerationEvictsNothingAndReachesTheCaller) {
    const fp::Error scripted{fp::kFileProviderErrorDomain, fp::FileProviderErrorCode::serverUnreachable,
                             fp::ErrorUserInfo{"The server is unreachable.", nullptr}};
    fake->setFailure(scripted);
    {
        SCOPED_TRACE("the wait for pending changes fails");
        listMaterialized({item("a")});
        fake->script("waitForChanges: fail");
        const fp::Error error = failure();
        EXPECT_TRUE(error.is(scripted.domain, scripted.code));
        EXPECT_EQ(error.localizedDescription(), "The server is unreachable.");
        EXPECT_TRUE(fake->calls("materializedItems").empty());
    }
    {
        SCOPED_TRACE("the second page of the enumeration fails");
        listMaterialized({item("a"), item("b"), item("c")});
        enumerator->failPage(1, fp::Error::fileProvider(fp::FileProviderErrorCode::notAuthenticated));
        const fp::Error error = failure();
        EXPECT_TRUE(error.is(fp::kFileProviderErrorDomain, fp::FileProviderErrorCode::notAuthenticated));
        EXPECT_EQ(enumerator->invalidations(), 1);
    }
    EXPECT_TRUE(fake->calls("evict").empty());
}

}  // namespace
}  // namespace nimbuscrate
