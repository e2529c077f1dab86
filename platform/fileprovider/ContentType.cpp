#include "platform/fileprovider/ContentType.h"

#include <algorithm>
#include <map>
#include <vector>

namespace nimbuscrate::fp {
namespace {

struct TypeEntry {
    std::string parent;  // empty for the top
    std::vector<std::string> extensions;
    std::vector<std::string> mimeTypes;  // the first one names a concrete type
};

std::string lowercase(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    });
    return out;
}

struct Registry {
    std::map<std::string, TypeEntry> types;
    std::map<std::string, std::string> byExtension;
    std::map<std::string, std::string> byMime;

    void add(const std::string& id, const std::string& parent, std::vector<std::string> extensions,
             std::vector<std::string> mimeTypes) {
        for (const auto& extension : extensions) byExtension.emplace(extension, id);
        for (const auto& mime : mimeTypes) byMime.emplace(mime, id);
        types.emplace(id, TypeEntry{parent, std::move(extensions), std::move(mimeTypes)});
    }

    Registry() {
        add("fp.item", "", {}, {});
        add("fp.data", "fp.item", {}, {"application/octet-stream"});
        add("fp.folder", "fp.item", {}, {"inode/directory"});
        add("fp.text", "fp.data", {}, {});
        add("fp.image", "fp.data", {}, {});
        add("fp.audiovisual", "fp.data", {}, {});
        add("fp.movie", "fp.audiovisual", {}, {});
        add("fp.audio", "fp.audiovisual", {}, {});
        add("fp.archive", "fp.data", {}, {});
        add("fp.document", "fp.data", {}, {});

        add("text/plain", "fp.text", {"txt", "text", "md", "log"}, {"text/plain", "text/markdown"});
        add("text/html", "fp.text", {"html", "htm"}, {"text/html"});
        add("text/csv", "fp.text", {"csv"}, {"text/csv"});
        add("application/json", "fp.text", {"json"}, {"application/json"});
        add("application/xml", "fp.text", {"xml"}, {"application/xml", "text/xml"});

        add("image/jpeg", "fp.image", {"jpg", "jpeg", "jpe"}, {"image/jpeg", "image/jpg"});
        add("image/png", "fp.image", {"png"}, {"image/png"});
        add("image/gif", "fp.image", {"gif"}, {"image/gif"});
        add("image/tiff", "fp.image", {"tif", "tiff"}, {"image/tiff"});
        add("image/heic", "fp.image", {"heic", "heif"}, {"image/heic", "image/heif"});
        add("image/webp", "fp.image", {"webp"}, {"image/webp"});
        add("image/bmp", "fp.image", {"bmp"}, {"image/bmp"});
        add("image/svg+xml", "fp.image", {"svg"}, {"image/svg+xml"});

        add("video/quicktime", "fp.movie", {"mov", "qt"}, {"video/quicktime"});
        add("video/mp4", "fp.movie", {"mp4", "m4v"}, {"video/mp4", "video/x-m4v"});
        add("video/x-msvideo", "fp.movie", {"avi"}, {"video/x-msvideo"});
        add("video/x-matroska", "fp.movie", {"mkv"}, {"video/x-matroska"});
        add("video/webm", "fp.movie", {"webm"}, {"video/webm"});
        add("video/mpeg", "fp.movie", {"mpg", "mpeg"}, {"video/mpeg"});

        add("audio/mpeg", "fp.audio", {"mp3"}, {"audio/mpeg"});
        add("audio/mp4", "fp.audio", {"m4a"}, {"audio/mp4", "audio/x-m4a"});
        add("audio/wav", "fp.audio", {"wav"}, {"audio/wav", "audio/x-wav"});
        add("audio/flac", "fp.audio", {"flac"}, {"audio/flac"});

        add("application/pdf", "fp.document", {"pdf"}, {"application/pdf"});
        add("application/zip", "fp.archive", {"zip"}, {"application/zip"});
        add("application/gzip", "fp.archive", {"gz", "tgz"}, {"application/gzip"});
        add("application/vnd.openxmlformats-officedocument.wordprocessingml.document", "fp.document",
            {"docx"}, {"application/vnd.openxmlformats-officedocument.wordprocessingml.document"});
        add("application/vnd.openxmlformats-officedocument.spreadsheetml.sheet", "fp.document", {"xlsx"},
            {"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"});
        add("application/vnd.openxmlformats-officedocument.presentationml.presentation", "fp.document",
            {"pptx"}, {"application/vnd.openxmlformats-officedocument.presentationml.presentation"});
    }
};

const Registry& registry() {
    static const Registry instance;
    return instance;
}

}  // namespace

ContentType ContentType::item() { return ContentType("fp.item"); }
ContentType ContentType::data() { return ContentType("fp.data"); }
ContentType ContentType::folder() { return ContentType("fp.folder"); }
ContentType ContentType::text() { return ContentType("fp.text"); }
ContentType ContentType::image() { return ContentType("fp.image"); }
ContentType ContentType::audiovisual() { return ContentType("fp.audiovisual"); }
ContentType ContentType::movie() { return ContentType("fp.movie"); }
ContentType ContentType::audio() { return ContentType("fp.audio"); }
ContentType ContentType::archive() { return ContentType("fp.archive"); }
ContentType ContentType::pdf() { return ContentType("application/pdf"); }

std::optional<ContentType> ContentType::fromFilenameExtension(std::string_view extension) {
    if (extension.empty()) return std::nullopt;
    const auto& table = registry().byExtension;
    auto found = table.find(lowercase(extension));
    if (found == table.end()) return std::nullopt;
    return ContentType(found->second);
}

std::optional<ContentType> ContentType::fromMimeType(std::string_view mimeType) {
    auto semicolon = mimeType.find(';');
    std::string_view bare = mimeType.substr(0, semicolon);
    while (!bare.empty() && (bare.back() == ' ' || bare.back() == '\t')) bare.remove_suffix(1);
    while (!bare.empty() && (bare.front() == ' ' || bare.front() == '\t')) bare.remove_prefix(1);
    if (bare.empty()) return std::nullopt;
    const auto& table = registry().byMime;
    auto found = table.find(lowercase(bare));
    if (found == table.end()) return std::nullopt;
    return ContentType(found->second);
}

ContentType ContentType::withIdentifier(std::string_view identifier) { return ContentType(std::string(identifier)); }

bool ContentType::isRegistered() const { return registry().types.count(identifier_) != 0; }

bool ContentType::conformsTo(const ContentType& other) const {
    const auto& types = registry().types;
    std::string current = identifier_;
    // The tree is shallow; the bound only guards against a malformed table.
    for (int depth = 0; depth < 16 && !current.empty(); ++depth) {
        if (current == other.identifier_) return true;
        auto found = types.find(current);
        if (found == types.end()) return false;
        current = found->second.parent;
    }
    return false;
}

std::string pathExtension(std::string_view filename) {
    auto slash = filename.find_last_of('/');
    std::string_view last = slash == std::string_view::npos ? filename : filename.substr(slash + 1);
    auto dot = last.find_last_of('.');
    if (dot == std::string_view::npos || dot == 0) return {};
    return std::string(last.substr(dot + 1));
}

}  // namespace nimbuscrate::fp
