// The commit of new contents with the process's own preview renderer: a
// committed image or video carries its real preview, sealed, as its node's
// thumbnail, and other files carry none.
#include <gtest/gtest.h>

#include "shared/encryption-client/E2EEThumbnail.h"
#include "tests/shared/encryption-client/E2EECommitFixture.h"
#include "tests/support/MediaFixtures.h"
#include "tests/support/TemporaryDirectory.h"

namespace nimbuscrate {
namespace {

class E2EECommitPreview : public testing::E2EECommitFixture {
protected:
    void SetUp() override {
        E2EECommitFixture::SetUp();
        if (IsSkipped()) return;
        // The fixture's client renders stand-ins; this one renders for real.
        E2EEClient::Services services{HttpTransport::shared(), credentials(), *mapping, clock,
                                      accountAPIURL(), stateDirectory, 1};
        services.temporaryDirectory = temporary;
        client = std::make_unique<E2EEClient>(std::move(services));
    }

    // The stored thumbnail of a committed item, decoded by the command line.
    testing::Pixels thumbnailOf(const RemoteItem& item) {
        const std::optional<Bytes> jpeg = client->fetchEncryptedThumbnail(item, {});
        if (!jpeg) {
            ADD_FAILURE() << "no thumbnail for " << item.name;
            return {};
        }
        const std::optional<testing::Pixels> pixels = testing::decodeWithVips(*jpeg, scratch.path());
        if (!pixels) ADD_FAILURE() << "the thumbnail of " << item.name << " is no JPEG";
        return pixels.value_or(testing::Pixels{});
    }

    testing::TemporaryDirectory scratch;
};

TEST_F(E2EECommitPreview, ACommittedPhotoCarriesItsUprightPreview) {
    // 1200 × 600, red left, blue right, shown turned a quarter clockwise.
    const std::filesystem::path ppm = scratch / "photo.ppm";
    testing::writePPM(ppm, 1200, 600, [](int x, int) { return testing::redLeftBlueRight(x, 1200); });
    const std::filesystem::path stored = scratch / "stored.jpg";
    ASSERT_TRUE(testing::runCommand("vips copy " + testing::shellQuoted(ppm.string()) + " " +
                                    testing::shellQuoted(stored.string() + "[Q=90]")));
    const std::filesystem::path photo = scratch / "photo.jpg";
    testing::writeBytes(photo, testing::withExifOrientation(testing::readBytes(stored), 6));

    const RemoteItem item = create("photo.jpg", photo);
    EXPECT_EQ(thumbnailStores(), 1u);
    const testing::Pixels pixels = thumbnailOf(item);
    EXPECT_EQ(pixels.width, 256);
    EXPECT_EQ(pixels.height, 512);
    if (pixels.width == 256) {
        EXPECT_TRUE(testing::near(pixels.at(128, 64), testing::kRed));
        EXPECT_TRUE(testing::near(pixels.at(128, 448), testing::kBlue));
    }
    client->refreshSnapshot(true);
    const E2EECrypto::File preview =
        E2EECrypto::openFile(builder.keys(), client->nodeRecord(item).member("thumbnailEntry").member("manifest"));
    EXPECT_EQ(preview.metadata.member("thumbnail").member("width"), E2EEJSON(256));
    EXPECT_EQ(preview.metadata.member("thumbnail").member("height"), E2EEJSON(512));
}

TEST_F(E2EECommitPreview, ACommittedMovieCarriesItsUprightFirstFrame) {
    const std::filesystem::path plain = scratch / "plain.mp4";
    const std::filesystem::path movie = scratch / "clip.mp4";
    ASSERT_TRUE(testing::makeVideo(plain));
    ASSERT_TRUE(testing::withRotation(plain, movie, 90));
    const std::optional<testing::Pixels> reference = testing::firstFrameByCommandLine(movie, scratch.path());
    ASSERT_TRUE(reference);

    const RemoteItem item = create("clip.mp4", movie);
    EXPECT_EQ(thumbnailStores(), 1u);
    const testing::Pixels pixels = thumbnailOf(item);
    EXPECT_EQ(pixels.width, reference->width);
    EXPECT_EQ(pixels.height, reference->height);
    if (pixels.width == reference->width && pixels.height == reference->height) {
        for (const int y : {20, 300}) EXPECT_TRUE(testing::near(pixels.at(80, y), reference->at(80, y))) << y;
    }
}

TEST_F(E2EECommitPreview, OtherFilesAndUndecodableMediaCommitWithoutAPreview) {
    const RemoteItem text = create("notes.txt", source("plain words", "notes.txt"));
    const RemoteItem broken = create("broken.png", source("not a picture at all", "broken.png"));
    EXPECT_EQ(thumbnailStores(), 0u);
    EXPECT_FALSE(client->fetchEncryptedThumbnail(text, {}));
    EXPECT_FALSE(client->fetchEncryptedThumbnail(broken, {}));
}

}  // namespace
}  // namespace nimbuscrate
