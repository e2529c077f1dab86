// Listing, unlocking with, adding and removing passkeys through the
// encryption client against the local service's passkey list. PRF outputs
// and stored passkeys come from the committed fixtures.
#include <gtest/gtest.h>

#include <chrono>

#include "shared/encryption-client/E2EEPasskeyRecords.h"
#include "shared/encryption-client/PasskeyError.h"
#include "shared/session/ServiceEndpoints.h"
#include "tests/shared/encryption-client/UnlockClientFixture.h"

namespace nimbuscrate {
namespace {

using Case = E2EEError::Case;
using testing::e2eeErrorOf;
using testing::fixtureBytes;
using testing::unlockFixtures;

std::optional<PasskeyError::Case> passkeyErrorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const PasskeyError& error) {
        return error.kind();
    } catch (const std::exception& error) {
        ADD_FAILURE() << "another error: " << error.what();
        return std::nullopt;
    }
    ADD_FAILURE() << "no error";
    return std::nullopt;
}

bool allZero(const SecretBytes& bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

class E2EEClientPasskeys : public testing::UnlockClientFixture {
protected:
    void SetUp() override {
        UnlockClientFixture::SetUp();
        if (IsSkipped()) return;
        if (webAppURL().host() != *unlockFixtures().member("rpId").stringValue()) {
            GTEST_SKIP() << "the fixtures' passkeys are for the default web app host";
        }
        serveAccount(accountOf("first"));
    }

    localservice::PasskeyApi& passkeys() { return service.accountApi().passkeys(); }
    const E2EEJSON& keys() const { return keySet("first").member("keys"); }
    const E2EEJSON& fixture(std::size_t index) const { return (*unlockFixtures().member("passkeys").arrayValue())[index]; }
    const E2EEJSON& stored(std::size_t index) const { return fixture(index).member("stored"); }
    SecretBytes prf(std::size_t index) const { return fixtureBytes(fixture(index).member("prf")); }

    // A passkey registered on another device at a generation of the list.
    void seed(const E2EEJSON& passkey, std::int64_t generation) {
        passkeys().seed(signedPasskeyAddIntent(keys(), generation, passkey).canonicalString());
    }
    // n more valid passkeys of the account (random PRF outputs).
    void seedOthers(std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            const E2EEJSON record = makePasskeyRecord("Other " + std::to_string(i));
            seed(wrapForPasskey(keys(), record, E2EECrypto::randomBytes(32)), passkeys().generation());
        }
    }

    localservice::Route passkeyRoute(const std::string& method, const std::string& tail = "") const {
        return localservice::Route{method, testing::kAccountHost, "/api/v1/e2ee/account/passkeys" + tail};
    }
    // The value of the last intent the service accepted.
    E2EEJSON lastIntentValue() {
        const auto intents = passkeys().acceptedIntents();
        if (intents.empty()) return nullptr;
        return E2EEJSON::parse(intents.back()).member("value");
    }
    std::size_t passkeyRequests() { return countRequests("GET", "/api/v1/e2ee/account/passkeys"); }
};

TEST_F(E2EEClientPasskeys, ListsTheVerifiedPasskeysOfTheAccount) {
    seed(stored(0), 1);
    seed(stored(1), 2);
    const E2EEClient::PasskeySnapshot snapshot = client->loadPasskeys(false);
    EXPECT_EQ(snapshot.login, *session.sessionID);
    EXPECT_EQ(snapshot.account, accountOf("first"));
    EXPECT_EQ(snapshot.generation, 3);
    EXPECT_EQ(snapshot.items, (std::vector<E2EEJSON>{stored(0), stored(1)}));

    {
        SCOPED_TRACE("a locked account lists only when the keys are not needed");
        const std::size_t before = passkeyRequests();
        EXPECT_EQ(e2eeErrorOf([&] { client->loadPasskeys(true); }), Case::locked);
        EXPECT_EQ(passkeyRequests(), before);
        storeKeys("first");
        EXPECT_EQ(client->loadPasskeys(true).items.size(), 2u);
    }
    {
        SCOPED_TRACE("an account without a key record");
        E2EEJSON account = accountOf("first", "legacy");
        account.setMember(nullptr, "keyRecord");
        serveAccount(account);
        EXPECT_EQ(e2eeErrorOf([&] { client->loadPasskeys(false); }), Case::setup);
    }
}

TEST_F(E2EEClientPasskeys, MalformedListsFailWhole) {
    using Kind = localservice::PasskeyApi::MalformedList;
    seed(stored(0), 1);
    seed(stored(1), 2);
    seedOthers(5);
    const std::pair<std::string, Kind> rows[] = {
        {"an item at the list's own generation", Kind::itemAtListGeneration},
        {"11 items", Kind::elevenItems},
        {"generation 0", Kind::generationZero},
        {"an item twice", Kind::duplicate},
    };
    for (const auto& [name, kind] : rows) {
        SCOPED_TRACE(name);
        passkeys().serveMalformedList(kind);
        EXPECT_EQ(e2eeErrorOf([&] { client->loadPasskeys(false); }), Case::invalid);
    }
    EXPECT_EQ(client->loadPasskeys(false).items.size(), 7u);
}

TEST_F(E2EEClientPasskeys, UnlocksWithAListedPasskeyWithoutMovingTheIdentity) {
    seed(stored(0), 1);
    seed(stored(1), 2);
    const E2EEClient::PasskeySnapshot snapshot = client->loadPasskeys(false);
    {
        SCOPED_TRACE("a wrong PRF output stores nothing");
        SecretBytes wrong = prf(0);
        wrong[5] ^= 0x40;
        EXPECT_EQ(e2eeErrorOf([&] { client->unlockWithPasskey(stored(0), wrong, snapshot); }), Case::invalid);
        EXPECT_TRUE(allZero(wrong));
        EXPECT_TRUE(writes().empty());
    }
    {
        SCOPED_TRACE("a passkey that is not in the snapshot");
        SecretBytes output = prf(2);
        EXPECT_EQ(passkeyErrorOf([&] { client->unlockWithPasskey(stored(2), output, snapshot); }),
                  PasskeyError::Case::missing);
        EXPECT_TRUE(allZero(output));
    }
    SecretBytes output = prf(1);
    client->unlockWithPasskey(stored(1), output, snapshot);
    EXPECT_TRUE(allZero(output));
    EXPECT_EQ(writes(), (std::vector<Write>{{E2EEClient::kIdentityService, accountId()},
                                            {E2EEClient::kKeysService, *session.sessionID}}));
    EXPECT_EQ(client->unlockedKeyRecord(), keys());
    EXPECT_TRUE(client->encryptionState().unlocked);
}

TEST_F(E2EEClientPasskeys, APasskeyUnlockNeverAcceptsAnotherIdentity) {
    seed(stored(0), 1);
    {
        SCOPED_TRACE("the account's key changed since the listing");
        const E2EEClient::PasskeySnapshot snapshot = client->loadPasskeys(false);
        service.accountApi().swapAccountPublicKey(keySet("second").member("keys").member("publicKey").canonicalString());
        SecretBytes output = prf(0);
        EXPECT_EQ(e2eeErrorOf([&] { client->unlockWithPasskey(stored(0), output, snapshot); }), Case::identity);
        EXPECT_TRUE(allZero(output));
        service.accountApi().clearKnobs();
    }
    {
        SCOPED_TRACE("the device pinned another key: the pin is not moved");
        const E2EEClient::PasskeySnapshot snapshot = client->loadPasskeys(false);
        pinIdentity("second", true);
        clearWrites();
        SecretBytes output = prf(0);
        EXPECT_EQ(e2eeErrorOf([&] { client->unlockWithPasskey(stored(0), output, snapshot); }), Case::identity);
        EXPECT_TRUE(writes().empty());
        EXPECT_FALSE(keyItem()->read());
    }
}

TEST_F(E2EEClientPasskeys, UnlockChecksTheSessionAndTheFreshList) {
    seed(stored(0), 1);
    seed(stored(1), 2);
    const E2EEClient::PasskeySnapshot snapshot = client->loadPasskeys(false);
    {
        SCOPED_TRACE("removed on another device since the listing");
        storeKeys("first");
        client->removePasskey(stored(0), snapshot.login, snapshot.account);
        keyItem()->deleteItem();
        clearWrites();
        SecretBytes output = prf(0);
        EXPECT_EQ(passkeyErrorOf([&] { client->unlockWithPasskey(stored(0), output, snapshot); }),
                  PasskeyError::Case::changed);
        EXPECT_TRUE(writes().empty());
    }
    {
        SCOPED_TRACE("signed out and in since the listing: nothing is asked");
        session = signIn();
        const std::size_t before = accountRequests().size();
        SecretBytes output = prf(1);
        EXPECT_EQ(e2eeErrorOf([&] { client->unlockWithPasskey(stored(1), output, snapshot); }), Case::sessionChanged);
        EXPECT_TRUE(allZero(output));
        EXPECT_EQ(accountRequests().size(), before);
    }
}

TEST_F(E2EEClientPasskeys, AddsAPasskeyAtTheListsGeneration) {
    storeKeys("first");
    seed(stored(0), 1);
    const E2EEClient::PasskeySnapshot snapshot = client->loadPasskeys(true);
    SecretBytes output = prf(2);
    client->addPasskey(fixture(2).member("record"), output, snapshot.login, snapshot.account);
    EXPECT_TRUE(allZero(output));

    const E2EEJSON intent = lastIntentValue();
    EXPECT_EQ(intent.member("purpose"), E2EEJSON("passkey-add"));
    EXPECT_EQ(intent.member("generation"), E2EEJSON(snapshot.generation));
    const E2EEClient::PasskeySnapshot after = client->loadPasskeys(false);
    ASSERT_EQ(after.items.size(), 2u);
    EXPECT_EQ(validatePasskeyRecord(after.items[1]), fixture(2).member("record"));
    // The new envelope opens with the passkey's PRF output.
    EXPECT_EQ(unwrapPasskeyEnvelope(keySet("first").member("keyRecord"), after.items[1], prf(2)), keys());

    {
        SCOPED_TRACE("its credential or its id once more");
        SecretBytes again = prf(2);
        EXPECT_EQ(passkeyErrorOf([&] { client->addPasskey(fixture(2).member("record"), again, after.login, after.account); }),
                  PasskeyError::Case::changed);
        EXPECT_TRUE(allZero(again));
        E2EEJSON sameId = makePasskeyRecord("Same id");
        sameId.setMember(fixture(0).member("record").member("id"), "id");
        SecretBytes another = prf(0);
        EXPECT_EQ(passkeyErrorOf([&] { client->addPasskey(sameId, another, after.login, after.account); }),
                  PasskeyError::Case::changed);
    }
    {
        SCOPED_TRACE("a record for another relying party");
        SecretBytes another = prf(0);
        EXPECT_EQ(e2eeErrorOf([&] {
                      client->addPasskey(makePasskeyRecord("Elsewhere", "drive.example.org"), another, after.login,
                                         after.account);
                  }),
                  Case::invalid);
    }
    EXPECT_EQ(passkeys().count(), 2u);
}

TEST_F(E2EEClientPasskeys, TenPasskeysAreTheLimit) {
    storeKeys("first");
    seedOthers(9);
    const E2EEClient::PasskeySnapshot nine = client->loadPasskeys(true);
    SecretBytes output = prf(0);
    client->addPasskey(fixture(0).member("record"), output, nine.login, nine.account);
    EXPECT_EQ(passkeys().count(), 10u);

    SecretBytes more = prf(1);
    EXPECT_EQ(passkeyErrorOf([&] { client->addPasskey(fixture(1).member("record"), more, nine.login, nine.account); }),
              PasskeyError::Case::limit);
    EXPECT_TRUE(allZero(more));
    EXPECT_EQ(passkeys().count(), 10u);
}

TEST_F(E2EEClientPasskeys, AnAddTheServiceStoredCountsAsDoneWhenItsReplyIsLost) {
    storeKeys("first");
    const E2EEClient::PasskeySnapshot snapshot = client->loadPasskeys(true);
    {
        SCOPED_TRACE("stored, then 500");
        passkeys().failAfterStore(500);
        SecretBytes output = prf(0);
        client->addPasskey(fixture(0).member("record"), output, snapshot.login, snapshot.account);
        EXPECT_EQ(passkeys().count(), 1u);
    }
    {
        SCOPED_TRACE("stored, then the connection dropped");
        passkeys().failAfterStore(0);
        SecretBytes output = prf(1);
        client->addPasskey(fixture(1).member("record"), output, snapshot.login, snapshot.account);
        EXPECT_EQ(passkeys().count(), 2u);
    }
    {
        SCOPED_TRACE("refused with 409");
        service.overrideStatus(passkeyRoute("POST"), 409);
        SecretBytes output = prf(2);
        EXPECT_EQ(e2eeErrorOf([&] {
                      client->addPasskey(makePasskeyRecord("Refused"), output, snapshot.login, snapshot.account);
                  }),
                  Case::conflict);
        service.clearFaults();
        serveAccount(accountOf("first"));
    }
    {
        SCOPED_TRACE("stored with another envelope, then 500: the request's error");
        passkeys().failAfterStore(500);
        passkeys().storeChangedEnvelope();
        SecretBytes output = prf(2);
        const auto error = testing::desktopErrorOf(
            [&] { client->addPasskey(fixture(2).member("record"), output, snapshot.login, snapshot.account); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->status(), 500);
        EXPECT_TRUE(allZero(output));
    }
}

TEST_F(E2EEClientPasskeys, RemovesAListedPasskey) {
    storeKeys("first");
    seed(stored(0), 1);
    seed(stored(1), 2);
    const E2EEClient::PasskeySnapshot snapshot = client->loadPasskeys(true);
    client->removePasskey(stored(0), snapshot.login, snapshot.account);
    EXPECT_EQ(lastIntentValue(), E2EEJSON::object({{"purpose", "passkey-remove"},
                                                   {"accountId", accountId()},
                                                   {"generation", snapshot.generation},
                                                   {"passkeyId", stored(0).member("id")}}));
    EXPECT_EQ(client->loadPasskeys(false).items, std::vector<E2EEJSON>{stored(1)});

    EXPECT_EQ(passkeyErrorOf([&] { client->removePasskey(stored(0), snapshot.login, snapshot.account); }),
              PasskeyError::Case::changed);
    {
        SCOPED_TRACE("locked: refused before the list is read");
        keyItem()->deleteItem();
        const std::size_t before = passkeyRequests();
        EXPECT_EQ(e2eeErrorOf([&] { client->removePasskey(stored(1), snapshot.login, snapshot.account); }),
                  Case::locked);
        EXPECT_EQ(passkeyRequests(), before);
    }
}

TEST_F(E2EEClientPasskeys, ChangesNeedTheSameAccountIdentity) {
    storeKeys("first");
    seed(stored(0), 1);
    const E2EEClient::PasskeySnapshot snapshot = client->loadPasskeys(true);
    service.accountApi().swapAccountPublicKey(keySet("second").member("keys").member("publicKey").canonicalString());
    SecretBytes output = prf(1);
    EXPECT_EQ(e2eeErrorOf([&] { client->addPasskey(fixture(1).member("record"), output, snapshot.login, snapshot.account); }),
              Case::identity);
    EXPECT_EQ(e2eeErrorOf([&] { client->removePasskey(stored(0), snapshot.login, snapshot.account); }),
              Case::identity);
    EXPECT_TRUE(passkeys().acceptedIntents().empty());
}

TEST_F(E2EEClientPasskeys, TheListWaitsEightSecondsAndChangesLonger) {
    storeKeys("first");
    service.delay(passkeyRoute("GET"), std::chrono::milliseconds(9000));
    EXPECT_ANY_THROW(client->loadPasskeys(false));
    service.clearFaults();
    serveAccount(accountOf("first"));

    const E2EEClient::PasskeySnapshot snapshot = client->loadPasskeys(true);
    service.delay(passkeyRoute("POST"), std::chrono::milliseconds(9000));
    SecretBytes output = prf(0);
    client->addPasskey(fixture(0).member("record"), output, snapshot.login, snapshot.account);
    EXPECT_EQ(passkeys().count(), 1u);
}

}  // namespace
}  // namespace nimbuscrate
