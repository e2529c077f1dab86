#include "platform/imaging/ImageTranscoder.h"

#include <vips/vips8>

#include <string>

#include "platform/log/Logger.h"

namespace nimbuscrate {

namespace {

// Starts libvips once for the process; false when it could not start (then
// every image is undecodable, and the failure is logged once).
bool vipsStarted() {
    static const bool started = [] {
        if (VIPS_INIT("nimbuscrate") != 0) {
            const Logger logger("app.nimbuscrate.fileprovider", "thumbnails");
            logger.error(std::string("Image decoding is unavailable: libvips failed to start: ") + vips_error_buffer());
            vips_error_clear();
            return false;
        }
        // The bytes come from a server: never hand them to a loader that
        // libvips itself marks as unfit for untrusted input (ImageMagick,
        // PDF, SVG, FITS, MAT, ...). The usual formats of photos and
        // thumbnails (JPEG, PNG, WebP, GIF, HEIF, TIFF) stay readable.
        vips_block_untrusted_set(TRUE);
        // Thumbnails are decoded once; nothing is worth keeping in libvips' cache.
        vips_cache_set_max(0);
        return true;
    }();
    return started;
}

}  // namespace

ImageTranscoder::Result ImageTranscoder::toPNG(const Bytes& image, std::uint64_t maxPixels) {
    Result result;
    if (!vipsStarted()) return result;
    if (image.empty()) return result;
    try {
        // Loading reads the header only; pixels are decoded when written.
        vips::VImage decoded = vips::VImage::new_from_buffer(image.data(), image.size(), "",
                                                             vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
        result.pixels = static_cast<std::uint64_t>(decoded.width()) * static_cast<std::uint64_t>(decoded.height());
        if (result.pixels == 0) return result;
        if (result.pixels > maxPixels) {
            result.outcome = Outcome::tooLarge;
            return result;
        }
        void* buffer = nullptr;
        std::size_t length = 0;
        try {
            decoded.write_to_buffer(".png", &buffer, &length);
        } catch (const vips::VError&) {
            // Pixels that do not decode are an undecodable image, not a PNG failure.
            result.outcome = Outcome::undecodable;
            return result;
        }
        if (!buffer || length == 0) {
            g_free(buffer);
            result.outcome = Outcome::encodingFailed;
            return result;
        }
        result.png.assign(static_cast<std::uint8_t*>(buffer), static_cast<std::uint8_t*>(buffer) + length);
        g_free(buffer);
        result.outcome = Outcome::png;
        return result;
    } catch (const vips::VError&) {
        result.outcome = Outcome::undecodable;
        return result;
    }
}

}  // namespace nimbuscrate
