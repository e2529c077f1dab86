#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "shared/encryption/E2EECrypto.h"
#include "shared/encryption/E2EEJSON.h"

namespace nimbuscrate {

// The durable record of one resumable encrypted operation (the commit of a
// file revision, or a thumbnail made on the device): a folder named after the
// operation's identity, holding its progress and the staged ciphertext it
// uploads. Because the folder name comes from the identity alone, a later
// call of the same operation, in this process or after a restart, finds the
// same journal and goes on from its last saved state.
//
// Layout, under the journal root ("Pending" in the program's encryption
// state folder, see pendingRoot):
//
//   <root>/<operation key>/            mode 0700
//       operation.json                 canonical JSON text of `state` (UTF-8)
//       main.nbenc                     the staged main revision (the commit writes it)
//       preview.nbenc                  the staged sealed preview
//       <UUID>.part                    one part being uploaded (the upload's own)
//
// The operation key is the unpadded base64url SHA-256 of the UTF-8 canonical
// text of the identity. The state is an object:
//
//   {"identity": {...},               the identity the journal was opened with
//    "sourceHash": "...",             written by the commit
//    "main": {"manifest", "reservation", "completing", "entry"},
//    "preview": {same members},
//    "r2Stored": true, "done": true}
//
// A step counts as uploaded when its "entry" is present and not null;
// "r2Stored" and "done" count only as the bool true.
//
// One object serves one operation call on one thread; it holds no open file
// and no lock. Two calls of the same operation would share the folder: the
// commit keeps that from happening. Nothing here removes the folder or
// "operation.json"; a finished operation leaves "done": true behind.
class E2EEUploadJournal final {
public:
    static constexpr const char* kStateFileName = "operation.json";
    static constexpr const char* kMainFileName = "main.nbenc";
    static constexpr const char* kPreviewFileName = "preview.nbenc";
    static constexpr const char* kPendingFolderName = "Pending";

    // Opens the operation's journal under root: creates its folder (and the
    // folders above it) with mode 0700, an existing one being accepted, and
    // loads "operation.json" when it exists, else starts {"identity":
    // identity} without writing anything. An identity without a canonical
    // text: E2EEError::invalid. A folder that cannot be made, a state file
    // that cannot be read (PlatformError) or is not JSON (JSONReadError):
    // that error, the folder left as it is. A state file whose "identity"
    // is not the given one: E2EEError::invalid.
    E2EEUploadJournal(const std::filesystem::path& root, const E2EEJSON& identity);

    // The journal root of a program's encryption state folder (the folder of
    // the account state files): its "Pending" folder.
    static std::filesystem::path pendingRoot(const std::filesystem::path& stateDirectory);
    // The folder name of an identity (E2EEError::invalid without a canonical text).
    static std::string operationKey(const E2EEJSON& identity);

    // The operation's folder: the root plus the operation key.
    const std::filesystem::path directory;
    // The operation's progress, always an object; read and changed in place
    // by the journal's users, durable only after save() or reset().
    E2EEJSON state;
    // directory / "operation.json".
    const std::filesystem::path stateURL;

    // The prepared revision a step ("main" or "preview") recorded: its
    // "manifest" opened with the unlocked keys (E2EECrypto::openFile's
    // errors; a step or manifest that is missing opens as null and fails
    // there), whose value must carry string "nodeId" and "revisionId" (else
    // E2EEError::invalid); the opaque name is "<nodeId>-<revisionId>.nbenc".
    E2EECrypto::Prepared prepared(std::string_view step, const E2EEJSON& keys) const;

    // Replaces "operation.json" with the canonical text of `state`: written
    // to a temporary file, flushed, renamed into place and the folder
    // flushed, so a crash leaves the old or the new text. Saving the same
    // state twice writes the same bytes. A state without a canonical text
    // (E2EEError::invalid) or a failed write (PlatformError) throws and
    // leaves the file as it was; `state` keeps the change.
    void save() const;

    // Forgets the progress: removes the staged "main.nbenc" and
    // "preview.nbenc" (a missing one, or a failed removal, is no error),
    // sets `state` to {"identity": the stored identity} and saves it. A
    // failed save throws after `state` was reset in memory.
    void reset();

private:
    E2EEUploadJournal(const std::filesystem::path& root, const E2EEJSON& identity, const std::string& key);
};

}  // namespace nimbuscrate
