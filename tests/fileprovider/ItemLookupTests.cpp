#include <sqlite3.h>

#include "fileprovider/FileProviderItem.h"
#include "fileprovider/SpecialContainerItem.h"
#include "tests/fileprovider/ExtensionTestSupport.h"

namespace nimbuscrate::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

using ItemLookupTest = ExtensionTest;

TEST_F(ItemLookupTest, AnswersRootTrashAndStoredItemsAtOnceAndCompletesTheProgressOnlyOnSuccess) {
    store(fileItem("f1", "root", "/a.txt"));
    store(folderItem("d1", "root", "/Docs"));
    struct Case {
        fp::ItemId asked;
        std::optional<fp::ItemId> answered;  // none: -1005
    };
    const Case cases[] = {
        {fp::kRootContainer, fp::kRootContainer},
        {fp::kTrashContainer, fp::kTrashContainer},
        {"f1", "f1"},
        {"d1", "d1"},
        {"never-listed", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.asked);
        auto call = harness().item(c.asked);
        // Synchronous: the completion ran before the entry returned.
        ASSERT_EQ(call->count(), 1u);
        auto [item, error] = call->first();
        ASSERT_EQ(call->progress->totalUnitCount(), 1);
        if (c.answered) {
            ASSERT_TRUE(item);
            EXPECT_EQ(item->itemIdentifier(), *c.answered);
            EXPECT_FALSE(error);
            EXPECT_EQ(call->progress->completedUnitCount(), 1);
        } else {
            EXPECT_FALSE(item);
            ASSERT_TRUE(error);
            EXPECT_TRUE(error->is(fp::kFileProviderErrorDomain, -1005));
            EXPECT_FALSE(error->userInfo.has_value());
            EXPECT_EQ(call->progress->completedUnitCount(), 0);
        }
    }
    EXPECT_THAT(server_->calls(), IsEmpty());  // lookups never reach the server
    expectDrained();
}

TEST(FileProviderItemTest, TheRootAndOtherItemsReportTheirFixedPropertiesAndVersions) {
    FileProviderItem root(RemoteItem::root());
    EXPECT_EQ(root.itemIdentifier(), fp::kRootContainer);
    EXPECT_EQ(root.parentItemIdentifier(), fp::kRootContainer);
    EXPECT_EQ(root.capabilities(), 67u);
    EXPECT_EQ(root.contentPolicy(), fp::ContentPolicy::downloadLazily);
    EXPECT_EQ(root.contentType(), fp::ContentType::folder());
    EXPECT_EQ(textOf(root.itemVersion()->content), "root|thumbnail-e2ee-v3");
    EXPECT_EQ(textOf(root.itemVersion()->metadata), "root|e2ee-v1");

    RemoteItem stored = fileItem("fid-7", "root", "/a.txt");
    stored.modifiedAt = Date::fromUnixSeconds(1'650'000'000.5);
    FileProviderItem top(stored);
    EXPECT_EQ(top.itemIdentifier(), "fid-7");
    EXPECT_EQ(top.parentItemIdentifier(), fp::kRootContainer);
    EXPECT_EQ(top.filename(), "a.txt");
    EXPECT_EQ(top.capabilities(), 111u);
    EXPECT_EQ(top.contentPolicy(), fp::ContentPolicy::inherited);
    EXPECT_EQ(top.documentSize(), std::optional<std::int64_t>(42));
    EXPECT_EQ(top.contentModificationDate(), std::optional<Date>(stored.modifiedAt));
    EXPECT_EQ(top.creationDate(), std::optional<Date>(stored.modifiedAt));
    EXPECT_EQ(textOf(top.itemVersion()->content), "etag-fid-7|thumbnail-e2ee-v3");
    EXPECT_EQ(textOf(top.itemVersion()->metadata), "etag-fid-7|e2ee-v1");

    FileProviderItem nested(folderItem("d2", "d1", "/Docs/Sub"));
    EXPECT_EQ(nested.parentItemIdentifier(), "d1");
    // A folder provides its size without a value: absent, not 0.
    ASSERT_TRUE(nested.documentSize().has_value());
    EXPECT_FALSE(nested.documentSize()->has_value());
}

TEST(FileProviderItemTest, BothVersionsMoveExactlyWhenTheEtagMoves) {
    RemoteItem a = fileItem("f", "root", "/a.txt");
    RemoteItem renamed = a;
    renamed.name = "b.txt";
    RemoteItem changed = a;
    changed.etag = "other";
    EXPECT_EQ(fileProviderItemVersion(a), fileProviderItemVersion(renamed));
    EXPECT_NE(fileProviderItemVersion(a).content, fileProviderItemVersion(changed).content);
    EXPECT_NE(fileProviderItemVersion(a).metadata, fileProviderItemVersion(changed).metadata);
}

TEST(FileProviderItemTest, ContentTypeComesFromTheExtensionThenTheMimeTypeThenData) {
    struct Case {
        const char* name;
        bool folder;
        std::optional<std::string> mime;
        fp::ContentType expected;
    };
    const Case cases[] = {
        {"report", false, "application/pdf", fp::ContentType::pdf()},
        {"notes.qqqunknown", false, std::nullopt, fp::ContentType::data()},
        {"holiday.jpg", true, std::nullopt, fp::ContentType::folder()},
        {"photo.png", false, "application/pdf", *fp::ContentType::fromFilenameExtension("png")},
        {"clip.mov", false, std::nullopt, *fp::ContentType::fromFilenameExtension("mov")},
        {"strange", false, "application/x-not-registered", fp::ContentType::data()},
        {"plain", false, std::nullopt, fp::ContentType::data()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RemoteItem item = c.folder ? folderItem("x", "root", std::string("/") + c.name)
                                   : fileItem("x", "root", std::string("/") + c.name, c.mime);
        EXPECT_EQ(fileProviderContentType(item).identifier(), c.expected.identifier());
        EXPECT_EQ(FileProviderItem(item).contentType()->identifier(), c.expected.identifier());
    }
}

TEST(FileProviderItemTest, TheTrashIsAnEmptyReadOnlyFolderUnderTheRoot) {
    SpecialContainerItem trash;
    EXPECT_EQ(trash.itemIdentifier(), fp::kTrashContainer);
    EXPECT_EQ(trash.parentItemIdentifier(), fp::kRootContainer);
    EXPECT_EQ(trash.filename(), "Trash");
    EXPECT_TRUE(trash.isFolder());
    EXPECT_EQ(trash.capabilities(), 1u);
    EXPECT_EQ(textOf(trash.itemVersion()->content), "trash-v1");
    EXPECT_EQ(textOf(trash.itemVersion()->metadata), "trash-v1");
    EXPECT_FALSE(trash.documentSize().has_value());
    EXPECT_FALSE(trash.contentPolicy().has_value());
    EXPECT_FALSE(trash.contentModificationDate().has_value());
}

// The count is the process's: one domain's extension is made (a domain
// added) and invalidated (a domain removed) while another domain uploads.
TEST_F(ItemLookupTest, AddingOrRemovingADomainLeavesTheUploadsOfAnotherCounted) {
    auto running = uploads_->beginUpload();  // another domain's upload, in this process
    ASSERT_EQ(uploads_->activeOperations(), 1u);
    start();
    EXPECT_EQ(uploads_->activeOperations(), 1u);
    EXPECT_EQ(uploads_->publishedCount(), 1);
    harness().extension().invalidate();
    EXPECT_EQ(uploads_->activeOperations(), 1u);
    EXPECT_EQ(uploads_->publishedCount(), 1);
    running->finish();
    EXPECT_EQ(uploads_->activeOperations(), 0u);
    EXPECT_EQ(uploads_->publishedCount(), 0);
    EXPECT_THAT(harness().manager().signalled(), IsEmpty());  // no migration, nothing signalled
    expectDrained();
}

// A mapping database of schema 4 with three folders, which the store
// migrates when it opens.
void writeVersion4Database(const std::filesystem::path& base) {
    const auto file = MappingStore::databaseFile(base);
    std::filesystem::create_directories(file.parent_path());
    sqlite3* database = nullptr;
    ASSERT_EQ(sqlite3_open(file.string().c_str(), &database), SQLITE_OK);
    const char* script =
        "CREATE TABLE items (id TEXT PRIMARY KEY, parent_id TEXT NOT NULL, path TEXT NOT NULL UNIQUE,"
        " name TEXT NOT NULL, is_directory INTEGER NOT NULL, size INTEGER NOT NULL,"
        " modified_at REAL NOT NULL, etag TEXT NOT NULL, content_type TEXT);"
        "INSERT INTO items VALUES('root','root','/','Nimbuscrate',1,0,-62135769600.0,'root',NULL);"
        "INSERT INTO items VALUES('A','root','/A','A',1,0,0,'e',NULL);"
        "INSERT INTO items VALUES('B','A','/A/B','B',1,0,0,'e',NULL);"
        "INSERT INTO items VALUES('C','root','/C','C',1,0,0,'e',NULL);"
        "INSERT INTO items VALUES('f','B','/A/B/f','f',0,5,0,'e','text/plain');"
        "PRAGMA user_version=4;";
    EXPECT_EQ(sqlite3_exec(database, script, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(database);
}

TEST_F(ItemLookupTest, AfterAMigrationTheRootAndThenEachRecordedFolderAreSignalledInListOrder) {
    writeVersion4Database(directory_ / "old");
    mapping_ = std::make_unique<MappingStore>(directory_ / "old");
    const auto folders = mapping_->directoriesToRefreshAfterMigration();
    ASSERT_EQ(folders.size(), 3u);
    start();
    std::vector<fp::ItemId> expected{fp::kRootContainer};
    expected.insert(expected.end(), folders.begin(), folders.end());
    EXPECT_THAT(harness().manager().signalled(), ElementsAreArray(expected));
    expectDrained();
}

TEST_F(ItemLookupTest, WithoutAMigrationNoManagerIsAskedFor) {
    TaskPool tasks(1);
    ManualClock clock;
    int managerRequests = 0;
    fp::ExtensionEnvironment environment;
    environment.domain = fp::Domain{"nimbuscrate", "Nimbuscrate"};
    environment.manager = [&managerRequests]() -> fp::ManagerPtr {
        ++managerRequests;
        return nullptr;
    };
    environment.tasks = &tasks;
    environment.clock = &clock;
    auto made = FileProviderExtension::make(environment, {server_, encryption_, mapping_.get(), uploads_});
    EXPECT_EQ(managerRequests, 0);
    made.reset();
}

TEST_F(ItemLookupTest, AfterAMigrationWithoutAManagerNothingIsSignalledAndLookupsStillWork) {
    writeVersion4Database(directory_ / "old");
    mapping_ = std::make_unique<MappingStore>(directory_ / "old");
    start(/*withManager=*/false);
    EXPECT_THAT(harness().manager().calls(), IsEmpty());
    auto call = harness().item("A");
    EXPECT_FALSE(std::get<1>(call->first()));
    expectDrained();
}

}  // namespace
}  // namespace nimbuscrate::testing
