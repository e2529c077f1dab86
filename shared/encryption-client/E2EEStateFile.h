#pragma once

#include <filesystem>

#include "shared/encryption/E2EEJSON.h"

namespace nimbuscrate {

// The per-account state files of the encrypted drive client: the receipts of
// every record the client has accepted, one file per account in the
// encryption state directory, so that a server that rolls a record back, drops
// it, or serves another body under a generation already seen is caught, also
// after a restart.
//
// Layout (the directory is created with mode 0700):
//
//   <directory>/<accountId>.json   canonical JSON text of the receipts object:
//                                  {"file:<node id>": {"generation": G, "hash": H},
//                                   "node:<node id>": {"generation": G, "hash": H}, ...}
//   <directory>/Pending/           the upload journal (not written here)
//
// A missing file counts as the empty object. A file is only ever replaced
// whole (temporary file, fsync, rename, folder fsync), and only after every
// check has passed: on any failure the file stays as it was.
//
// Each program keeps its own state directory inside its own container. Within
// a process, every read-modify-write of a state file runs under one
// process-wide mutex, so concurrent updates never lose a receipt; the mutex is
// held across the file's read and write and nothing else.
class E2EEStateFile {
public:
    // State files in directory (created when a file's location is needed).
    explicit E2EEStateFile(std::filesystem::path directory);

    // The default state directory of the running program: "Nimbuscrate/E2EE"
    // in its container.
    static std::filesystem::path defaultDirectory();

    const std::filesystem::path& directory() const { return directory_; }

    // The state file of the account: the directory (created with mode 0700
    // when missing) and the account id followed by ".json". accountId must be
    // an identifier string, else E2EEError::invalid (checked before anything
    // is created). File-system errors are PlatformError.
    std::filesystem::path url(const E2EEJSON& accountId) const;

    // The stored receipts ({} when there is no file). A file that cannot be
    // read (also a symbolic link or a non-regular file planted in its place)
    // is PlatformError; text that is not JSON is JSONReadError.
    E2EEJSON read(const E2EEJSON& accountId) const;

    // Merges the receipt of one record the client itself sent and the server
    // accepted: a node record (file false) or a committed file manifest (file
    // true), and for a manifest also the node record it embeds under "node".
    // E2EEError::history when the file holds the same generation with another
    // body; E2EEError::invalid for a malformed record or a stored value that
    // is not a receipts object; read errors as read().
    void update(const E2EEJSON& accountId, const E2EEJSON& record, bool file) const;

    // Accepts the receipts of a new snapshot: checks them against the stored
    // receipts (E2EELibrary::verifyReceipts: E2EEError::history for a record
    // that is older than, missing from, or another body at the generation of
    // what was accepted before) and then replaces the file with exactly them.
    void accept(const E2EEJSON& accountId, const E2EEJSON& receipts) const;

private:
    E2EEJSON readLocked(const std::filesystem::path& file) const;
    static void writeLocked(const std::filesystem::path& file, const E2EEJSON& receipts);

    std::filesystem::path directory_;
};

}  // namespace nimbuscrate
