// The segmented file format of E2EECrypto.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/core/CancellationError.h"
#include "shared/encryption/AESGCM.h"
#include "shared/encryption/E2EECrypto.h"
#include "shared/encryption/E2EEError.h"
#include "shared/encryption/FileHandle.h"
#include "shared/encryption/SegmentedStream.h"

namespace nimbuscrate {

namespace {

constexpr std::uint8_t kHeaderByte = 0x28;
constexpr std::int64_t kTag = 16;

std::int64_t segmentCount(std::int64_t size) { return (size + 1048599) / 1048560; }

// The plaintext size a File's metadata declares (a safe integer).
std::int64_t declaredSize(const E2EECrypto::File& file) { return file.metadata.member("size").safeInteger(); }

Bytes makeHeader(const std::optional<Bytes>& fixedHeader) {
    if (fixedHeader) {
        if (fixedHeader->size() != E2EECrypto::kHeaderLength || (*fixedHeader)[0] != kHeaderByte) {
            throw E2EEError::invalid();
        }
        return *fixedHeader;
    }
    const SecretBytes random = E2EECrypto::randomBytes(39);
    Bytes header;
    header.reserve(E2EECrypto::kHeaderLength);
    header.push_back(kHeaderByte);
    header.insert(header.end(), random.begin(), random.end());
    return header;
}

SecretBytes segmentKey(const E2EECrypto::File& file, const Bytes& header) {
    return E2EECrypto::hkdfSHA256(file.key, ByteView(header).subspan(1, 32), file.aad);
}

// Removes the file at path only while the path still names the file with
// this device and inode: whatever else has been put there since is left
// alone. Errors are ignored.
void removeIfSameFile(const std::filesystem::path& path, dev_t device, ino_t inode) noexcept {
    struct stat current {};
    if (::lstat(path.c_str(), &current) == 0 && current.st_dev == device && current.st_ino == inode) {
        ::unlink(path.c_str());
    }
}

// Creates the destination as a new, empty file with permissions 0600. An
// existing file or link at the path is removed first (never followed or
// truncated); a destination that is the source file itself is refused.
// Returns the device and inode of the new file.
std::pair<dev_t, ino_t> createDestination(const std::filesystem::path& destination, const FileHandle& source) {
    struct stat existing {};
    if (::lstat(destination.c_str(), &existing) == 0) {
        if (existing.st_dev == source.device() && existing.st_ino == source.inode()) throw E2EEError::invalid();
        if (!S_ISDIR(existing.st_mode) && ::unlink(destination.c_str()) != 0 && errno != ENOENT) {
            throw E2EEError::invalid();
        }
    }
    const int descriptor =
        ::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (descriptor < 0) throw E2EEError::invalid();
    FileHandle created(descriptor);
    // The mode of open is reduced by the umask; the file must end up 0600.
    struct stat status {};
    if (::fstat(descriptor, &status) != 0 || ::fchmod(descriptor, S_IRUSR | S_IWUSR) != 0) {
        segmented::discardPartialOutput(created, false, destination);
        throw E2EEError::invalid();
    }
    closeFileHandle(created);
    return {status.st_dev, status.st_ino};
}

// Where segment `index` starts in the ciphertext stream: the header and the
// first segment fill exactly one segment length.
std::uint64_t streamOffset(std::int64_t index) {
    return static_cast<std::uint64_t>(index == 0 ? E2EECrypto::kHeaderLength : index * E2EECrypto::kSegmentLength);
}

// Segments are sealed independently, so a file of several converts on a few
// threads at once, each taking every n-th segment with a buffer of its own
// (reads and writes at offsets); on one core the cipher and the copies into
// and out of the page cache bound the conversion.
constexpr unsigned kMaxLanes = 4;

unsigned laneCount(std::int64_t segments) {
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    return static_cast<unsigned>(std::min<std::int64_t>({kMaxLanes, cores, segments}));
}

void convertSegments(const FileHandle& input, const FileHandle& output, const SecretBytes& key, const Bytes& header,
                     std::int64_t size, bool encrypt, const std::stop_token& stop) {
    using namespace E2EECrypto;
    const std::int64_t count = segmentCount(size);
    const unsigned lanes = laneCount(count);
    std::atomic<bool> failed = false;
    std::mutex errorMutex;
    std::exception_ptr firstError;

    const auto convertLane = [&](unsigned lane) {
        try {
            // Converted in place: each read overwrites what the last segment
            // left, so the buffer is wiped once, when it is freed.
            SecretBytes segment(static_cast<std::size_t>(kSegmentLength));
            for (std::int64_t index = lane; index < count && !failed.load(); index += lanes) {
                throwIfCancelled(stop);
                const SegmentRange range = segmentRange(index, size);
                const auto plainLength = static_cast<std::size_t>(range.end - range.start);
                const std::size_t readLength = encrypt ? plainLength : plainLength + kTagLength;
                const std::uint64_t plainOffset = static_cast<std::uint64_t>(range.start);
                const std::uint64_t from = encrypt ? plainOffset : streamOffset(index);
                const std::uint64_t to = encrypt ? streamOffset(index) : plainOffset;
                if (input.readAt(segment.data(), readLength, from) != readLength) throw E2EEError::invalid();
                const Bytes nonce = segmentNonce(header, index, range.isLast);
                if (encrypt) {
                    aesgcm::seal(key, nonce, ByteView(segment.data(), readLength), {}, segment.data());
                } else {
                    aesgcm::open(key, nonce, ByteView(segment.data(), readLength), {}, segment.data());
                }
                const std::size_t outLength = encrypt ? plainLength + kTagLength : plainLength;
                output.writeAt(segment.data(), outLength, to);
                // Start writing the segment back to storage now, so that the
                // final synchronize has little left to wait for.
                (void)::sync_file_range(output.descriptor(), static_cast<off_t>(to), static_cast<off_t>(outLength),
                                        SYNC_FILE_RANGE_WRITE);
            }
        } catch (...) {
            std::lock_guard lock(errorMutex);
            if (!firstError) firstError = std::current_exception();
            failed = true;
        }
    };

    {
        std::vector<std::jthread> helpers;
        helpers.reserve(lanes - 1);
        for (unsigned lane = 1; lane < lanes; ++lane) helpers.emplace_back(convertLane, lane);
        convertLane(0);
    }
    if (firstError) std::rethrow_exception(firstError);
}

}  // namespace

namespace E2EECrypto {

std::int64_t ciphertextLength(std::int64_t size) {
    if (size < 0 || size > kMaxPlaintext) throw E2EEError::invalid();
    return size + kHeaderLength + kTag * segmentCount(size);
}

SegmentRange segmentRange(std::int64_t index, std::int64_t size) {
    if (size < 0 || size > kMaxPlaintext) throw E2EEError::invalid();
    const std::int64_t count = segmentCount(size);
    if (index < 0 || index >= count) throw E2EEError::invalid();
    const std::int64_t start = index == 0 ? 0 : kSegmentPlaintext * index - kHeaderLength;
    const std::int64_t length = index == 0 ? kFirstSegmentPlaintext : kSegmentPlaintext;
    return SegmentRange{start, std::min(start + length, size), index == count - 1};
}

Bytes segmentNonce(ByteView header, std::int64_t index, bool isLast) {
    if (header.size() < 7 || index < 0 || index > 0xFFFFFFFFLL) throw E2EEError::invalid();
    Bytes nonce(header.end() - 7, header.end());
    const auto i = static_cast<std::uint32_t>(index);
    nonce.push_back(static_cast<std::uint8_t>(i >> 24));
    nonce.push_back(static_cast<std::uint8_t>(i >> 16));
    nonce.push_back(static_cast<std::uint8_t>(i >> 8));
    nonce.push_back(static_cast<std::uint8_t>(i));
    nonce.push_back(isLast ? 0x01 : 0x00);
    return nonce;
}

SecretBytes transformSegment(bool seal, ByteView key, ByteView nonce, ByteView input, ByteView associatedData) {
    if (key.size() != kKeyLength || nonce.size() != kNonceLength) throw E2EEError::invalid();
    if (seal) {
        SecretBytes out(input.size() + kTagLength);
        aesgcm::seal(key, nonce, input, associatedData, out.data());
        return out;
    }
    if (input.size() < kTagLength) throw E2EEError::invalid();
    SecretBytes out(input.size() - kTagLength);
    aesgcm::open(key, nonce, input, associatedData, out.data());
    return out;
}

void transformFile(const std::filesystem::path& source, const std::filesystem::path& destination, const File& file,
                   bool encrypt, std::stop_token stop) {
    segmented::transformFile(source, destination, file, encrypt, std::nullopt, std::move(stop));
}

Bytes sealSmallPayload(ByteView plaintext, const File& file) {
    return segmented::sealSmallPayload(plaintext, file, std::nullopt);
}

SecretBytes openSmallPayload(ByteView payload, const File& file) {
    const std::int64_t size = declaredSize(file);
    if (size < 1 || size > kMaxSmallPayload) throw E2EEError::invalid();
    if (static_cast<std::int64_t>(payload.size()) != ciphertextLength(size)) throw E2EEError::invalid();
    if (payload[0] != kHeaderByte) throw E2EEError::invalid();
    const Bytes header(payload.begin(), payload.begin() + kHeaderLength);
    const SecretBytes key = segmentKey(file, header);
    const Bytes nonce = segmentNonce(header, 0, true);
    return transformSegment(false, key, nonce, payload.subspan(kHeaderLength), {});
}

}  // namespace E2EECrypto

namespace segmented {

void discardPartialOutput(FileHandle& output, bool finished, const std::filesystem::path& destination) noexcept {
    // The destination is removed only while its path still names the file
    // this handle writes, and before the handle is closed, so that its inode
    // cannot have been reused by another file in between.
    struct stat written {};
    if (!finished && output.isOpen() && ::fstat(output.descriptor(), &written) == 0) {
        removeIfSameFile(destination, written.st_dev, written.st_ino);
    }
    closeFileHandle(output);
}

Bytes sealSmallPayload(ByteView plaintext, const E2EECrypto::File& file, const std::optional<Bytes>& fixedHeader) {
    if (plaintext.empty() || static_cast<std::int64_t>(plaintext.size()) > E2EECrypto::kMaxSmallPayload) {
        throw E2EEError::invalid();
    }
    if (declaredSize(file) != static_cast<std::int64_t>(plaintext.size())) throw E2EEError::invalid();
    Bytes header = makeHeader(fixedHeader);
    const SecretBytes key = segmentKey(file, header);
    const Bytes nonce = E2EECrypto::segmentNonce(header, 0, true);
    const SecretBytes sealed = E2EECrypto::transformSegment(true, key, nonce, plaintext, {});
    header.insert(header.end(), sealed.begin(), sealed.end());
    return header;
}

void transformFile(const std::filesystem::path& source, const std::filesystem::path& destination,
                   const E2EECrypto::File& file, bool encrypt, const std::optional<Bytes>& fixedHeader,
                   std::stop_token stop) {
    using namespace E2EECrypto;
    const std::int64_t size = declaredSize(file);
    if (size > kMaxPlaintext) throw E2EEError::invalid();

    // The source is closed on every way out (closeFileHandle ignores errors).
    FileHandle input = openFileForReading(source);
    const std::uint64_t length = input.seekToEnd();
    const std::int64_t expected = encrypt ? size : ciphertextLength(size);
    if (length != static_cast<std::uint64_t>(expected)) throw E2EEError::invalid();

    Bytes header;
    if (encrypt) {
        header = makeHeader(fixedHeader);
    } else {
        header.resize(kHeaderLength);
        if (input.readAt(header.data(), header.size(), 0) != header.size() || header[0] != kHeaderByte) {
            throw E2EEError::invalid();
        }
    }
    const SecretBytes key = segmentKey(file, header);  // cleansed when freed

    const auto [device, inode] = createDestination(destination, input);
    FileHandle output(-1);
    try {
        output = openFileForWriting(destination);
    } catch (...) {
        // Nothing of the new file may stay behind.
        removeIfSameFile(destination, device, inode);
        throw;
    }
    bool sameFile = false;
    try {
        sameFile = output.device() == device && output.inode() == inode;
    } catch (...) {
        removeIfSameFile(destination, device, inode);
        closeFileHandle(output);
        throw;
    }
    if (!sameFile) {
        // The path no longer names the file created above: leave it alone.
        closeFileHandle(output);
        throw E2EEError::invalid();
    }

    try {
        // Reserve the whole output at once (without the C library's fallback
        // of writing zeros) and read the source in order; both only help the
        // file system and may be refused.
        const std::int64_t outputLength = encrypt ? ciphertextLength(size) : size;
        if (outputLength > 0) (void)::fallocate(output.descriptor(), 0, 0, static_cast<off_t>(outputLength));
        (void)::posix_fadvise(input.descriptor(), 0, 0, POSIX_FADV_SEQUENTIAL);
        if (encrypt) output.writeAt(header.data(), header.size(), 0);
        convertSegments(input, output, key, header, size, encrypt, stop);
        std::uint8_t extra = 0;
        if (input.readAt(&extra, 1, length) != 0) throw E2EEError::invalid();
        output.synchronize();
    } catch (...) {
        discardPartialOutput(output, false, destination);
        throw;
    }
    closeFileHandle(output);
}

}  // namespace segmented

}  // namespace nimbuscrate
