#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/imaging/ImageTranscoder.h"

namespace nimbuscrate {
namespace {

Bytes fixture(const std::string& name) {
    std::ifstream in(std::string(NIMBUSCRATE_SOURCE_DIR) + "/tests/platform/imaging/fixtures/" + name, std::ios::binary);
    EXPECT_TRUE(in) << name;
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::uint32_t bigEndian32(const Bytes& bytes, std::size_t at) {
    return (std::uint32_t{bytes[at]} << 24) | (std::uint32_t{bytes[at + 1]} << 16) |
           (std::uint32_t{bytes[at + 2]} << 8) | std::uint32_t{bytes[at + 3]};
}

// What a PNG's header chunk says (the first chunk, right after the signature).
struct PNGHeader {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    int colorType = -1;  // 0 grey, 2 RGB, 4 grey + alpha, 6 RGB + alpha
};

PNGHeader headerOf(const Bytes& png) {
    static const std::string signature("\x89PNG\r\n\x1a\n", 8);
    if (png.size() < 33 || std::string(png.begin(), png.begin() + 8) != signature ||
        std::string(png.begin() + 12, png.begin() + 16) != "IHDR") {
        ADD_FAILURE() << "not a PNG";
        return {};
    }
    return PNGHeader{bigEndian32(png, 16), bigEndian32(png, 20), png[25]};
}

TEST(ImageTranscoderTest, JPEGAndPNGBecomeOnePNGAtTheirOwnSize) {
    struct Case {
        const char* file;
        std::uint32_t width;
        std::uint32_t height;
        int colorType;
    };
    const Case cases[] = {
        {"gray-8x8.jpg", 8, 8, 0},
        {"rgb-3x2.png", 3, 2, 2},
    };
    for (const Case& c : cases) {
        const ImageTranscoder::Result result = ImageTranscoder::toPNG(fixture(c.file), 1 << 20);
        ASSERT_EQ(result.outcome, ImageTranscoder::Outcome::png) << c.file;
        EXPECT_EQ(result.pixels, std::uint64_t{c.width} * c.height) << c.file;
        const PNGHeader header = headerOf(result.png);
        EXPECT_EQ(header.width, c.width) << c.file;
        EXPECT_EQ(header.height, c.height) << c.file;
        EXPECT_EQ(header.colorType, c.colorType) << c.file;
    }
}

TEST(ImageTranscoderTest, ThePixelBoundIsInclusive) {
    const Bytes jpeg = fixture("gray-8x8.jpg");
    EXPECT_EQ(ImageTranscoder::toPNG(jpeg, 64).outcome, ImageTranscoder::Outcome::png);
    const ImageTranscoder::Result refused = ImageTranscoder::toPNG(jpeg, 63);
    EXPECT_EQ(refused.outcome, ImageTranscoder::Outcome::tooLarge);
    EXPECT_EQ(refused.pixels, 64u);
    EXPECT_TRUE(refused.png.empty());
}

// Server bytes never reach a loader that libvips marks unsafe for untrusted
// input: an SVG, which only such a loader reads, is no image here.
TEST(ImageTranscoderTest, FormatsOnlyUntrustedLoadersReadAreUndecodable) {
    const Bytes svg = fixture("square.svg");
    ASSERT_FALSE(svg.empty());
    const ImageTranscoder::Result result = ImageTranscoder::toPNG(svg, 1 << 20);
    EXPECT_EQ(result.outcome, ImageTranscoder::Outcome::undecodable);
    EXPECT_TRUE(result.png.empty());
}

TEST(ImageTranscoderTest, BytesThatAreNoImageAreUndecodable) {
    Bytes truncated = fixture("rgb-3x2.png");
    truncated.resize(40);
    const Bytes cases[] = {Bytes(), bytesOf("<html>nope</html>"), truncated};
    for (const Bytes& bytes : cases) {
        EXPECT_EQ(ImageTranscoder::toPNG(bytes, 1 << 20).outcome, ImageTranscoder::Outcome::undecodable) << bytes.size();
    }
}

// Thumbnails: grey becomes RGB, a small image keeps its size, and the
// header's pixel count is checked before anything is decoded.
TEST(ImageTranscoderTest, ThumbnailsAreRGBWithinTheirBoundsAndRefuseTooManyPixels) {
    const Bytes jpeg = fixture("gray-8x8.jpg");
    const std::optional<RgbImage> thumbnail = ImageTranscoder::thumbnail(jpeg, 512, 64);
    ASSERT_TRUE(thumbnail);
    EXPECT_EQ(thumbnail->width, 8);
    EXPECT_EQ(thumbnail->height, 8);
    EXPECT_TRUE(thumbnail->isValid());
    const std::optional<RgbImage> smaller = ImageTranscoder::thumbnail(jpeg, 4, 64);
    ASSERT_TRUE(smaller);
    EXPECT_EQ(smaller->width, 4);
    EXPECT_EQ(smaller->height, 4);
    EXPECT_FALSE(ImageTranscoder::thumbnail(jpeg, 512, 63));
    EXPECT_FALSE(ImageTranscoder::thumbnail(fixture("square.svg"), 512, 1 << 20));
    EXPECT_FALSE(ImageTranscoder::thumbnail(Bytes{}, 512, 1 << 20));

    const std::optional<Bytes> encoded = ImageTranscoder::toJPEG(*thumbnail, 75);
    ASSERT_TRUE(encoded);
    EXPECT_EQ(ImageTranscoder::toPNG(*encoded, 64).pixels, 64u);
    EXPECT_FALSE(ImageTranscoder::toJPEG(*thumbnail, 0));
    EXPECT_FALSE(ImageTranscoder::toJPEG(RgbImage{}, 75));
}

}  // namespace
}  // namespace nimbuscrate
