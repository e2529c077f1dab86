#include "platform/fileprovider/testing/InMemoryExtension.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "platform/fileprovider/testing/ExtensionHarness.h"

namespace nimbuscrate::fp::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

struct FileProviderInMemoryExtension : ::testing::Test {
    std::filesystem::path scratch = std::filesystem::temp_directory_path() /
                                    ("fp-inmemory-" + std::to_string(::getpid()) + "-" +
                                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::shared_ptr<InMemoryExtension> tree;
    ExtensionHarness harness{[this](ExtensionEnvironment environment) -> ExtensionPtr {
        tree = std::make_shared<InMemoryExtension>(std::move(environment), scratch);
        return tree;
    }};
    ~FileProviderInMemoryExtension() override { std::filesystem::remove_all(scratch); }
};

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST_F(FileProviderInMemoryExtension, ListsFoldersInPagesSortedByName) {
    auto docs = tree->addFolder(kRootContainer, "Docs");
    tree->addFile(kRootContainer, "b.txt", "bbb");
    tree->addFile(kRootContainer, "a.txt", "a");
    tree->addFile(docs, "inner.txt", "i");
    tree->setPageSize(2);

    auto first = harness.enumerateItems(kRootContainer);
    EXPECT_THAT(harness.drain(), IsEmpty());
    ASSERT_TRUE(first->finishedUpTo().has_value());
    ASSERT_TRUE(first->finishedUpTo()->has_value());
    auto second = harness.enumerateItems(kRootContainer, **first->finishedUpTo());
    auto inner = harness.enumerateItems(docs);
    EXPECT_THAT(harness.drain(), IsEmpty());

    std::vector<std::string> names;
    for (const auto& item : first->items()) names.push_back(item->filename());
    for (const auto& item : second->items()) names.push_back(item->filename());
    EXPECT_THAT(names, ElementsAre("Docs", "a.txt", "b.txt"));
    EXPECT_EQ(second->finishedUpTo(), std::optional<std::optional<Page>>(std::optional<Page>()));
    ASSERT_EQ(inner->items().size(), 1u);
    EXPECT_EQ(inner->items()[0]->parentItemIdentifier(), docs);
    EXPECT_TRUE(first->items()[0]->isFolder());
    EXPECT_EQ(first->items()[1]->documentSize(), Provided<std::int64_t>(std::optional<std::int64_t>(1)));
}

TEST_F(FileProviderInMemoryExtension, ChangesSinceAnAnchorReportRenamesMovesAndDeletions) {
    auto docs = tree->addFolder(kRootContainer, "Docs");
    auto kept = tree->addFile(kRootContainer, "kept.txt", "k");
    auto renamed = tree->addFile(kRootContainer, "old.txt", "o");
    auto moved = tree->addFile(kRootContainer, "moved.txt", "m");
    auto gone = tree->addFile(kRootContainer, "gone.txt", "g");
    auto anchor = harness.currentSyncAnchor(kRootContainer);
    EXPECT_THAT(harness.drain(), IsEmpty());
    auto since = std::get<0>(anchor->first()).value();

    tree->rename(renamed, "new.txt");
    tree->move(moved, docs);
    tree->removeItem(gone);
    auto root = harness.enumerateChanges(kRootContainer, since);
    auto inDocs = harness.enumerateChanges(docs, since);
    auto everything = harness.enumerateChanges(kRootContainer, SyncAnchor{});
    EXPECT_THAT(harness.drain(), IsEmpty());

    EXPECT_THAT(root->updatedIdentifiers(), ElementsAre(renamed));
    EXPECT_THAT(root->deleted(), UnorderedElementsAre(moved, gone));
    EXPECT_THAT(inDocs->updatedIdentifiers(), ElementsAre(moved));
    EXPECT_THAT(inDocs->deleted(), IsEmpty());
    EXPECT_THAT(everything->updatedIdentifiers(), UnorderedElementsAre(docs, kept, renamed));
    EXPECT_NE(root->anchor(), since);
}

TEST_F(FileProviderInMemoryExtension, FetchWritesTheContentsAndCountsEachFetch) {
    auto file = tree->addFile(kRootContainer, "data.bin", std::string("\0\1\2xyz", 6));
    auto fetch = harness.fetchContents(file);
    EXPECT_THAT(harness.drain(), IsEmpty());
    auto [path, item, error] = fetch->first();
    ASSERT_FALSE(error.has_value());
    ASSERT_TRUE(path.has_value());
    EXPECT_EQ(readFile(*path), std::string("\0\1\2xyz", 6));
    EXPECT_EQ(item->itemIdentifier(), file);
    EXPECT_EQ(tree->fetches(file), 1u);
    EXPECT_TRUE(fetch->progress->isFinished());
}

TEST_F(FileProviderInMemoryExtension, InjectedFaultsFailTheNextCallsOnly) {
    auto file = tree->addFile(kRootContainer, "f.txt", "x");
    tree->failNext("fetchContents", Error::fileProvider(FileProviderErrorCode::serverUnreachable), 2);
    tree->failNext("enumerateItems", Error::fileProvider(FileProviderErrorCode::notAuthenticated));
    auto first = harness.fetchContents(file);
    auto second = harness.fetchContents(file);
    auto third = harness.fetchContents(file);
    auto listing = harness.enumerateItems(kRootContainer);
    auto listingAgain = harness.enumerateItems(kRootContainer);
    auto missing = harness.fetchContents("no-such-id");
    EXPECT_THAT(harness.drain(), IsEmpty());
    EXPECT_EQ(std::get<2>(first->first())->code, FileProviderErrorCode::serverUnreachable);
    EXPECT_EQ(std::get<2>(second->first())->code, FileProviderErrorCode::serverUnreachable);
    EXPECT_FALSE(std::get<2>(third->first()).has_value());
    EXPECT_EQ(listing->error()->code, FileProviderErrorCode::notAuthenticated);
    EXPECT_FALSE(listingAgain->error().has_value());
    EXPECT_EQ(std::get<2>(missing->first())->code, FileProviderErrorCode::noSuchItem);
}

TEST_F(FileProviderInMemoryExtension, AGateHoldsTheCallUntilOpened) {
    auto file = tree->addFile(kRootContainer, "f.txt", "x");
    auto gate = std::make_shared<Gate>();
    tree->holdAt("fetchContents", gate);
    auto fetch = harness.fetchContents(file);
    ASSERT_TRUE(gate->waitForArrivals(1));
    EXPECT_EQ(fetch->count(), 0u);
    gate->open();
    EXPECT_THAT(harness.drain(), IsEmpty());
    EXPECT_EQ(fetch->count(), 1u);
}

TEST_F(FileProviderInMemoryExtension, WritesCreateModifyAndRemove) {
    ItemProperties folderTemplate;
    folderTemplate.parent = kRootContainer;
    folderTemplate.filename = "New";
    folderTemplate.contentType = ContentType::folder();
    auto created = harness.create(ItemSnapshot::make(folderTemplate), ItemField::filename);
    // The first create must have won before the second one starts.
    EXPECT_THAT(harness.drain(), IsEmpty());
    auto clash = harness.create(ItemSnapshot::make(folderTemplate), ItemField::filename);
    EXPECT_THAT(harness.drain(), IsEmpty());
    auto folderItem = std::get<0>(created->first());
    ASSERT_NE(folderItem, nullptr);
    EXPECT_TRUE(folderItem->isFolder());
    EXPECT_EQ(std::get<3>(clash->first())->code, FileProviderErrorCode::filenameCollision);
    EXPECT_EQ(std::get<1>(clash->first()), ItemField::filename);  // still pending

    auto properties = ItemProperties::of(*folderItem);
    properties.filename = "Renamed";
    auto modified = harness.modify(ItemSnapshot::make(properties), *folderItem->itemVersion(), ItemField::filename);
    EXPECT_THAT(harness.drain(), IsEmpty());
    EXPECT_EQ(std::get<0>(modified->first())->filename(), "Renamed");

    auto removed = harness.remove(folderItem->itemIdentifier(), *folderItem->itemVersion());
    EXPECT_THAT(harness.drain(), IsEmpty());
    EXPECT_FALSE(std::get<0>(removed->first()).has_value());
    EXPECT_FALSE(tree->exists(folderItem->itemIdentifier()));
}

TEST_F(FileProviderInMemoryExtension, ModifyRefusesWhatAServerWouldRefuseAndChangesNothing) {
    auto docs = tree->addFolder(kRootContainer, "Docs");
    auto file = tree->addFile(kRootContainer, "a.txt", "a");
    auto other = tree->addFile(kRootContainer, "b.txt", "b");
    tree->addFile(docs, "a.txt", "in docs");
    struct Case {
        const char* name;
        ItemId parent;
        std::string filename;
        std::string domain;
        long code;
    };
    const Case cases[] = {
        {"new parent not there", "no-such-folder", "a.txt", kFileProviderErrorDomain, FileProviderErrorCode::noSuchItem},
        {"new parent is a file", other, "a.txt", kFileProviderErrorDomain, FileProviderErrorCode::noSuchItem},
        // The server refuses to replace the item there, which the real
        // extension reports as a general failure.
        {"rename onto a sibling's name", kRootContainer, "b.txt", kCocoaErrorDomain,
         CocoaErrorCode::connectionReplyInvalid},
        {"move onto a name taken in the new folder", docs, "a.txt", kCocoaErrorDomain,
         CocoaErrorCode::connectionReplyInvalid},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        ItemProperties properties;
        properties.identifier = file;
        properties.parent = row.parent;
        properties.filename = row.filename;
        properties.contentType = ContentType::data();
        auto call = harness.modify(ItemSnapshot::make(properties), ItemVersion{}, ItemField::filename);
        EXPECT_THAT(harness.drain(), IsEmpty());
        auto [item, pending, refetch, error] = call->first();
        EXPECT_EQ(item, nullptr);
        EXPECT_EQ(pending, ItemField::filename);
        ASSERT_TRUE(error.has_value());
        EXPECT_TRUE(error->is(row.domain, row.code)) << error->domain << " " << error->code;
    }
    EXPECT_THAT(tree->children(kRootContainer), UnorderedElementsAre(docs, file, other));
    auto listing = harness.enumerateItems(kRootContainer);
    EXPECT_THAT(harness.drain(), IsEmpty());
    std::vector<std::string> names;
    for (const auto& item : listing->items()) names.push_back(item->filename());
    EXPECT_THAT(names, ElementsAre("Docs", "a.txt", "b.txt"));
}

TEST_F(FileProviderInMemoryExtension, APoolThatTakesNoMoreTasksAnswersEachCallAtOnce) {
    auto file = tree->addFile(kRootContainer, "f.txt", "x");
    harness.tasks().shutdown();
    auto fetch = harness.fetchContents(file);
    auto trash = harness.enumerateItems(kTrashContainer);
    auto trashChanges = harness.enumerateChanges(kTrashContainer);
    auto trashAnchor = harness.currentSyncAnchor(kTrashContainer);
    auto rootAnchor = harness.currentSyncAnchor(kRootContainer);
    // Answered inside the calls, each exactly once.
    ASSERT_EQ(fetch->count(), 1u);
    EXPECT_TRUE(std::get<2>(fetch->first())->is(kCocoaErrorDomain, CocoaErrorCode::userCancelled));
    ASSERT_TRUE(trash->error().has_value());
    EXPECT_EQ(trash->error()->code, CocoaErrorCode::userCancelled);
    ASSERT_TRUE(trashChanges->error().has_value());
    EXPECT_EQ(trashChanges->error()->code, CocoaErrorCode::userCancelled);
    ASSERT_EQ(trashAnchor->count(), 1u);
    EXPECT_FALSE(std::get<0>(trashAnchor->first()).has_value());
    ASSERT_EQ(rootAnchor->count(), 1u);
    EXPECT_FALSE(std::get<0>(rootAnchor->first()).has_value());
    EXPECT_THAT(harness.drain(), IsEmpty());
}

}  // namespace
}  // namespace nimbuscrate::fp::testing
