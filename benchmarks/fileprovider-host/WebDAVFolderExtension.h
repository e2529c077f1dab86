#pragma once

#include <atomic>
#include <filesystem>
#include <string>

#include "platform/fileprovider/ReplicatedExtension.h"

namespace nimbuscrate::benchmarks {

// Where and how to reach a WebDAV drive of the local service.
struct WebDAVAccess {
    std::string rootURL;       // the drive's WebDAV root, no trailing "/"
    std::string connectTo;     // curl "connect to" rule: "host:443:127.0.0.1:port"
    std::string caFile;
    std::string accessToken;
};

// A read-only extension over a WebDAV folder, just enough to measure the
// host against plain transfers: folders list with one PROPFIND (depth 1),
// contents download with one GET. Identifiers are "path:" and the path
// below the drive root.
class WebDAVFolderExtension final : public fp::ReplicatedExtension,
                                    public std::enable_shared_from_this<WebDAVFolderExtension> {
public:
    WebDAVFolderExtension(fp::ExtensionEnvironment environment, WebDAVAccess access);

    void invalidate() override {}
    fp::ProgressPtr item(const fp::ItemId& identifier, ItemCompletion done) override;
    fp::EnumeratorPtr enumerator(const fp::ItemId& container, std::optional<fp::Error>& error) override;
    fp::ProgressPtr fetchContents(const fp::ItemId& identifier, std::optional<fp::ItemVersion> requestedVersion,
                                  ContentsCompletion done) override;
    fp::ProgressPtr fetchThumbnails(std::vector<fp::ItemId> identifiers, fp::ThumbnailSize size, PerThumbnail perItem,
                                    Completion done) override;
    fp::ProgressPtr create(fp::ItemPtr itemTemplate, fp::ItemFields fields,
                           std::optional<std::filesystem::path> contents, WriteCompletion done) override;
    fp::ProgressPtr modify(fp::ItemPtr item, fp::ItemVersion baseVersion, fp::ItemFields changedFields,
                           std::optional<std::filesystem::path> contents, WriteCompletion done) override;
    fp::ProgressPtr remove(const fp::ItemId& identifier, fp::ItemVersion baseVersion, Completion done) override;

    // The children of a folder path ("" for the root), from one PROPFIND.
    std::vector<fp::ItemPtr> list(const std::string& path);
    // Downloads a path into the file.
    void download(const std::string& path, const std::filesystem::path& file);

private:
    fp::ExtensionEnvironment environment_;
    WebDAVAccess access_;
    std::atomic<int> nextDownload_{0};
};

// The transfer of one PROPFIND (depth 1) of a folder, body discarded: the
// bare cost the listing through the mount is compared with.
double timePropfind(const WebDAVAccess& access, const std::string& path);

}  // namespace nimbuscrate::benchmarks
