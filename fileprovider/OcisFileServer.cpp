#include "fileprovider/OcisFileServer.h"

namespace nimbuscrate {

std::vector<RemoteItem> OcisFileServer::listItems(const RemoteItem& container, std::stop_token stop) {
    return client_.listItems(container, stop);
}

RemoteItem OcisFileServer::fetchItem(const std::string& path, const std::string& parentID, std::stop_token stop) {
    return client_.fetchItem(path, parentID, stop);
}

std::filesystem::path OcisFileServer::downloadFile(const RemoteItem& item, fp::Progress& progress,
                                                   std::stop_token stop) {
    return client_.downloadFile(
        item, [&progress] { progress.setCompletedUnitCount(progress.totalUnitCount()); }, stop);
}

std::optional<Bytes> OcisFileServer::fetchThumbnail(const RemoteItem& item, std::stop_token stop) {
    return client_.fetchThumbnail(item, stop);
}

RemoteItem OcisFileServer::uploadFile(const std::filesystem::path& file, const std::string& path,
                                      std::optional<Date> modified, UploadMode mode, std::stop_token stop) {
    return client_.uploadFile(file, path, modified, mode == UploadMode::createOnly, stop);
}

void OcisFileServer::createFolder(const std::string& path, std::stop_token stop) {
    client_.send("MKCOL", path, HttpHeaders{}, std::nullopt, stop);
}

void OcisFileServer::createEmptyFile(const std::string& path, std::stop_token stop) {
    // The empty file must not replace one the server holds but has not listed yet.
    client_.send("PUT", path, HttpHeaders{{"If-None-Match", "*"}}, Bytes{}, stop);
}

RemoteItem OcisFileServer::moveItem(const RemoteItem& item, const RemoteItem& parent, const std::string& name,
                                    std::stop_token stop) {
    return client_.moveItem(item, parent, name, stop);
}

void OcisFileServer::deleteItem(const RemoteItem& item, std::stop_token stop) { client_.deleteItem(item, stop); }

}  // namespace nimbuscrate
