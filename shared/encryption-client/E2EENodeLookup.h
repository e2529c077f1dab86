#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "shared/encryption/E2EEJSON.h"
#include "shared/session/DriveSelection.h"
#include "shared/session/RemoteItem.h"

namespace nimbuscrate {

// Where an encrypted item is: the lookups every listing, download and change
// of an encrypted item goes through, over one consistent view of the
// client's cached account record, its snapshot items and the session's
// selected drive. They send nothing, change nothing and never block; the
// caller refreshes the snapshot first when it needs it current, and keeps the
// items alive while the lookup is used.
//
// Item identifiers: "root" for the drive root, or "e2ee:" + account id + ":"
// + node id, the node id being 1 to 128 ASCII letters, digits, "_" or "-".
// A node key is the E2EEJSON string that stands for a container or node in
// the snapshot items: "root" or the node id.
class E2EENodeLookup {
public:
    // account: the cached account record ("accountId", "ownedDriveIds").
    // items: the snapshot items. selectedDrive: the stored session's drive,
    // nothing when there is no session or it has no drive.
    E2EENodeLookup(E2EEJSON account, std::span<const E2EEJSON> items, std::optional<DriveSelection> selectedDrive);

    // The selected drive, once it is found among the account's
    // "ownedDriveIds" (entries that are not strings are skipped).
    // DesktopError::noNimbuscrateSpace without a drive; E2EEError::invalid
    // when the account does not own it.
    DriveSelection verifiedDrive() const;

    // The node key an item identifier names. "root" gives "root" without
    // looking at the account. DesktopError::encryptionRequired for an
    // identifier of another account or a plain one; E2EEError::invalid when the
    // account has no string "accountId" or the node id is malformed.
    E2EEJSON parseEncryptedIdentifier(std::string_view identifier) const;
    E2EEJSON parseEncryptedIdentifier(const RemoteItem& item) const { return parseEncryptedIdentifier(item.id); }

    // The first live snapshot item (not "effectiveDeleted") of the node the
    // identifier names, in the selected drive. DesktopError::missingItem with
    // the identifier when there is none; the errors of the two above.
    E2EEJSON nodeRecord(std::string_view identifier) const;
    E2EEJSON nodeRecord(const RemoteItem& item) const { return nodeRecord(item.id); }

    // Returns when no live child of parent (a node key) in the selected
    // drive, other than the node excluding (null when creating), has the
    // name after canonical composition and full lower-casing. The scan stops
    // at the first such sibling with E2EEError::conflict, or at the first one
    // without a string "name" with E2EEError::invalid.
    void ensureNameAvailable(std::string_view name, const E2EEJSON& parent, const E2EEJSON& excluding) const;

    // Returns when parent (a node key) may hold node (the node key of the
    // item being created or moved; null for a new one): "root", or a live
    // folder of the selected drive that is neither node itself nor below it,
    // found by walking parent's ancestors up to the root.
    // DesktopError::missingItem when parent is no live node of the drive;
    // E2EEError::conflict when it is not a folder, or is node or lies below
    // it; E2EEError::history when an ancestor is missing or the walk does not
    // end (which a checked snapshot never shows).
    void ensureParentCanHold(const E2EEJSON& parent, const E2EEJSON& node) const;

    // The names the content path uses for the same two lookups.
    DriveSelection ownedDriveIDs() const { return verifiedDrive(); }
    void childNamed(std::string_view name, const E2EEJSON& parent, const E2EEJSON& excluding) const {
        ensureNameAvailable(name, parent, excluding);
    }

private:
    bool inDrive(const E2EEJSON& item, const DriveSelection& drive) const;
    // The first live item of the node key in the drive; nullptr when none.
    const E2EEJSON* liveNode(const E2EEJSON& key, const DriveSelection& drive) const;

    E2EEJSON account_;
    std::span<const E2EEJSON> items_;
    std::optional<DriveSelection> selectedDrive_;
};

}  // namespace nimbuscrate
