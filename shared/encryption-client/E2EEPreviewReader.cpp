#include "shared/encryption-client/E2EEPreviewReader.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/core/CancellationError.h"
#include "shared/encryption/E2EEError.h"

namespace nimbuscrate {

namespace {

constexpr std::uint8_t kHeaderByte = 0x28;

// The segment key, overwritten with zeros when it goes, whatever happens.
struct SegmentKey {
    SecretBytes bytes;
    ~SegmentKey() { cleanse(bytes.data(), bytes.size()); }
};

}  // namespace

E2EEPreviewReader::E2EEPreviewReader(const E2EECrypto::File& file, std::int64_t limit, Fetch fetch)
    : size_(file.metadata.member("size").safeInteger()), file_(file), limit_(limit), fetch_(std::move(fetch)) {}

std::int64_t E2EEPreviewReader::transferred() const {
    std::lock_guard lock(mutex_);
    return transferred_;
}

std::vector<std::int64_t> E2EEPreviewReader::cachedSegments() const {
    std::lock_guard lock(mutex_);
    return order_;
}

std::int64_t E2EEPreviewReader::segmentIndex(std::int64_t position) {
    if (position < E2EECrypto::kFirstSegmentPlaintext) return 0;
    return (position - E2EECrypto::kFirstSegmentPlaintext) / E2EECrypto::kSegmentPlaintext + 1;
}

E2EEPreviewReader::CiphertextRange E2EEPreviewReader::ciphertextRange(std::int64_t index,
                                                                      std::int64_t plaintextLength) {
    const std::int64_t offset = index == 0 ? E2EECrypto::kHeaderLength : index * E2EECrypto::kSegmentLength;
    return {offset, offset + plaintextLength + static_cast<std::int64_t>(E2EECrypto::kTagLength)};
}

Bytes E2EEPreviewReader::chargeTransfer(std::int64_t lowerBound, std::int64_t upperBound, std::stop_token stop) {
    throwIfCancelled(stop);
    const std::int64_t count = upperBound - lowerBound;
    if (count < 1) throw E2EEError::invalid();
    {
        std::lock_guard lock(mutex_);
        if (count > limit_ - transferred_) throw E2EEError::invalid();
        // Charged before the fetch and kept when it fails.
        transferred_ += count;
    }
    Bytes data = fetch_(lowerBound, upperBound, stop);
    if (static_cast<std::int64_t>(data.size()) != count) throw E2EEError::invalid();
    return data;
}

E2EEPreviewReader::Segment E2EEPreviewReader::readChunk(std::int64_t index, std::stop_token stop) {
    std::optional<Bytes> header;
    {
        std::lock_guard lock(mutex_);
        if (const auto cached = cache_.find(index); cached != cache_.end()) return cached->second;
        header = header_;
    }
    if (!header) {
        Bytes fetched = chargeTransfer(0, E2EECrypto::kHeaderLength, stop);
        // A bad header is not kept: the next read fetches it again.
        if (fetched[0] != kHeaderByte) throw E2EEError::invalid();
        std::lock_guard lock(mutex_);
        header_ = fetched;
        header = std::move(fetched);
    }

    const E2EECrypto::SegmentRange range = E2EECrypto::segmentRange(index, size_);
    const CiphertextRange encrypted = ciphertextRange(index, range.end - range.start);
    const Bytes ciphertext = chargeTransfer(encrypted.lowerBound, encrypted.upperBound, stop);

    SegmentKey key{E2EECrypto::hkdfSHA256(file_.key, ByteView(*header).subspan(1, 32), file_.aad)};
    if (key.bytes.size() != E2EECrypto::kKeyLength) throw E2EEError::invalid();
    const Bytes nonce = E2EECrypto::segmentNonce(*header, index, range.isLast);
    if (nonce.size() != E2EECrypto::kNonceLength) throw E2EEError::invalid();
    if (ciphertext.size() < E2EECrypto::kTagLength) throw E2EEError::invalid();
    auto plaintext = std::make_shared<const SecretBytes>(
        E2EECrypto::transformSegment(/*seal=*/false, key.bytes, nonce, ciphertext, {}));

    std::lock_guard lock(mutex_);
    cache_[index] = plaintext;
    order_.erase(std::remove(order_.begin(), order_.end(), index), order_.end());
    order_.push_back(index);
    while (order_.size() > kCachedSegments) {
        cache_.erase(order_.front());
        order_.erase(order_.begin());
    }
    return plaintext;
}

Bytes E2EEPreviewReader::read(std::int64_t offset, std::int64_t length, std::stop_token stop) {
    if (offset < 0 || length < 0 || offset > size_ || length > size_ - offset) throw E2EEError::invalid();
    Bytes result;
    if (length == 0) return result;
    result.reserve(static_cast<std::size_t>(length));
    std::int64_t position = offset;
    while (true) {
        throwIfCancelled(stop);
        const std::int64_t index = segmentIndex(position);
        const std::int64_t segmentStart = E2EECrypto::segmentRange(index, size_).start;
        const Segment chunk = readChunk(index, stop);
        const std::int64_t available = static_cast<std::int64_t>(chunk->size()) - (position - segmentStart);
        const std::int64_t take = std::min(available, length - static_cast<std::int64_t>(result.size()));
        if (take < 1) throw E2EEError::invalid();
        const auto from = chunk->begin() + (position - segmentStart);
        result.insert(result.end(), from, from + take);
        position += take;
        if (static_cast<std::int64_t>(result.size()) == length) return result;
    }
}

}  // namespace nimbuscrate
