// The app model, headless: its restore, actions and upload poll on a UI
// executor run by hand, against the local service, with a scripted domain
// registration. Each case compares the change notifications with the
// sequence users would see.

#include <gtest/gtest.h>

#include <regex>

#include "shared/encryption-client/E2EEPasskeyRecords.h"
#include "shared/encryption-client/PasskeyError.h"
#include "shared/encryption/E2EEError.h"
#include "shared/session/DesktopError.h"
#include "tests/app/model/AppModelFixture.h"
#include "tests/shared/encryption-client/UnlockFixtures.h"

namespace nimbuscrate {
namespace {

using localservice::Route;
using testing::concat;
using testing::plainEncryptionStatus;
using testing::unlockFixtures;
using Model = DesktopAppModel;

const std::string kAttention = std::string("status ") + Model::kAttentionStatus;

std::string errorLine(const std::exception& error) { return std::string("errorMessage ") + error.what(); }

fp::Error domainError(const std::string& text) {
    return fp::Error{fp::kCocoaErrorDomain, 4101, fp::ErrorUserInfo{text, nullptr}};
}

class DesktopAppModelTest : public testing::AppModelFixture {
protected:
    Route drivesRoute() const { return Route{"GET", "", "/graph/v1.0/me/drives"}; }

    std::shared_ptr<fp::testing::FakeManager> useManager(const std::filesystem::path& visible = "/srv/Nimbuscrate") {
        auto manager = std::make_shared<fp::testing::FakeManager>(workers, clock);
        manager->setVisibleRoot(visible);
        scripted->setManager(manager);
        return manager;
    }

    // The encrypted account of the committed unlock fixtures, locked.
    void serveEncryptedAccount() {
        const E2EEJSON account =
            E2EEJSON::object({{"accountId", unlockFixtures().member("accountId")},
                              {"format", "nimbuscrate-tink-aes256-v1"},
                              {"mode", "required"},
                              {"onboardingRequired", false},
                              {"keyRecord", unlockFixtures().member("first").member("keyRecord")},
                              {"ownedDriveIds", E2EEJSON::array({kDriveId})},
                              {"primaryDriveId", kDriveId}});
        setAccount(account.canonicalString());
    }
    // The first passkey of the fixtures: listed by the service, held by the authenticator.
    bool fixturePasskeysApply() const { return webAppURL().host() == *unlockFixtures().member("rpId").stringValue(); }
    void seedFixturePasskey() {
        const E2EEJSON& passkey = (*unlockFixtures().member("passkeys").arrayValue())[0];
        service.accountApi().passkeys().seed(
            signedPasskeyAddIntent(unlockFixtures().member("first").member("keys"), 1, passkey.member("stored"))
                .canonicalString());
        const SecretBytes credential = testing::fixtureBytes(passkey.member("stored").member("credentialId"));
        authenticator.addCredential(Bytes(credential.begin(), credential.end()),
                                    testing::fixtureBytes(passkey.member("prf")));
    }
    std::string passphrase() const { return *unlockFixtures().member("first").member("passphrase").stringValue(); }

    // The notifications of a locked encrypted account's status.
    static std::vector<std::string> lockedEncryptionStatus() {
        return {"encryptionEnabled true", "encryptionNeedsSetup false", "encryptionNeedsUnlock true",
                "encryptionPaused false", std::string("status ") + Model::kUnlockStatus};
    }
    static std::vector<std::string> unlockedEncryptionStatus() {
        return {"encryptionEnabled true", "encryptionNeedsSetup false", "encryptionNeedsUnlock false",
                "encryptionPaused false", std::string("status ") + Model::kEncryptionReadyStatus};
    }
};

// ---- Restore ----

TEST_F(DesktopAppModelTest, RestoreWithoutASessionStaysSignedOut) {
    migrationDone();
    startModel(false);
    EXPECT_TRUE(model->state().isBusy);
    ASSERT_TRUE(runUntil([&] { return model->restoreFinished(); }));
    EXPECT_EQ(recorder.take(), (std::vector<std::string>{"isBusy false"}));
    EXPECT_FALSE(model->state().isSignedIn);
    EXPECT_EQ(model->state().status, Model::kSignInStatus);
    EXPECT_EQ(model->state().errorMessage, std::nullopt);
    EXPECT_TRUE(scripted->calls().empty());
}

TEST_F(DesktopAppModelTest, RestoreGivesASessionWithoutIdentifierAnUpperCaseUUIDEvenWhenDiscoveryFails) {
    migrationDone();
    const DesktopSession original = storeSignedIn(/*withDrive=*/false, /*withSessionID=*/false);
    service.overrideStatus(drivesRoute(), 500, localservice::FaultKnobs::kEveryCall);
    startModel();

    const std::optional<DesktopSession> saved = stored();
    ASSERT_TRUE(saved && saved->sessionID);
    EXPECT_TRUE(std::regex_match(*saved->sessionID, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")))
        << *saved->sessionID;
    EXPECT_EQ(saved->tokens, original.tokens);
    EXPECT_EQ(saved->drive, std::nullopt);

    // The failed discovery is silent: signed in under the default name, and the domain steps ran.
    EXPECT_EQ(recorder.take(), concat({{"isSignedIn true", "accountName Nimbuscrate", "isMounted false",
                                        std::string("status ") + Model::kReadyStatus},
                                       plainEncryptionStatus(),
                                       {"isBusy false"}}));
    EXPECT_EQ(scripted->calls(), (std::vector<std::string>{"get"}));
    EXPECT_EQ(model->state().errorMessage, std::nullopt);
}

TEST_F(DesktopAppModelTest, RestoreSavesTheDiscoveredDriveAndShowsTheRegisteredDomain) {
    migrationDone();
    scripted->setRegistered({ourDomain()});
    DesktopSession session = storeSignedIn(/*withDrive=*/false);
    startModel();

    EXPECT_EQ(recorder.take(), concat({{"isSignedIn true", std::string("accountName ") + kDriveName, "isMounted true",
                                        std::string("status ") + Model::kAvailableStatus},
                                       plainEncryptionStatus(),
                                       {"isBusy false"}}));
    session.drive = DriveSelection{kDriveId, kDriveName, *Url::parse(service.webDavUrl(kDriveId))};
    EXPECT_EQ(stored(), session);
}

TEST_F(DesktopAppModelTest, RestoreRacingASignInSavesNothing) {
    migrationDone();
    storeSignedIn(/*withDrive=*/false);
    const auto gate = service.hold(drivesRoute());
    startModel(false);
    ASSERT_TRUE(runUntil([&] { return gate->arrivals() >= 1; }));

    // Another sign-in stores its session while the discovery runs.
    const DesktopSession newer = storeSignedIn(/*withDrive=*/false);
    gate->open();
    ASSERT_TRUE(runUntil([&] { return model->restoreFinished(); }));

    EXPECT_EQ(recorder.take(),
              (std::vector<std::string>{errorLine(E2EEError::sessionChanged()), kAttention, "isBusy false"}));
    EXPECT_FALSE(model->state().isSignedIn);
    EXPECT_EQ(stored(), newer);
    EXPECT_TRUE(scripted->calls().empty());
}

TEST_F(DesktopAppModelTest, RestoreFailuresFollowTheFailureRule) {
    {
        SCOPED_TRACE("a stored session that cannot be read leaves the model signed out");
        migrationDone();
        sessionStore.save(bytesOf("not a session"));
        startModel();
        const auto entries = recorder.take();
        ASSERT_EQ(entries.size(), 3u);
        EXPECT_TRUE(entries[0].starts_with("errorMessage ")) << entries[0];
        EXPECT_EQ(entries[1], kAttention);
        EXPECT_EQ(entries[2], "isBusy false");
        EXPECT_FALSE(model->state().isSignedIn);
        finishModel();
    }
    {
        SCOPED_TRACE("the registration cannot be read: signed in, not mounted, attention");
        storeSignedIn();
        scripted->failNext("get", domainError("The host is not running."));
        startModel();
        EXPECT_EQ(recorder.take(), (std::vector<std::string>{"isSignedIn true", std::string("accountName ") + kDriveName,
                                                              "errorMessage The host is not running.", kAttention,
                                                              "isBusy false"}));
    }
}

// ---- The one-time re-registration ----

TEST_F(DesktopAppModelTest, TheDomainIsRegisteredAgainOnceUnderTheMigrationFlag) {
    struct Case {
        const char* name;
        bool flag;
        std::vector<fp::Domain> registered;
        bool addFails;
        std::vector<std::string> calls;  // the migration's and the registration check's
        bool flagAfter;
        bool mounted;
    };
    const fp::Domain other{"org.example.other", "Nimbuscrate"};
    const std::vector<Case> cases = {
        {"flag set: no calls but the check", true, {ourDomain()}, false, {"get"}, true, true},
        {"registered, flag unset", false, {ourDomain()}, false, {"get", "remove nimbuscrate", "add nimbuscrate", "get"},
         true, true},
        {"not registered, flag unset", false, {}, false, {"get", "add nimbuscrate", "get"}, true, true},
        {"a foreign identifier does not count", false, {other}, false, {"get", "add nimbuscrate", "get"}, true, true},
        {"the add fails", false, {ourDomain()}, true, {"get", "remove nimbuscrate", "add nimbuscrate"}, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        standardDefaults.remove(Model::kReplicatedDomainMigrationKey);
        if (c.flag) migrationDone();
        scripted->setRegistered(c.registered);
        scripted->clearCalls();
        if (c.addFails) scripted->failNext("add nimbuscrate", domainError("The domain could not be added."));
        storeSignedIn();
        startModel();
        EXPECT_EQ(scripted->calls(), c.calls);
        EXPECT_EQ(standardDefaults.boolean(Model::kReplicatedDomainMigrationKey).value_or(false), c.flagAfter);
        EXPECT_EQ(model->state().isMounted, c.mounted);
        if (c.addFails) {
            EXPECT_EQ(model->state().errorMessage, "The domain could not be added.");
            EXPECT_EQ(model->state().status, Model::kAttentionStatus);
            finishModel();
            // The next start runs the whole migration again.
            scripted->clearCalls();
            startModel();
            EXPECT_EQ(scripted->calls(), (std::vector<std::string>{"get", "add nimbuscrate", "get"}));
            EXPECT_EQ(standardDefaults.boolean(Model::kReplicatedDomainMigrationKey), true);
            EXPECT_TRUE(model->state().isMounted);
        }
        finishModel();
        recorder.take();
    }
    // The flag lives in the app's standard defaults, never in the group's.
    EXPECT_EQ(groupDefaults.boolean(Model::kReplicatedDomainMigrationKey), std::nullopt);
}

// ---- Sign-in ----

TEST_F(DesktopAppModelTest, SignInOnAPlainAccountEndsMountedAndShowsTheFolder) {
    migrationDone();
    useManager("/srv/Nimbuscrate");
    startModel();
    recorder.take();
    dataProtection->clear();

    auto signIn = model->signInAndMount();
    EXPECT_EQ(recorder.take(), (std::vector<std::string>{"isBusy true", "errorMessage none"}));
    completeBrowserSignIn();
    finish(signIn);

    EXPECT_EQ(recorder.take(),
              concat({{std::string("accountName ") + kDriveName, "isSignedIn true"},
                      plainEncryptionStatus(),
                      {"isMounted true", std::string("accountName ") + kDriveName,
                       std::string("status ") + Model::kMountedStatus, "isBusy false"}}));
    EXPECT_EQ(scripted->calls(), (std::vector<std::string>{"add nimbuscrate"}));
    EXPECT_EQ(revealer.shown, (std::vector<std::filesystem::path>{"/srv/Nimbuscrate"}));

    // Two saves of new sessions, each under its own identifier; the last holds the drive.
    const std::vector<std::string> saves = dataProtection->calls("update");
    EXPECT_GE(saves.size(), 2u);
    const std::optional<DesktopSession> session = stored();
    ASSERT_TRUE(session && session->drive && session->sessionID);
    EXPECT_EQ(session->drive->id, kDriveId);

    // A second sign-in stores yet another identifier.
    const std::string first = *session->sessionID;
    auto again = model->signInAndMount();
    completeBrowserSignIn(1);
    finish(again);
    EXPECT_NE(*stored()->sessionID, first);
}

TEST_F(DesktopAppModelTest, SignInStopsForTheUnlockAndThePassphraseUnlockMounts) {
    migrationDone();
    serveEncryptedAccount();
    auto manager = useManager();
    startModel();
    recorder.take();

    auto signIn = model->signInAndMount();
    completeBrowserSignIn();
    finish(signIn);
    EXPECT_EQ(recorder.take(),
              concat({{"isBusy true", "errorMessage none", std::string("accountName ") + kDriveName, "isSignedIn true"},
                      lockedEncryptionStatus(),
                      {"isBusy false", "passkeyLoading true"}}));
    finishPasskeyLoad();
    EXPECT_EQ(recorder.take(), (std::vector<std::string>{"passkeyItems 0", "passkeyMessage none", "passkeyLoading false"}));
    EXPECT_FALSE(model->state().isMounted);
    EXPECT_TRUE(revealer.shown.empty());
    EXPECT_TRUE(scripted->calls().empty());

    {
        SCOPED_TRACE("a wrong passphrase");
        auto wrong = model->unlockEncryption("not the passphrase", false);
        finish(wrong);
        EXPECT_EQ(recorder.take(), (std::vector<std::string>{"isBusy true", "errorMessage none",
                                                              errorLine(E2EEError::invalid()), kAttention,
                                                              "isBusy false"}));
    }

    auto unlock = model->unlockEncryption(passphrase(), false);
    finish(unlock);
    ASSERT_TRUE(runUntil([&] { return manager->signalled().size() == 2; }));
    EXPECT_EQ(recorder.take(),
              concat({{"isBusy true", "errorMessage none"},
                      unlockedEncryptionStatus(),
                      {"isMounted true"},
                      unlockedEncryptionStatus(),
                      {"isBusy false"}}));
    EXPECT_EQ(manager->signalled(), (std::vector<fp::ItemId>{fp::kRootContainer, fp::kWorkingSet}));
    EXPECT_EQ(scripted->calls(), (std::vector<std::string>{"add nimbuscrate"}));
    // The account is named although the sign-in stopped before the domain.
    EXPECT_EQ(model->state().accountName, kDriveName);

    {
        SCOPED_TRACE("unlocking while mounted adds no domain");
        auto recovery = model->unlockEncryption(*unlockFixtures().member("first").member("recoveryKey").stringValue(),
                                                true);
        finish(recovery);
        EXPECT_EQ(scripted->calls(), (std::vector<std::string>{"add nimbuscrate"}));
        EXPECT_EQ(recorder.take(), concat({{"isBusy true", "errorMessage none"},
                                           unlockedEncryptionStatus(),
                                           unlockedEncryptionStatus(),
                                           {"isBusy false"}}));
    }
}

TEST_F(DesktopAppModelTest, APasskeyUnlockMounts) {
    if (!fixturePasskeysApply()) GTEST_SKIP() << "the fixtures' passkeys are for the default web app host";
    migrationDone();
    serveEncryptedAccount();
    seedFixturePasskey();
    storeSignedIn();
    auto manager = useManager();
    startModel();
    EXPECT_TRUE(model->state().encryptionNeedsUnlock);
    finishPasskeyLoad();
    EXPECT_EQ(model->state().passkeyItems.size(), 1u);
    recorder.take();

    auto unlock = model->unlockEncryptionWithPasskey();
    finish(unlock);
    ASSERT_TRUE(runUntil([&] { return manager->signalled().size() == 2; }));
    EXPECT_EQ(recorder.take(), concat({{"isBusy true", "errorMessage none"},
                                       unlockedEncryptionStatus(),
                                       {"isMounted true"},
                                       unlockedEncryptionStatus(),
                                       {"isBusy false"}}));
    EXPECT_EQ(authenticator.assertions(), 1u);
    EXPECT_EQ(scripted->calls(), (std::vector<std::string>{"get", "add nimbuscrate"}));

    {
        SCOPED_TRACE("the user cancels the passkey sheet");
        authenticator.cancelEverything();
        auto none = model->unlockEncryptionWithPasskey();
        finish(none);
        EXPECT_EQ(recorder.take(), (std::vector<std::string>{"isBusy true", "errorMessage none",
                                                              errorLine(PasskeyError::cancelled()), kAttention,
                                                              "isBusy false"}));
    }
}

TEST_F(DesktopAppModelTest, ACancelledSignInStoresNothing) {
    migrationDone();
    startModel();
    recorder.take();
    auto signIn = model->signInAndMount();
    ASSERT_TRUE(runUntil([&] { return browser.opened.size() == 1; }));
    model->oauth().cancelSignIn();
    finish(signIn);
    EXPECT_EQ(recorder.take(), (std::vector<std::string>{"isBusy true", "errorMessage none",
                                                          errorLine(CancellationError()), kAttention, "isBusy false"}));
    EXPECT_EQ(stored(), std::nullopt);
    EXPECT_TRUE(dataProtection->calls("add").empty());
}

// The sign-in saves under the secret store's item lock, as the token refresh
// does: a refresh of the extension that holds the lock is never overwritten
// half-way, and the sign-in's session lands after it.
TEST_F(DesktopAppModelTest, TheSignInSavesUnderTheItemLock) {
    migrationDone();
    const DesktopSession old = storeSignedIn();
    startModel();
    std::unique_ptr<SecretItemLock> held = sessionStore.lock();

    auto signIn = model->signInAndMount();
    completeBrowserSignIn();
    // The sign-in waits for the lock: the stored session stays the old one.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ui.runPending();
    EXPECT_EQ(stored(), old);
    EXPECT_FALSE(signIn.done());

    held.reset();
    finish(signIn);
    ASSERT_TRUE(stored());
    EXPECT_NE(stored()->sessionID, old.sessionID);
    EXPECT_TRUE(model->state().isMounted);
}

// A refresh by the extension between the sign-in's two saves spends the
// first refresh token: the second save keeps the refreshed tokens.
TEST_F(DesktopAppModelTest, TheSignInKeepsTokensRefreshedBetweenItsSaves) {
    migrationDone();
    startModel();
    const auto gate = service.hold(drivesRoute());
    auto signIn = model->signInAndMount();
    completeBrowserSignIn();
    ASSERT_TRUE(runUntil([&] { return gate->arrivals() >= 1; }));

    DesktopSession refreshed = *stored();
    const localservice::IssuedTokens issued = service.issueTokens();
    refreshed.tokens = OAuthTokens{issued.accessToken, issued.refreshToken, clock.now().addingSeconds(3600)};
    {
        const auto itemLock = sessionStore.lock();
        sessionStore.save(bytesOf(refreshed.toJSON()));
    }
    gate->open();
    finish(signIn);

    const std::optional<DesktopSession> session = stored();
    ASSERT_TRUE(session && session->drive);
    EXPECT_EQ(session->tokens, refreshed.tokens);
    EXPECT_NE(session->sessionID, refreshed.sessionID);
    EXPECT_TRUE(model->state().isMounted);
}

// ---- Mount, unmount, refresh, open ----

TEST_F(DesktopAppModelTest, MountAndUnmount) {
    migrationDone();
    storeSignedIn(/*withDrive=*/false);
    startModel();
    recorder.take();
    model->setErrorMessage("an earlier failure");
    recorder.take();

    auto mount = model->mount();
    finish(mount);
    EXPECT_EQ(recorder.take(), concat({{"isBusy true"},
                                       plainEncryptionStatus(),
                                       {"isMounted true", std::string("status ") + Model::kAvailableStatus,
                                        "isBusy false"}}));
    // The earlier error stays, and no window opens.
    EXPECT_EQ(model->state().errorMessage, "an earlier failure");
    EXPECT_TRUE(revealer.shown.empty());
    EXPECT_EQ(stored()->drive->id, kDriveId);

    groupDefaults.setInteger(Model::kUploadCountKey, 1);
    ASSERT_TRUE(clock.waitForSleepers(1));
    clock.advance(Clock::Duration(Model::kUploadPollSeconds));
    ASSERT_TRUE(runUntil([&] { return model->state().isUploading; }));
    recorder.take();

    auto unmount = model->unmount();
    finish(unmount);
    EXPECT_EQ(recorder.take(), (std::vector<std::string>{"isBusy true", "isMounted false", "isUploading false",
                                                          std::string("status ") + Model::kUnmountedStatus,
                                                          "isBusy false"}));
    EXPECT_EQ(scripted->calls(), (std::vector<std::string>{"get", "add nimbuscrate", "remove nimbuscrate"}));
    EXPECT_TRUE(stored().has_value());

    {
        SCOPED_TRACE("a removal that fails");
        scripted->failNext("remove nimbuscrate", domainError("Busy."));
        auto failed = model->unmount();
        finish(failed);
        EXPECT_EQ(recorder.take(),
                  (std::vector<std::string>{"isBusy true", "errorMessage Busy.", kAttention, "isBusy false"}));
    }
}

TEST_F(DesktopAppModelTest, MountFailures) {
    migrationDone();
    startModel();
    recorder.take();
    {
        SCOPED_TRACE("no stored session");
        auto mount = model->mount();
        finish(mount);
        EXPECT_EQ(recorder.take(), (std::vector<std::string>{"isBusy true", errorLine(DesktopError::notAuthenticated()),
                                                              kAttention, "isBusy false"}));
    }
    {
        SCOPED_TRACE("discovery fails, unlike at restore");
        storeSignedIn();
        service.overrideStatus(drivesRoute(), 503);
        auto mount = model->mount();
        finish(mount);
        const auto entries = recorder.take();
        ASSERT_EQ(entries.size(), 4u);
        EXPECT_TRUE(entries[1].starts_with("errorMessage ")) << entries[1];
        EXPECT_FALSE(model->state().isMounted);
    }
    {
        SCOPED_TRACE("the session was replaced during the discovery");
        storeSignedIn();
        const auto gate = service.hold(drivesRoute());
        auto mount = model->mount();
        ASSERT_TRUE(runUntil([&] { return gate->arrivals() >= 1; }));
        const DesktopSession newer = storeSignedIn();
        gate->open();
        finish(mount);
        EXPECT_EQ(recorder.take(), (std::vector<std::string>{"isBusy true", errorLine(E2EEError::sessionChanged()),
                                                              kAttention, "isBusy false"}));
        EXPECT_EQ(stored(), newer);
        EXPECT_TRUE(scripted->calls().empty());
    }
}

TEST_F(DesktopAppModelTest, RefreshSignalsTheRootThenTheWorkingSet) {
    migrationDone();
    storeSignedIn();
    startModel();
    recorder.take();
    {
        SCOPED_TRACE("no manager: only the encryption status");
        auto refresh = model->refresh();
        finish(refresh);
        EXPECT_EQ(recorder.take(), plainEncryptionStatus());
    }
    auto manager = useManager();
    {
        auto refresh = model->refresh();
        finish(refresh);
        EXPECT_EQ(manager->signalled(), (std::vector<fp::ItemId>{fp::kRootContainer, fp::kWorkingSet}));
        EXPECT_EQ(recorder.take(), plainEncryptionStatus());
    }
    {
        SCOPED_TRACE("the root's signal fails: the working set is still signalled, the failure shows after");
        manager->setFailure(domainError("The folder could not be read."));
        manager->script("signal", "fail, ok");
        auto refresh = model->refresh();
        finish(refresh);
        EXPECT_EQ(manager->signalled().size(), 4u);
        EXPECT_EQ(recorder.take(), concat({plainEncryptionStatus(),
                                           {"errorMessage The folder could not be read.", kAttention}}));
        EXPECT_FALSE(model->state().isBusy);
    }
    {
        SCOPED_TRACE("the encryption status fails: nothing is signalled, isBusy untouched");
        service.overrideStatus(Route{"GET", "", "/api/v1/e2ee/account"}, 500);
        auto refresh = model->refresh();
        finish(refresh);
        const auto entries = recorder.take();
        ASSERT_EQ(entries.size(), 2u);
        EXPECT_EQ(entries[0], errorLine(DesktopError::server(500, E2EEClient::kServerFailureMessage)));
        EXPECT_EQ(entries[1], kAttention);
        EXPECT_EQ(manager->signalled().size(), 4u);
    }
}

TEST_F(DesktopAppModelTest, OpenInFinderShowsTheFolder) {
    migrationDone();
    startModel();
    recorder.take();
    {
        SCOPED_TRACE("no manager: nothing");
        auto open = model->openInFinder();
        finish(open);
        EXPECT_TRUE(revealer.shown.empty());
    }
    auto manager = useManager("/home/someone/Nimbuscrate");
    {
        auto open = model->openInFinder();
        finish(open);
        EXPECT_EQ(revealer.shown, (std::vector<std::filesystem::path>{"/home/someone/Nimbuscrate"}));
        EXPECT_TRUE(recorder.take().empty());
    }
    {
        SCOPED_TRACE("the folder cannot be found: the failure shows after");
        manager->setFailure(domainError("No such domain."));
        manager->script("userVisiblePath", "fail");
        auto open = model->openInFinder();
        finish(open);
        EXPECT_EQ(revealer.shown.size(), 1u);
        EXPECT_EQ(recorder.take(), (std::vector<std::string>{"errorMessage No such domain.", kAttention}));
    }
}

// ---- Sign-out ----

TEST_F(DesktopAppModelTest, SignOutDeletesTheKeyItemThenTheSessionInBothBackendsAndKeepsTheIdentity) {
    migrationDone();
    scripted->setRegistered({ourDomain()});
    const DesktopSession session = storeSignedIn();
    const KeychainStore keys(KeychainStore::kKeysService, *session.sessionID, backends);
    const KeychainStore identity(KeychainStore::kIdentityService, "acct_1", backends);
    keys.save(bytesOf("{}"));
    identity.save(bytesOf("{}"));
    startModel();
    recorder.take();
    dataProtection->clear();
    legacy->clear();

    auto signOut = model->signOut();
    finish(signOut);
    EXPECT_EQ(recorder.take(),
              concat({{"isBusy true", "passkeyItems 0", "passkeyMessage none"},
                      {"encryptionNeedsUnlock false", "encryptionNeedsSetup false", "encryptionEnabled false",
                       "encryptionPaused false", "isSignedIn false", "isMounted false", "isUploading false",
                       "accountName ", std::string("status ") + Model::kSignedOutStatus, "isBusy false"}}));
    EXPECT_EQ(scripted->calls(), (std::vector<std::string>{"get", "get", "remove nimbuscrate"}));

    const std::string keyItem = std::string(KeychainStore::kKeysService) + " " + *session.sessionID;
    const std::string sessionItem = std::string(KeychainStore::kSessionService) + " " + KeychainStore::kSessionAccount;
    EXPECT_EQ(dataProtection->calls("remove"), (std::vector<std::string>{"remove dataProtection " + keyItem,
                                                                          "remove dataProtection " + sessionItem}));
    EXPECT_EQ(legacy->calls("remove"),
              (std::vector<std::string>{"remove legacy " + keyItem, "remove legacy " + sessionItem}));
    EXPECT_EQ(stored(), std::nullopt);
    EXPECT_EQ(keys.read(), std::nullopt);
    EXPECT_TRUE(identity.read().has_value());
}

TEST_F(DesktopAppModelTest, SignOutWithAKeyItemThatCannotGoKeepsTheSessionAndTheFlags) {
    migrationDone();
    serveEncryptedAccount();
    const DesktopSession session = storeSignedIn();
    startModel();
    ASSERT_TRUE(model->state().isSignedIn);
    ASSERT_TRUE(model->state().encryptionNeedsUnlock);
    finishPasskeyLoad();
    recorder.take();
    legacy->failRemovals(KeychainStore::kKeysService, -25293);

    auto signOut = model->signOut();
    finish(signOut);
    const auto entries = recorder.take();
    ASSERT_EQ(entries.size(), 6u);
    EXPECT_EQ(entries[3], errorLine(KeychainStore::keychainError(-25293)));
    EXPECT_EQ(entries[4], kAttention);
    EXPECT_EQ(entries[5], "isBusy false");
    EXPECT_EQ(stored(), session);
    EXPECT_TRUE(model->state().isSignedIn);
    EXPECT_TRUE(model->state().encryptionEnabled);
    EXPECT_TRUE(model->state().encryptionNeedsUnlock);
    EXPECT_EQ(model->state().accountName, kDriveName);
}

TEST_F(DesktopAppModelTest, SignOutEndsAPasskeySheetThatIsOpen) {
    if (!fixturePasskeysApply()) GTEST_SKIP() << "the fixtures' passkeys are for the default web app host";
    migrationDone();
    serveEncryptedAccount();
    seedFixturePasskey();
    storeSignedIn();
    startModel();
    authenticator.stayQuiet();
    auto unlock = model->unlockEncryptionWithPasskey();
    ASSERT_TRUE(runUntil([&] { return authenticator.assertions() == 1; }));

    auto signOut = model->signOut();
    finish(signOut);
    finish(unlock);
    EXPECT_FALSE(model->passkeyProvider().isBusy());
    EXPECT_EQ(model->state().errorMessage, PasskeyError::cancelled().what());
    EXPECT_FALSE(model->state().isSignedIn);
    EXPECT_EQ(model->state().status, Model::kSignedOutStatus);
    EXPECT_FALSE(model->state().isBusy);
    EXPECT_EQ(stored(), std::nullopt);
}

// ---- Upload poll ----

TEST_F(DesktopAppModelTest, TheUploadPollWritesOnlyChanges) {
    migrationDone();
    startModel();
    recorder.take();
    for (const std::int64_t count : {0, 2, 1, 0}) {
        SCOPED_TRACE(count);
        groupDefaults.setInteger(Model::kUploadCountKey, count);
        ASSERT_TRUE(clock.waitForSleepers(1));
        clock.advance(Clock::Duration(Model::kUploadPollSeconds));
        // The next tick has read the count when the poll sleeps again.
        ASSERT_TRUE(clock.waitForSleepers(1));
        ASSERT_TRUE(runUntil([&] { return model->state().isUploading == (count >= 1); }));
    }
    ui.runPending();
    EXPECT_EQ(recorder.take(), (std::vector<std::string>{"isUploading true", "isUploading false"}));

    // Destroying the model ends the poll's sleep at once.
    finishModel();
    EXPECT_EQ(clock.sleepers(), 0u);
}

}  // namespace
}  // namespace nimbuscrate
