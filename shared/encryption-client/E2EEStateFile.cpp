#include "shared/encryption-client/E2EEStateFile.h"

#include <mutex>

#include "platform/core/AtomicFile.h"
#include "platform/core/Bytes.h"
#include "platform/core/DataPaths.h"
#include "shared/encryption/E2EECrypto.h"
#include "shared/encryption/E2EEError.h"
#include "shared/encryption/E2EELibrary.h"
#include "shared/encryption/RecordReceipt.h"

namespace nimbuscrate {

namespace {

// Serialises every read-modify-write of a state file in this process. Taken
// by update() and accept() around their read and write; nothing else is
// called under it.
std::mutex& stateFileMutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace

E2EEStateFile::E2EEStateFile(std::filesystem::path directory) : directory_(std::move(directory)) {}

std::filesystem::path E2EEStateFile::defaultDirectory() { return containerDirectory() / "Nimbuscrate" / "E2EE"; }

std::filesystem::path E2EEStateFile::url(const E2EEJSON& accountId) const {
    // The id becomes a file name: it is checked before anything is created.
    const std::string id = E2EECrypto::validatedIdentifier(accountId);
    createPrivateDirectories(directory_);
    return directory_ / (id + ".json");
}

E2EEJSON E2EEStateFile::read(const E2EEJSON& accountId) const {
    const std::filesystem::path file = url(accountId);
    std::lock_guard lock(stateFileMutex());
    return readLocked(file);
}

void E2EEStateFile::update(const E2EEJSON& accountId, const E2EEJSON& record, bool file) const {
    const std::filesystem::path path = url(accountId);
    std::lock_guard lock(stateFileMutex());
    E2EEJSON state = readLocked(path);
    // recordReceipt changes state only on success, and nothing is written
    // until both receipts are in.
    recordReceipt(record, file, state);
    const E2EEJSON& node = record.member("value").member("node");
    if (file && !node.isNull()) recordReceipt(node, false, state);
    writeLocked(path, state);
}

void E2EEStateFile::accept(const E2EEJSON& accountId, const E2EEJSON& receipts) const {
    if (!receipts.isObject()) throw E2EEError::invalid();
    const std::filesystem::path path = url(accountId);
    std::lock_guard lock(stateFileMutex());
    E2EELibrary::verifyReceipts(readLocked(path), receipts);
    writeLocked(path, receipts);
}

E2EEJSON E2EEStateFile::readLocked(const std::filesystem::path& file) const {
    const std::optional<Bytes> bytes = readFileNoFollow(file);
    if (!bytes) return E2EEJSON::object();
    return E2EEJSON::parse(stringOf(*bytes));
}

void E2EEStateFile::writeLocked(const std::filesystem::path& file, const E2EEJSON& receipts) {
    // The canonical text first: a value without one fails before the file is touched.
    writeFileAtomically(file, bytesOf(receipts.canonicalString()), 0600);
}

}  // namespace nimbuscrate
