// The replica's database: what a listing writes, commits that never hold
// up readers, and a file that always ends as the replica in memory.
#include <sqlite3.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <random>
#include <thread>

#include "platform/fileprovider/host/Replica.h"
#include "tests/support/Eventually.h"
#include "tests/support/TemporaryDirectory.h"

namespace nimbuscrate::fp::host {
namespace {

using ::testing::Contains;
using ::testing::Field;
using ::testing::IsEmpty;
using nimbuscrate::testing::eventually;
using nimbuscrate::testing::TemporaryDirectory;

ItemProperties fileProperties(const ItemId& id, const ItemId& parent, const std::string& name) {
    ItemProperties properties;
    properties.identifier = id;
    properties.parent = parent;
    properties.filename = name;
    properties.contentType = ContentType::data();
    properties.documentSize = std::optional<std::int64_t>(10);
    properties.creationDate = std::optional<Date>(Date::fromUnixSeconds(1'700'000'000));
    properties.contentModificationDate = std::optional<Date>(Date::fromUnixSeconds(1'700'000'100));
    properties.capabilities = Capability::allowsReading | Capability::allowsWriting;
    properties.version = ItemVersion{{'1'}, {'m'}};
    return properties;
}

ItemPtr folderItem(const ItemId& id, const ItemId& parent, const std::string& name) {
    ItemProperties properties = fileProperties(id, parent, name);
    properties.contentType = ContentType::folder();
    properties.documentSize = std::nullopt;
    return ItemSnapshot::make(properties);
}

// A second connection to the replica's file. It counts the rows written to
// the nodes table by any connection from the moment it opens (the triggers
// live in the file), and can hold the file's write lock as another program
// would.
class RawReplicaDatabase {
public:
    explicit RawReplicaDatabase(const std::filesystem::path& file) {
        if (sqlite3_open(file.c_str(), &database_) != SQLITE_OK) ADD_FAILURE() << "cannot open " << file;
    }
    ~RawReplicaDatabase() { sqlite3_close(database_); }

    void exec(const std::string& sql) {
        char* message = nullptr;
        if (sqlite3_exec(database_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
            ADD_FAILURE() << sql << ": " << (message ? message : "");
        }
        sqlite3_free(message);
    }
    void countNodeWrites() {
        exec("CREATE TABLE node_writes (n INTEGER NOT NULL); INSERT INTO node_writes VALUES (0);"
             "CREATE TRIGGER count_insert AFTER INSERT ON nodes BEGIN UPDATE node_writes SET n = n + 1; END;"
             "CREATE TRIGGER count_update AFTER UPDATE ON nodes BEGIN UPDATE node_writes SET n = n + 1; END;"
             "CREATE TRIGGER count_delete AFTER DELETE ON nodes BEGIN UPDATE node_writes SET n = n + 1; END;");
    }
    long long nodeWrites() { return integer("SELECT n FROM node_writes"); }
    long long integer(const std::string& sql) {
        sqlite3_stmt* statement = nullptr;
        long long count = -1;
        if (sqlite3_prepare_v2(database_, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW) {
            count = sqlite3_column_int64(statement, 0);
        }
        sqlite3_finalize(statement);
        return count;
    }

private:
    sqlite3* database_ = nullptr;
};

std::vector<ItemPtr> manyFiles(int count, const std::string& prefix = "f", const ItemId& parent = kRootContainer) {
    std::vector<ItemPtr> items;
    for (int index = 0; index < count; ++index) {
        const std::string id = prefix + std::to_string(index);
        items.push_back(ItemSnapshot::make(fileProperties(id, parent, id + ".txt")));
    }
    return items;
}

TEST(FileProviderHostReplicaDatabase, AListingWritesOnlyTheNodesItChangesAndTellsTheKernelOnlyOfThem) {
    TemporaryDirectory dir;
    const auto database = dir / "replica.sqlite3";
    Replica replica(database);
    const auto listing = manyFiles(100);
    replica.replaceChildren(kRootInode, listing, SyncAnchor{'1'}, 0);
    replica.replaceChildren(kRootInode, listing, SyncAnchor{'1'}, 0);
    replica.applyChanges(kRootInode, {folderItem("d", kRootContainer, "Docs")}, {}, SyncAnchor{'1'}, 0);
    const Inode docs = *replica.inodeOf("d");
    replica.replaceChildren(docs, {}, SyncAnchor{'1'}, 0);
    RawReplicaDatabase raw(database);
    raw.countNodeWrites();

    // The same listing again, in full and as changes (a change enumeration
    // reports every child): only the folder's own row (its anchor) is written.
    std::vector<ItemPtr> withDocs = listing;
    withDocs.push_back(folderItem("d", kRootContainer, "Docs"));
    EXPECT_THAT(replica.replaceChildren(kRootInode, withDocs, SyncAnchor{'2'}, 1), IsEmpty());
    EXPECT_EQ(raw.nodeWrites(), 1);
    EXPECT_THAT(replica.applyChanges(kRootInode, withDocs, {}, SyncAnchor{'3'}, 2), IsEmpty());
    EXPECT_EQ(raw.nodeWrites(), 2);

    // One thing of one item changes: that node is written (besides the
    // folder's row), and the kernel forgets what it held of it.
    struct Case {
        const char* what;
        std::function<void(ItemProperties&)> change;
    };
    const std::vector<Case> cases = {
        {"version", [](ItemProperties& p) { p.version = ItemVersion{{'2'}, {'m'}}; }},
        {"metadata version", [](ItemProperties& p) { p.version = ItemVersion{{'2'}, {'n'}}; }},
        {"name", [](ItemProperties& p) { p.filename = "renamed.txt"; }},
        {"size", [](ItemProperties& p) { p.documentSize = std::optional<std::int64_t>(11); }},
        {"modification date",
         [](ItemProperties& p) { p.contentModificationDate = std::optional<Date>(Date::fromUnixSeconds(1)); }},
        {"creation date", [](ItemProperties& p) { p.creationDate = std::optional<Date>(Date::fromUnixSeconds(2)); }},
        {"capabilities", [](ItemProperties& p) { p.capabilities = Capability::allowsReading; }},
        {"content type", [](ItemProperties& p) { p.contentType = ContentType::withIdentifier("public.jpeg"); }},
        {"folder", [](ItemProperties& p) { p.parent = "d"; }},
    };
    const Inode changed = *replica.inodeOf("f7");
    for (const auto& each : cases) {
        SCOPED_TRACE(each.what);
        ItemProperties properties = fileProperties("f7", kRootContainer, "f7.txt");
        // From the item as first listed, so that each case changes one thing.
        replica.applyChanges(kRootInode, {ItemSnapshot::make(properties)}, {}, SyncAnchor{'4'}, 3);
        const long long before = raw.nodeWrites();
        each.change(properties);
        auto invalidations = replica.applyChanges(kRootInode, {ItemSnapshot::make(properties)}, {},
                                                  SyncAnchor{'5'}, 4);
        EXPECT_EQ(raw.nodeWrites(), before + 2);
        EXPECT_THAT(invalidations, Contains(Field(&Invalidation::inode, changed)));
        // And it is what a restart finds.
        auto stored = Replica(database).node(changed);
        ASSERT_TRUE(stored);
        EXPECT_EQ(stored->name, properties.filename);
        EXPECT_EQ(stored->parent, *replica.inodeOf(properties.parent));
        EXPECT_EQ(stored->version, properties.version);
        EXPECT_EQ(stored->size, **properties.documentSize);
        EXPECT_EQ(stored->modified, **properties.contentModificationDate);
        EXPECT_EQ(stored->created, **properties.creationDate);
        EXPECT_EQ(stored->capabilities, *properties.capabilities);
        EXPECT_EQ(stored->contentType, properties.contentType);
    }
}

// A commit that waits for the file (another program holds its write lock)
// holds up no lookup: the change is seen at once, and its call returns once
// it is on disk.
TEST(FileProviderHostReplicaDatabase, ReadersAreNotHeldUpByACommit) {
    TemporaryDirectory dir;
    const auto database = dir / "replica.sqlite3";
    Replica replica(database);
    const auto first = ItemSnapshot::make(fileProperties("a", kRootContainer, "a.txt"));
    const auto second = ItemSnapshot::make(fileProperties("b", kRootContainer, "b.txt"));
    replica.replaceChildren(kRootInode, {first}, SyncAnchor{'1'}, 0);

    RawReplicaDatabase raw(database);
    raw.exec("BEGIN IMMEDIATE");
    std::atomic<bool> listed{false}, created{false};
    std::thread lister([&] {
        replica.replaceChildren(kRootInode, {first, second}, SyncAnchor{'2'}, 1);
        listed = true;
    });
    ASSERT_TRUE(eventually([&] { return replica.inodeOf("b").has_value(); }));
    // A second writer's change comes after it and waits too.
    std::thread creator([&] {
        std::vector<Invalidation> ignored;
        replica.addLocal(kRootInode, "c.txt", false, Date::now(), ignored);
        created = true;
    });
    ASSERT_TRUE(eventually([&] { return replica.child(kRootInode, "c.txt").has_value(); }));
    EXPECT_EQ(replica.children(kRootInode).size(), 3u);
    EXPECT_TRUE(replica.node(*replica.inodeOf("b")));
    EXPECT_FALSE(listed.load());
    EXPECT_FALSE(created.load());

    raw.exec("COMMIT");
    lister.join();
    creator.join();
    EXPECT_TRUE(replica.persistent());
    Replica reopened(database);
    EXPECT_TRUE(reopened.inodeOf("b").has_value());
    EXPECT_TRUE(reopened.child(kRootInode, "c.txt").has_value());
    EXPECT_EQ(reopened.node(kRootInode)->anchor, SyncAnchor{'2'});
}

// Every field a restart reads back.
void expectSameNode(const ReplicaNode& stored, const ReplicaNode& live) {
    SCOPED_TRACE(live.identifier);
    EXPECT_EQ(stored.inode, live.inode);
    EXPECT_EQ(stored.identifier, live.identifier);
    EXPECT_EQ(stored.parent, live.parent);
    EXPECT_EQ(stored.name, live.name);
    EXPECT_EQ(stored.folder, live.folder);
    EXPECT_EQ(stored.size, live.size);
    EXPECT_EQ(stored.created, live.created);
    EXPECT_EQ(stored.modified, live.modified);
    EXPECT_EQ(stored.capabilities, live.capabilities);
    EXPECT_EQ(stored.contentType, live.contentType);
    EXPECT_EQ(stored.version, live.version);
    EXPECT_EQ(stored.materializedVersion, live.materializedVersion);
    EXPECT_EQ(stored.listed, live.listed);
    EXPECT_EQ(stored.anchor, live.anchor);
    EXPECT_EQ(stored.dirty, live.dirty);
    EXPECT_EQ(stored.pending, live.pending);
}

// Every node reachable from the root, and the nodes of the given items.
std::map<Inode, ReplicaNode> allNodes(const Replica& replica, const std::vector<ItemId>& identifiers) {
    std::map<Inode, ReplicaNode> nodes;
    std::vector<Inode> folders{kRootInode};
    nodes[kRootInode] = *replica.node(kRootInode);
    while (!folders.empty()) {
        Inode folder = folders.back();
        folders.pop_back();
        for (const auto& child : replica.children(folder)) {
            nodes[child.inode] = child;
            if (child.folder) folders.push_back(child.inode);
        }
    }
    for (const auto& identifier : identifiers) {
        if (auto inode = replica.inodeOf(identifier)) nodes[*inode] = *replica.node(*inode);
    }
    return nodes;
}

// Listings, changes and local changes from several threads at once, with
// readers beside them: the file always ends as the replica in memory.
// The kernel waits for a listing of a folder it opens; the listing is
// written in the background, and always before the replica closes.
TEST(FileProviderHostReplicaDatabase, AListingWrittenInTheBackgroundReachesTheFile) {
    TemporaryDirectory dir;
    const auto database = dir / "replica.sqlite3";
    const auto storedNodes = [&] { return RawReplicaDatabase(database).integer("SELECT count(*) FROM nodes"); };
    {
        Replica replica(database);
        replica.replaceChildren(kRootInode, manyFiles(300), SyncAnchor{'1'}, 0, UINT64_MAX, Replica::Commit::later);
        EXPECT_EQ(replica.children(kRootInode).size(), 300u);
        EXPECT_TRUE(eventually([&] { return storedNodes() == 301; }));
    }
    {
        // Closed right after the listing: written all the same, and before
        // the change made after it.
        Replica replica(database);
        std::vector<ItemPtr> withDocs = manyFiles(300);
        withDocs.push_back(folderItem("d", kRootContainer, "Docs"));
        replica.replaceChildren(kRootInode, withDocs, SyncAnchor{'2'}, 0, UINT64_MAX, Replica::Commit::later);
        replica.replaceChildren(*replica.inodeOf("d"), manyFiles(50, "in", "d"), SyncAnchor{'3'}, 0, UINT64_MAX,
                                Replica::Commit::later);
        std::vector<Invalidation> ignored;
        replica.addLocal(*replica.inodeOf("d"), "made here.txt", false, Date::fromUnixSeconds(1), ignored);
    }
    {
        Replica reopened(database);
        EXPECT_EQ(reopened.children(kRootInode).size(), 301u);
        EXPECT_EQ(reopened.node(kRootInode)->anchor, SyncAnchor{'2'});
        const Inode docs = *reopened.inodeOf("d");
        EXPECT_TRUE(reopened.node(docs)->listed);
        EXPECT_EQ(reopened.children(docs).size(), 51u);
    }
    {
        // A listing that removes nodes is written before it returns (the
        // caller moves the copies it drops).
        Replica replica(database);
        RawReplicaDatabase raw(database);
        raw.countNodeWrites();
        replica.replaceChildren(kRootInode, manyFiles(100), SyncAnchor{'4'}, 0, UINT64_MAX, Replica::Commit::later);
        EXPECT_GE(raw.nodeWrites(), 200);
    }
}

TEST(FileProviderHostReplicaDatabase, ConcurrentChangesAllReachTheFileInOrder) {
    for (unsigned seed : {1u, 2u, 3u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        TemporaryDirectory dir;
        const auto database = dir / "replica.sqlite3";
        std::vector<ItemId> identifiers;
        for (int index = 0; index < 40; ++index) identifiers.push_back("i" + std::to_string(index));
        identifiers.push_back("d");
        {
            Replica replica(database);
            replica.replaceChildren(kRootInode, {folderItem("d", kRootContainer, "Docs")}, SyncAnchor{'0'}, 0);
            const Inode docs = *replica.inodeOf("d");
            replica.replaceChildren(docs, {}, SyncAnchor{'0'}, 0);
            std::atomic<bool> done{false};
            auto work = [&](unsigned threadSeed) {
                std::mt19937 random(threadSeed);
                auto pick = [&](int below) { return static_cast<int>(random() % static_cast<unsigned>(below)); };
                // A server item as a listing shows it: one of a few names, versions and sizes.
                auto serverItem = [&](int index, const ItemId& parent) {
                    ItemProperties properties =
                        fileProperties("i" + std::to_string(index), parent, "n" + std::to_string(pick(60)) + ".txt");
                    const char version = static_cast<char>('a' + pick(3));
                    properties.version = ItemVersion{{static_cast<std::uint8_t>(version)}, {'m'}};
                    properties.documentSize = std::optional<std::int64_t>(pick(3));
                    return ItemSnapshot::make(properties);
                };
                for (int step = 0; step < 150; ++step) {
                    std::vector<Invalidation> ignored;
                    const int index = pick(40);
                    switch (pick(8)) {
                        case 0: {
                            std::vector<ItemPtr> listing;
                            for (int count = pick(12); count > 0; --count) listing.push_back(serverItem(pick(40), kRootContainer));
                            listing.push_back(folderItem("d", kRootContainer, "Docs"));
                            // Half of them written in the background.
                            replica.replaceChildren(kRootInode, listing, SyncAnchor{static_cast<std::uint8_t>(step)}, step,
                                                    replica.localEpoch(),
                                                    pick(2) ? Replica::Commit::later : Replica::Commit::now);
                            break;
                        }
                        case 1:
                            replica.applyChanges(docs, {serverItem(index, "d"), serverItem(pick(40), "d")},
                                                 {"i" + std::to_string(pick(40))}, SyncAnchor{'c'}, step,
                                                 replica.localEpoch());
                            break;
                        case 2:
                            replica.addLocal(pick(2) ? kRootInode : docs, "local" + std::to_string(pick(20)), false,
                                             Date::fromUnixSeconds(step), ignored);
                            break;
                        case 3:
                            if (auto inode = replica.inodeOf("i" + std::to_string(index))) {
                                replica.update(*inode, [&](ReplicaNode& node) {
                                    node.name = "moved" + std::to_string(index);
                                    node.pending |= PendingWork::move;
                                }, ignored);
                            }
                            break;
                        case 4:
                            if (auto inode = replica.inodeOf("i" + std::to_string(index))) {
                                replica.setMaterialized(*inode, ItemVersion{{'a'}, {'m'}});
                            }
                            break;
                        case 5:
                            if (auto inode = replica.inodeOf("i" + std::to_string(index))) {
                                replica.erase(*inode, ignored, true);
                            }
                            break;
                        case 6:
                            if (auto removals = replica.removals(); !removals.empty()) {
                                replica.finishRemoval(removals[static_cast<std::size_t>(pick(static_cast<int>(removals.size())))].inode);
                            }
                            break;
                        case 7: {
                            const Inode inode = replica.newInode();
                            replica.recordSentCreate(SentCreate{inode, docs, "sent.txt", false, step, Date()});
                            if (pick(2)) replica.finishSentCreate(inode);
                            break;
                        }
                    }
                }
            };
            std::thread reader([&] {
                while (!done.load()) {
                    for (const auto& child : replica.children(kRootInode)) replica.node(child.inode);
                }
            });
            std::vector<std::thread> writers;
            for (unsigned index = 0; index < 3; ++index) writers.emplace_back(work, seed * 10 + index);
            for (auto& writer : writers) writer.join();
            done = true;
            reader.join();
            ASSERT_TRUE(replica.persistent());
            replica.commitAll();

            Replica reopened(database);
            auto live = allNodes(replica, identifiers);
            auto stored = allNodes(reopened, identifiers);
            ASSERT_EQ(stored.size(), live.size());
            for (const auto& [inode, node] : live) {
                ASSERT_TRUE(stored.count(inode)) << node.identifier;
                expectSameNode(stored.at(inode), node);
            }
            auto removalInodes = [](const std::vector<PendingRemoval>& removals) {
                std::vector<std::pair<Inode, ItemId>> out;
                for (const auto& removal : removals) out.emplace_back(removal.inode, removal.identifier);
                return out;
            };
            EXPECT_EQ(removalInodes(reopened.removals()), removalInodes(replica.removals()));
            auto createInodes = [](const std::vector<SentCreate>& creates) {
                std::vector<Inode> out;
                for (const auto& create : creates) out.push_back(create.inode);
                return out;
            };
            EXPECT_EQ(createInodes(reopened.sentCreates()), createInodes(replica.sentCreates()));
        }
    }
}

}  // namespace
}  // namespace nimbuscrate::fp::host
