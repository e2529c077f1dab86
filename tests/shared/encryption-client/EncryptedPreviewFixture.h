#pragma once

// Plaintext encrypted in memory in the segmented format, and a ranged fetch
// over the resulting blob that records every range asked for.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/core/Bytes.h"
#include "shared/encryption-client/E2EEPreviewReader.h"
#include "shared/encryption/E2EECrypto.h"
#include "tests/support/MediaFixtures.h"
#include "tests/support/TemporaryDirectory.h"

namespace nimbuscrate::testing {

struct EncryptedBlob {
    E2EECrypto::File file;
    Bytes blob;
};

// The plaintext sealed under a fresh file key, as an upload would seal it.
inline EncryptedBlob encryptInMemory(const Bytes& plaintext) {
    const TemporaryDirectory folder;
    EncryptedBlob result;
    result.file.key = E2EECrypto::randomBytes(E2EECrypto::kKeyLength);
    result.file.aad = bytesOf("[\"nimbuscrate-e2ee-v1\",\"acct\",\"node\",\"rev\",\"content\"]");
    result.file.metadata = E2EEJSON::object({{"size", static_cast<std::int64_t>(plaintext.size())}});
    writeBytes(folder / "plain", plaintext);
    E2EECrypto::transformFile(folder / "plain", folder / "sealed", result.file, /*encrypt=*/true);
    result.blob = readBytes(folder / "sealed");
    result.file.value = E2EEJSON::object({{"ciphertextLength", static_cast<std::int64_t>(result.blob.size())}});
    return result;
}

// Serves ranges of a blob and records them; a test may replace the reply.
class RecordingFetch {
public:
    struct Range {
        std::int64_t lowerBound = 0;
        std::int64_t upperBound = 0;
        bool operator==(const Range&) const = default;
    };

    explicit RecordingFetch(const Bytes& blob) : blob_(blob) {}

    E2EEPreviewReader::Fetch fetch() {
        return [this](std::int64_t lowerBound, std::int64_t upperBound, std::stop_token) {
            std::function<Bytes(Range, const Bytes&)> reply;
            {
                std::lock_guard lock(mutex_);
                ranges_.push_back({lowerBound, upperBound});
                reply = reply_;
            }
            if (reply) return reply({lowerBound, upperBound}, blob_);
            return slice(lowerBound, upperBound);
        };
    }
    Bytes slice(std::int64_t lowerBound, std::int64_t upperBound) const {
        const auto end = std::min<std::int64_t>(upperBound, static_cast<std::int64_t>(blob_.size()));
        return Bytes(blob_.begin() + lowerBound, blob_.begin() + std::max(lowerBound, end));
    }
    // Replaces every later reply (empty: the blob's bytes again).
    void replyWith(std::function<Bytes(Range, const Bytes&)> reply) {
        std::lock_guard lock(mutex_);
        reply_ = std::move(reply);
    }
    std::vector<Range> ranges() const {
        std::lock_guard lock(mutex_);
        return ranges_;
    }
    std::int64_t bytesFetched() const {
        std::int64_t total = 0;
        for (const Range& range : ranges()) total += range.upperBound - range.lowerBound;
        return total;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        ranges_.clear();
    }

private:
    const Bytes& blob_;
    mutable std::mutex mutex_;
    std::vector<Range> ranges_;
    std::function<Bytes(Range, const Bytes&)> reply_;
};

inline std::ostream& operator<<(std::ostream& out, const RecordingFetch::Range& range) {
    return out << range.lowerBound << "..<" << range.upperBound;
}

}  // namespace nimbuscrate::testing
