#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "platform/core/Bytes.h"
#include "platform/core/Date.h"
#include "shared/session/RemoteItem.h"

namespace nimbuscrate {

// The narrow set of operations through which the file-server client and the
// extension hand encrypted work (identifiers beginning "e2ee:") to the
// encryption client, and ask it whether plain writes are allowed. The
// encryption client implements it; until it is installed the process uses
// PlainOnlyDriveService. Calls block the calling thread.
class EncryptedDriveService {
public:
    virtual ~EncryptedDriveService() = default;

    // Whether new content must go encrypted; asked before every plain write
    // other than GET, HEAD, OPTIONS, PROPFIND and REPORT. Its failures (an
    // account in setup or paused, an unreachable service) refuse the write.
    virtual bool isEncryptionRequired(std::stop_token stop) = 0;

    // The live encrypted items directly under the drive root ("root") or an
    // encrypted folder.
    virtual std::vector<RemoteItem> listEncryptedChildren(const RemoteItem& parent, std::stop_token stop) = 0;

    // The decrypted contents of an encrypted file, in a new private folder.
    virtual std::filesystem::path downloadEncryptedFile(const RemoteItem& item, std::stop_token stop) = 0;

    // JPEG thumbnail bytes, or nothing when the item has no preview.
    virtual std::optional<Bytes> fetchEncryptedThumbnail(const RemoteItem& item, std::stop_token stop) = 0;

    // A new encrypted folder (isDirectory) or file under the root or an
    // encrypted folder; records the result in the mapping database.
    virtual RemoteItem createEncryptedItem(const std::string& name, const RemoteItem& parent, bool isDirectory,
                                           const std::optional<std::filesystem::path>& contents,
                                           std::optional<Date> modified, std::stop_token stop) = 0;

    // New contents (when given) or a new name and/or parent of an encrypted
    // item; records the result in the mapping database.
    virtual RemoteItem modifyEncryptedItem(const RemoteItem& item, const RemoteItem& parent, const std::string& name,
                                           const std::optional<std::filesystem::path>& contents,
                                           std::optional<Date> modified, bool baseVersionMatches,
                                           std::stop_token stop) = 0;

    // Marks the node deleted and removes its rows from the mapping database.
    virtual void deleteEncryptedItem(const RemoteItem& item, std::stop_token stop) = 0;

    // The service of this process: the installed encryption client, else the
    // plain-only service.
    static std::shared_ptr<EncryptedDriveService> shared();
    // Installs the process's encryption client (nullptr goes back to plain-only).
    static void install(std::shared_ptr<EncryptedDriveService> service);
};

}  // namespace nimbuscrate
