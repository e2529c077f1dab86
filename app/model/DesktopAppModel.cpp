#include "app/model/DesktopAppModel.h"

#include <algorithm>
#include <utility>

#include "platform/core/Random.h"
#include "platform/log/Logger.h"
#include "shared/encryption/E2EEError.h"
#include "shared/session/DesktopError.h"

namespace nimbuscrate {

namespace {

const Logger& modelLogger() {
    static const Logger logger("app.nimbuscrate.desktop", "model");
    return logger;
}

}  // namespace

// ---- Observation ----

DesktopAppModel::Subscription::Subscription(std::weak_ptr<std::map<std::uint64_t, Observer>> observers,
                                            std::uint64_t id)
    : observers_(std::move(observers)), id_(id) {}

DesktopAppModel::Subscription::Subscription(Subscription&& other) noexcept
    : observers_(std::move(other.observers_)), id_(std::exchange(other.id_, 0)) {}

DesktopAppModel::Subscription& DesktopAppModel::Subscription::operator=(Subscription&& other) noexcept {
    if (this != &other) {
        if (auto observers = observers_.lock()) observers->erase(id_);
        observers_ = std::move(other.observers_);
        id_ = std::exchange(other.id_, 0);
    }
    return *this;
}

DesktopAppModel::Subscription::~Subscription() {
    if (auto observers = observers_.lock()) observers->erase(id_);
}

DesktopAppModel::Subscription DesktopAppModel::subscribe(Observer observer) {
    const std::uint64_t id = nextObserver_++;
    observers_->emplace(id, std::move(observer));
    return Subscription(observers_, id);
}

void DesktopAppModel::notify(Field which) {
    // A copy: an observer may subscribe or unsubscribe while it runs.
    const auto observers = *observers_;
    for (const auto& [id, observer] : observers) {
        if (observers_->contains(id)) observer(which, state_);
    }
}

// ---- Construction ----

DesktopAppModel::DesktopAppModel(Services services)
    : ui_(services.ui),
      workers_(services.workers),
      clock_(services.clock),
      sessionStore_(std::move(services.sessionStore)),
      files_(services.files),
      encryption_(std::move(services.encryption)),
      domains_(std::move(services.domains)),
      standardDefaults_(services.standardDefaults),
      groupDefaults_(services.groupDefaults),
      revealer_(services.revealer),
      passkeyProvider_(std::make_unique<EncryptionPasskeyProvider>(services.ui, services.passkeys, services.workers,
                                                                   services.clock, services.relyingPartyID)),
      oauth_(std::make_unique<DesktopOAuthClient>(services.ui, services.web, services.workers, services.transport,
                                                  sessionStore_, services.clock)) {
    // The poll has a thread of its own: it runs for the model's whole life
    // and must not hold one of the workers that actions wait for.
    uploadActivityThread_ =
        std::thread([this, stop = uploadActivityStop_.get_token()] { monitorUploadActivity(stop); });
    restore_ = restoreSession();
}

DesktopAppModel::~DesktopAppModel() {
    uploadActivityStop_.request_stop();
    if (uploadActivityThread_.joinable()) uploadActivityThread_.join();
    // Posted resumptions find the model gone from here on.
    alive_.reset();
}

// ---- Failures ----

std::string DesktopAppModel::describe(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& caught) {
        return caught.what();
    } catch (...) {
        return "An unknown error occurred.";
    }
}

void DesktopAppModel::fail(std::exception_ptr error, bool clearBusy) {
    const std::string text = describe(error);
    modelLogger().error("Action failed: " + text);
    assign(state_.errorMessage, text, Field::errorMessage);
    assign(state_.status, std::string(kAttentionStatus), Field::status);
    if (clearBusy) assign(state_.isBusy, false, Field::isBusy);
}

void DesktopAppModel::reportLater(std::string message) {
    modelLogger().error("Reported later: " + message);
    std::weak_ptr<int> alive = alive_;
    ui_.post([this, alive, message = std::move(message)] {
        if (!alive.lock()) return;
        assign(state_.errorMessage, message, Field::errorMessage);
        assign(state_.status, std::string(kAttentionStatus), Field::status);
    });
}

// ---- Upload poll ----

void DesktopAppModel::monitorUploadActivity(std::stop_token stop) {
    std::weak_ptr<int> alive = alive_;
    while (!stop.stop_requested()) {
        std::int64_t count = 0;
        try {
            count = groupDefaults_.integer(kUploadCountKey).value_or(0);
        } catch (const std::exception& error) {
            // An unreadable suite reads as no uploads; the next tick reads again.
            modelLogger().error(std::string("Could not read the upload count: ") + error.what());
        }
        const bool uploading = count >= 1;
        ui_.post([this, alive, uploading] {
            if (!alive.lock()) return;
            if (state_.isUploading != uploading) assign(state_.isUploading, uploading, Field::isUploading);
        });
        if (!clock_.sleepFor(Clock::Duration(kUploadPollSeconds), stop)) return;
    }
}

// ---- Session storage (worker threads) ----

namespace {

// Saves a new session, under the item lock so that it cannot fall between
// another program's read and save of the session (a token refresh).
void saveNewSession(const KeychainStore& store, const DesktopSession& session) {
    const auto itemLock = store.lock();
    store.save(bytesOf(session.toJSON()));
}

// Replaces the stored session by `next` when the stored one still has the
// identifier `expected` (none counts as equal to none); else
// E2EEError::sessionChanged and nothing is saved. Read, compare and save
// happen under the item lock.
void replaceSession(const KeychainStore& store, const std::optional<std::string>& expected,
                    const std::function<DesktopSession(DesktopSession)>& next) {
    const auto itemLock = store.lock();
    std::optional<DesktopSession> current = store.loadSession();
    if (!current || current->sessionID != expected) throw E2EEError::sessionChanged();
    store.save(bytesOf(next(std::move(*current)).toJSON()));
}

}  // namespace

// ---- Restore ----

UiTask<void> DesktopAppModel::restoreSession() {
    assign(state_.isBusy, true, Field::isBusy);
    const UiContext ctx = context();
    const KeychainStore store = sessionStore_;
    OcisClient* files = &files_;
    try {
        const auto load = [store](std::stop_token) { return store.loadSession(); };
        std::optional<DesktopSession> session = co_await runOnWorker(ctx, load);
        if (!session) {
            assign(state_.isBusy, false, Field::isBusy);
            co_return;
        }

        if (!session->sessionID) {
            // The stored session gets its identifier before anything else,
            // so that later saves can tell it from a newer one.
            const std::string identifier = Uuid::random().upperString();
            const auto identify = [store, identifier](std::stop_token) {
                DesktopSession saved;
                replaceSession(store, std::nullopt, [&](DesktopSession current) {
                    current.sessionID = identifier;
                    saved = current;
                    return current;
                });
                return saved;
            };
            session = co_await runOnWorker(ctx, identify);
        }
        const std::optional<std::string> remembered = session->sessionID;

        std::optional<DriveSelection> discovered;
        try {
            const auto discover = [files](std::stop_token stop) { return files->discoverDrive(stop); };
            discovered = co_await runOnWorker(ctx, discover);
        } catch (...) {
            // Silent: the stored drive (possibly none) stays in use.
            modelLogger().notice("Drive discovery at start failed; the stored drive stays in use: " +
                                 describe(std::current_exception()));
        }

        if (discovered) {
            const DriveSelection drive = *discovered;
            const auto save = [store, remembered, drive](std::stop_token) {
                if (!remembered) throw E2EEError::sessionChanged();
                replaceSession(store, remembered, [&](DesktopSession current) {
                    current.drive = drive;
                    return current;
                });
            };
            co_await runOnWorker(ctx, save);
            assign(state_.isSignedIn, true, Field::isSignedIn);
            assign(state_.accountName, drive.name, Field::accountName);
        } else {
            assign(state_.isSignedIn, true, Field::isSignedIn);
            assign(state_.accountName, session->drive ? session->drive->name : std::string("Nimbuscrate"),
                   Field::accountName);
        }

        co_await migrateReplicatedDomainIfNeeded();

        const bool registered = co_await domainIsRegistered();
        assign(state_.isMounted, registered, Field::isMounted);
        assign(state_.status, std::string(registered ? kAvailableStatus : kReadyStatus), Field::status);

        co_await refreshEncryptionStatus();
    } catch (...) {
        fail(std::current_exception());
        co_return;
    }
    assign(state_.isBusy, false, Field::isBusy);
}

// ---- Account actions ----

UiTask<void> DesktopAppModel::signInAndMount() {
    assign(state_.isBusy, true, Field::isBusy);
    assign(state_.errorMessage, std::nullopt, Field::errorMessage);
    const UiContext ctx = context();
    const KeychainStore store = sessionStore_;
    OcisClient* files = &files_;
    DesktopOAuthClient* oauth = oauth_.get();
    try {
        const auto startSignIn = [oauth](std::function<void(SignInResult)> done) { oauth->signIn(std::move(done)); };
        SignInResult signedIn = co_await awaitCallback<SignInResult>(ctx, startSignIn);
        if (signedIn.error) std::rethrow_exception(signedIn.error);
        const OAuthTokens tokens = *signedIn.tokens;

        const DesktopSession first = DesktopSession::create(tokens);
        const auto saveFirst = [store, first](std::stop_token) { saveNewSession(store, first); };
        co_await runOnWorker(ctx, saveFirst);

        const auto discover = [files](std::stop_token stop) { return files->discoverDrive(stop); };
        const DriveSelection drive = co_await runOnWorker(ctx, discover);

        // The second save replaces only the session of the first: a newer
        // sign-in meanwhile stays (E2EEError::sessionChanged here). It keeps
        // the stored tokens, which a refresh of the extension may have
        // replaced since the first save (the old refresh token is spent then).
        const DesktopSession second = DesktopSession::create(tokens, drive);
        const auto saveSecond = [store, first, second](std::stop_token) {
            replaceSession(store, first.sessionID, [&](DesktopSession current) {
                DesktopSession next = second;
                next.tokens = current.tokens;
                return next;
            });
        };
        co_await runOnWorker(ctx, saveSecond);
        // Named as soon as the session holds the drive, also when the
        // sign-in stops below for an unlock.
        assign(state_.accountName, drive.name, Field::accountName);
        assign(state_.isSignedIn, true, Field::isSignedIn);

        co_await refreshEncryptionStatus();
        if (state_.encryptionNeedsUnlock || state_.encryptionNeedsSetup) {
            assign(state_.isBusy, false, Field::isBusy);
            co_return;
        }

        co_await addDomain();
        assign(state_.isMounted, true, Field::isMounted);
        assign(state_.accountName, drive.name, Field::accountName);
        assign(state_.status, std::string(kMountedStatus), Field::status);
        co_await openInFinder();
    } catch (...) {
        fail(std::current_exception());
        co_return;
    }
    assign(state_.isBusy, false, Field::isBusy);
}

UiTask<void> DesktopAppModel::mount() {
    assign(state_.isBusy, true, Field::isBusy);
    const UiContext ctx = context();
    const KeychainStore store = sessionStore_;
    OcisClient* files = &files_;
    try {
        const auto load = [store](std::stop_token) { return store.loadSession(); };
        const std::optional<DesktopSession> first = co_await runOnWorker(ctx, load);
        if (!first) throw DesktopError::notAuthenticated();

        const auto discover = [files](std::stop_token stop) { return files->discoverDrive(stop); };
        const DriveSelection drive = co_await runOnWorker(ctx, discover);

        const std::optional<std::string> expected = first->sessionID;
        const auto save = [store, expected, drive](std::stop_token) {
            replaceSession(store, expected, [&](DesktopSession current) {
                current.drive = drive;
                return current;
            });
        };
        co_await runOnWorker(ctx, save);

        co_await refreshEncryptionStatus();
        if (state_.encryptionNeedsUnlock || state_.encryptionNeedsSetup) {
            assign(state_.isBusy, false, Field::isBusy);
            co_return;
        }

        co_await addDomain();
    } catch (...) {
        fail(std::current_exception());
        co_return;
    }
    assign(state_.isMounted, true, Field::isMounted);
    assign(state_.status, std::string(kAvailableStatus), Field::status);
    assign(state_.isBusy, false, Field::isBusy);
}

UiTask<void> DesktopAppModel::unmount() {
    assign(state_.isBusy, true, Field::isBusy);
    try {
        co_await removeDomain();
    } catch (...) {
        fail(std::current_exception());
        co_return;
    }
    assign(state_.isMounted, false, Field::isMounted);
    assign(state_.isUploading, false, Field::isUploading);
    assign(state_.status, std::string(kUnmountedStatus), Field::status);
    assign(state_.isBusy, false, Field::isBusy);
}

UiTask<void> DesktopAppModel::refresh() {
    try {
        co_await refreshEncryptionStatus();
    } catch (...) {
        fail(std::current_exception(), false);
        co_return;
    }
    fp::ManagerPtr manager = domains_->managerFor(domain_);
    if (!manager) co_return;
    co_await signal(manager, fp::kRootContainer);
    co_await signal(manager, fp::kWorkingSet);
}

UiTask<void> DesktopAppModel::openInFinder() {
    fp::ManagerPtr manager = domains_->managerFor(domain_);
    if (!manager) co_return;
    co_await revealRoot(manager);
}

UiTask<void> DesktopAppModel::signOut() {
    assign(state_.isBusy, true, Field::isBusy);
    // Passkey work ends first: a sheet that is open fails with PasskeyError::cancelled.
    passkeyProvider_->cancelPendingRequest();
    if (passkeyDiscovery_) {
        passkeyDiscovery_->stop.request_stop();
        passkeyDiscovery_->task.detach();
        passkeyDiscovery_.reset();
    }
    passkeyContext_.reset();
    assign(state_.passkeyItems, std::vector<E2EEJSON>{}, Field::passkeyItems);
    assign(state_.passkeyMessage, std::nullopt, Field::passkeyMessage);

    const UiContext ctx = context();
    const KeychainStore store = sessionStore_;
    try {
        const bool registered = co_await domainIsRegistered();
        if (registered) co_await removeDomain();
        // Under the item lock: a token refresh of the extension that read the
        // session before cannot save it back after it was deleted.
        const auto deleteSession = [store](std::stop_token) {
            const auto itemLock = store.lock();
            store.deleteItem();
        };
        co_await runOnWorker(ctx, deleteSession);
    } catch (...) {
        fail(std::current_exception());
        co_return;
    }
    assign(state_.encryptionNeedsUnlock, false, Field::encryptionNeedsUnlock);
    assign(state_.encryptionNeedsSetup, false, Field::encryptionNeedsSetup);
    assign(state_.encryptionEnabled, false, Field::encryptionEnabled);
    assign(state_.encryptionPaused, false, Field::encryptionPaused);
    assign(state_.isSignedIn, false, Field::isSignedIn);
    assign(state_.isMounted, false, Field::isMounted);
    assign(state_.isUploading, false, Field::isUploading);
    assign(state_.accountName, std::string(), Field::accountName);
    assign(state_.status, std::string(kSignedOutStatus), Field::status);
    assign(state_.isBusy, false, Field::isBusy);
}

UiTask<void> DesktopAppModel::unlockEncryption(std::string secret, bool useRecoveryKey) {
    assign(state_.isBusy, true, Field::isBusy);
    assign(state_.errorMessage, std::nullopt, Field::errorMessage);
    const UiContext ctx = context();
    std::shared_ptr<E2EEClient> encryption = encryption_;
    try {
        const auto unlock = [encryption, secret = std::move(secret), useRecoveryKey](std::stop_token stop) {
            encryption->unlockEncryption(secret, useRecoveryKey, stop);
        };
        co_await runOnWorker(ctx, unlock);
        co_await refreshEncryptionStatus();
        if (!state_.isMounted) {
            co_await addDomain();
            assign(state_.isMounted, true, Field::isMounted);
        }
    } catch (...) {
        fail(std::current_exception());
        co_return;
    }
    co_await refresh();
    assign(state_.isBusy, false, Field::isBusy);
}

UiTask<void> DesktopAppModel::unlockEncryptionWithPasskey() {
    assign(state_.isBusy, true, Field::isBusy);
    assign(state_.errorMessage, std::nullopt, Field::errorMessage);
    const UiContext ctx = context();
    std::shared_ptr<E2EEClient> encryption = encryption_;
    EncryptionPasskeyProvider* provider = passkeyProvider_.get();
    // Shared with the worker that unlocks; zeroed on every way out.
    auto prf = std::make_shared<SecretBytes>();
    try {
        const auto list = [encryption](std::stop_token stop) { return encryption->loadPasskeys(false, stop); };
        const E2EEClient::PasskeySnapshot snapshot = co_await runOnWorker(ctx, list);

        const std::vector<E2EEJSON> items = snapshot.items;
        const auto startAssertion = [provider, items](std::function<void(PasskeyAssertionOutcome)> done) {
            provider->assertPasskey(items, std::move(done));
        };
        PasskeyAssertionOutcome asserted = co_await awaitCallback<PasskeyAssertionOutcome>(ctx, startAssertion);
        if (asserted.error) std::rethrow_exception(asserted.error);
        *prf = std::move(asserted.assertion->prf);
        const E2EEJSON item = asserted.assertion->item;

        const auto unlock = [encryption, item, prf, snapshot](std::stop_token stop) {
            encryption->unlockWithPasskey(item, *prf, snapshot, stop);
        };
        co_await runOnWorker(ctx, unlock);
        co_await refreshEncryptionStatus();
        if (!state_.isMounted) {
            co_await addDomain();
            assign(state_.isMounted, true, Field::isMounted);
        }
    } catch (...) {
        cleanse(prf->data(), prf->size());
        fail(std::current_exception());
        co_return;
    }
    co_await refresh();
    cleanse(prf->data(), prf->size());
    assign(state_.isBusy, false, Field::isBusy);
}

// ---- Domain registration ----

namespace {

[[noreturn]] void throwError(const fp::Error& error) { throw fp::ErrorException(error); }

using DomainList = std::pair<std::vector<fp::Domain>, std::optional<fp::Error>>;
using VisiblePath = std::pair<std::optional<std::filesystem::path>, std::optional<fp::Error>>;

// The prefix of the folders in which the host keeps unsent files of a
// removed domain, beside its mount folder.
std::string unsentFolderPrefix(const fp::Domain& domain) { return domain.displayName + " (unsent files "; }

std::set<std::filesystem::path> unsentFolders(const std::filesystem::path& parent, const std::string& prefix) {
    std::set<std::filesystem::path> found;
    std::error_code error;
    for (std::filesystem::directory_iterator it(parent, error), end; !error && it != end; it.increment(error)) {
        if (it->path().filename().string().starts_with(prefix)) found.insert(it->path());
    }
    return found;
}

}  // namespace

UiTask<bool> DesktopAppModel::domainIsRegistered() {
    std::shared_ptr<fp::DomainService> domains = domains_;
    const auto ask = [domains](std::function<void(DomainList)> done) {
        domains->getDomains([done](std::vector<fp::Domain> list, std::optional<fp::Error> error) {
            done(DomainList{std::move(list), std::move(error)});
        });
    };
    const UiContext waitContext = context();
    DomainList answer = co_await awaitCallback<DomainList>(waitContext, ask);
    if (answer.second) throwError(*answer.second);
    co_return std::any_of(answer.first.begin(), answer.first.end(),
                          [this](const fp::Domain& registered) { return registered.sameIdentifier(domain_); });
}

UiTask<void> DesktopAppModel::addDomain() {
    std::shared_ptr<fp::DomainService> domains = domains_;
    const fp::Domain domain = domain_;
    const auto add = [domains, domain](std::function<void(std::optional<fp::Error>)> done) {
        domains->addDomain(domain, std::move(done));
    };
    const UiContext waitContext = context();
    std::optional<fp::Error> error = co_await awaitCallback<std::optional<fp::Error>>(waitContext, add);
    if (error) throwError(*error);
}

UiTask<void> DesktopAppModel::removeDomain() {
    const UiContext ctx = context();
    std::shared_ptr<fp::DomainService> domains = domains_;
    const fp::Domain domain = domain_;
    const std::string prefix = unsentFolderPrefix(domain_);

    // Where the folder is, to find what the host keeps beside it.
    std::optional<std::filesystem::path> parent;
    if (fp::ManagerPtr manager = domains_->managerFor(domain_)) {
        const auto ask = [manager](std::function<void(VisiblePath)> done) {
            manager->userVisiblePath(fp::kRootContainer,
                                     [done](std::optional<std::filesystem::path> path, std::optional<fp::Error> error) {
                                         done(VisiblePath{std::move(path), std::move(error)});
                                     });
        };
        VisiblePath visible = co_await awaitCallback<VisiblePath>(ctx, ask);
        if (visible.first) parent = visible.first->parent_path();
    }
    const auto listKept = [parent, prefix](std::stop_token) { return unsentFolders(*parent, prefix); };
    std::set<std::filesystem::path> before;
    if (parent) before = co_await runOnWorker(ctx, listKept);

    const auto remove = [domains, domain](std::function<void(std::optional<fp::Error>)> done) {
        domains->removeDomain(domain, std::move(done));
    };
    std::optional<fp::Error> error = co_await awaitCallback<std::optional<fp::Error>>(ctx, remove);
    if (error) throwError(*error);

    std::optional<std::string> kept;
    if (parent) {
        const std::set<std::filesystem::path> after = co_await runOnWorker(ctx, listKept);
        for (const auto& folder : after) {
            if (!before.contains(folder)) kept = folder.string();  // names sort by time: the last is the newest
        }
    }
    if (kept) modelLogger().notice("Files that were not uploaded were kept in " + *kept);
    if (kept != state_.unsentFilesFolder) assign(state_.unsentFilesFolder, kept, Field::unsentFilesFolder);
}

UiTask<void> DesktopAppModel::migrateReplicatedDomainIfNeeded() {
    const UiContext ctx = context();
    Defaults* defaults = &standardDefaults_;
    const std::string key = replicatedDomainMigrationKey_;
    const auto readFlag = [defaults, key](std::stop_token) { return defaults->boolean(key).value_or(false); };
    const bool done = co_await runOnWorker(ctx, readFlag);
    if (done) co_return;
    const bool registered = co_await domainIsRegistered();
    if (registered) co_await removeDomain();
    co_await addDomain();
    // Only after a successful add: a failed run is repeated at the next start.
    const auto setFlag = [defaults, key](std::stop_token) { defaults->setBoolean(key, true); };
    co_await runOnWorker(ctx, setFlag);
}

UiTask<void> DesktopAppModel::signal(fp::ManagerPtr manager, fp::ItemId container) {
    const auto send = [manager, container](std::function<void(std::optional<fp::Error>)> done) {
        manager->signalEnumerator(container, std::move(done));
    };
    const UiContext waitContext = context();
    std::optional<fp::Error> error = co_await awaitCallback<std::optional<fp::Error>>(waitContext, send);
    if (error) reportLater(error->localizedDescription());
}

UiTask<void> DesktopAppModel::revealRoot(fp::ManagerPtr manager) {
    const auto ask = [manager](std::function<void(VisiblePath)> done) {
        manager->userVisiblePath(fp::kRootContainer,
                                 [done](std::optional<std::filesystem::path> path, std::optional<fp::Error> error) {
                                     done(VisiblePath{std::move(path), std::move(error)});
                                 });
    };
    const UiContext waitContext = context();
    VisiblePath visible = co_await awaitCallback<VisiblePath>(waitContext, ask);
    if (visible.first) {
        revealer_.reveal(*visible.first);
    } else if (visible.second) {
        reportLater(visible.second->localizedDescription());
    }
}

}  // namespace nimbuscrate
