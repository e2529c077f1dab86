#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <vector>

#include "platform/core/Bytes.h"
#include "shared/encryption/E2EECrypto.h"
#include "shared/encryption/SecretBytes.h"

namespace nimbuscrate {

// Random access to the plaintext of one encrypted file revision without
// downloading its whole blob. Reads fetch the stream header once and then
// only the ciphertext segments that hold the requested bytes, authenticate
// and decrypt them, and keep the last kCachedSegments decrypted segments in
// memory (nothing is written to disk). Every fetch is charged against a
// byte budget before it is made; a fetch that would pass the budget fails
// with E2EEError::invalid and is never made. The charge stays when a fetch
// fails, so the budget bounds all traffic of one reader, re-fetches of
// evicted segments included.
//
//   blob:  | 0x28 | salt (32) | nonce prefix (7) | segment 0 ... | segment 1 ...   |
//          0      1           33                40               1,048,576
//   segment i: ciphertext of its plaintext, then a 16-byte tag; it starts at
//   byte 40 (i = 0) or i × 1,048,576. Segment 0 holds 1,048,520 plaintext
//   bytes, every later one 1,048,560, the last one the remainder.
//
// One reader serves one preview job. Any number of threads may read at
// once: the state sits behind a mutex that is never held across a fetch or
// a decryption, so two overlapping reads may each fetch the same segment
// (or the header); the later one's copy stays, and the cache keeps its bound.
class E2EEPreviewReader {
public:
    // Reads encrypted bytes lowerBound ..< upperBound of the blob; throws
    // what the transport throws (session change, status, transport errors,
    // CancellationError). E2EEClient::encryptedRangeFetch makes one.
    using Fetch = std::function<Bytes(std::int64_t lowerBound, std::int64_t upperBound, std::stop_token stop)>;

    static constexpr std::size_t kCachedSegments = 4;
    // The budget of the reader of one thumbnail job.
    static constexpr std::int64_t kThumbnailBudget = 67'108'864;

    // The plaintext size is the metadata "size" of file (a safe integer,
    // else E2EEError::invalid). limit is the byte budget.
    E2EEPreviewReader(const E2EECrypto::File& file, std::int64_t limit, Fetch fetch);
    E2EEPreviewReader(const E2EEPreviewReader&) = delete;
    E2EEPreviewReader& operator=(const E2EEPreviewReader&) = delete;

    std::int64_t size() const { return size_; }

    // Exactly `length` plaintext bytes from `offset`. A range outside the
    // file (or a negative one) is E2EEError::invalid before anything is
    // fetched; a length of 0 is empty data at once. A header whose first
    // byte is not 0x28, a segment shorter than its tag or a fetch of the
    // wrong length is E2EEError::invalid; a segment that does not
    // authenticate is the cipher's CryptoError; fetch errors and
    // CancellationError (checked before every fetch and every segment) pass
    // through. A failed read leaves the cache as it was.
    Bytes read(std::int64_t offset, std::int64_t length, std::stop_token stop = {});

    // Bytes charged so far (they only grow).
    std::int64_t transferred() const;
    // The cached segment indexes, oldest first.
    std::vector<std::int64_t> cachedSegments() const;

    // The segment that holds a plaintext position (position ≥ 0).
    static std::int64_t segmentIndex(std::int64_t position);
    // The encrypted bytes of a segment whose plaintext is plaintextLength bytes.
    struct CiphertextRange {
        std::int64_t lowerBound = 0;
        std::int64_t upperBound = 0;
    };
    static CiphertextRange ciphertextRange(std::int64_t index, std::int64_t plaintextLength);

private:
    using Segment = std::shared_ptr<const SecretBytes>;

    // Checks cancellation, charges upperBound - lowerBound bytes and fetches them.
    Bytes chargeTransfer(std::int64_t lowerBound, std::int64_t upperBound, std::stop_token stop);
    // The decrypted plaintext of one segment, from the cache or fetched.
    Segment readChunk(std::int64_t index, std::stop_token stop);

    const std::int64_t size_;
    const E2EECrypto::File file_;
    const std::int64_t limit_;
    const Fetch fetch_;

    // Guards the fields below; held only to read or change them, never
    // across a fetch or a decryption, and nothing else is locked under it.
    mutable std::mutex mutex_;
    std::optional<Bytes> header_;
    std::map<std::int64_t, Segment> cache_;
    std::vector<std::int64_t> order_;  // the cached indexes in the order they entered, oldest first
    std::int64_t transferred_ = 0;
};

}  // namespace nimbuscrate
