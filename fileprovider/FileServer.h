#pragma once

#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "platform/core/Bytes.h"
#include "platform/core/Date.h"
#include "platform/fileprovider/Progress.h"
#include "shared/session/RemoteItem.h"

namespace nimbuscrate {

// The file-server operations the extension calls. Plain items travel by
// WebDAV; items whose identifier begins "e2ee:" are handed to the encryption
// client by the implementation itself (listings, downloads, thumbnails,
// moves and deletes). Every call blocks the calling thread and fails by
// throwing (DesktopError, E2EEError, transport errors, CancellationError).
//
// Creates are refused by the server when the target already exists: a
// createOnly upload and createEmptyFile send "If-None-Match: *" (refused
// with 412 over a file, 405 over a folder), createFolder is a MKCOL
// (refused with 405). Either way DesktopError::server carries the status.
class FileServer {
public:
    enum class UploadMode {
        replace,     // new contents of an existing file
        createOnly,  // a new file: never overwrite one the server already has
    };

    virtual ~FileServer() = default;

    // The direct children of a folder, encrypted ones first at the root.
    virtual std::vector<RemoteItem> listItems(const RemoteItem& container, std::stop_token stop) = 0;
    // The server's current state of one path; parentID is written into the result as given.
    virtual RemoteItem fetchItem(const std::string& path, const std::string& parentID, std::stop_token stop) = 0;
    // The contents in a new file of its own; the progress is completed on success.
    virtual std::filesystem::path downloadFile(const RemoteItem& item, fp::Progress& progress,
                                               std::stop_token stop) = 0;
    // Image bytes of the item's thumbnail; nothing when the item has none.
    virtual std::optional<Bytes> fetchThumbnail(const RemoteItem& item, std::stop_token stop) = 0;
    // Writes a local file to a server path (with the modification time when
    // given) and returns the item as the server now describes it; the item
    // is recorded in the mapping database.
    virtual RemoteItem uploadFile(const std::filesystem::path& file, const std::string& path,
                                  std::optional<Date> modified, UploadMode mode, std::stop_token stop) = 0;
    // A new folder (MKCOL) at the path.
    virtual void createFolder(const std::string& path, std::stop_token stop) = 0;
    // A new empty file (PUT with an empty body) at the path.
    virtual void createEmptyFile(const std::string& path, std::stop_token stop) = 0;
    // Moves and/or renames an item into parent under name, never replacing
    // an existing target; returns the item at its new place.
    virtual RemoteItem moveItem(const RemoteItem& item, const RemoteItem& parent, const std::string& name,
                                std::stop_token stop) = 0;
    // Deletes an item (a folder with everything in it).
    virtual void deleteItem(const RemoteItem& item, std::stop_token stop) = 0;
};

}  // namespace nimbuscrate
