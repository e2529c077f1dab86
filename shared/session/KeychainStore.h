#pragma once

#include <array>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/core/PlatformError.h"
#include "platform/secretstore/FileSecretStore.h"
#include "platform/secretstore/SecretBackend.h"
#include "shared/session/DesktopSession.h"
#include "shared/session/E2EESecretStore.h"

namespace nimbuscrate {

// Where a KeychainStore keeps its items: the two backends, tried in order,
// and the store that provides the cross-process per-item locks.
struct KeychainBackends {
    std::shared_ptr<SecretBackend> dataProtection;
    std::shared_ptr<SecretBackend> legacy;
    std::shared_ptr<FileSecretStore> lockStore;

    // The shared file store first; the legacy backend is not available on this platform.
    static KeychainBackends system();
    // A private file store in the given folder (tests, tools).
    static KeychainBackends inDirectory(const std::filesystem::path& directory);
};

// One generic-password item (service, account) in the shared access group.
// Every operation tries the data-protection backend, then the legacy one, so
// an item written by either is found and updated in place.
class KeychainStore final : public E2EESecretStore {
public:
    enum class Backend { dataProtection, legacy };
    static constexpr std::array<Backend, 2> kAllBackends = {Backend::dataProtection, Backend::legacy};

    static constexpr const char* kAccessGroup = "7KD3PQZ2XM.app.nimbuscrate.shared";
    static constexpr const char* kSessionService = "app.nimbuscrate.session";
    static constexpr const char* kSessionAccount = "default";
    static constexpr const char* kKeysService = "app.nimbuscrate.e2ee.keys";
    static constexpr const char* kIdentityService = "app.nimbuscrate.e2ee.identity";

    KeychainStore(std::string service, std::string account, KeychainBackends backends = KeychainBackends::system());

    // The process-wide session store (service "app.nimbuscrate.session", account "default").
    static const KeychainStore& session();

    const std::string& service() const { return service_; }
    const std::string& account() const { return account_; }

    // The attributes naming this store's item in one backend.
    SecretItemKey baseQuery(Backend backend) const;

    std::optional<Bytes> read() const override;
    void save(const Bytes& bytes) const override;
    // Deletes the item from both backends; a missing item is success. For the
    // session item, the unlocked key item of the stored session goes first.
    void deleteItem() const;
    // The stored session, or nothing when there is none. Throws the secret
    // store's error, or SessionDecodingError for bytes that are not a session.
    std::optional<DesktopSession> loadSession() const;

    // An exclusive lock on this item shared by both programs, for
    // read-compare-save sequences (token refresh, drive rediscovery).
    std::unique_ptr<SecretItemLock> lock() const;

    // The error of a failed status: domain "NSOSStatusErrorDomain", code =
    // status, description = the store's message, else "Keychain error <status>".
    static PlatformError keychainError(SecretStatus status);

private:
    SecretBackend& backend(Backend which) const;

    std::string service_;
    std::string account_;
    KeychainBackends backends_;
};

}  // namespace nimbuscrate
