#pragma once

#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/localservice/HttpExchange.h"
#include "tools/localservice/LocalService.h"

namespace nimbuscrate::localservice {

// The file server: the Graph drives listing and a WebDAV tree per drive over
// a directory on disk. Each item's "oc:fileid" is bound to its inode, so it
// follows the item through renames and moves and survives overwrites.
class DavServer {
public:
    DavServer(std::filesystem::path drivesDirectory, std::filesystem::path spoolDirectory, std::string webAppHost);

    void addDrive(const Drive& drive);
    std::vector<Drive> drives() const;
    std::filesystem::path driveDirectory(const std::string& driveId) const;
    std::optional<std::string> fileId(const std::string& driveId, const std::string& path) const;
    std::string webDavUrl(const std::string& driveId) const;

    // A request path below one drive's WebDAV root.
    struct Target {
        Drive drive;
        std::string rootPrefix;             // decoded root path the request used, no trailing "/"
        std::vector<std::string> segments;  // the item's path pieces below the root
        std::filesystem::path directory;    // the drive's directory on disk

        std::filesystem::path file() const;
        std::string itemPath() const;  // "/" + pieces joined by "/"
    };
    enum class Match { none, invalidPath, target };
    // Matches a decoded request path against the drives' WebDAV roots.
    Match match(std::string_view path, Target& target) const;
    // Resolves a media-service source "/spaces/<drive id>/<path>".
    Match matchSource(std::string_view source, Target& target) const;

    Reply handle(IncomingRequest& request, const Target& target);
    // PUT takes no notice of "If-None-Match" (a fault knob).
    void ignoreIfNoneMatch(bool ignore) { ignoreIfNoneMatch_ = ignore; }
    Reply drivesListing(const IncomingRequest& request) const;

private:
    Reply propfind(const IncomingRequest& request, const Target& target);
    Reply get(const IncomingRequest& request, const Target& target, bool headOnly);
    Reply put(IncomingRequest& request, const Target& target);
    Reply mkcol(const IncomingRequest& request, const Target& target);
    Reply move(const IncomingRequest& request, const Target& target);
    Reply remove(const IncomingRequest& request, const Target& target);

    std::string idFor(const struct stat& status, const std::string& driveId) const;
    void forgetTree(const std::filesystem::path& path);
    std::string etagOf(const struct stat& status) const;
    bool splitSegments(std::string_view rest, std::vector<std::string>& segments) const;
    std::vector<std::string> rootsOf(const Drive& drive) const;

    std::filesystem::path drivesDirectory_;
    std::filesystem::path spoolDirectory_;
    std::string webAppHost_;
    std::atomic<bool> ignoreIfNoneMatch_{false};

    mutable std::mutex drivesMutex_;
    std::vector<Drive> drives_;

    // Writers (PUT commit, MKCOL, MOVE, DELETE) take the tree exclusively;
    // PROPFIND and GET share it. It also guards the id table.
    mutable std::shared_mutex treeMutex_;
    mutable std::mutex idsMutex_;
    mutable std::map<std::pair<dev_t, ino_t>, std::string> ids_;
};

}  // namespace nimbuscrate::localservice
