#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <random>
#include <string>

#include "platform/core/CancellationError.h"
#include "platform/media/FileMediaSource.h"
#include "platform/media/MemoryMediaSource.h"
#include "platform/media/VideoFrameReader.h"
#include "tests/support/MediaFixtures.h"
#include "tests/support/OpenWatch.h"
#include "tests/support/TemporaryDirectory.h"

namespace nimbuscrate::testing {
namespace {

Colour colourAt(const RgbImage& image, int x, int y) {
    const std::size_t i = (static_cast<std::size_t>(y) * image.width + x) * 3;
    return Colour{image.pixels[i], image.pixels[i + 1], image.pixels[i + 2]};
}

// A source over bytes in memory that counts its reads, asks for at most
// what it allows, and can fail or ask to stop from a given read on.
class ScriptedSource final : public MediaSource {
public:
    ScriptedSource(Bytes bytes, std::string type) : bytes_(std::move(bytes)), memory_(bytes_, std::move(type)) {}
    std::int64_t size() const override { return memory_.size(); }
    std::string contentType() const override { return memory_.contentType(); }
    std::size_t read(std::int64_t offset, std::uint8_t* out, std::size_t capacity, std::stop_token stop) override {
        ++reads;
        largestAsk = std::max(largestAsk, capacity);
        if (failFrom > 0 && reads >= failFrom) throw failure;
        if (stopFrom > 0 && reads >= stopFrom) stopper.request_stop();
        return memory_.read(offset, out, std::min(capacity, maxPiece), stop);
    }

    struct Failure {
        int code = 0;
    };
    int reads = 0;
    std::size_t largestAsk = 0;
    int failFrom = 0;
    Failure failure{};
    int stopFrom = 0;
    std::stop_source stopper;
    std::size_t maxPiece = SIZE_MAX;  // answers are at most this long

private:
    Bytes bytes_;
    MemoryMediaSource memory_;
};

class VideoFrameReaderTest : public ::testing::Test {
protected:
    std::filesystem::path video(const std::string& name, const std::string& codec = "-c:v libx264 -pix_fmt yuv420p") {
        const std::filesystem::path file = folder / name;
        EXPECT_TRUE(makeVideo(file, codec)) << name;
        return file;
    }
    TemporaryDirectory folder;
};

TEST_F(VideoFrameReaderTest, TheContainersOfPhonesAndCamerasGiveTheirFirstFrame) {
    struct Case {
        const char* name;
        const char* codec;
        const char* mimeType;
    };
    const Case cases[] = {
        {"movie.mp4", "-c:v libx264 -pix_fmt yuv420p", "video/mp4"},
        {"movie.mov", "-c:v libx264 -pix_fmt yuv420p", "video/quicktime"},
        {"movie.mkv", "-c:v libx264 -pix_fmt yuv420p", "video/x-matroska"},
        {"movie.webm", "-c:v libvpx -b:v 1M", "video/webm"},
        {"movie.avi", "-c:v mpeg4", "video/x-msvideo"},
        {"movie.ts", "-c:v libx264 -pix_fmt yuv420p", "video/mp2t"},
        {"movie.mpg", "-c:v mpeg2video", "video/mpeg"},
        {"movie.flv", "-c:v flv", "video/x-flv"},
        {"movie.ogv", "-c:v libtheora", "video/ogg"},
        // A wrong or missing type: the container is found by probing.
        {"labelled.mkv", "-c:v libx264 -pix_fmt yuv420p", "video/mp4"},
        {"untyped.mp4", "-c:v libx264 -pix_fmt yuv420p", ""},
        {"octets.avi", "-c:v mpeg4", "application/octet-stream"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::filesystem::path file = video(c.name, c.codec);
        const std::unique_ptr<FileMediaSource> source = FileMediaSource::open(file, c.mimeType);
        ASSERT_TRUE(source);
        const std::optional<RgbImage> frame = VideoFrameReader::firstFrame(*source, 512);
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->width, 320);
        EXPECT_EQ(frame->height, 160);
        EXPECT_TRUE(near(colourAt(*frame, 40, 80), kRed)) << colourAt(*frame, 40, 80);
        EXPECT_TRUE(near(colourAt(*frame, 280, 80), kBlue)) << colourAt(*frame, 280, 80);
    }
}

TEST_F(VideoFrameReaderTest, ARotatedMovieWithItsIndexAtTheEndComesOutUprightAndScaledDown) {
    const std::filesystem::path plain = video("plain.mp4");
    const std::filesystem::path rotated = folder / "rotated.mp4";
    ASSERT_TRUE(withRotation(plain, rotated, 90));
    const Bytes bytes = readBytes(rotated);
    ASSERT_TRUE(indexAtTheEnd(bytes));
    const std::optional<Pixels> reference = firstFrameByCommandLine(rotated, folder.path());
    ASSERT_TRUE(reference);
    ASSERT_EQ(reference->width, 160);
    ASSERT_EQ(reference->height, 320);

    ScriptedSource source(bytes, "video/mp4");
    const std::optional<RgbImage> frame = VideoFrameReader::firstFrame(source, 100);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->width, 50);
    EXPECT_EQ(frame->height, 100);
    // Turned as the command line turns it: the same colour on top and below.
    const Colour top = colourAt(*frame, 25, 10);
    const Colour bottom = colourAt(*frame, 25, 90);
    EXPECT_TRUE(near(top, reference->at(80, 20))) << top << " vs " << reference->at(80, 20);
    EXPECT_TRUE(near(bottom, reference->at(80, 300))) << bottom << " vs " << reference->at(80, 300);
    EXPECT_FALSE(near(top, bottom));
    EXPECT_LE(source.largestAsk, static_cast<std::size_t>(VideoFrameReader::kReadSize));
}

TEST_F(VideoFrameReaderTest, AReadFailureIsThrownUnchangedAndAStopRequestEndsTheWork) {
    const Bytes bytes = readBytes(video("movie.mp4"));
    for (const int from : {1, 2, 3}) {
        ScriptedSource source(bytes, "video/mp4");
        source.maxPiece = 100;
        source.failFrom = from;
        source.failure.code = 40 + from;
        try {
            VideoFrameReader::firstFrame(source, 512);
            ADD_FAILURE() << "no failure from read " << from;
        } catch (const ScriptedSource::Failure& failure) {
            EXPECT_EQ(failure.code, 40 + from);
        }
        EXPECT_EQ(source.reads, from) << "reading went on after the failure";
    }
    {
        ScriptedSource source(bytes, "video/mp4");
        source.maxPiece = 100;
        source.stopFrom = 2;
        EXPECT_THROW(VideoFrameReader::firstFrame(source, 512, source.stopper.get_token()), CancellationError);
        EXPECT_EQ(source.reads, 2);
    }
    ScriptedSource source(bytes, "video/mp4");
    std::stop_source stopped;
    stopped.request_stop();
    EXPECT_THROW(VideoFrameReader::firstFrame(source, 512, stopped.get_token()), CancellationError);
    EXPECT_EQ(source.reads, 0);
}

TEST_F(VideoFrameReaderTest, BrokenAndTruncatedVideosGiveNoFrame) {
    const Bytes bytes = readBytes(video("movie.mp4"));
    std::mt19937 random(3);
    Bytes noise(200'000);
    for (auto& byte : noise) byte = static_cast<std::uint8_t>(random());
    Bytes scrambled = bytes;
    for (std::size_t i = 64; i < scrambled.size(); i += 7) scrambled[i] ^= 0x5A;
    const std::pair<const char*, Bytes> cases[] = {
        {"noise", noise},
        {"first half", Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() / 2))},
        {"header only", Bytes(bytes.begin(), bytes.begin() + 32)},
        {"empty", Bytes{}},
        {"scrambled", scrambled},
    };
    for (const auto& [name, data] : cases) {
        SCOPED_TRACE(name);
        ScriptedSource source(data, "video/mp4");
        EXPECT_NO_THROW(EXPECT_FALSE(VideoFrameReader::firstFrame(source, 512)));
    }
}

// A TCP listener on 127.0.0.1 that nobody should connect to.
class Listener {
public:
    Listener() : socket_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(socket_, 8), 0);
        socklen_t length = sizeof address;
        ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~Listener() { ::close(socket_); }
    int port() const { return port_; }
    bool hasConnection() const {
        pollfd entry{socket_, POLLIN, 0};
        return ::poll(&entry, 1, 0) > 0;
    }

private:
    int socket_;
    int port_ = 0;
};

TEST_F(VideoFrameReaderTest, PlaylistsAndConcatListsPosingAsMoviesOpenNothing) {
    const std::filesystem::path watched = folder / "watched";
    std::filesystem::create_directory(watched);
    const std::filesystem::path secret = watched / ("secret-" + std::to_string(::getpid()) + ".mp4");
    std::filesystem::copy_file(video("movie.mp4"), secret);
    const Listener listener;
    const std::string url = "http://127.0.0.1:" + std::to_string(listener.port()) + "/segment.ts";

    const std::pair<const char*, std::string> cases[] = {
        {"concat list", "ffconcat version 1.0\nfile '" + secret.string() + "'\nfile '" + url + "'\n"},
        {"playlist of files", "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:1\n#EXTINF:1.0,\n" + secret.string() +
                                  "\n#EXTINF:1.0,\nfile:" + secret.string() + "\n#EXT-X-ENDLIST\n"},
        {"playlist of URLs", "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:1\n#EXTINF:1.0,\n" + url +
                                 "\n#EXT-X-ENDLIST\n"},
        {"plain list", "#EXTM3U\n#EXTINF:1,\n" + url + "\n" + secret.string() + "\n"},
    };
    OpenWatch watch(watched);
    for (const auto& [name, text] : cases) {
        for (const char* mimeType : {"video/mp4", "video/quicktime", ""}) {
            SCOPED_TRACE(std::string(name) + " as " + mimeType);
            ScriptedSource source(bytesOf(text), mimeType);
            EXPECT_FALSE(VideoFrameReader::firstFrame(source, 512));
        }
    }
    EXPECT_EQ(watch.events(), 0) << "a listed file was opened";
    EXPECT_FALSE(listener.hasConnection()) << "a listed URL was connected to";
    // The watch does see an open of the file.
    std::filesystem::remove(folder / "copy.mp4");
    std::filesystem::copy_file(secret, folder / "copy.mp4");
    EXPECT_GT(watch.events(), 0);
}

TEST_F(VideoFrameReaderTest, ContentTypesHintTheirContainer) {
    EXPECT_EQ(VideoFrameReader::formatForContentType("video/mp4"), "mov");
    EXPECT_EQ(VideoFrameReader::formatForContentType("video/webm"), "matroska");
    EXPECT_EQ(VideoFrameReader::formatForContentType("video/mp2t"), "mpegts");
    EXPECT_FALSE(VideoFrameReader::formatForContentType("Video/mp4"));
    EXPECT_FALSE(VideoFrameReader::formatForContentType("application/x-mpegurl"));
    EXPECT_FALSE(VideoFrameReader::formatForContentType(""));
}

}  // namespace
}  // namespace nimbuscrate::testing
