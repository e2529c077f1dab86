#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include "platform/core/Bytes.h"
#include "platform/core/SecretBytes.h"
#include "platform/imaging/RgbImage.h"

namespace nimbuscrate {

// Image decoding and encoding over libvips.
//
// The bytes are taken as untrusted: formats that libvips reads only through
// loaders it marks unsafe for untrusted input (SVG, PDF, ImageMagick's, ...)
// are undecodable here. So is every image when libvips failed to start.
// libvips is started once per process with its operation cache off, so no
// decoded pixels outlive the call that decoded them, and images are read
// sequentially, so nothing is decoded into a temporary file.
//
// Every operation may be called from any thread at any time; none keeps
// state between calls.
class ImageTranscoder {
public:
    enum class Outcome { png, undecodable, tooLarge, encodingFailed };
    struct Result {
        Outcome outcome = Outcome::undecodable;
        Bytes png;  // with Outcome::png
        std::uint64_t pixels = 0;  // width × height when the header was read
    };

    // Turns image bytes of any format libvips reads (the first image or
    // page) into one PNG at the decoded size. The header is read first: an
    // image with more pixels than allowed is refused before any pixel is
    // decoded.
    static Result toPNG(const Bytes& image, std::uint64_t maxPixels);

    // The upright picture of the first image of the bytes (or of the file)
    // scaled down so that neither side exceeds maxSide; a smaller image
    // keeps its size. The EXIF orientation is applied, the colours are
    // converted to sRGB and transparency is laid onto white. Decoding
    // shrinks while it loads where the format allows (JPEG, WebP, HEIF).
    // Nothing when the header says more than maxPixels pixels (nothing is
    // decoded then), when the data is no image libvips may read, or when
    // decoding fails, or when the file is no regular file. The file is
    // opened by descriptor, so its name is never parsed for loader options.
    static std::optional<RgbImage> thumbnail(ByteView image, int maxSide, std::uint64_t maxPixels);
    static std::optional<RgbImage> thumbnailOfFile(const std::filesystem::path& file, int maxSide,
                                                   std::uint64_t maxPixels);

    // The baseline JPEG (quality 1 ... 100, metadata stripped) of a valid
    // picture; nothing for an invalid picture or quality or when encoding fails.
    static std::optional<Bytes> toJPEG(const RgbImage& image, int quality);
};

}  // namespace nimbuscrate
