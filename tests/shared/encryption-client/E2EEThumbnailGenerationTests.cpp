// Thumbnails made on the device for encrypted images and videos without a
// stored one, against the local service: rendered from ranged reads of the
// source blob, uploaded, stored, attached by the next snapshot, and resumed
// from their journal after an interruption.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/core/CancellationError.h"
#include "tests/shared/encryption-client/E2EECommitFixture.h"
#include "tests/support/MediaFixtures.h"
#include "tests/support/TemporaryDirectory.h"
#include "tools/localservice/EncryptedThumbnailStore.h"

namespace nimbuscrate {
namespace {

using Case = E2EEError::Case;
using testing::e2eeErrorOf;
using testing::kWebAppHost;

class E2EEThumbnailGeneration : public testing::E2EECommitFixture {
protected:
    // A 800 × 400 JPEG, red left and blue right, seeded as an encrypted file
    // without a thumbnail.
    RemoteItem seedPhoto(const std::string& nodeId = "photo-node") {
        const std::filesystem::path ppm = scratch / "photo.ppm";
        testing::writePPM(ppm, 800, 400, [](int x, int) { return testing::redLeftBlueRight(x, 800); });
        const std::filesystem::path jpeg = scratch / "photo.jpg";
        EXPECT_TRUE(testing::runCommand("vips copy " + testing::shellQuoted(ppm.string()) + " " +
                                        testing::shellQuoted(jpeg.string() + "[Q=90]")));
        photo = testing::readBytes(jpeg);
        seedEncryptedFile(nodeId, std::string(photo.begin(), photo.end()), "photo.jpg", "image/jpeg");
        return itemNamed("photo.jpg");
    }

    // GET requests of ranges of source blobs.
    std::size_t rangedReads() {
        std::size_t count = 0;
        for (const auto& request : requestsTo(kWebAppHost)) count += !request.header("Range").empty();
        return count;
    }

    void expectPhotoPreview(const std::optional<Bytes>& jpeg) {
        ASSERT_TRUE(jpeg);
        const std::optional<testing::Pixels> pixels = testing::decodeWithVips(*jpeg, scratch.path());
        ASSERT_TRUE(pixels);
        EXPECT_EQ(pixels->width, 512);
        EXPECT_EQ(pixels->height, 256);
        EXPECT_TRUE(testing::near(pixels->at(64, 128), testing::kRed));
        EXPECT_TRUE(testing::near(pixels->at(448, 128), testing::kBlue));
    }

    testing::TemporaryDirectory scratch;
    Bytes photo;
};

TEST_F(E2EEThumbnailGeneration, AMissingThumbnailIsMadeStoredAndAttachedByTheNextSnapshot) {
    const RemoteItem item = seedPhoto();
    service.requests().clear();
    const std::optional<Bytes> jpeg = client->fetchEncryptedThumbnail(item, {});
    expectPhotoPreview(jpeg);
    EXPECT_GT(rangedReads(), 0u);
    EXPECT_EQ(reservations(), 1u);
    EXPECT_EQ(thumbnailStores(), 1u);
    EXPECT_TRUE(journals().empty());

    // The snapshot now lists it: the media service serves it, nothing is made again.
    client->refreshSnapshot(false);
    const E2EEJSON node = client->nodeRecord(item);
    const E2EEJSON entry = node.member("thumbnailEntry");
    ASSERT_FALSE(entry.isNull());
    const E2EECrypto::File preview = E2EECrypto::openFile(builder.keys(), entry.member("manifest"));
    EXPECT_EQ(preview.metadata.member("name"), E2EEJSON("thumbnail.jpg"));
    EXPECT_EQ(preview.metadata.member("mime"), E2EEJSON("image/jpeg"));
    EXPECT_EQ(preview.metadata.member("thumbnail").member("sourceRevisionId"), node.member("entry").member("revisionId"));
    EXPECT_EQ(preview.metadata.member("thumbnail").member("width"), E2EEJSON(512));
    EXPECT_EQ(client->requestEncryptedThumbnail(entry, /*fromMediaService=*/true), *jpeg);
    service.requests().clear();
    EXPECT_EQ(client->fetchEncryptedThumbnail(item, {}), jpeg);
    EXPECT_EQ(reservations(), 0u);
    EXPECT_EQ(rangedReads(), 0u);
}

TEST_F(E2EEThumbnailGeneration, OtherTypesAndModesSendNoRequestForIt) {
    seedEncryptedFile("text-node", "plain words", "notes.txt", "text/plain");
    const RemoteItem item = seedPhoto();
    const RemoteItem text = itemNamed("notes.txt");
    service.requests().clear();
    EXPECT_FALSE(client->fetchEncryptedThumbnail(text, {}));
    EXPECT_EQ(requestsTo(kWebAppHost).size(), 0u);
    EXPECT_EQ(reservations(), 0u);

    testing::E2EERecordBuilder::AccountSpec paused;
    paused.mode = "write_paused";
    setAccount(builder.accountRecord(paused).canonicalString());
    client->refreshSnapshot(true);
    service.requests().clear();
    EXPECT_FALSE(client->fetchEncryptedThumbnail(item, {}));
    EXPECT_EQ(requestsTo(kWebAppHost).size(), 0u);
    EXPECT_EQ(reservations(), 0u);
    EXPECT_EQ(thumbnailStores(), 0u);
    EXPECT_TRUE(journals().empty());
}

TEST_F(E2EEThumbnailGeneration, AfterARefusedStoreTheUploadedPreviewIsServedWithoutRenderingOrUploadingAgain) {
    const RemoteItem item = seedPhoto();
    service.encryptedThumbnails().refuseStores(1);
    EXPECT_ANY_THROW(client->fetchEncryptedThumbnail(item, {}));
    EXPECT_FALSE(onlyJournalState().member("preview").member("entry").isNull());
    EXPECT_EQ(onlyJournalState().member("r2Stored"), E2EEJSON());

    // The uploaded preview is listed and attached to its source: the next
    // lookup reads it from its blob, as any stored thumbnail.
    service.requests().clear();
    expectPhotoPreview(client->fetchEncryptedThumbnail(item, {}));
    EXPECT_EQ(rangedReads(), 0u);
    EXPECT_EQ(reservations(), 0u);
}

TEST_F(E2EEThumbnailGeneration, AnInterruptionAfterThePreviewWasStagedGoesOnWithoutRenderingAgain) {
    const RemoteItem item = seedPhoto();
    std::stop_source stop;
    setSessionHook([&] {
        const auto folders = journals();
        if (folders.size() == 1 && std::filesystem::exists(folders[0] / E2EEUploadJournal::kStateFileName) &&
            !onlyJournalState().member("preview").isNull()) {
            stop.request_stop();
        }
    });
    EXPECT_THROW(client->fetchEncryptedThumbnail(item, stop.get_token()), CancellationError);
    setSessionHook(nullptr);
    EXPECT_EQ(filesIn(journals()[0]),
              (std::vector<std::string>{"operation.json", "preview.nbenc"}));

    service.requests().clear();
    const std::optional<Bytes> jpeg = client->fetchEncryptedThumbnail(item, {});
    ASSERT_TRUE(jpeg);
    EXPECT_EQ(rangedReads(), 0u);
    EXPECT_EQ(reservations(), 1u);
    EXPECT_EQ(thumbnailStores(), 1u);
    expectPhotoPreview(jpeg);  // fetched back from the media service
    EXPECT_TRUE(journals().empty());
}

TEST_F(E2EEThumbnailGeneration, ANewSourceRevisionBeforeTheUploadIsAConflictThatKeepsTheStagedPreview) {
    const RemoteItem item = seedPhoto();
    std::atomic<bool> changed{false};
    setSessionHook([&] {
        const auto folders = journals();
        if (changed || folders.size() != 1 || !std::filesystem::exists(folders[0] / E2EEUploadJournal::kStateFileName) ||
            onlyJournalState().member("preview").isNull()) {
            return;
        }
        changed = true;
        // Another device commits a new revision of the photo.
        testing::E2EERecordBuilder::FileSpec spec;
        spec.nodeId = "photo-node";
        spec.name = "photo.jpg";
        spec.revisionId = "rev-photo-node-2";
        spec.previousGeneration = 1;
        spec.previousRevisionId = "rev-photo-node";
        spec.size = static_cast<std::int64_t>(photo.size());
        spec.mime = "image/jpeg";
        spec.embeddedGeneration.reset();
        const E2EEJSON record = builder.fileRecord(spec);
        seedFile(record.canonicalString());
        writeBlob(record, std::string(photo.begin(), photo.end()));
    });
    EXPECT_EQ(e2eeErrorOf([&] { client->fetchEncryptedThumbnail(item, {}); }), Case::conflict);
    setSessionHook(nullptr);
    EXPECT_TRUE(changed);
    EXPECT_EQ(reservations(), 0u);
    EXPECT_EQ(thumbnailStores(), 0u);
    ASSERT_EQ(journals().size(), 1u);
    EXPECT_EQ(filesIn(journals()[0]), (std::vector<std::string>{"operation.json", "preview.nbenc"}));
}

}  // namespace
}  // namespace nimbuscrate
