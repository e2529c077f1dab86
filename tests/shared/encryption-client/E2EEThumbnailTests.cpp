#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "platform/core/CancellationError.h"
#include "shared/encryption-client/E2EEThumbnail.h"
#include "shared/encryption/E2EEError.h"
#include "tests/shared/encryption-client/EncryptedPreviewFixture.h"
#include "tests/support/MediaFixtures.h"
#include "tests/support/OpenWatch.h"
#include "tests/support/TemporaryDirectory.h"

namespace nimbuscrate::testing {
namespace {

using E2EEThumbnail::Preview;

class E2EEThumbnailTest : public ::testing::Test {
protected:
    // A picture file made by the vips command line from a PPM.
    std::filesystem::path makeImage(const std::string& name, int width, int height,
                                    const std::function<Colour(int, int)>& colour, const std::string& target) {
        const std::filesystem::path ppm = folder / (name + ".ppm");
        writePPM(ppm, width, height, colour);
        const std::filesystem::path out = folder / name;
        EXPECT_TRUE(runCommand("vips copy " + shellQuoted(ppm.string()) + " " + shellQuoted(out.string() + target)))
            << name;
        return out;
    }
    std::filesystem::path makeJPEG(const std::string& name, int width, int height) {
        return makeImage(name, width, height, [width](int x, int) { return redLeftBlueRight(x, width); }, "[Q=95]");
    }

    // The preview checked as a JPEG that the vips command line reads, of
    // its announced size, within the bounds.
    Pixels decoded(const Preview& preview) {
        EXPECT_GE(preview.width, 1);
        EXPECT_GE(preview.height, 1);
        EXPECT_LE(preview.width, 512);
        EXPECT_LE(preview.height, 512);
        EXPECT_LE(preview.bytes.size(), 262'144u);
        EXPECT_GE(preview.bytes.size(), 3u);
        EXPECT_EQ(preview.bytes[0], 0xFF);
        EXPECT_EQ(preview.bytes[1], 0xD8);
        const std::optional<Pixels> pixels = decodeWithVips(preview.bytes, folder.path());
        if (!pixels) {
            ADD_FAILURE() << "the preview is no JPEG the command line reads";
            return {};
        }
        EXPECT_EQ(pixels->width, preview.width);
        EXPECT_EQ(pixels->height, preview.height);
        return *pixels;
    }

    TemporaryDirectory folder;
};

TEST_F(E2EEThumbnailTest, LocalImagesGiveUprightPreviewsWithin512Pixels) {
    // Stored 1200 × 600, red left and blue right, with an EXIF orientation
    // of 6: shown turned a quarter clockwise, 600 × 1200, red above blue.
    const std::filesystem::path stored = makeJPEG("stored.jpg", 1200, 600);
    const std::filesystem::path rotated = folder / "rotated.jpg";
    writeBytes(rotated, withExifOrientation(readBytes(stored), 6));
    // Transparent on the left (white once flattened), opaque blue on the right.
    const std::filesystem::path raw = folder / "alpha.raw";
    Bytes rgba;
    for (int y = 0; y < 300; ++y) {
        for (int x = 0; x < 600; ++x) {
            const bool left = x < 300;
            rgba.insert(rgba.end(), {std::uint8_t(left ? 255 : 0), 0, std::uint8_t(left ? 0 : 255),
                                     std::uint8_t(left ? 0 : 255)});
        }
    }
    writeBytes(raw, rgba);
    const std::filesystem::path png = folder / "alpha.png";
    ASSERT_TRUE(runCommand("vips rawload " + shellQuoted(raw.string()) + " " + shellQuoted(png.string()) +
                           " 600 300 4"));
    const std::filesystem::path heif =
        makeImage("photo.heic", 600, 300, [](int x, int) { return redLeftBlueRight(x, 600); }, "[Q=90]");
    const std::filesystem::path small = makeImage("small.png", 64, 32, [](int x, int) { return redLeftBlueRight(x, 64); }, "");
    const std::filesystem::path photo = makeJPEG("photo.jpg", 1600, 1200);

    struct Case {
        std::filesystem::path file;
        const char* mimeType;
        int width;
        int height;
        Colour first;   // top or left
        Colour second;  // bottom or right
        bool portrait;
    };
    const Case cases[] = {
        {rotated, "image/jpeg", 256, 512, kRed, kBlue, true},
        {png, "image/png", 512, 256, kWhite, kBlue, false},
        {heif, "image/heic", 512, 256, kRed, kBlue, false},
        {small, "image/png", 64, 32, kRed, kBlue, false},  // never scaled up
        {photo, "image/jpeg", 512, 384, kRed, kBlue, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file.filename().string());
        const std::optional<Preview> preview = E2EEThumbnail::makeLocalPreview(c.file, c.mimeType);
        ASSERT_TRUE(preview);
        EXPECT_EQ(preview->width, c.width);
        EXPECT_EQ(preview->height, c.height);
        const Pixels pixels = decoded(*preview);
        if (pixels.width == 0) continue;
        const Colour first = c.portrait ? pixels.at(pixels.width / 2, pixels.height / 8)
                                        : pixels.at(pixels.width / 8, pixels.height / 2);
        const Colour second = c.portrait ? pixels.at(pixels.width / 2, pixels.height * 7 / 8)
                                         : pixels.at(pixels.width * 7 / 8, pixels.height / 2);
        EXPECT_TRUE(near(first, c.first)) << first;
        EXPECT_TRUE(near(second, c.second)) << second;
    }
}

TEST_F(E2EEThumbnailTest, OnlyLowerCaseImageAndVideoPrefixesOpenTheFile) {
    const std::filesystem::path watched = folder / "watched";
    std::filesystem::create_directory(watched);
    const std::filesystem::path png = watched / "picture.png";
    std::filesystem::copy_file(makeImage("source.png", 40, 20, [](int x, int) { return redLeftBlueRight(x, 40); }, ""),
                               png);
    OpenWatch watch(watched);
    for (const char* mimeType : {"Image/png", "IMAGE/PNG", "Video/mp4", "application/pdf", "text/plain", "", "image"}) {
        EXPECT_FALSE(E2EEThumbnail::makeLocalPreview(png, mimeType)) << mimeType;
    }
    EXPECT_EQ(watch.events(), 0);
    // The watch does see the file being read.
    EXPECT_TRUE(E2EEThumbnail::makeLocalPreview(png, "image/png"));
    EXPECT_GT(watch.events(), 0);
}

TEST_F(E2EEThumbnailTest, LocalFilesThatAreNoMediaGiveNoPreview) {
    const std::filesystem::path text = folder / "notes.txt";
    writeBytes(text, bytesOf("not a picture at all"));
    const std::filesystem::path fifo = folder / "pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::filesystem::path truncated = folder / "truncated.jpg";
    const Bytes jpeg = readBytes(makeJPEG("whole.jpg", 300, 200));
    writeBytes(truncated, Bytes(jpeg.begin(), jpeg.begin() + 20));
    const std::pair<std::filesystem::path, const char*> cases[] = {
        {text, "image/png"}, {text, "video/mp4"}, {folder / "missing.png", "image/png"},
        {fifo, "image/png"}, {fifo, "video/mp4"}, {truncated, "image/jpeg"}, {folder.path(), "image/png"},
    };
    for (const auto& [file, mimeType] : cases) {
        EXPECT_FALSE(E2EEThumbnail::makeLocalPreview(file, mimeType)) << file << " " << mimeType;
    }
}

TEST_F(E2EEThumbnailTest, TheFirstQualityThatFitsIsKept) {
    using Sizes = std::vector<std::size_t>;  // per quality 75, 60, 40; 0: the encoder fails
    struct Case {
        const char* name;
        Sizes sizes;
        std::optional<int> quality;
        std::vector<int> asked;
    };
    const Case cases[] = {
        {"75 fits", {200'000, 150'000, 100'000}, 75, {75}},
        {"75 too big, 60 fits", {262'145, 262'144, 100'000}, 60, {75, 60}},
        {"only 40 fits", {400'000, 300'000, 262'144}, 40, {75, 60, 40}},
        {"nothing fits", {400'000, 300'000, 262'145}, std::nullopt, {75, 60, 40}},
        {"75 fails to encode, 60 fits", {0, 1'000, 500}, 60, {75, 60}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<int> asked;
        const auto encoding = E2EEThumbnail::detail::firstFittingEncoding([&](int quality) -> std::optional<Bytes> {
            asked.push_back(quality);
            const std::size_t size = c.sizes[asked.size() - 1];
            if (size == 0) return std::nullopt;
            return Bytes(size, static_cast<std::uint8_t>(quality));
        });
        EXPECT_EQ(asked, c.asked);
        ASSERT_EQ(encoding.has_value(), c.quality.has_value());
        if (encoding) {
            EXPECT_EQ(encoding->quality, *c.quality);
            EXPECT_EQ(encoding->bytes, Bytes(c.sizes[asked.size() - 1], static_cast<std::uint8_t>(*c.quality)));
        }
    }
}

TEST_F(E2EEThumbnailTest, JPEGPreviewsAreWrittenAtQuality75AndNeverRescaled) {
    RgbImage noise;
    noise.width = 512;
    noise.height = 512;
    std::mt19937 random(5);
    for (std::size_t i = 0; i < noise.expectedSize(); ++i) noise.pixels.push_back(static_cast<std::uint8_t>(random()));
    const std::optional<Preview> preview = E2EEThumbnail::jpegPreview(noise);
    ASSERT_TRUE(preview);
    EXPECT_EQ(firstQuantiser(preview->bytes), standardFirstQuantiser(75));
    decoded(*preview);

    RgbImage wide = noise;
    wide.width = 513;
    wide.pixels.resize(wide.expectedSize());
    EXPECT_FALSE(E2EEThumbnail::jpegPreview(wide));
    RgbImage broken = noise;
    broken.pixels.pop_back();
    EXPECT_FALSE(E2EEThumbnail::jpegPreview(broken));
    EXPECT_FALSE(E2EEThumbnail::jpegPreview(RgbImage{}));
}

TEST_F(E2EEThumbnailTest, ImageBytesThatAreNoImageGiveNoPreview) {
    const Bytes jpeg = readBytes(makeJPEG("whole.jpg", 300, 200));
    const Bytes svg = bytesOf("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"10\" height=\"10\"><rect width=\"10\" height=\"10\"/></svg>");
    EXPECT_TRUE(E2EEThumbnail::imagePreview(jpeg));
    EXPECT_FALSE(E2EEThumbnail::imagePreview(Bytes(jpeg.begin(), jpeg.begin() + 100)));
    EXPECT_FALSE(E2EEThumbnail::imagePreview(Bytes{}));
    EXPECT_FALSE(E2EEThumbnail::imagePreview(bytesOf("GIF89a but not really")));
    // Only loaders libvips marks as unsafe for untrusted data read SVG.
    EXPECT_FALSE(E2EEThumbnail::imagePreview(svg));
}

// ---- Encrypted revisions ----

class E2EEEncryptedPreviewTest : public E2EEThumbnailTest {};

TEST_F(E2EEEncryptedPreviewTest, EncryptedImagesAreReadWholeUpTo32MiB) {
    // A JPEG padded with bytes after its end to exactly the limit, and one
    // byte more.
    Bytes image = readBytes(makeJPEG("big.jpg", 800, 400));
    image.resize(static_cast<std::size_t>(E2EEThumbnail::kMaxEncryptedImageBytes), 0);
    for (const std::int64_t size : {E2EEThumbnail::kMaxEncryptedImageBytes, E2EEThumbnail::kMaxEncryptedImageBytes + 1}) {
        SCOPED_TRACE(size);
        image.resize(static_cast<std::size_t>(size), 0);
        const EncryptedBlob sealed = encryptInMemory(image);
        RecordingFetch fetch(sealed.blob);
        E2EEPreviewReader reader(sealed.file, E2EEPreviewReader::kThumbnailBudget, fetch.fetch());
        const std::optional<Preview> preview = E2EEThumbnail::makePreview(reader, size, "image/jpeg");
        if (size == E2EEThumbnail::kMaxEncryptedImageBytes) {
            ASSERT_TRUE(preview);
            EXPECT_EQ(preview->width, 512);
            EXPECT_EQ(preview->height, 256);
            EXPECT_EQ(fetch.bytesFetched(), static_cast<std::int64_t>(sealed.blob.size()));
        } else {
            EXPECT_FALSE(preview);
            EXPECT_TRUE(fetch.ranges().empty());
        }
    }
}

TEST_F(E2EEEncryptedPreviewTest, OtherTypesAndEmptyImagesReadNothing) {
    const Bytes image = readBytes(makeJPEG("small.jpg", 60, 30));
    const EncryptedBlob sealed = encryptInMemory(image);
    const std::int64_t size = static_cast<std::int64_t>(image.size());
    struct Case {
        const char* mimeType;
        std::int64_t size;
    };
    for (const Case& c : {Case{"application/pdf", size}, Case{"Image/jpeg", size}, Case{"Video/mp4", size},
                          Case{"image/jpeg", 0}, Case{"", size}}) {
        SCOPED_TRACE(c.mimeType);
        RecordingFetch fetch(sealed.blob);
        E2EEPreviewReader reader(sealed.file, E2EEPreviewReader::kThumbnailBudget, fetch.fetch());
        EXPECT_FALSE(E2EEThumbnail::makePreview(reader, c.size, c.mimeType));
        EXPECT_TRUE(fetch.ranges().empty());
    }
    RecordingFetch fetch(sealed.blob);
    E2EEPreviewReader reader(sealed.file, E2EEPreviewReader::kThumbnailBudget, fetch.fetch());
    const std::optional<Preview> preview = E2EEThumbnail::makePreview(reader, size, "image/jpeg");
    ASSERT_TRUE(preview);
    EXPECT_EQ(preview->width, 60);
    EXPECT_EQ(preview->height, 30);
}

TEST_F(E2EEEncryptedPreviewTest, AnEncryptedImageThatDoesNotDecodeIsNoPreviewButReadErrorsAreThrown) {
    const Bytes garbage = bytesOf(std::string(5000, 'x'));
    const EncryptedBlob sealed = encryptInMemory(garbage);
    RecordingFetch fetch(sealed.blob);
    E2EEPreviewReader reader(sealed.file, E2EEPreviewReader::kThumbnailBudget, fetch.fetch());
    EXPECT_FALSE(E2EEThumbnail::makePreview(reader, 5000, "image/png"));

    E2EEPreviewReader poor(sealed.file, 100, fetch.fetch());
    EXPECT_THROW(E2EEThumbnail::makePreview(poor, 5000, "image/png"), E2EEError);
}

// ---- Videos ----

class E2EEVideoPreviewTest : public E2EEThumbnailTest {
protected:
    void SetUp() override {
        const std::filesystem::path plain = folder / "plain.mp4";
        ASSERT_TRUE(makeVideo(plain));
        movie = folder / "rotated.mp4";
        ASSERT_TRUE(withRotation(plain, movie, 90));
        ASSERT_TRUE(indexAtTheEnd(readBytes(movie)));
        const std::optional<Pixels> frame = firstFrameByCommandLine(movie, folder.path());
        ASSERT_TRUE(frame);
        reference = *frame;
        ASSERT_EQ(reference.width, 160);
        ASSERT_EQ(reference.height, 320);
    }

    // Upright as the command line shows the movie: same size, same colours
    // above and below.
    void expectUpright(const std::optional<Preview>& preview) {
        ASSERT_TRUE(preview);
        EXPECT_EQ(preview->width, 160);
        EXPECT_EQ(preview->height, 320);
        const Pixels pixels = decoded(*preview);
        if (pixels.width == 0) return;
        for (const int y : {20, 300}) {
            EXPECT_TRUE(near(pixels.at(80, y), reference.at(80, y))) << y << ": " << pixels.at(80, y) << " vs "
                                                                      << reference.at(80, y);
        }
    }

    std::filesystem::path movie;
    Pixels reference;
};

TEST_F(E2EEVideoPreviewTest, ALocalRotatedMovieGivesItsUprightFirstFrame) {
    expectUpright(E2EEThumbnail::makeLocalPreview(movie, "video/mp4"));
    expectUpright(E2EEThumbnail::makeLocalPreview(movie, "video/x-unknown"));
    EXPECT_FALSE(E2EEThumbnail::makeLocalPreview(movie, "Video/mp4"));
    std::stop_source stop;
    stop.request_stop();
    EXPECT_FALSE(E2EEThumbnail::makeLocalPreview(movie, "video/mp4", stop.get_token()));
}

TEST_F(E2EEVideoPreviewTest, AnEncryptedRotatedMovieGivesItsUprightFirstFrameThroughTheReader) {
    const Bytes bytes = readBytes(movie);
    const EncryptedBlob sealed = encryptInMemory(bytes);
    RecordingFetch fetch(sealed.blob);
    E2EEPreviewReader reader(sealed.file, E2EEPreviewReader::kThumbnailBudget, fetch.fetch());
    expectUpright(E2EEThumbnail::makePreview(reader, static_cast<std::int64_t>(bytes.size()), "video/mp4"));
    EXPECT_FALSE(fetch.ranges().empty());
}

TEST_F(E2EEVideoPreviewTest, ReaderFailuresAreThrownAsTheReadersOwnErrors) {
    const Bytes bytes = readBytes(movie);
    const auto size = static_cast<std::int64_t>(bytes.size());
    const EncryptedBlob sealed = encryptInMemory(bytes);
    RecordingFetch fetch(sealed.blob);
    {
        // The header fits the budget; the segment does not.
        E2EEPreviewReader reader(sealed.file, 100, fetch.fetch());
        try {
            E2EEThumbnail::makePreview(reader, size, "video/mp4");
            ADD_FAILURE() << "a spent budget gave no error";
        } catch (const E2EEError& error) {
            EXPECT_EQ(error.kind(), E2EEError::Case::invalid);
        }
        EXPECT_EQ(fetch.ranges().size(), 1u);
    }
    {
        struct Unreachable {
            int status = 503;
        };
        E2EEPreviewReader reader(sealed.file, E2EEPreviewReader::kThumbnailBudget, fetch.fetch());
        fetch.replyWith([](RecordingFetch::Range, const Bytes&) -> Bytes { throw Unreachable(); });
        EXPECT_THROW(E2EEThumbnail::makePreview(reader, size, "video/mp4"), Unreachable);
        fetch.replyWith({});
    }
    E2EEPreviewReader reader(sealed.file, E2EEPreviewReader::kThumbnailBudget, fetch.fetch());
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(E2EEThumbnail::makePreview(reader, size, "video/mp4", stop.get_token()), CancellationError);
}

TEST_F(E2EEVideoPreviewTest, AnEncryptedPlaylistPosingAsAMovieGivesNoPreview) {
    const Bytes playlist = bytesOf("ffconcat version 1.0\nfile '" + movie.string() + "'\n");
    const EncryptedBlob sealed = encryptInMemory(playlist);
    RecordingFetch fetch(sealed.blob);
    E2EEPreviewReader reader(sealed.file, E2EEPreviewReader::kThumbnailBudget, fetch.fetch());
    OpenWatch watch(folder.path());
    EXPECT_FALSE(E2EEThumbnail::makePreview(reader, static_cast<std::int64_t>(playlist.size()), "video/mp4"));
    EXPECT_EQ(watch.events(), 0);
}

// Nothing of an encrypted preview reaches the disk: neither libvips nor
// FFmpeg creates a file in the temporary folder while a large image (its
// decoded pixels well above libvips' threshold for decoding to disk) and a
// video are previewed. The test runs in its own process, so the temporary
// folder set here is the one the libraries take.
TEST_F(E2EEThumbnailTest, NothingOfAnEncryptedPreviewIsWrittenToDisk) {
    const std::filesystem::path temporary = folder / "tmp";
    std::filesystem::create_directory(temporary);
    ::setenv("TMPDIR", temporary.c_str(), 1);
    // 8000 × 6000 RGB: 144 MB of pixels from a small PNG.
    const std::filesystem::path png = folder / "large.png";
    ASSERT_TRUE(runCommand("vips black " + shellQuoted((folder / "black.v").string()) + " 8000 6000 --bands 3"));
    ASSERT_TRUE(runCommand("vips copy " + shellQuoted((folder / "black.v").string()) + " " + shellQuoted(png.string())));
    std::filesystem::remove(folder / "black.v");
    const std::filesystem::path movie = folder / "movie.mp4";
    ASSERT_TRUE(makeVideo(movie));

    struct Job {
        const char* mimeType;
        std::int64_t size;
        EncryptedBlob sealed;
    };
    std::vector<Job> jobs;
    for (const auto& [file, mimeType] : {std::pair{png, "image/png"}, std::pair{movie, "video/mp4"}}) {
        const Bytes bytes = readBytes(file);
        jobs.push_back({mimeType, static_cast<std::int64_t>(bytes.size()), encryptInMemory(bytes)});
    }

    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(watch, temporary.c_str(), IN_CREATE | IN_MOVED_TO), 0);
    for (const Job& job : jobs) {
        SCOPED_TRACE(job.mimeType);
        RecordingFetch fetch(job.sealed.blob);
        E2EEPreviewReader reader(job.sealed.file, E2EEPreviewReader::kThumbnailBudget, fetch.fetch());
        EXPECT_TRUE(E2EEThumbnail::makePreview(reader, job.size, job.mimeType));
    }
    alignas(inotify_event) char buffer[4096];
    const ssize_t count = ::read(watch, buffer, sizeof buffer);
    for (ssize_t at = 0; at < count;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        ADD_FAILURE() << "created in the temporary folder: " << (event->len ? event->name : "?");
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
    ::close(watch);
    EXPECT_TRUE(std::filesystem::is_empty(temporary));
}

}  // namespace
}  // namespace nimbuscrate::testing
