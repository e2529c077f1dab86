#include "shared/encryption-client/E2EEThumbnail.h"

#include <memory>
#include <string>
#include <utility>

#include "platform/imaging/ImageTranscoder.h"
#include "platform/media/FileMediaSource.h"
#include "platform/media/VideoFrameReader.h"
#include "shared/encryption-client/E2EEPreviewResourceLoader.h"

namespace nimbuscrate::E2EEThumbnail {

namespace {

constexpr std::string_view kImagePrefix = "image/";
constexpr std::string_view kVideoPrefix = "video/";

std::optional<Preview> previewOf(const std::optional<RgbImage>& picture) {
    if (!picture) return std::nullopt;
    return jpegPreview(*picture);
}

}  // namespace

namespace detail {

std::optional<Encoding> firstFittingEncoding(const std::function<std::optional<Bytes>(int quality)>& encode) {
    for (const int quality : kJPEGQualities) {
        std::optional<Bytes> bytes = encode(quality);
        if (bytes && !bytes->empty() && bytes->size() <= kMaxJPEGBytes) return Encoding{std::move(*bytes), quality};
    }
    return std::nullopt;
}

}  // namespace detail

std::optional<Preview> jpegPreview(const RgbImage& image) {
    if (!image.isValid() || image.width > kMaxSide || image.height > kMaxSide) return std::nullopt;
    std::optional<detail::Encoding> encoding =
        detail::firstFittingEncoding([&image](int quality) { return ImageTranscoder::toJPEG(image, quality); });
    if (!encoding) return std::nullopt;
    return Preview{std::move(encoding->bytes), image.width, image.height};
}

std::optional<Preview> imagePreview(ByteView data) {
    return previewOf(ImageTranscoder::thumbnail(data, kMaxSide, kMaxImagePixels));
}

std::optional<Preview> videoPreview(MediaSource& source, std::stop_token stop) {
    return previewOf(VideoFrameReader::firstFrame(source, kMaxSide, stop));
}

std::optional<Preview> makeLocalPreview(const std::filesystem::path& file, const std::string& mimeType,
                                        std::stop_token stop) {
    try {
        if (mimeType.starts_with(kVideoPrefix)) {
            const std::unique_ptr<FileMediaSource> source = FileMediaSource::open(file, mimeType);
            if (!source) return std::nullopt;
            return videoPreview(*source, stop);
        }
        if (mimeType.starts_with(kImagePrefix)) {
            // A local image has no size bound: it is decoded while it is read.
            return previewOf(ImageTranscoder::thumbnailOfFile(file, kMaxSide, kMaxImagePixels));
        }
    } catch (...) {
        // Whatever went wrong, there is simply no preview of this file.
    }
    return std::nullopt;
}

std::optional<Preview> makePreview(E2EEPreviewReader& reader, std::int64_t size, std::string_view mimeType,
                                   std::stop_token stop) {
    if (mimeType.starts_with(kVideoPrefix)) {
        E2EEPreviewResourceLoader loader(reader, size, std::string(mimeType));
        try {
            std::optional<Preview> preview = videoPreview(loader, stop);
            loader.cancelAllLoading();
            return preview;
        } catch (...) {
            loader.cancelAllLoading();
            throw;
        }
    }
    if (mimeType.starts_with(kImagePrefix) && size >= 1 && size <= kMaxEncryptedImageBytes) {
        const Bytes data = reader.read(0, size, stop);
        return imagePreview(data);
    }
    return std::nullopt;
}

}  // namespace nimbuscrate::E2EEThumbnail
