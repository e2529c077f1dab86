#include "shared/session/MappingStore.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/core/DataPaths.h"
#include "platform/core/PlatformError.h"
#include "platform/core/Random.h"
#include "shared/session/DesktopError.h"

namespace nimbuscrate {
namespace {

namespace fs = std::filesystem;

RemoteItem makeItem(std::string id, std::string parentID, std::string path, bool isDirectory = false) {
    RemoteItem item;
    item.id = std::move(id);
    item.parentID = std::move(parentID);
    item.path = path;
    item.name = path.substr(path.find_last_of('/') + 1);
    item.isDirectory = isDirectory;
    item.size = isDirectory ? 0 : 100;
    item.modifiedAt = Date::fromUnixSeconds(1'700'000'000);
    item.etag = "etag-" + item.id;
    if (!isDirectory) item.contentType = "text/plain";
    return item;
}

std::set<std::string> idsOf(const std::vector<RemoteItem>& items) {
    std::set<std::string> ids;
    for (const auto& item : items) ids.insert(item.id);
    return ids;
}

std::set<std::string> setOf(const std::vector<std::string>& ids) { return {ids.begin(), ids.end()}; }

// A second connection to the store's file, the way another program (or a
// damaged file) would touch it.
class RawDatabase {
public:
    explicit RawDatabase(const fs::path& file) {
        if (sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
            ADD_FAILURE() << "cannot open " << file;
        }
    }
    ~RawDatabase() { sqlite3_close(db_); }

    void exec(const std::string& sql) {
        char* message = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
            ADD_FAILURE() << sql << ": " << (message ? message : "");
        }
        sqlite3_free(message);
    }

    long long integer(const std::string& sql) {
        sqlite3_stmt* statement = nullptr;
        long long value = -1;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW) {
            value = sqlite3_column_int64(statement, 0);
        }
        sqlite3_finalize(statement);
        return value;
    }

    double real(const std::string& sql) {
        sqlite3_stmt* statement = nullptr;
        double value = 0;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW) {
            value = sqlite3_column_double(statement, 0);
        }
        sqlite3_finalize(statement);
        return value;
    }

private:
    sqlite3* db_ = nullptr;
};

class MappingStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        base_ = fs::temp_directory_path() / ("mapping-tests-" + Uuid::random().lowerString());
    }
    void TearDown() override {
        std::error_code ignored;
        fs::permissions(base_, fs::perms::owner_all, ignored);
        fs::remove_all(base_, ignored);
    }

    fs::path file() const { return MappingStore::databaseFile(base_); }
    // Writes a database file as an earlier version left it: the items table
    // without the later columns, then `statements` (its rows, its version).
    void writeItemsTable(const std::string& statements) const {
        fs::create_directories(file().parent_path());
        RawDatabase raw(file());
        raw.exec(
            "CREATE TABLE items (id TEXT PRIMARY KEY, parent_id TEXT NOT NULL, path TEXT NOT NULL UNIQUE,"
            " name TEXT NOT NULL, is_directory INTEGER NOT NULL, size INTEGER NOT NULL,"
            " modified_at REAL NOT NULL, etag TEXT NOT NULL, content_type TEXT);" +
            statements);
    }
    std::unique_ptr<MappingStore> open() const { return std::make_unique<MappingStore>(base_); }

    // A store holding: root / A (folder) / A/f.txt, A/B (folder) / A/B/g.txt, and /top.txt.
    std::unique_ptr<MappingStore> openWithTree() const {
        auto store = open();
        for (const auto& item : tree()) store->upsert(item);
        return store;
    }
    static std::vector<RemoteItem> tree() {
        return {
            makeItem("A", "root", "/A", true),   makeItem("f", "A", "/A/f.txt"),
            makeItem("B", "A", "/A/B", true),    makeItem("g", "B", "/A/B/g.txt"),
            makeItem("top", "root", "/top.txt"),
        };
    }
    std::set<std::string> allIDs(MappingStore& store) const {
        return idsOf(store.rows("SELECT * FROM items", {}));
    }

    fs::path base_;
};

void expectMappingError(const std::function<void()>& operation, long long code, const std::string& descriptionStart) {
    try {
        operation();
        FAIL() << "the operation succeeded";
    } catch (const PlatformError& error) {
        EXPECT_EQ(error.domain(), "app.nimbuscrate.mapping.sqlite");
        EXPECT_EQ(error.code(), code);
        EXPECT_EQ(std::string(error.what()).rfind(descriptionStart, 0), 0u) << error.what();
    }
}

TEST_F(MappingStoreTest, OpenCreatesTheFileTheSchemaAndTheRoot) {
    auto store = open();
    EXPECT_TRUE(fs::is_regular_file(base_ / "Nimbuscrate" / "FileProvider" / "mapping.sqlite3"));
    EXPECT_TRUE(store->directoriesToRefreshAfterMigration().empty());  // a new file migrates from 0 silently
    RawDatabase raw(file());
    EXPECT_EQ(raw.integer("PRAGMA user_version"), 5);
    EXPECT_EQ(raw.integer("SELECT count(*) FROM items"), 1);
    EXPECT_EQ(raw.integer("SELECT count(*) FROM sqlite_master WHERE name='items_parent'"), 1);
    EXPECT_EQ(raw.integer("SELECT count(*) FROM pragma_journal_mode WHERE journal_mode='wal'"), 1);
}

TEST_F(MappingStoreTest, TheRootSurvivesARoundTripExactly) {
    {
        auto store = open();
        const auto root = store->item("root");
        ASSERT_TRUE(root.has_value());
        EXPECT_EQ(*root, RemoteItem::root());
        EXPECT_EQ(root->modifiedAt, Date::distantPast());
        EXPECT_FALSE(root->contentType.has_value());
        EXPECT_EQ(store->itemAtPath("/"), RemoteItem::root());
    }
    RawDatabase raw(file());
    EXPECT_EQ(raw.real("SELECT modified_at FROM items WHERE id='root'"), -62135769600.0);
    EXPECT_EQ(raw.integer("SELECT content_type IS NULL FROM items WHERE id='root'"), 1);
    // Reopening rewrites the root and keeps it equal.
    EXPECT_EQ(open()->item("root"), RemoteItem::root());
}

TEST_F(MappingStoreTest, ItemsKeepEveryField) {
    auto store = open();
    RemoteItem item = makeItem("file-1", "root", "/caf\u00e9 \u2603.txt");
    item.size = 9'000'000'000'000LL;
    item.modifiedAt = Date::fromUnixSeconds(1'234'567'890.5);
    item.etag = "\"quoted\"";
    item.contentType = "";  // empty stays empty, not absent
    store->upsert(item);
    EXPECT_EQ(store->item("file-1"), item);
    EXPECT_EQ(store->item("file-1")->contentType, std::optional<std::string>(""));
    EXPECT_EQ(store->itemAtPath("//caf\u00e9 \u2603.txt/"), item);
    EXPECT_EQ(store->item("missing"), std::nullopt);
    EXPECT_EQ(store->itemAtPath("/missing"), std::nullopt);
}

TEST_F(MappingStoreTest, UpsertUnderAnotherIdentifierTakesOverThePath) {
    // The server now knows /A under the identifier A2: told alone, in a
    // listing of the root, or with the path in another form.
    struct Case {
        const char* name;
        std::function<void(MappingStore&)> write;
    };
    const std::vector<Case> cases = {
        {"upsert", [](MappingStore& store) { store.upsert(makeItem("A2", "root", "/A", true)); }},
        {"listing",
         [](MappingStore& store) {
             store.replaceChildren("root", {makeItem("A2", "root", "/A", true), makeItem("top", "root", "/top.txt")});
         }},
        {"path in another form", [](MappingStore& store) { store.upsert(makeItem("A2", "root", "/A/", true)); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(base_);
        auto store = openWithTree();
        c.write(*store);
        EXPECT_EQ(store->item("A"), std::nullopt);
        EXPECT_EQ(store->item("A2")->parentID, "root");
        EXPECT_EQ(store->item("f")->parentID, "A2");
        EXPECT_EQ(store->item("B")->parentID, "A2");
        EXPECT_EQ(store->item("g")->parentID, "B");
        RawDatabase raw(file());
        EXPECT_EQ(raw.integer("SELECT count(*) FROM items WHERE id='A'"), 0);
        EXPECT_EQ(raw.integer("SELECT count(*) FROM items WHERE path IN ('/A', '/A/')"), 1);
    }
}

TEST_F(MappingStoreTest, UpsertUnderItsOwnIdentifierUpdatesInPlace) {
    auto store = openWithTree();
    RemoteItem renamed = makeItem("f", "A", "/A/renamed.txt");
    renamed.etag = "new";
    store->upsert(renamed);
    EXPECT_EQ(store->item("f"), renamed);
    EXPECT_EQ(store->itemAtPath("/A/f.txt"), std::nullopt);
    EXPECT_EQ(allIDs(*store), (std::set<std::string>{"root", "A", "f", "B", "g", "top"}));
}

TEST_F(MappingStoreTest, OnlyTheRootHoldsTheRootPath) {
    auto store = openWithTree();
    for (const char* path : {"/", "", "//", "/./"}) {
        SCOPED_TRACE(path);
        expectMappingError([&] { store->upsert(makeItem("impostor", "root", path, true)); }, SQLITE_CONSTRAINT,
                           "Nimbuscrate mapping upsert item failed (19): ");
    }
    expectMappingError([&] { store->upsert(makeItem("root", "root", "/elsewhere", true)); }, SQLITE_CONSTRAINT,
                       "Nimbuscrate mapping upsert item failed (19): ");
    expectMappingError([&] { store->replaceChildren("root", {makeItem("impostor", "root", "/", true)}); },
                       SQLITE_CONSTRAINT, "Nimbuscrate mapping upsert item failed (19): ");
    expectMappingError([&] { store->deleteItem("root"); }, SQLITE_CONSTRAINT,
                       "Nimbuscrate mapping delete item failed (19): ");
    EXPECT_EQ(store->item("root"), RemoteItem::root());
    EXPECT_EQ(allIDs(*store), (std::set<std::string>{"root", "A", "f", "B", "g", "top"}));
    EXPECT_EQ(store->item("A")->parentID, "root");
}

TEST_F(MappingStoreTest, ReplaceChildrenStoresTheListingAndRemovesTheRest) {
    auto store = openWithTree();
    RemoteItem changed = makeItem("f", "A", "/A/f.txt");
    changed.etag = "v2";
    const RemoteItem added = makeItem("h", "A", "/A/h.txt");
    const auto removed = store->replaceChildren("A", {changed, added});
    // B goes with its direct child g.
    EXPECT_EQ(setOf(removed), (std::set<std::string>{"B"}));
    EXPECT_EQ(store->item("f"), changed);
    EXPECT_EQ(store->item("h"), added);
    EXPECT_EQ(allIDs(*store), (std::set<std::string>{"root", "A", "f", "h", "top"}));
    // The folder's own row is not written.
    EXPECT_EQ(store->item("A"), tree()[0]);
}

// What a listing writes, counted in the file itself: the triggers fire on
// the store's connection too.
TEST_F(MappingStoreTest, ReplaceChildrenWritesOnlyTheRowsThatChanged) {
    auto store = open();
    store->upsert(makeItem("A", "root", "/A", true));
    std::vector<RemoteItem> listing;
    for (int i = 0; i < 50; ++i) {
        listing.push_back(makeItem("c" + std::to_string(i), "A", "/A/c" + std::to_string(i) + ".txt"));
    }
    listing.push_back(makeItem("D", "A", "/A/D", true));
    store->replaceChildren("A", listing);
    store->replaceChildren("D", {makeItem("inner", "D", "/A/D/inner.txt")});
    RawDatabase raw(file());
    raw.exec("CREATE TABLE item_writes (n INTEGER NOT NULL); INSERT INTO item_writes VALUES (0);"
             "CREATE TRIGGER count_insert AFTER INSERT ON items BEGIN UPDATE item_writes SET n = n + 1; END;"
             "CREATE TRIGGER count_update AFTER UPDATE ON items BEGIN UPDATE item_writes SET n = n + 1; END;"
             "CREATE TRIGGER count_delete AFTER DELETE ON items BEGIN UPDATE item_writes SET n = n + 1; END;");
    auto writes = [&] { return raw.integer("SELECT n FROM item_writes"); };

    const auto stored = store->rows("SELECT * FROM items ORDER BY id", {});
    EXPECT_TRUE(store->replaceChildren("A", listing).empty());
    EXPECT_EQ(writes(), 0);
    EXPECT_EQ(store->rows("SELECT * FROM items ORDER BY id", {}), stored);

    struct Case {
        const char* what;
        std::function<void(RemoteItem&)> change;
    };
    const std::vector<Case> cases = {
        {"etag", [](RemoteItem& item) { item.etag = "etag-new"; }},
        {"name", [](RemoteItem& item) { item.name = "renamed.txt"; item.path = "/A/renamed.txt"; }},
        {"size", [](RemoteItem& item) { item.size = 101; }},
        {"modification date", [](RemoteItem& item) { item.modifiedAt = Date::fromUnixSeconds(1'700'000'000.25); }},
        {"content type", [](RemoteItem& item) { item.contentType = std::nullopt; }},
        {"kind", [](RemoteItem& item) { item.isDirectory = true; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<RemoteItem> changed = listing;
        c.change(changed[7]);
        const long long before = writes();
        EXPECT_TRUE(store->replaceChildren("A", changed).empty());
        EXPECT_EQ(writes(), before + 1);
        EXPECT_EQ(store->item("c7"), changed[7]);
        store->replaceChildren("A", listing);
        EXPECT_EQ(store->item("c7"), listing[7]);
    }
    // A new child is one row more; a child gone takes its row and its children's.
    std::vector<RemoteItem> grown = listing;
    grown.push_back(makeItem("new", "A", "/A/new.txt"));
    long long before = writes();
    store->replaceChildren("A", grown);
    EXPECT_EQ(writes(), before + 1);
    grown.erase(std::find_if(grown.begin(), grown.end(), [](const RemoteItem& item) { return item.id == "D"; }));
    before = writes();
    EXPECT_EQ(store->replaceChildren("A", grown), std::vector<std::string>{"D"});
    EXPECT_EQ(writes(), before + 2);
    EXPECT_FALSE(store->item("inner").has_value());
}

// A listing read from the server before an item was created, changed, moved
// or deleted here shows it as it was: storing that listing afterwards must
// not undo the write (a child created in a new folder would lose its parent).
TEST_F(MappingStoreTest, AListingNeverUndoesWhatWasWrittenAfterItBegan) {
    // The listing of A as the server answered it, read before each write below.
    const std::vector<RemoteItem> stale = {makeItem("f", "A", "/A/f.txt"), makeItem("B", "A", "/A/B", true)};
    struct Case {
        const char* what;
        std::function<void(MappingStore&)> write;
        std::set<std::string> children;  // of A, after the listing is stored
        std::set<std::string> removed;   // what storing the listing removed
    };
    const std::vector<Case> cases = {
        {"a folder created", [](MappingStore& s) { s.upsert(makeItem("new", "A", "/A/new", true)); },
         {"f", "B", "new"}, {"extra"}},
        {"a file renamed",
         [](MappingStore& s) {
             RemoteItem renamed = makeItem("f", "A", "/A/renamed.txt");
             renamed.etag = "etag-after";
             s.upsert(renamed);
         },
         {"f", "B"}, {"extra"}},
        {"a folder deleted", [](MappingStore& s) { s.deleteItem("B"); }, {"f"}, {"extra"}},
        {"a file moved out", [](MappingStore& s) { s.upsert(makeItem("f", "root", "/f.txt")); }, {"B"}, {"extra"}},
        // The listed paths of a folder moved since are gone: nothing is stored.
        {"the folder moved", [](MappingStore& s) { s.upsert(makeItem("A", "root", "/Moved", true)); },
         {"f", "B", "extra"}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(base_);
        auto store = openWithTree();
        store->upsert(makeItem("extra", "A", "/A/extra.txt"));  // on the server no more: the listing removes it
        const MappingStore::Listing listing = store->beginListing();
        c.write(*store);
        std::map<std::string, std::optional<RemoteItem>> written;
        for (const auto& id : store->writtenSince(listing)) written[id] = store->item(id);
        const auto removed = store->replaceChildren("A", stale, &listing);
        EXPECT_EQ(setOf(removed), c.removed);
        EXPECT_EQ(idsOf(store->rows("SELECT * FROM items WHERE parent_id='A'", {})), c.children);
        // Every item written since the listing began is as that write left it.
        EXPECT_FALSE(written.empty());
        for (const auto& [id, item] : written) EXPECT_EQ(store->item(id), item) << id;
    }
}

TEST_F(MappingStoreTest, WritesBeforeAListingOrOutsideItsTimeAreTheListingsToReplace) {
    auto store = openWithTree();
    store->upsert(makeItem("early", "A", "/A/early.txt"));  // before the listing: the listing holds
    std::optional<MappingStore::Listing> outer(store->beginListing());
    store->upsert(makeItem("during", "A", "/A/during.txt"));
    {
        const MappingStore::Listing inner = store->beginListing();
        EXPECT_TRUE(store->writtenSince(inner).empty());
        EXPECT_EQ(store->writtenSince(*outer), std::set<std::string>{"during"});
        EXPECT_EQ(setOf(store->replaceChildren("A", {}, &inner)), (std::set<std::string>{"f", "B", "early", "during"}));
    }
    store->upsert(makeItem("during", "A", "/A/during.txt"));
    EXPECT_EQ(setOf(store->replaceChildren("A", {}, &*outer)), std::set<std::string>{});
    outer.reset();
    // With no listing under way, nothing is remembered for a later one.
    store->upsert(makeItem("after", "A", "/A/after.txt"));
    const MappingStore::Listing later = store->beginListing();
    EXPECT_TRUE(store->writtenSince(later).empty());
    EXPECT_EQ(setOf(store->replaceChildren("A", {}, &later)), (std::set<std::string>{"during", "after"}));
}

TEST_F(MappingStoreTest, ReplaceChildrenWithNothingRemovesChildrenAndTheirChildrenOnly) {
    auto store = openWithTree();
    store->upsert(makeItem("deep", "g", "/A/B/g.txt/deep"));  // a grandchild of A's child B
    const auto removed = store->replaceChildren("A", {});
    EXPECT_EQ(setOf(removed), (std::set<std::string>{"f", "B"}));
    EXPECT_EQ(allIDs(*store), (std::set<std::string>{"root", "A", "top", "deep"}));
    EXPECT_TRUE(store->replaceChildren("A", {}).empty());
}

TEST_F(MappingStoreTest, ReplaceChildrenOfTheRootNeverTouchesTheRoot) {
    auto store = openWithTree();
    const auto removed = store->replaceChildren("root", {});
    EXPECT_EQ(setOf(removed), (std::set<std::string>{"A", "top"}));
    EXPECT_EQ(store->item("root"), RemoteItem::root());
    // A's direct children went with it; B's child g stays (it is two levels down).
    EXPECT_EQ(allIDs(*store), (std::set<std::string>{"root", "g"}));
}

TEST_F(MappingStoreTest, DeleteItemRemovesTheRowAndItsDirectChildren) {
    auto store = openWithTree();
    store->deleteItem("A");
    EXPECT_EQ(allIDs(*store), (std::set<std::string>{"root", "g", "top"}));
    store->deleteItem("not-there");
    EXPECT_EQ(allIDs(*store), (std::set<std::string>{"root", "g", "top"}));
}

TEST_F(MappingStoreTest, RowsRunsTheEnumerationQueryAndSwallowsErrors) {
    auto store = openWithTree();
    store->upsert(makeItem("c", "A", "/A/c.txt"));
    store->upsert(makeItem("Z", "A", "/A/Z.txt"));
    const auto children =
        store->rows("SELECT * FROM items WHERE parent_id=? AND id<>? ORDER BY name COLLATE NOCASE", {"A", "A"});
    std::vector<std::string> names;
    for (const auto& child : children) names.push_back(child.name);
    EXPECT_EQ(names, (std::vector<std::string>{"B", "c.txt", "f.txt", "Z.txt"}));
    EXPECT_TRUE(store->rows("SELECT * FROM items WHERE parent_id=? AND id<>?", {"root", "root", "extra"}).empty());
    EXPECT_TRUE(store->rows("SELECT * FROM nowhere", {}).empty());
    EXPECT_TRUE(store->rows("SELECT id FROM items", {}).empty());  // not a whole row
    EXPECT_TRUE(store->rows("not sql", {}).empty());
}

// Makes the store's next writes fail inside SQLite: a trigger that raises
// when a row with the given identifier is inserted, updated or deleted.
void injectFailure(RawDatabase& raw, const std::string& id) {
    for (const std::string event : {"INSERT", "UPDATE", "DELETE"}) {
        const std::string row = event == "DELETE" ? "OLD" : "NEW";
        raw.exec("CREATE TRIGGER fail_" + event + " BEFORE " + event + " ON items WHEN " + row + ".id='" + id +
                 "' BEGIN SELECT RAISE(ABORT, 'injected failure'); END;");
    }
}

TEST_F(MappingStoreTest, AFailedWriteRollsBackEverything) {
    auto store = openWithTree();
    const auto before = store->rows("SELECT * FROM items ORDER BY id", {});
    {
        RawDatabase raw(file());
        injectFailure(raw, "boom");
    }
    struct Case {
        const char* name;
        std::function<void()> write;
        const char* context;
    };
    const std::vector<Case> cases = {
        // The listing's first child is stored, then the second fails: nothing of it stays.
        {"replaceChildren", [&] { store->replaceChildren("A", {makeItem("new", "A", "/A/new.txt"),
                                                             makeItem("boom", "A", "/A/boom.txt")}); },
         "upsert item"},
        // The path owner's children are moved under the new identifier before the insert fails.
        {"upsert over a path owner", [&] { store->upsert(makeItem("boom", "root", "/A", true)); }, "upsert item"},
        // A listed child is stored and one unlisted child removed before the next removal fails.
        {"replaceChildren removing", [&] {
             RawDatabase raw(file());
             raw.exec("CREATE TRIGGER fail_f BEFORE DELETE ON items WHEN OLD.id='f' BEGIN SELECT RAISE(ABORT, 'injected failure'); END;");
             store->replaceChildren("A", {makeItem("fresh", "A", "/A/fresh.txt")});
         },
         "delete item"},
        {"deleteItem", [&] { store->deleteItem("A"); }, "delete item"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto start = store->rows("SELECT * FROM items ORDER BY id", {});
        expectMappingError(c.write, SQLITE_CONSTRAINT,
                           std::string("Nimbuscrate mapping ") + c.context + " failed (19): injected failure");
        EXPECT_EQ(store->rows("SELECT * FROM items ORDER BY id", {}), start);
    }
    EXPECT_EQ(store->rows("SELECT * FROM items ORDER BY id", {}), before);
    RawDatabase raw(file());
    // The store goes on working once the fault is gone.
    raw.exec("DROP TRIGGER fail_INSERT; DROP TRIGGER fail_UPDATE; DROP TRIGGER fail_DELETE; DROP TRIGGER fail_f;");
    store->upsert(makeItem("boom", "root", "/boom"));
    EXPECT_TRUE(store->item("boom").has_value());
}

TEST_F(MappingStoreTest, AFullDatabaseRollsBack) {
    auto store = openWithTree();
    const auto before = store->rows("SELECT * FROM items ORDER BY id", {});
    // Cap the file at its present size on the store's own connection (the
    // statement's one row is not an item, so rows() answers empty, but it runs).
    store->rows("PRAGMA max_page_count=" + std::to_string(RawDatabase(file()).integer("PRAGMA page_count")), {});
    std::vector<RemoteItem> many;
    for (int i = 0; i < 2000; ++i) many.push_back(makeItem("n" + std::to_string(i), "A", "/A/n" + std::to_string(i)));
    expectMappingError([&] { store->replaceChildren("A", many); }, SQLITE_FULL, "Nimbuscrate mapping upsert item failed (13): ");
    EXPECT_EQ(store->rows("SELECT * FROM items ORDER BY id", {}), before);
}

TEST_F(MappingStoreTest, AVersion4DatabaseMigratesOnceWithItsRefreshList) {
    writeItemsTable(
        "INSERT INTO items VALUES('root','root','/','Nimbuscrate',1,0,-62135769600.0,'root',NULL);"
        "INSERT INTO items VALUES('A','root','/A','A',1,0,0,'e',NULL);"
        "INSERT INTO items VALUES('B','A','/A/B','B',1,0,0,'e',NULL);"
        "INSERT INTO items VALUES('f','B','/A/B/f','f',0,5,0,'e','text/plain');"
        "INSERT INTO items VALUES('orphan','gone','/gone/orphan','orphan',1,0,0,'e',NULL);"
        "INSERT INTO items VALUES('orphan-child','orphan','/gone/orphan/c','c',0,1,0,'e',NULL);"
        "INSERT INTO items VALUES('loop1','loop2','/l1','l1',1,0,0,'e',NULL);"
        "INSERT INTO items VALUES('loop2','loop1','/l2','l2',1,0,0,'e',NULL);"
        "PRAGMA user_version=4;");
    {
        auto store = open();
        EXPECT_EQ(setOf(store->directoriesToRefreshAfterMigration()), (std::set<std::string>{"A", "B"}));
        EXPECT_EQ(allIDs(*store), (std::set<std::string>{"root", "A", "B", "f"}));
        EXPECT_EQ(store->item("f")->contentType, "text/plain");
    }
    EXPECT_EQ(RawDatabase(file()).integer("PRAGMA user_version"), 5);
    auto again = open();
    EXPECT_TRUE(again->directoriesToRefreshAfterMigration().empty());
    EXPECT_EQ(allIDs(*again), (std::set<std::string>{"root", "A", "B", "f"}));
}

TEST_F(MappingStoreTest, ANewerSchemaIsLeftAlone) {
    writeItemsTable(
        "INSERT INTO items VALUES('orphan','gone','/gone/orphan','orphan',1,0,0,'e',NULL);"
        "PRAGMA user_version=6;");
    auto store = open();
    EXPECT_TRUE(store->directoriesToRefreshAfterMigration().empty());
    EXPECT_EQ(allIDs(*store), (std::set<std::string>{"root", "orphan"}));
    EXPECT_EQ(RawDatabase(file()).integer("PRAGMA user_version"), 6);
}

TEST_F(MappingStoreTest, AFailedMigrationLeavesTheFileAsItWas) {
    writeItemsTable(
        "INSERT INTO items VALUES('orphan','gone','/gone/orphan','orphan',1,0,0,'e',NULL);"
        "CREATE TRIGGER keep BEFORE DELETE ON items BEGIN SELECT RAISE(ABORT, 'injected failure'); END;"
        "PRAGMA user_version=4;");
    expectMappingError([&] { open(); }, SQLITE_CONSTRAINT, "Nimbuscrate mapping execute statement failed (19): ");
    RawDatabase raw(file());
    EXPECT_EQ(raw.integer("PRAGMA user_version"), 4);
    EXPECT_EQ(raw.integer("SELECT count(*) FROM items"), 1);  // not even the root was added
}

TEST_F(MappingStoreTest, OpenFailures) {
    // The folders cannot be made: a file stands where "Nimbuscrate" should be.
    fs::create_directories(base_);
    std::ofstream(base_ / "Nimbuscrate") << "x";
    try {
        open();
        FAIL() << "opened";
    } catch (const PlatformError& error) {
        EXPECT_EQ(error.domain(), kPOSIXErrorDomain);
    }
    fs::remove(base_ / "Nimbuscrate");

    // SQLite cannot open the file: a folder stands where the database should be.
    fs::create_directories(file());
    try {
        open();
        FAIL() << "opened";
    } catch (const DesktopError& error) {
        EXPECT_EQ(error.kind(), DesktopError::Kind::invalidResponse);
    }
    fs::remove(file());

    // The file is not a database.
    std::ofstream(file()) << std::string(4096, 'j');
    expectMappingError([&] { open(); }, SQLITE_NOTADB, "Nimbuscrate mapping execute statement failed (26): ");
}

TEST_F(MappingStoreTest, DamagedRowsAreNotRead) {
    auto store = openWithTree();
    {
        RawDatabase raw(file());
        // Rebuild the table without its NOT NULL constraints, as a damaged file might hold it.
        raw.exec("ALTER TABLE items RENAME TO old_items; CREATE TABLE items (id TEXT PRIMARY KEY, parent_id TEXT,"
                 " path TEXT UNIQUE, name TEXT, is_directory INTEGER, size INTEGER, modified_at REAL, etag TEXT,"
                 " content_type TEXT); INSERT INTO items SELECT * FROM old_items; DROP TABLE old_items;"
                 "UPDATE items SET name=NULL WHERE id='f';");
    }
    EXPECT_EQ(store->item("f"), std::nullopt);
    EXPECT_TRUE(store->rows("SELECT * FROM items WHERE parent_id=?", {"A"}).empty());
    EXPECT_TRUE(store->item("B").has_value());
    expectMappingError([&] { store->replaceChildren("A", {}); }, SQLITE_CORRUPT, "Nimbuscrate mapping query failed (11): ");
}

TEST_F(MappingStoreTest, AStoreWithoutDatabase) {
    auto store = MappingStore::unavailable();
    EXPECT_EQ(store->item("root"), std::nullopt);
    EXPECT_EQ(store->itemAtPath("/"), std::nullopt);
    EXPECT_TRUE(store->rows("SELECT * FROM items", {}).empty());
    EXPECT_TRUE(store->directoriesToRefreshAfterMigration().empty());
    const std::vector<std::function<void()>> writes = {
        [&] { store->upsert(makeItem("a", "root", "/a")); },
        [&] { store->replaceChildren("root", {}); },
        [&] { store->deleteItem("a"); },
    };
    for (const auto& write : writes) {
        try {
            write();
            FAIL() << "written";
        } catch (const PlatformError& error) {
            EXPECT_EQ(error.domain(), kMappingErrorDomain);
            const std::string description = error.what();
            EXPECT_TRUE(description.ends_with("SQLite database is unavailable")) << description;
        }
    }
}

TEST_F(MappingStoreTest, ConcurrentCallersAreSerialised) {
    auto store = open();
    store->upsert(makeItem("F", "root", "/F", true));
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                const std::string id = "t" + std::to_string(t) + "-" + std::to_string(i);
                try {
                    store->upsert(makeItem(id, "F", "/F/" + id));
                    if (!store->item(id)) ++failures;
                    store->replaceChildren(id, {});
                    if (i % 2 == 0) store->deleteItem(id);
                } catch (const std::exception&) {
                    ++failures;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(store->rows("SELECT * FROM items WHERE parent_id=?", {"F"}).size(), 100u);
}

TEST_F(MappingStoreTest, TwoProgramsKeepTwoFiles) {
    const fs::path app = base_ / "containers" / "Nimbuscrate";
    const fs::path extension = base_ / "containers" / "NimbuscrateFileProvider";
    MappingStore appStore(app);
    MappingStore extensionStore(extension);
    extensionStore.upsert(makeItem("x", "root", "/x"));
    EXPECT_NE(MappingStore::databaseFile(app), MappingStore::databaseFile(extension));
    EXPECT_EQ(appStore.item("x"), std::nullopt);
    EXPECT_TRUE(extensionStore.item("x").has_value());
    struct stat info {};
    ASSERT_EQ(::stat((extension / "Nimbuscrate").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 077, 0u);
}

// The process-wide store opens once per process, so each case runs in a child process.
TEST_F(MappingStoreTest, TheSharedStoreLivesInTheProgramsOwnPlace) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    fs::create_directories(base_);
    const fs::path blocked = base_ / "blocked";  // a file where a folder would have to be
    std::ofstream(blocked) << "x";
    struct Case {
        const char* name;
        fs::path dataHome, cacheHome, temporary;
        fs::path expectedBase;  // empty: no database at all
    };
    const std::vector<Case> cases = {
        {"container", base_ / "data", base_ / "cache", base_ / "tmp",
         base_ / "data" / "nimbuscrate" / "containers" / "NimbuscrateFileProvider"},
        {"cache folder", blocked, base_ / "cache", base_ / "tmp",
         base_ / "cache" / "nimbuscrate" / "containers" / "NimbuscrateFileProvider"},
        {"temporary folder", blocked, blocked, base_ / "tmp",
         base_ / "tmp" / ("nimbuscrate-" + std::to_string(::getuid())) / "NimbuscrateFileProvider"},
        {"nowhere", blocked, blocked, blocked, {}},
    };
    fs::create_directories(base_ / "tmp");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EXIT(
            {
                ::setenv("XDG_DATA_HOME", c.dataHome.c_str(), 1);
                ::setenv("XDG_CACHE_HOME", c.cacheHome.c_str(), 1);
                ::setenv("TMPDIR", c.temporary.c_str(), 1);
                setProgramName("NimbuscrateFileProvider");
                MappingStore& store = MappingStore::shared();
                const bool sameStore = &store == &MappingStore::shared();
                bool placed = c.expectedBase.empty() ? !store.item("root").has_value()
                                                     : store.item("root") == RemoteItem::root() &&
                                                           fs::is_regular_file(MappingStore::databaseFile(c.expectedBase));
                if (c.expectedBase.empty()) {
                    try {
                        store.upsert(makeItem("a", "root", "/a"));
                        placed = false;
                    } catch (const PlatformError& error) {
                        placed = placed && std::string(error.what()).ends_with("SQLite database is unavailable");
                    }
                }
                // The child runs the test body afresh under its own folder; it cleans up after itself.
                std::error_code ignored;
                fs::remove_all(base_, ignored);
                std::exit(sameStore && placed ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "");
    }
}

}  // namespace
}  // namespace nimbuscrate
