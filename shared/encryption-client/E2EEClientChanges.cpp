// Changes of encrypted nodes: folder creates, renames, moves and deletes as
// signed node records, and the mapping rows that follow them.
#include <cstdint>
#include <fstream>
#include <string>
#include <system_error>

#include "platform/core/Random.h"
#include "shared/encryption-client/E2EEClient.h"
#include "shared/encryption-client/FileUtilities.h"
#include "shared/encryption/E2EECrypto.h"
#include "shared/encryption/E2EEError.h"
#include "shared/encryption/E2EELibrary.h"

namespace nimbuscrate {

namespace {

// The node's "generation" as a safe integer (E2EEError::invalid otherwise).
std::int64_t generationOf(const E2EEJSON& node) { return node.member("generation").safeInteger(); }

// The drive a folder's record carries; none for any other kind.
E2EEJSON recordDriveId(const E2EEJSON& node) {
    if (node.member("kind") == E2EEJSON("folder") && node.member("driveId").isString()) {
        return node.member("driveId");
    }
    return nullptr;
}

}  // namespace

std::string E2EEClient::cachedAccountId() const {
    const E2EEJSON account = cachedAccount();
    const std::string* accountId = account.member("accountId").stringValue();
    if (!accountId) throw E2EEError::invalid();
    return *accountId;
}

void E2EEClient::sendNodeRecord(const E2EEJSON& record, std::stop_token stop) {
    // The reply says nothing the next refresh does not show.
    requestJSON("e2ee/nodes", "POST", record, {}, kRequestTimeoutSeconds, stop);
    updateStateFile(record, false);
}

RemoteItem E2EEClient::createEncryptedItem(const std::string& name, const RemoteItem& parent, bool isDirectory,
                                           const std::optional<std::filesystem::path>& contents,
                                           std::optional<Date> modified, std::stop_token stop) {
    const E2EEJSON keys = ensureWritable(stop);
    refreshSnapshot(true, stop);

    const LookupView view = lookupView();
    const E2EENodeLookup lookup = view.lookup();
    const E2EEJSON parentId = lookup.parseEncryptedIdentifier(parent);
    if (!(parentId == E2EEJSON("root"))) lookup.nodeRecord(parent);
    lookup.ensureParentCanHold(parentId, nullptr);

    if (!isDirectory) {
        if (contents) {
            return commitEncryptedFile(*contents, name, parentId, std::nullopt, modified, std::nullopt, true, stop);
        }
        // A file without contents is an empty revision; its temporary file
        // goes whatever the commit does.
        const std::filesystem::path empty = std::filesystem::temp_directory_path() / Uuid::random().upperString();
        struct Remover {
            std::filesystem::path path;
            ~Remover() { removeItemIfPresent(path); }
        } remover{empty};
        {
            std::ofstream file(empty, std::ios::binary | std::ios::trunc);
            if (!file) throw std::filesystem::filesystem_error("cannot create the empty file", empty,
                                                               std::make_error_code(std::errc::io_error));
        }
        return commitEncryptedFile(empty, name, parentId, std::nullopt, modified, std::nullopt, true, stop);
    }

    lookup.ensureNameAvailable(name, parentId, nullptr);
    const DriveSelection drive = lookup.verifiedDrive();
    const E2EEJSON nodeId(Uuid::random().lowerString());
    const E2EEJSON record =
        E2EECrypto::makeNodeRecord(keys, nodeId, "folder", parentId, 1, false, name, E2EEJSON(drive.id));
    sendNodeRecord(record, stop);
    return recordNodeChange(record.member("value").member("nodeId"), stop);
}

RemoteItem E2EEClient::modifyEncryptedItem(const RemoteItem& item, const RemoteItem& parent, const std::string& name,
                                           const std::optional<std::filesystem::path>& contents,
                                           std::optional<Date> modified, bool baseVersionMatches,
                                           std::stop_token stop) {
    const E2EEJSON keys = ensureWritable(stop);
    refreshSnapshot(true, stop);

    const LookupView view = lookupView();
    const E2EENodeLookup lookup = view.lookup();
    const E2EEJSON node = lookup.nodeRecord(item);
    const std::string accountId = cachedAccountId();
    const RemoteItem current = E2EELibrary::remoteItem(node, accountId);

    // A rename or move made against an older state of the node would undo
    // what another device did since; new contents are judged by the commit.
    if (!contents && (!baseVersionMatches || item.etag != current.etag)) throw E2EEError::conflict();

    const E2EEJSON parentId = lookup.parseEncryptedIdentifier(parent);
    if (!(parentId == E2EEJSON("root"))) lookup.nodeRecord(parent);
    lookup.ensureParentCanHold(parentId, node.member("nodeId"));
    lookup.ensureNameAvailable(name, parentId, node.member("nodeId"));

    if (contents) {
        return commitEncryptedFile(*contents, name, parentId, node, modified, item.etag, baseVersionMatches, stop);
    }

    const std::int64_t generation = generationOf(node);
    if (generation >= E2EEJSON::kMaxSafeInteger) throw E2EEError::invalid();
    const E2EEJSON record = E2EECrypto::makeNodeRecord(keys, node.member("nodeId"), node.member("kind"), parentId,
                                                       generation + 1, false, name, recordDriveId(node));
    sendNodeRecord(record, stop);
    return recordNodeChange(node.member("nodeId"), stop);
}

void E2EEClient::deleteEncryptedItem(const RemoteItem& item, std::stop_token stop) {
    const E2EEJSON keys = ensureWritable(stop);
    refreshSnapshot(true, stop);

    const LookupView view = lookupView();
    const E2EEJSON node = view.lookup().nodeRecord(item);
    const RemoteItem current = E2EELibrary::remoteItem(node, cachedAccountId());
    if (item.etag != current.etag) throw E2EEError::conflict();

    const std::int64_t generation = generationOf(node);
    if (generation >= E2EEJSON::kMaxSafeInteger) throw E2EEError::invalid();
    const std::string* name = node.member("name").stringValue();
    if (!name) throw E2EEError::invalid();
    // The tombstone keeps everything of the node but its generation and the
    // deleted flag.
    const E2EEJSON record = E2EECrypto::makeNodeRecord(keys, node.member("nodeId"), node.member("kind"),
                                                       node.member("parentId"), generation + 1, true, *name,
                                                       recordDriveId(node));
    sendNodeRecord(record, stop);
    services_.mappings.deleteItem(item.id);
}

RemoteItem E2EEClient::recordNodeChange(const E2EEJSON& nodeId, std::stop_token stop) {
    refreshSnapshot(true, stop);
    const LookupView view = lookupView();
    for (const E2EEJSON& node : *view.items) {
        if (!(node.member("nodeId") == nodeId)) continue;
        const E2EEJSON& deleted = node.member("effectiveDeleted");
        if (deleted.isBool() && deleted.boolValue()) continue;
        const std::string* accountId = view.account.member("accountId").stringValue();
        if (!accountId) throw E2EEError::invalid();
        const RemoteItem item = E2EELibrary::remoteItem(node, *accountId);
        services_.mappings.upsert(item);
        return item;
    }
    throw E2EEError::history();
}

}  // namespace nimbuscrate
