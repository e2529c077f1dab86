#include "tools/localservice/SeedFile.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <openssl/rand.h>

#include <nlohmann/json.hpp>
#include <vips/vips8>

#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "tools/localservice/Thumbnailer.h"

namespace nimbuscrate::localservice {

namespace fs = std::filesystem;

namespace {

fs::path itemFile(const fs::path& root, const std::string& path) {
    if (path.empty() || path.front() != '/') throw std::runtime_error("seed item path must start with /: " + path);
    fs::path file = root;
    std::size_t start = 1;
    while (start <= path.size()) {
        auto end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string piece = path.substr(start, end - start);
        if (piece == "." || piece == ".." || piece.find('\0') != std::string::npos) {
            throw std::runtime_error("seed item path is not allowed: " + path);
        }
        if (!piece.empty()) file /= piece;
        start = end + 1;
    }
    if (file == root) throw std::runtime_error("seed item path names the drive root");
    return file;
}

void writeFile(const fs::path& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) throw std::runtime_error("cannot write " + file.string());
}

// A colour gradient with a circle, so thumbnails have something to show.
void writeImage(const fs::path& file, int width, int height) {
    if (width < 1 || height < 1 || width > 8192 || height > 8192) throw std::runtime_error("seed image size out of range");
    Thumbnailer::initialise();
    vips::VImage xy = vips::VImage::xyz(width, height);
    vips::VImage x = xy[0];
    vips::VImage y = xy[1];
    vips::VImage red = x * (255.0 / width);
    vips::VImage green = y * (255.0 / height);
    double cx = width / 2.0, cy = height / 2.0, radius = std::min(width, height) / 3.0;
    vips::VImage inside = ((x - cx) * (x - cx) + (y - cy) * (y - cy)) < radius * radius;
    vips::VImage blue = inside.ifthenelse(230.0, 60.0);
    vips::VImage image = red.bandjoin(green).bandjoin(blue).cast(VIPS_FORMAT_UCHAR);
    image = image.copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
    image.write_to_file(file.c_str());
}

// Unpadded base64url (RFC 4648, "-" and "_"), as the encrypted seed's blobs come.
std::string decodeBase64URL(const std::string& text, const std::string& path) {
    static constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    if (text.size() % 4 == 1) throw std::runtime_error("seed base64url has a bad length: " + path);
    std::string bytes;
    bytes.reserve(text.size() * 3 / 4);
    std::uint32_t buffer = 0;
    int bits = 0;
    for (const char c : text) {
        const std::size_t value = kAlphabet.find(c);
        if (value == std::string_view::npos) throw std::runtime_error("seed base64url is malformed: " + path);
        buffer = (buffer << 6) | static_cast<std::uint32_t>(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes.push_back(static_cast<char>((buffer >> bits) & 0xff));
        }
    }
    return bytes;
}

}  // namespace

void applySeedFile(const fs::path& seedFile, DavServer& files) {
    std::ifstream in(seedFile);
    if (!in) throw std::runtime_error("cannot read seed file " + seedFile.string());
    nlohmann::json seed;
    try {
        seed = nlohmann::json::parse(in);
    } catch (const nlohmann::json::exception& error) {
        throw std::runtime_error("seed file is not JSON: " + std::string(error.what()));
    }
    if (!seed.is_object() || !seed.contains("drives") || !seed["drives"].is_array()) {
        throw std::runtime_error("seed file needs a \"drives\" array");
    }
    try {
        for (const auto& entry : seed["drives"]) {
            Drive drive;
            drive.id = entry.at("id").get<std::string>();
            drive.name = entry.at("name").get<std::string>();
            if (entry.contains("driveType") && !entry["driveType"].is_null()) drive.driveType = entry["driveType"].get<std::string>();
            if (entry.contains("webDavUrl")) drive.webDavUrl = entry["webDavUrl"].get<std::string>();
            files.addDrive(drive);
            fs::path root = files.driveDirectory(drive.id);
            if (!entry.contains("items")) continue;
            for (const auto& item : entry.at("items")) {
                std::string path = item.at("path").get<std::string>();
                fs::path file = itemFile(root, path);
                if (item.value("folder", false)) {
                    fs::create_directories(file);
                } else {
                    fs::create_directories(file.parent_path());
                    if (item.contains("text")) {
                        writeFile(file, item["text"].get<std::string>());
                    } else if (item.contains("image")) {
                        writeImage(file, item["image"].at("width").get<int>(), item["image"].at("height").get<int>());
                    } else if (item.contains("base64url")) {
                        writeFile(file, decodeBase64URL(item["base64url"].get<std::string>(), path));
                    } else if (item.contains("randomBytes")) {
                        auto count = item["randomBytes"].get<std::size_t>();
                        if (count > 64 * 1024 * 1024) throw std::runtime_error("seed randomBytes too large");
                        std::string bytes(count, '\0');
                        if (count > 0 && RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(count)) != 1) {
                            throw std::runtime_error("RAND_bytes failed");
                        }
                        writeFile(file, bytes);
                    } else {
                        throw std::runtime_error("seed item needs folder, text, image, base64url or randomBytes: " + path);
                    }
                }
                if (item.contains("modified")) {
                    struct timespec times[2];
                    times[0].tv_sec = static_cast<time_t>(item["modified"].get<std::int64_t>());
                    times[0].tv_nsec = 0;
                    times[1] = times[0];
                    if (::utimensat(AT_FDCWD, file.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
                        throw std::runtime_error("cannot set the modification time of " + path);
                    }
                }
            }
        }
    } catch (const nlohmann::json::exception& error) {
        throw std::runtime_error("malformed seed file: " + std::string(error.what()));
    } catch (const vips::VError& error) {
        throw std::runtime_error("seed image failed: " + std::string(error.what()));
    } catch (const std::invalid_argument& error) {
        throw std::runtime_error(std::string("malformed seed file: ") + error.what());
    }
}

}  // namespace nimbuscrate::localservice
