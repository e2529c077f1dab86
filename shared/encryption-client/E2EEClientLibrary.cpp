// The encrypted library: paged listings, the snapshot and its state file,
// and the listing of encrypted children.
#include <set>
#include <utility>
#include <string>

#include "shared/encryption-client/E2EEClient.h"
#include "platform/core/CancellationError.h"
#include "shared/encryption/E2EEError.h"
#include "shared/encryption/E2EELibrary.h"

namespace nimbuscrate {

std::string E2EEClient::encodedCursor(std::string_view cursor) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(cursor.size() * 3);
    for (const char c : cursor) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9')) {
            encoded += c;
        } else {
            encoded += '%';
            encoded += kHex[byte >> 4];
            encoded += kHex[byte & 0x0f];
        }
    }
    return encoded;
}

std::vector<E2EEJSON> E2EEClient::fetchAllPages(std::string_view collection, std::stop_token stop) const {
    std::vector<E2EEJSON> records;
    std::set<std::string> seen;
    std::string cursor;
    for (;;) {
        const std::string path = "e2ee/" + std::string(collection) + "?after=" + encodedCursor(cursor);
        const E2EEJSON reply = requestJSON(path, "GET", std::nullopt, {}, kRequestTimeoutSeconds, stop);
        const E2EEJSON::Array* items = reply.member("items").arrayValue();
        if (!items || items->size() > kMaxPageRecords) throw E2EEError::invalid();
        records.insert(records.end(), items->begin(), items->end());
        const std::string* next = reply.member("next").stringValue();
        if (!next) throw E2EEError::invalid();
        // A server that repeats a cursor would keep the listing going forever.
        if (!next->empty() && !seen.insert(*next).second) throw E2EEError::invalid();
        if (records.size() > kMaxListingRecords) throw E2EEError::invalid();
        if (next->empty()) return records;
        cursor = *next;
    }
}

std::filesystem::path E2EEClient::stateFileURL() const {
    return stateFile_.url(cachedAccount().member("accountId"));
}

void E2EEClient::updateStateFile(const E2EEJSON& record, bool file) {
    {
        // Counted before the file changes: a refresh whose check fails
        // after this point learns that its pages may predate the record.
        std::lock_guard lock(mutex_);
        ++stateFileWrites_;
    }
    stateFile_.update(cachedAccount().member("accountId"), record, file);
    std::lock_guard lock(mutex_);
    loadedAt_ = -std::numeric_limits<double>::infinity();
    ++invalidations_;
}

void E2EEClient::refreshSnapshot(bool force, std::stop_token stop) {
    loadAccount(stop);

    const std::string sessionID = currentSessionID();
    E2EEJSON account;
    std::uint64_t invalidations = 0;
    {
        std::lock_guard lock(mutex_);
        if (ownerSession_ != sessionID) throw E2EEError::sessionChanged();
        if (!force && services_.clock.monotonicSeconds() - loadedAt_ < kRefreshIntervalSeconds) return;
        account = account_;
        invalidations = invalidations_;
    }
    const E2EEJSON keys = unlockedKeyRecord();
    E2EELibrary::Snapshot snapshot;
    for (int attempt = 1;; ++attempt) {
        std::uint64_t writes = 0;
        {
            std::lock_guard lock(mutex_);
            writes = stateFileWrites_;
        }
        const std::vector<E2EEJSON> files = fetchAllPages("files", stop);
        const std::vector<E2EEJSON> nodes = fetchAllPages("nodes", stop);
        throwIfCancelled(stop);

        // The build opens and verifies every record; it runs on this thread
        // (and its helpers) with the mutex free, so other calls go on
        // meanwhile.
        snapshot = E2EELibrary::snapshot(keys, files, nodes, account, services_.snapshotThreads);
        if (currentSessionID() != sessionID) throw E2EEError::sessionChanged();

        // Rollback check against every receipt accepted before, then the
        // file holds exactly this snapshot's receipts.
        {
            std::lock_guard lock(mutex_);
            ++stateFileWrites_;
        }
        try {
            stateFile_.accept(account.member("accountId"), snapshot.receipts);
            break;
        } catch (const E2EEError& error) {
            // Pages read before another call of this client recorded a newer
            // record (its own write, or a refresh that read later pages) look
            // like a rollback without being one: they are read again. A
            // service that does roll back fails the same way every time.
            std::lock_guard lock(mutex_);
            const bool othersWrote = stateFileWrites_ != writes + 1;
            if (error.kind() != E2EEError::Case::history || !othersWrote || attempt == kMaxRefreshAttempts) throw;
        }
    }

    auto items = std::make_shared<const std::vector<E2EEJSON>>(std::move(snapshot.items));
    std::lock_guard lock(mutex_);
    if (ownerSession_ != sessionID) throw E2EEError::sessionChanged();
    items_ = std::move(items);
    // A change recorded while this refresh ran may be missing from it: the
    // next refresh reloads then.
    if (invalidations_ == invalidations) loadedAt_ = services_.clock.monotonicSeconds();
}

E2EEClient::LookupView E2EEClient::lookupView() const {
    const std::optional<DesktopSession> session = services_.credentials.session();
    LookupView view;
    if (session) view.drive = session->drive;
    std::lock_guard lock(mutex_);
    view.account = account_;
    view.items = items_;
    return view;
}

DriveSelection E2EEClient::verifiedDrive() const { return lookupView().lookup().verifiedDrive(); }

E2EEJSON E2EEClient::parseEncryptedIdentifier(const RemoteItem& item) const {
    return lookupView().lookup().parseEncryptedIdentifier(item);
}

E2EEJSON E2EEClient::nodeRecord(const RemoteItem& item) const { return lookupView().lookup().nodeRecord(item); }

void E2EEClient::ensureNameAvailable(std::string_view name, const E2EEJSON& parent, const E2EEJSON& excluding) const {
    lookupView().lookup().ensureNameAvailable(name, parent, excluding);
}

std::vector<RemoteItem> E2EEClient::listEncryptedChildren(const RemoteItem& parent, std::stop_token stop) {
    const E2EEJSON account = loadAccount(stop);
    if (account.member("keyRecord").isNull()) {
        // Encryption is not set up: nothing is encrypted yet, unless the
        // account cannot be used before it is.
        const std::string* mode = account.member("mode").stringValue();
        if (account.member("onboardingRequired").boolValue() ||
            (mode && (*mode == "required" || *mode == "write_paused"))) {
            throw E2EEError::setup();
        }
        return {};
    }
    refreshSnapshot(false, stop);

    const LookupView view = lookupView();
    const std::string* accountId = view.account.member("accountId").stringValue();
    if (!accountId) throw E2EEError::invalid();
    const E2EENodeLookup lookup = view.lookup();
    const DriveSelection drive = lookup.verifiedDrive();
    const E2EEJSON key = lookup.parseEncryptedIdentifier(parent);

    std::vector<RemoteItem> children;
    for (const E2EEJSON& item : *view.items) {
        if (!item.isObject()) continue;
        const std::string* driveId = item.member("driveId").stringValue();
        if (!driveId || *driveId != drive.id) continue;
        const E2EEJSON& parentId = item.member("parentId");
        if (parentId.isNull() || !(parentId == key)) continue;
        if (item.member("effectiveDeleted").boolValue()) continue;
        children.push_back(E2EELibrary::remoteItem(item, *accountId));
    }
    return children;
}

}  // namespace nimbuscrate
