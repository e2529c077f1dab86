#include "shared/session/KeychainStore.h"

#include <vector>

namespace nimbuscrate {

KeychainBackends KeychainBackends::system() {
    auto store = FileSecretStore::shared();
    return {store, std::make_shared<UnavailableSecretBackend>(), store};
}

KeychainBackends KeychainBackends::inDirectory(const std::filesystem::path& directory) {
    auto store = std::make_shared<FileSecretStore>(directory);
    return {store, std::make_shared<UnavailableSecretBackend>(), store};
}

KeychainStore::KeychainStore(std::string service, std::string account, KeychainBackends backends)
    : service_(std::move(service)), account_(std::move(account)), backends_(std::move(backends)) {}

const KeychainStore& KeychainStore::session() {
    static const KeychainStore store(kSessionService, kSessionAccount);
    return store;
}

SecretItemKey KeychainStore::baseQuery(Backend) const {
    // The backend itself stands for the data-protection flag of the query.
    return SecretItemKey{kAccessGroup, service_, account_};
}

SecretBackend& KeychainStore::backend(Backend which) const {
    return which == Backend::dataProtection ? *backends_.dataProtection : *backends_.legacy;
}

PlatformError KeychainStore::keychainError(SecretStatus status) {
    std::string message = secretStatusMessage(status);
    if (message.empty()) message = "Keychain error " + std::to_string(status);
    return PlatformError(kOSStatusErrorDomain, status, message);
}

std::optional<Bytes> KeychainStore::read() const {
    for (Backend which : kAllBackends) {
        SecretCopyResult result = backend(which).copy(baseQuery(which));
        if (result.status == kSecretMissingEntitlement || result.status == kSecretItemNotFound) continue;
        if (result.status != kSecretSuccess) throw keychainError(result.status);
        if (!result.data) throw keychainError(kSecretDecode);
        return std::move(result.data);
    }
    return std::nullopt;
}

void KeychainStore::save(const Bytes& bytes) const {
    std::vector<Backend> missing;
    for (Backend which : kAllBackends) {
        const SecretStatus status = backend(which).update(baseQuery(which), bytes);
        if (status == kSecretMissingEntitlement) continue;
        if (status == kSecretItemNotFound) {
            missing.push_back(which);
            continue;
        }
        if (status == kSecretSuccess) return;
        throw keychainError(status);
    }
    if (missing.empty()) throw keychainError(kSecretMissingEntitlement);

    for (Backend which : missing) {
        const SecretStatus added = backend(which).add(baseQuery(which), bytes);
        if (added == kSecretSuccess) return;
        if (added == kSecretMissingEntitlement) continue;
        if (added != kSecretDuplicateItem) throw keychainError(added);
        // The item appeared meanwhile: update it in this backend.
        const SecretStatus updated = backend(which).update(baseQuery(which), bytes);
        if (updated == kSecretSuccess) return;
        if (updated == kSecretMissingEntitlement) continue;
        throw keychainError(updated);
    }
    throw keychainError(kSecretMissingEntitlement);
}

void KeychainStore::deleteItem() const {
    if (service_ == kSessionService) {
        const std::optional<DesktopSession> stored = loadSession();
        if (stored && stored->sessionID) {
            KeychainStore(kKeysService, *stored->sessionID, backends_).deleteItem();
        }
    }
    for (Backend which : kAllBackends) {
        const SecretStatus status = backend(which).remove(baseQuery(which));
        if (status == kSecretSuccess || status == kSecretItemNotFound || status == kSecretMissingEntitlement) continue;
        throw keychainError(status);
    }
}

std::optional<DesktopSession> KeychainStore::loadSession() const {
    const std::optional<Bytes> bytes = read();
    if (!bytes) return std::nullopt;
    return DesktopSession::fromJSON(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
}

std::unique_ptr<SecretItemLock> KeychainStore::lock() const {
    return backends_.lockStore->lockItem(baseQuery(Backend::dataProtection));
}

}  // namespace nimbuscrate
