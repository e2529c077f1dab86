#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "platform/core/Bytes.h"
#include "platform/imaging/RgbImage.h"
#include "platform/media/MediaSource.h"
#include "shared/encryption-client/E2EEPreviewReader.h"

// The small JPEG preview that the encrypted drive client seals and stores
// as an item's thumbnail: chosen by the MIME type's prefix ("image/" or
// "video/", compared case-sensitively), scaled down to at most kMaxSide
// pixels per side, and encoded as a JPEG of at most kMaxJPEGBytes bytes
// (what a sealed small payload holds). Nothing of a preview is written to
// disk. The operations share no state and may run on any thread.
namespace nimbuscrate::E2EEThumbnail {

inline constexpr int kMaxSide = 512;
inline constexpr std::size_t kMaxJPEGBytes = 262'144;
// JPEG qualities tried in this order; the first that fits is kept.
inline constexpr std::array<int, 3> kJPEGQualities = {75, 60, 40};
// Encrypted images are decrypted whole into memory up to this size.
inline constexpr std::int64_t kMaxEncryptedImageBytes = 33'554'432;
// Images whose header says more pixels are not decoded (16384 × 16384).
inline constexpr std::uint64_t kMaxImagePixels = 268'435'456;

struct Preview {
    Bytes bytes;     // the JPEG file
    int width = 0;   // 1 ... kMaxSide
    int height = 0;  // 1 ... kMaxSide
    bool operator==(const Preview&) const = default;
};

// The preview of a local plaintext file (the file being uploaded). A video
// gives its first frame upright, an image its upright thumbnail; any other
// MIME type gives none without the file being opened. Runs on the calling
// thread; a stop request may end it early. Never throws: every failure, a
// stop request included, is no preview.
std::optional<Preview> makeLocalPreview(const std::filesystem::path& file, const std::string& mimeType,
                                        std::stop_token stop = {});

// A renderer of local previews, as the commit of new contents takes it
// (makeLocalPreview in the process; tests give their own).
using LocalRenderer =
    std::function<std::optional<Preview>(const std::filesystem::path& file, const std::string& mimeType,
                                         std::stop_token stop)>;

// The preview of image bytes in memory; none when they are no image that
// may be decoded or cannot be encoded small enough.
std::optional<Preview> imagePreview(ByteView data);

// The JPEG of a picture of 1 ... kMaxSide pixels per side (it is never
// rescaled): the first of kJPEGQualities whose file holds 1 ...
// kMaxJPEGBytes bytes; none for a larger or invalid picture or when no
// quality fits.
std::optional<Preview> jpegPreview(const RgbImage& image);

// The preview of a video's first frame, pulled from the source. None when
// no frame decodes; the source's errors and CancellationError are thrown.
std::optional<Preview> videoPreview(MediaSource& source, std::stop_token stop = {});

// The preview of an encrypted revision read through reader, whose
// plaintext is `size` bytes. A video is read where the decoder asks, through
// an E2EEPreviewResourceLoader; an image of 1 ... kMaxEncryptedImageBytes
// bytes is read whole; anything else (an empty or larger image, another
// type) gives none and reads nothing. The reader's errors (a spent budget
// among them) and CancellationError are thrown; content that does not
// decode is no preview.
std::optional<Preview> makePreview(E2EEPreviewReader& reader, std::int64_t size, std::string_view mimeType,
                                   std::stop_token stop = {});

namespace detail {
// The first encoding, in the order of kJPEGQualities, of 1 ... kMaxJPEGBytes
// bytes, with its quality; encode gives nothing when it fails.
struct Encoding {
    Bytes bytes;
    int quality = 0;
};
std::optional<Encoding> firstFittingEncoding(const std::function<std::optional<Bytes>(int quality)>& encode);
}  // namespace detail

}  // namespace nimbuscrate::E2EEThumbnail
