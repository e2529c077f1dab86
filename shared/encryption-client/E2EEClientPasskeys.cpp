// The passkey operations of the account API: list, unlock, add and remove.
#include <algorithm>
#include <string>

#include "shared/encryption-client/E2EEClient.h"
#include "shared/encryption-client/E2EEPasskeyRecords.h"
#include "shared/encryption-client/PasskeyError.h"
#include "shared/encryption/E2EEError.h"
#include "shared/session/ServiceEndpoints.h"

namespace nimbuscrate {

namespace {

constexpr double kListTimeoutSeconds = 8;
constexpr double kChangeTimeoutSeconds = 60;

bool contains(const std::vector<E2EEJSON>& items, const E2EEJSON& passkey) {
    return std::find(items.begin(), items.end(), passkey) != items.end();
}

bool isWebAppHost(const E2EEJSON& rpId) {
    const std::string* text = rpId.stringValue();
    return text && *text == webAppURL().host();
}

// Wipes a caller's secret buffer when the scope ends, however it ends.
struct WipeOnExit {
    SecretBytes& bytes;
    ~WipeOnExit() { cleanse(bytes.data(), bytes.size()); }
};

}  // namespace

void E2EEClient::verifyAccountReply(const std::string& sessionID, const E2EEJSON& earlier,
                                    const E2EEJSON& current) const {
    if (currentSessionID() != sessionID) throw E2EEError::sessionChanged();
    if (!(earlier.member("accountId") == current.member("accountId")) ||
        !(earlier.member("keyRecord").member("publicKey") == current.member("keyRecord").member("publicKey"))) {
        throw E2EEError::identity();
    }
}

E2EEClient::PasskeySnapshot E2EEClient::loadPasskeys(bool requireUnlocked, std::stop_token stop) {
    return loadPasskeys(requireUnlocked, stop, {}, nullptr);
}

E2EEClient::PasskeySnapshot E2EEClient::loadPasskeys(bool requireUnlocked, std::stop_token stop,
                                                     const std::string& login, const E2EEJSON* earlier) {
    PasskeySnapshot snapshot;
    snapshot.login = currentSessionID();
    snapshot.account = loadAccount(stop);
    if (earlier) verifyAccountReply(login, *earlier, snapshot.account);
    if (!snapshot.account.isObject() || snapshot.account.member("keyRecord").isNull()) throw E2EEError::setup();
    if (requireUnlocked) unlockedKeyRecord();

    const E2EEJSON reply =
        requestJSON("e2ee/account/passkeys", "GET", std::nullopt, {}, kListTimeoutSeconds, stop);
    if (currentSessionID() != snapshot.login) throw E2EEError::sessionChanged();
    if (!isPasskeyGeneration(reply.member("generation"))) throw E2EEError::invalid();
    snapshot.items = verifyPasskeySnapshot(snapshot.account, reply);
    snapshot.generation = *reply.member("generation").integerValue();
    return snapshot;
}

void E2EEClient::unlockWithPasskey(const E2EEJSON& passkey, SecretBytes& prf, const PasskeySnapshot& snapshot,
                                   std::stop_token stop) {
    const WipeOnExit wipe{prf};
    if (currentSessionID() != snapshot.login) throw E2EEError::sessionChanged();
    if (!contains(snapshot.items, passkey) || !isWebAppHost(passkey.member("rpId"))) throw PasskeyError::missing();

    const PasskeySnapshot fresh = loadPasskeys(false, stop, snapshot.login, &snapshot.account);
    verifyAccountReply(snapshot.login, snapshot.account, fresh.account);
    if (!contains(fresh.items, passkey)) throw PasskeyError::changed();
    const E2EEJSON keys = unwrapPasskeyEnvelope(fresh.account.member("keyRecord"), passkey, prf);
    installUnlockedKeys(keys, snapshot.login);
}

void E2EEClient::addPasskey(const E2EEJSON& record, SecretBytes& prf, const std::string& login,
                            const E2EEJSON& account, std::stop_token stop) {
    const WipeOnExit wipe{prf};
    if (currentSessionID() != login) throw E2EEError::sessionChanged();
    const PasskeySnapshot fresh = loadPasskeys(true, stop, login, &account);
    verifyAccountReply(login, account, fresh.account);
    if (fresh.items.size() >= kMaxPasskeys) throw PasskeyError::limit();
    if (!isWebAppHost(record.member("rpId"))) throw E2EEError::invalid();
    for (const E2EEJSON& item : fresh.items) {
        if (item.member("credentialId") == record.member("credentialId") || item.member("id") == record.member("id")) {
            throw PasskeyError::changed();
        }
    }

    const E2EEJSON keys = unlockedKeyRecord();
    const E2EEJSON stored = wrapForPasskey(keys, record, prf);
    // Only a passkey that opens again is registered.
    if (!(unwrapPasskeyEnvelope(fresh.account.member("keyRecord"), stored, prf) == keys)) throw E2EEError::invalid();
    const E2EEJSON intent = signedPasskeyAddIntent(keys, fresh.generation, stored);

    try {
        requestJSON("e2ee/account/passkeys", "POST", intent, {}, kChangeTimeoutSeconds, stop);
    } catch (...) {
        // The service may have stored the passkey before the reply was lost:
        // when a fresh list holds it exactly as sent, the add is done.
        const std::exception_ptr failure = std::current_exception();
        bool listed = false;
        try {
            const PasskeySnapshot reloaded = loadPasskeys(false, stop, login, &account);
            verifyAccountReply(login, account, reloaded.account);
            listed = contains(reloaded.items, stored);
        } catch (...) {
            listed = false;
        }
        if (!listed) std::rethrow_exception(failure);
        return;
    }
    if (currentSessionID() != login) throw E2EEError::sessionChanged();
}

void E2EEClient::removePasskey(const E2EEJSON& passkey, const std::string& login, const E2EEJSON& account,
                               std::stop_token stop) {
    if (currentSessionID() != login) throw E2EEError::sessionChanged();
    const PasskeySnapshot fresh = loadPasskeys(true, stop, login, &account);
    verifyAccountReply(login, account, fresh.account);
    if (!contains(fresh.items, passkey)) throw PasskeyError::changed();
    const E2EEJSON keys = unlockedKeyRecord();
    const E2EEJSON intent = signedPasskeyRemoveIntent(keys, fresh.generation, passkey);
    requestJSON("e2ee/account/passkeys/remove", "POST", intent, {}, kChangeTimeoutSeconds, stop);
    if (currentSessionID() != login) throw E2EEError::sessionChanged();
}

}  // namespace nimbuscrate
