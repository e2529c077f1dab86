#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <set>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/Bytes.h"
#include "platform/core/Date.h"
#include "platform/core/Url.h"
#include "platform/http/HttpRequest.h"
#include "platform/http/HttpTransport.h"
#include "platform/log/Logger.h"
#include "shared/session/DriveSelection.h"
#include "shared/session/EncryptedDriveService.h"
#include "shared/session/KeychainStore.h"
#include "shared/session/MappingStore.h"
#include "shared/session/RemoteItem.h"
#include "shared/session/TokenProvider.h"
#include "shared/session/UploadActivityStore.h"
#include "shared/session/WebDAVParser.h"

namespace nimbuscrate {

// The file-server client of the signed-in user: drive discovery over the
// Graph interface and the WebDAV requests under the selected drive's root.
// It keeps no mutable state: the session, the drive and the token are read
// again for every request, so a rediscovered root or a refreshed token takes
// effect with the next request. Calls block the calling thread; any number
// may run at once.
class OcisClient {
public:
    static constexpr const char* kUserAgent = "Nimbuscrate-macOS/1.1";
    static constexpr const char* kOwnCloudNamespace = "http://owncloud.org/ns";
    // Idle time-outs.
    static constexpr double kWebDAVTimeoutSeconds = 120;
    static constexpr double kProbeTimeoutSeconds = 20;
    static constexpr double kDrivesTimeoutSeconds = 60;
    static constexpr double kThumbnailTimeoutSeconds = 30;
    // Reply caps: a longer reply fails while it arrives.
    static constexpr std::uint64_t kMaxReplyBytes = 256ull * 1024 * 1024;
    static constexpr std::uint64_t kMaxDrivesReplyBytes = 8ull * 1024 * 1024;
    static constexpr std::uint64_t kMaxProbeReplyBytes = 1024 * 1024;
    // Bytes of an error reply kept in DesktopError::server.
    static constexpr std::size_t kErrorMessageBytes = 2048;

    // The Graph drives reply.
    struct DrivesResponse {
        struct Drive {
            std::string id;
            std::string name;
            std::optional<std::string> driveType;
            Url webDavUrl;  // "root"."webDavUrl"
        };
        std::vector<Drive> value;

        // Throws ReplyDecodingError for a missing key, a wrong type or a
        // "webDavUrl" that is not an absolute URL; unknown keys are ignored.
        static DrivesResponse decode(const Bytes& body);
    };

    // What the client works with besides the session store and the token
    // provider; an empty field means the process-wide one.
    struct Services {
        std::shared_ptr<EncryptedDriveService> encryption;
        HttpTransport* transport = nullptr;
        MappingStore* mapping = nullptr;
        std::shared_ptr<UploadActivityStore> uploads;
    };

    OcisClient(KeychainStore store, TokenProvider& tokens);
    OcisClient(KeychainStore store, TokenProvider& tokens, Services services);
    OcisClient(const OcisClient&) = delete;
    OcisClient& operator=(const OcisClient&) = delete;

    // The process-wide client over the session store, the shared token
    // provider and the process's encryption service.
    static OcisClient& shared();

    // ---- Request core ----

    // Whether the last component of a path is the storage name of an
    // encrypted blob (two hexadecimal UUIDs joined by "-", then ".nbenc",
    // any case). Such paths belong to the encryption client only.
    static bool isEncryptedBlobPath(std::string_view path);

    // The body of every PROPFIND of this client.
    static const Bytes& propfindBody();

    // "X-OC-MTIME": whole seconds since 1970 (rounded down); nothing without
    // a date or for one that is not finite or out of 64-bit range.
    static std::optional<std::string> mtimeHeaderValue(std::optional<Date> date);

    // 2xx passes; any other status is DesktopError::server with the first
    // 2048 bytes of the body (or of the downloaded file) as text.
    static void validateResponse(const HttpResponse& response);
    static void validateDownloadResponse(const HttpResponse& response, const std::filesystem::path& file);

    // The absolute URL of a server path under the saved drive's WebDAV root.
    // DesktopError::noNimbuscrateSpace without a session or drive, or when
    // the saved root is not https; a path with a ".." piece is refused
    // (DesktopError::invalidResponse), so no request can leave the drive root.
    Url remoteURL(std::string_view path) const;

    // An authorised request for one server path: the blob check and the
    // refusal of a saved root that is not https (both before any token), the
    // token, the encryption-policy gate for write methods, the URL.
    HttpRequest makeRequest(const std::string& method, std::string_view path, std::stop_token stop = {});

    // makeRequest, then the headers and the body (a body sets "Content-Type"
    // to "application/xml; charset=utf-8"), then the validated reply body.
    Bytes send(const std::string& method, std::string_view path, const HttpHeaders& headers,
               const std::optional<Bytes>& body, std::stop_token stop = {});

    // ---- Drive discovery ----

    // Lists the drives, drops personal ones, tries those named after the
    // product first and returns the first whose WebDAV root answers.
    DriveSelection discoverDrive(std::stop_token stop = {});
    // Depth-0 PROPFIND of a candidate root: true for a 2xx reply. Never
    // throws except CancellationError; failures are logged.
    bool probeWebDAVRoot(const Url& root, const std::string& token, std::stop_token stop = {});
    // Discovers again and saves the drive into the stored session, under the
    // secret store's item lock, unless the session was replaced meanwhile.
    DriveSelection refreshWebDAVEndpoint(std::stop_token stop = {});

    // Stable: drives whose name contains "Nimbuscrate" (any case) first.
    static std::vector<DrivesResponse::Drive> sortDrives(std::vector<DrivesResponse::Drive> drives);
    // The WebDAV roots to probe for a drive, in order, without duplicates.
    static std::vector<Url> candidateRoots(const DrivesResponse::Drive& drive);

    static HttpRequest makeDrivesRequest(const std::string& token);
    static HttpRequest makeProbeRequest(const Url& root, const std::string& token);

    // ---- Folder listing and item fetch ----

    // The children of a folder: the encrypted ones first (at the root and in
    // encrypted folders), then the plain WebDAV ones. A 404 on the root leads
    // to one rediscovery of the drive and one more attempt. Names that differ
    // only by case or Unicode form are all listed (and logged); the same name
    // twice fails the whole listing with E2EEError::conflict.
    std::vector<RemoteItem> listItems(const RemoteItem& container, std::stop_token stop = {});
    // The plain children by one depth-1 PROPFIND, parsed while the reply arrives.
    std::vector<RemoteItem> fetchChildren(const RemoteItem& container, std::stop_token stop = {});
    // One item by one depth-0 PROPFIND; parentID is written into the result as given.
    RemoteItem fetchItem(const std::string& path, const std::string& parentID, std::stop_token stop = {});

    // A whole multistatus reply; the parser's error, or DesktopError::invalidResponse.
    static std::vector<WebDAVResponse> parseMultistatus(const Bytes& body);
    // The server path of a reply entry below the saved drive's WebDAV root, normalised.
    std::string relativePath(std::string_view href) const;
    // Same, with the root path (percent-decoded, empty for none) already known.
    static std::string relativePath(std::string_view href, std::string_view rootPath);

    // The identifiers and paths one listing has seen.
    struct ListingState {
        std::set<std::string> identifiers;
        std::set<std::string> paths;
    };
    // One entry of a listing of `container` (whose normalised path is `base`)
    // as an item, or nothing when a skip rule drops it.
    static std::optional<RemoteItem> convertResponse(const WebDAVResponse& entry, const RemoteItem& container,
                                                     const std::string& base, std::string_view rootPath,
                                                     ListingState& state);

    // ---- Transfers, moves and deletes ----

    // The contents in a new private folder of its own under the temporary
    // directory, named after the item; `completed` runs on success.
    std::filesystem::path downloadFile(const RemoteItem& item, const std::function<void()>& completed = {},
                                       std::stop_token stop = {});
    // PNG bytes of the item's thumbnail (256) from the media service; an
    // encrypted item's JPEG from the encryption client (or nothing).
    std::optional<Bytes> fetchThumbnail(const RemoteItem& item, std::stop_token stop = {});
    // PUT of a local file with "X-OC-MTIME" when a date is given; createOnly
    // adds "If-None-Match: *" so an existing file is never replaced. The
    // server's description of the file is recorded and returned.
    RemoteItem uploadFile(const std::filesystem::path& file, const std::string& path,
                          std::optional<Date> modificationDate, bool createOnly = false, std::stop_token stop = {});
    // MOVE to name inside parent, never replacing an existing target. A name
    // that is not one safe path component, or that listings hide (a "._"
    // prefix, an encrypted blob's storage name), is refused before any
    // request with DesktopError::invalidResponse.
    RemoteItem moveItem(const RemoteItem& item, const RemoteItem& parent, const std::string& name,
                        std::stop_token stop = {});
    // DELETE; the item's rows (and its direct children's) leave the mapping database.
    void deleteItem(const RemoteItem& item, std::stop_token stop = {});

    // The thumbnail request of a plain item in a drive.
    static HttpRequest makeThumbnailRequest(const RemoteItem& item, const std::string& driveID,
                                            const std::string& token);
    // Largest thumbnail accepted, in pixels; larger ones are refused unread.
    static constexpr std::uint64_t kMaxThumbnailPixels = 4096ull * 4096ull;
    static constexpr std::uint64_t kMaxThumbnailReplyBytes = 32ull * 1024 * 1024;

    static const Logger& networkLogger();
    static const Logger& thumbnailLogger();

private:
    // A saved root that is not https is logged and refused
    // (DesktopError::noNimbuscrateSpace, as a root that cannot be used).
    static void requireHttpsRoot(const DriveSelection& drive);

    std::vector<WebDAVResponse> propfind(const std::string& path, const char* depth, std::stop_token stop);
    std::string savedRootPath() const;

    KeychainStore store_;
    TokenProvider& tokens_;
    Services services_;

    std::shared_ptr<EncryptedDriveService> encryption() const;
    HttpTransport& transport() const;
    MappingStore& mapping() const;
    const std::shared_ptr<UploadActivityStore>& uploads() const;
};

}  // namespace nimbuscrate
