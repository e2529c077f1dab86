#include "platform/media/VideoFrameReader.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "platform/core/CancellationError.h"

namespace nimbuscrate {

namespace {

// FFmpeg's own messages about broken input are not ours to print.
void quietLibraries() {
    static const bool quiet = [] {
        av_log_set_level(AV_LOG_QUIET);
        return true;
    }();
    (void)quiet;
}

// What the custom I/O context reads from: the source, its read position,
// the caller's stop token and the first failure of a read, which FFmpeg
// only sees as an error code and which is thrown again once FFmpeg returns.
struct SourceReading {
    MediaSource& source;
    std::stop_token stop;
    std::int64_t position = 0;
    std::exception_ptr failure;

    bool mustStop() const { return failure != nullptr || stop.stop_requested(); }
    // Throws the kept failure, or CancellationError when asked to stop.
    void rethrow() const {
        if (failure) std::rethrow_exception(failure);
        throwIfCancelled(stop);
    }
};

int readSource(void* opaque, std::uint8_t* buffer, int capacity) {
    auto& reading = *static_cast<SourceReading*>(opaque);
    if (reading.mustStop()) return AVERROR_EXIT;
    try {
        throwIfCancelled(reading.stop);
        const std::size_t wanted = static_cast<std::size_t>(std::clamp(capacity, 0, VideoFrameReader::kReadSize));
        const std::size_t count = reading.source.read(reading.position, buffer, wanted, reading.stop);
        if (count == 0) return AVERROR_EOF;
        if (count > wanted) return AVERROR(EIO);
        reading.position += static_cast<std::int64_t>(count);
        return static_cast<int>(count);
    } catch (...) {
        reading.failure = std::current_exception();
        return AVERROR_EXIT;
    }
}

std::int64_t seekSource(void* opaque, std::int64_t offset, int whence) {
    auto& reading = *static_cast<SourceReading*>(opaque);
    if (reading.mustStop()) return AVERROR_EXIT;
    const std::int64_t size = reading.source.size();
    std::int64_t target = 0;
    switch (whence & ~AVSEEK_FORCE) {
        case AVSEEK_SIZE: return size;
        case SEEK_SET: target = offset; break;
        case SEEK_CUR: target = reading.position + offset; break;
        case SEEK_END: target = size + offset; break;
        default: return AVERROR(EINVAL);
    }
    if (target < 0 || target > size) return AVERROR(EINVAL);
    reading.position = target;
    return target;
}

int interruptReading(void* opaque) { return static_cast<SourceReading*>(opaque)->mustStop() ? 1 : 0; }

// Every file or URL a container names is refused: only the source is read.
int refuseNestedOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) { return AVERROR(EPERM); }

struct IoContextDeleter {
    void operator()(AVIOContext* context) const {
        if (!context) return;
        av_freep(&context->buffer);
        avio_context_free(&context);
    }
};
struct FormatDeleter {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct CodecDeleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct ScalerDeleter {
    void operator()(SwsContext* context) const { sws_freeContext(context); }
};
using IoContext = std::unique_ptr<AVIOContext, IoContextDeleter>;
using Format = std::unique_ptr<AVFormatContext, FormatDeleter>;
using Codec = std::unique_ptr<AVCodecContext, CodecDeleter>;
using Packet = std::unique_ptr<AVPacket, PacketDeleter>;
using Frame = std::unique_ptr<AVFrame, FrameDeleter>;
using Scaler = std::unique_ptr<SwsContext, ScalerDeleter>;

// An opened container: the I/O context must outlive the format context
// (members are destroyed in reverse order).
struct Container {
    IoContext io;
    Format format;
};

// Opens the container from the start of the source, as `forced` or, when
// that is null, as probing finds it; nothing unless it is an allowed one.
std::optional<Container> openContainer(SourceReading& reading, const AVInputFormat* forced) {
    reading.position = 0;
    Container container;
    auto* buffer = static_cast<std::uint8_t*>(av_malloc(VideoFrameReader::kReadSize));
    if (!buffer) return std::nullopt;
    container.io.reset(
        avio_alloc_context(buffer, VideoFrameReader::kReadSize, 0, &reading, readSource, nullptr, seekSource));
    if (!container.io) {
        av_free(buffer);
        return std::nullopt;
    }
    AVFormatContext* format = avformat_alloc_context();
    if (!format) return std::nullopt;
    format->pb = container.io.get();
    format->flags |= AVFMT_FLAG_CUSTOM_IO;
    format->interrupt_callback.callback = interruptReading;
    format->interrupt_callback.opaque = &reading;
    format->io_open = refuseNestedOpen;
    format->format_whitelist = av_strdup(std::string(VideoFrameReader::kAllowedFormats).c_str());
    // On failure avformat_open_input frees the context.
    if (!format->format_whitelist || avformat_open_input(&format, "", forced, nullptr) < 0) {
        if (format) avformat_free_context(format);
        return std::nullopt;
    }
    container.format.reset(format);
    return container;
}

// The clockwise quarter turns that show the stream upright (0 ... 3).
int quarterTurns(const AVStream& stream, const AVFrame& frame) {
    const std::int32_t* matrix = nullptr;
    std::size_t size = 0;
    if (const std::uint8_t* data = av_stream_get_side_data(&stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
        data && size >= 9 * sizeof(std::int32_t)) {
        matrix = reinterpret_cast<const std::int32_t*>(data);
    } else if (const AVFrameSideData* side = av_frame_get_side_data(&frame, AV_FRAME_DATA_DISPLAYMATRIX);
               side && side->size >= 9 * sizeof(std::int32_t)) {
        matrix = reinterpret_cast<const std::int32_t*>(side->data);
    }
    if (!matrix) return 0;
    // The matrix turns counterclockwise; showing it upright turns clockwise.
    const double degrees = -av_display_rotation_get(matrix);
    if (!std::isfinite(degrees)) return 0;
    const long turns = std::lround(degrees / 90.0) % 4;
    return static_cast<int>(turns < 0 ? turns + 4 : turns);
}

// A decoder copies a stream's colour tags as the stream states them, so a
// tag may hold a number its enumeration does not name: it is read as the
// integer it holds, never as the enumeration.
template <typename Tag>
int tagValue(const Tag& tag) {
    static_assert(std::is_enum_v<Tag> && sizeof(Tag) == sizeof(int));
    int value = 0;
    std::memcpy(&value, &tag, sizeof value);
    return value;
}

int colourCoefficients(const AVFrame& frame) {
    switch (tagValue(frame.colorspace)) {
        case AVCOL_SPC_BT709: return SWS_CS_ITU709;
        case AVCOL_SPC_BT470BG:
        case AVCOL_SPC_SMPTE170M: return SWS_CS_ITU601;
        case AVCOL_SPC_SMPTE240M: return SWS_CS_SMPTE240M;
        case AVCOL_SPC_FCC: return SWS_CS_FCC;
        case AVCOL_SPC_BT2020_NCL:
        case AVCOL_SPC_BT2020_CL: return SWS_CS_BT2020;
        // Unmarked video: high definition is usually BT.709, the rest BT.601.
        default: return frame.height >= 720 ? SWS_CS_ITU709 : SWS_CS_ITU601;
    }
}

// Turns a picture by clockwise quarter turns.
RgbImage turned(RgbImage image, int turns) {
    if (turns == 0) return image;
    const int width = image.width;
    const int height = image.height;
    RgbImage result;
    result.width = turns == 2 ? width : height;
    result.height = turns == 2 ? height : width;
    result.pixels.resize(image.pixels.size());
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            int toX = 0;
            int toY = 0;
            switch (turns) {
                case 1: toX = height - 1 - y; toY = x; break;
                case 2: toX = width - 1 - x; toY = height - 1 - y; break;
                default: toX = y; toY = width - 1 - x; break;
            }
            const std::uint8_t* from = &image.pixels[(static_cast<std::size_t>(y) * width + x) * 3];
            std::uint8_t* to = &result.pixels[(static_cast<std::size_t>(toY) * result.width + toX) * 3];
            std::memcpy(to, from, 3);
        }
    }
    return result;
}

// The decoded frame as an upright sRGB picture within maxSide.
std::optional<RgbImage> pictureOf(const AVFrame& frame, const AVStream& stream, int maxSide) {
    const auto pixelFormat = static_cast<AVPixelFormat>(frame.format);
    if (frame.width < 1 || frame.height < 1 || !sws_isSupportedInput(pixelFormat)) return std::nullopt;

    // The shown size: pixel aspect ratio applied, then turned upright.
    AVRational aspect = frame.sample_aspect_ratio;
    if (aspect.num <= 0 || aspect.den <= 0) aspect = stream.sample_aspect_ratio;
    double shownWidth = frame.width;
    double shownHeight = frame.height;
    if (aspect.num > 0 && aspect.den > 0) shownWidth = shownWidth * aspect.num / aspect.den;
    const int turns = quarterTurns(stream, frame);
    if (turns % 2 == 1) std::swap(shownWidth, shownHeight);
    const double scale = std::min(1.0, maxSide / std::max(shownWidth, shownHeight));
    const int targetWidth = std::clamp(static_cast<int>(std::lround(shownWidth * scale)), 1, maxSide);
    const int targetHeight = std::clamp(static_cast<int>(std::lround(shownHeight * scale)), 1, maxSide);
    const int scaledWidth = turns % 2 == 1 ? targetHeight : targetWidth;
    const int scaledHeight = turns % 2 == 1 ? targetWidth : targetHeight;

    const Scaler scaler(sws_getContext(frame.width, frame.height, pixelFormat, scaledWidth, scaledHeight,
                                       AV_PIX_FMT_RGB24, SWS_AREA | SWS_ACCURATE_RND, nullptr, nullptr, nullptr));
    if (!scaler) return std::nullopt;
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(pixelFormat);
    if (descriptor && !(descriptor->flags & AV_PIX_FMT_FLAG_RGB)) {
        const int fullRange = tagValue(frame.color_range) == AVCOL_RANGE_JPEG ? 1 : 0;
        sws_setColorspaceDetails(scaler.get(), sws_getCoefficients(colourCoefficients(frame)), fullRange,
                                 sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
    }

    std::uint8_t* planes[4] = {};
    int strides[4] = {};
    if (av_image_alloc(planes, strides, scaledWidth, scaledHeight, AV_PIX_FMT_RGB24, 32) < 0) return std::nullopt;
    const std::unique_ptr<std::uint8_t, decltype(&av_free)> owned(planes[0], &av_free);
    if (sws_scale(scaler.get(), frame.data, frame.linesize, 0, frame.height, planes, strides) != scaledHeight) {
        return std::nullopt;
    }
    RgbImage picture;
    picture.width = scaledWidth;
    picture.height = scaledHeight;
    picture.pixels.resize(picture.expectedSize());
    const std::size_t row = static_cast<std::size_t>(scaledWidth) * 3;
    for (int y = 0; y < scaledHeight; ++y) {
        std::memcpy(&picture.pixels[y * row], planes[0] + static_cast<std::ptrdiff_t>(y) * strides[0], row);
    }
    return turned(std::move(picture), turns);
}

}  // namespace

std::optional<std::string_view> VideoFrameReader::formatForContentType(std::string_view mimeType) {
    struct Hint {
        std::string_view mimeType;
        std::string_view format;
    };
    static constexpr Hint hints[] = {
        {"video/mp4", "mov"},          {"video/quicktime", "mov"},   {"video/x-m4v", "mov"},
        {"video/3gpp", "mov"},         {"video/3gpp2", "mov"},       {"video/x-matroska", "matroska"},
        {"video/webm", "matroska"},    {"video/x-msvideo", "avi"},   {"video/avi", "avi"},
        {"video/mp2t", "mpegts"},      {"video/mpeg", "mpeg"},       {"video/x-flv", "flv"},
        {"video/ogg", "ogg"},
    };
    for (const Hint& hint : hints) {
        if (hint.mimeType == mimeType) return hint.format;
    }
    return std::nullopt;
}

std::optional<RgbImage> VideoFrameReader::firstFrame(MediaSource& source, int maxSide, std::stop_token stop) {
    quietLibraries();
    throwIfCancelled(stop);
    if (maxSide < 1 || source.size() <= 0) return std::nullopt;
    SourceReading reading{source, stop, 0, nullptr};

    // The hinted container first; probing (among the allowed ones) when it
    // does not open, unless the source itself failed.
    std::optional<Container> container;
    if (const std::optional<std::string_view> hinted = formatForContentType(source.contentType())) {
        if (const AVInputFormat* format = av_find_input_format(std::string(*hinted).c_str())) {
            container = openContainer(reading, format);
        }
        reading.rethrow();
    }
    if (!container) {
        container = openContainer(reading, nullptr);
        reading.rethrow();
        if (!container) return std::nullopt;
    }
    AVFormatContext* format = container->format.get();

    const int findResult = avformat_find_stream_info(format, nullptr);
    reading.rethrow();
    if (findResult < 0) return std::nullopt;
    const AVCodec* decoder = nullptr;
    const int streamIndex = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (streamIndex < 0 || !decoder) return std::nullopt;
    for (unsigned index = 0; index < format->nb_streams; ++index) {
        if (static_cast<int>(index) != streamIndex) format->streams[index]->discard = AVDISCARD_ALL;
    }
    const AVStream& stream = *format->streams[streamIndex];

    const Codec codec(avcodec_alloc_context3(decoder));
    if (!codec || avcodec_parameters_to_context(codec.get(), stream.codecpar) < 0) return std::nullopt;
    codec->max_pixels = kMaxFramePixels;
    // Frame threads would delay the first picture; slices do not.
    codec->thread_type = FF_THREAD_SLICE;
    codec->thread_count = 0;
    if (avcodec_open2(codec.get(), decoder, nullptr) < 0) return std::nullopt;

    const Packet packet(av_packet_alloc());
    const Frame frame(av_frame_alloc());
    if (!packet || !frame) return std::nullopt;
    int packets = 0;
    bool draining = false;
    while (true) {
        if (!draining) {
            const int readResult = av_read_frame(format, packet.get());
            reading.rethrow();
            if (readResult < 0) {
                // End of the data: whatever the decoder still holds.
                draining = true;
                avcodec_send_packet(codec.get(), nullptr);
            } else if (packet->stream_index != streamIndex) {
                av_packet_unref(packet.get());
                continue;
            } else {
                const int sendResult = avcodec_send_packet(codec.get(), packet.get());
                av_packet_unref(packet.get());
                if (++packets > kMaxPackets) return std::nullopt;
                // A packet that does not decode is skipped; later ones may.
                if (sendResult < 0 && sendResult != AVERROR(EAGAIN)) continue;
            }
        }
        const int receiveResult = avcodec_receive_frame(codec.get(), frame.get());
        reading.rethrow();
        if (receiveResult == 0) return pictureOf(*frame, stream, maxSide);
        if (receiveResult == AVERROR(EAGAIN) && !draining) continue;
        if (draining) return std::nullopt;
        // A decoding error on this packet: go on with the next one.
    }
}

}  // namespace nimbuscrate
