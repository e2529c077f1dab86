#include "fileprovider/MaterializedFileEnumeration.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "platform/fileprovider/testing/CompletionTracker.h"
#include "platform/fileprovider/testing/StaticEnumerator.h"
#include "platform/tasks/TaskPool.h"

namespace nimbuscrate {
namespace {

using fp::testing::CompletionTracker;
using fp::testing::StaticEnumerator;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

fp::ItemPtr file(const std::string& id, std::optional<fp::ContentType> type = fp::ContentType::data()) {
    fp::ItemProperties properties;
    properties.identifier = id;
    properties.parent = fp::kRootContainer;
    properties.filename = id;
    properties.contentType = type;
    return fp::ItemSnapshot::make(properties);
}

fp::ItemPtr folder(const std::string& id) { return file(id, fp::ContentType::folder()); }

fp::Bytes page(const std::string& text) { return fp::Bytes(text.begin(), text.end()); }

// Runs one enumeration to its end and records what the completion got.
struct EnumerationRun {
    TaskPool tasks{3};
    CompletionTracker tracker;
    std::mutex mutex;
    std::vector<MaterializedFileEnumeration::Result> results;

    MaterializedFileEnumeration::Completion completion() {
        return tracker.wrap<MaterializedFileEnumeration::Result>(
            "materialized completion", [this](MaterializedFileEnumeration::Result result) {
                std::lock_guard lock(mutex);
                results.push_back(std::move(result));
            });
    }
    std::vector<std::string> drain() {
        tasks.waitIdle();
        return tracker.check();
    }
};

TEST(FileProviderMaterializedFileEnumeration, PagesToTheEndAndReportsAllIdentifiersInOrderOnce) {
    EnumerationRun run;
    auto enumerator = std::make_shared<StaticEnumerator>(
        run.tasks, std::vector<fp::ItemPtr>{file("a"), file("b"), file("c"), file("d"), file("e")}, 2);
    MaterializedFileEnumeration::start(enumerator, run.completion());
    EXPECT_THAT(run.drain(), IsEmpty());

    ASSERT_EQ(run.results.size(), 1u);
    ASSERT_TRUE(std::holds_alternative<std::vector<fp::ItemId>>(run.results[0]));
    EXPECT_THAT(std::get<std::vector<fp::ItemId>>(run.results[0]), ElementsAre("a", "b", "c", "d", "e"));
    EXPECT_EQ(enumerator->invalidations(), 1);
    EXPECT_THAT(enumerator->pagesRequested(), ElementsAre(fp::kInitialPage, page("2"), page("4")));
}

TEST(FileProviderMaterializedFileEnumeration, SkipsRootTrashAndFoldersAndKeepsItemsWithoutType) {
    EnumerationRun run;
    std::vector<fp::ItemPtr> items = {folder(fp::kRootContainer), folder(fp::kTrashContainer),
                                      // Root and Trash are skipped by identifier, whatever their type.
                                      file(fp::kRootContainer, std::nullopt), file(fp::kTrashContainer),
                                      folder("photos"), file("one.txt"), file("untyped", std::nullopt),
                                      file("movie.mov", fp::ContentType::movie())};
    auto enumerator = std::make_shared<StaticEnumerator>(run.tasks, items, 10);
    MaterializedFileEnumeration::start(enumerator, run.completion());
    EXPECT_THAT(run.drain(), IsEmpty());

    ASSERT_EQ(run.results.size(), 1u);
    EXPECT_THAT(std::get<std::vector<fp::ItemId>>(run.results[0]), ElementsAre("one.txt", "untyped", "movie.mov"));
}

TEST(FileProviderMaterializedFileEnumeration, EmptyEnumerationReportsAnEmptyList) {
    EnumerationRun run;
    auto enumerator = std::make_shared<StaticEnumerator>(run.tasks, std::vector<fp::ItemPtr>{}, 10);
    MaterializedFileEnumeration::start(enumerator, run.completion());
    EXPECT_THAT(run.drain(), IsEmpty());
    ASSERT_EQ(run.results.size(), 1u);
    EXPECT_THAT(std::get<std::vector<fp::ItemId>>(run.results[0]), IsEmpty());
}

TEST(FileProviderMaterializedFileEnumeration, AnErrorAfterTwoPagesReportsOnlyTheError) {
    EnumerationRun run;
    auto enumerator = std::make_shared<StaticEnumerator>(
        run.tasks, std::vector<fp::ItemPtr>{file("a"), file("b"), file("c"), file("d"), file("e")}, 2);
    enumerator->failPage(2, fp::Error::fileProvider(fp::FileProviderErrorCode::serverUnreachable, "offline"));
    MaterializedFileEnumeration::start(enumerator, run.completion());
    EXPECT_THAT(run.drain(), IsEmpty());

    ASSERT_EQ(run.results.size(), 1u);
    ASSERT_TRUE(std::holds_alternative<fp::Error>(run.results[0]));
    const auto& error = std::get<fp::Error>(run.results[0]);
    EXPECT_EQ(error.code, -1004);
    EXPECT_EQ(error.userInfo->description, "offline");
    EXPECT_EQ(enumerator->invalidations(), 1);
}

TEST(FileProviderMaterializedFileEnumeration, FinishingTwiceHasNoEffect) {
    struct Case {
        std::string name;
        std::function<void(MaterializedFileEnumeration&)> first;
        std::function<void(MaterializedFileEnumeration&)> second;
        bool expectSuccess;
    };
    auto end = [](MaterializedFileEnumeration& o) { o.finishUpTo(std::nullopt); };
    auto fail = [](MaterializedFileEnumeration& o) { o.finishWithError(fp::Error::userCancelled()); };
    std::vector<Case> cases = {
        {"end then end", end, end, true},
        {"end then error", end, fail, true},
        {"error then end", fail, end, false},
        {"error then error", fail, fail, false},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        EnumerationRun run;
        auto enumerator = std::make_shared<StaticEnumerator>(run.tasks, std::vector<fp::ItemPtr>{}, 10);
        auto observer = MaterializedFileEnumeration::create(enumerator, run.completion());
        observer->setKeepAlive(observer);
        observer->didEnumerate({file("x")});
        row.first(*observer);
        row.second(*observer);
        // A page that arrives late changes nothing either.
        observer->didEnumerate({file("late")});
        EXPECT_THAT(run.drain(), IsEmpty());
        ASSERT_EQ(run.results.size(), 1u);
        EXPECT_EQ(std::holds_alternative<std::vector<fp::ItemId>>(run.results[0]), row.expectSuccess);
        if (row.expectSuccess) {
            EXPECT_THAT(std::get<std::vector<fp::ItemId>>(run.results[0]), ElementsAre("x"));
        }
        EXPECT_EQ(enumerator->invalidations(), 1);
        EXPECT_FALSE(observer->isKeepingAlive());
    }
}

// An enumerator that holds its observers only weakly, as the system's may,
// and delivers the pages asked for only when the test tells it to: by then
// an observer nobody else holds is gone, unless it holds itself.
class WeakPagingEnumerator final : public fp::Enumerator {
public:
    WeakPagingEnumerator(std::vector<fp::ItemPtr> items, std::size_t pageSize)
        : items_(std::move(items)), pageSize_(pageSize) {}

    void invalidate() override { ++invalidations_; }
    void enumerateItems(fp::EnumerationObserverPtr observer, fp::Page page) override {
        requests_.push_back({observer, std::move(page)});
    }
    void enumerateChanges(fp::ChangeObserverPtr observer, fp::SyncAnchor anchor) override {
        observer->finishChangesUpTo(std::move(anchor), false);
    }
    void currentSyncAnchor(std::function<void(std::optional<fp::SyncAnchor>)> completion) override {
        completion(std::nullopt);
    }

    // Delivers every page asked for, those asked for meanwhile included.
    // Returns how many pages found their observer gone.
    int deliverAll() {
        int gone = 0;
        while (!requests_.empty()) {
            auto [weak, asked] = requests_.front();
            requests_.pop_front();
            auto observer = weak.lock();
            if (!observer) {
                ++gone;
                continue;
            }
            const std::size_t start = asked.empty() ? 0 : std::stoul(std::string(asked.begin(), asked.end()));
            const std::size_t end = std::min(items_.size(), start + pageSize_);
            observer->didEnumerate(std::vector<fp::ItemPtr>(items_.begin() + start, items_.begin() + end));
            std::optional<fp::Page> next;
            if (end < items_.size()) next = page(std::to_string(end));
            observer->finishUpTo(std::move(next));
            ++delivered_;
        }
        return gone;
    }
    int delivered() const { return delivered_; }
    int invalidations() const { return invalidations_; }

private:
    struct Request {
        std::weak_ptr<fp::EnumerationObserver> observer;
        fp::Page page;
    };
    std::vector<fp::ItemPtr> items_;
    std::size_t pageSize_;
    std::deque<Request> requests_;
    int delivered_ = 0;
    int invalidations_ = 0;
};

TEST(FileProviderMaterializedFileEnumeration, StaysAliveWithoutOutsideReferencesUntilItFinishes) {
    EnumerationRun run;
    auto enumerator =
        std::make_shared<WeakPagingEnumerator>(std::vector<fp::ItemPtr>{file("a"), file("b"), file("c")}, 1);
    std::weak_ptr<MaterializedFileEnumeration> weak;
    {
        auto observer = MaterializedFileEnumeration::create(enumerator, run.completion());
        weak = observer;
        observer->setKeepAlive(observer);
        EXPECT_TRUE(observer->isKeepingAlive());
        enumerator->enumerateItems(observer, fp::kInitialPage);
    }  // the owner lets go before the first page comes
    // Nobody but the object itself holds it now.
    ASSERT_FALSE(weak.expired());
    EXPECT_EQ(enumerator->deliverAll(), 0);
    EXPECT_EQ(enumerator->delivered(), 3);
    EXPECT_THAT(run.drain(), IsEmpty());
    ASSERT_EQ(run.results.size(), 1u);
    EXPECT_THAT(std::get<std::vector<fp::ItemId>>(run.results[0]), ElementsAre("a", "b", "c"));
    EXPECT_EQ(enumerator->invalidations(), 1);
    // Once finished it released its hold on itself and is gone.
    EXPECT_TRUE(weak.expired());
}

TEST(FileProviderMaterializedFileEnumeration, FreedByTheLastReferenceDuringItsOwnFinish) {
    // The only reference is its own keepAlive: finishing must not touch the
    // object after it let go (the sanitizer build catches a use after free).
    EnumerationRun run;
    auto enumerator = std::make_shared<StaticEnumerator>(run.tasks, std::vector<fp::ItemPtr>{}, 1);
    std::weak_ptr<MaterializedFileEnumeration> weak;
    MaterializedFileEnumeration* raw = nullptr;
    {
        auto observer = MaterializedFileEnumeration::create(enumerator, run.completion());
        observer->setKeepAlive(observer);
        weak = observer;
        raw = observer.get();
    }
    ASSERT_FALSE(weak.expired());
    raw->finishUpTo(std::nullopt);
    EXPECT_TRUE(weak.expired());
    EXPECT_THAT(run.drain(), IsEmpty());
    EXPECT_EQ(run.results.size(), 1u);
}

}  // namespace
}  // namespace nimbuscrate
