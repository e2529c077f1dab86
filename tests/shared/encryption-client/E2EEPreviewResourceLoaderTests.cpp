#include <gtest/gtest.h>

#include "platform/core/CancellationError.h"
#include "shared/encryption-client/E2EEPreviewResourceLoader.h"
#include "shared/encryption/E2EEError.h"
#include "tests/shared/encryption-client/EncryptedPreviewFixture.h"

namespace nimbuscrate::testing {
namespace {

const Bytes& plaintext() {
    static const Bytes bytes = [] {
        Bytes result(200'000);
        for (std::size_t i = 0; i < result.size(); ++i) result[i] = static_cast<std::uint8_t>(i * 31 + 7);
        return result;
    }();
    return bytes;
}

const EncryptedBlob& sealed() {
    static const EncryptedBlob blob = encryptInMemory(plaintext());
    return blob;
}

class E2EEPreviewResourceLoaderTest : public ::testing::Test {
protected:
    RecordingFetch fetch{sealed().blob};
    E2EEPreviewReader reader{sealed().file, E2EEPreviewReader::kThumbnailBudget, fetch.fetch()};

    // The lengths of the answers to a request from offset to the end.
    std::vector<std::size_t> answers(E2EEPreviewResourceLoader& loader, std::int64_t offset, std::size_t capacity) {
        std::vector<std::size_t> lengths;
        Bytes buffer(capacity);
        while (true) {
            const std::size_t count = loader.read(offset, buffer.data(), capacity, {});
            if (count == 0) return lengths;
            EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(count)),
                      Bytes(plaintext().begin() + offset, plaintext().begin() + offset + static_cast<std::ptrdiff_t>(count)));
            lengths.push_back(count);
            offset += static_cast<std::int64_t>(count);
        }
    }
};

TEST_F(E2EEPreviewResourceLoaderTest, AnswersComeInPiecesOfAtMost64KiBUpToTheSize) {
    E2EEPreviewResourceLoader loader(reader, 200'000, "video/mp4");
    EXPECT_EQ(loader.size(), 200'000);
    EXPECT_EQ(answers(loader, 0, 1 << 20), (std::vector<std::size_t>{65'536, 65'536, 65'536, 3'392}));
    // The segment is fetched once, however many pieces it gives.
    EXPECT_EQ(fetch.ranges().size(), 2u);
    EXPECT_EQ(answers(loader, 199'990, 4'096), (std::vector<std::size_t>{10}));
    EXPECT_EQ(answers(loader, 1'000, 500).front(), 500u);
    Bytes buffer(10);
    EXPECT_EQ(loader.read(200'000, buffer.data(), 10, {}), 0u);
    EXPECT_EQ(loader.read(300'000, buffer.data(), 10, {}), 0u);
}

TEST_F(E2EEPreviewResourceLoaderTest, UnknownTypesAreAnnouncedAsMPEG4Movies) {
    const std::pair<const char*, const char*> cases[] = {
        {"video/mp4", "video/mp4"},         {"video/webm", "video/webm"},   {"video/quicktime", "video/quicktime"},
        {"", "video/mp4"},                  {"video/x-unknown", "video/mp4"}, {"application/x-mpegurl", "video/mp4"},
    };
    for (const auto& [given, announced] : cases) {
        EXPECT_EQ(E2EEPreviewResourceLoader(reader, 200'000, given).contentType(), announced) << given;
    }
}

TEST_F(E2EEPreviewResourceLoaderTest, AfterCancellingOrAStopRequestNothingMoreIsRead) {
    Bytes buffer(100);
    {
        E2EEPreviewResourceLoader loader(reader, 200'000, "video/mp4");
        loader.cancelAllLoading();
        EXPECT_THROW(loader.read(0, buffer.data(), 100, {}), CancellationError);
    }
    E2EEPreviewResourceLoader loader(reader, 200'000, "video/mp4");
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(loader.read(0, buffer.data(), 100, stop.get_token()), CancellationError);
    EXPECT_TRUE(fetch.ranges().empty());
}

TEST_F(E2EEPreviewResourceLoaderTest, TheReadersErrorsPassThroughUnchanged) {
    E2EEPreviewReader poor(sealed().file, 100, fetch.fetch());
    E2EEPreviewResourceLoader loader(poor, 200'000, "video/mp4");
    Bytes buffer(100);
    try {
        loader.read(0, buffer.data(), 100, {});
        ADD_FAILURE() << "the budget was not enforced";
    } catch (const E2EEError& error) {
        EXPECT_EQ(error.kind(), E2EEError::Case::invalid);
    }
}

}  // namespace
}  // namespace nimbuscrate::testing
