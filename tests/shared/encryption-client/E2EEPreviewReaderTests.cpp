#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <stop_token>
#include <thread>

#include "platform/core/CancellationError.h"
#include "shared/encryption-client/E2EEPreviewReader.h"
#include "shared/encryption/CryptoError.h"
#include "shared/encryption/E2EEError.h"
#include "tests/shared/encryption-client/EncryptedPreviewFixture.h"

namespace nimbuscrate::testing {
namespace {

using Range = RecordingFetch::Range;
constexpr std::int64_t kFirst = 1'048'520;   // plaintext of segment 0
constexpr std::int64_t kLater = 1'048'560;   // plaintext of every later segment
constexpr std::int64_t kSegment = 1'048'576;  // ciphertext stride
constexpr std::int64_t kTag = 16;

// Five full segments and a short sixth: 1,048,520 + 4 × 1,048,560 + 1,000.
const std::int64_t kSize = kFirst + 4 * kLater + 1'000;

const Bytes& plaintext() {
    static const Bytes bytes = [] {
        Bytes result(static_cast<std::size_t>(kSize));
        std::uint32_t state = 7;
        for (auto& byte : result) {
            state = state * 1664525u + 1013904223u;
            byte = static_cast<std::uint8_t>(state >> 24);
        }
        return result;
    }();
    return bytes;
}

const EncryptedBlob& sealed() {
    static const EncryptedBlob blob = encryptInMemory(plaintext());
    return blob;
}

Bytes expected(std::int64_t offset, std::int64_t length) {
    return Bytes(plaintext().begin() + offset, plaintext().begin() + offset + length);
}

// The ciphertext range of segment i of the file above.
Range segment(std::int64_t index) {
    const std::int64_t start = index == 0 ? 40 : index * kSegment;
    const std::int64_t plain = index == 0 ? kFirst : (index == 5 ? 1'000 : kLater);
    return {start, start + plain + kTag};
}
const Range kHeader{0, 40};

template <typename Body>
E2EEError::Case e2eeErrorOf(Body&& body) {
    try {
        body();
    } catch (const E2EEError& error) {
        return error.kind();
    }
    ADD_FAILURE() << "no E2EEError";
    return E2EEError::Case::sessionChanged;
}

class E2EEPreviewReaderTest : public ::testing::Test {
protected:
    E2EEPreviewReader makeReader(std::int64_t limit = E2EEPreviewReader::kThumbnailBudget) {
        return E2EEPreviewReader(sealed().file, limit, fetch.fetch());
    }
    RecordingFetch fetch{sealed().blob};
};

TEST_F(E2EEPreviewReaderTest, ThePlaintextSizeComesFromValidMetadata) {
    E2EEPreviewReader reader = makeReader();
    EXPECT_EQ(reader.size(), kSize);
    for (const E2EEJSON& size : {E2EEJSON(), E2EEJSON(-1), E2EEJSON("12"), E2EEJSON(E2EEJSON::kMaxSafeInteger + 1)}) {
        E2EECrypto::File file = sealed().file;
        file.metadata = E2EEJSON::object({{"size", size}});
        EXPECT_EQ(e2eeErrorOf([&] { E2EEPreviewReader(file, 100, fetch.fetch()); }), E2EEError::Case::invalid)
            << size.canonicalString();
    }
}

TEST_F(E2EEPreviewReaderTest, RangesOutsideTheFileFailAndEmptyReadsFetchNothing) {
    E2EEPreviewReader reader = makeReader();
    EXPECT_TRUE(reader.read(kSize, 0).empty());
    EXPECT_TRUE(reader.read(0, 0).empty());
    const std::pair<std::int64_t, std::int64_t> refused[] = {{0, kSize + 1}, {kSize, 1}, {-1, 1}, {0, -1}, {kSize + 1, 0}};
    for (const auto& [offset, length] : refused) {
        EXPECT_EQ(e2eeErrorOf([&] { reader.read(offset, length); }), E2EEError::Case::invalid)
            << offset << " +" << length;
    }
    EXPECT_TRUE(fetch.ranges().empty());
    EXPECT_EQ(reader.transferred(), 0);
}

TEST_F(E2EEPreviewReaderTest, PositionsMapToTheirSegmentsAtEveryBoundary) {
    const std::pair<std::int64_t, std::int64_t> cases[] = {
        {0, 0}, {kFirst - 1, 0}, {kFirst, 1}, {kFirst + kLater - 1, 1}, {kFirst + kLater, 2},
        {kFirst + 4 * kLater, 5}, {kSize - 1, 5},
    };
    for (const auto& [position, index] : cases) {
        EXPECT_EQ(E2EEPreviewReader::segmentIndex(position), index) << position;
    }
    E2EEPreviewReader reader = makeReader();
    for (const auto& [position, index] : cases) {
        SCOPED_TRACE(position);
        EXPECT_EQ(reader.read(position, 1), expected(position, 1));
    }
}

TEST_F(E2EEPreviewReaderTest, TheHeaderComesFirstAndIsChargedOnce) {
    E2EEPreviewReader reader = makeReader();
    EXPECT_EQ(reader.read(10, 5), expected(10, 5));
    EXPECT_EQ(reader.read(kFirst + 3, 4), expected(kFirst + 3, 4));
    EXPECT_EQ(fetch.ranges(), (std::vector<Range>{kHeader, segment(0), segment(1)}));
    EXPECT_EQ(reader.transferred(), 40 + (kFirst + kTag) + (kLater + kTag));
}

TEST_F(E2EEPreviewReaderTest, AReadAcrossASegmentBoundaryFetchesBothSegments) {
    E2EEPreviewReader reader = makeReader();
    EXPECT_EQ(reader.read(1'048'510, 20), expected(1'048'510, 20));
    EXPECT_EQ(fetch.ranges(), (std::vector<Range>{kHeader, Range{40, kSegment}, Range{kSegment, kSegment + kLater + kTag}}));
    // The short last segment is fetched up to its end only.
    fetch.clear();
    EXPECT_EQ(reader.read(kSize - 1'010, 1'010), expected(kSize - 1'010, 1'010));
    EXPECT_EQ(fetch.ranges(), (std::vector<Range>{segment(4), segment(5)}));
    EXPECT_EQ(segment(5).upperBound, static_cast<std::int64_t>(sealed().blob.size()));
}

TEST_F(E2EEPreviewReaderTest, TheCacheKeepsTheLastFourSegmentsInTheOrderTheyCameIn) {
    E2EEPreviewReader reader = makeReader();
    const auto startOf = [](std::int64_t index) { return index == 0 ? 0 : kFirst + (index - 1) * kLater; };
    for (std::int64_t index = 0; index < 4; ++index) reader.read(startOf(index), 1);
    EXPECT_EQ(reader.cachedSegments(), (std::vector<std::int64_t>{0, 1, 2, 3}));

    // A hit neither fetches nor moves segment 0 up.
    fetch.clear();
    EXPECT_EQ(reader.read(startOf(0) + 100, 10), expected(startOf(0) + 100, 10));
    EXPECT_TRUE(fetch.ranges().empty());
    EXPECT_EQ(reader.cachedSegments(), (std::vector<std::int64_t>{0, 1, 2, 3}));

    reader.read(startOf(4), 1);
    EXPECT_EQ(reader.cachedSegments(), (std::vector<std::int64_t>{1, 2, 3, 4}));
    const std::int64_t before = reader.transferred();
    fetch.clear();
    EXPECT_EQ(reader.read(startOf(0), 3), expected(0, 3));
    EXPECT_EQ(fetch.ranges(), (std::vector<Range>{segment(0)}));
    EXPECT_EQ(reader.transferred(), before + kFirst + kTag);
    EXPECT_EQ(reader.cachedSegments(), (std::vector<std::int64_t>{2, 3, 4, 0}));
}

TEST_F(E2EEPreviewReaderTest, TheBudgetIsChargedBeforeEachFetchAndAFetchPastItIsNeverMade) {
    {
        E2EEPreviewReader reader = makeReader(100);
        EXPECT_EQ(e2eeErrorOf([&] { reader.read(0, 1); }), E2EEError::Case::invalid);
        EXPECT_EQ(fetch.ranges(), (std::vector<Range>{kHeader}));
        EXPECT_EQ(reader.transferred(), 40);
    }
    // Exactly the budget is allowed; a byte less is not.
    const std::int64_t exact = 40 + kFirst + kTag;
    fetch.clear();
    E2EEPreviewReader enough = makeReader(exact);
    EXPECT_EQ(enough.read(5, 5), expected(5, 5));
    EXPECT_EQ(enough.transferred(), exact);
    // Spent: further fetches fail without traffic, cached bytes still read.
    fetch.clear();
    EXPECT_EQ(e2eeErrorOf([&] { enough.read(kFirst, 1); }), E2EEError::Case::invalid);
    EXPECT_TRUE(fetch.ranges().empty());
    EXPECT_EQ(enough.read(7, 2), expected(7, 2));

    fetch.clear();
    E2EEPreviewReader short1 = makeReader(exact - 1);
    EXPECT_EQ(e2eeErrorOf([&] { short1.read(5, 5); }), E2EEError::Case::invalid);
    EXPECT_EQ(fetch.ranges(), (std::vector<Range>{kHeader}));
}

TEST_F(E2EEPreviewReaderTest, AFailedFetchStaysChargedAndItsErrorPassesThrough) {
    struct TransportDown {};
    E2EEPreviewReader reader = makeReader();
    fetch.replyWith([](Range, const Bytes&) -> Bytes { throw TransportDown(); });
    EXPECT_THROW(reader.read(0, 1), TransportDown);
    EXPECT_EQ(reader.transferred(), 40);
    fetch.replyWith({});
    EXPECT_EQ(reader.read(0, 1), expected(0, 1));
    EXPECT_EQ(reader.transferred(), 40 + 40 + kFirst + kTag);
}

TEST_F(E2EEPreviewReaderTest, ABadHeaderIsRefusedAndFetchedAgainByTheNextRead) {
    E2EEPreviewReader reader = makeReader();
    fetch.replyWith([](Range range, const Bytes& blob) {
        Bytes bytes(blob.begin() + range.lowerBound, blob.begin() + range.upperBound);
        if (range.lowerBound == 0) bytes[0] = 0x29;
        return bytes;
    });
    EXPECT_EQ(e2eeErrorOf([&] { reader.read(0, 1); }), E2EEError::Case::invalid);
    fetch.replyWith({});
    EXPECT_EQ(reader.read(0, 1), expected(0, 1));
    EXPECT_EQ(fetch.ranges(), (std::vector<Range>{kHeader, kHeader, segment(0)}));
    EXPECT_EQ(reader.transferred(), 80 + kFirst + kTag);
}

TEST_F(E2EEPreviewReaderTest, WrongLengthsAndTamperedSegmentsAreRefusedAndNotCached) {
    E2EEPreviewReader reader = makeReader();
    reader.read(0, 1);  // header and segment 0
    fetch.replyWith([](Range range, const Bytes& blob) {
        return Bytes(blob.begin() + range.lowerBound, blob.begin() + range.upperBound - 1);
    });
    EXPECT_EQ(e2eeErrorOf([&] { reader.read(kFirst, 1); }), E2EEError::Case::invalid);
    fetch.replyWith([](Range range, const Bytes& blob) {
        Bytes bytes(blob.begin() + range.lowerBound, blob.begin() + range.upperBound);
        bytes[100] ^= 1;
        return bytes;
    });
    try {
        reader.read(kFirst, 1);
        ADD_FAILURE() << "a tampered segment was read";
    } catch (const CryptoError& error) {
        EXPECT_EQ(error.kind(), CryptoError::Kind::authenticationFailure);
    }
    EXPECT_EQ(reader.cachedSegments(), (std::vector<std::int64_t>{0}));
}

TEST_F(E2EEPreviewReaderTest, AStopRequestEndsTheReadBeforeAnyFetch) {
    E2EEPreviewReader reader = makeReader();
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(reader.read(0, 1, stop.get_token()), CancellationError);
    EXPECT_TRUE(fetch.ranges().empty());
    EXPECT_EQ(reader.transferred(), 0);
}

TEST_F(E2EEPreviewReaderTest, ConcurrentReadsGetTheirBytesAndTheCacheKeepsItsBound) {
    E2EEPreviewReader reader = makeReader(1'000'000'000);
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 6; ++i) {
                const std::int64_t offset = ((t + i) % 6) * kLater + 17;
                const std::int64_t length = std::min<std::int64_t>(70'000, kSize - offset);
                if (reader.read(offset, length) != expected(offset, length)) ++wrong;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    const std::vector<std::int64_t> cached = reader.cachedSegments();
    EXPECT_LE(cached.size(), E2EEPreviewReader::kCachedSegments);
    EXPECT_EQ(std::set<std::int64_t>(cached.begin(), cached.end()).size(), cached.size());
    EXPECT_EQ(reader.transferred(), fetch.bytesFetched());
}

}  // namespace
}  // namespace nimbuscrate::testing
