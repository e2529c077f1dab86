#include "fileprovider/FileProviderEnumerator.h"
#include "platform/log/LogCapture.h"
#include "shared/encryption/E2EEError.h"
#include "shared/session/DesktopError.h"
#include "tests/fileprovider/ExtensionTestSupport.h"

#include <chrono>
#include <thread>

namespace nimbuscrate::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

using EnumerationTest = ExtensionTest;

std::vector<std::string> storedChildren(MappingStore& mapping, const std::string& parentID) {
    std::vector<std::string> ids;
    for (const auto& item : mapping.rows("SELECT * FROM items WHERE parent_id=? AND id<>? ORDER BY name",
                                         {parentID, parentID})) {
        ids.push_back(item.id);
    }
    return ids;
}

TEST_F(EnumerationTest, EnumeratorLookupAnswersContainersAndStoredFoldersOnly) {
    store(folderItem("d1", "root", "/Docs"));
    store(fileItem("f1", "root", "/a.txt"));
    server_->setChildren("root", {folderItem("d1", "root", "/Docs"), fileItem("f1", "root", "/a.txt")});
    struct Case {
        fp::ItemId container;
        std::optional<std::string> listed;  // the server container listed; none: refused with -1005
    };
    const Case cases[] = {
        {fp::kRootContainer, "root"}, {fp::kWorkingSet, "root"}, {"d1", "d1"},
        {"f1", std::nullopt},         {"unknown", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.container);
        std::optional<fp::Error> error;
        auto enumerator = harness().enumerator(c.container, &error);
        if (!c.listed) {
            EXPECT_FALSE(enumerator);
            ASSERT_TRUE(error);
            EXPECT_TRUE(error->is(fp::kFileProviderErrorDomain, -1005));
            EXPECT_FALSE(error->userInfo.has_value());
            continue;
        }
        ASSERT_TRUE(enumerator);
        auto observer = harness().enumerateItems(c.container);
        expectDrained();
        EXPECT_EQ(server_->log().entries().back().detail, *c.listed);
        EXPECT_TRUE(observer->finished());
    }
}

TEST_F(EnumerationTest, ItemsAreListedFreshStoredAndReportedInOneBatch) {
    LogCapture log;
    store(fileItem("stale", "root", "/gone.txt"));
    server_->setChildren("root", {fileItem("f1", "root", "/b.txt"), folderItem("d1", "root", "/A")});
    auto observer = harness().enumerateItems(fp::kRootContainer);
    expectDrained();
    EXPECT_THAT(observer->identifiers(), ElementsAre("f1", "d1"));  // listing order
    EXPECT_EQ(observer->batches(), 1u);
    ASSERT_TRUE(observer->finishedUpTo().has_value());
    EXPECT_FALSE(observer->finishedUpTo()->has_value());  // no next page
    EXPECT_THAT(storedChildren(*mapping_, "root"), UnorderedElementsAre("f1", "d1"));
    EXPECT_FALSE(mapping_->item("stale"));
    EXPECT_EQ(log.matching("enumeration", "Enumerated 2 direct children for /").size(), 1u);
}

TEST_F(EnumerationTest, AnEmptyFolderIsOneEmptyBatchThenTheFinish) {
    store(folderItem("d1", "root", "/Empty"));
    auto observer = harness().enumerateItems("d1");
    expectDrained();
    EXPECT_EQ(observer->batches(), 1u);
    EXPECT_THAT(observer->items(), IsEmpty());
    EXPECT_TRUE(observer->finishedUpTo().has_value());
}

TEST_F(EnumerationTest, AFailedListingOrStoreReportsOnlyTheMappedErrorAndKeepsTheStoredChildren) {
    struct Case {
        const char* name;
        std::exception_ptr listingError;  // null: the store fails instead
        std::string domain;
        long code;
    };
    const Case cases[] = {
        {"outage", std::make_exception_ptr(DesktopError::server(503, "down")), fp::kFileProviderErrorDomain, -1004},
        {"conflicting names", std::make_exception_ptr(E2EEError::conflict()), fp::kFileProviderErrorDomain, -2005},
        {"signed out", std::make_exception_ptr(DesktopError::notAuthenticated()), fp::kFileProviderErrorDomain,
         -1000},
        {"store fails", nullptr, fp::kCocoaErrorDomain, 4101},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        LogCapture log;
        store(folderItem("d1", "root", "/Docs"));
        store(fileItem("kept", "d1", "/Docs/kept.txt"));
        server_->setChildren("d1", {fileItem("new", "d1", "/Docs/new.txt")});
        if (c.listingError) {
            server_->failAt("listItems", 1, c.listingError);
        } else {
            // A store without a database: reads answer nothing, every write fails.
            mapping_ = MappingStore::unavailable();
        }
        auto observer = harness().enumerateItems(c.listingError ? "d1" : fp::kRootContainer);
        expectDrained();
        EXPECT_THAT(observer->items(), IsEmpty());
        ASSERT_TRUE(observer->error());
        EXPECT_TRUE(observer->error()->is(c.domain, c.code));
        if (c.listingError) {
            EXPECT_THAT(storedChildren(*mapping_, "d1"), ElementsAre("kept"));
            EXPECT_EQ(log.matching("enumeration", "Enumeration failed for /Docs: ").size(), 1u);
        }
    }
}

TEST_F(EnumerationTest, AnInvalidatedEnumeratorRefusesNewRequestsAsCancelledAndNamesTheContainer) {
    LogCapture log;
    auto enumerator = harness().enumerator(fp::kRootContainer);
    enumerator->invalidate();
    auto items = std::make_shared<fp::testing::RecordingEnumerationObserver>(harness().tracker(), "items");
    enumerator->enumerateItems(items, fp::kInitialPage);
    auto changes = std::make_shared<fp::testing::RecordingChangeObserver>(harness().tracker(), "changes");
    enumerator->enumerateChanges(changes, {});
    expectDrained();
    ASSERT_TRUE(items->error());
    EXPECT_TRUE(items->error()->is(fp::kCocoaErrorDomain, 3072));
    ASSERT_TRUE(changes->error());
    EXPECT_TRUE(changes->error()->is(fp::kCocoaErrorDomain, 3072));
    EXPECT_THAT(server_->calls(), IsEmpty());
    EXPECT_EQ(log.matching("enumeration", "Enumeration failed for /: ").size(), 1u);
}

TEST_F(EnumerationTest, ARenameKeepingTheFileIdIsAnUpdateOnly) {
    store(fileItem("fid-1", "root", "/old name.txt"));
    server_->setChildren("root", {fileItem("fid-1", "root", "/new name.txt")});
    auto changes = harness().enumerateChanges(fp::kRootContainer);
    expectDrained();
    EXPECT_THAT(changes->updatedIdentifiers(), ElementsAre("fid-1"));
    EXPECT_EQ(changes->updated()[0]->filename(), "new name.txt");
    EXPECT_EQ(changes->deleteCalls(), 0u);
    EXPECT_EQ(mapping_->item("fid-1")->name, "new name.txt");
}

TEST_F(EnumerationTest, AMovedPathItemIsUpdatedUnderTheNewIdentifierAndDeletedUnderTheOld) {
    store(folderItem("d1", "root", "/Docs"));
    store(fileItem("path:/Docs/a.txt", "d1", "/Docs/a.txt"));
    store(fileItem("fid-2", "d1", "/Docs/b.txt"));
    // a.txt was moved on the server into Docs/Sub: it left Docs, so Docs no longer lists it;
    // one renamed on the server without a file id gets a new "path:" identifier.
    server_->setChildren("d1", {fileItem("path:/Docs/renamed.txt", "d1", "/Docs/renamed.txt"),
                                fileItem("fid-2", "d1", "/Docs/b.txt")});
    auto changes = harness().enumerateChanges("d1");
    expectDrained();
    EXPECT_THAT(changes->updatedIdentifiers(), ElementsAre("path:/Docs/renamed.txt", "fid-2"));
    EXPECT_THAT(changes->deleted(), ElementsAre("path:/Docs/a.txt"));
    EXPECT_EQ(changes->deleteCalls(), 1u);
    EXPECT_FALSE(mapping_->item("path:/Docs/a.txt"));
    EXPECT_TRUE(mapping_->item("path:/Docs/renamed.txt"));
}

TEST_F(EnumerationTest, AnEmptyListingUpdatesNothingAndDeletesEveryStoredChildButNeverTheRootItself) {
    store(fileItem("b", "root", "/B.txt"));
    store(fileItem("a", "root", "/a.txt"));
    auto changes = harness().enumerateChanges(fp::kRootContainer);
    expectDrained();
    EXPECT_EQ(changes->updateCalls(), 1u);
    EXPECT_THAT(changes->updated(), IsEmpty());
    // Stored order: by name without regard to case; "root" is not its own child.
    EXPECT_THAT(changes->deleted(), ElementsAre("a", "b"));
    EXPECT_TRUE(mapping_->item("root"));
}

// A listing read from the server before items were made, renamed or deleted
// here shows them as they were. Stored and reported, it must not undo those
// writes: a program that makes a folder and at once a file inside it would
// find the folder unknown.
class HeldListingTest : public EnumerationTest {
public:
    // Holds a listing of the root that shows "kept" and "gone" as they were,
    // makes a folder, renames "kept" and deletes "gone" meanwhile, then lets
    // the listing go on. Answers the new folder's identifier.
    template <typename Enumerate>
    fp::ItemId writeDuringAListing(Enumerate enumerate) {
        store(fileItem("kept", "root", "/kept.txt"));
        store(fileItem("gone", "root", "/gone.txt"));
        server_->setChildren("root", {fileItem("kept", "root", "/kept.txt"), fileItem("gone", "root", "/gone.txt")});
        auto gate = std::make_shared<fp::testing::Gate>();
        server_->holdAt("listItems", gate);
        enumerate();
        EXPECT_TRUE(gate->waitForArrivals(1));

        auto call = harness().create(makeTemplate(folderSpec("New")), fp::ItemField::filename);
        for (int i = 0; i < 1000 && call->count() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(call->count(), 1u);
        auto [folder, fields, refetch, error] = call->first();
        EXPECT_FALSE(error);
        RemoteItem renamed = fileItem("kept", "root", "/renamed.txt");
        renamed.etag = "etag-renamed";
        mapping_->upsert(renamed);
        mapping_->deleteItem("gone");

        gate->open();
        expectDrained();
        EXPECT_EQ(mapping_->item("kept"), renamed);
        EXPECT_FALSE(mapping_->item("gone"));
        EXPECT_EQ(mapping_->item(folder->itemIdentifier())->parentID, "root");
        // A file goes into the new folder.
        auto inside = harness().create(makeTemplate(fileSpec("a.txt", folder->itemIdentifier())), fp::ItemField::filename);
        expectDrained();
        EXPECT_EQ(inside->count(), 1u);
        EXPECT_FALSE(std::get<3>(inside->first()));
        return folder->itemIdentifier();
    }

    static std::string filenameOf(const std::vector<fp::ItemPtr>& items, const fp::ItemId& identifier) {
        for (const auto& item : items) {
            if (item->itemIdentifier() == identifier) return item->filename();
        }
        return "(not listed)";
    }
    static TemplateSpec folderSpec(const std::string& name) {
        TemplateSpec spec;
        spec.filename = name;
        spec.parent = fp::kRootContainer;
        spec.contentType = fp::ContentType::folder();
        return spec;
    }
    static TemplateSpec fileSpec(const std::string& name, const fp::ItemId& parent) {
        TemplateSpec spec;
        spec.filename = name;
        spec.parent = parent;
        return spec;
    }
};

TEST_F(HeldListingTest, AFullListingShowsWhatWasWrittenMeanwhileAsItIsNow) {
    std::shared_ptr<fp::testing::RecordingEnumerationObserver> observer;
    const auto folder = writeDuringAListing([&] { observer = harness().enumerateItems(fp::kRootContainer); });
    EXPECT_THAT(observer->identifiers(), UnorderedElementsAre("kept", folder));
    EXPECT_EQ(filenameOf(observer->items(), "kept"), "renamed.txt");
}

TEST_F(HeldListingTest, AChangeListingReportsWhatWasWrittenMeanwhileAsItIsNowAndDeletesNoneOfIt) {
    std::shared_ptr<fp::testing::RecordingChangeObserver> changes;
    const auto folder = writeDuringAListing([&] { changes = harness().enumerateChanges(fp::kRootContainer); });
    EXPECT_THAT(changes->updatedIdentifiers(), UnorderedElementsAre("kept", folder));
    EXPECT_EQ(filenameOf(changes->updated(), "kept"), "renamed.txt");
    EXPECT_THAT(changes->deleted(), IsEmpty());
}

TEST_F(EnumerationTest, TheAnchorHandedInIsIgnoredAndTheNewAnchorIsTheCurrentTime) {
    server_->setChildren("root", {fileItem("f1", "root", "/a.txt")});
    const fp::SyncAnchor anchors[] = {bytesOf("1600000000.0"), bytesOf("not an anchor"), {}};
    for (const auto& anchor : anchors) {
        auto changes = harness().enumerateChanges(fp::kRootContainer, anchor);
        expectDrained();
        EXPECT_THAT(changes->updatedIdentifiers(), ElementsAre("f1"));
        EXPECT_EQ(changes->deleteCalls(), 0u);
        ASSERT_TRUE(changes->anchor());
        EXPECT_EQ(textOf(*changes->anchor()), "1700000000.0");  // the manual clock's start
        EXPECT_FALSE(changes->moreComing());
    }
    harness().clock().advance(std::chrono::duration<double>(0.25));
    auto current = harness().currentSyncAnchor(fp::kRootContainer);
    ASSERT_EQ(current->count(), 1u);
    EXPECT_EQ(textOf(*std::get<0>(current->first())), "1700000000.25");
    expectDrained();
}

TEST(SyncAnchorTest, IsTheShortestDecimalSecondCountWithAFraction) {
    struct Case {
        double unixSeconds;
        const char* text;
    };
    const Case cases[] = {
        {1700000000.0, "1700000000.0"},
        {1700000000.5, "1700000000.5"},
        {1733832000.1234567, "1733832000.1234567"},
        {1733832000.125, "1733832000.125"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(textOf(timeSyncAnchor(Date::fromUnixSeconds(c.unixSeconds))), c.text);
        EXPECT_EQ(std::stod(c.text), c.unixSeconds);
    }
}

TEST_F(EnumerationTest, AFailedChangeListingOrStoreReportsOnlyTheError) {
    store(fileItem("a", "root", "/a.txt"));
    server_->failAt("listItems", 1, std::make_exception_ptr(DesktopError::server(429, "slow down")));
    auto failedListing = harness().enumerateChanges(fp::kRootContainer);
    expectDrained();
    ASSERT_TRUE(failedListing->error());
    EXPECT_TRUE(failedListing->error()->is(fp::kFileProviderErrorDomain, -1004));
    EXPECT_EQ(failedListing->updateCalls(), 0u);
    EXPECT_EQ(failedListing->deleteCalls(), 0u);
    EXPECT_TRUE(mapping_->item("a"));

    TearDown();  // a fresh extension over a store that cannot write
    SetUp();
    mapping_ = MappingStore::unavailable();
    server_->setChildren("root", {fileItem("f1", "root", "/a.txt")});
    auto failedStore = harness().enumerateChanges(fp::kRootContainer);
    expectDrained();
    ASSERT_TRUE(failedStore->error());
    EXPECT_TRUE(failedStore->error()->is(fp::kCocoaErrorDomain, 4101));
    EXPECT_EQ(failedStore->updateCalls(), 0u);
}

TEST_F(EnumerationTest, TheTrashStaysEmpty) {
    auto items = harness().enumerateItems(fp::kTrashContainer);
    auto changes = harness().enumerateChanges(fp::kTrashContainer, bytesOf("anything"));
    auto current = harness().currentSyncAnchor(fp::kTrashContainer);
    expectDrained();
    EXPECT_THAT(items->items(), IsEmpty());
    EXPECT_EQ(items->batches(), 0u);
    ASSERT_TRUE(items->finishedUpTo().has_value());
    EXPECT_FALSE(items->finishedUpTo()->has_value());
    EXPECT_EQ(changes->updateCalls(), 0u);
    EXPECT_EQ(changes->deleteCalls(), 0u);
    EXPECT_EQ(textOf(*changes->anchor()), "empty-v1");
    EXPECT_FALSE(changes->moreComing());
    EXPECT_EQ(textOf(*std::get<0>(current->first())), "empty-v1");
    EXPECT_THAT(server_->calls(), IsEmpty());
}

}  // namespace
}  // namespace nimbuscrate::testing
