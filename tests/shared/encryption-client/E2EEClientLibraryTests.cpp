// Library synchronisation: paged listings, the snapshot throttle, the state
// file and its rollback check, the listing of encrypted children and the
// lookups over the snapshot.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <future>

#include "shared/session/OAuthClient.h"
#include "shared/session/OcisClient.h"
#include "shared/session/TokenProvider.h"
#include "tests/shared/encryption-client/E2EEClientFixture.h"
#include "tests/support/E2EERecordBuilder.h"

namespace nimbuscrate {
namespace {

using Case = E2EEError::Case;
using localservice::ReplyOverride;
using localservice::Route;
using testing::E2EERecordBuilder;
using testing::e2eeErrorOf;
using NodeSpec = E2EERecordBuilder::NodeSpec;
using FileSpec = E2EERecordBuilder::FileSpec;

class E2EEClientLibrary : public testing::E2EEClientFixture {
protected:
    void SetUp() override {
        LocalServiceFixture::SetUp();
        if (IsSkipped()) return;
        session = signIn(3600, drive("drive-1"));
        secretItem(E2EEClient::kKeysService, *session.sessionID)->save(builder.keysBytes());
        serveAccount(account("required"));
        client = makeClient();
    }

    static DriveSelection drive(const std::string& id) {
        return DriveSelection{id, "Nimbuscrate", *Url::parse("https://" NIMBUSCRATE_WEBAPP_HOST "/dav/spaces/" + id)};
    }

    E2EEJSON account(const std::string& mode, bool withKeyRecord = true, bool onboarding = false) {
        E2EERecordBuilder::AccountSpec spec;
        spec.mode = mode;
        spec.withKeyRecord = withKeyRecord;
        spec.onboardingRequired = onboarding;
        spec.ownedDriveIds = {"drive-1", "drive-2"};
        return builder.accountRecord(spec);
    }

    E2EEJSON folder(const std::string& id, const std::string& parent = "root", std::int64_t generation = 1,
                    const E2EEJSON& driveId = nullptr, bool deleted = false) {
        NodeSpec spec;
        spec.nodeId = id;
        spec.parentId = parent;
        spec.generation = generation;
        spec.name = "Folder " + id;
        spec.driveId = driveId;
        spec.deleted = deleted;
        return builder.nodeListing(spec);
    }

    E2EEJSON file(const std::string& id, const std::string& parent = "root", const std::string& name = "") {
        FileSpec spec;
        spec.nodeId = id;
        spec.parentId = parent;
        spec.name = name.empty() ? "file-" + id + ".txt" : name;
        spec.revisionId = "rev-" + id;
        spec.embeddedGeneration.reset();  // a manifest without a node record of its own
        return builder.fileRecord(spec);
    }

    // Stores records in the service's listings, as writes and uploads would
    // (each the newest version of its node or file).
    void seed(const std::vector<E2EEJSON>& files, const std::vector<E2EEJSON>& nodes) {
        for (const E2EEJSON& record : files) seedFile(record.canonicalString());
        for (const E2EEJSON& entry : nodes) {
            seedNode(entry.member("state").canonicalString(), entry.member("erased").boolValue());
        }
    }

    // A page written by the test in place of the service's next one.
    void servePage(const std::string& collection, const std::string& body, int times = 1) {
        service.overrideReply(Route{"GET", testing::kAccountHost, "/api/v1/e2ee/" + collection},
                              ReplyOverride{200, {{"Content-Type", "application/json"}}, body}, times);
    }
    std::vector<std::string> names(const std::vector<RemoteItem>& items) {
        std::vector<std::string> result;
        for (const auto& item : items) result.push_back(item.name);
        return result;
    }
    std::vector<RemoteItem> listRoot(E2EEClient& c) { return c.listEncryptedChildren(RemoteItem::root(), {}); }
    std::size_t pageRequests() {
        return countRequests("GET", "/api/v1/e2ee/files") + countRequests("GET", "/api/v1/e2ee/nodes");
    }
    std::optional<std::string> stateFileText() {
        const auto path = stateDirectory / (builder.accountId() + ".json");
        if (!std::filesystem::exists(path)) return std::nullopt;
        return testing::readFile(path);
    }
    RemoteItem itemNamed(const std::string& nodeId) {
        RemoteItem item;
        item.id = "e2ee:" + builder.accountId() + ":" + nodeId;
        return item;
    }

    E2EERecordBuilder builder;
    DesktopSession session;
    std::unique_ptr<E2EEClient> client;
};

TEST(E2EEClientCursor, EveryByteButASCIILettersAndDigitsIsEncoded) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"abcXYZ019", "abcXYZ019"},
        {"a-b_c.d~e", "a%2Db%5Fc%2Ed%7Ee"},
        {"x/y=z+w&v?u#t%s r", "x%2Fy%3Dz%2Bw%26v%3Fu%23t%25s%20r"},
        {"\xc3\xa9t\xc3\xa9", "%C3%A9t%C3%A9"},  // a Unicode letter is bytes like any other
        {std::string("\0\xff", 2), "%00%FF"},
    };
    for (const auto& [cursor, encoded] : cases) EXPECT_EQ(E2EEClient::encodedCursor(cursor), encoded) << cursor;
}

TEST_F(E2EEClientLibrary, ListsAcrossPagesWithTheCursorsArrivingDecoded) {
    std::vector<E2EEJSON> nodes;
    for (int i = 0; i < 250; ++i) nodes.push_back(folder("n" + std::to_string(1000 + i)));
    std::vector<E2EEJSON> files;
    for (int i = 0; i < 201; ++i) files.push_back(file("f" + std::to_string(1000 + i)));
    seed(files, nodes);
    service.accountApi().setPageSize(100);

    const std::vector<RemoteItem> listed = listRoot(*client);
    ASSERT_EQ(listed.size(), 451u);
    EXPECT_EQ(listed.front().id, "e2ee:acct_1:f1000");
    EXPECT_EQ(listed.back().name, "Folder n1249");

    for (const std::string collection : {"files", "nodes"}) {
        SCOPED_TRACE(collection);
        std::vector<localservice::RecordedRequest> pages;
        for (auto& request : accountRequests()) {
            if (request.path == "/api/v1/e2ee/" + collection) pages.push_back(std::move(request));
        }
        ASSERT_EQ(pages.size(), 3u);
        EXPECT_EQ(pages[0].queryValue("after"), "");
        for (std::size_t page = 1; page < pages.size(); ++page) {
            // The service's cursor, sent with every byte but letters and
            // digits escaped, arrived as the service issued it (it answers
            // 400 to any other).
            const std::string cursor = pages[page].queryValue("after").value_or("");
            EXPECT_NE(cursor.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"),
                      std::string::npos)
                << cursor;
            EXPECT_EQ(pages[page].target, "/api/v1/e2ee/" + collection + "?after=" + E2EEClient::encodedCursor(cursor));
        }
    }
    // The state file holds exactly this snapshot's receipts.
    const auto state = E2EEJSON::parse(*stateFileText());
    EXPECT_EQ(state.memberNames().size(), 451u);
    EXPECT_TRUE(state.member("node:n1000").isObject());
    EXPECT_TRUE(state.member("file:f1200").isObject());
}

TEST_F(E2EEClientLibrary, MalformedPagesFailTheWholeListing) {
    const E2EEJSON good = folder("good");
    const std::string item = good.canonicalString();
    std::string hundredAndOne = "[";
    for (int i = 0; i < 101; ++i) hundredAndOne += (i ? "," : "") + item;
    hundredAndOne += "]";
    const std::pair<std::string, std::string> cases[] = {
        {"no items", R"({"next":""})"},
        {"items not an array", R"({"items":{},"next":""})"},
        {"101 items", R"({"items":)" + hundredAndOne + R"(,"next":""})"},
        {"101 items on a page that goes on", R"({"items":)" + hundredAndOne + R"(,"next":"more"})"},
        {"no next", R"({"items":[]})"},
        {"next not a string", R"({"items":[],"next":null})"},
        {"not an object", R"([])"},
    };
    for (const auto& [name, body] : cases) {
        SCOPED_TRACE(name);
        serveAccount(account("required"));
        servePage("files", R"({"items":[],"next":""})");
        servePage("nodes", body);
        EXPECT_EQ(e2eeErrorOf([&] { client->refreshSnapshot(true); }), Case::invalid);
        EXPECT_FALSE(stateFileText());
    }

    // The service's own faults: a page of 101 records, a cursor given again.
    using Collection = localservice::AccountApi::Collection;
    serveAccount(account("required"));
    seed({}, {folder("a"), folder("b"), folder("c")});
    service.accountApi().setPageSize(1);
    service.accountApi().serveOversizedPage(Collection::nodes);
    EXPECT_EQ(e2eeErrorOf([&] { client->refreshSnapshot(true); }), Case::invalid);
    service.requests().clear();
    service.accountApi().repeatCursor(Collection::nodes);
    EXPECT_EQ(e2eeErrorOf([&] { client->fetchAllPages("nodes"); }), Case::invalid);
    EXPECT_EQ(countRequests("GET", "/api/v1/e2ee/nodes"), 2u);  // the second page named its own cursor again
    EXPECT_EQ(client->fetchAllPages("nodes").size(), 3u);
    EXPECT_FALSE(stateFileText());

    SCOPED_TRACE("an empty first page");
    servePage("nodes", R"({"items":[],"next":""})");
    EXPECT_TRUE(client->fetchAllPages("nodes").empty());
}

TEST_F(E2EEClientLibrary, OneBadSignatureOnTheThirdPageFailsEverythingAndStoresNothing) {
    std::vector<E2EEJSON> nodes;
    for (int i = 0; i < 250; ++i) nodes.push_back(folder("n" + std::to_string(1000 + i)));
    // A node of the third page signed by another account's key.
    E2EERecordBuilder stranger(builder.accountId());
    NodeSpec forged;
    forged.nodeId = "n1220";
    nodes[220] = stranger.nodeListing(forged);
    seed({}, nodes);
    service.accountApi().setPageSize(100);

    EXPECT_ANY_THROW(listRoot(*client));
    EXPECT_EQ(countRequests("GET", "/api/v1/e2ee/nodes"), 3u);
    EXPECT_FALSE(stateFileText());
    const auto missing = testing::desktopErrorOf([&] { client->nodeRecord(itemNamed("n1000")); });
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->kind(), DesktopError::Kind::missingItem);
}

TEST_F(E2EEClientLibrary, UnforcedRefreshesWithinThreeSecondsReuseTheSnapshot) {
    seed({file("f1")}, {folder("a")});
    EXPECT_EQ(names(listRoot(*client)), (std::vector<std::string>{"Folder a", "file-f1.txt"}));
    listRoot(*client);
    clock.advance(std::chrono::milliseconds(2900));
    listRoot(*client);
    EXPECT_EQ(pageRequests(), 2u);
    // Each listing loads the account, and so does each refresh it starts.
    EXPECT_EQ(countRequests("GET", "/api/v1/e2ee/account"), 6u);

    clock.advance(std::chrono::milliseconds(100));
    listRoot(*client);
    EXPECT_EQ(pageRequests(), 4u);

    // An own change makes the next listing reload at once.
    const E2EEJSON renamed = folder("a", "root", 2);
    seed({}, {renamed});
    client->updateStateFile(renamed.member("state"), false);
    EXPECT_EQ(E2EEJSON::parse(*stateFileText()).member("node:a").member("generation"), E2EEJSON(2));
    listRoot(*client);
    EXPECT_EQ(pageRequests(), 6u);
    EXPECT_EQ(client->nodeRecord(itemNamed("a")).member("generation"), E2EEJSON(2));
    listRoot(*client);
    EXPECT_EQ(pageRequests(), 6u);

    // A forced refresh always reloads.
    client->refreshSnapshot(true);
    EXPECT_EQ(pageRequests(), 8u);

    // A new sign-in never reuses the snapshot of the old one.
    session = signIn(3600, drive("drive-1"));
    secretItem(E2EEClient::kKeysService, *session.sessionID)->save(builder.keysBytes());
    listRoot(*client);
    EXPECT_EQ(pageRequests(), 10u);
}

TEST_F(E2EEClientLibrary, TheStateFileIsReplacedWholeInAPrivateFolder) {
    seed({file("f1")}, {folder("a")});
    client->refreshSnapshot(true);
    const std::string first = *stateFileText();
    const E2EEJSON receipts = E2EEJSON::parse(first);
    EXPECT_EQ(first, receipts.canonicalString());
    EXPECT_EQ((std::vector<std::string>{"file:f1", "node:a"}), receipts.memberNames());
    EXPECT_EQ(client->stateFileURL(), stateDirectory / "acct_1.json");

    struct stat info {};
    ASSERT_EQ(::stat(stateDirectory.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat(client->stateFileURL().c_str(), &info), 0);
    const ino_t before = info.st_ino;

    // A newer generation replaces the file by a rename: a new file, nothing left beside it.
    seed({}, {folder("a", "root", 2)});
    client->refreshSnapshot(true);
    ASSERT_EQ(::stat(client->stateFileURL().c_str(), &info), 0);
    EXPECT_NE(info.st_ino, before);
    EXPECT_EQ(E2EEJSON::parse(*stateFileText()).member("node:a").member("generation"), E2EEJSON(2));
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(stateDirectory)) ++entries;
    EXPECT_EQ(entries, 1u);
}

TEST_F(E2EEClientLibrary, AFreshClientDetectsARollback) {
    using Collection = localservice::AccountApi::Collection;
    localservice::AccountApi& api = service.accountApi();
    seed({file("f1")}, {folder("a"), folder("b")});
    seed({}, {folder("a", "root", 2)});
    client->refreshSnapshot(true);
    const std::string accepted = *stateFileText();

    struct Rollback {
        std::string name;
        std::function<void()> knob;
    };
    const Rollback rollbacks[] = {
        {"an older generation", [&] { api.serveOlderRecord(Collection::nodes, "a"); }},
        {"a dropped node", [&] { api.omitRecord(Collection::nodes, "b"); }},
        {"a dropped file", [&] { api.omitRecord(Collection::files, "f1"); }},
        {"the same generation with another body",
         [&] { api.replaceRecordBody(Collection::nodes, folder("a", "root", 2).member("state").canonicalString()); }},
    };
    for (const Rollback& rollback : rollbacks) {
        SCOPED_TRACE(rollback.name);
        api.clearKnobs();
        rollback.knob();
        auto fresh = makeClient();
        EXPECT_EQ(e2eeErrorOf([&] { listRoot(*fresh); }), Case::history);
        EXPECT_EQ(*stateFileText(), accepted);
        // The client that saw the newer library keeps serving it.
        EXPECT_EQ(e2eeErrorOf([&] { client->refreshSnapshot(true); }), Case::history);
        EXPECT_EQ(client->nodeRecord(itemNamed("a")).member("generation"), E2EEJSON(2));
    }
    api.clearKnobs();
    client->refreshSnapshot(true);
    EXPECT_EQ(*stateFileText(), accepted);
}

TEST_F(E2EEClientLibrary, ListsTheLiveChildrenOfOneFolderInTheSelectedDrive) {
    seed({file("f1", "top"), file("f2")},
                 {folder("top", "root", 1, "drive-1"), folder("gone", "top", 1, nullptr, /*deleted=*/true),
                  folder("inner", "top"), folder("elsewhere", "root", 1, "drive-2")});
    EXPECT_EQ(names(listRoot(*client)), (std::vector<std::string>{"file-f2.txt", "Folder top"}));
    const auto children = client->listEncryptedChildren(itemNamed("top"), {});
    EXPECT_EQ(names(children), (std::vector<std::string>{"file-f1.txt", "Folder inner"}));
    for (const auto& child : children) EXPECT_EQ(child.parentID, "e2ee:acct_1:top");
    EXPECT_TRUE(client->listEncryptedChildren(itemNamed("inner"), {}).empty());

    RemoteItem foreign;
    foreign.id = "e2ee:acct_2:top";
    const auto error = testing::desktopErrorOf([&] { client->listEncryptedChildren(foreign, {}); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), DesktopError::Kind::encryptionRequired);
    EXPECT_EQ(e2eeErrorOf([&] { client->listEncryptedChildren(itemNamed("bad id"), {}); }), Case::invalid);

    // A drive the account does not own lists nothing at all.
    session = signIn(3600, drive("drive-9"));
    secretItem(E2EEClient::kKeysService, *session.sessionID)->save(builder.keysBytes());
    EXPECT_EQ(e2eeErrorOf([&] { listRoot(*client); }), Case::invalid);
}

TEST_F(E2EEClientLibrary, AccountsWithoutEncryptionListNothingOrNeedSetup) {
    struct Row {
        std::string mode;
        bool onboarding;
        std::optional<Case> error;
    };
    const Row rows[] = {
        {"legacy", false, std::nullopt},
        {"prepared", false, std::nullopt},
        {"legacy", true, Case::setup},
        {"required", false, Case::setup},
        {"write_paused", false, Case::setup},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.mode + (row.onboarding ? " onboarding" : ""));
        serveAccount(account(row.mode, /*withKeyRecord=*/false, row.onboarding));
        if (row.error) {
            EXPECT_EQ(e2eeErrorOf([&] { listRoot(*client); }), *row.error);
        } else {
            EXPECT_TRUE(listRoot(*client).empty());
        }
    }
    EXPECT_EQ(pageRequests(), 0u);
    EXPECT_FALSE(stateFileText());
}

TEST_F(E2EEClientLibrary, ALockedSessionFetchesNoPages) {
    session = signIn(3600, drive("drive-1"));  // a new session, not unlocked
    seed({}, {folder("a")});
    EXPECT_EQ(e2eeErrorOf([&] { listRoot(*client); }), Case::locked);
    EXPECT_EQ(pageRequests(), 0u);
}

TEST_F(E2EEClientLibrary, ASessionReplacedWhileTheListingsArriveKeepsNothing) {
    seed({file("f1")}, {folder("a")});
    int calls = 0;
    setTokenHook([&] {
        // The account, the bootstrap, the files page, the nodes page: a sign-in comes with the last.
        if (++calls == 4) signIn(3600, drive("drive-1"));
    });
    EXPECT_EQ(e2eeErrorOf([&] { client->refreshSnapshot(true); }), Case::sessionChanged);
    EXPECT_FALSE(stateFileText());
}

TEST_F(E2EEClientLibrary, OtherCallsGoOnWhileARefreshWaitsForTheService) {
    seed({file("f1")}, {folder("a")});
    client->refreshSnapshot(true);
    seed({}, {folder("a", "root", 2)});
    const auto gate = service.hold(Route{"GET", testing::kAccountHost, "/api/v1/e2ee/nodes"});
    auto refresh = std::async(std::launch::async, [&] { client->refreshSnapshot(true); });
    ASSERT_TRUE(gate->waitForArrivals(1, std::chrono::seconds(30)));

    // The refresh waits for its page; the client's state stays free meanwhile.
    EXPECT_EQ(client->loadAccount().member("accountId"), E2EEJSON("acct_1"));
    EXPECT_EQ(client->nodeRecord(itemNamed("a")).member("generation"), E2EEJSON(1));
    EXPECT_EQ(names(listRoot(*client)), (std::vector<std::string>{"Folder a", "file-f1.txt"}));
    gate->open();
    refresh.get();
    EXPECT_EQ(client->nodeRecord(itemNamed("a")).member("generation"), E2EEJSON(2));
}

TEST_F(E2EEClientLibrary, LookupsWorkOnTheRefreshedSnapshot) {
    seed({file("f1", "root", "R\xc3\xa9sum\xc3\xa9.txt")}, {folder("a"), folder("gone", "root", 1, nullptr, true)});
    client->refreshSnapshot(true);
    EXPECT_EQ(client->parseEncryptedIdentifier(RemoteItem::root()), E2EEJSON("root"));
    EXPECT_EQ(client->parseEncryptedIdentifier(itemNamed("f1")), E2EEJSON("f1"));
    EXPECT_EQ(client->nodeRecord(itemNamed("a")).member("name"), E2EEJSON("Folder a"));
    EXPECT_EQ(client->verifiedDrive().id, "drive-1");

    // Names clash after composition and full lower-casing; the node itself is no clash.
    const std::string decomposedUpper = "RE\xcc\x81SUME\xcc\x81.TXT";
    EXPECT_EQ(e2eeErrorOf([&] { client->ensureNameAvailable(decomposedUpper, "root", nullptr); }), Case::conflict);
    client->ensureNameAvailable(decomposedUpper, "root", "f1");
    client->ensureNameAvailable("Folder gone", "root", nullptr);  // a deleted sibling is no clash
    EXPECT_EQ(e2eeErrorOf([&] { client->ensureNameAvailable("FOLDER A", "root", nullptr); }), Case::conflict);
}

TEST_F(E2EEClientLibrary, AsTheProcessEncryptionServiceItsItemsComeFirstInTheRootListing) {
    service.addDrive(localservice::Drive{"drive-1", "Nimbuscrate", "project", ""});
    testing::writeFile(service.driveDirectory("drive-1") / "plain.txt", "plain");
    seed({file("f1")}, {folder("a")});
    mapping = std::make_unique<MappingStore>(stateDirectory / "mapping");
    const std::shared_ptr<E2EEClient> encryption = makeClient();
    OAuthClient oauth(HttpTransport::shared(), store);
    TokenProvider tokens(store, oauth);
    OcisClient files(store, tokens, OcisClient::Services{encryption, nullptr, mapping.get(), nullptr});

    const std::vector<RemoteItem> listed = files.listItems(RemoteItem::root());
    EXPECT_EQ(names(listed), (std::vector<std::string>{"Folder a", "file-f1.txt", "plain.txt"}));
    EXPECT_EQ(listed[0].id, "e2ee:acct_1:a");
    // A required account makes every plain write wait for encryption.
    EXPECT_TRUE(encryption->isEncryptionRequired({}));

    // Downloads go to the file's blob, which this drive does not hold.
    EXPECT_EQ(testing::desktopErrorOf([&] { files.downloadFile(listed[1], {}, {}); }),
              DesktopError::server(404, E2EEClient::kDownloadFailureMessage));
    // A folder made through the service is an encrypted item of the next listing.
    const RemoteItem made = encryption->createEncryptedItem("x", RemoteItem::root(), true, {}, {}, {});
    EXPECT_TRUE(made.id.starts_with("e2ee:acct_1:"));
    EXPECT_EQ(countRequests("POST", "/api/v1/e2ee/nodes"), 1u);
    // Encrypted items in snapshot order (by node id), then the plain ones.
    std::vector<std::string> after = names(files.listItems(RemoteItem::root()));
    ASSERT_EQ(after.size(), 4u);
    EXPECT_EQ(after.back(), "plain.txt");
    std::sort(after.begin(), after.end() - 1);
    EXPECT_EQ(after, (std::vector<std::string>{"Folder a", "file-f1.txt", "x", "plain.txt"}));
}

}  // namespace
}  // namespace nimbuscrate
