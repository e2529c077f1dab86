#include "tools/localservice/Thumbnailer.h"

#include <sys/stat.h>

#include <vips/vips8>

#include <charconv>
#include <mutex>
#include <stdexcept>

namespace nimbuscrate::localservice {

namespace {

std::optional<int> parseInteger(const std::string& text) {
    int value = 0;
    auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || result.ec != std::errc() || result.ptr != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace

void Thumbnailer::initialise() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (VIPS_INIT("nimbuscrate-localservice") != 0) throw std::runtime_error("libvips failed to start");
        vips_cache_set_max(0);
    });
}

Thumbnailer::Thumbnailer(const DavServer& files) : files_(files) {
    initialise();
}

Reply Thumbnailer::handle(const IncomingRequest& request) const {
    const auto& info = request.info;
    if (info.method != "GET" && info.method != "HEAD") return Reply::text(405, "Method not allowed\n").header("Allow", "GET, HEAD");
    auto source = info.queryValue("source");
    if (!source || source->empty()) return Reply::text(400, "Missing source\n");
    int size = 256;
    if (auto sizeText = info.queryValue("size")) {
        auto parsed = parseInteger(*sizeText);
        if (!parsed || *parsed < 1 || *parsed > kMaxSize) return Reply::text(400, "Invalid size\n");
        size = *parsed;
    }
    bool crop = false;
    if (auto cropText = info.queryValue("crop")) {
        if (*cropText != "0" && *cropText != "1") return Reply::text(400, "Invalid crop\n");
        crop = *cropText == "1";
    }

    DavServer::Target target;
    switch (files_.matchSource(*source, target)) {
        case DavServer::Match::none: return Reply::text(404, "Unknown source\n");
        case DavServer::Match::invalidPath: return Reply::text(400, "Invalid source path\n");
        case DavServer::Match::target: break;
    }
    auto path = target.file();
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return Reply::text(404, "No such file\n");

    try {
        // Opening reads the header only, so the pixel bound is checked before decoding.
        auto header = vips::VImage::new_from_file(path.c_str(), vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
        if (static_cast<long long>(header.width()) * header.height() > kMaxSourcePixels) {
            return Reply::text(413, "Image too large\n");
        }
        const char* loader = vips_foreign_find_load(path.c_str());
        bool jpeg = loader && lowercase(loader).find("jpeg") != std::string::npos;
        auto thumbnail = vips::VImage::thumbnail(
            path.c_str(), size,
            vips::VImage::option()
                ->set("height", size)
                ->set("size", VIPS_SIZE_DOWN)
                ->set("crop", crop ? VIPS_INTERESTING_CENTRE : VIPS_INTERESTING_NONE));
        void* buffer = nullptr;
        size_t length = 0;
        thumbnail.write_to_buffer(jpeg ? ".jpg" : ".png", &buffer, &length);
        Reply reply;
        reply.status = 200;
        reply.body.assign(static_cast<const char*>(buffer), length);
        g_free(buffer);
        reply.headOnly = info.method == "HEAD";
        reply.header("Content-Type", jpeg ? "image/jpeg" : "image/png");
        reply.header("Cache-Control", "private, max-age=3600");
        return reply;
    } catch (const vips::VError&) {
        vips_error_clear();
        return Reply::text(415, "The file is not an image this service can render\n");
    }
}

}  // namespace nimbuscrate::localservice
