#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "app/model/DesktopOAuthClient.h"
#include "app/model/EncryptionPasskeyProvider.h"
#include "app/model/FolderRevealer.h"
#include "app/model/UiTask.h"
#include "platform/defaults/Defaults.h"
#include "platform/fileprovider/Domain.h"
#include "platform/fileprovider/DomainService.h"
#include "platform/fileprovider/Manager.h"
#include "platform/passkeys/PasskeyAuthenticator.h"
#include "platform/tasks/Clock.h"
#include "platform/tasks/Executor.h"
#include "platform/tasks/TaskPool.h"
#include "platform/websession/WebAuthenticationSession.h"
#include "shared/encryption-client/E2EEClient.h"
#include "shared/encryption/E2EEJSON.h"
#include "shared/session/KeychainStore.h"
#include "shared/session/OcisClient.h"

namespace nimbuscrate {

// The one state object of the tray app: every view reads its state, every
// account flow writes it. It knows no widgets.
//
// Threads: the model lives on the UI executor. Every member is called there,
// every observer runs there, and every operation's steps run there; blocking
// work (the secret store, the network, the defaults files) runs on the
// worker pool and comes back through the UI executor. Operations are
// UiTasks: they start at once, may interleave at their waits (the model
// refuses no action while isBusy is true), and end exactly once. A view
// starts one and drops the handle (detach()); a test keeps it and runs the
// executor until done().
//
// Lifetime: made once by the program, destroyed on the UI executor. The
// destructor stops the upload poll (waiting for its worker to return) and
// ends pending sign-in and passkey requests; an operation still waiting then
// is abandoned (its later resumption does nothing).
class DesktopAppModel {
public:
    // What the model works with; nothing falls back to a process-wide object.
    struct Services {
        Executor& ui;
        TaskPool& workers;
        Clock& clock;
        // The session item (service "app.nimbuscrate.session", account
        // "default"); its backends also hold the key items deleted at sign-out.
        KeychainStore sessionStore;
        // Drive discovery for the stored session.
        OcisClient& files;
        // The account API client of encrypted accounts (encryption state,
        // unlock, passkeys).
        std::shared_ptr<E2EEClient> encryption;
        // Domain registration: the host daemon's control channel in the program.
        std::shared_ptr<fp::DomainService> domains;
        // The app's own standard defaults (the migration flag).
        Defaults& standardDefaults;
        // The application group defaults (the upload count the extension writes).
        Defaults& groupDefaults;
        // Shows the mounted folder in the file manager.
        FolderRevealer& revealer;
        // Interactive sign-in: the browser gateway and the token endpoint's transport.
        WebAuthenticator& web;
        HttpTransport& transport;
        // Passkey ceremonies, for the web app host `relyingPartyID`.
        PasskeyAuthenticator& passkeys;
        std::string relyingPartyID;
    };

    // The published fields, in order. Every write of one of them notifies the
    // observers once, after the value is stored (also when it is unchanged).
    enum class Field {
        isSignedIn,
        isMounted,
        isBusy,
        isUploading,
        accountName,
        status,
        errorMessage,
        encryptionNeedsUnlock,
        encryptionNeedsSetup,
        encryptionEnabled,
        encryptionPaused,
        passkeyItems,
        passkeyMessage,
        passkeyLoading,
        unsentFilesFolder,
    };

    // The values every view shows.
    struct State {
        bool isSignedIn = false;   // a session was restored or signed in, and not signed out since
        bool isMounted = false;    // the domain is registered
        bool isBusy = false;       // an action or the restore is running
        bool isUploading = false;  // the cross-process upload count is 1 or more
        std::string accountName;   // the selected drive's name
        std::string status = kSignInStatus;  // the one-line state text
        std::optional<std::string> errorMessage;  // the text of the last failure
        bool encryptionNeedsUnlock = false;
        bool encryptionNeedsSetup = false;
        bool encryptionEnabled = false;
        bool encryptionPaused = false;
        std::vector<E2EEJSON> passkeyItems;     // passkeys of the last list load
        std::optional<std::string> passkeyMessage;  // passkey failure text
        bool passkeyLoading = false;            // a passkey list load is running
        // Where the host kept files that were never uploaded when the model
        // last removed the domain (unmount, sign-out, the re-registration);
        // none when nothing was left unsent.
        std::optional<std::string> unsentFilesFolder;

        bool operator==(const State&) const = default;
    };

    // Runs on the UI executor after each write: the field written and the whole state.
    using Observer = std::function<void(Field, const State&)>;

    // Ends the observation when destroyed (on the UI executor). Move-only.
    class Subscription {
    public:
        Subscription() = default;
        Subscription(Subscription&& other) noexcept;
        Subscription& operator=(Subscription&& other) noexcept;
        ~Subscription();

    private:
        friend class DesktopAppModel;
        Subscription(std::weak_ptr<std::map<std::uint64_t, Observer>> observers, std::uint64_t id);
        std::weak_ptr<std::map<std::uint64_t, Observer>> observers_;
        std::uint64_t id_ = 0;
    };

    // Status texts of start, restore and the actions.
    static constexpr const char* kSignInStatus = "Sign in to mount Nimbuscrate in Finder.";
    static constexpr const char* kAttentionStatus = "Nimbuscrate needs attention.";
    static constexpr const char* kReadyStatus = "Ready to mount your storage.";
    static constexpr const char* kAvailableStatus = "Nimbuscrate is available in Finder.";
    static constexpr const char* kMountedStatus = "Nimbuscrate is mounted and will stay in sync.";
    static constexpr const char* kUnmountedStatus =
        "Nimbuscrate was removed from Finder. Your cloud files were not deleted.";
    static constexpr const char* kRemovingCopiesStatus = "Removing local copies.";
    static constexpr const char* kSignedOutStatus = "Signed out. Local placeholders were removed; cloud files are safe.";
    // Status texts of the encryption status.
    static constexpr const char* kUnlockStatus = "Unlock your encrypted files to use them in Finder.";
    static constexpr const char* kPausedStatus = "Encrypted files are readable. Changes are temporarily paused.";
    static constexpr const char* kEncryptionReadyStatus =
        "End-to-end encryption is ready. Files and previews are encrypted on this Mac before upload.";
    static constexpr const char* kPasskeyLoadFailedMessage =
        "Could not load passkeys. You can refresh or use your encryption passphrase or recovery key.";

    static constexpr const char* kDomainIdentifier = "nimbuscrate";
    static constexpr const char* kDomainDisplayName = "Nimbuscrate";
    // Standard-defaults key of the one-time re-registration of the domain.
    static constexpr const char* kReplicatedDomainMigrationKey = "replicated-file-provider-domain-v3";
    // Group-defaults key of the upload count, and the poll's period.
    static constexpr const char* kUploadCountKey = "active-upload-count";
    static constexpr double kUploadPollSeconds = 0.4;

    // Builds the state, the passkey provider, the sign-in client and the
    // domain, then starts the upload poll and the restore of the stored session.
    explicit DesktopAppModel(Services services);
    ~DesktopAppModel();
    DesktopAppModel(const DesktopAppModel&) = delete;
    DesktopAppModel& operator=(const DesktopAppModel&) = delete;

    const State& state() const { return state_; }
    Subscription subscribe(Observer observer);

    // Bindings: a view's write of a published field. Nothing reacts to it
    // beyond the notification.
    void setErrorMessage(std::optional<std::string> text) { assign(state_.errorMessage, std::move(text), Field::errorMessage); }
    void setPasskeyMessage(std::optional<std::string> text) {
        assign(state_.passkeyMessage, std::move(text), Field::passkeyMessage);
    }

    // ---- Account actions ----
    // None of them throws: a failure sets errorMessage to the error's text,
    // status to kAttentionStatus and isBusy to false (where the action set it).

    // Browser sign-in, a new session, drive discovery, encryption status;
    // stops signed in when encryption needs an unlock or a setup, otherwise
    // registers the domain and shows the folder.
    UiTask<void> signInAndMount();
    // Registers the domain for the stored session.
    UiTask<void> mount();
    // Removes the domain; the session stays.
    UiTask<void> unmount();
    // Re-reads the encryption status, then signals the root and the working set.
    UiTask<void> refresh();
    // Shows the domain's folder in the file manager.
    UiTask<void> openInFinder();
    // Evicts the downloaded files of the domain (defined with the space cleaner).
    UiTask<void> freeUpSpace();
    // Ends passkey work, removes the domain, deletes the stored session.
    UiTask<void> signOut();
    // Unlocks encryption with the passphrase (useRecoveryKey false) or the recovery key.
    UiTask<void> unlockEncryption(std::string secret, bool useRecoveryKey);
    // Unlocks encryption with a platform passkey of the account.
    UiTask<void> unlockEncryptionWithPasskey();

    // ---- Encryption status and passkeys (defined in their own file) ----

    // Reads the account's encryption state and sets the four encryption
    // flags and, for an encrypted account, status; starts the passkey list
    // load in the background when needed. Its errors reach the awaiting
    // caller (no field changes then).
    UiTask<void> refreshEncryptionStatus();
    // Loads the passkey list (returns at once while a load runs). Never
    // throws. A stop request (a newer discovery, sign-out) leaves the list as
    // it was and only clears passkeyLoading.
    UiTask<void> refreshPasskeys(std::stop_token cancel = {});
    // Adds a passkey with the label; true when it was added.
    UiTask<bool> createPasskey(std::string label);
    // Removes one item of passkeyItems.
    UiTask<void> deletePasskey(E2EEJSON item);

    // ---- Domain registration ----

    // Whether a registered domain has the identifier "nimbuscrate".
    UiTask<bool> domainIsRegistered();
    UiTask<void> addDomain();
    // Removes the domain. The host keeps files that were never uploaded in a
    // folder beside the mount folder; when it did, unsentFilesFolder names it.
    UiTask<void> removeDomain();
    // Once per installation: removes (when registered) and adds the domain,
    // then sets the migration flag in the standard defaults.
    UiTask<void> migrateReplicatedDomainIfNeeded();

    // ---- Start ----

    // The restore started by the constructor has ended.
    bool restoreFinished() const { return restore_.done(); }
    const fp::Domain& domain() const { return domain_; }
    EncryptionPasskeyProvider& passkeyProvider() { return *passkeyProvider_; }
    DesktopOAuthClient& oauth() { return *oauth_; }

private:
    // The one-time restore of the stored session.
    UiTask<void> restoreSession();
    // Signals one container of the manager; a failure is reported later
    // through errorMessage and status, never to the caller.
    UiTask<void> signal(fp::ManagerPtr manager, fp::ItemId container);
    // Shows the manager's root folder; a failure is reported later.
    UiTask<void> revealRoot(fp::ManagerPtr manager);

    // The failure rule: errorMessage = the error's text, status =
    // kAttentionStatus, then isBusy = false when `clearBusy`.
    void fail(std::exception_ptr error, bool clearBusy = true);
    // The same from a separate step on the UI executor (signal and reveal failures).
    void reportLater(std::string message);
    // The text users see for an error.
    static std::string describe(std::exception_ptr error);

    // Stores a published field and notifies the observers.
    template <class Value, class New>
    void assign(Value& field, New&& value, Field which) {
        field = std::forward<New>(value);
        notify(which);
    }
    void notify(Field which);

    // The upload poll on its thread: reads the count every 0.4 s on the
    // clock and posts a change of isUploading, until stopped.
    void monitorUploadActivity(std::stop_token stop);

    UiContext context() const { return UiContext{ui_, workers_, alive_}; }

    Executor& ui_;
    TaskPool& workers_;
    Clock& clock_;
    KeychainStore sessionStore_;
    OcisClient& files_;
    std::shared_ptr<E2EEClient> encryption_;
    std::shared_ptr<fp::DomainService> domains_;
    Defaults& standardDefaults_;
    Defaults& groupDefaults_;
    FolderRevealer& revealer_;

    // Work posted to the UI executor holds it weakly: it does nothing once
    // the model is gone.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);

    State state_;
    std::shared_ptr<std::map<std::uint64_t, Observer>> observers_ =
        std::make_shared<std::map<std::uint64_t, Observer>>();
    std::uint64_t nextObserver_ = 1;

    std::unique_ptr<EncryptionPasskeyProvider> passkeyProvider_;
    // The last passkey list loaded successfully.
    std::optional<E2EEClient::PasskeySnapshot> passkeyContext_;
    // The passkey list load started by the encryption status, and what stops it.
    struct PasskeyDiscovery {
        UiTask<void> task;
        std::stop_source stop;
    };
    std::optional<PasskeyDiscovery> passkeyDiscovery_;
    std::unique_ptr<DesktopOAuthClient> oauth_;
    fp::Domain domain_{kDomainIdentifier, kDomainDisplayName};
    std::string replicatedDomainMigrationKey_ = kReplicatedDomainMigrationKey;

    // The upload poll's thread and what stops it (the destructor joins it).
    std::stop_source uploadActivityStop_;
    std::thread uploadActivityThread_;

    UiTask<void> restore_;
};

}  // namespace nimbuscrate
