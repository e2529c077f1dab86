#pragma once

// Pictures and videos made at test time with the vips and ffmpeg command
// lines, and pixels read back with them, so that what the code under test
// produces is judged by tools other than itself.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>

#include "platform/core/Bytes.h"

namespace nimbuscrate::testing {

// A command's text with one argument quoted for the shell.
inline std::string shellQuoted(const std::string& argument) {
    std::string quoted = "'";
    for (const char c : argument) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

// Runs a shell command quietly; true when it exits with 0.
inline bool runCommand(const std::string& command) {
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    return status == 0;
}

inline Bytes readBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline void writeBytes(const std::filesystem::path& file, const Bytes& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

struct Colour {
    std::uint8_t red = 0;
    std::uint8_t green = 0;
    std::uint8_t blue = 0;
};
inline constexpr Colour kRed{255, 0, 0};
inline constexpr Colour kBlue{0, 0, 255};
inline constexpr Colour kWhite{255, 255, 255};

// Close enough after lossy coding and colour conversion.
inline bool near(Colour a, Colour b, int tolerance = 48) {
    return std::abs(a.red - b.red) <= tolerance && std::abs(a.green - b.green) <= tolerance &&
           std::abs(a.blue - b.blue) <= tolerance;
}

inline std::ostream& operator<<(std::ostream& out, Colour colour) {
    return out << "rgb(" << int(colour.red) << "," << int(colour.green) << "," << int(colour.blue) << ")";
}

// Pixels as the command line decodes them: RGB, rows from the top.
struct Pixels {
    int width = 0;
    int height = 0;
    Bytes rgb;
    Colour at(int x, int y) const {
        const std::size_t i = (static_cast<std::size_t>(y) * width + x) * 3;
        return Colour{rgb[i], rgb[i + 1], rgb[i + 2]};
    }
};

// Parses a binary PPM (P6, maxval 255; comments allowed in the header).
inline std::optional<Pixels> parsePPM(const Bytes& ppm) {
    std::size_t at = 0;
    // The next header field, skipping white space and comment lines.
    const auto field = [&]() -> std::string {
        while (at < ppm.size()) {
            if (ppm[at] == '#') {
                while (at < ppm.size() && ppm[at] != '\n') ++at;
            } else if (std::isspace(ppm[at])) {
                ++at;
            } else {
                break;
            }
        }
        std::string text;
        while (at < ppm.size() && !std::isspace(ppm[at])) text += static_cast<char>(ppm[at++]);
        return text;
    };
    const std::string magic = field();
    Pixels pixels;
    try {
        pixels.width = std::stoi(field());
        pixels.height = std::stoi(field());
        if (magic != "P6" || std::stoi(field()) != 255 || pixels.width < 1 || pixels.height < 1) return std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
    const std::size_t start = at + 1;  // one white-space byte ends the header
    const std::size_t size = static_cast<std::size_t>(pixels.width) * pixels.height * 3;
    if (ppm.size() < start + size) return std::nullopt;
    pixels.rgb.assign(ppm.begin() + static_cast<std::ptrdiff_t>(start),
                      ppm.begin() + static_cast<std::ptrdiff_t>(start + size));
    return pixels;
}

// Decodes an image file with the vips command line.
inline std::optional<Pixels> decodeWithVips(const Bytes& image, const std::filesystem::path& scratch) {
    const std::filesystem::path in = scratch / "decode-input";
    const std::filesystem::path out = scratch / "decode-output.ppm";
    writeBytes(in, image);
    std::filesystem::remove(out);
    if (!runCommand("vips copy " + shellQuoted(in.string()) + " " + shellQuoted(out.string()))) return std::nullopt;
    return parsePPM(readBytes(out));
}

// Writes a binary PPM of width × height pixels coloured by `colour`.
inline void writePPM(const std::filesystem::path& file, int width, int height,
                     const std::function<Colour(int x, int y)>& colour) {
    std::string header = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
    Bytes bytes(header.begin(), header.end());
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const Colour c = colour(x, y);
            bytes.insert(bytes.end(), {c.red, c.green, c.blue});
        }
    }
    writeBytes(file, bytes);
}

// Red on the left half, blue on the right.
inline Colour redLeftBlueRight(int x, int width) { return x < width / 2 ? kRed : kBlue; }

// A JPEG with an EXIF block whose orientation is `orientation` (1 ... 8),
// inserted right after the start-of-image marker.
inline Bytes withExifOrientation(const Bytes& jpeg, std::uint8_t orientation) {
    const Bytes app1 = {
        0xFF, 0xE1, 0x00, 0x22,                          // APP1, length 34
        'E',  'x',  'i',  'f',  0x00, 0x00,              // EXIF identifier
        'M',  'M',  0x00, 0x2A, 0x00, 0x00, 0x00, 0x08,  // big-endian TIFF, IFD0 at 8
        0x00, 0x01,                                      // one entry
        0x01, 0x12, 0x00, 0x03, 0x00, 0x00, 0x00, 0x01,  // Orientation, SHORT, count 1
        0x00, orientation, 0x00, 0x00,                   // its value
        0x00, 0x00, 0x00, 0x00,                          // no next IFD
    };
    Bytes result(jpeg.begin(), jpeg.begin() + 2);
    result.insert(result.end(), app1.begin(), app1.end());
    result.insert(result.end(), jpeg.begin() + 2, jpeg.end());
    return result;
}

// The first entry of a JPEG's first quantisation table (its DC step).
inline std::optional<int> firstQuantiser(const Bytes& jpeg) {
    for (std::size_t i = 2; i + 5 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xDB) return jpeg[i + 5];
    }
    return std::nullopt;
}

// That entry for libjpeg's standard luminance table at a quality: 16 at
// quality 50, scaled by 5000 / q below 50 and by 200 - 2q above.
inline int standardFirstQuantiser(int quality) {
    const int scale = quality < 50 ? 5000 / quality : 200 - 2 * quality;
    return std::clamp((16 * scale + 50) / 100, 1, 255);
}

// A one-second video of 320 × 160 pixels, red on the left and blue on the
// right, made by the ffmpeg command line; `codec` holds its encoder options.
// The MP4 muxer writes its index (moov) at the end.
inline bool makeVideo(const std::filesystem::path& file, const std::string& codec = "-c:v libx264 -pix_fmt yuv420p") {
    return runCommand("ffmpeg -nostdin -v error -y -f lavfi -i "
                      "'color=c=red:s=320x160:d=1:r=10,drawbox=x=160:y=0:w=160:h=160:color=blue:t=fill' " +
                      codec + " " + shellQuoted(file.string()));
}

// A copy of an MP4 whose video track carries a display rotation (the
// muxer's "rotate" tag, in degrees).
inline bool withRotation(const std::filesystem::path& from, const std::filesystem::path& to, int degrees) {
    return runCommand("ffmpeg -nostdin -v error -y -i " + shellQuoted(from.string()) +
                      " -c copy -metadata:s:v:0 rotate=" + std::to_string(degrees) + " " + shellQuoted(to.string()));
}

// The first frame as the ffmpeg command line shows it (rotation applied).
inline std::optional<Pixels> firstFrameByCommandLine(const std::filesystem::path& video,
                                                     const std::filesystem::path& scratch) {
    const std::filesystem::path out = scratch / "frame-by-command-line.ppm";
    std::filesystem::remove(out);
    if (!runCommand("ffmpeg -nostdin -v error -y -i " + shellQuoted(video.string()) + " -frames:v 1 " +
                    shellQuoted(out.string()))) {
        return std::nullopt;
    }
    return parsePPM(readBytes(out));
}

// Whether the MP4 file's index (moov) comes after its media data (mdat).
inline bool indexAtTheEnd(const Bytes& mp4) {
    const std::string text(mp4.begin(), mp4.end());
    const std::size_t moov = text.find("moov");
    const std::size_t mdat = text.find("mdat");
    return moov != std::string::npos && mdat != std::string::npos && mdat < moov;
}

}  // namespace nimbuscrate::testing
