// Unlocking the key set with the passphrase or the recovery key, against
// key records and Argon2id keys made by an independent writer.
#include <gtest/gtest.h>

#include <string>

#include "platform/core/UnicodeText.h"
#include "shared/encryption-client/E2EEAccountKeys.h"
#include "shared/encryption/E2EECrypto.h"
#include "shared/encryption/E2EEError.h"
#include "shared/encryption/JSONReadError.h"
#include "tests/shared/encryption-client/UnlockFixtures.h"

namespace nimbuscrate {
namespace {

using testing::fixtureBytes;
using testing::unlockFixtures;

const E2EEJSON& first() { return unlockFixtures().member("first"); }
const E2EEJSON& keyRecord() { return first().member("keyRecord"); }
std::string passphrase() { return *first().member("passphrase").stringValue(); }
std::string recoveryKey() { return *first().member("recoveryKey").stringValue(); }

bool refusedAsInvalid(const std::function<void()>& call) {
    try {
        call();
    } catch (const E2EEError& error) {
        return error.kind() == E2EEError::Case::invalid;
    }
    return false;
}

E2EEJSON withMember(E2EEJSON value, std::string_view name, const E2EEJSON& member) {
    value.setMember(member, name);
    return value;
}

TEST(PassphraseKey, MatchesArgon2idOfTheNormalisedPassphrase) {
    for (const E2EEJSON& row : *unlockFixtures().member("passphraseKeys").arrayValue()) {
        const std::string text = *row.member("passphrase").stringValue();
        SCOPED_TRACE(std::to_string(*utf16Length(text)) + " UTF-16 units");
        EXPECT_EQ(E2EECrypto::derivePassphraseKey(text, row.member("kdf")), fixtureBytes(row.member("key")));
    }
    // The passphrase of the key set, typed with a ligature and full-width letters.
    EXPECT_EQ(E2EECrypto::derivePassphraseKey(*first().member("passphraseCompatibilityForm").stringValue(),
                                              keyRecord().member("kdf")),
              fixtureBytes(first().member("passphraseKey")));
}

TEST(PassphraseKey, RefusesOtherParametersAndLengthsBeforeHashing) {
    const E2EEJSON kdf = keyRecord().member("kdf");
    const E2EEJSON salt15 = E2EECrypto::base64URLEncode(Bytes(15, 7));
    const E2EEJSON salt17 = E2EECrypto::base64URLEncode(Bytes(17, 7));
    const struct {
        std::string name;
        std::string passphrase;
        E2EEJSON kdf;
    } rows[] = {
        {"7 units", "1234567", kdf},
        {"7 units with a character outside the BMP", "\U0001F600\U0001F600\U0001F600x", kdf},
        {"1025 units", std::string(1025, 'a'), kdf},
        {"1025 units, 1023 of them ASCII", std::string(1023, 'a') + "\U0001F600", kdf},
        {"not UTF-8", "abcdefgh\xff", kdf},
        {"an extra member", passphrase(), withMember(kdf, "pepper", "x")},
        {"memorySize 65537", passphrase(), withMember(kdf, "memorySize", 65537)},
        {"memorySize as text", passphrase(), withMember(kdf, "memorySize", "65536")},
        {"iterations 4", passphrase(), withMember(kdf, "iterations", 4)},
        {"parallelism 1", passphrase(), withMember(kdf, "parallelism", 1)},
        {"name argon2i", passphrase(), withMember(kdf, "name", "argon2i")},
        {"no salt", passphrase(), [&] { E2EEJSON k = kdf; k.removeMember("salt"); return k; }()},
        {"salt of 15 bytes", passphrase(), withMember(kdf, "salt", salt15)},
        {"salt of 17 bytes", passphrase(), withMember(kdf, "salt", salt17)},
        {"kdf not an object", passphrase(), E2EEJSON("argon2id")},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_TRUE(refusedAsInvalid([&] { E2EECrypto::derivePassphraseKey(row.passphrase, row.kdf); }));
    }
}

TEST(AccountUnlock, OpensTheKeySetWithThePassphraseOrTheRecoveryKey) {
    const E2EEJSON& keys = first().member("keys");
    const struct {
        std::string name;
        std::string secret;
        bool recovery;
    } rows[] = {
        {"passphrase", passphrase(), false},
        {"passphrase in a compatibility form", *first().member("passphraseCompatibilityForm").stringValue(), false},
        {"recovery key", recoveryKey(), true},
        {"recovery key in spaces and a newline", "  " + recoveryKey() + " \n", true},
        {"recovery key after a tab and a no-break space", "\t\u00a0" + recoveryKey(), true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(E2EECrypto::unlockAccountKeys(keyRecord(), row.secret, row.recovery), keys);
    }
}

TEST(AccountUnlock, RefusesWrongSecretsAndChangedRecords) {
    const std::string key = recoveryKey();
    const E2EEJSON passwordEnvelope = keyRecord().member("passwordEnvelope");
    const E2EEJSON recoveryEnvelope = keyRecord().member("recoveryEnvelope");
    E2EEJSON tampered = recoveryEnvelope;
    std::string ciphertext = *recoveryEnvelope.member("ciphertext").stringValue();
    ciphertext[10] = ciphertext[10] == 'A' ? 'B' : 'A';
    tampered.setMember(ciphertext, "ciphertext");
    const E2EEJSON secondRecord = unlockFixtures().member("second").member("keyRecord");
    const std::string padded = key.substr(0, 42) + "A=";

    const struct {
        std::string name;
        E2EEJSON record;
        std::string secret;
        bool recovery;
    } rows[] = {
        {"wrong passphrase", keyRecord(), passphrase() + "!", false},
        {"passphrase with a trailing space", keyRecord(), passphrase() + " ", false},
        {"passphrase of 7 units", keyRecord(), "1234567", false},
        {"passphrase of 1025 units", keyRecord(), std::string(1025, 'x'), false},
        {"wrong recovery key", keyRecord(), *unlockFixtures().member("second").member("recoveryKey").stringValue(),
         true},
        {"recovery key with padding", keyRecord(), key + "=", true},
        {"recovery key of 44 characters", keyRecord(), key + "A", true},
        {"recovery key with a plus", keyRecord(), "+" + key.substr(1), true},
        {"recovery key with a slash", keyRecord(), "/" + key.substr(1), true},
        {"recovery key of 42 characters and padding", keyRecord(), padded, true},
        {"recovery key with a space inside", keyRecord(), key.substr(0, 20) + " " + key.substr(20), true},
        {"passphrase as recovery key", keyRecord(), passphrase(), true},
        {"tampered envelope", withMember(keyRecord(), "recoveryEnvelope", tampered), key, true},
        {"envelope moved to the other member", withMember(keyRecord(), "recoveryEnvelope", passwordEnvelope), key,
         true},
        {"no envelope", [&] { E2EEJSON r = keyRecord(); r.removeMember("recoveryEnvelope"); return r; }(), key, true},
        {"kdf with an extra member", withMember(keyRecord(), "kdf", withMember(keyRecord().member("kdf"), "x", 1)),
         passphrase(), false},
        {"another account's identifier", withMember(keyRecord(), "accountId", "acct_other"), key, true},
        {"no account identifier", withMember(keyRecord(), "accountId", nullptr), key, true},
        {"record not an object", E2EEJSON("record"), key, true},
        {"the key set of another key record", withMember(secondRecord, "recoveryEnvelope", recoveryEnvelope), key,
         true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_TRUE(refusedAsInvalid([&] { E2EECrypto::unlockAccountKeys(row.record, row.secret, row.recovery); }));
    }
}

TEST(AccountUnlock, NoSecretBufferReachesTheHeapUnwiped) {
    const E2EEJSON& keys = first().member("keys");
    E2EEJSON tampered = keyRecord();
    tampered.setMember(keyRecord().member("recoveryEnvelope"), "passwordEnvelope");
    const struct {
        std::string name;
        E2EEJSON record;
        std::string secret;
        bool recovery;
        bool opens;
    } rows[] = {
        {"passphrase", keyRecord(), passphrase(), false, true},
        {"recovery key", keyRecord(), recoveryKey(), true, true},
        {"wrong passphrase", keyRecord(), passphrase() + "?", false, false},
        {"wrong recovery key", keyRecord(), std::string(43, 'A'), true, false},
        {"tampered envelope", tampered, passphrase(), false, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        testing::SecretReleaseWatch watch;
        if (row.opens) {
            EXPECT_EQ(E2EECrypto::unlockAccountKeys(row.record, row.secret, row.recovery), keys);
        } else {
            EXPECT_TRUE(
                refusedAsInvalid([&] { E2EECrypto::unlockAccountKeys(row.record, row.secret, row.recovery); }));
        }
        EXPECT_GE(watch.released(), 2u);  // at least the wrapping key and the work buffer or plaintext
        EXPECT_EQ(watch.dirty(), 0u);
    }
}

}  // namespace
}  // namespace nimbuscrate
