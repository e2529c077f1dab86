#include "platform/imaging/ImageTranscoder.h"

#include <vips/vips8>

#include <cstdlib>
#include <mutex>

namespace nimbuscrate {

namespace {

void ensureVipsStarted() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (VIPS_INIT("nimbuscrate") != 0) return;
        // Thumbnails are decoded once; nothing is worth keeping in libvips' cache.
        vips_cache_set_max(0);
    });
}

}  // namespace

ImageTranscoder::Result ImageTranscoder::toPNG(const Bytes& image, std::uint64_t maxPixels) {
    ensureVipsStarted();
    Result result;
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
