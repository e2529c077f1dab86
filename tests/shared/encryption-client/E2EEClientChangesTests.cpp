// Changes of encrypted nodes against the local service: folder creates,
// renames, moves and deletes as signed node records at the right
// generations, the mapping rows they leave, and the checks that keep a
// record from being sent at all.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

#include "shared/encryption/E2EECrypto.h"
#include "shared/encryption/E2EELibrary.h"
#include "tests/shared/encryption-client/E2EEClientFixture.h"
#include "tests/support/E2EERecordBuilder.h"

namespace nimbuscrate {
namespace {

using Case = E2EEError::Case;
using Collection = localservice::AccountApi::Collection;
using testing::E2EERecordBuilder;
using testing::e2eeErrorOf;
using NodeSpec = E2EERecordBuilder::NodeSpec;
using FileSpec = E2EERecordBuilder::FileSpec;

constexpr const char* kNodesPath = "/api/v1/e2ee/nodes";

class E2EEClientChanges : public testing::E2EEClientFixture {
protected:
    void SetUp() override {
        LocalServiceFixture::SetUp();
        if (IsSkipped()) return;
        mapping = std::make_unique<MappingStore>(stateDirectory / "mapping");
        session = signIn(3600, DriveSelection{"drive-1", "Nimbuscrate",
                                              *Url::parse("https://" NIMBUSCRATE_WEBAPP_HOST "/dav/spaces/drive-1")});
        secretItem(E2EEClient::kKeysService, *session.sessionID)->save(builder.keysBytes());
        serveAccount(builder.accountRecord());
        client = makeClient();
    }

    // A folder (or, with kind "file", a file's node) in the service's listing.
    void seedFolder(const std::string& id, const std::string& parent = "root", std::int64_t generation = 1,
                    const std::string& name = "") {
        NodeSpec spec;
        spec.nodeId = id;
        spec.parentId = parent;
        spec.generation = generation;
        spec.name = name.empty() ? "Folder " + id : name;
        seedNode(builder.nodeRecord(spec).canonicalString());
    }

    // A file whose manifest embeds its node record at generation 1, listed in
    // both listings as an upload leaves it.
    void seedFileNode(const std::string& id, const std::string& parent, const std::string& name) {
        FileSpec spec;
        spec.nodeId = id;
        spec.parentId = parent;
        spec.name = name;
        spec.revisionId = "rev-" + id;
        const E2EEJSON record = builder.fileRecord(spec);
        seedNode(record.member("manifest").member("value").member("node").canonicalString());
        seedFile(record.canonicalString());
    }

    std::string identifier(const std::string& nodeId) const { return "e2ee:" + builder.accountId() + ":" + nodeId; }

    // The item as the File Provider side last saw it: the current snapshot's.
    RemoteItem current(const std::string& nodeId) {
        client->refreshSnapshot(true);
        RemoteItem key;
        key.id = identifier(nodeId);
        return E2EELibrary::remoteItem(client->nodeRecord(key), builder.accountId());
    }

    // The newest record the service holds for a node, opened.
    E2EEJSON storedNode(const std::string& nodeId) {
        const auto text = service.accountApi().storedRecord(Collection::nodes, nodeId);
        if (!text) {
            ADD_FAILURE() << "no record of " << nodeId;
            return nullptr;
        }
        return E2EECrypto::openNode(builder.keys(), E2EEJSON::parse(*text));
    }

    std::size_t posts() { return countRequests("POST", kNodesPath); }

    // The DesktopError case a call ends with.
    static std::optional<DesktopError::Kind> desktopKind(const std::function<void()>& call) {
        const std::optional<DesktopError> error = testing::desktopErrorOf(call);
        if (!error) return std::nullopt;
        return error->kind();
    }

    E2EEJSON stateFile() {
        return E2EEJSON::parse(testing::readFile(stateDirectory / (builder.accountId() + ".json")));
    }

    RemoteItem rename(const RemoteItem& item, const RemoteItem& parent, const std::string& name,
                      bool baseVersionMatches = true) {
        return client->modifyEncryptedItem(item, parent, name, std::nullopt, std::nullopt, baseVersionMatches, {});
    }

    E2EERecordBuilder builder;
    DesktopSession session;
    std::unique_ptr<E2EEClient> client;
};

TEST_F(E2EEClientChanges, AFolderIsCreatedAtGenerationOneAndItsRowStored) {
    seedFolder("parent");
    const RemoteItem parent = current("parent");
    service.requests().clear();

    const RemoteItem made = client->createEncryptedItem("Quarterly Reports", parent, true, std::nullopt, std::nullopt, {});
    EXPECT_EQ(made.name, "Quarterly Reports");
    EXPECT_TRUE(made.isDirectory);
    EXPECT_EQ(made.parentID, identifier("parent"));
    ASSERT_TRUE(made.id.starts_with(identifier("")));
    const std::string nodeId = made.id.substr(identifier("").size());
    // A fresh lowercase UUID.
    EXPECT_EQ(nodeId.size(), 36u);
    EXPECT_EQ(nodeId.find_first_not_of("0123456789abcdef-"), std::string::npos) << nodeId;

    ASSERT_EQ(posts(), 1u);
    const E2EEJSON stored = storedNode(nodeId);
    EXPECT_EQ(stored.member("generation"), E2EEJSON(1));
    EXPECT_EQ(stored.member("kind"), E2EEJSON("folder"));
    EXPECT_EQ(stored.member("parentId"), E2EEJSON("parent"));
    EXPECT_EQ(stored.member("deleted"), E2EEJSON(false));
    EXPECT_EQ(stored.member("name"), E2EEJSON("Quarterly Reports"));
    EXPECT_EQ(stored.member("driveId"), E2EEJSON("drive-1"));
    // The body that reached the service is the signed record, the name only
    // inside its envelope.
    const auto post = service.requests().matching("POST", kNodesPath).front();
    EXPECT_EQ(post.header("Content-Type"), "application/json");
    EXPECT_EQ(post.body.find("Quarterly"), std::string::npos);
    EXPECT_EQ(post.body, *service.accountApi().storedRecord(Collection::nodes, nodeId));

    EXPECT_EQ(stateFile().member("node:" + nodeId).member("generation"), E2EEJSON(1));
    const std::optional<RemoteItem> row = mapping->item(made.id);
    ASSERT_TRUE(row);
    EXPECT_EQ(row->name, "Quarterly Reports");
    EXPECT_EQ(row->parentID, identifier("parent"));
    EXPECT_EQ(row->etag, made.etag);

    // At the root too, and the new folder is listed there.
    const RemoteItem top = client->createEncryptedItem("Top", RemoteItem::root(), true, std::nullopt, std::nullopt, {});
    EXPECT_EQ(top.parentID, "root");
    bool listed = false;
    for (const auto& child : client->listEncryptedChildren(RemoteItem::root(), {})) listed |= child.id == top.id;
    EXPECT_TRUE(listed);
}

TEST_F(E2EEClientChanges, RenamesAndMovesSendTheNextGeneration) {
    seedFolder("old", "root", 41, "Old name");
    seedFolder("there");
    seedFileNode("doc", "root", "draft.txt");
    const RemoteItem there = current("there");
    service.requests().clear();

    const RemoteItem renamed = rename(current("old"), RemoteItem::root(), "New name");
    EXPECT_EQ(renamed.name, "New name");
    E2EEJSON stored = storedNode("old");
    EXPECT_EQ(stored.member("generation"), E2EEJSON(42));
    EXPECT_EQ(stored.member("name"), E2EEJSON("New name"));
    EXPECT_EQ(stored.member("parentId"), E2EEJSON("root"));
    EXPECT_EQ(stored.member("driveId"), E2EEJSON("drive-1"));

    const RemoteItem moved = rename(current("old"), there, "New name");
    EXPECT_EQ(moved.parentID, identifier("there"));
    stored = storedNode("old");
    EXPECT_EQ(stored.member("generation"), E2EEJSON(43));
    EXPECT_EQ(stored.member("parentId"), E2EEJSON("there"));
    EXPECT_EQ(mapping->item(identifier("old"))->parentID, identifier("there"));
    EXPECT_EQ(mapping->item(identifier("old"))->etag, moved.etag);
    EXPECT_EQ(stateFile().member("node:old").member("generation"), E2EEJSON(43));

    // A file's node: generation 1 becomes 2, without a drive in the record,
    // and the move and rename travel together.
    const RemoteItem file = rename(current("doc"), there, "final.txt");
    stored = storedNode("doc");
    EXPECT_EQ(stored.member("generation"), E2EEJSON(2));
    EXPECT_EQ(stored.member("kind"), E2EEJSON("file"));
    EXPECT_EQ(stored.member("name"), E2EEJSON("final.txt"));
    EXPECT_TRUE(stored.member("driveId").isNull());
    EXPECT_EQ(file.parentID, identifier("there"));
    EXPECT_EQ(file.name, "final.txt");
    EXPECT_FALSE(file.isDirectory);

    // The item's own name under its own parent is no clash; only the
    // generation moves.
    const RemoteItem same = rename(current("doc"), there, "final.txt");
    EXPECT_EQ(storedNode("doc").member("generation"), E2EEJSON(3));
    EXPECT_NE(same.etag, file.etag);
    EXPECT_EQ(posts(), 4u);
    for (const auto& post : service.requests().matching("POST", kNodesPath)) {
        EXPECT_EQ(post.body.find("final"), std::string::npos);
    }
}

TEST_F(E2EEClientChanges, ADeleteSendsATombstoneAndRemovesTheRowsBelow) {
    seedFolder("gone", "root", 6, "Gone");
    seedFolder("child", "gone");
    seedFolder("kept");
    const RemoteItem gone = current("gone");
    mapping->upsert(gone);
    mapping->upsert(current("child"));
    mapping->upsert(current("kept"));
    service.requests().clear();

    client->deleteEncryptedItem(gone, {});
    ASSERT_EQ(posts(), 1u);
    const E2EEJSON stored = storedNode("gone");
    EXPECT_EQ(stored.member("generation"), E2EEJSON(7));
    EXPECT_EQ(stored.member("deleted"), E2EEJSON(true));
    EXPECT_EQ(stored.member("purged"), E2EEJSON(false));
    EXPECT_EQ(stored.member("name"), E2EEJSON("Gone"));
    EXPECT_EQ(stored.member("parentId"), E2EEJSON("root"));
    EXPECT_EQ(stored.member("kind"), E2EEJSON("folder"));
    EXPECT_EQ(stored.member("driveId"), E2EEJSON("drive-1"));
    EXPECT_EQ(stateFile().member("node:gone").member("generation"), E2EEJSON(7));

    EXPECT_FALSE(mapping->item(identifier("gone")));
    EXPECT_FALSE(mapping->item(identifier("child")));
    EXPECT_TRUE(mapping->item(identifier("kept")));

    // The next listing no longer has it, and the same name is free again.
    for (const auto& child : client->listEncryptedChildren(RemoteItem::root(), {})) EXPECT_NE(child.name, "Gone");
    EXPECT_EQ(client->createEncryptedItem("gone", RemoteItem::root(), true, std::nullopt, std::nullopt, {}).name,
              "gone");
}

TEST_F(E2EEClientChanges, AGenerationTheServiceHasPassedIsAConflictAndNothingIsRecorded) {
    seedFolder("raced", "root", 2, "Raced");
    seedFolder("raced", "root", 3, "Changed elsewhere");
    // The listing still shows generation 2: the next record, 3, is refused.
    service.accountApi().serveOlderRecord(Collection::nodes, "raced");
    const RemoteItem seen = current("raced");
    const std::optional<std::string> stateBefore = testing::readFile(stateDirectory / "acct_1.json");
    service.requests().clear();

    EXPECT_EQ(e2eeErrorOf([&] { rename(seen, RemoteItem::root(), "Mine"); }), Case::conflict);
    EXPECT_EQ(posts(), 1u);
    EXPECT_EQ(service.accountApi().versionCount(Collection::nodes, "raced"), 2u);
    EXPECT_FALSE(mapping->item(identifier("raced")));
    EXPECT_EQ(testing::readFile(stateDirectory / "acct_1.json"), stateBefore);

    EXPECT_EQ(e2eeErrorOf([&] { client->deleteEncryptedItem(seen, {}); }), Case::conflict);
    EXPECT_EQ(posts(), 2u);
    EXPECT_EQ(service.accountApi().versionCount(Collection::nodes, "raced"), 2u);
}

TEST_F(E2EEClientChanges, AChangeRecordedWhileARefreshReadsItsPagesIsNoRollback) {
    seedFolder("a", "root", 1, "A");
    seedFolder("b", "root", 1, "B");
    seedFolder("c", "root", 1, "C");
    service.accountApi().setPageSize(1);
    const RemoteItem a = current("a");

    // While a refresh has read the page with "a" at generation 1 and waits
    // for its last page, another call of the client renames "a" and records
    // generation 2: the refresh's pages are older than the state file now.
    bool fired = false;
    setTokenHook([&] {
        if (fired || countRequests("GET", "/api/v1/e2ee/nodes") != 2 + 3) return;
        fired = true;
        rename(a, RemoteItem::root(), "A renamed");
    });
    client->refreshSnapshot(true);
    setTokenHook(nullptr);
    ASSERT_TRUE(fired);

    EXPECT_EQ(current("a").name, "A renamed");
    EXPECT_EQ(stateFile().member("node:a").member("generation"), E2EEJSON(2));
}

TEST_F(E2EEClientChanges, AStaleVersionSendsNothing) {
    seedFolder("node", "root", 1, "Node");
    const RemoteItem stale = current("node");
    seedFolder("node", "root", 2, "Renamed elsewhere");  // another device's change
    const RemoteItem fresh = current("node");
    ASSERT_NE(stale.etag, fresh.etag);
    service.requests().clear();

    const std::pair<std::string, std::function<void()>> cases[] = {
        {"rename with an older version", [&] { rename(stale, RemoteItem::root(), "Mine"); }},
        {"rename the system marks stale", [&] { rename(fresh, RemoteItem::root(), "Mine", false); }},
        {"delete with an older version", [&] { client->deleteEncryptedItem(stale, {}); }},
    };
    for (const auto& [name, call] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(e2eeErrorOf(call), Case::conflict);
    }
    EXPECT_EQ(posts(), 0u);
    EXPECT_EQ(service.accountApi().versionCount(Collection::nodes, "node"), 2u);
}

TEST_F(E2EEClientChanges, StructuralFaultsAndBadNamesAreRefusedBeforeAnythingIsSent) {
    // top / middle / bottom, a file in top, and a sibling folder "Taken".
    seedFolder("top", "root", 1, "Top");
    seedFolder("middle", "top", 1, "Middle");
    seedFolder("bottom", "middle", 1, "Bottom");
    seedFolder("taken", "root", 1, "Taken");
    seedFolder("deleted", "root", 1, "Free");
    seedFolder("deleted", "root", 2, "Free");
    {
        NodeSpec tomb;
        tomb.nodeId = "deleted";
        tomb.generation = 3;
        tomb.name = "Free";
        tomb.deleted = true;
        seedNode(builder.nodeRecord(tomb).canonicalString());
    }
    seedFileNode("file", "top", "notes.txt");
    const RemoteItem top = current("top");
    const RemoteItem middle = current("middle");
    const RemoteItem bottom = current("bottom");
    const RemoteItem file = current("file");
    service.requests().clear();

    auto create = [&](const RemoteItem& parent, const std::string& name, bool folder = true) {
        return [&, parent, name, folder] {
            client->createEncryptedItem(name, parent, folder, std::nullopt, std::nullopt, {});
        };
    };
    auto move = [&](const RemoteItem& item, const RemoteItem& parent, const std::string& name) {
        return [&, item, parent, name] { rename(item, parent, name); };
    };
    const std::tuple<std::string, std::function<void()>, Case> cases[] = {
        {"a folder under a file", create(file, "Inside"), Case::conflict},
        {"a file under a file", create(file, "inside.txt", false), Case::conflict},
        {"a file moved under a file", move(current("file"), file, "x.txt"), Case::conflict},
        {"a folder moved under a file", move(bottom, file, "Bottom"), Case::conflict},
        {"a folder moved into itself", move(top, top, "Top"), Case::conflict},
        {"a folder moved under its child", move(top, middle, "Top"), Case::conflict},
        {"a folder moved under its grandchild", move(top, bottom, "Top"), Case::conflict},
        {"a name a sibling has in other letter case", create(RemoteItem::root(), "TAKEN"), Case::conflict},
        {"a name a sibling has", create(top, "Middle"), Case::conflict},
        {"a rename onto a sibling's name", move(middle, top, "notes.TXT"), Case::conflict},
        {"an empty name", create(RemoteItem::root(), ""), Case::invalid},
        {"a name with a slash", create(RemoteItem::root(), "a/b"), Case::invalid},
        {"a name with surrounding space only", create(RemoteItem::root(), "   "), Case::invalid},
        {"a rename to \"..\"", move(middle, top, ".."), Case::invalid},
    };
    for (const auto& [name, call, expected] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(e2eeErrorOf(call), expected);
    }
    EXPECT_EQ(posts(), 0u);
    EXPECT_EQ(service.accountApi().versionCount(Collection::nodes, "top"), 1u);

    // A name with another composition: "é" composed and decomposed.
    seedFolder("accent", "root", 1, "Caf\xc3\xa9");
    EXPECT_EQ(e2eeErrorOf(create(RemoteItem::root(), "Cafe\xcc\x81")), Case::conflict);
    EXPECT_EQ(posts(), 0u);

    // Legal moves next to those: down a sibling branch, and up to the root;
    // a deleted sibling's name is free.
    EXPECT_EQ(rename(bottom, top, "Bottom").parentID, identifier("top"));
    EXPECT_EQ(rename(current("middle"), current("bottom"), "Middle").parentID, identifier("bottom"));
    EXPECT_EQ(rename(current("bottom"), RemoteItem::root(), "Free").parentID, "root");
    EXPECT_EQ(posts(), 3u);
}

TEST_F(E2EEClientChanges, MissingItemsAndUnwritableAccountsSendNothing) {
    seedFolder("here");
    const RemoteItem here = current("here");
    RemoteItem absent = here;
    absent.id = identifier("absent");
    service.requests().clear();

    using Kind = DesktopError::Kind;
    EXPECT_EQ(desktopKind([&] { rename(absent, RemoteItem::root(), "x"); }), Kind::missingItem);
    EXPECT_EQ(desktopKind([&] { rename(here, absent, "x"); }), Kind::missingItem);
    EXPECT_EQ(desktopKind([&] { client->createEncryptedItem("x", absent, true, std::nullopt, std::nullopt, {}); }),
              Kind::missingItem);
    EXPECT_EQ(desktopKind([&] { client->deleteEncryptedItem(absent, {}); }), Kind::missingItem);
    EXPECT_EQ(e2eeErrorOf([&] { client->recordNodeChange(E2EEJSON("absent")); }), Case::history);

    for (const std::string mode : {"write_paused", "prepared", "legacy"}) {
        SCOPED_TRACE(mode);
        E2EERecordBuilder::AccountSpec spec;
        spec.mode = mode;
        serveAccount(builder.accountRecord(spec));
        EXPECT_EQ(e2eeErrorOf([&] { rename(here, RemoteItem::root(), "x"); }), Case::paused);
        EXPECT_EQ(e2eeErrorOf([&] { client->deleteEncryptedItem(here, {}); }), Case::paused);
    }
    serveAccount(builder.accountRecord());
    secretItem(E2EEClient::kKeysService, *session.sessionID)->deleteItem();
    EXPECT_EQ(e2eeErrorOf([&] {
                  client->createEncryptedItem("x", RemoteItem::root(), true, std::nullopt, std::nullopt, {});
              }),
              Case::locked);
    EXPECT_EQ(posts(), 0u);
}

TEST_F(E2EEClientChanges, NewFileContentsAreCommittedAsRevisionsNotAsNodeRecords) {
    service.addDrive({"drive-1", "Nimbuscrate", "project", ""});
    seedFileNode("doc", "root", "doc.txt");
    const RemoteItem doc = current("doc");
    const auto contents = stateDirectory / "new-contents.txt";
    testing::writeFile(contents, "new bytes");
    service.requests().clear();

    {
        // The empty file a file without contents is committed from goes
        // whatever the commit does.
        const auto temporary = stateDirectory / "tmp";
        std::filesystem::create_directories(temporary);
        const char* before = std::getenv("TMPDIR");
        const std::optional<std::string> saved = before ? std::optional<std::string>(before) : std::nullopt;
        ::setenv("TMPDIR", temporary.c_str(), 1);
        const RemoteItem empty =
            client->createEncryptedItem("empty.txt", RemoteItem::root(), false, std::nullopt, std::nullopt, {});
        EXPECT_EQ(empty.size, 0);
        EXPECT_EQ(empty.name, "empty.txt");
        if (saved) {
            ::setenv("TMPDIR", saved->c_str(), 1);
        } else {
            ::unsetenv("TMPDIR");
        }
        EXPECT_TRUE(std::filesystem::is_empty(temporary));
    }
    const RemoteItem created =
        client->createEncryptedItem("new.txt", RemoteItem::root(), false, contents, std::nullopt, {});
    EXPECT_EQ(created.size, 9);
    const RemoteItem modified =
        client->modifyEncryptedItem(doc, RemoteItem::root(), "doc.txt", contents, std::nullopt, true, {});
    EXPECT_EQ(modified.id, doc.id);
    EXPECT_NE(modified.etag, doc.etag);
    EXPECT_EQ(storedNode("doc").member("generation"), E2EEJSON(2));
    // New contents go through uploads; no node record is sent for them.
    EXPECT_EQ(posts(), 0u);
    EXPECT_EQ(countRequests("POST", "/api/v1/uploads"), 3u);
    EXPECT_EQ(testing::readFile(contents), "new bytes");
}

}  // namespace
}  // namespace nimbuscrate
