// Blob locations, whole-blob downloads and ranged reads of encrypted blobs
// against the local service.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <future>

#include "platform/core/CancellationError.h"
#include "tests/shared/encryption-client/E2EEDownloadFixture.h"

namespace nimbuscrate {
namespace {

using Case = E2EEError::Case;
using localservice::RangeFault;
using localservice::ReplyOverride;
using localservice::Route;
using namespace std::chrono_literals;
using testing::desktopErrorOf;
using testing::e2eeErrorOf;
using testing::kWebAppHost;
using testing::patternBytes;
using testing::readFile;
using testing::E2EERecordBuilder;

class E2EEClientDownload : public testing::E2EEDownloadFixture {};

TEST_F(E2EEClientDownload, AThreeSegmentFileDownloadsAndDecryptsIntoANewPrivateFolder) {
    const std::string contents =
        patternBytes(E2EECrypto::kFirstSegmentPlaintext + E2EECrypto::kSegmentPlaintext + 4321, 3);
    const E2EEJSON record = seedEncryptedFile("node-1", contents, "Report.pdf");
    const RemoteItem item = itemNamed("Report.pdf");
    service.requests().clear();

    const std::filesystem::path file = client->downloadEncryptedFile(item, {});
    EXPECT_EQ(readFile(file), contents);
    EXPECT_EQ(file.filename(), "Report.pdf");
    EXPECT_EQ(file.parent_path().parent_path(), temporary);
    EXPECT_EQ(file.parent_path().filename().string().size(), 36u);
    struct stat folder {};
    ASSERT_EQ(::stat(file.parent_path().c_str(), &folder), 0);
    EXPECT_EQ(folder.st_mode & 07777, 0700u);
    // The ciphertext is gone: the folder and its file are all that is left.
    EXPECT_EQ(leftovers().size(), 2u);

    const auto blobs = requestsTo(kWebAppHost);
    ASSERT_EQ(blobs.size(), 1u);
    EXPECT_EQ(blobs[0].method, "GET");
    EXPECT_EQ(blobs[0].path, blobPath(record));
    ASSERT_EQ(blobs[0].headers.fields().size(), 2u);  // Host and Authorization
    EXPECT_EQ(blobs[0].header("Authorization"), "Bearer " + session.tokens.accessToken);

    // A second download is a second folder.
    const std::filesystem::path again = client->downloadEncryptedFile(item, {});
    EXPECT_NE(again.parent_path(), file.parent_path());
    EXPECT_EQ(readFile(again), contents);
}

TEST_F(E2EEClientDownload, AnOutdatedItemIsAConflictAndSendsNoBlobRequest) {
    seedEncryptedFile("node-1", "first contents", "note.txt");
    RemoteItem item = itemNamed("note.txt");
    item.etag = "an-older-version";
    service.requests().clear();
    EXPECT_EQ(e2eeErrorOf([&] { client->downloadEncryptedFile(item, {}); }), Case::conflict);
    EXPECT_TRUE(requestsTo(kWebAppHost).empty());
    EXPECT_TRUE(leftovers().empty());
}

// The session is read before the transfer, after it and after the
// decryption; a new one at any of these points leaves nothing behind.
TEST_F(E2EEClientDownload, ASessionChangeAtAnyCheckpointLeavesNoFile) {
    const std::string contents = patternBytes(200'000, 5);
    const E2EEJSON record = seedEncryptedFile("node-1", contents);
    client->loadAccount();
    std::vector<Case> failures;
    for (int at = 1;; ++at) {
        SCOPED_TRACE(at);
        ASSERT_LT(at, 20);
        service.requests().clear();
        sessionCalls = 0;
        switchAt = at;
        try {
            const std::filesystem::path file = client->downloadBlob(record, "file.bin");
            EXPECT_EQ(readFile(file), contents);
            break;
        } catch (const E2EEError& error) {
            failures.push_back(error.kind());
            // Once the blob came, only a changed session can end the call.
            if (!requestsTo(kWebAppHost).empty()) {
                EXPECT_EQ(error.kind(), Case::sessionChanged);
            }
        }
        EXPECT_TRUE(leftovers().empty());
    }
    // The checks before sending, after the transfer and after the decryption.
    EXPECT_GE(std::count(failures.begin(), failures.end(), Case::sessionChanged), 3);
}

TEST_F(E2EEClientDownload, FailureStatusesAndOversizedBodiesLeaveNothing) {
    const E2EEJSON record = seedEncryptedFile("node-1", "secret contents");
    const std::int64_t length = record.member("ciphertextLength").safeInteger();
    client->loadAccount();
    const Route blob{"GET", kWebAppHost, blobPath(record)};
    const std::string message = E2EEClient::kDownloadFailureMessage;

    for (const int status : {404, 206, 500, 401}) {
        SCOPED_TRACE(status);
        service.overrideStatus(blob, status, 1, "{}");
        EXPECT_EQ(desktopErrorOf([&] { client->downloadBlob(record, "a.txt"); }), DesktopError::server(status, message));
        EXPECT_TRUE(leftovers().empty());
    }

    // A redirect is the answer: its target never sees a request.
    service.accountApi().redirectToSecondHost(blob);
    EXPECT_EQ(desktopErrorOf([&] { client->downloadBlob(record, "a.txt"); }), DesktopError::server(302, message));
    EXPECT_EQ(service.accountApi().secondHostConnections(), 0u);
    EXPECT_TRUE(leftovers().empty());

    // More bytes than the manifest's length end the transfer.
    const std::string blobBytes = readFile(service.driveDirectory("drive-1") / opaqueName(record));
    ASSERT_EQ(static_cast<std::int64_t>(blobBytes.size()), length);
    service.overrideReply(blob, ReplyOverride{200, {}, blobBytes + "x"});
    EXPECT_EQ(e2eeErrorOf([&] { client->downloadBlob(record, "a.txt"); }), Case::invalid);
    EXPECT_TRUE(leftovers().empty());
    // ... as soon as the first extra byte is there, not at the end of the body.
    service.overrideReply(blob, ReplyOverride{200, {}, blobBytes + std::string(100'000, 'x')});
    const auto stall = service.stallBody(blob, blobBytes.size() + 1);
    auto downloading = std::async(std::launch::async, [&] { return e2eeErrorOf([&] { client->downloadBlob(record, "a.txt"); }); });
    ASSERT_EQ(downloading.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(downloading.get(), Case::invalid);
    EXPECT_TRUE(leftovers().empty());
    service.clearFaults();

    // A tampered blob fails in the decryption and leaves no folder.
    std::string tampered = blobBytes;
    tampered[60] = static_cast<char>(tampered[60] ^ 1);
    service.overrideReply(blob, ReplyOverride{200, {}, tampered});
    EXPECT_THROW(client->downloadBlob(record, "a.txt"), std::exception);
    EXPECT_TRUE(leftovers().empty());

    // Names that cannot be a file of the new folder.
    for (const std::string name : {"", ".", "..", "a/b"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(e2eeErrorOf([&] { client->downloadBlob(record, name); }), Case::invalid);
        EXPECT_TRUE(leftovers().empty());
    }
}

TEST_F(E2EEClientDownload, LocationsAreSingleSegmentsOfAnOwnedDriveRoot) {
    E2EERecordBuilder::AccountSpec spec;
    spec.ownedDriveIds = {"drive-1", "a/b?c", ".", "..", ""};
    setAccount(builder.accountRecord(spec).canonicalString());
    const E2EEJSON record = seedEncryptedFile("node-1", "contents");
    client->loadAccount();

    EXPECT_EQ(client->blobURL(record).string(),
              "https://" + kWebAppHost + "/dav/spaces/drive-1/" + opaqueName(record));
    EXPECT_EQ(client->encryptedThumbnailURL(record).string(),
              "https://" + testing::kMediaHost + "/v1/encrypted-thumbnail?nodeId=node-1&revisionId=rev-node-1");
    auto withDrive = [&](const E2EEJSON& driveId, const E2EEJSON& parent) {
        E2EEJSON changed = record;
        changed.setMember(driveId, "driveId");
        changed.setMember(parent, "parentItemId");
        return changed;
    };
    EXPECT_EQ(client->blobURL(withDrive("a/b?c", "a/b?c")).path(), "/dav/spaces/a%2Fb%3Fc/" + opaqueName(record));

    struct BadCase {
        const char* why;
        E2EEJSON revision;
    };
    const BadCase cases[] = {
        {"blob not at its drive's root", withDrive("drive-1", "drive-2")},
        {"drive not owned", withDrive("drive-2", "drive-2")},
        {"drive id not a string", withDrive(7, 7)},
        {"dot segment", withDrive(".", ".")},
        {"dot-dot segment", withDrive("..", "..")},
        {"empty segment", withDrive("", "")},
    };
    service.requests().clear();
    for (const BadCase& bad : cases) {
        SCOPED_TRACE(bad.why);
        EXPECT_EQ(e2eeErrorOf([&] { client->blobURL(bad.revision); }), Case::invalid);
        EXPECT_EQ(e2eeErrorOf([&] { client->encryptedThumbnailURL(bad.revision); }), Case::invalid);
        EXPECT_EQ(e2eeErrorOf([&] { client->downloadBlob(bad.revision, "a.txt"); }), Case::invalid);
    }
    EXPECT_TRUE(requestsTo(kWebAppHost).empty());

    // An account without a list of drives owns none.
    E2EEJSON account = builder.accountRecord(spec);
    account.removeMember("ownedDriveIds");
    setAccount(account.canonicalString());
    client->loadAccount();
    EXPECT_EQ(e2eeErrorOf([&] { client->blobURL(record); }), Case::invalid);
}

class E2EEClientRangedRead : public testing::E2EEDownloadFixture {
protected:
    void SetUp() override {
        E2EEDownloadFixture::SetUp();
        if (IsSkipped()) return;
        record = seedEncryptedFile("node-1", patternBytes(5000, 9));
        blob = readFile(service.driveDirectory("drive-1") / opaqueName(record));
        total = static_cast<std::int64_t>(blob.size());
        client->loadAccount();
        url = client->blobURL(record);
        route = Route{"GET", kWebAppHost, blobPath(record)};
        service.requests().clear();
    }

    Bytes read(std::int64_t lower, std::int64_t upper) {
        return client->readEncryptedRange(url, lower, upper, total, *session.sessionID);
    }
    static std::string text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

    E2EEJSON record;
    std::string blob;
    std::int64_t total = 0;
    Url url;
    Route route;
};

TEST_F(E2EEClientRangedRead, ReadsExactlyTheRangeWithTwoHeaders) {
    EXPECT_EQ(text(read(0, 40)), blob.substr(0, 40));
    EXPECT_EQ(text(read(1000, 3001)), blob.substr(1000, 2001));
    EXPECT_EQ(text(read(total - 1, total)), blob.substr(blob.size() - 1));
    const auto requests = requestsTo(kWebAppHost);
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[1].header("Range"), "bytes=1000-3000");
    EXPECT_EQ(requests[1].header("Authorization"), "Bearer " + session.tokens.accessToken);
    EXPECT_EQ(requests[1].headers.fields().size(), 3u);  // Host, Authorization, Range

    // The fetch function of the preview reader takes the total from the manifest.
    const E2EEClient::RangeFetch fetch = client->encryptedRangeFetch(url, open(record), *session.sessionID);
    EXPECT_EQ(text(fetch(40, 140, {})), blob.substr(40, 100));
    E2EECrypto::File withoutLength = open(record);
    withoutLength.value.removeMember("ciphertextLength");
    EXPECT_EQ(e2eeErrorOf([&] { client->encryptedRangeFetch(url, withoutLength, *session.sessionID)(0, 1, {}); }),
              Case::invalid);
}

TEST_F(E2EEClientRangedRead, EveryWrongReplyFailsAndNoShortOrLongReadIsPassedOn) {
    const std::string message = E2EEClient::kPreviewSourceFailureMessage;
    struct FaultCase {
        const char* why;
        std::optional<RangeFault> fault;
        std::int64_t lower, upper;
        std::optional<Case> error;  // else DesktopError::server(status, message)
        long status = 0;
    };
    const FaultCase cases[] = {
        {"Range ignored for a part", RangeFault::ignoreRange, 10, 20, std::nullopt, 200},
        {"total given as *", RangeFault::unknownTotal, 10, 20, Case::invalid},
        {"another total", RangeFault::wrongTotal, 10, 20, Case::invalid},
        {"one byte more", RangeFault::oneByteMore, 10, 20, Case::invalid},
        {"one byte more at the end", RangeFault::oneByteMore, total - 10, total, Case::invalid},
        {"one byte less", RangeFault::oneByteLess, 10, 20, Case::invalid},
    };
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.why);
        if (c.fault) service.rangeFault(route, *c.fault);
        if (c.error) {
            EXPECT_EQ(e2eeErrorOf([&] { read(c.lower, c.upper); }), *c.error);
        } else {
            EXPECT_EQ(desktopErrorOf([&] { read(c.lower, c.upper); }), DesktopError::server(c.status, message));
        }
    }

    // A long body fails at its first extra byte, not at its end.
    service.overrideReply(route, ReplyOverride{206,
                                               {{"Content-Range", "bytes 10-19/" + std::to_string(total)}},
                                               blob.substr(10, 10) + std::string(100'000, 'x')});
    service.stallBody(route, 11);
    auto reading = std::async(std::launch::async, [&] { return e2eeErrorOf([&] { read(10, 20); }); });
    ASSERT_EQ(reading.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(reading.get(), Case::invalid);
    service.clearFaults();

    // A server that ignores Range serves the whole blob, taken when asked for.
    service.rangeFault(route, RangeFault::ignoreRange);
    EXPECT_EQ(text(read(0, total)), blob);

    // The manifest's total is what the reply must name.
    EXPECT_EQ(e2eeErrorOf([&] { client->readEncryptedRange(url, 0, 10, total + 1, *session.sessionID); }),
              Case::invalid);
    // A range past the blob's end: the server's 416.
    EXPECT_EQ(desktopErrorOf([&] { client->readEncryptedRange(url, total, total + 5, total + 5, *session.sessionID); }),
              DesktopError::server(416, message));
    // A redirect is a failure status and its target sees nothing.
    service.accountApi().redirectToSecondHost(route);
    EXPECT_EQ(desktopErrorOf([&] { read(0, 10); }), DesktopError::server(302, message));
    EXPECT_EQ(service.accountApi().secondHostConnections(), 0u);

    // Empty and out-of-bounds ranges send nothing.
    service.requests().clear();
    for (const auto& [lower, upper] : std::vector<std::pair<std::int64_t, std::int64_t>>{
             {5, 5}, {6, 5}, {-1, 4}, {0, total + 1}}) {
        EXPECT_EQ(e2eeErrorOf([&] { read(lower, upper); }), Case::invalid);
    }
    EXPECT_TRUE(requestsTo(kWebAppHost).empty());
}

TEST_F(E2EEClientRangedRead, ASessionChangeOrSignOutWhileStreamingFailsAtTheEnd) {
    for (const bool signOut : {false, true}) {
        SCOPED_TRACE(signOut ? "sign-out" : "new sign-in");
        const std::shared_ptr<localservice::HoldGate> stall = service.stallBody(route, 100);
        auto reading = std::async(std::launch::async, [&] { return read(0, 2000); });
        ASSERT_TRUE(stall->waitForArrivals(1, 10s));
        if (signOut) {
            store.deleteItem();
        } else {
            signIn(3600);
        }
        stall->open();
        try {
            reading.get();
            ADD_FAILURE() << "no error";
        } catch (const E2EEError& error) {
            EXPECT_FALSE(signOut);
            EXPECT_EQ(error.kind(), Case::sessionChanged);
        } catch (const DesktopError& error) {
            EXPECT_TRUE(signOut);
            EXPECT_EQ(error, DesktopError::notAuthenticated());
        }
        service.clearFaults();
        storeSession(session);
    }
    // A session that is not the reader's sends nothing.
    service.requests().clear();
    EXPECT_EQ(e2eeErrorOf([&] { client->readEncryptedRange(url, 0, 10, total, "ANOTHER"); }), Case::sessionChanged);
    EXPECT_TRUE(requestsTo(kWebAppHost).empty());
}

}  // namespace
}  // namespace nimbuscrate
