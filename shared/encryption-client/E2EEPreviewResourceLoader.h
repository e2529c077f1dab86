#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/media/MediaSource.h"
#include "shared/encryption-client/E2EEPreviewReader.h"

namespace nimbuscrate {

// Serves the video decoder the plaintext of an encrypted video straight
// from a preview reader, so that its frames are taken without the
// plaintext ever reaching the disk. It announces the plaintext size and a
// content type, and answers each read with at most kPieceSize bytes; with
// the reader's segment cache, consecutive pieces of one segment cost one
// fetch. The reader's errors (a spent budget, the transport's, a session
// change) pass through unchanged, so the decoder's caller gets them back.
//
// Made per video preview and used from its decoding thread; the
// preview's code may call cancelAllLoading from any thread.
class E2EEPreviewResourceLoader final : public MediaSource {
public:
    static constexpr std::size_t kPieceSize = 65'536;
    // Announced for a MIME type the decoder knows no container of.
    static constexpr const char* kFallbackType = "video/mp4";

    // reader is shared, not owned, and must outlive the loader.
    E2EEPreviewResourceLoader(E2EEPreviewReader& reader, std::int64_t size, const std::string& mimeType);

    std::int64_t size() const override { return size_; }
    std::string contentType() const override { return type_; }
    // Up to min(capacity, kPieceSize) bytes from offset, fewer at the end of
    // the video, none at or past it. CancellationError once cancelAllLoading
    // was called or stop asks for it, checked before each piece.
    std::size_t read(std::int64_t offset, std::uint8_t* out, std::size_t capacity, std::stop_token stop) override;

    // Ends the loading: every read from now on fails with CancellationError.
    void cancelAllLoading() { cancelled_.store(true); }

private:
    E2EEPreviewReader& reader_;
    const std::int64_t size_;
    const std::string type_;
    std::atomic<bool> cancelled_{false};
};

}  // namespace nimbuscrate
