#pragma once

#include "shared/encryption/E2EEJSON.h"

namespace nimbuscrate {

// Merges the receipt of one signed record (a file manifest when isFile, else
// a node record) into the receipts object of the account's state file:
// "file:" or "node:" and the node id, {"generation", "hash"} with the hash of
// the canonical text of the record's "value". Receipts only move forward: a
// lower generation leaves the stored receipt as it is, the same generation
// with another hash is E2EEError::history. Malformed input, a receipts value
// that is not an object included, is E2EEError::invalid. receipts changes
// only on success.
void recordReceipt(const E2EEJSON& record, bool isFile, E2EEJSON& receipts);

}  // namespace nimbuscrate
