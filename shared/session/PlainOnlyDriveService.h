#pragma once

#include "shared/session/EncryptedDriveService.h"

namespace nimbuscrate {

// The encryption seam of a process without an encryption client: encryption
// is never required and no folder has encrypted children. An "e2ee:" item
// cannot exist here, so each operation on one is DesktopError::missingItem
// with its identifier, and an encrypted create is E2EEError::setup.
class PlainOnlyDriveService final : public EncryptedDriveService {
public:
    bool isEncryptionRequired(std::stop_token stop) override;
    std::vector<RemoteItem> listEncryptedChildren(const RemoteItem& parent, std::stop_token stop) override;
    std::filesystem::path downloadEncryptedFile(const RemoteItem& item, std::stop_token stop) override;
    std::optional<Bytes> fetchEncryptedThumbnail(const RemoteItem& item, std::stop_token stop) override;
    RemoteItem createEncryptedItem(const std::string& name, const RemoteItem& parent, bool isDirectory,
                                   const std::optional<std::filesystem::path>& contents, std::optional<Date> modified,
                                   std::stop_token stop) override;
    RemoteItem modifyEncryptedItem(const RemoteItem& item, const RemoteItem& parent, const std::string& name,
                                   const std::optional<std::filesystem::path>& contents, std::optional<Date> modified,
                                   bool baseVersionMatches, std::stop_token stop) override;
    void deleteEncryptedItem(const RemoteItem& item, std::stop_token stop) override;
};

}  // namespace nimbuscrate
