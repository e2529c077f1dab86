#pragma once

#include "fileprovider/FileServer.h"
#include "shared/session/OcisClient.h"

namespace nimbuscrate {

// The extension's file server over the real file-server client.
class OcisFileServer final : public FileServer {
public:
    explicit OcisFileServer(OcisClient& client) : client_(client) {}

    std::vector<RemoteItem> listItems(const RemoteItem& container, std::stop_token stop) override;
    RemoteItem fetchItem(const std::string& path, const std::string& parentID, std::stop_token stop) override;
    std::filesystem::path downloadFile(const RemoteItem& item, fp::Progress& progress, std::stop_token stop) override;
    std::optional<Bytes> fetchThumbnail(const RemoteItem& item, std::stop_token stop) override;
    RemoteItem uploadFile(const std::filesystem::path& file, const std::string& path, std::optional<Date> modified,
                          UploadMode mode, std::stop_token stop) override;
    // MKCOL without headers or body.
    void createFolder(const std::string& path, std::stop_token stop) override;
    // PUT of an empty body with "If-None-Match: *".
    void createEmptyFile(const std::string& path, std::stop_token stop) override;
    RemoteItem moveItem(const RemoteItem& item, const RemoteItem& parent, const std::string& name,
                        std::stop_token stop) override;
    void deleteItem(const RemoteItem& item, std::stop_token stop) override;

private:
    OcisClient& client_;
};

}  // namespace nimbuscrate
