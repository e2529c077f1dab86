// The model's encryption status, passkey list, passkey add and remove, and
// the free-up-space action, headless: a UI executor run by hand, the local
// service's account API, the software authenticator, a scripted manager.
// Each case compares the change notifications with the sequence users see.

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/fileprovider/testing/FakeManager.h"
#include "platform/fileprovider/testing/StaticEnumerator.h"
#include "platform/passkeys/SoftwareAuthenticator.h"
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
using testing::unlockFixtures;
using Model = DesktopAppModel;
using Lines = std::vector<std::string>;

const std::string kAccountHost = NIMBUSCRATE_ACCOUNT_API_HOST;

std::string statusLine(const std::string& text) { return "status " + text; }

class DesktopAppModelEncryptionTest : public testing::AppModelFixture {
protected:
    void SetUp() override {
        AppModelFixture::SetUp();
        if (IsSkipped()) return;
        if (webAppURL().host() != *unlockFixtures().member("rpId").stringValue()) {
            GTEST_SKIP() << "the fixtures' passkeys are for the default web app host";
        }
        migrationDone();
        // No stored session: the restore ends at once.
        startModel();
        recorder.take();
        session = storeSignedIn();
    }

    // The model over the software authenticator (registrations included).
    void useSoftwareAuthenticator() {
        finishModel();
        const Model::Services base = services();
        model = std::make_unique<Model>(Model::Services{base.ui, base.workers, base.clock, base.sessionStore,
                                                        base.files, base.encryption, base.domains,
                                                        base.standardDefaults, base.groupDefaults, base.revealer,
                                                        base.web, base.transport, software, base.relyingPartyID});
        recorder.attach(*model);
        ASSERT_TRUE(runUntil([&] { return model->restoreFinished(); }));
        recorder.take();
    }

    const E2EEJSON& keySet(const char* which) const { return unlockFixtures().member(which); }
    const E2EEJSON& keys() const { return keySet("first").member("keys"); }
    const E2EEJSON& stored(std::size_t index) const {
        return (*unlockFixtures().member("passkeys").arrayValue())[index].member("stored");
    }

    // The account record of the first key set, in a mode.
    E2EEJSON account(const std::string& mode, bool withKeyRecord = true, bool onboarding = false) const {
        return E2EEJSON::object({{"accountId", unlockFixtures().member("accountId")},
                                 {"format", "nimbuscrate-tink-aes256-v1"},
                                 {"mode", mode},
                                 {"onboardingRequired", onboarding},
                                 {"keyRecord", withKeyRecord ? keySet("first").member("keyRecord") : E2EEJSON(nullptr)},
                                 {"ownedDriveIds", E2EEJSON::array({kDriveId})},
                                 {"primaryDriveId", kDriveId}});
    }
    void serve(const E2EEJSON& record) { setAccount(record.canonicalString()); }
    // The unlocked key set of the session, as an unlock leaves it.
    void storeKeys() {
        KeychainStore(E2EEClient::kKeysService, *session.sessionID, backends).save(bytesOf(keys().canonicalString()));
    }

    localservice::PasskeyApi& passkeys() { return service.accountApi().passkeys(); }
    // A passkey registered on another device.
    void seed(const E2EEJSON& passkey) {
        passkeys().seed(signedPasskeyAddIntent(keys(), passkeys().generation(), passkey).canonicalString());
    }
    void seedOthers(std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            seed(wrapForPasskey(keys(), makePasskeyRecord("Other " + std::to_string(i)), E2EECrypto::randomBytes(32)));
        }
    }
    Route listRoute() const { return Route{"GET", kAccountHost, "/api/v1/e2ee/account/passkeys"}; }
    std::size_t listRequests() { return service.requests().matching("GET", "/api/v1/e2ee/account/passkeys").size(); }

    template <class T>
    T run(UiTask<T> task) {
        finish(task);
        return task.result();
    }
    // Runs the status refresh, then the passkey load it started (if any) to its end.
    void refreshStatus() {
        run(model->refreshEncryptionStatus());
        settle();
    }
    // Runs what is queued until nothing waits on the UI executor and no
    // passkey load runs.
    void settle() {
        ASSERT_TRUE(runUntil([&] { return ui.pending() == 0 && !model->state().passkeyLoading; }));
    }

    static Lines status(bool enabled, bool setup, bool unlock, bool paused, std::optional<std::string> text) {
        auto flag = [](bool value) { return std::string(value ? "true" : "false"); };
        Lines lines{"encryptionEnabled " + flag(enabled), "encryptionNeedsSetup " + flag(setup),
                    "encryptionNeedsUnlock " + flag(unlock), "encryptionPaused " + flag(paused)};
        if (text) lines.push_back(statusLine(*text));
        return lines;
    }
    static Lines loaded(std::size_t items) {
        return {"passkeyLoading true", "passkeyItems " + std::to_string(items), "passkeyMessage none",
                "passkeyLoading false"};
    }
    static Lines loadFailed() {
        return {"passkeyLoading true", "passkeyItems 0",
                std::string("passkeyMessage ") + Model::kPasskeyLoadFailedMessage, "passkeyLoading false"};
    }

    DesktopSession session;
    SoftwareAuthenticator software;
};

// ---- Encryption status ----

TEST_F(DesktopAppModelEncryptionTest, StatusFlagsAndTextsFollowTheAccountState) {
    const std::string setupText = E2EEError::setup().errorDescription();
    struct Row {
        std::string name;
        E2EEJSON account;
        bool unlocked;
        Lines expected;
    };
    const Row rows[] = {
        {"no encryption: the caller's text stays", account("legacy", false), false,
         status(false, false, false, false, std::nullopt)},
        {"onboarding without keys", account("legacy", false, true), false, status(true, true, false, false, setupText)},
        {"required without keys", account("required", false), false, status(true, true, false, false, setupText)},
        {"paused without keys: setup comes first", account("write_paused", false), false,
         status(true, true, false, true, setupText)},
        {"locked", account("required"), false,
         concat({status(true, false, true, false, Model::kUnlockStatus), loaded(1)})},
        {"locked and paused: unlock comes first", account("write_paused"), false,
         concat({status(true, false, true, true, Model::kUnlockStatus), loaded(1)})},
        {"paused", account("write_paused"), true,
         concat({status(true, false, false, true, Model::kPausedStatus), loaded(1)})},
        {"ready", account("required"), true,
         concat({status(true, false, false, false, Model::kEncryptionReadyStatus), loaded(1)})},
    };
    seed(stored(0));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        // A fresh model, so that no earlier list load holds back discovery,
        // restored without a session; then a new session.
        finishModel();
        sessionStore.deleteItem();
        startModel();
        recorder.take();
        session = storeSignedIn();
        serve(row.account);
        if (row.unlocked) storeKeys();

        const std::size_t listsBefore = listRequests();
        refreshStatus();
        EXPECT_EQ(recorder.take(), row.expected);
        const bool discovers = std::count(row.expected.begin(), row.expected.end(), "passkeyLoading true") == 1;
        EXPECT_EQ(listRequests() - listsBefore, discovers ? 1u : 0u);
        EXPECT_EQ(model->state().passkeyItems.size(), discovers ? 1u : 0u);
    }
}

TEST_F(DesktopAppModelEncryptionTest, AFailedStatusReadChangesNothingAndReachesTheCaller) {
    serve(account("required"));
    service.overrideStatus(Route{"GET", kAccountHost, "/api/v1/e2ee/account"}, 503);
    UiTask<void> task = model->refreshEncryptionStatus();
    finish(task);
    try {
        task.result();
        ADD_FAILURE() << "no error";
    } catch (const DesktopError& error) {
        EXPECT_EQ(error.kind(), DesktopError::Kind::server);
    }
    settle();
    EXPECT_EQ(recorder.take(), Lines{});
    EXPECT_EQ(listRequests(), 0u);
}

// ---- The passkey list ----

TEST_F(DesktopAppModelEncryptionTest, TheListLoadsOnceAfterwardsRefreshesLoadNoMore) {
    serve(account("required"));
    seed(stored(0));
    seed(stored(1));
    refreshStatus();
    EXPECT_EQ(recorder.take(), concat({status(true, false, true, false, Model::kUnlockStatus), loaded(2)}));
    EXPECT_EQ(model->state().passkeyItems, (std::vector<E2EEJSON>{stored(0), stored(1)}));

    // A loaded list is not loaded again by the status...
    refreshStatus();
    EXPECT_EQ(recorder.take(), status(true, false, true, false, Model::kUnlockStatus));
    EXPECT_EQ(listRequests(), 1u);
    // ...but by the settings sheet.
    seedOthers(1);
    run(model->refreshPasskeys());
    EXPECT_EQ(recorder.take(), loaded(3));
    EXPECT_EQ(listRequests(), 2u);
}

TEST_F(DesktopAppModelEncryptionTest, AFailedLoadShowsTheFixedTextAndClearsTheList) {
    serve(account("required"));
    storeKeys();
    seed(stored(0));
    run(model->refreshPasskeys());
    EXPECT_EQ(recorder.take(), loaded(1));

    service.overrideStatus(listRoute(), 500);
    run(model->refreshPasskeys());
    EXPECT_EQ(recorder.take(), loadFailed());
    // Without a context, removing does nothing.
    run(model->deletePasskey(stored(0)));
    EXPECT_EQ(recorder.take(), Lines{});
    EXPECT_EQ(passkeys().acceptedIntents().size(), 0u);

    {
        SCOPED_TRACE("a malformed list is a failed load too");
        passkeys().serveMalformedList(localservice::PasskeyApi::MalformedList::duplicate);
        run(model->refreshPasskeys());
        EXPECT_EQ(recorder.take(), loadFailed());
    }
    {
        SCOPED_TRACE("and so is an account without a key record");
        serve(account("required", false));
        run(model->refreshPasskeys());
        EXPECT_EQ(recorder.take(), loadFailed());
    }
}

TEST_F(DesktopAppModelEncryptionTest, ALoadWhileOneRunsReturnsAtOnce) {
    serve(account("required"));
    seed(stored(0));
    auto gate = service.hold(listRoute());
    UiTask<void> first = model->refreshPasskeys();
    ASSERT_TRUE(gate->waitForArrivals(1, std::chrono::seconds(30)));
    UiTask<void> second = model->refreshPasskeys();
    EXPECT_TRUE(second.done());
    EXPECT_EQ(recorder.take(), Lines{"passkeyLoading true"});
    gate->open();
    finish(first);
    EXPECT_EQ(recorder.take(), Lines({"passkeyItems 1", "passkeyMessage none", "passkeyLoading false"}));
    EXPECT_EQ(listRequests(), 1u);
}

TEST_F(DesktopAppModelEncryptionTest, ACancelledLoadKeepsTheListAndOnlyEndsLoading) {
    serve(account("required"));
    seed(stored(0));
    run(model->refreshPasskeys());
    recorder.take();
    seedOthers(2);

    auto gate = service.hold(listRoute());
    std::stop_source stop;
    UiTask<void> load = model->refreshPasskeys(stop.get_token());
    ASSERT_TRUE(gate->waitForArrivals(1, std::chrono::seconds(30)));
    stop.request_stop();
    gate->open();
    finish(load);
    EXPECT_EQ(recorder.take(), Lines({"passkeyLoading true", "passkeyLoading false"}));
    EXPECT_EQ(model->state().passkeyItems, std::vector<E2EEJSON>{stored(0)});
}

TEST_F(DesktopAppModelEncryptionTest, ANewDiscoveryCancelsTheRunningOneAndLoadsAfterIt) {
    serve(account("required"));
    seed(stored(0));
    auto gate = service.hold(listRoute());
    run(model->refreshEncryptionStatus());
    ASSERT_TRUE(runUntil([&] { return gate->arrivals() == 1; }));
    EXPECT_EQ(recorder.take(),
              concat({status(true, false, true, false, Model::kUnlockStatus), {"passkeyLoading true"}}));

    // The account is unlocked meanwhile; the status is read again and the
    // first discovery, still waiting for the service, is cancelled.
    storeKeys();
    seedOthers(1);
    run(model->refreshEncryptionStatus());
    gate->open();
    service.clearFaults();
    settle();
    EXPECT_EQ(recorder.take(), concat({status(true, false, false, false, Model::kEncryptionReadyStatus),
                                       {"passkeyLoading false"},
                                       loaded(2)}));
    EXPECT_EQ(model->state().passkeyItems.size(), 2u);
    EXPECT_EQ(listRequests(), 2u);
}

// ---- Adding and removing ----

TEST_F(DesktopAppModelEncryptionTest, AddsAPasskeyWithTheAuthenticatorAndRemovesIt) {
    useSoftwareAuthenticator();
    serve(account("required"));
    storeKeys();
    seed(stored(0));
    run(model->refreshPasskeys());
    recorder.take();

    EXPECT_TRUE(run(model->createPasskey("  My laptop ")));
    EXPECT_EQ(recorder.take(), concat({{"isBusy true", "passkeyMessage none"}, loaded(2), {"isBusy false"}}));
    ASSERT_EQ(software.registrations().size(), 1u);
    ASSERT_EQ(software.assertions().size(), 1u);
    EXPECT_EQ(software.assertions()[0].allowedCredentials.size(), 1u);
    const std::vector<E2EEJSON> items = model->state().passkeyItems;
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0], stored(0));
    EXPECT_EQ(*items[1].member("label").stringValue(), "My laptop");
    EXPECT_EQ(*items[1].member("rpId").stringValue(), webAppURL().host());
    EXPECT_EQ(passkeys().count(), 2u);

    {
        SCOPED_TRACE("the new passkey unlocks the account");
        SecretBytes prf;
        bool answered = false;
        model->passkeyProvider().assertPasskey({items[1]}, [&](PasskeyAssertionOutcome outcome) {
            answered = true;
            ASSERT_FALSE(outcome.error);
            prf = outcome.assertion->prf;
        });
        ASSERT_TRUE(runUntil([&] { return answered; }));
        KeychainStore(E2EEClient::kKeysService, *session.sessionID, backends).deleteItem();
        encryption->unlockWithPasskey(items[1], prf, encryption->loadPasskeys(false));
        EXPECT_EQ(encryption->unlockedKeyRecord(), keys());
    }

    run(model->deletePasskey(items[0]));
    EXPECT_EQ(recorder.take(), concat({{"isBusy true", "passkeyMessage none"}, loaded(1), {"isBusy false"}}));
    EXPECT_EQ(model->state().passkeyItems, std::vector<E2EEJSON>{items[1]});
    EXPECT_EQ(passkeys().count(), 1u);
}

TEST_F(DesktopAppModelEncryptionTest, AddingFailsWithTheErrorsOwnText) {
    useSoftwareAuthenticator();
    storeKeys();
    struct Row {
        std::string name;
        std::function<void()> arrange;
        std::string message;
        std::size_t registrations;
    };
    const Row rows[] = {
        {"the user cancels", [&] { software.setBehaviour(SoftwareAuthenticator::Behaviour::cancel); },
         PasskeyError::cancelled().errorDescription(), 1},
        {"a locked account",
         [&] { KeychainStore(E2EEClient::kKeysService, *session.sessionID, backends).deleteItem(); },
         E2EEError::locked().errorDescription(), 0},
        {"an account without an id",
         [&] {
             E2EEJSON record = account("required");
             record.setMember(nullptr, "accountId");
             serve(record);
         },
         E2EEError::invalid().errorDescription(), 0},
        {"the service refuses the new passkey",
         [&] {
             service.overrideStatus(Route{"POST", kAccountHost, "/api/v1/e2ee/account/passkeys"}, 500);
         },
         DesktopError::server(500, E2EEClient::kServerFailureMessage).what(), 1},
        {"ten passkeys", [&] { seedOthers(10); }, PasskeyError::limit().errorDescription(), 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        serve(account("required"));
        storeKeys();
        software.setBehaviour(SoftwareAuthenticator::Behaviour::succeed);
        const std::size_t registrationsBefore = software.registrations().size();
        row.arrange();
        recorder.take();

        EXPECT_FALSE(run(model->createPasskey("Laptop")));
        EXPECT_EQ(recorder.take(),
                  Lines({"isBusy true", "passkeyMessage none", "passkeyMessage " + row.message, "isBusy false"}));
        EXPECT_EQ(software.registrations().size() - registrationsBefore, row.registrations);
        EXPECT_TRUE(passkeys().acceptedIntents().empty());
    }
}

TEST_F(DesktopAppModelEncryptionTest, RemovingAPasskeyRemovedElsewhereShowsTheChange) {
    serve(account("required"));
    storeKeys();
    seed(stored(0));
    seed(stored(1));
    run(model->refreshPasskeys());
    recorder.take();

    // Another device removes it first.
    const E2EEClient::PasskeySnapshot snapshot = encryption->loadPasskeys(true);
    encryption->removePasskey(stored(0), snapshot.login, snapshot.account);

    run(model->deletePasskey(stored(0)));
    EXPECT_EQ(recorder.take(), Lines({"isBusy true", "passkeyMessage none",
                                      "passkeyMessage " + PasskeyError::changed().errorDescription(), "isBusy false"}));
    // The list shown stays until it is loaded again.
    EXPECT_EQ(model->state().passkeyItems.size(), 2u);
}

// ---- Free up space ----

TEST_F(DesktopAppModelEncryptionTest, FreeingSpaceShowsTheResultOrTheFailure) {
    const Lines start{"isBusy true", "errorMessage none", statusLine(Model::kRemovingCopiesStatus)};
    {
        SCOPED_TRACE("no manager for the domain");
        run(model->freeUpSpace());
        EXPECT_EQ(recorder.take(), concat({start,
                                           {std::string("errorMessage ") + DesktopError::invalidResponse().what(),
                                            statusLine(Model::kAttentionStatus), "isBusy false"}}));
    }
    auto manager = std::make_shared<fp::testing::FakeManager>(workers, clock);
    scripted->setManager(manager);
    std::vector<fp::ItemPtr> files;
    for (const char* id : {"a", "b", "c", "d", "e"}) {
        fp::ItemProperties properties;
        properties.identifier = id;
        properties.parent = fp::kRootContainer;
        properties.filename = id;
        properties.contentType = fp::ContentType::data();
        files.push_back(fp::ItemSnapshot::make(properties));
    }
    manager->setMaterializedEnumerator(std::make_shared<fp::testing::StaticEnumerator>(workers, files, 2));
    manager->script("evict: ok, fail, ok, fail, ok");
    {
        SCOPED_TRACE("three of five removed");
        run(model->freeUpSpace());
        EXPECT_EQ(recorder.take(),
                  concat({start,
                          {statusLine("Removed 3 local file copies. 2 files were kept because it is still uploading, "
                                      "has unsynced changes, or is in use."),
                           "isBusy false"}}));
    }
    {
        SCOPED_TRACE("the wait for pending changes fails");
        manager->setFailure(fp::Error{fp::kCocoaErrorDomain, 4101, fp::ErrorUserInfo{"Not synced yet", nullptr}});
        manager->script("waitForChanges: fail");
        const std::size_t evictions = manager->calls("evict").size();
        run(model->freeUpSpace());
        EXPECT_EQ(
            recorder.take(),
            concat({start, {"errorMessage Not synced yet", statusLine(Model::kAttentionStatus), "isBusy false"}}));
        EXPECT_EQ(manager->calls("evict").size(), evictions);
    }
}

}  // namespace
}  // namespace nimbuscrate
