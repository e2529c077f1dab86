#include "platform/fileprovider/host/Replica.h"

#include <sqlite3.h>

#include <cerrno>

#include "platform/core/PlatformError.h"
#include "platform/fileprovider/host/DomainMount.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <functional>

namespace nimbuscrate::fp::host {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

ItemPtr item(const ItemId& id, const ItemId& parent, const std::string& name, bool folder = false,
             const std::string& version = "1") {
    ItemProperties properties;
    properties.identifier = id;
    properties.parent = parent;
    properties.filename = name;
    properties.contentType = folder ? ContentType::folder() : ContentType::data();
    properties.documentSize = folder ? std::optional<std::int64_t>() : std::optional<std::int64_t>(10);
    properties.capabilities = Capability::allowsReading;
    properties.version = ItemVersion{Bytes(version.begin(), version.end()), Bytes(version.begin(), version.end())};
    return ItemSnapshot::make(properties);
}

std::vector<std::string> names(const std::vector<ReplicaNode>& nodes) {
    std::vector<std::string> out;
    for (const auto& node : nodes) out.push_back(node.name);
    return out;
}

TEST(FileProviderHostReplica, ListingReplacesChildrenAndKeepsInodesByIdentifier) {
    Replica replica;
    replica.replaceChildren(kRootInode, {item("a", kRootContainer, "a.txt"), item("d", kRootContainer, "Docs", true)},
                            SyncAnchor{'1'}, 0);
    auto a = replica.inodeOf("a");
    ASSERT_TRUE(a.has_value());
    EXPECT_THAT(names(replica.children(kRootInode)), ElementsAre("Docs", "a.txt"));
    EXPECT_TRUE(replica.node(kRootInode)->listed);

    // Relisted: "a" renamed, "d" gone, "n" new.
    replica.replaceChildren(kRootInode, {item("a", kRootContainer, "renamed.txt"), item("n", kRootContainer, "new.txt")},
                            SyncAnchor{'2'}, 0);
    EXPECT_EQ(replica.inodeOf("a"), a);
    EXPECT_FALSE(replica.inodeOf("d").has_value());
    EXPECT_THAT(names(replica.children(kRootInode)), ElementsAre("new.txt", "renamed.txt"));
    EXPECT_FALSE(replica.child(kRootInode, "a.txt").has_value());
}

TEST(FileProviderHostReplica, ItemsWhoseNamesNoFolderCanShowAreLeftOutOfListingsAndChanges) {
    const std::string refused[] = {"", ".", "..", "a/b", "../../escape", std::string("a\0b", 3), std::string(256, 'x')};
    for (const auto& name : refused) {
        SCOPED_TRACE("name of " + std::to_string(name.size()) + " bytes: " + name);
        Replica replica;
        replica.replaceChildren(kRootInode,
                                {item("bad", kRootContainer, name), item("ok", kRootContainer, std::string(255, 'y')),
                                 item("d", kRootContainer, "Docs", true)},
                                SyncAnchor{'1'}, 0);
        EXPECT_FALSE(replica.inodeOf("bad").has_value());
        EXPECT_THAT(names(replica.children(kRootInode)), ElementsAre("Docs", std::string(255, 'y')));

        // A change that brings the name is left out too, and a known item
        // that takes it goes from the folder.
        Inode docs = *replica.inodeOf("d");
        replica.replaceChildren(docs, {item("inner", "d", "inner.txt")}, SyncAnchor{'1'}, 0);
        replica.applyChanges(docs, {item("new", "d", name), item("inner", "d", name)}, {}, SyncAnchor{'2'}, 0);
        EXPECT_FALSE(replica.inodeOf("new").has_value());
        EXPECT_FALSE(replica.inodeOf("inner").has_value());
        EXPECT_THAT(replica.children(docs), IsEmpty());

        replica.replaceChildren(kRootInode, {item("ok", kRootContainer, name), item("d", kRootContainer, "Docs", true)},
                                SyncAnchor{'3'}, 0);
        EXPECT_FALSE(replica.inodeOf("ok").has_value());
        EXPECT_THAT(names(replica.children(kRootInode)), ElementsAre("Docs"));
    }
}

TEST(FileProviderHostReplica, ChangesMoveRenameAndDeleteByIdentifier) {
    Replica replica;
    replica.replaceChildren(kRootInode,
                            {item("f", kRootContainer, "f.txt"), item("d", kRootContainer, "Docs", true),
                             item("g", kRootContainer, "g.txt")},
                            SyncAnchor{'1'}, 0);
    Inode docs = *replica.inodeOf("d");
    replica.replaceChildren(docs, {item("inner", "d", "inner.txt")}, SyncAnchor{'1'}, 0);
    Inode f = *replica.inodeOf("f");

    // "f" moves into Docs and is renamed; the root reports it deleted too,
    // which must not drop the moved node; "g" is deleted; Docs' own child goes with nothing.
    auto invalidations = replica.applyChanges(docs, {item("f", "d", "moved.txt")}, {}, SyncAnchor{'2'}, 0);
    replica.applyChanges(kRootInode, {}, {"f", "g"}, SyncAnchor{'2'}, 0);
    EXPECT_EQ(replica.inodeOf("f"), f);
    EXPECT_EQ(replica.node(f)->parent, docs);
    EXPECT_EQ(replica.relativePath(f), std::filesystem::path("Docs/moved.txt"));
    EXPECT_FALSE(replica.inodeOf("g").has_value());
    EXPECT_THAT(names(replica.children(kRootInode)), ElementsAre("Docs"));
    EXPECT_THAT(names(replica.children(docs)), ElementsAre("inner.txt", "moved.txt"));

    // The kernel forgets the old and the new name.
    bool oldName = false, newName = false;
    for (const auto& invalidation : invalidations) {
        if (invalidation.kind == Invalidation::Kind::entry && invalidation.parent == kRootInode && invalidation.name == "f.txt") oldName = true;
        if (invalidation.kind == Invalidation::Kind::entry && invalidation.parent == docs && invalidation.name == "moved.txt") newName = true;
    }
    EXPECT_TRUE(oldName);
    EXPECT_TRUE(newName);
}

TEST(FileProviderHostReplica, DeletingAFolderDeletesEverythingBelowIt) {
    Replica replica;
    replica.replaceChildren(kRootInode, {item("d", kRootContainer, "Docs", true)}, SyncAnchor{'1'}, 0);
    Inode docs = *replica.inodeOf("d");
    replica.replaceChildren(docs, {item("x", "d", "x.txt"), item("sub", "d", "Sub", true)}, SyncAnchor{'1'}, 0);
    replica.replaceChildren(*replica.inodeOf("sub"), {item("y", "sub", "y.txt")}, SyncAnchor{'1'}, 0);
    replica.setMaterialized(*replica.inodeOf("y"), ItemVersion{{'1'}, {'1'}});
    Inode y = *replica.inodeOf("y");

    replica.applyChanges(kRootInode, {}, {"d"}, SyncAnchor{'2'}, 0);
    for (const auto* id : {"d", "x", "sub", "y"}) EXPECT_FALSE(replica.inodeOf(id).has_value()) << id;
    EXPECT_THAT(replica.children(kRootInode), IsEmpty());
    EXPECT_THAT(replica.takeDroppedCaches(), ElementsAre(y));
}

TEST(FileProviderHostReplica, FilesChangedHereAreKeptWhenTheirFolderLeaves) {
    // The three ways a folder leaves the replica: deleted in its parent's
    // changes, moved where the replica shows nothing, missing from a listing.
    using Leave = std::function<void(Replica&)>;
    for (const auto& [how, leave] : std::vector<std::pair<std::string, Leave>>{
             {"deleted", [](Replica& r) { r.applyChanges(kRootInode, {}, {"d"}, SyncAnchor{'2'}, 0); }},
             {"moved out of sight",
              [](Replica& r) { r.applyChanges(kRootInode, {item("d", "elsewhere", "Docs", true)}, {}, SyncAnchor{'2'}, 0); }},
             {"not listed", [](Replica& r) { r.replaceChildren(kRootInode, {}, SyncAnchor{'2'}, 0); }},
         }) {
        SCOPED_TRACE(how);
        Replica replica;
        replica.replaceChildren(kRootInode, {item("d", kRootContainer, "Docs", true)}, SyncAnchor{'1'}, 0);
        Inode docs = *replica.inodeOf("d");
        replica.replaceChildren(docs, {item("x", "d", "x.txt"), item("sub", "d", "Sub", true)}, SyncAnchor{'1'}, 0);
        replica.replaceChildren(*replica.inodeOf("sub"), {item("y", "sub", "y.txt")}, SyncAnchor{'1'}, 0);
        Inode x = *replica.inodeOf("x");
        Inode y = *replica.inodeOf("y");
        replica.setMaterialized(x, ItemVersion{{'1'}, {'1'}});
        std::vector<Invalidation> ignored;
        ASSERT_TRUE(replica.update(y, [](ReplicaNode& node) {
            node.dirty = true;
            node.materializedVersion = ItemVersion{{'1'}, {'1'}};
        }, ignored));

        leave(replica);
        EXPECT_FALSE(replica.inodeOf("d").has_value());
        EXPECT_FALSE(replica.inodeOf("y").has_value());
        // The clean copy is dropped; the changed one is kept under its path.
        EXPECT_THAT(replica.takeDroppedCaches(), ElementsAre(x));
        auto kept = replica.takeUnsentCopies();
        ASSERT_EQ(kept.size(), 1u);
        EXPECT_EQ(kept[0].inode, y);
        EXPECT_EQ(kept[0].path, std::filesystem::path("Docs/Sub/y.txt"));
    }
}

TEST(FileProviderHostReplica, ANewContentVersionOutdatesTheCachedCopy) {
    Replica replica;
    replica.replaceChildren(kRootInode, {item("f", kRootContainer, "f.txt", false, "1")}, SyncAnchor{'1'}, 0);
    Inode f = *replica.inodeOf("f");
    replica.setMaterialized(f, ItemVersion{{'1'}, {'1'}});
    replica.applyChanges(kRootInode, {item("f", kRootContainer, "f.txt", false, "2")}, {}, SyncAnchor{'3'}, 0);
    // Kept, but no longer the node's version: the next open downloads.
    EXPECT_EQ(replica.node(f)->materializedVersion, (ItemVersion{{'1'}, {'1'}}));
    EXPECT_NE(replica.node(f)->materializedVersion, replica.node(f)->version);
    EXPECT_THAT(replica.takeDroppedCaches(), IsEmpty());
    // Removed: the copy goes.
    replica.applyChanges(kRootInode, {}, {"f"}, SyncAnchor{'4'}, 0);
    EXPECT_THAT(replica.takeDroppedCaches(), ElementsAre(f));
}

TEST(FileProviderHostReplica, AnItemMovedOutOfSightLeavesTheReplica) {
    Replica replica;
    replica.replaceChildren(kRootInode, {item("f", kRootContainer, "f.txt")}, SyncAnchor{'1'}, 0);
    replica.applyChanges(kRootInode, {item("f", "never-listed-folder", "f.txt")}, {}, SyncAnchor{'2'}, 0);
    EXPECT_FALSE(replica.inodeOf("f").has_value());
    EXPECT_THAT(replica.children(kRootInode), IsEmpty());
}


TEST(FileProviderHostReplica, AMoveSeenAsDeletionThenAdditionKeepsTheInode) {
    Replica replica;
    replica.replaceChildren(kRootInode, {item("f", kRootContainer, "f.txt"), item("d", kRootContainer, "Docs", true)},
                            SyncAnchor{'1'}, 0);
    Inode f = *replica.inodeOf("f");
    Inode docs = *replica.inodeOf("d");
    replica.replaceChildren(docs, {}, SyncAnchor{'1'}, 0);
    // The old folder's changes first: gone from here.
    replica.applyChanges(kRootInode, {}, {"f"}, SyncAnchor{'2'}, 0);
    EXPECT_FALSE(replica.inodeOf("f").has_value());
    // Then the new folder's: here it is, the same node.
    replica.applyChanges(docs, {item("f", "d", "f.txt")}, {}, SyncAnchor{'2'}, 0);
    EXPECT_EQ(replica.inodeOf("f"), f);
    EXPECT_EQ(replica.relativePath(f), std::filesystem::path("Docs/f.txt"));
    // A new item never gets a used inode.
    replica.applyChanges(docs, {item("g", "d", "g.txt")}, {}, SyncAnchor{'3'}, 0);
    EXPECT_NE(replica.inodeOf("g"), f);
    EXPECT_NE(replica.inodeOf("g"), docs);
}


TEST(FileProviderHostReplica, ADatabaseKeepsTheReplicaAcrossRestarts) {
    auto folder = std::filesystem::temp_directory_path() / ("fp-replica-" + std::to_string(::getpid()));
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    auto database = folder / "replica.sqlite3";
    Inode file = 0, docs = 0, inner = 0;
    {
        Replica replica(database);
        replica.replaceChildren(kRootInode, {item("f", kRootContainer, "f.txt", false, "7"), item("d", kRootContainer, "Docs", true)},
                                SyncAnchor{'4', '2'}, 0);
        docs = *replica.inodeOf("d");
        replica.replaceChildren(docs, {item("i", "d", "inner.txt")}, SyncAnchor{}, 0);
        file = *replica.inodeOf("f");
        inner = *replica.inodeOf("i");
        replica.setMaterialized(file, ItemVersion{{'7'}, {'7'}});
        replica.applyChanges(docs, {}, {"i"}, SyncAnchor{'5'}, 0);
    }
    Replica reopened(database);
    EXPECT_EQ(reopened.inodeOf("f"), file);
    EXPECT_EQ(reopened.inodeOf("d"), docs);
    EXPECT_FALSE(reopened.inodeOf("i").has_value());
    EXPECT_THAT(names(reopened.children(kRootInode)), ElementsAre("Docs", "f.txt"));
    EXPECT_THAT(reopened.children(docs), IsEmpty());
    auto node = *reopened.node(file);
    EXPECT_EQ(node.size, 10);
    EXPECT_EQ(node.materializedVersion, (ItemVersion{{'7'}, {'7'}}));
    EXPECT_EQ(node.version, (ItemVersion{{'7'}, {'7'}}));
    EXPECT_EQ(reopened.node(kRootInode)->anchor, (SyncAnchor{'4', '2'}));
    EXPECT_TRUE(reopened.node(kRootInode)->listed);
    EXPECT_EQ(reopened.node(docs)->anchor, SyncAnchor{'5'});  // an empty anchor is still an anchor
    EXPECT_EQ(reopened.node(docs)->listedAt, 0);  // stale until refreshed
    EXPECT_THAT(reopened.materializedNodes(), ElementsAre(file));
    // New nodes never take an inode handed out before the restart.
    reopened.applyChanges(kRootInode, {item("n", kRootContainer, "n.txt")}, {}, SyncAnchor{'6'}, 0);
    EXPECT_GT(*reopened.inodeOf("n"), inner);

    // A file that is not a database is refused, not half-read.
    std::ofstream(folder / "garbage.sqlite3") << "this is not a database at all, not even close";
    EXPECT_THROW(Replica(folder / "garbage.sqlite3"), std::runtime_error);
    std::filesystem::remove_all(folder);
}


// A create sent for a node removed before its answer: kept across a
// restart, and the server's item it made (same name, size and time to the
// second) never shows; other items of that name do.
TEST(FileProviderHostReplica, SentCreatesOutliveARestartAndHideTheItemOfARemovedNode) {
    auto folder = std::filesystem::temp_directory_path() / ("fp-creates-" + std::to_string(::getpid()));
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    auto database = folder / "replica.sqlite3";
    const Date sentAt = Date::fromUnixSeconds(1'600'000'000.4);
    Inode made = 0;
    {
        Replica replica(database);
        std::vector<Invalidation> ignored;
        auto node = replica.addLocal(kRootInode, "made.txt", false, Date::now(), ignored);
        ASSERT_TRUE(node);
        made = node->inode;
        replica.recordSentCreate(SentCreate{made, kRootInode, "made.txt", false, 10, sentAt});
        replica.erase(made, ignored, true);
    }
    auto file = [](const std::string& id, std::int64_t size, double modified) {
        ItemProperties properties;
        properties.identifier = id;
        properties.parent = kRootContainer;
        properties.filename = "made.txt";
        properties.contentType = ContentType::data();
        properties.documentSize = std::optional<std::int64_t>(size);
        properties.contentModificationDate = std::optional<Date>(Date::fromUnixSeconds(modified));
        properties.version = ItemVersion{{'1'}, {'1'}};
        return ItemSnapshot::make(properties);
    };
    struct Case {
        const char* what;
        ItemPtr item;
        bool shown;
    };
    const std::vector<Case> cases = {
        {"the item the create made", file("m1", 10, 1'600'000'000), false},
        {"another size", file("m2", 11, 1'600'000'000), true},
        {"another time", file("m3", 10, 1'600'000'002), true},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.what);
        Replica reopened(database);
        auto creates = reopened.sentCreates();
        ASSERT_EQ(creates.size(), 1u);
        EXPECT_EQ(creates[0].inode, made);
        EXPECT_EQ(creates[0].name, "made.txt");
        EXPECT_EQ(creates[0].size, 10);
        EXPECT_NEAR(creates[0].modified.unixSeconds(), sentAt.unixSeconds(), 1e-6);
        reopened.replaceChildren(kRootInode, {each.item}, SyncAnchor{'1'}, 0);
        EXPECT_EQ(reopened.child(kRootInode, "made.txt").has_value(), each.shown);
    }
    {
        Replica reopened(database);
        reopened.finishSentCreate(made);
    }
    Replica finished(database);
    EXPECT_THAT(finished.sentCreates(), IsEmpty());
    finished.replaceChildren(kRootInode, {cases[0].item}, SyncAnchor{'2'}, 0);
    EXPECT_TRUE(finished.child(kRootInode, "made.txt").has_value());
    std::filesystem::remove_all(folder);
}

TEST(FileProviderHostReplica, RemovalsNotSentOutliveARestartAndHideTheirItems) {
    auto folder = std::filesystem::temp_directory_path() / ("fp-removals-" + std::to_string(::getpid()));
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    auto database = folder / "replica.sqlite3";
    const auto listing = std::vector<ItemPtr>{item("f", kRootContainer, "f.txt", false, "3"), item("g", kRootContainer, "g.txt")};
    Inode f = 0;
    {
        Replica replica(database);
        replica.replaceChildren(kRootInode, listing, SyncAnchor{'1'}, 0);
        f = *replica.inodeOf("f");
        std::vector<Invalidation> ignored;
        replica.erase(f, ignored, true);
        replica.erase(*replica.inodeOf("g"), ignored, false);  // nothing to send for this one
        // Nor for an item never created on the server.
        auto made = replica.addLocal(kRootInode, "made.txt", false, Date::now(), ignored);
        ASSERT_TRUE(made);
        replica.erase(made->inode, ignored, true);
    }
    {
        // A replica file written before removals were kept has no table for them.
        Replica older(folder / "older.sqlite3");
        older.replaceChildren(kRootInode, listing, SyncAnchor{'1'}, 0);
    }
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open((folder / "older.sqlite3").c_str(), &raw), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(raw, "DROP TABLE removals", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(raw);
    Replica older(folder / "older.sqlite3");
    EXPECT_THAT(older.removals(), IsEmpty());
    EXPECT_THAT(names(older.children(kRootInode)), ElementsAre("f.txt", "g.txt"));

    Replica reopened(database);
    auto removals = reopened.removals();
    ASSERT_EQ(removals.size(), 1u);
    EXPECT_EQ(removals[0].inode, f);
    EXPECT_EQ(removals[0].identifier, "f");
    EXPECT_EQ(removals[0].version, (ItemVersion{{'3'}, {'3'}}));
    EXPECT_EQ(removals[0].parent, kRootInode);
    // Listings and changes of the server do not bring the item back meanwhile.
    reopened.replaceChildren(kRootInode, listing, SyncAnchor{'2'}, 0);
    reopened.applyChanges(kRootInode, {item("f", kRootContainer, "f.txt", false, "4")}, {}, SyncAnchor{'3'}, 0);
    EXPECT_THAT(names(reopened.children(kRootInode)), ElementsAre("g.txt"));
    // Replaced (an answer came late), it hides the answered item instead.
    reopened.setRemoval(PendingRemoval{f, "f2", std::nullopt, kRootInode});
    reopened.replaceChildren(kRootInode, {listing[0], item("f2", kRootContainer, "f2.txt")}, SyncAnchor{'4'}, 0);
    EXPECT_THAT(names(reopened.children(kRootInode)), ElementsAre("f.txt"));
    reopened.finishRemoval(f);
    EXPECT_THAT(reopened.removals(), IsEmpty());
    reopened.replaceChildren(kRootInode, {item("f2", kRootContainer, "f2.txt")}, SyncAnchor{'5'}, 0);
    EXPECT_THAT(names(reopened.children(kRootInode)), ElementsAre("f2.txt"));
    EXPECT_THAT(Replica(database).removals(), IsEmpty());
    std::filesystem::remove_all(folder);
}

TEST(FileProviderHostReplica, ARenameOverANameReplacesTheTargetInOneStepAndRecordsWhatGoes) {
    auto folder = std::filesystem::temp_directory_path() / ("fp-replace-" + std::to_string(::getpid()));
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    auto database = folder / "replica.sqlite3";
    Inode source = 0;
    std::optional<Inode> sourceRemoval;
    {
        Replica replica(database);
        replica.replaceChildren(kRootInode,
                                {item("target", kRootContainer, "a.txt", false, "7"), item("source", kRootContainer, "b.txt"),
                                 item("box", kRootContainer, "Box", true), item("empty", kRootContainer, "Empty", true)},
                                SyncAnchor{'1'}, 0);
        source = *replica.inodeOf("source");
        const Inode target = *replica.inodeOf("target");
        std::vector<Invalidation> ignored;
        // The source takes the target's item: nothing of the target is sent,
        // the source's own item is.
        ASSERT_TRUE(replica.replace(source, target, [](ReplicaNode& changed) {
            changed.identifier = "target";
            changed.version = ItemVersion{{'8'}, {'8'}};
        }, false, true, sourceRemoval, ignored));
        EXPECT_THAT(names(replica.children(kRootInode)), ElementsAre("Box", "Empty", "a.txt"));
        EXPECT_EQ(replica.child(kRootInode, "a.txt")->inode, source);
        EXPECT_EQ(replica.inodeOf("target"), source);
        EXPECT_FALSE(replica.inodeOf("source").has_value());
        ASSERT_TRUE(sourceRemoval.has_value());
        EXPECT_NE(*sourceRemoval, source);
        EXPECT_NE(*sourceRemoval, target);
        EXPECT_FALSE(replica.node(target).has_value());

        // A folder over an empty folder: the target's removal is sent, the source keeps its item.
        const Inode box = *replica.inodeOf("box");
        const Inode empty = *replica.inodeOf("empty");
        std::optional<Inode> none;
        ASSERT_TRUE(replica.replace(box, empty, [](ReplicaNode&) {}, true, true, none, ignored));
        EXPECT_FALSE(none.has_value());
        EXPECT_EQ(replica.child(kRootInode, "Empty")->identifier, "box");
        EXPECT_TRUE(replica.removal(empty).has_value());
        // Either node gone: nothing changes.
        EXPECT_FALSE(replica.replace(box, empty, [](ReplicaNode&) {}, true, false, none, ignored));
    }
    Replica reopened(database);
    EXPECT_EQ(reopened.child(kRootInode, "a.txt")->identifier, "target");
    EXPECT_EQ(reopened.child(kRootInode, "a.txt")->version, (ItemVersion{{'8'}, {'8'}}));
    std::vector<std::string> removed;
    for (const auto& removal : reopened.removals()) removed.push_back(removal.identifier);
    EXPECT_THAT(removed, ::testing::UnorderedElementsAre("source", "empty"));
    EXPECT_EQ(reopened.removal(*sourceRemoval)->parent, kRootInode);
    // A fresh inode never reuses one a removal holds.
    EXPECT_GT(reopened.newInode(), *sourceRemoval);
    // The source's old item stays out of listings until its removal is sent.
    reopened.replaceChildren(kRootInode,
                             {item("target", kRootContainer, "a.txt", false, "8"), item("source", kRootContainer, "b.txt"),
                              item("box", kRootContainer, "Empty", true)},
                             SyncAnchor{'2'}, 0);
    EXPECT_THAT(names(reopened.children(kRootInode)), ElementsAre("Empty", "a.txt"));
    std::filesystem::remove_all(folder);
}

TEST(FileProviderHostReplica, AListingBegunBeforeARemovalWasSentDoesNotBringTheItemBack) {
    Replica replica;
    replica.replaceChildren(kRootInode, {item("gone", kRootContainer, "gone.txt"), item("kept", kRootContainer, "kept.txt")},
                            SyncAnchor{'1'}, 0);
    const Inode gone = *replica.inodeOf("gone");
    std::vector<Invalidation> ignored;
    replica.erase(gone, ignored, true);
    const std::uint64_t before = replica.localEpoch();
    replica.finishRemoval(gone);
    // Its answer still holds the item: it stays out.
    replica.replaceChildren(kRootInode, {item("gone", kRootContainer, "gone.txt"), item("kept", kRootContainer, "kept.txt")},
                            SyncAnchor{'2'}, 0, before);
    replica.applyChanges(kRootInode, {item("gone", kRootContainer, "gone.txt")}, {}, SyncAnchor{'3'}, 0, before);
    EXPECT_THAT(names(replica.children(kRootInode)), ElementsAre("kept.txt"));
    // A listing begun afterwards is the server's word.
    replica.replaceChildren(kRootInode, {item("gone", kRootContainer, "gone.txt"), item("kept", kRootContainer, "kept.txt")},
                            SyncAnchor{'4'}, 0, replica.localEpoch());
    EXPECT_THAT(names(replica.children(kRootInode)), ElementsAre("gone.txt", "kept.txt"));
}

TEST(FileProviderHostErrno, ExtensionErrorsMapToErrnoValues) {
    struct Case {
        Error error;
        int expected;
    };
    for (const auto& row : std::vector<Case>{
             {Error::fileProvider(FileProviderErrorCode::noSuchItem), ENOENT},
             {Error::fileProvider(FileProviderErrorCode::notAuthenticated, "sign in"), EACCES},
             {Error::fileProvider(FileProviderErrorCode::filenameCollision), EEXIST},
             {Error::fileProvider(FileProviderErrorCode::serverUnreachable), EIO},
             {Error::fileProvider(FileProviderErrorCode::cannotSynchronize), EIO},
             {Error::userCancelled(), EINTR},
             {Error::connectionInterrupted(), EIO},
             {Error{kCocoaErrorDomain, CocoaErrorCode::connectionReplyInvalid, std::nullopt}, EIO},
             {Error{kPOSIXErrorDomain, ENOTDIR, std::nullopt}, ENOTDIR},
             {Error{kPOSIXErrorDomain, -5, std::nullopt}, EIO},
             {Error{"some.other.domain", ENOENT, std::nullopt}, EIO},
         }) {
        EXPECT_EQ(errnoFor(row.error), row.expected) << row.error.domain << " " << row.error.code;
    }
}


TEST(FileProviderHostReplica, AFreshDownloadGivesTheNodeItsVersionAndSize) {
    Replica replica;
    replica.replaceChildren(kRootInode, {item("f", kRootContainer, "f.txt", false, "1")}, SyncAnchor{'1'}, 0);
    Inode f = *replica.inodeOf("f");
    // Nothing new: nothing for the kernel.
    EXPECT_THAT(replica.adopt(f, ItemVersion{{'1'}, {'1'}}, 10), IsEmpty());
    auto invalidations = replica.adopt(f, ItemVersion{{'2'}, {'2'}}, 99);
    ASSERT_EQ(invalidations.size(), 1u);
    EXPECT_EQ(invalidations[0].kind, Invalidation::Kind::inode);
    EXPECT_EQ(invalidations[0].inode, f);
    EXPECT_EQ(replica.node(f)->version, (ItemVersion{{'2'}, {'2'}}));
    EXPECT_EQ(replica.node(f)->size, 99);
    // Adopting says nothing about a cached copy.
    EXPECT_FALSE(replica.node(f)->materializedVersion.has_value());
}

}  // namespace
}  // namespace nimbuscrate::fp::host
