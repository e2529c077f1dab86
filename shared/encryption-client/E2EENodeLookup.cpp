#include "shared/encryption-client/E2EENodeLookup.h"

#include "platform/core/UnicodeText.h"
#include "shared/encryption/E2EECrypto.h"
#include "shared/encryption/E2EEError.h"
#include "shared/session/DesktopError.h"

namespace nimbuscrate {

E2EENodeLookup::E2EENodeLookup(E2EEJSON account, std::span<const E2EEJSON> items,
                               std::optional<DriveSelection> selectedDrive)
    : account_(std::move(account)), items_(items), selectedDrive_(std::move(selectedDrive)) {}

DriveSelection E2EENodeLookup::verifiedDrive() const {
    if (!selectedDrive_) throw DesktopError::noNimbuscrateSpace();
    const E2EEJSON::Array* owned = account_.member("ownedDriveIds").arrayValue();
    if (owned) {
        const E2EEJSON wanted(selectedDrive_->id);
        for (const E2EEJSON& id : *owned) {
            if (id.isString() && id == wanted) return *selectedDrive_;
        }
    }
    throw E2EEError::invalid();
}

E2EEJSON E2EENodeLookup::parseEncryptedIdentifier(std::string_view identifier) const {
    if (identifier == "root") return "root";
    const std::string* accountId = account_.member("accountId").stringValue();
    if (!accountId) throw E2EEError::invalid();
    const std::string prefix = "e2ee:" + *accountId + ":";
    if (!identifier.starts_with(prefix)) throw DesktopError::encryptionRequired();
    const std::string_view nodeId = identifier.substr(prefix.size());
    if (!E2EECrypto::isIdentifier(nodeId)) throw E2EEError::invalid();
    return nodeId;
}

bool E2EENodeLookup::inDrive(const E2EEJSON& item, const DriveSelection& drive) const {
    const E2EEJSON& driveId = item.member("driveId");
    return driveId.isString() && driveId == E2EEJSON(drive.id);
}

E2EEJSON E2EENodeLookup::nodeRecord(std::string_view identifier) const {
    const E2EEJSON key = parseEncryptedIdentifier(identifier);
    const DriveSelection drive = verifiedDrive();
    for (const E2EEJSON& item : items_) {
        if (item.isObject() && item.member("nodeId") == key && inDrive(item, drive) &&
            !item.member("effectiveDeleted").boolValue()) {
            return item;
        }
    }
    throw DesktopError::missingItem(std::string(identifier));
}

void E2EENodeLookup::ensureNameAvailable(std::string_view name, const E2EEJSON& parent,
                                         const E2EEJSON& excluding) const {
    const DriveSelection drive = verifiedDrive();
    const std::string wanted = nameClashKey(name);
    for (const E2EEJSON& item : items_) {
        if (!item.isObject() || !inDrive(item, drive) || !(item.member("parentId") == parent)) continue;
        // A missing "nodeId" reads as null, so it matches a null excluding.
        if (item.member("nodeId") == excluding || item.member("effectiveDeleted").boolValue()) continue;
        const std::string* sibling = item.member("name").stringValue();
        if (!sibling) throw E2EEError::invalid();
        if (nameClashKey(*sibling) == wanted) throw E2EEError::conflict();
    }
}

}  // namespace nimbuscrate
