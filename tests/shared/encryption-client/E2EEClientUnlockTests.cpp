// The app's encryption state and the passphrase and recovery-key unlock of
// the encryption client, against the local service's account API.
#include <gtest/gtest.h>

#include "tests/shared/encryption-client/UnlockClientFixture.h"

namespace nimbuscrate {
namespace {

using Case = E2EEError::Case;
using testing::e2eeErrorOf;

class E2EEClientUnlock : public testing::UnlockClientFixture {
protected:
    std::string passphrase(const char* which = "first") const {
        return *keySet(which).member("passphrase").stringValue();
    }
    std::string recoveryKey(const char* which = "first") const {
        return *keySet(which).member("recoveryKey").stringValue();
    }
    std::string identityText(const char* which, bool required) const {
        return E2EEJSON::object({{"publicKey", keySet(which).member("keys").member("publicKey")}, {"required", required}})
            .canonicalString();
    }
    std::vector<Write> unlockWrites() const {
        return {{E2EEClient::kIdentityService, accountId()}, {E2EEClient::kKeysService, *session.sessionID}};
    }
    void forgetItems() {
        identityItem()->deleteItem();
        keyItem()->deleteItem();
        clearWrites();
    }
};

TEST_F(E2EEClientUnlock, EncryptionStateReadsTheAccountAndTheKeyItem) {
    using State = E2EEClient::EncryptionState;
    const auto account = [&](const std::string& mode, const E2EEJSON& onboarding, bool keyRecord) {
        E2EEJSON value = accountOf("first", mode);
        value.setMember(onboarding, "onboardingRequired");
        if (!keyRecord) value.setMember(nullptr, "keyRecord");
        return value;
    };
    const struct {
        std::string name;
        E2EEJSON account;
        bool keysStored;
        State expected;
    } rows[] = {
        {"write_paused with keys stored", account("write_paused", false, true), true, {true, true, false, true}},
        {"required, locked", account("required", false, true), false, {true, false, false, false}},
        {"onboarding without a key record", account("legacy", true, false), false, {true, false, true, false}},
        {"key record null, mode required", account("required", false, false), false, {true, false, true, false}},
        {"legacy without a key record", account("legacy", false, false), false, {false, false, true, false}},
        {"prepared without a key record", account("prepared", nullptr, false), false, {false, false, true, false}},
        {"onboarding as the text true", account("legacy", "true", false), false, {false, false, true, false}},
        {"onboarding as the number 1", account("legacy", 1, false), false, {false, false, true, false}},
        {"legacy with a key record", account("legacy", false, true), false, {true, false, false, false}},
        {"keys of the other key set stored", account("required", false, true), false, {true, false, false, false}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        keyItem()->deleteItem();
        if (row.keysStored) storeKeys("first");
        if (row.name.starts_with("keys of the other")) storeKeys("second");
        serveAccount(row.account);
        EXPECT_EQ(client->encryptionState(), row.expected);
    }
    {
        SCOPED_TRACE("keys stored for another session");
        storeKeys("first");
        session = signIn();
        serveAccount(account("required", false, true));
        EXPECT_FALSE(client->encryptionState().unlocked);
    }
}

TEST_F(E2EEClientUnlock, UnlockWritesTheIdentityAndThenTheKeyItem) {
    const struct {
        std::string name;
        std::string mode;
        std::string secret;
        bool recovery;
        bool required;
    } rows[] = {
        {"passphrase", "required", passphrase(), false, true},
        {"passphrase typed with full-width letters and a ligature", "required",
         *keySet("first").member("passphraseCompatibilityForm").stringValue(), false, true},
        {"recovery key in spaces and a newline", "write_paused", "  " + recoveryKey() + " \n", true, true},
        {"recovery key, encryption not yet required", "prepared", recoveryKey(), true, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        forgetItems();
        serveAccount(accountOf("first", row.mode));
        client->unlockEncryption(row.secret, row.recovery);
        EXPECT_EQ(writes(), unlockWrites());
        EXPECT_EQ(read(identityItem()), identityText("first", row.required));
        EXPECT_EQ(read(keyItem()), keySet("first").member("keys").canonicalString());
        EXPECT_EQ(client->unlockedKeyRecord(), keySet("first").member("keys"));
        EXPECT_TRUE(client->encryptionState().unlocked);
    }
}

TEST_F(E2EEClientUnlock, BadSecretsAndRecordsWriteNothing) {
    const E2EEJSON good = accountOf("first");
    const auto withKeyRecordMember = [&](std::string_view name, const E2EEJSON& value) {
        E2EEJSON record = good.member("keyRecord");
        record.setMember(value, name);
        E2EEJSON account = good;
        account.setMember(record, "keyRecord");
        return account;
    };
    E2EEJSON tampered = good.member("keyRecord").member("passwordEnvelope");
    std::string ciphertext = *tampered.member("ciphertext").stringValue();
    ciphertext[ciphertext.size() - 3] = ciphertext[ciphertext.size() - 3] == 'A' ? 'B' : 'A';
    tampered.setMember(ciphertext, "ciphertext");
    E2EEJSON extraKdf = good.member("keyRecord").member("kdf");
    extraKdf.setMember("v", "version");
    E2EEJSON otherKdf = good.member("keyRecord").member("kdf");
    otherKdf.setMember(1, "parallelism");

    const struct {
        std::string name;
        E2EEJSON account;
        std::string secret;
        bool recovery;
    } rows[] = {
        {"wrong passphrase", good, passphrase("second"), false},
        {"wrong recovery key", good, recoveryKey("second"), true},
        {"tampered envelope", withKeyRecordMember("passwordEnvelope", tampered), passphrase(), false},
        {"kdf with an extra member", withKeyRecordMember("kdf", extraKdf), passphrase(), false},
        {"kdf with another parallelism", withKeyRecordMember("kdf", otherKdf), passphrase(), false},
        {"passphrase of 7 units", good, "abcdefg", false},
        {"passphrase of 1025 units", good, std::string(1025, 'p'), false},
        {"recovery key with padding", good, recoveryKey() + "=", true},
        {"recovery key with a plus", good, "+" + recoveryKey().substr(1), true},
        {"recovery key with a slash", good, recoveryKey().substr(0, 42) + "/", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        forgetItems();
        serveAccount(row.account);
        EXPECT_EQ(e2eeErrorOf([&] { client->unlockEncryption(row.secret, row.recovery); }), Case::invalid);
        EXPECT_TRUE(writes().empty());
        EXPECT_FALSE(identityItem()->read());
        EXPECT_FALSE(keyItem()->read());
    }
}

TEST_F(E2EEClientUnlock, UnlockNeedsASessionAndAKeyRecord) {
    E2EEJSON noKeys = accountOf("first", "legacy");
    noKeys.setMember(nullptr, "keyRecord");
    serveAccount(noKeys);
    EXPECT_EQ(e2eeErrorOf([&] { client->unlockEncryption(passphrase(), false); }), Case::setup);

    serveAccount(accountOf("first"));
    store.deleteItem();
    const std::size_t before = accountRequests().size();
    EXPECT_EQ(testing::desktopErrorOf([&] { client->unlockEncryption(passphrase(), false); }),
              DesktopError::notAuthenticated());
    EXPECT_EQ(accountRequests().size(), before);
    EXPECT_TRUE(writes().empty());
}

TEST_F(E2EEClientUnlock, ASessionChangedDuringTheDerivationWritesNothing) {
    serveAccount(accountOf("first"));
    // The account load reads the identity item last; a new sign-in right
    // after it lands while the key is derived.
    onNextRead(E2EEClient::kIdentityService, [this] { signIn(); });
    EXPECT_EQ(e2eeErrorOf([&] { client->unlockEncryption(passphrase(), false); }), Case::sessionChanged);
    EXPECT_TRUE(writes().empty());
    EXPECT_FALSE(identityItem()->read());
    EXPECT_FALSE(keyItem()->read());
}

TEST_F(E2EEClientUnlock, AnUnlockWithTheNewSecretMovesTheIdentityAfterAKeyReset) {
    // This device pinned the first key set; the service's keys were reset.
    pinIdentity("first", true);
    storeKeys("first");
    serveAccount(accountOf("second"));
    EXPECT_EQ(e2eeErrorOf([&] { client->loadAccount(); }), Case::identity);
    clearWrites();

    {
        SCOPED_TRACE("the old passphrase and a wrong one change nothing");
        EXPECT_EQ(e2eeErrorOf([&] { client->unlockEncryption(passphrase("first"), false); }), Case::invalid);
        EXPECT_EQ(e2eeErrorOf([&] { client->unlockEncryption(passphrase("second") + "x", false); }), Case::invalid);
        EXPECT_TRUE(writes().empty());
        EXPECT_EQ(read(identityItem()), identityText("first", true));
        EXPECT_EQ(e2eeErrorOf([&] { client->loadAccount(); }), Case::identity);
    }
    {
        SCOPED_TRACE("a mode that no longer requires encryption stays refused");
        serveAccount(accountOf("second", "legacy"));
        EXPECT_EQ(e2eeErrorOf([&] { client->unlockEncryption(passphrase("second"), false); }), Case::identity);
        EXPECT_TRUE(writes().empty());
    }
    {
        SCOPED_TRACE("the new passphrase re-pins, then installs");
        serveAccount(accountOf("second"));
        client->unlockEncryption(passphrase("second"), false);
        EXPECT_EQ(writes(), unlockWrites());
        EXPECT_EQ(read(identityItem()), identityText("second", true));
        EXPECT_EQ(client->loadAccount(), accountOf("second"));
        EXPECT_EQ(client->unlockedKeyRecord(), keySet("second").member("keys"));
    }
}

TEST_F(E2EEClientUnlock, NoSecretBufferReachesTheHeapUnwiped) {
    E2EEJSON tampered = accountOf("first");
    E2EEJSON record = tampered.member("keyRecord");
    record.setMember(record.member("passwordEnvelope"), "recoveryEnvelope");
    tampered.setMember(record, "keyRecord");
    const struct {
        std::string name;
        E2EEJSON account;
        std::string secret;
        bool recovery;
        std::optional<Case> error;
    } rows[] = {
        {"passphrase", accountOf("first"), passphrase(), false, std::nullopt},
        {"recovery key", accountOf("first"), recoveryKey(), true, std::nullopt},
        {"wrong passphrase", accountOf("first"), passphrase("second"), false, Case::invalid},
        {"tampered envelope", tampered, recoveryKey(), true, Case::invalid},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        forgetItems();
        serveAccount(row.account);
        testing::SecretReleaseWatch watch;
        if (row.error) {
            EXPECT_EQ(e2eeErrorOf([&] { client->unlockEncryption(row.secret, row.recovery); }), row.error);
        } else {
            client->unlockEncryption(row.secret, row.recovery);
        }
        EXPECT_GE(watch.released(), 2u);
        EXPECT_EQ(watch.dirty(), 0u);
    }
}

}  // namespace
}  // namespace nimbuscrate
