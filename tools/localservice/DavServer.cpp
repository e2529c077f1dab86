#include "tools/localservice/DavServer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <stdexcept>

#include "tools/localservice/PropfindRequest.h"

namespace nimbuscrate::localservice {

namespace fs = std::filesystem;

namespace {

const char* kAllowedMethods = "OPTIONS, GET, HEAD, PUT, PROPFIND, MKCOL, MOVE, DELETE";

// Escapes text for an element's content, or with `attribute` for a quoted attribute value.
std::string escapeXml(std::string_view text, bool attribute = false) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += attribute ? "&quot;" : "\""; break;
            default: out += c;
        }
    }
    return out;
}

// A name the XML replies can carry: valid UTF-8 (shortest forms, no
// surrogates) without control characters.
bool isPresentableName(std::string_view name) {
    std::size_t i = 0;
    while (i < name.size()) {
        auto byte = static_cast<unsigned char>(name[i]);
        if (byte < 0x20 || byte == 0x7f) return false;
        if (byte < 0x80) {
            ++i;
            continue;
        }
        std::size_t length;
        std::uint32_t code;
        if ((byte & 0xe0) == 0xc0) {
            length = 2;
            code = byte & 0x1f;
        } else if ((byte & 0xf0) == 0xe0) {
            length = 3;
            code = byte & 0x0f;
        } else if ((byte & 0xf8) == 0xf0) {
            length = 4;
            code = byte & 0x07;
        } else {
            return false;
        }
        if (i + length > name.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            auto next = static_cast<unsigned char>(name[i + k]);
            if ((next & 0xc0) != 0x80) return false;
            code = (code << 6) | (next & 0x3f);
        }
        static const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < smallest[length] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return false;
        if (code >= 0x80 && code < 0xa0) return false;  // C1 controls
        i += length;
    }
    return true;
}

std::string contentTypeFor(const std::string& name) {
    auto dot = name.rfind('.');
    std::string extension = dot == std::string::npos ? "" : lowercase(name.substr(dot + 1));
    static const std::map<std::string, std::string> types = {
        {"txt", "text/plain"},        {"md", "text/markdown"},      {"html", "text/html"},
        {"json", "application/json"}, {"pdf", "application/pdf"},   {"jpg", "image/jpeg"},
        {"jpeg", "image/jpeg"},       {"png", "image/png"},         {"gif", "image/gif"},
        {"webp", "image/webp"},       {"mp4", "video/mp4"},         {"mov", "video/quicktime"},
        {"csv", "text/csv"},          {"xml", "application/xml"},   {"zip", "application/zip"},
    };
    auto found = types.find(extension);
    return found == types.end() ? "application/octet-stream" : found->second;
}

Reply davError(int status, const std::string& message) {
    std::string body = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<d:error xmlns:d=\"DAV:\" xmlns:s=\"http://sabredav.org/ns\"><s:message>" +
                       escapeXml(message) + "</s:message></d:error>";
    return Reply::xml(status, std::move(body));
}

bool validDriveId(const std::string& id) {
    if (id.empty() || id.size() > 200 || id.front() == '.') return false;
    return std::all_of(id.begin(), id.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-' || c == '$' ||
               c == '!' || c == '~';
    });
}

// Host and path of an absolute https URL; false when it is not one.
bool splitHttpsUrl(std::string_view url, std::string& host, std::string& path) {
    std::string lower = lowercase(url.substr(0, 8));
    std::size_t start;
    if (lower.rfind("https://", 0) == 0) {
        start = 8;
    } else if (lower.rfind("http://", 0) == 0) {
        start = 7;
    } else {
        return false;
    }
    std::string_view rest = url.substr(start);
    auto slash = rest.find_first_of("/?#");
    std::string_view authority = rest.substr(0, slash);
    auto at = authority.rfind('@');
    if (at != std::string_view::npos) authority = authority.substr(at + 1);
    auto colon = authority.find(':');
    host = lowercase(authority.substr(0, colon));
    path = slash == std::string_view::npos ? "/" : std::string(rest.substr(slash));
    if (!path.empty() && path.front() != '/') path = "/" + path;
    return true;
}

struct Entry {
    std::string name;
    std::string href;
    fs::path file;
    struct stat status {};
    bool isDirectory() const { return S_ISDIR(status.st_mode); }
};

std::string encodedPath(std::string_view decoded) {
    std::string out;
    std::size_t start = 0;
    while (start <= decoded.size()) {
        auto end = decoded.find('/', start);
        if (end == std::string_view::npos) end = decoded.size();
        if (end > start) out += "/" + percentEncode(decoded.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

std::uint64_t treeSize(const fs::path& directory) {
    std::uint64_t total = 0;
    std::error_code error;
    for (fs::recursive_directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
        struct stat status {};
        if (::lstat(it->path().c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
            total += static_cast<std::uint64_t>(status.st_size);
        }
    }
    return total;
}

// Parses a single-range "bytes=" header for a file of `size` bytes. Returns
// false when the header is to be ignored (malformed, several ranges).
bool parseRange(std::string_view header, std::uint64_t size, std::uint64_t& first, std::uint64_t& last,
                bool& unsatisfiable) {
    unsatisfiable = false;
    if (lowercase(header.substr(0, 6)) != "bytes=") return false;
    std::string_view spec = header.substr(6);
    while (!spec.empty() && spec.front() == ' ') spec.remove_prefix(1);
    while (!spec.empty() && spec.back() == ' ') spec.remove_suffix(1);
    if (spec.find(',') != std::string_view::npos) return false;
    auto dash = spec.find('-');
    if (dash == std::string_view::npos) return false;
    auto number = [](std::string_view digits, std::uint64_t& value) {
        if (digits.empty() || digits.size() > 19) return false;
        if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
        return std::from_chars(digits.data(), digits.data() + digits.size(), value).ec == std::errc();
    };
    std::string_view start = spec.substr(0, dash);
    std::string_view end = spec.substr(dash + 1);
    if (start.empty()) {
        std::uint64_t suffix = 0;
        if (!number(end, suffix)) return false;
        if (suffix == 0 || size == 0) {
            unsatisfiable = true;
            return true;
        }
        first = suffix >= size ? 0 : size - suffix;
        last = size - 1;
        return true;
    }
    if (!number(start, first)) return false;
    if (end.empty()) {
        last = size == 0 ? 0 : size - 1;
    } else {
        if (!number(end, last)) return false;
        if (last < first) return false;
        if (size > 0 && last >= size) last = size - 1;
    }
    if (first >= size) unsatisfiable = true;
    return true;
}

std::optional<std::int64_t> parseMtime(std::string_view text) {
    std::int64_t value = 0;
    if (text.empty()) return std::nullopt;
    std::string_view digits = text.front() == '-' ? text.substr(1) : text;
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size()) return std::nullopt;
    return value;
}

std::vector<std::string> splitEtags(std::string_view header) {
    std::vector<std::string> tags;
    std::size_t start = 0;
    while (start <= header.size()) {
        auto end = header.find(',', start);
        if (end == std::string_view::npos) end = header.size();
        std::string_view tag = header.substr(start, end - start);
        while (!tag.empty() && tag.front() == ' ') tag.remove_prefix(1);
        while (!tag.empty() && tag.back() == ' ') tag.remove_suffix(1);
        if (tag.substr(0, 2) == "W/") tag.remove_prefix(2);
        if (!tag.empty()) tags.emplace_back(tag);
        start = end + 1;
    }
    return tags;
}

int lstatPath(const fs::path& path, struct stat& status) {
    return ::lstat(path.c_str(), &status) == 0 ? 0 : errno;
}

}  // namespace

fs::path DavServer::Target::file() const {
    fs::path path = directory;
    for (const auto& segment : segments) path /= segment;
    return path;
}

std::string DavServer::Target::itemPath() const {
    std::string path;
    for (const auto& segment : segments) path += "/" + segment;
    return path.empty() ? "/" : path;
}

DavServer::DavServer(fs::path drivesDirectory, fs::path spoolDirectory, std::string webAppHost)
    : drivesDirectory_(std::move(drivesDirectory)),
      spoolDirectory_(std::move(spoolDirectory)),
      webAppHost_(lowercase(webAppHost)) {
    fs::create_directories(drivesDirectory_);
    fs::create_directories(spoolDirectory_);
}

void DavServer::addDrive(const Drive& drive) {
    if (!validDriveId(drive.id)) throw std::invalid_argument("invalid drive id: " + drive.id);
    fs::create_directories(drivesDirectory_ / drive.id);
    std::lock_guard lock(drivesMutex_);
    auto existing = std::find_if(drives_.begin(), drives_.end(), [&](const Drive& d) { return d.id == drive.id; });
    if (existing != drives_.end()) {
        *existing = drive;
    } else {
        drives_.push_back(drive);
    }
}

std::vector<Drive> DavServer::drives() const {
    std::lock_guard lock(drivesMutex_);
    return drives_;
}

fs::path DavServer::driveDirectory(const std::string& driveId) const {
    if (!validDriveId(driveId)) throw std::invalid_argument("invalid drive id: " + driveId);
    return drivesDirectory_ / driveId;
}

std::string DavServer::webDavUrl(const std::string& driveId) const {
    std::lock_guard lock(drivesMutex_);
    for (const auto& drive : drives_) {
        if (drive.id == driveId && !drive.webDavUrl.empty()) return drive.webDavUrl;
    }
    return "https://" + webAppHost_ + "/dav/spaces/" + percentEncode(driveId);
}

std::optional<std::string> DavServer::fileId(const std::string& driveId, const std::string& path) const {
    std::vector<std::string> segments;
    if (!splitSegments(path, segments)) return std::nullopt;
    fs::path file = driveDirectory(driveId);
    for (const auto& segment : segments) file /= segment;
    std::shared_lock lock(treeMutex_);
    struct stat status {};
    if (lstatPath(file, status) != 0) return std::nullopt;
    return idFor(status, driveId);
}

std::string DavServer::idFor(const struct stat& status, const std::string& driveId) const {
    std::lock_guard lock(idsMutex_);
    auto key = std::make_pair(status.st_dev, status.st_ino);
    auto found = ids_.find(key);
    if (found != ids_.end()) return found->second;
    std::string id = driveId + "!" + randomHex(12);
    ids_.emplace(key, id);
    return id;
}

void DavServer::forgetTree(const fs::path& path) {
    std::vector<std::pair<dev_t, ino_t>> keys;
    struct stat status {};
    if (lstatPath(path, status) != 0) return;
    keys.emplace_back(status.st_dev, status.st_ino);
    if (S_ISDIR(status.st_mode)) {
        std::error_code error;
        for (fs::recursive_directory_iterator it(path, error), end; !error && it != end; it.increment(error)) {
            if (lstatPath(it->path(), status) == 0) keys.emplace_back(status.st_dev, status.st_ino);
        }
    }
    std::lock_guard lock(idsMutex_);
    for (const auto& key : keys) ids_.erase(key);
}

std::string DavServer::etagOf(const struct stat& status) const {
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "\"%llx-%llx%09ld-%llx\"", static_cast<unsigned long long>(status.st_ino),
                  static_cast<unsigned long long>(status.st_mtim.tv_sec), static_cast<long>(status.st_mtim.tv_nsec),
                  static_cast<unsigned long long>(status.st_size));
    return buffer;
}

bool DavServer::splitSegments(std::string_view rest, std::vector<std::string>& segments) const {
    segments.clear();
    std::size_t start = 0;
    while (start <= rest.size()) {
        auto end = rest.find('/', start);
        if (end == std::string_view::npos) end = rest.size();
        std::string_view piece = rest.substr(start, end - start);
        if (!piece.empty()) {
            if (piece == "." || piece == ".." || !isPresentableName(piece)) return false;
            segments.emplace_back(piece);
        }
        start = end + 1;
    }
    return true;
}

std::vector<std::string> DavServer::rootsOf(const Drive& drive) const {
    std::vector<std::string> roots{"/dav/spaces/" + drive.id};
    std::string host, path, decoded;
    if (!drive.webDavUrl.empty() && splitHttpsUrl(drive.webDavUrl, host, path) && host == webAppHost_) {
        path = path.substr(0, path.find_first_of("?#"));
        if (percentDecode(path, false, decoded)) {
            while (!decoded.empty() && decoded.back() == '/') decoded.pop_back();
            if (!decoded.empty() && decoded != roots.front()) roots.push_back(decoded);
        }
    }
    return roots;
}

DavServer::Match DavServer::match(std::string_view path, Target& target) const {
    std::lock_guard lock(drivesMutex_);
    const Drive* best = nullptr;
    std::string bestRoot;
    for (const auto& drive : drives_) {
        for (const auto& root : rootsOf(drive)) {
            bool under = path == root || (path.size() > root.size() && path.substr(0, root.size()) == root &&
                                          path[root.size()] == '/');
            if (under && root.size() > bestRoot.size()) {
                best = &drive;
                bestRoot = root;
            }
        }
    }
    if (!best) return Match::none;
    target.drive = *best;
    target.rootPrefix = bestRoot;
    target.directory = drivesDirectory_ / best->id;
    return splitSegments(path.substr(bestRoot.size()), target.segments) ? Match::target : Match::invalidPath;
}

DavServer::Match DavServer::matchSource(std::string_view source, Target& target) const {
    constexpr std::string_view prefix = "/spaces/";
    if (source.substr(0, prefix.size()) != prefix) return Match::none;
    std::string_view rest = source.substr(prefix.size());
    auto slash = rest.find('/');
    std::string driveId(rest.substr(0, slash));
    std::lock_guard lock(drivesMutex_);
    auto drive = std::find_if(drives_.begin(), drives_.end(), [&](const Drive& d) { return d.id == driveId; });
    if (drive == drives_.end()) return Match::none;
    target.drive = *drive;
    target.rootPrefix = "/dav/spaces/" + driveId;
    target.directory = drivesDirectory_ / driveId;
    if (slash == std::string_view::npos) {
        target.segments.clear();
        return Match::target;
    }
    return splitSegments(rest.substr(slash), target.segments) ? Match::target : Match::invalidPath;
}

Reply DavServer::drivesListing(const IncomingRequest& request) const {
    if (request.info.method != "GET") return Reply::text(405, "Method not allowed\n").header("Allow", "GET");
    nlohmann::json value = nlohmann::json::array();
    for (const auto& drive : drives()) {
        nlohmann::json item = {{"id", drive.id}, {"name", drive.name}, {"root", {{"webDavUrl", webDavUrl(drive.id)}}}};
        if (drive.driveType) item["driveType"] = *drive.driveType;
        value.push_back(std::move(item));
    }
    return Reply::json(200, nlohmann::json{{"value", value}}.dump());
}

Reply DavServer::handle(IncomingRequest& request, const Target& target) {
    const std::string& method = request.info.method;
    if (method == "PROPFIND") return propfind(request, target);
    if (method == "GET") return get(request, target, false);
    if (method == "HEAD") return get(request, target, true);
    if (method == "PUT") return put(request, target);
    if (method == "MKCOL") return mkcol(request, target);
    if (method == "MOVE") return move(request, target);
    if (method == "DELETE") return remove(request, target);
    if (method == "OPTIONS") return Reply::empty(200).header("Allow", kAllowedMethods).header("DAV", "1");
    return davError(405, "Method not allowed").header("Allow", kAllowedMethods);
}

Reply DavServer::propfind(const IncomingRequest& request, const Target& target) {
    std::string depthHeader = lowercase(request.info.headers.value("Depth"));
    int depth;
    if (depthHeader == "0") {
        depth = 0;
    } else if (depthHeader == "1") {
        depth = 1;
    } else if (depthHeader.empty() || depthHeader == "infinity") {
        std::string body = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<d:error xmlns:d=\"DAV:\"><d:propfind-finite-depth/></d:error>";
        return Reply::xml(403, std::move(body));
    } else {
        return davError(400, "Invalid Depth header");
    }
    if (request.body.isSpooled()) return davError(413, "PROPFIND body too large");
    std::string parseError;
    auto asked = PropfindRequest::parse(request.body.memory(), parseError);
    if (!asked) return davError(400, "Invalid PROPFIND body: " + parseError);

    std::shared_lock lock(treeMutex_);
    std::vector<Entry> entries;
    Entry self;
    fs::path selfPath = target.file();
    if (int error = lstatPath(selfPath, self.status); error != 0) {
        return davError(error == ENOENT || error == ENOTDIR ? 404 : 500, "Resource not found");
    }
    if (!S_ISDIR(self.status.st_mode) && !S_ISREG(self.status.st_mode)) return davError(404, "Resource not found");
    self.name = target.segments.empty() ? target.drive.name : target.segments.back();
    std::string selfHref = encodedPath(target.rootPrefix) + encodedPath(target.itemPath());
    if (self.isDirectory()) selfHref += "/";
    self.href = selfHref;
    self.file = selfPath;
    entries.push_back(self);
    if (depth == 1 && self.isDirectory()) {
        std::vector<Entry> children;
        std::error_code error;
        for (fs::directory_iterator it(selfPath, error), end; !error && it != end; it.increment(error)) {
            Entry child;
            if (lstatPath(it->path(), child.status) != 0) continue;
            if (!S_ISDIR(child.status.st_mode) && !S_ISREG(child.status.st_mode)) continue;  // no links or devices
            child.name = it->path().filename().string();
            if (!isPresentableName(child.name)) continue;  // made outside the service; XML cannot carry it
            child.href = selfHref + percentEncode(child.name) + (child.isDirectory() ? "/" : "");
            child.file = it->path();
            children.push_back(std::move(child));
        }
        if (error) return davError(500, "Cannot read the folder");
        std::sort(children.begin(), children.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
        for (auto& child : children) entries.push_back(std::move(child));
    }

    const std::vector<PropertyName> allProperties = {
        {kDavNamespace, "displayname"},      {kDavNamespace, "getetag"},          {kDavNamespace, "getcontentlength"},
        {kDavNamespace, "getlastmodified"},  {kDavNamespace, "getcontenttype"},   {kDavNamespace, "resourcetype"},
        {kOwnCloudNamespace, "fileid"},      {kOwnCloudNamespace, "id"},          {kOwnCloudNamespace, "size"},
        {kOwnCloudNamespace, "permissions"},
    };
    const auto& wanted = asked->kind == PropfindRequest::Kind::properties ? asked->properties : allProperties;
    const bool namesOnly = asked->kind == PropfindRequest::Kind::propertyNames;

    auto tagOf = [](const PropertyName& name) -> std::pair<std::string, std::string> {
        if (name.ns == kDavNamespace) return {"d:" + name.local, ""};
        if (name.ns == kOwnCloudNamespace) return {"oc:" + name.local, ""};
        if (name.ns.empty()) return {name.local, " xmlns=\"\""};
        return {"x:" + name.local, " xmlns:x=\"" + escapeXml(name.ns, true) + "\""};
    };

    std::string out;
    out.reserve(entries.size() * 700 + 256);
    out += "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<d:multistatus xmlns:d=\"DAV:\" xmlns:oc=\"http://owncloud.org/ns\">";
    for (const auto& entry : entries) {
        std::string found, missing;
        std::string id;
        for (const auto& name : wanted) {
            auto [tag, declaration] = tagOf(name);
            std::string value;
            bool known = true;
            bool raw = false;
            const bool directory = entry.isDirectory();
            if (name.ns == kDavNamespace && name.local == "displayname") {
                value = entry.name;
            } else if (name.ns == kDavNamespace && name.local == "getetag") {
                value = etagOf(entry.status);
            } else if (name.ns == kDavNamespace && name.local == "getcontentlength" && !directory) {
                value = std::to_string(entry.status.st_size);
            } else if (name.ns == kDavNamespace && name.local == "getlastmodified") {
                value = httpDate(entry.status.st_mtim.tv_sec);
            } else if (name.ns == kDavNamespace && name.local == "getcontenttype" && !directory) {
                value = contentTypeFor(entry.name);
            } else if (name.ns == kDavNamespace && name.local == "resourcetype") {
                value = directory ? "<d:collection/>" : "";
                raw = true;
            } else if (name.ns == kOwnCloudNamespace && (name.local == "fileid" || name.local == "id")) {
                if (id.empty()) id = idFor(entry.status, target.drive.id);
                value = id;
            } else if (name.ns == kOwnCloudNamespace && name.local == "size") {
                value = std::to_string(directory ? treeSize(entry.file) : static_cast<std::uint64_t>(entry.status.st_size));
            } else if (name.ns == kOwnCloudNamespace && name.local == "permissions") {
                value = directory ? "RDNVCK" : "RDNVW";
            } else {
                known = false;
            }
            std::string& block = known ? found : missing;
            if (namesOnly || (!known) || value.empty()) {
                block += "<" + tag + declaration + "/>";
            } else {
                block += "<" + tag + declaration + ">" + (raw ? value : escapeXml(value)) + "</" + tag + ">";
            }
        }
        out += "<d:response><d:href>" + escapeXml(entry.href) + "</d:href>";
        if (!found.empty() || missing.empty()) {
            out += "<d:propstat><d:prop>" + found + "</d:prop><d:status>HTTP/1.1 200 OK</d:status></d:propstat>";
        }
        if (!missing.empty()) {
            out += "<d:propstat><d:prop>" + missing + "</d:prop><d:status>HTTP/1.1 404 Not Found</d:status></d:propstat>";
        }
        out += "</d:response>";
    }
    out += "</d:multistatus>";
    return Reply::xml(207, std::move(out));
}

Reply DavServer::get(const IncomingRequest& request, const Target& target, bool headOnly) {
    std::shared_lock lock(treeMutex_);
    fs::path path = target.file();
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        int error = errno;
        if (error == ENOENT || error == ENOTDIR || error == ELOOP) return davError(404, "File not found");
        return davError(500, "Cannot open the file");
    }
    auto file = std::make_shared<OpenFile>(fd);
    struct stat status {};
    if (::fstat(fd, &status) != 0) return davError(500, "Cannot read the file");
    if (S_ISDIR(status.st_mode)) return davError(405, "A folder has no contents to GET").header("Allow", kAllowedMethods);
    if (!S_ISREG(status.st_mode)) return davError(404, "File not found");
    std::string id = idFor(status, target.drive.id);
    lock.unlock();

    const auto size = static_cast<std::uint64_t>(status.st_size);
    Reply reply;
    reply.headOnly = headOnly;
    reply.file = file;
    reply.header("Content-Type", contentTypeFor(target.segments.empty() ? "" : target.segments.back()))
        .header("ETag", etagOf(status))
        .header("OC-ETag", etagOf(status))
        .header("OC-FileId", id)
        .header("Last-Modified", httpDate(status.st_mtim.tv_sec))
        .header("Accept-Ranges", "bytes");
    std::uint64_t first = 0, last = 0;
    bool unsatisfiable = false;
    auto range = request.info.headers.find("Range");
    if (range && parseRange(*range, size, first, last, unsatisfiable)) {
        if (unsatisfiable) {
            Reply refused = davError(416, "Requested range not satisfiable");
            refused.header("Content-Range", "bytes */" + std::to_string(size));
            return refused;
        }
        reply.status = 206;
        reply.fileOffset = first;
        reply.fileLength = last - first + 1;
        reply.header("Content-Range",
                     "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" + std::to_string(size));
        return reply;
    }
    reply.status = 200;
    reply.fileOffset = 0;
    reply.fileLength = size;
    return reply;
}

Reply DavServer::put(IncomingRequest& request, const Target& target) {
    const auto& headers = request.info.headers;
    if (target.segments.empty()) return davError(405, "The drive root is a folder").header("Allow", kAllowedMethods);
    if (headers.has("Content-Range")) return davError(400, "Content-Range is not accepted on PUT");
    std::optional<std::int64_t> mtime;
    if (auto header = headers.find("X-OC-MTIME")) {
        mtime = parseMtime(*header);
        if (!mtime) return davError(400, "X-OC-MTime header must be an integer (unix timestamp).");
    }

    // The new contents go to a file in the spool folder first; it is renamed
    // into place only once complete, so readers never see a partial file.
    fs::path temporary;
    if (request.body.isSpooled()) {
        temporary = request.body.spoolPath();
        request.body.releaseSpoolFile();
    } else {
        temporary = spoolDirectory_ / ("put-" + randomHex(12));
        int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) return davError(500, "Cannot store the file");
        const std::string& data = request.body.memory();
        std::size_t done = 0;
        bool ok = true;
        while (ok && done < data.size()) {
            ssize_t written = ::write(fd, data.data() + done, data.size() - done);
            if (written < 0 && errno == EINTR) continue;
            ok = written > 0;
            if (ok) done += static_cast<std::size_t>(written);
        }
        ok = (::close(fd) == 0) && ok;
        if (!ok) {
            ::unlink(temporary.c_str());
            return davError(507, "Cannot store the file");
        }
    }
    struct TemporaryGuard {
        fs::path path;
        ~TemporaryGuard() {
            if (!path.empty()) ::unlink(path.c_str());
        }
    } guard{temporary};
    if (mtime) {
        struct timespec times[2];
        times[0].tv_sec = static_cast<time_t>(*mtime);
        times[0].tv_nsec = 0;
        times[1] = times[0];
        if (::utimensat(AT_FDCWD, temporary.c_str(), times, 0) != 0) return davError(400, "Unusable modification time");
    }

    std::unique_lock lock(treeMutex_);
    fs::path path = target.file();
    struct stat parent {};
    if (lstatPath(path.parent_path(), parent) != 0 || !S_ISDIR(parent.st_mode)) {
        return davError(409, "The parent folder does not exist");
    }
    struct stat existing {};
    bool exists = lstatPath(path, existing) == 0;
    if (exists && !S_ISREG(existing.st_mode)) return davError(405, "A folder exists at this path").header("Allow", kAllowedMethods);
    bool mustNotExist = false;
    if (auto ifNoneMatch = ignoreIfNoneMatch_ ? std::optional<std::string>() : headers.find("If-None-Match")) {
        auto tags = splitEtags(*ifNoneMatch);
        bool star = std::find(tags.begin(), tags.end(), "*") != tags.end();
        mustNotExist = star;
        if (exists && (star || std::find(tags.begin(), tags.end(), etagOf(existing)) != tags.end())) {
            return davError(412, "The resource already exists");
        }
    }
    if (auto ifMatch = headers.find("If-Match")) {
        auto tags = splitEtags(*ifMatch);
        bool star = std::find(tags.begin(), tags.end(), "*") != tags.end();
        if (!exists || (!star && std::find(tags.begin(), tags.end(), etagOf(existing)) == tags.end())) {
            return davError(412, "The resource has changed");
        }
    }
    int renamed = mustNotExist ? ::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE)
                               : ::rename(temporary.c_str(), path.c_str());
    if (renamed != 0) {
        if (errno == EEXIST) return davError(412, "The resource already exists");
        return davError(500, "Cannot store the file");
    }
    guard.path.clear();
    struct stat stored {};
    if (lstatPath(path, stored) != 0) return davError(500, "Cannot read the stored file");
    if (exists) {
        // An overwrite keeps the item's identity.
        std::lock_guard idsLock(idsMutex_);
        auto old = ids_.find({existing.st_dev, existing.st_ino});
        if (old != ids_.end()) {
            std::string id = old->second;
            ids_.erase(old);
            ids_[{stored.st_dev, stored.st_ino}] = id;
        }
    }
    std::string id = idFor(stored, target.drive.id);
    Reply reply = Reply::empty(exists ? 204 : 201);
    reply.header("ETag", etagOf(stored)).header("OC-ETag", etagOf(stored)).header("OC-FileId", id);
    if (mtime) reply.header("X-OC-MTime", "accepted");
    return reply;
}

Reply DavServer::mkcol(const IncomingRequest& request, const Target& target) {
    if (request.body.size() > 0) return davError(415, "MKCOL takes no body");
    if (target.segments.empty()) return davError(405, "The drive root exists").header("Allow", kAllowedMethods);
    std::unique_lock lock(treeMutex_);
    fs::path path = target.file();
    struct stat parent {};
    if (lstatPath(path.parent_path(), parent) != 0 || !S_ISDIR(parent.st_mode)) {
        return davError(409, "The parent folder does not exist");
    }
    if (::mkdir(path.c_str(), 0755) != 0) {
        if (errno == EEXIST) return davError(405, "The resource already exists").header("Allow", kAllowedMethods);
        return davError(500, "Cannot create the folder");
    }
    struct stat created {};
    lstatPath(path, created);
    return Reply::empty(201).header("OC-FileId", idFor(created, target.drive.id)).header("ETag", etagOf(created));
}

Reply DavServer::move(const IncomingRequest& request, const Target& target) {
    const auto& headers = request.info.headers;
    auto destinationHeader = headers.find("Destination");
    if (!destinationHeader || destinationHeader->empty()) return davError(400, "The Destination header is missing");
    std::string host, rawPath;
    if (!splitHttpsUrl(*destinationHeader, host, rawPath)) {
        if (destinationHeader->front() != '/') return davError(400, "The Destination header is not a URL");
        host = webAppHost_;
        rawPath = *destinationHeader;
    }
    if (host != webAppHost_) return davError(502, "The destination is on another server");
    rawPath = rawPath.substr(0, rawPath.find_first_of("?#"));
    std::string decoded;
    if (!percentDecode(rawPath, false, decoded) || decoded.find('\0') != std::string::npos) {
        return davError(400, "The destination path is malformed");
    }
    Target destination;
    switch (match(decoded, destination)) {
        case Match::none: return davError(403, "The destination is outside the drive");
        case Match::invalidPath: return davError(400, "The destination path is not allowed");
        case Match::target: break;
    }
    if (destination.drive.id != target.drive.id) return davError(403, "Moves between drives are not supported");
    std::string overwriteHeader = headers.value("Overwrite");
    bool overwrite;
    if (overwriteHeader.empty() || overwriteHeader == "T" || overwriteHeader == "t") {
        overwrite = true;
    } else if (overwriteHeader == "F" || overwriteHeader == "f") {
        overwrite = false;
    } else {
        return davError(400, "The Overwrite header must be T or F");
    }
    if (target.segments.empty()) return davError(403, "The drive root cannot be moved");
    if (destination.segments.empty()) return davError(403, "The drive root cannot be replaced");
    if (destination.segments == target.segments) return davError(403, "Source and destination are the same");
    if (destination.segments.size() > target.segments.size() &&
        std::equal(target.segments.begin(), target.segments.end(), destination.segments.begin())) {
        return davError(409, "A folder cannot be moved into itself");
    }

    std::unique_lock lock(treeMutex_);
    fs::path from = target.file();
    fs::path to = destination.file();
    struct stat source {};
    if (lstatPath(from, source) != 0) return davError(404, "The source does not exist");
    struct stat parent {};
    if (lstatPath(to.parent_path(), parent) != 0 || !S_ISDIR(parent.st_mode)) {
        return davError(409, "The destination folder does not exist");
    }
    struct stat existing {};
    bool replaced = false;
    if (lstatPath(to, existing) == 0) {
        if (!overwrite) return davError(412, "The destination exists and Overwrite is F");
        forgetTree(to);
        std::error_code error;
        fs::remove_all(to, error);
        if (error) return davError(500, "Cannot replace the destination");
        replaced = true;
    }
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
        if (errno == EEXIST) return davError(412, "The destination exists");
        return davError(500, "Cannot move the item");
    }
    Reply reply = Reply::empty(replaced ? 204 : 201);
    reply.header("OC-FileId", idFor(source, target.drive.id)).header("ETag", etagOf(source));
    return reply;
}

Reply DavServer::remove(const IncomingRequest&, const Target& target) {
    if (target.segments.empty()) return davError(403, "The drive root cannot be deleted");
    std::unique_lock lock(treeMutex_);
    fs::path path = target.file();
    struct stat status {};
    if (lstatPath(path, status) != 0) return davError(404, "The item does not exist");
    forgetTree(path);
    std::error_code error;
    fs::remove_all(path, error);
    if (error) return davError(500, "Cannot delete the item");
    return Reply::empty(204);
}

}  // namespace nimbuscrate::localservice
