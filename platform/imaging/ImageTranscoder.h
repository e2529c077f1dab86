#pragma once

#include <cstdint>
#include <optional>

#include "platform/core/Bytes.h"

namespace nimbuscrate {

// Turns image bytes of any format libvips reads (the first image or page)
// into one PNG at the decoded size. The header is read first: an image with
// more pixels than allowed is refused before any pixel is decoded.
//
// The bytes are taken as untrusted: formats that libvips reads only through
// loaders it marks unsafe for untrusted input (SVG, PDF, ImageMagick's, ...)
// are undecodable here. So is every image when libvips failed to start.
class ImageTranscoder {
public:
    enum class Outcome { png, undecodable, tooLarge, encodingFailed };
    struct Result {
        Outcome outcome = Outcome::undecodable;
        Bytes png;  // with Outcome::png
        std::uint64_t pixels = 0;  // width × height when the header was read
    };

    static Result toPNG(const Bytes& image, std::uint64_t maxPixels);
};

}  // namespace nimbuscrate
