#pragma once

#include <cstdint>
#include <optional>
#include <stop_token>
#include <string_view>

#include "platform/imaging/RgbImage.h"
#include "platform/media/MediaSource.h"

namespace nimbuscrate {

// The first picture of a video, decoded with FFmpeg from a MediaSource.
//
// The bytes are taken as hostile. Only the containers that phones and
// cameras write are opened (kAllowedFormats); the MIME type picks the
// container to try first, and probing decides otherwise. Nothing else is
// ever opened: a container that names other files or URLs (playlists,
// concat lists, references in a movie) is refused, as every nested open
// is. The data comes only through the source, in reads of at most
// kReadSize bytes, seeking where the container wants it.
//
// Blocks the calling thread; any number of calls may run at once on
// different threads.
class VideoFrameReader {
public:
    static constexpr std::string_view kAllowedFormats = "mov,mp4,m4a,3gp,3g2,mj2,matroska,webm,avi,mpegts,mpeg,flv,ogg";
    static constexpr int kReadSize = 65'536;
    // Larger pictures are not decoded (8192 × 8192).
    static constexpr std::int64_t kMaxFramePixels = 67'108'864;
    // Packets of the video stream read before giving up on a first picture.
    static constexpr int kMaxPackets = 1'000;

    // The first picture of the first video stream, upright (the stream's
    // display rotation applied, in quarter turns), scaled down so that
    // neither side exceeds maxSide (a smaller one keeps its size) and
    // converted to sRGB. Nothing when the data is no video of an allowed
    // container or no picture decodes. When a read of the source failed, or
    // `stop` asked to stop (CancellationError), that error is thrown
    // unchanged, whatever FFmpeg made of it.
    static std::optional<RgbImage> firstFrame(MediaSource& source, int maxSide, std::stop_token stop = {});

    // The container FFmpeg tries first for a MIME type (its demuxer name),
    // or nothing for a type it does not know; the match is exact.
    static std::optional<std::string_view> formatForContentType(std::string_view mimeType);
};

}  // namespace nimbuscrate
