#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include <openssl/sha.h>
#include <sys/stat.h>

#include "platform/core/CancellationError.h"
#include "platform/core/PlatformError.h"
#include "shared/encryption/CryptoError.h"
#include "shared/encryption/E2EECrypto.h"
#include "shared/encryption/E2EEError.h"
#include "shared/encryption/FileHandle.h"
#include "shared/encryption/SegmentedStream.h"
#include "tests/shared/encryption/Fixtures.h"
#include "tests/shared/encryption/TempDirectory.h"

namespace nimbuscrate {
namespace {

using testing::expectAuthenticationFailure;
using testing::expectInvalid;
using testing::fixture;
using testing::fromHex;
using testing::readFile;
using testing::TempDirectory;
using testing::toHex;
using testing::writeFile;

constexpr std::int64_t kSeg = E2EECrypto::kSegmentLength;

// The deterministic plaintext of the reference fixtures.
Bytes plaintext(std::int64_t size) {
    Bytes data(static_cast<std::size_t>(size));
    for (std::int64_t i = 0; i < size; ++i) data[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i * 131 + (i >> 11));
    return data;
}

std::string sha256Hex(const Bytes& data) {
    std::uint8_t digest[SHA256_DIGEST_LENGTH];
    SHA256(data.data(), data.size(), digest);
    return toHex(digest, sizeof digest);
}

E2EECrypto::File fileOf(const nlohmann::json& vectors, std::int64_t size) {
    E2EECrypto::File file;
    file.metadata = E2EEJSON::object({{"size", size}});
    const Bytes key = fromHex(vectors["key"]);
    file.key = SecretBytes(key.begin(), key.end());
    file.aad = bytesOf(vectors["aad"].get<std::string>());
    return file;
}

TEST(encryption_SegmentedFormat, CiphertextLengthAtTheBoundaries) {
    const std::vector<std::pair<std::int64_t, std::int64_t>> cases = {
        {0, 56}, {1, 57}, {1048520, 1048576}, {1048521, 1048593}, {2097080, 2097152},
        {262144, 262200}, {1000000000000LL, 1000015259064LL},
    };
    for (const auto& [size, length] : cases) EXPECT_EQ(E2EECrypto::ciphertextLength(size), length) << size;
    expectInvalid([] { E2EECrypto::ciphertextLength(1000000000001LL); });
    expectInvalid([] { E2EECrypto::ciphertextLength(-1); });
}

TEST(encryption_SegmentedFormat, SegmentRangesAndNonces) {
    using R = E2EECrypto::SegmentRange;
    EXPECT_EQ(E2EECrypto::segmentRange(0, 0), (R{0, 0, true}));
    EXPECT_EQ(E2EECrypto::segmentRange(1, 1048521), (R{1048520, 1048521, true}));
    EXPECT_EQ(E2EECrypto::segmentRange(0, 1048521), (R{0, 1048520, false}));
    EXPECT_EQ(E2EECrypto::segmentRange(1, 2097080), (R{1048520, 2097080, true}));
    expectInvalid([] { E2EECrypto::segmentRange(1, 1048520); });
    expectInvalid([] { E2EECrypto::segmentRange(-1, 10); });
    expectInvalid([] { E2EECrypto::segmentRange(0, 1000000000001LL); });

    Bytes header(40, 0);
    header[0] = 0x28;
    for (int i = 33; i < 40; ++i) header[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(toHex(E2EECrypto::segmentNonce(header, 5, false)), "21222324252627" "00000005" "00");
    EXPECT_EQ(toHex(E2EECrypto::segmentNonce(header, 9, true)), "21222324252627" "00000009" "01");
    const Bytes prefix(header.begin() + 33, header.end());
    EXPECT_EQ(E2EECrypto::segmentNonce(prefix, 9, true), E2EECrypto::segmentNonce(header, 9, true));
    EXPECT_EQ(E2EECrypto::segmentNonce(header, 9, true).size(), 12u);
}

TEST(encryption_SegmentedFormat, TransformSegmentChecksItsInputs) {
    const Bytes key(32, 1), nonce(12, 2);
    const auto sealed = E2EECrypto::transformSegment(true, key, nonce, bytesOf("abc"), {});
    EXPECT_EQ(sealed.size(), 19u);
    const auto opened = E2EECrypto::transformSegment(false, key, nonce, sealed, {});
    EXPECT_EQ(stringOf(Bytes(opened.begin(), opened.end())), "abc");
    expectInvalid([&] { E2EECrypto::transformSegment(true, Bytes(31, 1), nonce, sealed, {}); });
    expectInvalid([&] { E2EECrypto::transformSegment(true, key, Bytes(11, 1), sealed, {}); });
    expectInvalid([&] { E2EECrypto::transformSegment(false, key, nonce, Bytes(15, 0), {}); });
    expectAuthenticationFailure([&] { E2EECrypto::transformSegment(false, key, nonce, sealed, bytesOf("x")); },
                                "associated data");
}

class encryption_SegmentedFile : public ::testing::Test {
protected:
    void SetUp() override { vectors_ = fixture("segmented.json"); }

    E2EECrypto::File file(std::int64_t size) const { return fileOf(vectors_, size); }

    // Encrypts the reference plaintext of size bytes with a random header.
    Bytes encrypted(std::int64_t size) {
        writeFile(dir_ / "plain", plaintext(size));
        E2EECrypto::transformFile(dir_ / "plain", dir_ / "stream", file(size), true);
        return readFile(dir_ / "stream");
    }

    // Decrypting stream as a file of size bytes must fail and leave no output.
    void expectRefused(const Bytes& stream, std::int64_t size, bool authentication, const std::string& label) {
        writeFile(dir_ / "tampered", stream);
        auto run = [&] { E2EECrypto::transformFile(dir_ / "tampered", dir_ / "out", file(size), false); };
        if (authentication) {
            expectAuthenticationFailure(run, label);
        } else {
            expectInvalid(run, label);
        }
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir_ / "out"))) << label;
    }

    // Decrypts "stream" (the reference plaintext of size bytes) into "out"
    // while a second thread waits until the start of the plaintext shows in
    // "out", runs atBegun and then requests the stop, so the stop comes while
    // the conversion is under way. Returns true when that stop cancelled the
    // conversion, false when the conversion ended first.
    bool decryptStoppedOnceOutputBegins(std::int64_t size, const std::function<void()>& atBegun) {
        // Bytes 1 to 63 of the plaintext are not zero, so space the
        // destination has reserved but not yet written never matches.
        const Bytes expectedStart = plaintext(64);
        std::stop_source stop;
        std::jthread watcher([&](std::stop_token conversionEnded) {
            while (!conversionEnded.stop_requested()) {
                std::ifstream out(dir_ / "out", std::ios::binary);
                Bytes start(expectedStart.size());
                out.read(reinterpret_cast<char*>(start.data()), static_cast<std::streamsize>(start.size()));
                if (out.gcount() == static_cast<std::streamsize>(start.size()) && start == expectedStart) {
                    atBegun();
                    stop.request_stop();
                    return;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
        });
        bool cancelled = false;
        try {
            E2EECrypto::transformFile(dir_ / "stream", dir_ / "out", file(size), false, stop.get_token());
        } catch (const CancellationError&) {
            cancelled = true;
        }
        watcher.request_stop();
        watcher.join();
        return cancelled;
    }

    nlohmann::json vectors_;
    TempDirectory dir_;
};

TEST_F(encryption_SegmentedFile, ReferenceStreamsMatchByteForByte) {
    const Bytes header = fromHex(vectors_["header"]);
    for (const auto& item : vectors_["streams"]) {
        const std::int64_t size = item["size"];
        const Bytes data = plaintext(size);
        ASSERT_EQ(sha256Hex(data), item["plaintextSHA256"]) << size;
        writeFile(dir_ / "plain", data);
        segmented::transformFile(dir_ / "plain", dir_ / "stream", file(size), true, header, {});
        const Bytes stream = readFile(dir_ / "stream");
        EXPECT_EQ(static_cast<std::int64_t>(stream.size()), item["ciphertextLength"].get<std::int64_t>()) << size;
        EXPECT_EQ(E2EECrypto::ciphertextLength(size), item["ciphertextLength"].get<std::int64_t>()) << size;
        EXPECT_EQ(sha256Hex(stream), item["streamSHA256"]) << size;
        if (item.contains("stream")) {
            EXPECT_EQ(toHex(stream), item["stream"]) << size;
            writeFile(dir_ / "reference", fromHex(item["stream"]));
        } else {
            writeFile(dir_ / "reference", stream);  // proven equal to the reference by its digest
        }
        E2EECrypto::transformFile(dir_ / "reference", dir_ / "opened", file(size), false);
        EXPECT_EQ(sha256Hex(readFile(dir_ / "opened")), item["plaintextSHA256"]) << size;
    }
}

TEST_F(encryption_SegmentedFile, SmallPayloadMatchesTheReference) {
    const auto& small = vectors_["smallPayload"];
    const Bytes data = plaintext(small["size"]);
    const Bytes sealed = segmented::sealSmallPayload(data, file(1000), fromHex(vectors_["header"]));
    EXPECT_EQ(toHex(sealed), small["payload"]);
    EXPECT_EQ(sealed.size(), 1056u);
    const auto opened = E2EECrypto::openSmallPayload(fromHex(small["payload"]), file(1000));
    EXPECT_EQ(toHex(opened), toHex(data));

    const Bytes random = E2EECrypto::sealSmallPayload(data, file(1000));
    EXPECT_EQ(random.size(), 1056u);
    EXPECT_NE(random, sealed) << "a fresh header for every payload";
    EXPECT_EQ(toHex(E2EECrypto::openSmallPayload(random, file(1000))), toHex(data));
}

TEST_F(encryption_SegmentedFile, SmallPayloadRefusals) {
    expectInvalid([&] { E2EECrypto::sealSmallPayload(Bytes(), file(0)); }, "empty");
    expectInvalid([&] { E2EECrypto::sealSmallPayload(Bytes(262145, 1), file(262145)); }, "262,145 bytes");
    expectInvalid([&] { E2EECrypto::sealSmallPayload(Bytes(10, 1), file(11)); }, "size differs");
    E2EECrypto::File noSize = file(10);
    noSize.metadata = E2EEJSON::object();
    expectInvalid([&] { E2EECrypto::sealSmallPayload(Bytes(10, 1), noSize); }, "no size");
    EXPECT_EQ(E2EECrypto::sealSmallPayload(Bytes(262144, 1), file(262144)).size(), 262200u);

    const Bytes sealed = E2EECrypto::sealSmallPayload(Bytes(100, 7), file(100));
    expectInvalid([&] { E2EECrypto::openSmallPayload(sealed, file(99)); }, "wrong length");
    expectInvalid([&] { E2EECrypto::openSmallPayload(Bytes(56, 0x28), file(0)); }, "size 0");
    expectInvalid([&] { E2EECrypto::openSmallPayload(Bytes(262145 + 56, 0x28), file(262145)); }, "too large");
    Bytes badHeader = sealed;
    badHeader[0] = 0x29;
    expectInvalid([&] { E2EECrypto::openSmallPayload(badHeader, file(100)); }, "header byte");
    for (const std::size_t offset : {std::size_t{1}, std::size_t{33}, std::size_t{39}, std::size_t{40}, sealed.size() - 1}) {
        Bytes tampered = sealed;
        tampered[offset] ^= 0x01;
        expectAuthenticationFailure([&] { E2EECrypto::openSmallPayload(tampered, file(100)); },
                                    "byte " + std::to_string(offset));
    }
}

TEST_F(encryption_SegmentedFile, EmptyFileAndPermissions) {
    const Bytes stream = encrypted(0);
    EXPECT_EQ(stream.size(), 56u);
    EXPECT_EQ(std::filesystem::status(dir_ / "stream").permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    E2EECrypto::transformFile(dir_ / "stream", dir_ / "opened", file(0), false);
    EXPECT_EQ(std::filesystem::file_size(dir_ / "opened"), 0u);
    EXPECT_EQ(std::filesystem::status(dir_ / "opened").permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST_F(encryption_SegmentedFile, TamperedStreamsFailAndLeaveNoOutput) {
    // Four segments; segments 1 and 2 are full.
    const std::int64_t size = 3 * E2EECrypto::kSegmentPlaintext - 40 + 500;
    const Bytes stream = encrypted(size);
    ASSERT_EQ(static_cast<std::int64_t>(stream.size()), E2EECrypto::ciphertextLength(size));
    const auto cut = [&](std::int64_t length) { return Bytes(stream.begin(), stream.begin() + length); };
    auto flipped = [&](std::size_t offset) {
        Bytes copy = stream;
        copy[offset] ^= 0x80;
        return copy;
    };

    // Length problems are refused before any output exists.
    expectRefused(cut(static_cast<std::int64_t>(stream.size()) - 1), size, false, "one byte too few");
    Bytes longer = stream;
    longer.push_back(0);
    expectRefused(longer, size, false, "one byte too many");
    expectRefused(flipped(0), size, false, "header length byte");

    // Truncated at a segment boundary: what is left passes the length test
    // for a smaller size but its last segment was sealed as not last.
    expectRefused(cut(kSeg), E2EECrypto::kFirstSegmentPlaintext, true, "cut after segment 0");
    expectRefused(cut(3 * kSeg), 3 * E2EECrypto::kSegmentPlaintext - 40, true, "last segment missing");
    // Cut inside a segment, again with a size that matches the length.
    expectRefused(cut(2 * kSeg + 1000), 2 * E2EECrypto::kSegmentPlaintext - 40 + 1000 - 16, true,
                  "cut between segment boundaries");

    expectRefused(flipped(1), size, true, "salt");
    expectRefused(flipped(32), size, true, "salt, last byte");
    expectRefused(flipped(33), size, true, "nonce prefix");
    expectRefused(flipped(39), size, true, "nonce prefix, last byte");
    expectRefused(flipped(40), size, true, "segment 0 ciphertext");
    expectRefused(flipped(static_cast<std::size_t>(2 * kSeg - 1)), size, true, "segment 1 tag");
    expectRefused(flipped(stream.size() - 1), size, true, "last tag");

    // Segments 1 and 2 swapped.
    Bytes swapped = stream;
    std::copy(stream.begin() + kSeg, stream.begin() + 2 * kSeg, swapped.begin() + 2 * kSeg);
    std::copy(stream.begin() + 2 * kSeg, stream.begin() + 3 * kSeg, swapped.begin() + kSeg);
    expectRefused(swapped, size, true, "segments swapped");

    // Segment 1 spliced in from another stream of the same file key.
    const Bytes other = encrypted(size);
    Bytes spliced = stream;
    std::copy(other.begin() + kSeg, other.begin() + 2 * kSeg, spliced.begin() + kSeg);
    expectRefused(spliced, size, true, "segment spliced from another stream");

    // A wrong size for the same stream fails the length test.
    const Bytes two = encrypted(2097080);
    ASSERT_EQ(two.size(), 2097152u);
    expectRefused(two, 1048520, false, "two segments read as one");
    expectRefused(Bytes(two.begin(), two.begin() + kSeg), 1048520, true, "first of two segments alone");
}

TEST_F(encryption_SegmentedFile, WrongKeyOrAssociatedDataFails) {
    const Bytes stream = encrypted(5000);
    writeFile(dir_ / "in", stream);
    E2EECrypto::File other = file(5000);
    other.aad = E2EECrypto::associatedData("acct_1", "node-1", "rev-2", "content");
    expectAuthenticationFailure([&] { E2EECrypto::transformFile(dir_ / "in", dir_ / "out", other, false); }, "aad");
    other = file(5000);
    other.key[0] ^= 1;
    expectAuthenticationFailure([&] { E2EECrypto::transformFile(dir_ / "in", dir_ / "out", other, false); }, "key");
    EXPECT_FALSE(std::filesystem::exists(dir_ / "out"));
}

TEST_F(encryption_SegmentedFile, MetadataWithoutValidSizeFailsBeforeOpening) {
    for (const E2EEJSON& metadata : {E2EEJSON(nullptr), E2EEJSON::object(), E2EEJSON::object({{"size", -1}}),
                                     E2EEJSON::object({{"size", "10"}}),
                                     E2EEJSON::object({{"size", 1000000000001LL}})}) {
        E2EECrypto::File bad = file(0);
        bad.metadata = metadata;
        // The source does not exist: a refusal here shows nothing was opened.
        expectInvalid([&] { E2EECrypto::transformFile(dir_ / "missing", dir_ / "out", bad, true); });
    }
    EXPECT_THROW(E2EECrypto::transformFile(dir_ / "missing", dir_ / "out", file(0), true), PlatformError);
}

TEST_F(encryption_SegmentedFile, CancellationLeavesNoOutput) {
    writeFile(dir_ / "plain", plaintext(3 * kSeg));
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(E2EECrypto::transformFile(dir_ / "plain", dir_ / "out", file(3 * kSeg), true, stop.get_token()),
                 CancellationError);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "out"));
}

TEST_F(encryption_SegmentedFile, CancellationDuringAConversionLeavesNoOutput) {
    const std::int64_t size = 16 * kSeg;
    encrypted(size);
    // The conversion may end before the second thread sees its output; each
    // such attempt is simply made again.
    bool cancelled = false;
    for (int attempt = 0; attempt < 20 && !cancelled; ++attempt) {
        std::filesystem::remove(dir_ / "out");
        cancelled = decryptStoppedOnceOutputBegins(size, [] {});
    }
    ASSERT_TRUE(cancelled) << "every conversion ended before its stop request was seen";
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir_ / "out")));
}

TEST_F(encryption_SegmentedFile, AStoppedConversionRemovesOnlyTheFileItCreated) {
    const std::int64_t size = 16 * kSeg;
    encrypted(size);
    bool cancelled = false;
    for (int attempt = 0; attempt < 20 && !cancelled; ++attempt) {
        std::filesystem::remove(dir_ / "out");
        std::filesystem::remove(dir_ / "moved");
        cancelled = decryptStoppedOnceOutputBegins(size, [&] {
            // Another program moves the partial output away and puts its own file at the path.
            std::filesystem::rename(dir_ / "out", dir_ / "moved");
            writeFile(dir_ / "out", bytesOf("another program's file"));
        });
    }
    ASSERT_TRUE(cancelled) << "every conversion ended before its stop request was seen";
    EXPECT_EQ(stringOf(readFile(dir_ / "out")), "another program's file");
}

TEST_F(encryption_SegmentedFile, DestinationIsAlwaysANewPrivateFile) {
    const Bytes data = plaintext(3000);
    writeFile(dir_ / "plain", data);

    // An existing file is replaced, not truncated in place: a hard link to it keeps the old contents.
    writeFile(dir_ / "out", bytesOf("old contents that are longer than nothing"));
    std::filesystem::create_hard_link(dir_ / "out", dir_ / "hardlink");
    ::chmod((dir_ / "out").c_str(), 0644);
    E2EECrypto::transformFile(dir_ / "plain", dir_ / "out", file(3000), true);
    EXPECT_EQ(std::filesystem::file_size(dir_ / "out"), static_cast<std::uintmax_t>(E2EECrypto::ciphertextLength(3000)));
    EXPECT_EQ(stringOf(readFile(dir_ / "hardlink")), "old contents that are longer than nothing");
    EXPECT_EQ(std::filesystem::status(dir_ / "out").permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

    // A symbolic link at the destination is replaced; its target is untouched.
    writeFile(dir_ / "target", bytesOf("target"));
    std::filesystem::create_symlink(dir_ / "target", dir_ / "link");
    E2EECrypto::transformFile(dir_ / "plain", dir_ / "link", file(3000), true);
    EXPECT_FALSE(std::filesystem::is_symlink(dir_ / "link"));
    EXPECT_EQ(stringOf(readFile(dir_ / "target")), "target");

    // The source itself, directly or through a link, is refused and stays intact.
    expectInvalid([&] { E2EECrypto::transformFile(dir_ / "plain", dir_ / "plain", file(3000), true); });
    std::filesystem::create_hard_link(dir_ / "plain", dir_ / "plain-alias");
    expectInvalid([&] { E2EECrypto::transformFile(dir_ / "plain", dir_ / "plain-alias", file(3000), true); });
    EXPECT_EQ(readFile(dir_ / "plain"), data);

    // A directory in the way is not removed.
    std::filesystem::create_directory(dir_ / "folder");
    expectInvalid([&] { E2EECrypto::transformFile(dir_ / "plain", dir_ / "folder", file(3000), true); });
    EXPECT_TRUE(std::filesystem::is_directory(dir_ / "folder"));
    // A destination in a missing directory cannot be created.
    expectInvalid([&] { E2EECrypto::transformFile(dir_ / "plain", dir_ / "none" / "out", file(3000), true); });

    // Round trip of the file written above.
    E2EECrypto::transformFile(dir_ / "out", dir_ / "opened", file(3000), false);
    EXPECT_EQ(readFile(dir_ / "opened"), data);
}

TEST(encryption_FileUtilities, OpenFileForWritingNeverCreatesOrTruncates) {
    TempDirectory dir;
    EXPECT_THROW(openFileForWriting(dir / "missing"), PlatformError);
    EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
    writeFile(dir / "file", bytesOf("abcdef"));
    {
        FileHandle handle = openFileForWriting(dir / "file");
        const Bytes xy = bytesOf("XY");
        handle.write(xy.data(), xy.size());
        closeFileHandle(handle);
        closeFileHandle(handle);  // closing twice never fails
    }
    EXPECT_EQ(stringOf(readFile(dir / "file")), "XYcdef");
    std::filesystem::create_symlink(dir / "file", dir / "link");
    EXPECT_THROW(openFileForWriting(dir / "link"), PlatformError);
}

}  // namespace
}  // namespace nimbuscrate
