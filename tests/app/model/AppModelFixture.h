#pragma once

// What the app model's tests share: the model on a UI executor run by hand
// and a manual clock, against the local service (sign-in, drives, the
// account API), with a scripted domain registration, a file manager that
// records what it was asked to show, secret items whose backend calls are
// recorded, and a recorder of every change notification.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/model/DesktopAppModel.h"
#include "platform/fileprovider/testing/FakeManager.h"
#include "platform/http/HttpTransport.h"
#include "platform/secretstore/FileSecretStore.h"
#include "shared/encryption/E2EECrypto.h"
#include "shared/session/MappingStore.h"
#include "shared/session/OAuthClient.h"
#include "shared/session/PlainOnlyDriveService.h"
#include "shared/session/ServiceEndpoints.h"
#include "shared/session/TokenProvider.h"
#include "tests/app/model/SignInTestSupport.h"
#include "tests/support/Eventually.h"

namespace nimbuscrate::testing {

// A secret backend that forwards to a file store and records every call as
// "<operation> <service> <account>"; a status can be scripted for the next
// removals of a service.
class RecordingSecretBackend final : public SecretBackend {
public:
    RecordingSecretBackend(std::string name, std::shared_ptr<FileSecretStore> store)
        : name_(std::move(name)), store_(std::move(store)) {}

    SecretCopyResult copy(const SecretItemKey& key) override {
        record("copy", key);
        return store_->copy(key);
    }
    SecretStatus update(const SecretItemKey& key, const Bytes& data) override {
        record("update", key);
        return store_->update(key, data);
    }
    SecretStatus add(const SecretItemKey& key, const Bytes& data) override {
        record("add", key);
        return store_->add(key, data);
    }
    SecretStatus remove(const SecretItemKey& key) override {
        record("remove", key);
        std::lock_guard lock(mutex_);
        auto scripted = failRemoval_.find(key.service);
        if (scripted != failRemoval_.end()) return scripted->second;
        return store_->remove(key);
    }

    // Removals of items of the service answer with the status.
    void failRemovals(const std::string& service, SecretStatus status) {
        std::lock_guard lock(mutex_);
        failRemoval_[service] = status;
    }
    std::vector<std::string> calls(const std::string& operation) const {
        std::lock_guard lock(mutex_);
        std::vector<std::string> found;
        for (const auto& call : calls_) {
            if (call.starts_with(operation + " ")) found.push_back(call);
        }
        return found;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        calls_.clear();
    }
    FileSecretStore& store() { return *store_; }

private:
    void record(const std::string& operation, const SecretItemKey& key) {
        std::lock_guard lock(mutex_);
        calls_.push_back(operation + " " + name_ + " " + key.service + " " + key.account);
    }

    std::string name_;
    std::shared_ptr<FileSecretStore> store_;
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
    std::map<std::string, SecretStatus> failRemoval_;
};

// Domain registration as the system would answer it, scripted: calls are
// recorded as "get", "add <id>", "remove <id>" and answered from a task of
// the pool (never inside the call).
class ScriptedDomainService final : public fp::DomainService {
public:
    explicit ScriptedDomainService(TaskPool& pool) : pool_(pool) {}

    void addDomain(const fp::Domain& domain, Completion done) override {
        auto error = take("add " + domain.identifier);
        if (!error) {
            std::lock_guard lock(mutex_);
            registered_.push_back(domain);
        }
        answer([done, error] { done(error); });
    }
    void removeDomain(const fp::Domain& domain, Completion done) override {
        auto error = take("remove " + domain.identifier);
        if (!error) {
            std::lock_guard lock(mutex_);
            std::erase_if(registered_, [&](const fp::Domain& entry) { return entry.sameIdentifier(domain); });
            if (onRemove_) onRemove_();
        }
        answer([done, error] { done(error); });
    }
    void getDomains(std::function<void(std::vector<fp::Domain>, std::optional<fp::Error>)> done) override {
        auto error = take("get");
        std::vector<fp::Domain> list;
        if (!error) list = registered();
        answer([done, error, list] { done(error ? std::vector<fp::Domain>{} : list, error); });
    }
    fp::ManagerPtr managerFor(const fp::Domain&) override {
        std::lock_guard lock(mutex_);
        return manager_;
    }

    // The next call of the kind ("get", "add nimbuscrate", ...) fails with the error.
    void failNext(const std::string& call, fp::Error error) {
        std::lock_guard lock(mutex_);
        failures_[call].push_back(std::move(error));
    }
    void setRegistered(std::vector<fp::Domain> domains) {
        std::lock_guard lock(mutex_);
        registered_ = std::move(domains);
    }
    std::vector<fp::Domain> registered() const {
        std::lock_guard lock(mutex_);
        return registered_;
    }
    void setManager(fp::ManagerPtr manager) {
        std::lock_guard lock(mutex_);
        manager_ = std::move(manager);
    }
    // Runs when a removal succeeds (before it is answered).
    void onRemove(std::function<void()> hook) {
        std::lock_guard lock(mutex_);
        onRemove_ = std::move(hook);
    }
    std::vector<std::string> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    void clearCalls() {
        std::lock_guard lock(mutex_);
        calls_.clear();
    }

private:
    std::optional<fp::Error> take(const std::string& call) {
        std::lock_guard lock(mutex_);
        calls_.push_back(call);
        auto scripted = failures_.find(call);
        if (scripted == failures_.end() || scripted->second.empty()) return std::nullopt;
        fp::Error error = scripted->second.front();
        scripted->second.pop_front();
        return error;
    }
    void answer(std::function<void()> reply) {
        if (!pool_.submit([reply](std::stop_token) { reply(); })) reply();
    }

    TaskPool& pool_;
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
    std::vector<fp::Domain> registered_;
    std::map<std::string, std::deque<fp::Error>> failures_;
    fp::ManagerPtr manager_;
    std::function<void()> onRemove_;
};

// The file manager: records the folders it was asked to show.
class RecordingRevealer final : public FolderRevealer {
public:
    void reveal(const std::filesystem::path& folder) override { shown.push_back(folder); }
    std::vector<std::filesystem::path> shown;
};

// An authenticator that answers assertions with known PRF outputs of known
// credentials (the committed fixtures), as a device holding them would.
class FixtureAuthenticator final : public PasskeyAuthenticator {
public:
    void addCredential(Bytes credentialID, SecretBytes prf) { prfs_[credentialID] = std::move(prf); }
    std::size_t assertions() const { return assertions_.load(); }
    // From now on the user cancels every ceremony.
    void cancelEverything() { cancel_ = true; }
    // From now on ceremonies never answer (a sheet left open).
    void stayQuiet() { quiet_ = true; }

    std::shared_ptr<PasskeyAuthenticatorOperation> registerCredential(PasskeyRegistrationRequest,
                                                                      Completion completion) override {
        completion(std::nullopt, std::make_exception_ptr(PasskeyAuthenticatorError(
                                     PasskeyAuthenticatorError::Kind::unsupported, "registration is not scripted")));
        return std::make_shared<Operation>();
    }
    std::shared_ptr<PasskeyAuthenticatorOperation> assertCredential(PasskeyAssertionRequest request,
                                                                    Completion completion) override {
        ++assertions_;
        if (quiet_) return std::make_shared<Operation>();
        if (cancel_) {
            completion(std::nullopt, std::make_exception_ptr(PasskeyAuthenticatorError(
                                         PasskeyAuthenticatorError::Kind::cancelled, "the user cancelled")));
            return std::make_shared<Operation>();
        }
        for (const auto& allowed : request.allowedCredentials) {
            auto found = prfs_.find(allowed.credentialID);
            if (found == prfs_.end()) continue;
            PasskeyAuthenticatorReply reply;
            reply.credentialID = allowed.credentialID;
            reply.prfSupported = true;
            reply.prf = found->second;
            reply.userVerified = true;
            completion(std::move(reply), nullptr);
            return std::make_shared<Operation>();
        }
        completion(std::nullopt, std::make_exception_ptr(PasskeyAuthenticatorError(
                                     PasskeyAuthenticatorError::Kind::noCredential, "no known credential")));
        return std::make_shared<Operation>();
    }

private:
    struct Operation final : PasskeyAuthenticatorOperation {
        void cancel() override {}
    };
    std::map<Bytes, SecretBytes> prfs_;
    std::atomic<std::size_t> assertions_ = 0;
    bool cancel_ = false;
    bool quiet_ = false;
};

// Every change notification of a model, as "<field> <value>".
class StateRecorder {
public:
    using Field = DesktopAppModel::Field;
    using State = DesktopAppModel::State;

    void attach(DesktopAppModel& model) {
        subscription_ = model.subscribe([this](Field field, const State& state) { entries.push_back(entry(field, state)); });
    }
    std::vector<std::string> take() { return std::exchange(entries, {}); }

    static std::string entry(Field field, const State& state) {
        auto flag = [](bool value) { return std::string(value ? "true" : "false"); };
        auto text = [](const std::optional<std::string>& value) { return value ? *value : std::string("none"); };
        switch (field) {
            case Field::isSignedIn: return "isSignedIn " + flag(state.isSignedIn);
            case Field::isMounted: return "isMounted " + flag(state.isMounted);
            case Field::isBusy: return "isBusy " + flag(state.isBusy);
            case Field::isUploading: return "isUploading " + flag(state.isUploading);
            case Field::accountName: return "accountName " + state.accountName;
            case Field::status: return "status " + state.status;
            case Field::errorMessage: return "errorMessage " + text(state.errorMessage);
            case Field::encryptionNeedsUnlock: return "encryptionNeedsUnlock " + flag(state.encryptionNeedsUnlock);
            case Field::encryptionNeedsSetup: return "encryptionNeedsSetup " + flag(state.encryptionNeedsSetup);
            case Field::encryptionEnabled: return "encryptionEnabled " + flag(state.encryptionEnabled);
            case Field::encryptionPaused: return "encryptionPaused " + flag(state.encryptionPaused);
            case Field::passkeyItems: return "passkeyItems " + std::to_string(state.passkeyItems.size());
            case Field::passkeyMessage: return "passkeyMessage " + text(state.passkeyMessage);
            case Field::passkeyLoading: return "passkeyLoading " + flag(state.passkeyLoading);
            case Field::unsentFilesFolder: return "unsentFilesFolder " + text(state.unsentFilesFolder);
        }
        return "?";
    }

    std::vector<std::string> entries;

private:
    DesktopAppModel::Subscription subscription_;
};

// The notifications of a plain account's encryption status (all flags false).
inline std::vector<std::string> plainEncryptionStatus() {
    return {"encryptionEnabled false", "encryptionNeedsSetup false", "encryptionNeedsUnlock false",
            "encryptionPaused false"};
}

inline std::vector<std::string> concat(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

class AppModelFixture : public LocalServiceFixture {
protected:
    using Field = DesktopAppModel::Field;

    static constexpr const char* kDriveId = "drive-1";
    static constexpr const char* kDriveName = "Nimbuscrate Team";

    AppModelFixture()
        : dataProtection(std::make_shared<RecordingSecretBackend>(
              "dataProtection", std::make_shared<FileSecretStore>(secrets / "data-protection"))),
          legacy(std::make_shared<RecordingSecretBackend>("legacy",
                                                          std::make_shared<FileSecretStore>(secrets / "legacy"))),
          backends{dataProtection, legacy, std::make_shared<FileSecretStore>(secrets / "data-protection")},
          sessionStore(KeychainStore::kSessionService, KeychainStore::kSessionAccount, backends),
          standardDefaults(secrets / "standard.json"),
          groupDefaults(secrets / "group.json") {
        service.addDrive({kDriveId, kDriveName, "project", ""});
    }

    ~AppModelFixture() override {
        if (model) finishModel();
        workers.shutdown();
        std::error_code ignored;
        std::filesystem::remove_all(stateDirectory, ignored);
    }

    // The model's services; the domain service is the scripted one unless a
    // test sets `domainService` first.
    DesktopAppModel::Services services() {
        if (!domainService) domainService = scripted;
        return DesktopAppModel::Services{ui,
                                         workers,
                                         clock,
                                         sessionStore,
                                         files,
                                         encryption,
                                         domainService,
                                         standardDefaults,
                                         groupDefaults,
                                         revealer,
                                         web,
                                         HttpTransport::shared(),
                                         authenticator,
                                         webAppURL().host()};
    }

    // Makes the model (which starts its restore) and runs the restore to its end.
    void startModel(bool waitForRestore = true) {
        model = std::make_unique<DesktopAppModel>(services());
        recorder.attach(*model);
        if (waitForRestore) {
            ASSERT_TRUE(runUntil([&] { return model->restoreFinished(); })) << "the restore did not end";
        }
    }
    // Lets everything posted run, then destroys the model.
    void finishModel() {
        ui.runPending();
        model.reset();
        ui.runPending();
    }

    template <class Condition>
    bool runUntil(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
        return eventually(
            [&] {
                ui.runPending();
                return condition();
            },
            timeout);
    }
    // Runs the passkey list load that a status refresh of an encrypted account
    // starts in the background to its end.
    void finishPasskeyLoad() {
        ASSERT_TRUE(runUntil([&] { return !model->state().passkeyLoading; })) << "the passkey list load did not end";
        ui.runPending();
    }
    // Runs the operation to its end.
    template <class T>
    void finish(UiTask<T>& task) {
        ASSERT_TRUE(runUntil([&] { return task.done(); })) << "the operation did not end";
        ui.runPending();
    }

    // A stored session for the drive (or none), with tokens of the service.
    DesktopSession storeSignedIn(bool withDrive = true, bool withSessionID = true) {
        const localservice::IssuedTokens issued = service.issueTokens();
        std::optional<DriveSelection> drive;
        if (withDrive) drive = DriveSelection{kDriveId, kDriveName, *Url::parse(service.webDavUrl(kDriveId))};
        DesktopSession session = DesktopSession::create(
            OAuthTokens{issued.accessToken, issued.refreshToken, clock.now().addingSeconds(3600)}, drive);
        if (!withSessionID) session.sessionID.reset();
        sessionStore.save(bytesOf(session.toJSON()));
        return session;
    }
    std::optional<DesktopSession> stored() { return sessionStore.loadSession(); }

    // Presses "Sign in" on the page the model opened and hands the callback
    // to the app, as the browser and the URL-scheme handler would.
    void completeBrowserSignIn(std::size_t page = 0) {
        ASSERT_TRUE(runUntil([&] { return browser.opened.size() > page; })) << "no sign-in page was opened";
        const std::string location = RecordingBrowser::signIn(browser.opened[page]);
        ASSERT_FALSE(location.empty());
        web.deliverCallback(location);
    }

    // Marks the migration as done (most tests are not about it).
    void migrationDone() { standardDefaults.setBoolean(DesktopAppModel::kReplicatedDomainMigrationKey, true); }
    fp::Domain ourDomain() const { return {DesktopAppModel::kDomainIdentifier, DesktopAppModel::kDomainDisplayName}; }

    std::string errorText(const std::exception& error) const { return error.what(); }

    ManualExecutor ui;
    TaskPool answers{1};
    TaskPool workers{4};
    RecordingBrowser browser;
    WebAuthenticator web{ui, browser};
    FixtureAuthenticator authenticator;
    RecordingRevealer revealer;

    std::shared_ptr<RecordingSecretBackend> dataProtection;
    std::shared_ptr<RecordingSecretBackend> legacy;
    KeychainBackends backends;
    KeychainStore sessionStore;
    Defaults standardDefaults;
    Defaults groupDefaults;

    std::unique_ptr<MappingStore> mapping = MappingStore::unavailable();
    OAuthClient refresher{HttpTransport::shared(), sessionStore, clock};
    TokenProvider tokens{sessionStore, refresher, clock};
    OcisClient files{sessionStore, tokens,
                     OcisClient::Services{std::make_shared<PlainOnlyDriveService>(), &HttpTransport::shared(),
                                          mapping.get(), std::make_shared<UploadActivityStore>(groupDefaults)}};
    std::filesystem::path stateDirectory = makeTemporaryDirectory("nc-app-model-state");
    std::shared_ptr<E2EEClient> encryption = std::make_shared<E2EEClient>(E2EEClient::Services{
        HttpTransport::shared(), credentialsOf(), *mapping, clock, accountAPIURL(), stateDirectory, 1});

    std::shared_ptr<ScriptedDomainService> scripted = std::make_shared<ScriptedDomainService>(workers);
    std::shared_ptr<fp::DomainService> domainService;

    std::unique_ptr<DesktopAppModel> model;
    StateRecorder recorder;

private:
    E2EEClient::Credentials credentialsOf() {
        E2EEClient::Credentials result;
        result.session = [this] { return sessionStore.loadSession(); };
        result.token = [this](std::stop_token stop) { return tokens.validAccessToken(stop); };
        result.secret = [this](const std::string& service, const std::string& account)
            -> std::shared_ptr<E2EESecretStore> { return std::make_shared<KeychainStore>(service, account, backends); };
        return result;
    }
};

}  // namespace nimbuscrate::testing
