#include "platform/imaging/ImageTranscoder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vips/vips8>

#include <cerrno>
#include <string>
#include <vector>

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

// Closes a descriptor when it goes.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// The picture of a decoded image as 8-bit sRGB without alpha: transparency
// is laid onto white.
std::optional<RgbImage> rgbOf(vips::VImage image) {
    if (image.interpretation() != VIPS_INTERPRETATION_sRGB) image = image.colourspace(VIPS_INTERPRETATION_sRGB);
    if (image.format() != VIPS_FORMAT_UCHAR) image = image.cast(VIPS_FORMAT_UCHAR);
    if (image.has_alpha()) {
        image = image.flatten(vips::VImage::option()->set("background", std::vector<double>{255.0, 255.0, 255.0}));
        if (image.format() != VIPS_FORMAT_UCHAR) image = image.cast(VIPS_FORMAT_UCHAR);
    }
    if (image.bands() > 3) image = image.extract_band(0, vips::VImage::option()->set("n", 3));
    if (image.bands() != 3 || image.width() < 1 || image.height() < 1) return std::nullopt;

    std::size_t length = 0;
    void* memory = image.write_to_memory(&length);
    RgbImage result;
    result.width = image.width();
    result.height = image.height();
    result.pixels.assign(static_cast<std::uint8_t*>(memory), static_cast<std::uint8_t*>(memory) + length);
    g_free(memory);
    if (!result.isValid()) return std::nullopt;
    return result;
}

std::optional<RgbImage> thumbnailOfSource(const vips::VSource& source, int maxSide, std::uint64_t maxPixels) {
    if (maxSide < 1) return std::nullopt;
    try {
        // The header alone says how large the image is.
        const vips::VImage header =
            vips::VImage::new_from_source(source, "", vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
        const std::uint64_t pixels =
            static_cast<std::uint64_t>(header.width()) * static_cast<std::uint64_t>(header.height());
        if (pixels == 0 || pixels > maxPixels) return std::nullopt;
        const vips::VImage scaled = vips::VImage::thumbnail_source(
            source, maxSide, vips::VImage::option()->set("height", maxSide)->set("size", VIPS_SIZE_DOWN));
        return rgbOf(scaled);
    } catch (const vips::VError&) {
        vips_error_clear();
        return std::nullopt;
    }
}

}  // namespace

std::optional<RgbImage> ImageTranscoder::thumbnail(ByteView image, int maxSide, std::uint64_t maxPixels) {
    if (!vipsStarted() || image.empty()) return std::nullopt;
    try {
        return thumbnailOfSource(vips::VSource::new_from_memory(image.data(), image.size()), maxSide, maxPixels);
    } catch (const vips::VError&) {
        vips_error_clear();
        return std::nullopt;
    }
}

std::optional<RgbImage> ImageTranscoder::thumbnailOfFile(const std::filesystem::path& file, int maxSide,
                                                         std::uint64_t maxPixels) {
    if (!vipsStarted()) return std::nullopt;
    const Descriptor descriptor(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (descriptor.get() < 0) return std::nullopt;
    // Opened without blocking so that a FIFO or device does not hang the
    // open; only a regular file is read, with blocking reads.
    struct stat status {};
    if (::fstat(descriptor.get(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
    const int flags = ::fcntl(descriptor.get(), F_GETFL);
    if (flags < 0 || ::fcntl(descriptor.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return std::nullopt;
    try {
        return thumbnailOfSource(vips::VSource::new_from_descriptor(descriptor.get()), maxSide, maxPixels);
    } catch (const vips::VError&) {
        vips_error_clear();
        return std::nullopt;
    }
}

std::optional<Bytes> ImageTranscoder::toJPEG(const RgbImage& image, int quality) {
    if (!vipsStarted() || !image.isValid() || quality < 1 || quality > 100) return std::nullopt;
    try {
        vips::VImage wrapped = vips::VImage::new_from_memory(const_cast<std::uint8_t*>(image.pixels.data()),
                                                             image.pixels.size(), image.width, image.height, 3,
                                                             VIPS_FORMAT_UCHAR);
        wrapped = wrapped.copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
        VipsBlob* blob =
            wrapped.jpegsave_buffer(vips::VImage::option()->set("Q", quality)->set("strip", true));
        std::size_t length = 0;
        const void* data = vips_area_get_data(reinterpret_cast<VipsArea*>(blob), &length, nullptr, nullptr, nullptr);
        std::optional<Bytes> result;
        if (data && length > 0) {
            result = Bytes(static_cast<const std::uint8_t*>(data), static_cast<const std::uint8_t*>(data) + length);
        }
        vips_area_unref(reinterpret_cast<VipsArea*>(blob));
        return result;
    } catch (const vips::VError&) {
        vips_error_clear();
        return std::nullopt;
    }
}

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
