// Previews of encrypted media read through the client's ranged reads of
// blobs on the local service: only ranges cross the network, and nothing of
// the plaintext is written to disk.
#include <gtest/gtest.h>

#include "shared/encryption-client/E2EEThumbnail.h"
#include "tests/shared/encryption-client/E2EEDownloadFixture.h"
#include "tests/support/MediaFixtures.h"
#include "tests/support/TemporaryDirectory.h"

namespace nimbuscrate {
namespace {

using testing::kWebAppHost;

class E2EEClientPreview : public testing::E2EEDownloadFixture {
protected:
    // Seeds the bytes as an encrypted file and previews it through a
    // reader over the client's ranged reads.
    std::optional<E2EEThumbnail::Preview> previewOfSeeded(const Bytes& bytes, const std::string& mime,
                                                          std::int64_t budget = E2EEPreviewReader::kThumbnailBudget) {
        const E2EEJSON record = seedEncryptedFile("node-" + std::to_string(++seeded),
                                                  std::string(bytes.begin(), bytes.end()), "media.bin", mime);
        client->loadAccount();
        const E2EECrypto::File file = open(record);
        E2EEPreviewReader reader(file, budget, client->encryptedRangeFetch(client->blobURL(record), file,
                                                                           *session.sessionID));
        service.requests().clear();
        return E2EEThumbnail::makePreview(reader, static_cast<std::int64_t>(bytes.size()), mime);
    }

    int seeded = 0;
    testing::TemporaryDirectory scratch;
};

TEST_F(E2EEClientPreview, ARotatedMovieWithItsIndexAtTheEndGivesItsUprightFirstFrame) {
    const std::filesystem::path plain = scratch / "plain.mp4";
    const std::filesystem::path movie = scratch / "rotated.mp4";
    ASSERT_TRUE(testing::makeVideo(plain));
    ASSERT_TRUE(testing::withRotation(plain, movie, 90));
    const Bytes bytes = testing::readBytes(movie);
    ASSERT_TRUE(testing::indexAtTheEnd(bytes));
    const std::optional<testing::Pixels> reference = testing::firstFrameByCommandLine(movie, scratch.path());
    ASSERT_TRUE(reference);

    const std::optional<E2EEThumbnail::Preview> preview = previewOfSeeded(bytes, "video/mp4");
    ASSERT_TRUE(preview);
    EXPECT_EQ(preview->width, reference->width);
    EXPECT_EQ(preview->height, reference->height);
    const std::optional<testing::Pixels> pixels = testing::decodeWithVips(preview->bytes, scratch.path());
    ASSERT_TRUE(pixels);
    for (const int y : {20, 300}) {
        EXPECT_TRUE(testing::near(pixels->at(80, y), reference->at(80, y))) << y;
    }
    // Every blob request was a range request.
    const auto requests = requestsTo(kWebAppHost);
    ASSERT_FALSE(requests.empty());
    for (const auto& request : requests) EXPECT_TRUE(request.header("Range").starts_with("bytes=")) << request.path;
}

TEST_F(E2EEClientPreview, ASpentBudgetIsTheReadersErrorAndFetchesNothingMore) {
    const std::filesystem::path movie = scratch / "movie.mp4";
    ASSERT_TRUE(testing::makeVideo(movie));
    try {
        previewOfSeeded(testing::readBytes(movie), "video/mp4", 100);
        ADD_FAILURE() << "a spent budget gave no error";
    } catch (const E2EEError& error) {
        EXPECT_EQ(error.kind(), E2EEError::Case::invalid);
    }
    // The header only: the segment was refused before it was asked for.
    const auto requests = requestsTo(kWebAppHost);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].header("Range"), "bytes=0-39");
}

}  // namespace
}  // namespace nimbuscrate
