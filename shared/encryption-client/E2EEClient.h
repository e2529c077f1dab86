#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/Url.h"
#include "platform/http/HttpHeaders.h"
#include "platform/http/HttpTransport.h"
#include "platform/tasks/Clock.h"
#include "shared/encryption-client/E2EENodeLookup.h"
#include "shared/encryption-client/E2EEStateFile.h"
#include "shared/encryption/E2EEJSON.h"
#include "shared/session/DesktopSession.h"
#include "shared/session/DriveSelection.h"
#include "shared/session/E2EESecretStore.h"
#include "shared/session/EncryptedDriveService.h"
#include "shared/session/MappingStore.h"
#include "shared/session/RemoteItem.h"

namespace nimbuscrate {

// What commitEncryptedFile throws while encrypted uploads are not built.
class E2EEUploadUnavailable : public std::runtime_error {
public:
    E2EEUploadUnavailable()
        : std::runtime_error("Encrypted file contents cannot be uploaded yet; the file stays on this device.") {}
};

// The client of the service's account API for accounts with end-to-end
// encryption: the account and its mode, the identity pin, the unlocked keys,
// the verified, decrypted snapshot of the encrypted library, and the signed
// node records that create, rename, move and delete encrypted items.
//
// One object serves the whole process. Every operation blocks the calling
// thread and any number may run at once on different threads. The state
// that changes (the account record, the snapshot items, when they were
// loaded and which session they belong to) sits behind one mutex that is
// held only for the steps that read or change it, never across a request,
// a secret-store or file access, or the snapshot build; other calls go on
// meanwhile, and each operation checks at its end that the state it built
// on still belongs to its session.
//
// Every request reads the stored session's identifier before the token,
// after the token and after the reply; a change ends the operation with
// E2EEError::sessionChanged, whatever the server answered.
class E2EEClient final : public EncryptedDriveService {
public:
    static constexpr const char* kUserAgent = "Nimbuscrate-macOS/1.1";
    // Largest account-API reply; one byte more fails while it arrives.
    static constexpr std::size_t kMaxReplyBytes = 2'097'152;
    static constexpr double kRequestTimeoutSeconds = 60;
    // Unforced snapshot refreshes within this many seconds of the last one
    // reuse it (monotonic time).
    static constexpr double kRefreshIntervalSeconds = 3.0;
    static constexpr std::size_t kMaxPageRecords = 100;
    static constexpr std::size_t kMaxListingRecords = 1'000'000;
    // Times a refresh reads the listings when each reading is overtaken by
    // a newer record of another call (then its rollback check stands).
    static constexpr int kMaxRefreshAttempts = 3;
    static constexpr const char* kAccountFormat = "nimbuscrate-tink-aes256-v1";
    static constexpr const char* kServerFailureMessage = "The encryption service could not complete this request.";
    static constexpr const char* kIdentityService = "app.nimbuscrate.e2ee.identity";
    static constexpr const char* kKeysService = "app.nimbuscrate.e2ee.keys";

    // How the client reaches the signed-in session, its access token and the
    // secret items. Each function may be called from any thread, at any time,
    // and is called afresh for every use.
    struct Credentials {
        // The stored session, or nothing when nobody is signed in; the secret
        // store's and decoding errors are thrown.
        std::function<std::optional<DesktopSession>()> session;
        // A valid access token (refreshed when needed); a stop request ends a wait.
        std::function<std::string(std::stop_token)> token;
        // The store of one secret item, given its service and account.
        std::function<std::shared_ptr<E2EESecretStore>(const std::string& service, const std::string& account)>
            secret;

        // The process's own: the session item of the shared secret store, the
        // shared token provider, and a secret-store item per (service, account).
        static Credentials system();
    };

    // Everything the client works with; nothing falls back to a
    // process-wide object on its own.
    struct Services {
        HttpTransport& transport;
        Credentials credentials;
        // The mapping database that encrypted changes are written into.
        MappingStore& mappings;
        // Its monotonic scale times the snapshot throttle.
        Clock& clock;
        // Base of the account API: https, the account-API host, path "/api/v1/".
        Url api;
        // The per-account state file and, later, the pending-upload journal;
        // created with mode 0700 when first needed.
        std::filesystem::path stateDirectory;
        // Threads that verify and open records while a snapshot is built.
        std::size_t snapshotThreads = 1;
    };

    explicit E2EEClient(Services services);
    E2EEClient(const E2EEClient&) = delete;
    E2EEClient& operator=(const E2EEClient&) = delete;

    // The process-wide client over the system credentials, the shared
    // transport and mapping database, the compiled-in account-API base and
    // the state directory in this program's own container; made on first use.
    static std::shared_ptr<E2EEClient> shared();

    // ---- Request core ----

    // The stored session's identifier; DesktopError::notAuthenticated when
    // there is no session or it has none. Errors reading the session pass
    // through.
    std::string currentSessionID() const;

    // One request to the account API; path is relative to the base and may
    // carry a query. Only a plain relative path is sent: no scheme, no
    // leading "/", no empty, "." or ".." segment, nothing but ASCII letters,
    // digits and "-._~" in the path and only URL query characters after "?";
    // the resulting URL must keep the base's scheme, host and port and lie
    // under its path. Anything else is E2EEError::invalid before anything
    // is sent. Headers "Authorization", "Accept" ("application/json"),
    // "User-Agent" and, with a body (its canonical text), "Content-Type"
    // ("application/json"); then each of `headers` replaces a field of its
    // name. A redirect is never followed. A reply body over kMaxReplyBytes
    // is E2EEError::invalid as soon as it is known, without reading on.
    // 2xx: the body as JSON, an empty body as an empty object (a body that is
    // not JSON: JSONReadError); 409: E2EEError::conflict; any other status:
    // DesktopError::server(status, kServerFailureMessage). Transport errors
    // and CancellationError pass through. Changes no state.
    E2EEJSON requestJSON(std::string_view path, const std::string& method, const std::optional<E2EEJSON>& body,
                         const HttpHeaders& headers = {}, double timeoutSeconds = kRequestTimeoutSeconds,
                         std::stop_token stop = {}) const;

    // The account-API URL of a relative path, checked as requestJSON checks
    // it (E2EEError::invalid).
    Url requestURL(std::string_view path) const;

    // ---- Account, identity and unlocked keys ----

    // Fetches, checks and caches the account record. The first load of a
    // session (and every load after one that failed) also sends the
    // bootstrap request. Pins the identity against the stored identity item
    // when there is one (E2EEError::identity on a mismatch) and marks it
    // required once the account requires encryption; never creates it.
    E2EEJSON loadAccount(std::stop_token stop = {});
    // The store of the identity item of an account record (E2EEError::invalid
    // for an account without a valid "accountId").
    std::shared_ptr<E2EESecretStore> readIdentity(const E2EEJSON& account) const;
    // The unlocked key set of the current session, verified against the
    // cached account's key record; E2EEError::locked when there is none or
    // the cache belongs to another session. Never cached.
    E2EEJSON unlockedKeyRecord() const;
    // The verified unlocked keys when encrypted writes are allowed (mode
    // "required"); E2EEError::paused in any other mode.
    E2EEJSON ensureWritable(std::stop_token stop = {});
    // Whether new content must go encrypted (mode "required");
    // E2EEError::setup while onboarding without a key record,
    // E2EEError::paused in mode "write_paused", the load's errors unchanged.
    bool isEncryptionRequired(std::stop_token stop) override;

    // The last account record loadAccount accepted (an empty object before).
    E2EEJSON cachedAccount() const;

    // ---- Library synchronisation ----

    // Every record of the "files" or "nodes" listing, in page order, page by
    // page along the "next" cursors. E2EEError::invalid for a page without
    // an "items" array, with more than kMaxPageRecords records or without a
    // string "next", for a cursor the server repeats, and once the listing
    // passes kMaxListingRecords; nothing is returned then.
    std::vector<E2EEJSON> fetchAllPages(std::string_view collection, std::stop_token stop = {}) const;
    // The query value of a cursor: every byte but an ASCII letter or digit
    // percent-encoded.
    static std::string encodedCursor(std::string_view cursor);

    // The state file of the cached account (E2EEError::invalid without a
    // valid "accountId"), its directory created with mode 0700.
    std::filesystem::path stateFileURL() const;
    // Merges the receipt of a record the client itself sent and the service
    // accepted (a node record, or with `file` a committed file manifest and
    // the node record it embeds) into the state file, and makes the next
    // refresh reload, within the throttle window too.
    void updateStateFile(const E2EEJSON& record, bool file);

    // Brings the snapshot up to date: loads the account (always), then,
    // unless `force` is false and the last refresh is less than
    // kRefreshIntervalSeconds old, fetches both listings, builds and checks
    // the snapshot (off the mutex), checks its receipts against the state
    // file (E2EEError::history on a rollback) and replaces the file with
    // them. When another call of this client wrote the state file while the
    // pages were read, a failed check reads them again (kMaxRefreshAttempts
    // in all). Any failure leaves the snapshot items and the state file as they
    // were. E2EEError::locked without unlocked keys.
    void refreshSnapshot(bool force, std::stop_token stop = {});

    // ---- Node lookup (over the cached account and snapshot) ----

    // The session's selected drive, verified to be one of the account's.
    DriveSelection verifiedDrive() const;
    // The node key ("root" or a node id) of an item identifier.
    E2EEJSON parseEncryptedIdentifier(const RemoteItem& item) const;
    // The live snapshot item of the node an item names.
    E2EEJSON nodeRecord(const RemoteItem& item) const;
    // E2EEError::conflict when a live child of parent other than excluding
    // has the name (canonical composition and full lower-casing).
    void ensureNameAvailable(std::string_view name, const E2EEJSON& parent, const E2EEJSON& excluding) const;

    // ---- Encryption seam ----

    // The live encrypted items directly under the drive root or an encrypted
    // folder, in snapshot order. An account without a key record has none
    // (and no listing is fetched), unless it needs setup (onboarding, or mode
    // "required" or "write_paused"): E2EEError::setup. Writes nothing to the
    // mapping database.
    std::vector<RemoteItem> listEncryptedChildren(const RemoteItem& parent, std::stop_token stop) override;

    // Downloads and thumbnails of encrypted items are not built yet and
    // fail as in a process without an encryption client.
    std::filesystem::path downloadEncryptedFile(const RemoteItem& item, std::stop_token stop) override;
    std::optional<Bytes> fetchEncryptedThumbnail(const RemoteItem& item, std::stop_token stop) override;

    // ---- Node changes ----
    //
    // Each change starts from the writable account (ensureWritable: its keys
    // sign the record) and a forced snapshot refresh, and is one signed node
    // record sent with POST "e2ee/nodes" at the node's current generation
    // plus 1 (1 for a new node); new file contents go through
    // commitEncryptedFile instead. After the service accepts a record its
    // receipt goes into the state file, then the mapping database is
    // updated. Nothing is sent when a check fails: E2EEError::conflict for a
    // stale version, a name a live sibling has, a parent that is not a
    // folder or a folder moved below itself; E2EEError::invalid for a name
    // or identifier the record formats refuse, a generation that is not a
    // safe integer or an account without an id; the lookups' errors for a
    // missing item or parent. A 409 of the service is E2EEError::conflict.
    // A failure after the service accepted the record is thrown; the change
    // stands and the next refresh shows it.

    // A new folder (isDirectory) under the root or a live encrypted folder,
    // at generation 1 under a fresh lowercase UUID; a file with or without
    // contents is committed as a new revision (an empty one without).
    RemoteItem createEncryptedItem(const std::string& name, const RemoteItem& parent, bool isDirectory,
                                   const std::optional<std::filesystem::path>& contents, std::optional<Date> modified,
                                   std::stop_token stop) override;
    // Without contents: a rename and/or move of item, refused unless
    // baseVersionMatches and item's etag is the node's current one. With
    // contents: a new revision committed against item's etag.
    RemoteItem modifyEncryptedItem(const RemoteItem& item, const RemoteItem& parent, const std::string& name,
                                   const std::optional<std::filesystem::path>& contents, std::optional<Date> modified,
                                   bool baseVersionMatches, std::stop_token stop) override;
    // A tombstone of item's node (same id, kind, parent, name and drive) when
    // item's etag is the node's current one; then the item's row and its
    // children's rows leave the mapping database. The snapshot is not
    // refreshed.
    void deleteEncryptedItem(const RemoteItem& item, std::stop_token stop) override;
    // Refreshes the snapshot (forced) and writes the first live item of the
    // node into the mapping database; returns that item. E2EEError::history
    // when the node is not live in the refreshed snapshot; the store's
    // errors pass through.
    RemoteItem recordNodeChange(const E2EEJSON& nodeId, std::stop_token stop = {});

    // New contents of a file as a new revision (of a new node when
    // existingNode is absent), uploaded and committed through the pending
    // journal, ending with recordNodeChange of the node. The upload and
    // commit pipeline is not part of this build yet: every call fails with
    // E2EEUploadUnavailable and sends nothing.
    RemoteItem commitEncryptedFile(const std::filesystem::path& contents, const std::string& name,
                                   const E2EEJSON& parentId, const std::optional<E2EEJSON>& existingNode,
                                   std::optional<Date> modified, const std::optional<std::string>& baseVersion,
                                   bool baseVersionMatches, std::stop_token stop);

private:
    // The "accountId" of the cached account; E2EEError::invalid without one.
    std::string cachedAccountId() const;
    // Sends one node record and merges its receipt into the state file.
    void sendNodeRecord(const E2EEJSON& record, std::stop_token stop);

    // The cached account and snapshot items with the session's drive, as one
    // consistent view for the lookups.
    struct LookupView {
        E2EEJSON account;
        std::shared_ptr<const std::vector<E2EEJSON>> items;
        std::optional<DriveSelection> drive;
        E2EENodeLookup lookup() const { return E2EENodeLookup(account, *items, drive); }
    };
    LookupView lookupView() const;

    const Services services_;
    const E2EEStateFile stateFile_;

    // Guards the fields below. Held only for reading or changing them:
    // never across a request, a secret-store or file access or the snapshot
    // build, and nothing else is locked under it.
    mutable std::mutex mutex_;
    // The per-session cache: the last accepted account record, the snapshot
    // items and when they were loaded (monotonic seconds), and the session
    // they belong to.
    E2EEJSON account_;
    std::shared_ptr<const std::vector<E2EEJSON>> items_;
    double loadedAt_ = -std::numeric_limits<double>::infinity();
    std::string ownerSession_;
    // Counts the invalidations of the snapshot (a new session, an own
    // change): a refresh that began before one does not mark itself fresh.
    std::uint64_t invalidations_ = 0;
    // Counts the writes of the state file begun (an own record merged, a
    // refresh's receipts accepted): a refresh whose rollback check fails
    // after another one began reads its pages again.
    std::uint64_t stateFileWrites_ = 0;
};

}  // namespace nimbuscrate
