#include "shared/session/OcisClient.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <limits>
#include <map>
#include <set>

#include <nlohmann/json.hpp>

#include "platform/core/CancellationError.h"
#include "platform/core/DataPaths.h"
#include "platform/core/Random.h"
#include "platform/core/UnicodeText.h"
#include "platform/fileprovider/Identifiers.h"
#include "platform/imaging/ImageTranscoder.h"
#include "platform/http/ReplyDecodingError.h"
#include "platform/http/TextDecoding.h"
#include "platform/http/TransportError.h"
#include "platform/http/UrlBuilding.h"
#include "shared/encryption/E2EEError.h"
#include "shared/session/DesktopError.h"
#include "shared/session/RemotePath.h"
#include "shared/session/ServiceEndpoints.h"

namespace nimbuscrate {

namespace {

bool isReadMethod(const std::string& method) {
    std::string upper = method;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper == "GET" || upper == "HEAD" || upper == "OPTIONS" || upper == "PROPFIND" || upper == "REPORT";
}

std::vector<std::string> pathPieces(std::string_view normalized) {
    std::vector<std::string> pieces;
    std::size_t start = 1;
    while (start < normalized.size()) {
        std::size_t end = normalized.find('/', start);
        if (end == std::string_view::npos) end = normalized.size();
        pieces.emplace_back(normalized.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

std::string hostOrUnknown(const Url& url) { return url.host().empty() ? std::string("unknown") : url.host(); }

const std::string& requireString(const nlohmann::json& object, const char* key, const char* where) {
    const auto found = object.find(key);
    if (found == object.end() || !found->is_string()) {
        throw ReplyDecodingError(std::string("The drives reply has no string \"") + key + "\" in " + where + ".");
    }
    return found->get_ref<const std::string&>();
}

}  // namespace

OcisClient::OcisClient(KeychainStore store, TokenProvider& tokens) : OcisClient(std::move(store), tokens, Services()) {}

OcisClient::OcisClient(KeychainStore store, TokenProvider& tokens, Services services)
    : store_(std::move(store)), tokens_(tokens), services_(std::move(services)) {}

OcisClient& OcisClient::shared() {
    static OcisClient client(KeychainStore::session(), TokenProvider::shared());
    return client;
}

const Logger& OcisClient::networkLogger() {
    static const Logger logger("app.nimbuscrate.fileprovider", "network");
    return logger;
}

const Logger& OcisClient::thumbnailLogger() {
    static const Logger logger("app.nimbuscrate.fileprovider", "thumbnails");
    return logger;
}

std::shared_ptr<EncryptedDriveService> OcisClient::encryption() const {
    return services_.encryption ? services_.encryption : EncryptedDriveService::shared();
}

HttpTransport& OcisClient::transport() const {
    return services_.transport ? *services_.transport : HttpTransport::shared();
}

MappingStore& OcisClient::mapping() const { return services_.mapping ? *services_.mapping : MappingStore::shared(); }

const std::shared_ptr<UploadActivityStore>& OcisClient::uploads() const {
    return services_.uploads ? services_.uploads : UploadActivityStore::shared();
}

// ---- Request core ----

bool OcisClient::isEncryptedBlobPath(std::string_view path) {
    // The last component is "<UUID>-<UUID>.nbenc", hex digits in any case
    // (checked for every listed item, so without a regular expression).
    static constexpr std::string_view kShape =
        "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx-xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx.nbenc";
    const std::size_t slash = path.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (name.size() != kShape.size()) return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(name[i])));
        if (kShape[i] == 'x' ? !std::isxdigit(static_cast<unsigned char>(c)) : c != kShape[i]) return false;
    }
    return true;
}

const Bytes& OcisClient::propfindBody() {
    static const Bytes body = bytesOf(
        std::string("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n") + "<d:propfind xmlns:d=\"DAV:\" xmlns:oc=\"" +
        kOwnCloudNamespace + "\">\n" +
        "  <d:prop><d:displayname/><d:getetag/><d:getcontentlength/><d:getlastmodified/><d:getcontenttype/>"
        "<d:resourcetype/><oc:fileid/></d:prop>\n" +
        "</d:propfind>");
    return body;
}

std::optional<std::string> OcisClient::mtimeHeaderValue(std::optional<Date> date) {
    if (!date) return std::nullopt;
    const double seconds = date->unixSeconds();
    if (!std::isfinite(seconds)) return std::nullopt;
    const double whole = std::floor(seconds);
    // Outside the signed 64-bit range no header is sent.
    if (whole < -9223372036854775808.0 || whole >= 9223372036854775808.0) return std::nullopt;
    return std::to_string(static_cast<std::int64_t>(whole));
}

void OcisClient::validateResponse(const HttpResponse& response) {
    if (response.status <= 0) throw DesktopError::invalidResponse();
    if (response.status >= 200 && response.status <= 299) return;
    throw DesktopError::server(response.status, decodeUTF8Lossy(response.body, kErrorMessageBytes));
}

void OcisClient::validateDownloadResponse(const HttpResponse& response, const std::filesystem::path& file) {
    if (response.status <= 0) throw DesktopError::invalidResponse();
    if (response.status >= 200 && response.status <= 299) return;
    std::string message;
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        char buffer[kErrorMessageBytes];
        std::size_t filled = 0;
        bool failed = false;
        while (filled < sizeof buffer) {
            const ssize_t n = ::read(fd, buffer + filled, sizeof buffer - filled);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) failed = true;
            if (n <= 0) break;
            filled += static_cast<std::size_t>(n);
        }
        ::close(fd);
        if (!failed) message = decodeUTF8Lossy(std::string_view(buffer, filled));
    }
    throw DesktopError::server(response.status, message);
}

void OcisClient::requireHttpsRoot(const DriveSelection& drive) {
    if (drive.webDAVURL.scheme() == "https") return;
    networkLogger().error("Saved WebDAV root host=" + hostOrUnknown(drive.webDAVURL) + " refused: not https");
    throw DesktopError::noNimbuscrateSpace();
}

Url OcisClient::remoteURL(std::string_view path) const {
    const std::optional<DesktopSession> session = store_.loadSession();
    if (!session || !session->drive) throw DesktopError::noNimbuscrateSpace();
    requireHttpsRoot(*session->drive);
    Url url = session->drive->webDAVURL;
    for (const std::string& piece : pathPieces(normalizeRemotePath(path))) {
        // ".." would be collapsed on the way and climb out of the drive root.
        if (piece == ".." || piece.find('\0') != std::string::npos) throw DesktopError::invalidResponse();
        url = appendingPathComponent(url, piece);
    }
    return url;
}

HttpRequest OcisClient::makeRequest(const std::string& method, std::string_view path, std::stop_token stop) {
    if (isEncryptedBlobPath(path)) throw DesktopError::encryptionRequired();
    // The bearer token never travels in clear: a saved root that is not
    // https is refused before a token is fetched (and perhaps refreshed).
    // Without a saved drive the token's own errors come first, as always.
    if (const std::optional<DesktopSession> session = store_.loadSession(); session && session->drive) {
        requireHttpsRoot(*session->drive);
    }
    const std::string token = tokens_.validAccessToken(stop);
    if (!isReadMethod(method)) {
        if (encryption()->isEncryptionRequired(stop)) throw DesktopError::encryptionRequired();
    }
    HttpRequest request(method, remoteURL(path));
    request.timeoutSeconds = kWebDAVTimeoutSeconds;
    request.redirects = RedirectPolicy::followHttps;
    request.maxReplyBytes = kMaxReplyBytes;
    request.headers.set("Authorization", "Bearer " + token);
    request.headers.set("User-Agent", kUserAgent);
    return request;
}

Bytes OcisClient::send(const std::string& method, std::string_view path, const HttpHeaders& headers,
                       const std::optional<Bytes>& body, std::stop_token stop) {
    HttpRequest request = makeRequest(method, path, stop);
    for (const auto& [name, value] : headers.fields()) request.headers.set(name, value);
    if (body) {
        request.body = *body;
        request.headers.set("Content-Type", "application/xml; charset=utf-8");
    }
    HttpResponse response = transport().send(request, stop);
    validateResponse(response);
    return std::move(response.body);
}

// ---- Drive discovery ----

OcisClient::DrivesResponse OcisClient::DrivesResponse::decode(const Bytes& body) {
    const nlohmann::json json = nlohmann::json::parse(body.begin(), body.end(), nullptr, false);
    if (json.is_discarded()) throw ReplyDecodingError("The drives reply is not JSON.");
    if (!json.is_object()) throw ReplyDecodingError("The drives reply is not a JSON object.");
    const auto value = json.find("value");
    if (value == json.end() || !value->is_array()) throw ReplyDecodingError("The drives reply has no array \"value\".");
    DrivesResponse response;
    for (const nlohmann::json& entry : *value) {
        if (!entry.is_object()) throw ReplyDecodingError("A drive of the drives reply is not an object.");
        Drive drive;
        drive.id = requireString(entry, "id", "a drive");
        drive.name = requireString(entry, "name", "a drive");
        const auto type = entry.find("driveType");
        if (type != entry.end() && !type->is_null()) {
            if (!type->is_string()) throw ReplyDecodingError("A drive's \"driveType\" is not a string.");
            drive.driveType = type->get<std::string>();
        }
        const auto root = entry.find("root");
        if (root == entry.end() || !root->is_object()) throw ReplyDecodingError("A drive has no object \"root\".");
        const std::string& webDav = requireString(*root, "webDavUrl", "a drive's root");
        auto url = Url::parse(webDav);
        if (!url) throw ReplyDecodingError("A drive's \"webDavUrl\" is not a URL: " + webDav);
        drive.webDavUrl = *url;
        response.value.push_back(std::move(drive));
    }
    return response;
}

std::vector<OcisClient::DrivesResponse::Drive> OcisClient::sortDrives(std::vector<DrivesResponse::Drive> drives) {
    static const std::string word = nameClashKey("Nimbuscrate");
    std::stable_partition(drives.begin(), drives.end(), [](const DrivesResponse::Drive& drive) {
        return nameClashKey(drive.name).find(word) != std::string::npos;
    });
    return drives;
}

std::vector<Url> OcisClient::candidateRoots(const DrivesResponse::Drive& drive) {
    std::vector<Url> candidates{drive.webDavUrl};
    Url fallback = appendingPathComponent(webAppURL(), "dav", true);
    fallback = appendingPathComponent(fallback, "spaces", true);
    fallback = appendingPathComponent(fallback, drive.id, true);
    if (!(fallback == candidates.front())) candidates.push_back(fallback);
    return candidates;
}

HttpRequest OcisClient::makeDrivesRequest(const std::string& token) {
    HttpRequest request("GET", appendingPathComponent(webAppURL(), "graph/v1.0/me/drives"));
    request.timeoutSeconds = kDrivesTimeoutSeconds;
    request.maxReplyBytes = kMaxDrivesReplyBytes;
    request.headers.set("Authorization", "Bearer " + token);
    return request;
}

HttpRequest OcisClient::makeProbeRequest(const Url& root, const std::string& token) {
    HttpRequest request("PROPFIND", root);
    request.timeoutSeconds = kProbeTimeoutSeconds;
    request.maxReplyBytes = kMaxProbeReplyBytes;
    request.body = propfindBody();
    request.headers.set("Depth", "0");
    request.headers.set("Content-Type", "application/xml; charset=utf-8");
    request.headers.set("Authorization", "Bearer " + token);
    request.headers.set("User-Agent", kUserAgent);
    return request;
}

bool OcisClient::probeWebDAVRoot(const Url& root, const std::string& token, std::stop_token stop) {
    HttpResponse response;
    try {
        response = transport().send(makeProbeRequest(root, token), stop);
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        networkLogger().error("WebDAV probe host=" + hostOrUnknown(root) + " failed: " + error.what());
        return false;
    }
    if (response.status <= 0) return false;
    networkLogger().info("WebDAV probe host=" + hostOrUnknown(root) + " status=" + std::to_string(response.status));
    return response.status >= 200 && response.status <= 299;
}

DriveSelection OcisClient::discoverDrive(std::stop_token stop) {
    const std::string token = tokens_.validAccessToken(stop);
    HttpResponse response = transport().send(makeDrivesRequest(token), stop);
    validateResponse(response);
    DrivesResponse drives = DrivesResponse::decode(response.body);

    std::erase_if(drives.value, [](const DrivesResponse::Drive& drive) { return drive.driveType == "personal"; });
    const std::vector<DrivesResponse::Drive> ranked = sortDrives(std::move(drives.value));
    if (ranked.empty()) throw DesktopError::noNimbuscrateSpace();

    for (const DrivesResponse::Drive& drive : ranked) {
        for (const Url& candidate : candidateRoots(drive)) {
            // The bearer token never travels in clear.
            if (candidate.scheme() != "https") {
                networkLogger().error("WebDAV candidate host=" + hostOrUnknown(candidate) + " skipped: not https");
                continue;
            }
            if (probeWebDAVRoot(candidate, token, stop)) return DriveSelection{drive.id, drive.name, candidate};
        }
    }
    throw DesktopError::noNimbuscrateSpace();
}

DriveSelection OcisClient::refreshWebDAVEndpoint(std::stop_token stop) {
    const std::optional<DesktopSession> first = store_.loadSession();
    if (!first) throw DesktopError::notAuthenticated();

    const DriveSelection drive = discoverDrive(stop);

    {
        // Read-compare-save under the item lock, so a token refresh of the
        // other program cannot be overwritten by this save.
        const auto itemLock = store_.lock();
        std::optional<DesktopSession> current = store_.loadSession();
        if (!current || current->sessionID != first->sessionID) throw E2EEError::sessionChanged();
        current->drive = drive;
        store_.save(bytesOf(current->toJSON()));
    }
    networkLogger().info("Persisted refreshed WebDAV endpoint host=" + hostOrUnknown(drive.webDAVURL));
    return drive;
}

// ---- Folder listing and item fetch ----

namespace {

bool isEncryptedID(std::string_view id) { return id.starts_with("e2ee:"); }

std::string lastComponent(std::string_view normalized) {
    const std::size_t slash = normalized.rfind('/');
    return std::string(slash == std::string_view::npos ? normalized : normalized.substr(slash + 1));
}

std::string parentOf(std::string_view normalized) {
    const std::size_t slash = normalized.rfind('/');
    if (slash == std::string_view::npos || slash == 0) return "/";
    return normalizeRemotePath(normalized.substr(0, slash));
}

RemoteItem makeItem(const WebDAVResponse& entry, const std::string& id, const std::string& parentID,
                    const std::string& path, const std::string& name) {
    RemoteItem item;
    item.id = id;
    item.parentID = parentID;
    item.path = path;
    item.name = name;
    item.isDirectory = entry.isDirectory;
    item.size = entry.size;
    item.modifiedAt = entry.modifiedAt.value_or(Date::distantPast());
    item.etag = entry.etag.empty() ? "path:" + path : entry.etag;
    item.contentType = entry.contentType;
    return item;
}

// Runs a function at scope exit.
template <typename F>
class Finally {
public:
    explicit Finally(F f) : f_(std::move(f)) {}
    ~Finally() { f_(); }
    Finally(const Finally&) = delete;
    Finally& operator=(const Finally&) = delete;

private:
    F f_;
};

}  // namespace

std::vector<WebDAVResponse> OcisClient::parseMultistatus(const Bytes& body) {
    WebDAVParser parser;
    parser.feed(std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
    parser.finish();
    return parser.takeResponses();
}

std::string OcisClient::relativePath(std::string_view href, std::string_view rootPath) {
    const std::string decoded = percentDecoded(href).value_or(std::string(href));
    if (rootPath.empty()) return normalizeRemotePath(decoded);
    const std::size_t found = decoded.find(rootPath);
    if (found == std::string::npos) return normalizeRemotePath(decoded);
    return normalizeRemotePath(std::string_view(decoded).substr(found + rootPath.size()));
}

std::string OcisClient::savedRootPath() const {
    std::optional<DesktopSession> session;
    try {
        session = store_.loadSession();
    } catch (const std::exception&) {
        return {};
    }
    if (!session || !session->drive) return {};
    return percentDecoded(session->drive->webDAVURL.path()).value_or(std::string());
}

std::string OcisClient::relativePath(std::string_view href) const { return relativePath(href, savedRootPath()); }

std::optional<RemoteItem> OcisClient::convertResponse(const WebDAVResponse& entry, const RemoteItem& container,
                                                      const std::string& base, std::string_view rootPath,
                                                      ListingState& state) {
    const std::string rel = relativePath(entry.href, rootPath);
    if (rel == base) return std::nullopt;
    const std::string prefix = base == "/" ? "/" : base + "/";
    if (!rel.starts_with(prefix)) return std::nullopt;
    // A path with NUL or ".." could never be addressed safely.
    if (!isSafeRemotePath(rel)) return std::nullopt;
    const std::string name = isSafeItemName(entry.displayName) ? entry.displayName : lastComponent(rel);
    if (parentOf(rel) != base) return std::nullopt;
    if (name.empty() || name == "." || name == ".." || name.starts_with("._")) return std::nullopt;
    if (!isSafeItemName(name)) return std::nullopt;
    if (isEncryptedBlobPath(rel)) return std::nullopt;
    const std::string id = entry.fileID.empty() ? "path:" + rel : entry.fileID;
    if (id == "root" || id == fp::kRootContainer || id == fp::kWorkingSet || id == fp::kTrashContainer) {
        return std::nullopt;
    }
    // A child that claims the folder's own identifier would replace the
    // folder's row when the listing is stored.
    if (id == container.id) return std::nullopt;
    if (!state.identifiers.insert(id).second) return std::nullopt;
    if (!state.paths.insert(rel).second) return std::nullopt;
    return makeItem(entry, id, container.id, rel, name);
}

std::vector<WebDAVResponse> OcisClient::propfind(const std::string& path, const char* depth, std::stop_token stop) {
    HttpRequest request = makeRequest("PROPFIND", path, stop);
    request.headers.set("Depth", depth);
    request.headers.set("Content-Type", "application/xml; charset=utf-8");
    request.body = propfindBody();

    // The reply is parsed as it arrives, so a large folder never sits in
    // memory as text; an error reply keeps only what its message needs.
    WebDAVParser parser;
    bool success = false;
    Bytes errorBody;
    const HttpResponse response = transport().stream(
        request, [&](long status, const HttpHeaders&) { success = status >= 200 && status <= 299; },
        [&](const std::uint8_t* data, std::size_t size) {
            if (success) {
                parser.feed(std::string_view(reinterpret_cast<const char*>(data), size));
            } else if (errorBody.size() < kErrorMessageBytes) {
                const std::size_t keep = std::min(size, kErrorMessageBytes - errorBody.size());
                errorBody.insert(errorBody.end(), data, data + keep);
            }
        },
        stop);
    HttpResponse validated = response;
    validated.body = std::move(errorBody);
    validateResponse(validated);
    parser.finish();
    return parser.takeResponses();
}

std::vector<RemoteItem> OcisClient::fetchChildren(const RemoteItem& container, std::stop_token stop) {
    const std::vector<WebDAVResponse> entries = propfind(container.path, "1", stop);
    const std::string base = normalizeRemotePath(container.path);
    const std::string rootPath = savedRootPath();
    ListingState state;
    std::vector<RemoteItem> children;
    for (const WebDAVResponse& entry : entries) {
        if (auto item = convertResponse(entry, container, base, rootPath, state)) children.push_back(std::move(*item));
    }
    return children;
}

std::vector<RemoteItem> OcisClient::listItems(const RemoteItem& container, std::stop_token stop) {
    std::vector<RemoteItem> plain;
    if (!isEncryptedID(container.id)) {
        try {
            plain = fetchChildren(container, stop);
        } catch (const DesktopError& error) {
            if (error.kind() != DesktopError::Kind::server || error.status() != 404 ||
                normalizeRemotePath(container.path) != "/") {
                throw;
            }
            networkLogger().notice("Saved WebDAV root returned 404; rediscovering the active space");
            refreshWebDAVEndpoint(stop);
            plain = fetchChildren(container, stop);
        }
    }

    std::vector<RemoteItem> result;
    if (container.id == "root" || isEncryptedID(container.id)) {
        result = encryption()->listEncryptedChildren(container, stop);
    }
    result.insert(result.end(), std::make_move_iterator(plain.begin()), std::make_move_iterator(plain.end()));

    // A folder of the drive tells names apart byte for byte: names that
    // differ only by case or Unicode form are different items, and all of
    // them are listed (the clash is logged, as some programs take them for
    // one). Only the very same name twice, which the root's merge of
    // encrypted and plain children can produce, leaves no way to show both.
    std::set<std::string_view> names;
    std::map<std::string, std::string_view> keys;
    for (const RemoteItem& item : result) {
        if (!names.insert(item.name).second) throw E2EEError::conflict();
        auto [seen, fresh] = keys.emplace(nameClashKey(item.name), item.name);
        if (!fresh) {
            networkLogger().notice("Names in " + normalizeRemotePath(container.path) +
                                   " differ only by case or Unicode form: \"" + std::string(seen->second) +
                                   "\" and \"" + item.name + "\"");
        }
    }
    return result;
}

RemoteItem OcisClient::fetchItem(const std::string& path, const std::string& parentID, std::stop_token stop) {
    const std::vector<WebDAVResponse> entries = propfind(path, "0", stop);
    if (entries.empty()) throw DesktopError::invalidResponse();
    const WebDAVResponse& entry = entries.front();
    const std::string p = normalizeRemotePath(path);
    const std::string id = entry.fileID.empty() ? "path:" + p : entry.fileID;
    const std::string name = isSafeItemName(entry.displayName) ? entry.displayName : lastComponent(p);
    return makeItem(entry, id, parentID, p, name);
}

// ---- Transfers, moves and deletes ----

std::filesystem::path OcisClient::downloadFile(const RemoteItem& item, const std::function<void()>& completed,
                                               std::stop_token stop) {
    if (isEncryptedID(item.id)) {
        std::filesystem::path file = encryption()->downloadEncryptedFile(item, stop);
        if (completed) completed();
        return file;
    }
    HttpRequest request = makeRequest("GET", item.path, stop);
    request.headers.set("Accept", "application/octet-stream");
    // Downloads are bounded by the disk, not by the reply cap.
    request.maxReplyBytes.reset();

    // Always one safe component inside the download's own new folder.
    std::string name = item.name;
    if (!isSafeItemName(name)) name = lastComponent(normalizeRemotePath(item.path));
    if (!isSafeItemName(name)) name = "download";

    const std::filesystem::path folder = std::filesystem::temp_directory_path() / Uuid::random().upperString();
    createPrivateDirectories(folder);
    const std::filesystem::path partial = folder / (".download-" + Uuid::random().lowerString());
    const std::filesystem::path destination = folder / name;
    try {
        const HttpResponse response = transport().download(request, partial, stop);
        validateDownloadResponse(response, partial);
        std::filesystem::rename(partial, destination);
    } catch (...) {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
        throw;
    }
    if (completed) completed();
    return destination;
}

HttpRequest OcisClient::makeThumbnailRequest(const RemoteItem& item, const std::string& driveID,
                                             const std::string& token) {
    const std::string source = "/spaces/" + driveID + (item.path.starts_with("/") ? "" : "/") + item.path;
    std::string version = item.etag;
    std::erase(version, '"');
    HttpRequest request("GET", withQueryItems(appendingPathComponent(mediaServiceURL(), "v1/thumbnail"),
                                              {{"source", source}, {"size", "256"}, {"crop", "0"}, {"v", version}}));
    request.timeoutSeconds = kThumbnailTimeoutSeconds;
    request.maxReplyBytes = kMaxThumbnailReplyBytes;
    request.headers.set("Authorization", "Bearer " + token);
    request.headers.set("Accept", "image/webp,image/*");
    request.headers.set("User-Agent", kUserAgent);
    return request;
}

std::optional<Bytes> OcisClient::fetchThumbnail(const RemoteItem& item, std::stop_token stop) {
    if (isEncryptedID(item.id)) return encryption()->fetchEncryptedThumbnail(item, stop);
    if (isEncryptedBlobPath(item.path)) throw DesktopError::encryptionRequired();
    if (item.isDirectory) throw DesktopError::invalidResponse();
    const std::optional<DesktopSession> session = store_.loadSession();
    if (!session || !session->drive) throw DesktopError::noNimbuscrateSpace();

    HttpRequest request;
    try {
        request = makeThumbnailRequest(item, session->drive->id, "");
    } catch (const std::invalid_argument&) {
        throw DesktopError::invalidResponse();
    }
    request.headers.set("Authorization", "Bearer " + tokens_.validAccessToken(stop));
    const HttpResponse response = transport().send(request, stop);
    validateResponse(response);
    if (response.body.empty()) throw DesktopError::invalidResponse();

    const ImageTranscoder::Result image = ImageTranscoder::toPNG(response.body, kMaxThumbnailPixels);
    switch (image.outcome) {
        case ImageTranscoder::Outcome::png:
            break;
        case ImageTranscoder::Outcome::tooLarge:
            thumbnailLogger().error("Thumbnail too large for " + item.name + ", pixels=" + std::to_string(image.pixels));
            throw DesktopError::invalidResponse();
        case ImageTranscoder::Outcome::undecodable:
            thumbnailLogger().error("Thumbnail decode failed for " + item.name +
                                    ", bytes=" + std::to_string(response.body.size()));
            throw DesktopError::invalidResponse();
        case ImageTranscoder::Outcome::encodingFailed:
            throw DesktopError::invalidResponse();
    }
    thumbnailLogger().info("Thumbnail ready for " + item.name + ", pngBytes=" + std::to_string(image.png.size()));
    return image.png;
}

RemoteItem OcisClient::uploadFile(const std::filesystem::path& file, const std::string& path,
                                  std::optional<Date> modificationDate, bool createOnly, std::stop_token stop) {
    const std::shared_ptr<UploadActivityToken> activity = uploads()->beginUpload();
    const Finally finish([&] { activity->finish(); });

    HttpRequest request = makeRequest("PUT", path, stop);
    request.headers.set("Content-Type", "application/octet-stream");
    const std::optional<std::string> mtime = mtimeHeaderValue(modificationDate);
    if (mtime) request.headers.set("X-OC-MTIME", *mtime);
    if (createOnly) request.headers.set("If-None-Match", "*");
    request.body = HttpFileBody{file};
    const HttpResponse response = transport().send(request, stop);
    validateResponse(response);

    if (modificationDate) {
        std::string confirmed = response.headers.value("X-OC-MTime").value_or("");
        for (char& c : confirmed) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (confirmed != "accepted") {
            networkLogger().error("Server did not confirm the requested modification time for " + path);
        }
    }

    const std::string parentPath = parentOf(normalizeRemotePath(path));
    const std::optional<RemoteItem> parent = mapping().itemAtPath(parentPath);
    const RemoteItem item = fetchItem(path, parent ? parent->id : "root", stop);
    mapping().upsert(item);
    return item;
}

RemoteItem OcisClient::moveItem(const RemoteItem& item, const RemoteItem& parent, const std::string& name,
                                std::stop_token stop) {
    if (isEncryptedID(item.id)) {
        return encryption()->modifyEncryptedItem(item, parent, name, std::nullopt, std::nullopt, true, stop);
    }
    if (isEncryptedID(parent.id)) throw DesktopError::encryptionRequired();
    // A name is one path component: "a/b" or ".." would move somewhere else.
    // Nor may the item take a name the listings hide (an encrypted blob's
    // storage name, a "._" fork): it would vanish from the folder.
    if (!isSafeItemName(name) || name.starts_with("._") || isEncryptedBlobPath(name)) {
        throw DesktopError::invalidResponse();
    }

    const std::string destination = normalizeRemotePath((parent.path == "/" ? std::string() : parent.path) + "/" + name);
    HttpRequest request = makeRequest("MOVE", item.path, stop);
    request.headers.set("Destination", remoteURL(destination).string());
    request.headers.set("Overwrite", "F");
    const HttpResponse response = transport().send(request, stop);
    validateResponse(response);

    mapping().deleteItem(item.id);
    const RemoteItem moved = fetchItem(destination, parent.id, stop);
    mapping().upsert(moved);
    return moved;
}

void OcisClient::deleteItem(const RemoteItem& item, std::stop_token stop) {
    if (isEncryptedID(item.id)) {
        encryption()->deleteEncryptedItem(item, stop);
        return;
    }
    try {
        send("DELETE", item.path, {}, std::nullopt, stop);
    } catch (const DesktopError& error) {
        // Nothing at that path (deleted or moved elsewhere meanwhile): the
        // item is missing, which the caller can resolve by listing again.
        if (error.kind() != DesktopError::Kind::server || error.status() != 404) throw;
        mapping().deleteItem(item.id);
        throw DesktopError::missingItem(item.id);
    }
    mapping().deleteItem(item.id);
}

}  // namespace nimbuscrate
