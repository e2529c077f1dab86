// The account record, the identity pin and the unlocked keys.
#include <string>

#include "shared/encryption-client/E2EEClient.h"
#include "shared/encryption/E2EECrypto.h"
#include "shared/encryption/E2EEError.h"

namespace nimbuscrate {

namespace {

std::string_view textOf(const Bytes& bytes) {
    return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

bool isKnownMode(const E2EEJSON& mode) {
    const std::string* text = mode.stringValue();
    return text && (*text == "legacy" || *text == "prepared" || *text == "required" || *text == "write_paused");
}

bool modeIs(const E2EEJSON& account, std::string_view mode) {
    const std::string* text = account.member("mode").stringValue();
    return text && *text == mode;
}

}  // namespace

E2EEJSON E2EEClient::loadAccount(std::stop_token stop) {
    const std::string sessionID = currentSessionID();
    {
        // A new session starts from nothing: nothing of another session's
        // account or library may serve it.
        std::lock_guard lock(mutex_);
        if (ownerSession_ != sessionID) {
            account_ = E2EEJSON::object();
            items_ = std::make_shared<const std::vector<E2EEJSON>>();
            loadedAt_ = -std::numeric_limits<double>::infinity();
            ownerSession_ = sessionID;
            ++invalidations_;
        }
    }

    const E2EEJSON reply = requestJSON("e2ee/account", "GET", std::nullopt, {}, kRequestTimeoutSeconds, stop);
    E2EECrypto::validatedIdentifier(reply.member("accountId"));
    const std::string* format = reply.member("format").stringValue();
    if (!reply.isObject() || !format || *format != kAccountFormat || !isKnownMode(reply.member("mode"))) {
        throw E2EEError::invalid();
    }

    // The first load of a session, and every load after one that failed,
    // announces the device to the service.
    E2EEJSON cachedAccountId;
    {
        std::lock_guard lock(mutex_);
        cachedAccountId = account_.member("accountId");
    }
    if (!(cachedAccountId == reply.member("accountId"))) {
        const E2EEJSON boot =
            requestJSON("mobile/account/bootstrap", "POST", std::nullopt, {}, kRequestTimeoutSeconds, stop);
        if (!(boot.member("userId") == reply.member("accountId"))) throw E2EEError::invalid();
    }
    if (currentSessionID() != sessionID) throw E2EEError::sessionChanged();

    const E2EEJSON& keyRecord = reply.member("keyRecord");
    if (!keyRecord.isNull() && !(keyRecord.member("accountId") == reply.member("accountId"))) {
        throw E2EEError::invalid();
    }

    // The identity pin: only an item the app wrote is compared, and only
    // its "required" mark is ever added here.
    const std::shared_ptr<E2EESecretStore> identityStore = readIdentity(reply);
    if (const std::optional<Bytes> bytes = identityStore->read()) {
        E2EEJSON stored = E2EEJSON::parse(textOf(*bytes));
        if (!(stored.member("publicKey") == keyRecord.member("publicKey"))) throw E2EEError::identity();
        const bool required = stored.member("required").boolValue();
        if (required && !modeIs(reply, "required") && !modeIs(reply, "write_paused")) throw E2EEError::identity();
        if (modeIs(reply, "required") && !required) {
            stored.setMember(true, "required");
            identityStore->save(bytesOf(stored.canonicalString()));
        }
    }

    std::lock_guard lock(mutex_);
    // A sign-in that came in meanwhile owns the cache now.
    if (ownerSession_ != sessionID) throw E2EEError::sessionChanged();
    account_ = reply;
    return reply;
}

std::shared_ptr<E2EESecretStore> E2EEClient::readIdentity(const E2EEJSON& account) const {
    const std::string accountId = E2EECrypto::validatedIdentifier(account.member("accountId"));
    return services_.credentials.secret(kIdentityService, accountId);
}

E2EEJSON E2EEClient::unlockedKeyRecord() const {
    const std::string sessionID = currentSessionID();
    std::string owner;
    E2EEJSON keyRecord;
    {
        std::lock_guard lock(mutex_);
        owner = ownerSession_;
        keyRecord = account_.member("keyRecord");
    }
    if (owner.empty() || owner != sessionID) throw E2EEError::locked();
    const std::optional<Bytes> bytes = services_.credentials.secret(kKeysService, owner)->read();
    if (!bytes) throw E2EEError::locked();
    E2EEJSON keys = E2EEJSON::parse(textOf(*bytes));
    E2EECrypto::verifyKeyRecord(keys, keyRecord);
    return keys;
}

E2EEJSON E2EEClient::ensureWritable(std::stop_token stop) {
    const E2EEJSON account = loadAccount(stop);
    if (!modeIs(account, "required")) throw E2EEError::paused();
    return unlockedKeyRecord();
}

bool E2EEClient::isEncryptionRequired(std::stop_token stop) {
    const E2EEJSON account = loadAccount(stop);
    if (account.member("onboardingRequired").boolValue() && account.member("keyRecord").isNull()) {
        throw E2EEError::setup();
    }
    if (modeIs(account, "write_paused")) throw E2EEError::paused();
    return modeIs(account, "required");
}

E2EEJSON E2EEClient::cachedAccount() const {
    std::lock_guard lock(mutex_);
    return account_;
}

}  // namespace nimbuscrate
