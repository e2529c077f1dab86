#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "shared/encryption/E2EEJSON.h"
#include "shared/session/RemoteItem.h"

namespace nimbuscrate::E2EELibrary {

// The decrypted, verified picture of an encrypted account's library.
struct Snapshot {
    // One object per visible file or folder ("nodeId", "parentId", "kind",
    // "name", "generation", "driveId", "effectiveDeleted", "path", and for
    // files "size", "mime", "modified", "entry", "thumbnailEntry", ...),
    // ordered by node identifier.
    std::vector<E2EEJSON> items;
    // Receipt key ("node:" or "file:" and a node identifier) to
    // {"generation", "hash"}.
    E2EEJSON receipts;
};

// Builds the snapshot from the service's file and node listings, the account
// object and the unlocked key set. One bad record fails the whole snapshot:
// a malformed or inconsistent one with E2EEError::invalid, one that only a
// server withholding or rolling back records explains with
// E2EEError::history; errors of the record openers pass through unchanged.
//
// The records' checks (signatures, decryptions, receipt hashes, items), the
// tables that link the records and the items' placement run on up to threads
// threads, the calling thread among them; the result (and the error
// reported) is the same for any count.
Snapshot snapshot(const E2EEJSON& keys, const std::vector<E2EEJSON>& files, const std::vector<E2EEJSON>& nodes,
                  const E2EEJSON& account, std::size_t threads = 1);

// Rollback check of the receipts remembered from the last accepted snapshot
// against a new snapshot's receipts (E2EEError::history on a rollback).
void verifyReceipts(const E2EEJSON& stored, const E2EEJSON& current);

// The RemoteItem under which the File Provider side shows a snapshot item.
RemoteItem remoteItem(const E2EEJSON& item, const std::string& accountId);

// Adds the receipt of one signed body to receipts (an object), keeping the
// highest generation per key; E2EEError::history for the same generation
// with another body.
void checkHistory(const std::string& key, std::int64_t generation, const E2EEJSON& value, E2EEJSON& receipts);

}  // namespace nimbuscrate::E2EELibrary
