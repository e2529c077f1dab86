#include "shared/session/OcisClient.h"

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <limits>
#include <regex>

#include <nlohmann/json.hpp>

#include "platform/core/CancellationError.h"
#include "platform/core/UnicodeText.h"
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

OcisClient::OcisClient(KeychainStore store, TokenProvider& tokens, std::shared_ptr<EncryptedDriveService> encryption,
                       HttpTransport& transport)
    : store_(std::move(store)), tokens_(tokens), encryption_(std::move(encryption)), transport_(transport) {}

OcisClient& OcisClient::shared() {
    static OcisClient client(KeychainStore::session(), TokenProvider::shared());
    return client;
}

const Logger& OcisClient::networkLogger() {
    static const Logger logger("app.nimbuscrate.fileprovider", "network");
    return logger;
}

std::shared_ptr<EncryptedDriveService> OcisClient::encryption() const {
    return encryption_ ? encryption_ : EncryptedDriveService::shared();
}

// ---- Request core ----

bool OcisClient::isEncryptedBlobPath(std::string_view path) {
    static const std::regex pattern(
        "(^|/)[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}-[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-"
        "[0-9a-f]{4}-[0-9a-f]{12}\\.nbenc$",
        std::regex::ECMAScript | std::regex::icase);
    return std::regex_search(path.begin(), path.end(), pattern);
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

Url OcisClient::remoteURL(std::string_view path) const {
    const std::optional<DesktopSession> session = store_.loadSession();
    if (!session || !session->drive) throw DesktopError::noNimbuscrateSpace();
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
    HttpResponse response = transport_.send(request, stop);
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
        response = transport_.send(makeProbeRequest(root, token), stop);
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
    HttpResponse response = transport_.send(makeDrivesRequest(token), stop);
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

}  // namespace nimbuscrate
