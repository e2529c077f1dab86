// The account load, the identity pin, the unlocked keys and the mode answers.
#include <gtest/gtest.h>

#include "shared/encryption/JSONReadError.h"
#include "tests/shared/encryption-client/E2EEClientFixture.h"
#include "tests/support/E2EERecordBuilder.h"

namespace nimbuscrate {
namespace {

using Case = E2EEError::Case;
using testing::E2EERecordBuilder;
using testing::e2eeErrorOf;

class E2EEClientAccount : public testing::E2EEClientFixture {
protected:
    void SetUp() override {
        LocalServiceFixture::SetUp();
        if (IsSkipped()) return;
        session = signIn();
        client = makeClient();
    }

    std::shared_ptr<KeychainStore> identityItem() {
        return secretItem(E2EEClient::kIdentityService, builder.accountId());
    }
    void storeIdentity(const E2EEJSON& identity) { identityItem()->save(bytesOf(identity.canonicalString())); }
    std::optional<E2EEJSON> storedIdentity() {
        const auto bytes = identityItem()->read();
        if (!bytes) return std::nullopt;
        return E2EEJSON::parse(stringOf(*bytes));
    }
    void storeKeys(const Bytes& bytes) { secretItem(E2EEClient::kKeysService, *session.sessionID)->save(bytes); }

    E2EEJSON account(const std::string& mode, bool onboarding = false, bool withKeyRecord = true) {
        E2EERecordBuilder::AccountSpec spec;
        spec.mode = mode;
        spec.onboardingRequired = onboarding;
        spec.withKeyRecord = withKeyRecord;
        return builder.accountRecord(spec);
    }

    E2EERecordBuilder builder;
    DesktopSession session;
    std::unique_ptr<E2EEClient> client;
};

TEST_F(E2EEClientAccount, BootstrapsOncePerSessionAndAgainAfterAFailedLoad) {
    serveAccount(account("required"));
    EXPECT_EQ(client->loadAccount(), account("required"));
    client->loadAccount();
    client->loadAccount();
    EXPECT_EQ(countRequests("GET", "/api/v1/e2ee/account"), 3u);
    EXPECT_EQ(countRequests("POST", "/api/v1/mobile/account/bootstrap"), 1u);
    {
        SCOPED_TRACE("the bootstrap follows the first account request");
        const auto requests = accountRequests();
        ASSERT_GE(requests.size(), 2u);
        EXPECT_EQ(requests[0].path, "/api/v1/e2ee/account");
        EXPECT_EQ(requests[1].path, "/api/v1/mobile/account/bootstrap");
        EXPECT_EQ(requests[1].bodyLength, 0u);
    }

    // A new sign-in, even of the same user, starts over.
    session = signIn();
    client->loadAccount();
    client->loadAccount();
    EXPECT_EQ(countRequests("POST", "/api/v1/mobile/account/bootstrap"), 2u);

    // The first load of the next session fails after its bootstrap (the
    // identity does not match); the cache stays empty, so the next load
    // bootstraps again.
    session = signIn();
    E2EERecordBuilder other("acct_1");
    storeIdentity(other.identityRecord(false));
    EXPECT_EQ(e2eeErrorOf([&] { client->loadAccount(); }), Case::identity);
    EXPECT_EQ(client->cachedAccount(), E2EEJSON::object());
    EXPECT_EQ(countRequests("POST", "/api/v1/mobile/account/bootstrap"), 3u);
    storeIdentity(builder.identityRecord(false));
    client->loadAccount();
    EXPECT_EQ(countRequests("POST", "/api/v1/mobile/account/bootstrap"), 4u);
    client->loadAccount();
    EXPECT_EQ(countRequests("POST", "/api/v1/mobile/account/bootstrap"), 4u);
}

TEST_F(E2EEClientAccount, MalformedAccountRepliesFailWholeAndKeepTheCache) {
    serveAccount(account("required"));
    const E2EEJSON good = client->loadAccount();

    auto with = [&](const std::string& name, const E2EEJSON& value) {
        E2EEJSON changed = good;
        changed.setMember(value, name);
        return changed;
    };
    auto without = [&](const std::string& name) {
        E2EEJSON changed = good;
        changed.removeMember(name);
        return changed;
    };
    const std::pair<std::string, E2EEJSON> cases[] = {
        {"not an object", E2EEJSON::array({good})},
        {"no accountId", without("accountId")},
        {"accountId not an identifier", with("accountId", "acct 1")},
        {"accountId too long", with("accountId", std::string(129, 'a'))},
        {"no format", without("format")},
        {"another format", with("format", "nimbuscrate-tink-aes128-v1")},
        {"no mode", without("mode")},
        {"unknown mode", with("mode", "Required")},
        {"mode not a string", with("mode", 1)},
        {"key record of another account",
         with("keyRecord", E2EEJSON::object({{"version", 1}, {"accountId", "acct_2"}, {"publicKey", builder.publicKey()}}))},
        {"key record without account", with("keyRecord", E2EEJSON::object({{"publicKey", builder.publicKey()}}))},
        {"key record not an object", with("keyRecord", "key")},
    };
    for (const auto& [name, reply] : cases) {
        SCOPED_TRACE(name);
        serveAccount(reply);
        EXPECT_EQ(e2eeErrorOf([&] { client->loadAccount(); }), Case::invalid);
        EXPECT_EQ(client->cachedAccount(), good);
    }
}

TEST_F(E2EEClientAccount, ABootstrapForAnotherUserFailsTheLoad) {
    serveAccount(account("legacy"), /*bootstrapUser=*/"acct_2");
    EXPECT_EQ(e2eeErrorOf([&] { client->loadAccount(); }), Case::invalid);
    EXPECT_EQ(client->cachedAccount(), E2EEJSON::object());
}

TEST_F(E2EEClientAccount, TheIdentityIsPinnedButNeverCreated) {
    {
        SCOPED_TRACE("without an identity item any key is accepted and nothing is written");
        serveAccount(account("required"));
        client->loadAccount();
        E2EERecordBuilder other("acct_1");
        serveAccount(other.accountRecord(E2EERecordBuilder::AccountSpec()));
        client->loadAccount();
        EXPECT_FALSE(storedIdentity());
    }
    {
        SCOPED_TRACE("a stored key that differs is refused, also when the reply has no key record");
        storeIdentity(E2EERecordBuilder("acct_1").identityRecord(false));
        serveAccount(account("legacy"));
        EXPECT_EQ(e2eeErrorOf([&] { client->loadAccount(); }), Case::identity);
        serveAccount(account("legacy", false, /*withKeyRecord=*/false));
        EXPECT_EQ(e2eeErrorOf([&] { client->loadAccount(); }), Case::identity);
    }
    {
        SCOPED_TRACE("an item without a key matches only an account without a key record");
        storeIdentity(E2EEJSON::object());
        serveAccount(account("legacy", false, false));
        client->loadAccount();
        serveAccount(account("legacy"));
        EXPECT_EQ(e2eeErrorOf([&] { client->loadAccount(); }), Case::identity);
    }
    {
        SCOPED_TRACE("an item that is not JSON fails with the reader's error");
        identityItem()->save(bytesOf("{not json"));
        serveAccount(account("legacy"));
        EXPECT_THROW(client->loadAccount(), JSONReadError);
    }
}

TEST_F(E2EEClientAccount, ARequiredAccountMarksItsIdentityAndIsNeverAcceptedAsOptionalAgain) {
    storeIdentity(builder.identityRecord(false));
    serveAccount(account("prepared"));
    client->loadAccount();
    EXPECT_EQ(storedIdentity(), builder.identityRecord(false));

    serveAccount(account("required"));
    client->loadAccount();
    EXPECT_EQ(storedIdentity(), builder.identityRecord(true));
    EXPECT_EQ(stringOf(*identityItem()->read()), builder.identityRecord(true).canonicalString());

    serveAccount(account("write_paused"));
    EXPECT_EQ(client->loadAccount().member("mode"), E2EEJSON("write_paused"));
    for (const std::string mode : {"legacy", "prepared"}) {
        SCOPED_TRACE(mode);
        serveAccount(account(mode));
        EXPECT_EQ(e2eeErrorOf([&] { client->loadAccount(); }), Case::identity);
        EXPECT_EQ(client->cachedAccount().member("mode"), E2EEJSON("write_paused"));
    }
    EXPECT_EQ(storedIdentity(), builder.identityRecord(true));
}

TEST_F(E2EEClientAccount, EncryptionRequirementFollowsTheModeTable) {
    struct Row {
        std::string mode;
        bool onboarding;
        bool keyRecord;
        std::optional<bool> required;  // nothing: the error below
        Case error = Case::invalid;
    };
    const Row rows[] = {
        {"required", false, true, true},
        {"legacy", false, true, false},
        {"legacy", false, false, false},
        {"prepared", false, true, false},
        {"prepared", true, true, false},
        {"prepared", true, false, std::nullopt, Case::setup},
        {"required", true, false, std::nullopt, Case::setup},
        {"legacy", true, false, std::nullopt, Case::setup},
        {"write_paused", false, true, std::nullopt, Case::paused},
        {"write_paused", true, false, std::nullopt, Case::setup},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.mode + (row.onboarding ? " onboarding" : "") + (row.keyRecord ? " with key" : " no key"));
        serveAccount(account(row.mode, row.onboarding, row.keyRecord));
        if (row.required) {
            EXPECT_EQ(client->isEncryptionRequired({}), *row.required);
        } else {
            EXPECT_EQ(e2eeErrorOf([&] { client->isEncryptionRequired({}); }), row.error);
        }
    }
}

TEST_F(E2EEClientAccount, WritesNeedTheRequiredModeAndTheUnlockedKeys) {
    EXPECT_EQ(e2eeErrorOf([&] { client->unlockedKeyRecord(); }), Case::locked);  // nothing loaded yet

    serveAccount(account("required"));
    EXPECT_EQ(e2eeErrorOf([&] { client->ensureWritable(); }), Case::locked);

    storeKeys(builder.keysBytes());
    EXPECT_EQ(client->ensureWritable(), builder.keys());
    EXPECT_EQ(client->unlockedKeyRecord(), builder.keys());

    // Keys that do not belong to the account's key record are refused.
    storeKeys(E2EERecordBuilder("acct_1").keysBytes());
    EXPECT_EQ(e2eeErrorOf([&] { client->ensureWritable(); }), Case::invalid);

    // Other modes are paused before the keys are read (unreadable keys would fail otherwise).
    storeKeys(bytesOf("{not json"));
    for (const std::string mode : {"write_paused", "legacy", "prepared"}) {
        SCOPED_TRACE(mode);
        serveAccount(account(mode));
        EXPECT_EQ(e2eeErrorOf([&] { client->ensureWritable(); }), Case::paused);
    }
}

TEST_F(E2EEClientAccount, TheKeysOfAnotherSessionAreNeverUsed) {
    serveAccount(account("required"));
    storeKeys(builder.keysBytes());
    client->loadAccount();
    EXPECT_EQ(client->unlockedKeyRecord(), builder.keys());

    // A new sign-in: until the account is loaded for it, the keys are locked.
    session = signIn();
    EXPECT_EQ(e2eeErrorOf([&] { client->unlockedKeyRecord(); }), Case::locked);
    client->loadAccount();
    EXPECT_EQ(e2eeErrorOf([&] { client->unlockedKeyRecord(); }), Case::locked);  // none stored for it
    storeKeys(builder.keysBytes());
    EXPECT_EQ(client->unlockedKeyRecord(), builder.keys());
}

TEST_F(E2EEClientAccount, ASessionReplacedDuringTheLoadKeepsNothing) {
    serveAccount(account("required"));
    int calls = 0;
    setTokenHook([&] {
        // The second token fetch (the bootstrap's) finds a new sign-in.
        if (++calls == 2) signIn();
    });
    EXPECT_EQ(e2eeErrorOf([&] { client->loadAccount(); }), Case::sessionChanged);
    EXPECT_EQ(client->cachedAccount(), E2EEJSON::object());
}

}  // namespace
}  // namespace nimbuscrate
