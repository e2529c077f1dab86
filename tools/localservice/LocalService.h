#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/localservice/FaultKnobs.h"
#include "tools/localservice/RequestLog.h"

namespace nimbuscrate::localservice {

class AccountApi;
class EncryptedThumbnailStore;
class UploadApi;

// The host names the service answers for (the client's compiled-in hosts).
std::string identityHost();
std::string webAppHost();
std::string mediaHost();
std::string accountApiHost();
std::string controlPanelHost();

// One drive of the Graph listing, with its files in a directory on disk.
struct Drive {
    std::string id;    // letters, digits and . _ - $ ! ~ (not starting with ".")
    std::string name;
    std::optional<std::string> driveType;  // absent: the key is left out of the listing
    // The drive's "root.webDavUrl". Empty: https://<web app host>/dav/spaces/<id>.
    // When it names the web-app host, WebDAV is served under its path too.
    std::string webDavUrl;
};

// A token set minted by the identity provider.
class IdentityProvider;

struct IssuedTokens {
    std::string accessToken;
    std::string refreshToken;
    std::int64_t expiresIn = 0;  // seconds
};

// The project's stand-in for every endpoint the client talks to, over HTTPS
// on 127.0.0.1 only. It runs on its own threads from construction until
// destruction.
class LocalService {
public:
    struct Options {
        // Where the CA, the drives' files and temporary uploads live. Empty: a
        // fresh temporary directory, removed when the service stops.
        std::filesystem::path dataDirectory;
        std::uint16_t port = 0;  // 0 = any free port
        // Seed file with drives and their files (JSON, see SeedFile.h); none = no drives.
        std::optional<std::filesystem::path> seedFile;
    };

    explicit LocalService(Options options);
    ~LocalService();
    LocalService(const LocalService&) = delete;
    LocalService& operator=(const LocalService&) = delete;

    std::uint16_t port() const;
    std::string address() const;  // "127.0.0.1:<port>"
    std::filesystem::path caCertificateFile() const;
    std::filesystem::path dataDirectory() const;
    // Sets NIMBUSCRATE_DEV_SERVICE and NIMBUSCRATE_DEV_CA_FILE for this process.
    void useForThisProcess() const;

    RequestLog& requests();
    // Connections accepted since the start (each carries one or more requests).
    std::uint64_t connectionsAccepted() const;

    // Fault knobs; a route is method ("" = any) + host ("" = any) + path prefix.
    // Counted knobs take `times` = FaultKnobs::kEveryCall for no limit. When
    // several counted knobs of a kind match, the one set first is used first.
    // The next `times` matching calls get `status` (and `body`) instead of the real reply.
    void overrideStatus(const Route& route, int status, int times = 1, std::string body = {},
                        std::string contentType = "application/json");
    // The next `times` matching calls get `reply` (status, header fields, body,
    // framing) instead of the real reply, without any check of the request.
    void overrideReply(const Route& route, ReplyOverride reply, int times = 1);
    // Every matching call waits this long before its reply (0 removes it).
    void delay(const Route& route, std::chrono::milliseconds delay);
    // Every matching call waits at the returned gate until the test opens it.
    std::shared_ptr<HoldGate> hold(const Route& route);
    // Every matching call is handled (a PUT stores its file, say), then its
    // reply waits at the returned gate until the test opens it.
    std::shared_ptr<HoldGate> holdReply(const Route& route);
    // With true, PUT takes no notice of "If-None-Match" (as some servers do):
    // an existing file is overwritten.
    void ignoreIfNoneMatch(bool ignore);
    // The next `times` matching calls are read, then the connection is closed without a reply.
    void dropConnection(const Route& route, int times = 1);
    // Matching replies send their body in pieces of `chunkBytes` with `pause` between them.
    void slowBody(const Route& route, std::size_t chunkBytes, std::chrono::milliseconds pause);
    // The next `times` matching ranged GETs get the fault (RangeFault in
    // FaultKnobs.h): the Range header ignored, or the route's 206 changed.
    void rangeFault(const Route& route, RangeFault fault, int times = 1);
    // Matching replies send `afterBytes` of their body, then wait at the
    // returned gate until the test opens it (a server that stalls mid-body).
    std::shared_ptr<HoldGate> stallBody(const Route& route, std::size_t afterBytes);
    // Removes every knob and opens every gate.
    void clearFaults();

    // Identity provider.
    IssuedTokens issueTokens();  // a new token family, as after a sign-in
    void rotateRefreshTokens(bool rotate);
    void setAccessTokenLifetime(std::chrono::seconds lifetime);
    std::size_t grantCount() const;  // refresh grants answered with new tokens
    bool isAccessTokenLive(const std::string& accessToken) const;
    bool isRefreshTokenLive(const std::string& refreshToken) const;
    void expireAccessToken(const std::string& accessToken);
    // The sign-in page, authorization codes and their knobs.
    IdentityProvider& identityProvider();

    // Graph drives and their WebDAV trees.
    void addDrive(const Drive& drive);
    std::vector<Drive> drives() const;
    // The directory on disk that holds the drive's files.
    std::filesystem::path driveDirectory(const std::string& driveId) const;
    // The "oc:fileid" of an item (path below the drive root, "/" for the root); none when absent.
    std::optional<std::string> fileId(const std::string& driveId, const std::string& path) const;
    // The drive's WebDAV root as the Graph listing gives it.
    std::string webDavUrl(const std::string& driveId) const;

    // The account API of encrypted accounts (AccountApi.h): the account,
    // its records and their knobs.
    AccountApi& accountApi();
    // The resumable uploads of encrypted blobs (UploadApi.h): their
    // settings, knobs and state.
    UploadApi& uploads();

    // Media service: the sealed thumbnail GET "v1/encrypted-thumbnail"
    // answers for the node's revision, stored as given (see
    // EncryptedThumbnailStore.h). An encrypted blob is a file of its drive,
    // named by its opaque name, and is read by WebDAV GET with Range.
    // Redirect knobs of the account API (AccountApi::redirectToSecondHost)
    // apply to both.
    void putEncryptedThumbnail(const std::string& nodeId, const std::string& revisionId, std::string bytes);
    // The sealed thumbnails, their POST store and its knobs
    // (EncryptedThumbnailStore.h); clearFaults() clears the knobs too.
    EncryptedThumbnailStore& encryptedThumbnails();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace nimbuscrate::localservice
