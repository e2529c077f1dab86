#include "shared/encryption-client/E2EEUploadJournal.h"

#include <optional>
#include <system_error>

#include "platform/core/AtomicFile.h"
#include "platform/core/Bytes.h"
#include "platform/core/DataPaths.h"
#include "shared/encryption/E2EEError.h"

namespace nimbuscrate {

std::filesystem::path E2EEUploadJournal::pendingRoot(const std::filesystem::path& stateDirectory) {
    return stateDirectory / kPendingFolderName;
}

std::string E2EEUploadJournal::operationKey(const E2EEJSON& identity) {
    return E2EECrypto::sha256Base64URL(bytesOf(identity.canonicalString()));
}

E2EEUploadJournal::E2EEUploadJournal(const std::filesystem::path& root, const E2EEJSON& identity)
    : E2EEUploadJournal(root, identity, operationKey(identity)) {}

E2EEUploadJournal::E2EEUploadJournal(const std::filesystem::path& root, const E2EEJSON& identity,
                                     const std::string& key)
    : directory(root / key), state(E2EEJSON::object({{"identity", identity}})), stateURL(directory / kStateFileName) {
    createPrivateDirectories(directory);
    const std::optional<Bytes> stored = readFileNoFollow(stateURL);
    if (!stored) return;
    E2EEJSON loaded = E2EEJSON::parse(stringOf(*stored));
    // Another identity under this key: a collision or a hand-edited file,
    // never the operation that was asked for.
    if (!(loaded.member("identity") == identity)) throw E2EEError::invalid();
    state = std::move(loaded);
}

E2EECrypto::Prepared E2EEUploadJournal::prepared(std::string_view step, const E2EEJSON& keys) const {
    const E2EEJSON& manifest = state.member(step).member("manifest");
    E2EECrypto::File file = E2EECrypto::openFile(keys, manifest);
    const std::string* nodeId = file.value.member("nodeId").stringValue();
    const std::string* revisionId = file.value.member("revisionId").stringValue();
    if (!nodeId || !revisionId) throw E2EEError::invalid();
    std::string opaqueName = *nodeId + "-" + *revisionId + ".nbenc";
    return E2EECrypto::Prepared{manifest, std::move(file), std::move(opaqueName)};
}

void E2EEUploadJournal::save() const {
    // The canonical text first: a state without one fails before the file is touched.
    writeFileAtomically(stateURL, bytesOf(state.canonicalString()), 0600);
}

void E2EEUploadJournal::reset() {
    const E2EEJSON identity = state.member("identity");
    std::error_code ignored;
    std::filesystem::remove(directory / kMainFileName, ignored);
    std::filesystem::remove(directory / kPreviewFileName, ignored);
    state = E2EEJSON::object({{"identity", identity}});
    save();
}

}  // namespace nimbuscrate
