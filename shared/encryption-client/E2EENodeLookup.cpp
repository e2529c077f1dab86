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

const E2EEJSON* E2EENodeLookup::liveNode(const E2EEJSON& key, const DriveSelection& drive) const {
    for (const E2EEJSON& item : items_) {
        if (item.isObject() && item.member("nodeId") == key && inDrive(item, drive) &&
            !item.member("effectiveDeleted").boolValue()) {
            return &item;
        }
    }
    return nullptr;
}

E2EEJSON E2EENodeLookup::nodeRecord(std::string_view identifier) const {
    const E2EEJSON key = parseEncryptedIdentifier(identifier);
    const DriveSelection drive = verifiedDrive();
    if (const E2EEJSON* item = liveNode(key, drive)) return *item;
    throw DesktopError::missingItem(std::string(identifier));
}

void E2EENodeLookup::ensureParentCanHold(const E2EEJSON& parent, const E2EEJSON& node) const {
    static const E2EEJSON kRoot("root");
    if (parent == kRoot) return;
    const DriveSelection drive = verifiedDrive();
    const E2EEJSON* folder = liveNode(parent, drive);
    if (!folder) {
        const std::string* id = parent.stringValue();
        throw DesktopError::missingItem(id ? *id : parent.canonicalString());
    }
    // Every device builds its library from these records: a parent that is
    // a file, or a folder moved below itself, would make every later
    // snapshot fail, so neither is ever sent.
    if (!(folder->member("kind") == E2EEJSON("folder"))) throw E2EEError::conflict();
    if (node.isNull()) return;
    // Up from the new parent to the root; each step is a live folder, so a
    // walk longer than the library has items can only be a cycle.
    E2EEJSON current = parent;
    for (std::size_t steps = 0; steps <= items_.size(); ++steps) {
        if (current == kRoot) return;
        if (current == node) throw E2EEError::conflict();
        const E2EEJSON* item = liveNode(current, drive);
        if (!item) throw E2EEError::history();
        current = item->member("parentId");
        if (!current.isString()) throw E2EEError::history();
    }
    throw E2EEError::history();
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
