#include "shared/encryption-client/E2EEPreviewResourceLoader.h"

#include <algorithm>
#include <cstring>

#include "platform/core/CancellationError.h"
#include "platform/media/VideoFrameReader.h"

namespace nimbuscrate {

E2EEPreviewResourceLoader::E2EEPreviewResourceLoader(E2EEPreviewReader& reader, std::int64_t size,
                                                     const std::string& mimeType)
    : reader_(reader),
      size_(size),
      type_(VideoFrameReader::formatForContentType(mimeType) ? mimeType : kFallbackType) {}

std::size_t E2EEPreviewResourceLoader::read(std::int64_t offset, std::uint8_t* out, std::size_t capacity,
                                            std::stop_token stop) {
    if (cancelled_.load()) throw CancellationError();
    throwIfCancelled(stop);
    if (offset < 0 || offset >= size_ || capacity == 0) return 0;
    const auto piece = static_cast<std::int64_t>(std::min(capacity, kPieceSize));
    const std::int64_t length = std::min(piece, size_ - offset);
    const Bytes bytes = reader_.read(offset, length, stop);
    std::memcpy(out, bytes.data(), bytes.size());
    return bytes.size();
}

}  // namespace nimbuscrate
