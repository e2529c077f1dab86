// The commit of new encrypted file contents against the local service: what
// reaches the service, what the journal keeps, how an interrupted commit
// goes on, and the journals that would otherwise stay stuck.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <future>
#include <thread>

#include "platform/core/CancellationError.h"
#include "tests/shared/encryption-client/E2EECommitFixture.h"
#include "tests/support/Eventually.h"
#include "tools/localservice/EncryptedThumbnailStore.h"

namespace nimbuscrate {
namespace {

using Case = E2EEError::Case;
using namespace std::chrono_literals;
using testing::e2eeErrorOf;
using testing::kPreviewJPEG;
using testing::patternBytes;
using testing::readFile;
using testing::writeFile;

class E2EEFileCommit : public testing::E2EECommitFixture {};

TEST_F(E2EEFileCommit, ANewFileReachesTheServiceAsCiphertextAndReadsBack) {
    const std::string contents = patternBytes(2'500'000, 3);
    const RemoteItem item = create("Quarterly report.txt", source(contents));
    EXPECT_EQ(item.name, "Quarterly report.txt");
    EXPECT_EQ(item.size, static_cast<std::int64_t>(contents.size()));
    EXPECT_EQ(downloaded(item), contents);

    // The service holds one record and one blob of ciphertext under an opaque name.
    const E2EEJSON record = storedFile(nodeIdOf(item));
    ASSERT_TRUE(record.isObject());
    const std::string opaqueName = *record.member("opaqueName").stringValue();
    EXPECT_EQ(opaqueName, nodeIdOf(item) + "-" + *record.member("revisionId").stringValue() + ".nbenc");
    const std::string blob = readFile(service.driveDirectory("drive-1") / opaqueName);
    EXPECT_EQ(static_cast<std::int64_t>(blob.size()), E2EECrypto::ciphertextLength(contents.size()));
    EXPECT_EQ(blob.find(contents.substr(5000, 64)), std::string::npos);
    for (const auto& request : service.requests().all()) {
        EXPECT_EQ((request.target + request.body).find("Quarterly"), std::string::npos) << request.target;
    }
    const E2EECrypto::File opened = E2EECrypto::openFile(builder.keys(), record.member("manifest"));
    EXPECT_EQ(opened.metadata.member("name"), E2EEJSON("Quarterly report.txt"));
    EXPECT_EQ(opened.metadata.member("mime"), E2EEJSON("text/plain"));
    EXPECT_EQ(opened.metadata.member("modified"), E2EEJSON(std::int64_t{1'700'000'000'000}));
    EXPECT_EQ(reservations(), 1u);
    EXPECT_EQ(thumbnailStores(), 0u);  // a text file has no preview

    // The finished journal keeps its state file alone.
    const E2EEJSON state = onlyJournalState();
    EXPECT_EQ(state.member("done"), E2EEJSON(true));
    EXPECT_EQ(filesIn(journals()[0]), std::vector<std::string>{"operation.json"});
}

TEST_F(E2EEFileCommit, TheSameFileCommittedAgainSendsNothingButTheConfirmation) {
    const auto file = source("same bytes");
    const RemoteItem first = create("same.txt", file);
    service.requests().clear();
    const RemoteItem again = create("same.txt", file);
    EXPECT_EQ(again.id, first.id);
    EXPECT_EQ(again.etag, first.etag);
    EXPECT_EQ(reservations(), 0u);
    EXPECT_EQ(partPuts(), 0u);
    EXPECT_EQ(service.accountApi().versionCount(Collection::files, nodeIdOf(first)), 1u);
}

TEST_F(E2EEFileCommit, EachSavedEditCommitsANewRevisionOfTheNode) {
    RemoteItem item = create("notes.md", source("first"));
    for (const std::string contents : {"second, longer", "third", "first"}) {
        SCOPED_TRACE(contents);
        item = modify(item, source(contents));
        EXPECT_EQ(downloaded(item), contents);
    }
    EXPECT_EQ(service.accountApi().versionCount(Collection::files, nodeIdOf(item)), 4u);
    EXPECT_EQ(storedFile(nodeIdOf(item)).member("generation"), E2EEJSON(4));
    EXPECT_EQ(reservations(), 4u);
}

TEST_F(E2EEFileCommit, AStaleBaseVersionOrNoNewRevisionAllowedConflictsBeforeAnythingIsEncrypted) {
    const RemoteItem first = create("doc.txt", source("one"));
    const RemoteItem second = modify(first, source("two"));
    service.requests().clear();
    // Based on the first version: the node moved on meanwhile.
    EXPECT_EQ(e2eeErrorOf([&] { modify(first, source("three")); }), Case::conflict);
    // The system's base is not the current version.
    EXPECT_EQ(e2eeErrorOf([&] { modify(second, source("four"), /*baseVersionMatches=*/false); }), Case::conflict);
    EXPECT_EQ(reservations(), 0u);
    for (const auto& folder : journals()) {
        EXPECT_FALSE(std::filesystem::exists(folder / "main.nbenc")) << folder;
    }
    EXPECT_EQ(downloaded(second), "two");
}

TEST_F(E2EEFileCommit, ANameInUseConflicts) {
    create("taken.txt", source("one"));
    EXPECT_EQ(e2eeErrorOf([&] { create("TAKEN.txt", source("two")); }), Case::conflict);
}

TEST_F(E2EEFileCommit, TypesAndTimesOfTheManifest) {
    struct TypeCase {
        std::string name;
        std::optional<Date> modified;
        std::string mime;
        std::int64_t milliseconds;
    };
    const TypeCase cases[] = {
        {"photo.JPG", Date::fromUnixSeconds(1.5), "image/jpeg", 1500},
        {"clip.mp4", Date::fromUnixSeconds(1'000'000'000.25), "video/mp4", 1'000'000'000'250},
        {"README", Date::fromUnixSeconds(2), "application/octet-stream", 2000},
        {"archive.unknownext", Date::fromUnixSeconds(3), "application/octet-stream", 3000},
        {"old.txt", Date::fromUnixSeconds(-86400), "text/plain", 0},
    };
    for (const TypeCase& c : cases) {
        SCOPED_TRACE(c.name);
        const RemoteItem item = create(c.name, source("bytes of " + c.name, c.name), c.modified);
        const E2EECrypto::File opened =
            E2EECrypto::openFile(builder.keys(), storedFile(nodeIdOf(item)).member("manifest"));
        EXPECT_EQ(opened.metadata.member("mime"), E2EEJSON(c.mime));
        EXPECT_EQ(opened.metadata.member("modified"), E2EEJSON(c.milliseconds));
    }
    // Without a date from the caller, the file's own.
    const auto file = source("dated", "dated.txt");
    std::filesystem::last_write_time(file, std::filesystem::last_write_time(file) - std::chrono::hours(24 * 365));
    struct stat status {};
    ASSERT_EQ(::stat(file.c_str(), &status), 0);
    const RemoteItem item = create("dated.txt", file, std::nullopt);
    const E2EECrypto::File opened = E2EECrypto::openFile(builder.keys(), storedFile(nodeIdOf(item)).member("manifest"));
    const std::int64_t expected = std::int64_t{status.st_mtim.tv_sec} * 1000 + status.st_mtim.tv_nsec / 1'000'000;
    const std::optional<std::int64_t> recorded = opened.metadata.member("modified").integerValue();
    ASSERT_TRUE(recorded);
    EXPECT_LE(std::abs(*recorded - expected), 1);
}

TEST_F(E2EEFileCommit, AnImageCarriesItsPreviewAsTheNodesThumbnail) {
    const RemoteItem item = create("holiday.png", source(patternBytes(70'000, 9)));
    EXPECT_EQ(reservations(), 2u);
    EXPECT_EQ(thumbnailStores(), 1u);
    const std::optional<Bytes> thumbnail = client->fetchEncryptedThumbnail(item, {});
    ASSERT_TRUE(thumbnail);
    EXPECT_EQ(std::string(thumbnail->begin(), thumbnail->end()), kPreviewJPEG);
    // The preview names its source revision.
    client->refreshSnapshot(true);
    const E2EEJSON node = client->nodeRecord(item);
    const E2EEJSON entry = node.member("thumbnailEntry");
    const E2EECrypto::File preview = E2EECrypto::openFile(builder.keys(), entry.member("manifest"));
    EXPECT_EQ(preview.metadata.member("name"), E2EEJSON("thumbnail.jpg"));
    EXPECT_EQ(preview.metadata.member("thumbnail").member("sourceNodeId"), E2EEJSON(nodeIdOf(item)));
    EXPECT_EQ(preview.metadata.member("thumbnail").member("sourceRevisionId"), node.member("entry").member("revisionId"));
    EXPECT_EQ(preview.metadata.member("thumbnail").member("width"), E2EEJSON(4));
    EXPECT_EQ(filesIn(journals()[0]), std::vector<std::string>{"operation.json"});
}

TEST_F(E2EEFileCommit, TwoCommitsOfOneOperationAtOnce) {
    const auto file = source(patternBytes(10'000, 4));
    const auto gate = uploads().hold(Step::reserve);
    auto first = std::async(std::launch::async, [&] { return create("once.bin", file); });
    ASSERT_TRUE(gate->waitForArrivals(1, 20s));
    EXPECT_EQ(e2eeErrorOf([&] { create("once.bin", file); }), Case::conflict);
    gate->open();
    const RemoteItem item = first.get();
    EXPECT_EQ(downloaded(item), readFile(file));
    EXPECT_EQ(reservations(), 1u);
}

TEST_F(E2EEFileCommit, AFileChangedWhileItIsEncryptedConflictsAndSavesNoRevision) {
    const auto file = source(patternBytes(3'000'000, 5));
    std::atomic<bool> changed{false};
    // The first session check after the staged file appears is the one after
    // the encryption, before the second hash.
    setSessionHook([&] {
        for (const auto& folder : journals()) {
            if (!changed && std::filesystem::exists(folder / "main.nbenc")) {
                changed = true;
                writeFile(file, patternBytes(3'000'000, 6));
            }
        }
    });
    EXPECT_EQ(e2eeErrorOf([&] { create("moving.bin", file); }), Case::conflict);
    setSessionHook(nullptr);
    EXPECT_TRUE(changed);
    EXPECT_TRUE(onlyJournalState().member("main").isNull());
    EXPECT_EQ(reservations(), 0u);
    // The next try commits the file as it is now.
    const RemoteItem item = create("moving.bin", file);
    EXPECT_EQ(downloaded(item), patternBytes(3'000'000, 6));
}

TEST_F(E2EEFileCommit, ACancelledCommitGoesOnFromItsJournal) {
    const auto file = source(patternBytes(200'000, 7));
    std::stop_source stop;
    // Stopped at the first session check after the main revision was
    // committed: the preview's upload is next.
    setSessionHook([&] {
        if (!journals().empty() && !onlyJournalState().member("main").member("entry").isNull()) stop.request_stop();
    });
    EXPECT_THROW(client->createEncryptedItem("picture.jpg", RemoteItem::root(), false, file, std::nullopt,
                                             stop.get_token()),
                 CancellationError);
    setSessionHook(nullptr);
    EXPECT_EQ(reservations(), 1u);
    EXPECT_TRUE(onlyJournalState().member("preview").member("entry").isNull());

    service.requests().clear();
    const RemoteItem item = client->createEncryptedItem("picture.jpg", RemoteItem::root(), false, file, std::nullopt, {});
    EXPECT_EQ(reservations(), 1u);  // the preview's alone
    EXPECT_EQ(thumbnailStores(), 1u);
    EXPECT_EQ(downloaded(item), readFile(file));
}

TEST_F(E2EEFileCommit, ARefusedThumbnailStoreIsAllThatIsSentAgain) {
    const auto file = source(patternBytes(5000, 8));
    service.encryptedThumbnails().refuseStores(1);
    EXPECT_EQ(e2eeErrorOf([&] { create("scan.png", file); }), Case::invalid);
    EXPECT_EQ(onlyJournalState().member("r2Stored"), E2EEJSON());
    service.requests().clear();
    const RemoteItem item = create("scan.png", file);
    EXPECT_EQ(reservations(), 0u);
    EXPECT_EQ(thumbnailStores(), 1u);
    EXPECT_TRUE(client->fetchEncryptedThumbnail(item, {}));
}

TEST_F(E2EEFileCommit, NothingCountsAsCommittedUntilTheListingShowsTheRevision) {
    const RemoteItem first = create("listed.txt", source("one"));
    const std::string nodeId = nodeIdOf(first);
    // Once the new revision is committed, the listings leave the node out.
    std::atomic<bool> hidden{false};
    setSessionHook([&] {
        if (hidden || journals().size() < 2) return;
        for (const auto& folder : journals()) {
            const auto file = folder / "operation.json";
            if (!std::filesystem::exists(file)) continue;
            const E2EEJSON state = E2EEJSON::parse(readFile(file));
            if (!(state.member("identity").member("node") == E2EEJSON(nodeId))) continue;
            if (state.member("main").member("entry").isNull()) continue;
            hidden = true;
            service.accountApi().omitRecord(Collection::files, nodeId, localservice::FaultKnobs::kEveryCall);
            service.accountApi().omitRecord(Collection::nodes, nodeId, localservice::FaultKnobs::kEveryCall);
        }
    });
    const auto second = source("two");
    EXPECT_THROW(modify(first, second), E2EEError);
    setSessionHook(nullptr);
    EXPECT_TRUE(hidden);
    service.accountApi().clearKnobs();
    service.requests().clear();
    const RemoteItem item = modify(first, second);
    EXPECT_EQ(reservations(), 0u);
    EXPECT_EQ(downloaded(item), "two");
}

// Journals that a failed step would leave stuck for ever commit on the next
// try; those whose revision may already be current stay a conflict.
TEST_F(E2EEFileCommit, StuckJournalTable) {
    struct StuckCase {
        std::string name;
        std::function<void()> fault;  // set before the first commit, which fails
        bool changeFile;              // the next try commits other contents
        std::optional<Case> next;     // none: the next try commits
    };
    const StuckCase cases[] = {
        {"a reservation saved, the file changed",
         [&] { uploads().fail(Step::partLocation, 500, 3); }, true, std::nullopt},
        {"refused at the reservation", [&] { uploads().fail(Step::reserve, 409); }, false, std::nullopt},
        {"the reservation gone before completing", [&] { uploads().fail(Step::partLocation, 410, 3); }, false,
         std::nullopt},
        {"refused at the completion", [&] { uploads().fail(Step::complete, 409); }, false, std::nullopt},
        {"an invalid reservation reply", [&] { uploads().overrideReservationReply(R"({"id":"x"})"); }, false,
         std::nullopt},
        {"completing saved, the file changed", [&] { uploads().fail(Step::complete, 500); }, true, Case::conflict},
        {"committed, the file changed", [&] { service.encryptedThumbnails().refuseStores(1); }, true,
         Case::conflict},
    };
    int index = 0;
    for (const StuckCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string name = "stuck-" + std::to_string(++index) + ".png";
        const auto file = source(patternBytes(40'000, index), name);
        c.fault();
        EXPECT_THROW(create(name, file), std::exception);
        uploads().clearKnobs();
        service.clearFaults();
        if (c.changeFile) writeFile(file, patternBytes(40'001, 100 + index));
        if (c.next) {
            EXPECT_EQ(e2eeErrorOf([&] { create(name, file); }), c.next);
            EXPECT_EQ(e2eeErrorOf([&] { create(name, file); }), c.next);
        } else {
            const RemoteItem item = create(name, file);
            EXPECT_EQ(downloaded(item), readFile(file));
        }
    }
}

// The upload resets the journal when the service refuses a revision for
// good; for the preview that must not undo the main revision already
// committed: the commit goes on without a preview.
TEST_F(E2EEFileCommit, APreviewTheServiceRefusesLeavesTheCommittedRevisionStanding) {
    std::atomic<bool> armed{false};
    setSessionHook([&] {
        if (armed || journals().empty() || onlyJournalState().member("main").member("entry").isNull()) return;
        armed = true;
        uploads().fail(Step::reserve, 409);
    });
    const auto file = source(patternBytes(20'000, 12), "refused-preview.png");
    const RemoteItem item = create("refused-preview.png", file);
    setSessionHook(nullptr);
    EXPECT_TRUE(armed);
    EXPECT_EQ(downloaded(item), readFile(file));
    EXPECT_EQ(thumbnailStores(), 0u);
    EXPECT_EQ(service.accountApi().versionCount(Collection::files, nodeIdOf(item)), 1u);
    const E2EEJSON state = onlyJournalState();
    EXPECT_EQ(state.member("done"), E2EEJSON(true));
    EXPECT_TRUE(state.member("preview").isNull());
    // Committed again unchanged: confirmed, nothing sent.
    service.requests().clear();
    EXPECT_EQ(create("refused-preview.png", file).id, item.id);
    EXPECT_EQ(reservations(), 0u);
}

TEST_F(E2EEFileCommit, AFinishedCommitWhoseNodeWasDeletedCommitsTheSameContentsAnew) {
    const auto file = source("kept bytes");
    const RemoteItem first = create("again.txt", file);
    client->deleteEncryptedItem(first, {});
    const RemoteItem second = create("again.txt", file);
    EXPECT_NE(second.id, first.id);
    EXPECT_EQ(downloaded(second), "kept bytes");
}

TEST_F(E2EEFileCommit, AFinishedCommitOvertakenByAnotherDeviceCommitsTheRevertedContentsAnew) {
    const auto mine = source("mine", "mine.txt");
    RemoteItem item = create("shared.txt", source("start"));
    item = modify(item, mine);
    // Another device (its own journals) commits other contents.
    auto other = makeCommitClient(stateDirectory / "other-device");
    client->refreshSnapshot(true);
    item = other->modifyEncryptedItem(item, RemoteItem::root(), "shared.txt", source("theirs", "theirs.txt"),
                                      std::nullopt, true, {});
    // Back to "mine" here, on the current version: this operation's
    // finished journal shows "mine" already, but the node no longer does.
    item = modify(item, mine);
    EXPECT_EQ(downloaded(item), "mine");
    EXPECT_EQ(storedFile(nodeIdOf(item)).member("generation"), E2EEJSON(4));
}

}  // namespace
}  // namespace nimbuscrate
