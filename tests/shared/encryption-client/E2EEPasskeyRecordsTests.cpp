// Passkey records, their wrap context and envelopes (against envelopes made
// by an independent writer), the signed intents and the list check.
#include <gtest/gtest.h>

#include <string>

#include "shared/encryption-client/E2EEPasskeyRecords.h"
#include "shared/encryption-client/PasskeyError.h"
#include "shared/encryption/E2EECrypto.h"
#include "shared/encryption/E2EEError.h"
#include "shared/session/ServiceEndpoints.h"
#include "tests/shared/encryption-client/UnlockFixtures.h"

namespace nimbuscrate {
namespace {

using testing::fixtureBytes;
using testing::unlockFixtures;

const E2EEJSON& keys() { return unlockFixtures().member("first").member("keys"); }
const E2EEJSON& keyRecord() { return unlockFixtures().member("first").member("keyRecord"); }
const E2EEJSON& passkey(std::size_t index) { return (*unlockFixtures().member("passkeys").arrayValue())[index]; }

E2EEJSON with(E2EEJSON value, std::string_view name, const E2EEJSON& member) {
    value.setMember(member, name);
    return value;
}

bool refusedAsInvalid(const std::function<void()>& call) {
    try {
        call();
    } catch (const E2EEError& error) {
        return error.kind() == E2EEError::Case::invalid;
    }
    return false;
}

E2EEJSON account() {
    return E2EEJSON::object({{"accountId", unlockFixtures().member("accountId")}, {"keyRecord", keyRecord()}});
}

TEST(PasskeyError, EachCaseHasItsMessageAndPosition) {
    using Case = PasskeyError::Case;
    const std::pair<PasskeyError, std::string> rows[] = {
        {PasskeyError::unavailable(),
         "Passkey unlock requires a security key with hmac-secret support. Use your encryption passphrase or "
         "recovery key."},
        {PasskeyError::unsupported(),
         "This passkey provider cannot unlock encrypted files. Try another provider, or use your passphrase or "
         "recovery key."},
        {PasskeyError::cancelled(),
         "Passkey request cancelled or timed out. You can try again, or use your passphrase or recovery key."},
        {PasskeyError::missing(), "No passkey is available for " + webAppURL().host() +
                                      ". Unlock with your passphrase or recovery key to add one."},
        {PasskeyError::changed(), "Your passkeys changed on another device. Refresh and try again."},
        {PasskeyError::limit(), "Remove an existing passkey before adding another (maximum 10)."},
        {PasskeyError::busy(), "A passkey request is already in progress."},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(rows[i].first.code(), static_cast<int>(i));
        EXPECT_EQ(rows[i].first.what(), rows[i].second);
        EXPECT_EQ(rows[i].first.errorDescription(), rows[i].second);
    }
    EXPECT_EQ(PasskeyError::missing().kind(), Case::missing);
    EXPECT_EQ(sizeof(Case), 1u);
}

TEST(PasskeyRecord, ChecksEveryMember) {
    const E2EEJSON record = passkey(0).member("record");
    EXPECT_EQ(validatePasskeyRecord(with(with(record, "extra", 1), "envelope", E2EEJSON::object())), record);
    EXPECT_EQ(validatePasskeyRecord(with(record, "label", std::string(80, 'L'))).member("label"),
              E2EEJSON(std::string(80, 'L')));
    EXPECT_NO_THROW(validatePasskeyRecord(with(record, "label", std::string(76, 'L') + "\u00e9\u00e9")));  // 80 bytes
    EXPECT_NO_THROW(validatePasskeyRecord(with(record, "rpId", std::string(253, 'a'))));

    const struct {
        std::string name;
        E2EEJSON record;
    } refused[] = {
        {"upper-case UUID", with(record, "id", "0B8F0001-5C1E-4D2A-9F3B-7A6C5D4E3F01")},
        {"version 2", with(record, "version", 2)},
        {"version as text", with(record, "version", "1")},
        {"no label", with(record, "label", nullptr)},
        {"label of 81 bytes", with(record, "label", std::string(81, 'L'))},
        {"label of 81 bytes with multi-byte characters", with(record, "label", std::string(77, 'L') + "\u00e9\u00e9")},
        {"empty label", with(record, "label", "")},
        {"label with a leading space", with(record, "label", " Laptop")},
        {"label with a trailing newline", with(record, "label", "Laptop\n")},
        {"label with a tab inside", with(record, "label", "Lap\ttop")},
        {"label with DEL", with(record, "label", "Lap\x7ftop")},
        {"rpId with an upper-case letter", with(record, "rpId", "Drive.nimbuscrate.com")},
        {"rpId with a trailing dot", with(record, "rpId", "drive.nimbuscrate.com.")},
        {"rpId of 254 bytes", with(record, "rpId", std::string(254, 'a'))},
        {"rpId with two dots", with(record, "rpId", "drive..com")},
        {"empty credential", with(record, "credentialId", "")},
        {"credential of 1024 bytes", with(record, "credentialId", E2EECrypto::base64URLEncode(Bytes(1024, 1)))},
        {"salt of 31 bytes", with(record, "salt", E2EECrypto::base64URLEncode(Bytes(31, 1)))},
        {"padded salt", with(record, "salt", *record.member("salt").stringValue() + "=")},
        {"not an object", E2EEJSON::array()},
    };
    for (const auto& row : refused) {
        SCOPED_TRACE(row.name);
        EXPECT_TRUE(refusedAsInvalid([&] { validatePasskeyRecord(row.record); }));
    }
}

TEST(PasskeyRecord, NewRecordsAreValidAndFresh) {
    const E2EEJSON a = makePasskeyRecord("  Work laptop \n", "drive.example.org");
    const E2EEJSON b = makePasskeyRecord("Work laptop", "drive.example.org");
    EXPECT_EQ(a.member("label"), E2EEJSON("Work laptop"));
    EXPECT_EQ(a.member("rpId"), E2EEJSON("drive.example.org"));
    EXPECT_EQ(fixtureBytes(a.member("salt")).size(), 32u);
    EXPECT_EQ(fixtureBytes(a.member("credentialId")).size(), 32u);
    EXPECT_FALSE(a.member("id") == b.member("id"));
    EXPECT_FALSE(a.member("salt") == b.member("salt"));
    EXPECT_TRUE(refusedAsInvalid([] { makePasskeyRecord(" \n "); }));
    EXPECT_TRUE(refusedAsInvalid([] { makePasskeyRecord(std::string(81, 'x')); }));
}

TEST(PasskeyEnvelope, OpensTheIndependentWritersEnvelopes) {
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const E2EEJSON& fixture = passkey(i);
        const Bytes context = passkeyWrapContext(unlockFixtures().member("accountId"), fixture.member("stored"));
        EXPECT_EQ(stringOf(context), *fixture.member("wrapContext").stringValue());
        EXPECT_EQ(context, passkeyWrapContext(unlockFixtures().member("accountId"), fixture.member("record")));
        EXPECT_EQ(unwrapPasskeyEnvelope(keyRecord(), fixture.member("stored"), fixtureBytes(fixture.member("prf"))),
                  keys());
    }
}

TEST(PasskeyEnvelope, WrapsSoThatOnlyTheSamePrfOutputAndRecordOpen) {
    const E2EEJSON record = passkey(0).member("record");
    const SecretBytes prf = fixtureBytes(passkey(0).member("prf"));
    const E2EEJSON stored = wrapForPasskey(keys(), with(record, "extra", true), prf);
    EXPECT_EQ(validatePasskeyRecord(stored), record);
    EXPECT_EQ(unwrapPasskeyEnvelope(keyRecord(), stored, prf), keys());

    SecretBytes otherPrf = prf;
    otherPrf[0] ^= 1;
    EXPECT_TRUE(refusedAsInvalid([&] { unwrapPasskeyEnvelope(keyRecord(), stored, otherPrf); }));
    EXPECT_TRUE(refusedAsInvalid([&] { unwrapPasskeyEnvelope(keyRecord(), with(stored, "label", "Other"), prf); }));
    EXPECT_TRUE(refusedAsInvalid([&] { wrapForPasskey(keys(), record, SecretBytes(31, 1)); }));
    const E2EEJSON secondRecord = unlockFixtures().member("second").member("keyRecord");
    EXPECT_TRUE(refusedAsInvalid([&] { unwrapPasskeyEnvelope(secondRecord, stored, prf); }));
}

TEST(PasskeyIntent, SignsTheValueWithTheKeySet) {
    const E2EEJSON stored = passkey(0).member("stored");
    const E2EEJSON add = signedPasskeyAddIntent(keys(), 7, stored);
    EXPECT_EQ(E2EECrypto::verifyRecord(keyRecord().member("publicKey"), add),
              E2EEJSON::object({{"purpose", "passkey-add"},
                                {"accountId", unlockFixtures().member("accountId")},
                                {"generation", 7},
                                {"passkey", stored}}));
    const E2EEJSON remove = signedPasskeyRemoveIntent(keys(), 8, stored);
    EXPECT_EQ(E2EECrypto::verifyRecord(keyRecord().member("publicKey"), remove),
              E2EEJSON::object({{"purpose", "passkey-remove"},
                                {"accountId", unlockFixtures().member("accountId")},
                                {"generation", 8},
                                {"passkeyId", stored.member("id")}}));
}

TEST(PasskeyList, AcceptsOnlyAWellFormedListOfTheAccount) {
    const E2EEJSON stored = passkey(0).member("stored");
    const E2EEJSON other = passkey(1).member("stored");
    const auto reply = [](std::int64_t generation, std::vector<E2EEJSON> items) {
        return E2EEJSON::object({{"accountId", unlockFixtures().member("accountId")},
                                 {"generation", generation},
                                 {"items", E2EEJSON::array(std::move(items))}});
    };
    const auto intent = [](std::int64_t generation, const E2EEJSON& passkey) {
        return signedPasskeyAddIntent(keys(), generation, passkey);
    };
    EXPECT_EQ(verifyPasskeySnapshot(account(), reply(5, {intent(4, stored), intent(1, other)})),
              (std::vector<E2EEJSON>{stored, other}));
    EXPECT_TRUE(verifyPasskeySnapshot(account(), reply(1, {})).empty());

    E2EEJSON shortEnvelope = stored;
    shortEnvelope.setMember(with(stored.member("envelope"), "ciphertext", E2EECrypto::base64URLEncode(Bytes(47, 3))),
                            "envelope");
    E2EEJSON sameCredential = other;
    sameCredential.setMember(stored.member("credentialId"), "credentialId");
    E2EEJSON sameId = other;
    sameId.setMember(stored.member("id"), "id");
    std::vector<E2EEJSON> eleven;
    for (int i = 0; i < 11; ++i) {
        E2EEJSON item = stored;
        item.setMember(E2EECrypto::base64URLEncode(Bytes(8, static_cast<std::uint8_t>(i))), "credentialId");
        item.setMember("0b8f0001-5c1e-4d2a-9f3b-7a6c5d4e3f" + std::to_string(10 + i), "id");
        eleven.push_back(intent(1, item));
    }
    E2EEJSON wrongPurpose = E2EECrypto::signRecord(
        keys(), E2EEJSON::object({{"purpose", "passkey-remove"},
                                  {"accountId", unlockFixtures().member("accountId")},
                                  {"generation", 1},
                                  {"passkey", stored}}));
    E2EEJSON badSignature = intent(1, stored);
    badSignature.setMember(signedPasskeyAddIntent(keys(), 2, stored).member("signature"), "signature");

    const struct {
        std::string name;
        E2EEJSON reply;
    } refused[] = {
        {"an item at the list's own generation", reply(5, {intent(5, stored)})},
        {"generation 0", reply(0, {})},
        {"an item of generation 0", reply(5, {intent(0, stored)})},
        {"a negative generation", reply(-1, {})},
        {"a generation above 2^53 - 1", reply(E2EEJSON::kMaxSafeInteger + 1, {})},
        {"11 items", reply(20, eleven)},
        {"the same credential twice", reply(5, {intent(1, stored), intent(2, sameCredential)})},
        {"the same id twice", reply(5, {intent(1, stored), intent(2, sameId)})},
        {"a 47-byte envelope", reply(5, {intent(1, shortEnvelope)})},
        {"a remove intent", reply(5, {wrongPurpose})},
        {"another account", with(reply(5, {}), "accountId", "acct_other")},
        {"no items", with(reply(5, {}), "items", nullptr)},
    };
    for (const auto& row : refused) {
        SCOPED_TRACE(row.name);
        EXPECT_THROW(verifyPasskeySnapshot(account(), row.reply), std::exception);
        EXPECT_TRUE(refusedAsInvalid([&] { verifyPasskeySnapshot(account(), row.reply); }));
    }
    EXPECT_ANY_THROW(verifyPasskeySnapshot(account(), reply(5, {badSignature})));
}

}  // namespace
}  // namespace nimbuscrate
