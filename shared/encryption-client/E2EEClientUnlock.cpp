// The app's encryption state, the passphrase and recovery-key unlock, and
// the installation of an unlocked key set.
#include <future>
#include <limits>
#include <optional>
#include <string>

#include "platform/core/CancellationError.h"
#include "shared/encryption-client/E2EEAccountKeys.h"
#include "shared/encryption-client/E2EEClient.h"
#include "shared/encryption/E2EECrypto.h"
#include "shared/encryption/E2EEError.h"

namespace nimbuscrate {

namespace {

bool modeIs(const E2EEJSON& account, std::string_view mode) {
    const std::string* text = account.member("mode").stringValue();
    return text && *text == mode;
}

bool hasKeyRecord(const E2EEJSON& account) { return account.isObject() && !account.member("keyRecord").isNull(); }

}  // namespace

E2EEClient::EncryptionState E2EEClient::encryptionState(std::stop_token stop) {
    const E2EEJSON account = loadAccount(stop);
    EncryptionState state;
    state.enabled = account.isObject() &&
                    (account.member("onboardingRequired").boolValue() || modeIs(account, "required") ||
                     modeIs(account, "write_paused") || hasKeyRecord(account));
    try {
        unlockedKeyRecord();
        state.unlocked = true;
    } catch (...) {
        // A missing, unreadable or foreign key item: simply locked.
        state.unlocked = false;
    }
    state.needsSetup = !hasKeyRecord(account);
    state.writePaused = modeIs(account, "write_paused");
    return state;
}

void E2EEClient::unlockEncryption(const std::string& secret, bool useRecoveryKey, std::stop_token stop) {
    const std::string sessionID = currentSessionID();
    const E2EEJSON account = loadAccount(stop, true);
    if (!hasKeyRecord(account)) throw E2EEError::setup();
    const E2EEJSON keyRecord = account.member("keyRecord");

    // The derivation takes 64 MiB and about a second: it runs on a thread of
    // its own, and this thread holds no lock while it waits.
    std::future<E2EEJSON> derivation = std::async(std::launch::async, [&keyRecord, &secret, useRecoveryKey] {
        return E2EECrypto::unlockAccountKeys(keyRecord, secret, useRecoveryKey);
    });
    const E2EEJSON keys = derivation.get();
    throwIfCancelled(stop);
    installUnlockedKeys(keys, sessionID);
}

void E2EEClient::installUnlockedKeys(const E2EEJSON& keys, const std::string& sessionID) {
    if (currentSessionID() != sessionID) throw E2EEError::sessionChanged();
    E2EEJSON account;
    {
        std::lock_guard lock(mutex_);
        // The cache was reset for a session that came and went meanwhile.
        if (ownerSession_ != sessionID) throw E2EEError::sessionChanged();
        account = account_;
    }
    E2EECrypto::verifyKeyRecord(keys, account.member("keyRecord"));

    // The key set matches the service's key record, so the user holds it:
    // the identity is pinned to its public key (a reset of the account's
    // keys moves the pin here, and only here). Once the account required
    // encryption, the pin keeps saying so.
    const std::shared_ptr<E2EESecretStore> identityStore = readIdentity(account);
    bool required = modeIs(account, "required") || modeIs(account, "write_paused");
    if (const std::optional<Bytes> stored = identityStore->read()) {
        try {
            required = required || E2EEJSON::parse(stringOf(*stored)).member("required").boolValue();
        } catch (const std::exception&) {
            // An unreadable item is replaced below.
        }
    }
    const E2EEJSON identity = E2EEJSON::object({{"publicKey", keys.member("publicKey")}, {"required", required}});
    identityStore->save(bytesOf(identity.canonicalString()));

    // The store takes plain bytes; they are wiped once it has them.
    std::string text = keys.canonicalString();
    Bytes keyBytes = bytesOf(text);
    cleanse(reinterpret_cast<std::uint8_t*>(text.data()), text.size());
    struct Wipe {
        Bytes& bytes;
        ~Wipe() { cleanse(bytes.data(), bytes.size()); }
    } wipe{keyBytes};
    services_.credentials.secret(kKeysService, sessionID)->save(keyBytes);

    std::lock_guard lock(mutex_);
    loadedAt_ = -std::numeric_limits<double>::infinity();
    ++invalidations_;
}

}  // namespace nimbuscrate
