// An encrypted account ("required") on a real FUSE mount: its encrypted
// folders and files are listed by name, and mkdir, mv and rm of encrypted
// items reach the account API as signed node records; no request of the
// encrypted path carries a name in clear.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "shared/encryption-client/E2EEClient.h"
#include "shared/encryption/E2EECrypto.h"
#include "shared/session/ServiceEndpoints.h"
#include "tests/fileprovider/host-end-to-end/HostEndToEndFixture.h"
#include "tests/support/E2EERecordBuilder.h"
#include "tools/localservice/UploadApi.h"

namespace nimbuscrate::testing {
namespace {

using Collection = localservice::AccountApi::Collection;

// Forwards to a service set once the fixture's stores exist.
class DeferredDriveService final : public EncryptedDriveService {
public:
    std::shared_ptr<EncryptedDriveService> target;

    bool isEncryptionRequired(std::stop_token s) override { return target->isEncryptionRequired(s); }
    std::vector<RemoteItem> listEncryptedChildren(const RemoteItem& p, std::stop_token s) override {
        return target->listEncryptedChildren(p, s);
    }
    std::filesystem::path downloadEncryptedFile(const RemoteItem& i, std::stop_token s) override {
        return target->downloadEncryptedFile(i, s);
    }
    std::optional<Bytes> fetchEncryptedThumbnail(const RemoteItem& i, std::stop_token s) override {
        return target->fetchEncryptedThumbnail(i, s);
    }
    RemoteItem createEncryptedItem(const std::string& n, const RemoteItem& p, bool d,
                                   const std::optional<std::filesystem::path>& c, std::optional<Date> m,
                                   std::stop_token s) override {
        return target->createEncryptedItem(n, p, d, c, m, s);
    }
    RemoteItem modifyEncryptedItem(const RemoteItem& i, const RemoteItem& p, const std::string& n,
                                   const std::optional<std::filesystem::path>& c, std::optional<Date> m, bool b,
                                   std::stop_token s) override {
        return target->modifyEncryptedItem(i, p, n, c, m, b, s);
    }
    void deleteEncryptedItem(const RemoteItem& i, std::stop_token s) override { target->deleteEncryptedItem(i, s); }
};

// Names of the encrypted items; none may reach the service in clear.
const std::vector<std::string> kSecretNames = {
    "Tax Returns", "budget-plan.ods", "Love Letters", "medical-history.pdf",
    "Receipts Box", "Quarter One", "Old Love Letters", "budget-final.ods",
};

class HostEncryptedEndToEnd : public HostEndToEnd {
protected:
    HostEncryptedEndToEnd() : HostEndToEnd(std::make_shared<DeferredDriveService>()) {
        E2EEClient::Credentials credentials;
        credentials.session = [this] { return store_.loadSession(); };
        credentials.token = [this](std::stop_token stop) { return tokens_.validAccessToken(stop); };
        credentials.secret = [this](const std::string& service, const std::string& account)
            -> std::shared_ptr<E2EESecretStore> {
            return std::make_shared<KeychainStore>(service, account, KeychainBackends::inDirectory(data_ / "secrets"));
        };
        credentials_ = credentials;
        startClient();

        E2EERecordBuilder::AccountSpec account;
        account.ownedDriveIds = {"d1"};
        account.primaryDriveId = "d1";
        service_.accountApi().setAccount(builder.accountRecord(account).canonicalString());
        KeychainStore(E2EEClient::kKeysService, *store_.loadSession()->sessionID,
                      KeychainBackends::inDirectory(data_ / "secrets"))
            .save(builder.keysBytes());

        // Tax Returns/budget-plan.ods, Love Letters/medical-history.pdf, and
        // a plain file from before encryption.
        seedFolder("taxes", "root", "Tax Returns");
        seedFolder("letters", "root", "Love Letters");
        seedFile("budget", "taxes", "budget-plan.ods", 1234);
        seedFile("medical", "letters", "medical-history.pdf", 99);
        writeFile(drive_ / "plain.txt", "plain bytes");
    }

    // A new encryption client over the same state folder, as a new process
    // of the extension would make.
    void startClient() {
        client = std::make_shared<E2EEClient>(E2EEClient::Services{HttpTransport::shared(), credentials_, mapping_,
                                                                   Clock::system(), accountAPIURL(),
                                                                   data_ / "e2ee-state", 1});
        std::static_pointer_cast<DeferredDriveService>(encryption_)->target = client;
    }

    // The live encrypted item of that name under an encrypted folder ("root" for the top).
    std::optional<RemoteItem> encryptedItem(const std::string& parentNode, const std::string& name) {
        RemoteItem parent = RemoteItem::root();
        if (parentNode != "root") parent.id = "e2ee:" + builder.accountId() + ":" + parentNode;
        client->refreshSnapshot(true);
        for (const RemoteItem& item : client->listEncryptedChildren(parent, {})) {
            if (item.name == name) return item;
        }
        return std::nullopt;
    }
    // The plaintext of the item's current revision, downloaded from the service.
    std::string downloadedFromService(const RemoteItem& item) {
        const std::filesystem::path file = client->downloadEncryptedFile(item, {});
        const std::string bytes = readFile(file);
        std::filesystem::remove_all(file.parent_path());
        return bytes;
    }
    static std::string nodeIdOf(const RemoteItem& item) { return item.id.substr(item.id.rfind(':') + 1); }
    // Drops the mount's copy of a file, so that the next read downloads it.
    void evict(const std::filesystem::path& path) {
        struct stat shown{};
        ASSERT_EQ(::stat(path.c_str(), &shown), 0) << path;
        ASSERT_FALSE(mount()->evict(mount()->replica().node(shown.st_ino)->identifier).has_value()) << path;
    }

    void seedFolder(const std::string& id, const std::string& parent, const std::string& name) {
        E2EERecordBuilder::NodeSpec spec;
        spec.nodeId = id;
        spec.parentId = parent;
        spec.name = name;
        if (parent == "root") spec.driveId = "d1";
        service_.accountApi().putNode(builder.nodeRecord(spec).canonicalString());
    }

    void seedFile(const std::string& id, const std::string& parent, const std::string& name, std::int64_t size) {
        E2EERecordBuilder::FileSpec spec;
        spec.nodeId = id;
        spec.parentId = parent;
        spec.name = name;
        spec.size = size;
        spec.revisionId = "rev-" + id;
        spec.driveId = "d1";
        const E2EEJSON record = builder.fileRecord(spec);
        service_.accountApi().putNode(record.member("manifest").member("value").member("node").canonicalString());
        service_.accountApi().putFile(record.canonicalString());
    }

    // The newest record the service holds for a node, opened.
    E2EEJSON storedNode(const std::string& nodeId) {
        const auto text = service_.accountApi().storedRecord(Collection::nodes, nodeId);
        if (!text) return nullptr;
        return E2EECrypto::openNode(builder.keys(), E2EEJSON::parse(*text));
    }

    // The id of the node the service holds under a name and parent.
    std::optional<std::string> nodeNamed(const std::string& name, const std::string& parent) {
        for (const auto& request : service_.requests().matching("POST", "/api/v1/e2ee/nodes")) {
            const E2EEJSON value = E2EEJSON::parse(request.body).member("value");
            const std::string nodeId = *value.member("nodeId").stringValue();
            const E2EEJSON stored = storedNode(nodeId);
            if (stored.member("name") == E2EEJSON(name) && stored.member("parentId") == E2EEJSON(parent)) {
                return nodeId;
            }
        }
        return std::nullopt;
    }

    std::string listing(const std::filesystem::path& path) {
        const auto out = root_ / "ls.txt";
        EXPECT_EQ(run("ls -l '" + path.string() + "' > '" + out.string() + "' 2>&1"), 0);
        return readFile(out);
    }

    E2EERecordBuilder builder;
    E2EEClient::Credentials credentials_;
    std::shared_ptr<E2EEClient> client;
};

TEST_F(HostEncryptedEndToEnd, EncryptedItemsAreListedAndChangedAsSignedNodeRecordsWithoutANameInClear) {
    mountDrive();
    const std::string top = listing(folder());
    EXPECT_NE(top.find("Tax Returns"), std::string::npos) << top;
    EXPECT_NE(top.find("Love Letters"), std::string::npos) << top;
    EXPECT_NE(top.find("plain.txt"), std::string::npos) << top;
    const std::string taxes = listing(folder() / "Tax Returns");
    EXPECT_NE(taxes.find("budget-plan.ods"), std::string::npos) << taxes;
    EXPECT_NE(taxes.find(" 1234 "), std::string::npos) << taxes;
    struct stat shown{};
    ASSERT_EQ(::stat((folder() / "Tax Returns").c_str(), &shown), 0);
    EXPECT_TRUE(S_ISDIR(shown.st_mode));
    ASSERT_EQ(::stat((folder() / "Love Letters" / "medical-history.pdf").c_str(), &shown), 0);
    EXPECT_TRUE(S_ISREG(shown.st_mode));
    EXPECT_EQ(shown.st_size, 99);

    // mkdir at the root and inside an encrypted folder.
    ASSERT_EQ(::mkdir((folder() / "Receipts Box").c_str(), 0700), 0) << std::strerror(errno);
    ASSERT_EQ(::mkdir((folder() / "Tax Returns" / "Quarter One").c_str(), 0700), 0) << std::strerror(errno);
    ASSERT_TRUE(uploaded()) << describe();
    const std::optional<std::string> receipts = nodeNamed("Receipts Box", "root");
    ASSERT_TRUE(receipts) << describe();
    EXPECT_EQ(storedNode(*receipts).member("generation"), E2EEJSON(1));
    EXPECT_EQ(storedNode(*receipts).member("kind"), E2EEJSON("folder"));
    ASSERT_TRUE(nodeNamed("Quarter One", "taxes")) << describe();

    // mv: a file into the new folder under a new name, a folder renamed.
    ASSERT_EQ(::rename((folder() / "Tax Returns" / "budget-plan.ods").c_str(),
                       (folder() / "Receipts Box" / "budget-final.ods").c_str()),
              0)
        << std::strerror(errno);
    ASSERT_EQ(run("mv '" + (folder() / "Love Letters").string() + "' '" + (folder() / "Old Love Letters").string() +
                  "'"),
              0);
    ASSERT_TRUE(uploaded()) << describe();
    E2EEJSON budget = storedNode("budget");
    EXPECT_EQ(budget.member("name"), E2EEJSON("budget-final.ods"));
    EXPECT_EQ(budget.member("parentId"), E2EEJSON(*receipts));
    EXPECT_EQ(budget.member("generation"), E2EEJSON(2));
    const E2EEJSON letters = storedNode("letters");
    EXPECT_EQ(letters.member("name"), E2EEJSON("Old Love Letters"));
    EXPECT_EQ(letters.member("generation"), E2EEJSON(2));
    EXPECT_EQ(letters.member("deleted"), E2EEJSON(false));

    // rm of a file, and rm -r of a folder with a file in it.
    ASSERT_EQ(::unlink((folder() / "Receipts Box" / "budget-final.ods").c_str()), 0) << std::strerror(errno);
    ASSERT_EQ(run("rm -r '" + (folder() / "Old Love Letters").string() + "'"), 0);
    ASSERT_TRUE(uploaded()) << describe();
    budget = storedNode("budget");
    EXPECT_EQ(budget.member("deleted"), E2EEJSON(true));
    EXPECT_EQ(budget.member("generation"), E2EEJSON(3));
    EXPECT_EQ(storedNode("medical").member("deleted"), E2EEJSON(true));
    EXPECT_EQ(storedNode("letters").member("deleted"), E2EEJSON(true));
    EXPECT_EQ(storedNode("letters").member("generation"), E2EEJSON(3));

    const std::string after = listing(folder());
    EXPECT_EQ(after.find("Love Letters"), std::string::npos) << after;
    EXPECT_NE(after.find("Receipts Box"), std::string::npos) << after;
    EXPECT_TRUE(listing(folder() / "Receipts Box").starts_with("total 0")) << listing(folder() / "Receipts Box");

    // Nothing of it went by WebDAV, and no request carried a name in clear.
    EXPECT_TRUE(davRequests("MKCOL").empty());
    EXPECT_TRUE(davRequests("MOVE").empty());
    EXPECT_TRUE(davRequests("DELETE").empty());
    EXPECT_GE(service_.requests().matching("POST", "/api/v1/e2ee/nodes").size(), 7u);
    for (const auto& request : service_.requests().all()) {
        std::string seen = request.method + " " + request.target + "\n" + request.body;
        for (const auto& [name, value] : request.headers.fields()) seen += "\n" + name + ": " + value;
        for (const std::string& name : kSecretNames) {
            EXPECT_EQ(seen.find(name), std::string::npos) << name << " in " << request.method << " " << request.target;
        }
    }
}

// cp into an encrypted folder and at the top of a "required" account, then
// cat: the same bytes, while the service holds only ciphertext under an
// opaque name; a file saved again commits a new revision.
TEST_F(HostEncryptedEndToEnd, CopiedFilesAreCommittedEncryptedAndSavedEditsAsNewRevisions) {
    mountDrive();
    const std::string contents = randomBytes(3 * 1024 * 1024 + 17, 5);
    writeFile(root_ / "Budget 2027.ods", contents);
    writeFile(root_ / "Scan of passport.pdf", "a short private document\n");
    ASSERT_EQ(run("cp '" + (root_ / "Budget 2027.ods").string() + "' '" + (folder() / "Tax Returns").string() + "/'"),
              0);
    ASSERT_EQ(run("cp '" + (root_ / "Scan of passport.pdf").string() + "' '" + folder().string() + "/'"), 0);
    ASSERT_TRUE(uploaded()) << describe();

    const std::optional<RemoteItem> budget = encryptedItem("taxes", "Budget 2027.ods");
    const std::optional<RemoteItem> passport = encryptedItem("root", "Scan of passport.pdf");
    ASSERT_TRUE(budget && passport) << describe();
    EXPECT_EQ(downloadedFromService(*budget), contents);
    EXPECT_EQ(downloadedFromService(*passport), "a short private document\n");
    evict(folder() / "Tax Returns" / "Budget 2027.ods");
    EXPECT_EQ(readFile(folder() / "Tax Returns" / "Budget 2027.ods"), contents);
    EXPECT_EQ(readFile(folder() / "Scan of passport.pdf"), "a short private document\n");

    // The drive holds blobs named by node and revision ids; none holds the plaintext.
    const std::string sample = contents.substr(1'000'000, 64);
    std::size_t blobs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(drive_)) {
        const std::string name = entry.path().filename().string();
        if (!name.ends_with(".nbenc")) continue;
        ++blobs;
        EXPECT_TRUE(name.starts_with(nodeIdOf(*budget)) || name.starts_with(nodeIdOf(*passport))) << name;
        EXPECT_EQ(readFile(entry.path()).find(sample), std::string::npos) << name;
    }
    EXPECT_EQ(blobs, 2u);
    EXPECT_TRUE(davRequests("PUT").empty());
    for (const auto& request : service_.requests().all()) {
        const std::string seen = request.target + "\n" + request.body;
        for (const char* secret : {"Budget 2027", "Scan of passport", "private document"}) {
            EXPECT_EQ(seen.find(secret), std::string::npos) << secret << " in " << request.method << " " << request.target;
        }
    }

    // Saved again: a new revision of the same node.
    const std::string edited = "edited: " + contents.substr(0, 100'000);
    writeFile(folder() / "Tax Returns" / "Budget 2027.ods", edited);
    ASSERT_TRUE(uploaded()) << describe();
    const std::optional<RemoteItem> after = encryptedItem("taxes", "Budget 2027.ods");
    ASSERT_TRUE(after);
    EXPECT_EQ(after->id, budget->id);
    EXPECT_EQ(downloadedFromService(*after), edited);
    EXPECT_EQ(service_.accountApi().versionCount(Collection::files, nodeIdOf(*after)), 2u);
}

// The daemon stopped while the service holds a commit's completion: started
// again (with a new encryption client over the same state), it goes on from
// the commit's journal instead of uploading again.
TEST_F(HostEncryptedEndToEnd, ACommitInterruptedByAStopResumesFromItsJournalAtTheNextStart) {
    mountDrive();
    const std::string contents = randomBytes(1024 * 1024, 8);
    auto complete = service_.uploads().hold(localservice::UploadApi::Step::complete);
    writeFile(folder() / "Love Letters" / "medical-history-2.pdf", contents);
    ASSERT_TRUE(complete->waitForArrivals(1, std::chrono::seconds(60))) << describe();
    daemon_->stop();
    daemon_.reset();
    service_.uploads().clearKnobs();
    const std::size_t puts = service_.requests().matching("PUT", "").size();

    startClient();
    startDaemon();
    ASSERT_NE(mount(), nullptr);
    ASSERT_TRUE(uploaded()) << describe();
    const std::optional<RemoteItem> item = encryptedItem("letters", "medical-history-2.pdf");
    ASSERT_TRUE(item) << describe();
    EXPECT_EQ(downloadedFromService(*item), contents);
    std::size_t reservations = 0;
    for (const auto& request : service_.requests().matching("POST", "/api/v1/uploads")) {
        reservations += request.path == "/api/v1/uploads";
    }
    EXPECT_EQ(reservations, 1u);
    EXPECT_EQ(service_.requests().matching("PUT", "").size(), puts);
    EXPECT_EQ(service_.accountApi().versionCount(Collection::files, nodeIdOf(*item)), 1u);
}

}  // namespace
}  // namespace nimbuscrate::testing
