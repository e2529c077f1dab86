#pragma once

#include <cstdint>
#include <filesystem>
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
#include "shared/session/TokenProvider.h"

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

    OcisClient(KeychainStore store, TokenProvider& tokens,
               std::shared_ptr<EncryptedDriveService> encryption = nullptr,
               HttpTransport& transport = HttpTransport::shared());
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
    // DesktopError::noNimbuscrateSpace without a session or drive; a path
    // with a ".." piece is refused (DesktopError::invalidResponse), so no
    // request can leave the drive root.
    Url remoteURL(std::string_view path) const;

    // An authorised request for one server path: the blob check (before any
    // token), the token, the encryption-policy gate for write methods, the URL.
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

    static const Logger& networkLogger();

private:
    KeychainStore store_;
    TokenProvider& tokens_;
    std::shared_ptr<EncryptedDriveService> encryption_;
    HttpTransport& transport_;

    std::shared_ptr<EncryptedDriveService> encryption() const;
};

}  // namespace nimbuscrate
