#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
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
#include "shared/encryption-client/E2EEThumbnail.h"
#include "shared/encryption/E2EECrypto.h"
#include "shared/encryption/E2EEJSON.h"
#include "shared/encryption/SecretBytes.h"
#include "shared/session/DesktopSession.h"
#include "shared/session/DriveSelection.h"
#include "shared/session/E2EESecretStore.h"
#include "shared/session/EncryptedDriveService.h"
#include "shared/session/MappingStore.h"
#include "shared/session/RemoteItem.h"

namespace nimbuscrate {

class E2EEUploadJournal;

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
        // Where downloads put their ciphertext and their new private
        // folders; empty: the system's temporary directory.
        std::filesystem::path temporaryDirectory = {};
        // Renders the preview a commit attaches to a new revision (none: no
        // preview). Called on the committing thread, outside the mutex.
        E2EEThumbnail::LocalRenderer localPreview = E2EEThumbnail::makeLocalPreview;
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
    // ---- The app's encryption state, unlock and passkeys ----
    // (Defined in their own library, which only the app and the tests link.)

    // The account's encryption flags for the app.
    struct EncryptionState {
        // The account is an object that is onboarding, in mode "required" or
        // "write_paused", or has a key record.
        bool enabled = false;
        // unlockedKeyRecord() gives a key set (any error of it counts as no).
        bool unlocked = false;
        // The account has no key record (none, or null).
        bool needsSetup = false;
        // Mode "write_paused".
        bool writePaused = false;
        bool operator==(const EncryptionState&) const = default;
    };
    // Loads the account (its errors pass through) and reads the flags.
    EncryptionState encryptionState(std::stop_token stop = {});

    // Unlocks the account's key set with the passphrase or the recovery key
    // as typed, and installs it for the session current at the start.
    // DesktopError::notAuthenticated without a session, the account load's
    // errors, E2EEError::setup without a key record, E2EEError::invalid for
    // a wrong or malformed secret or record (before any hashing where the
    // input shows it), then installUnlockedKeys's errors. The key derivation
    // runs on a worker thread of its own while the calling thread waits; it
    // cannot be interrupted, and a stop request that came meanwhile ends the
    // call after it (CancellationError, nothing stored).
    //
    // A key set that opens and matches the service's key record proves that
    // the user holds it, so this unlock (unlike any other call) goes on when
    // the service's public key differs from the pinned identity (the
    // account's keys were reset): a successful unlock pins the new key.
    void unlockEncryption(const std::string& secret, bool useRecoveryKey, std::stop_token stop = {});

    // Stores an unlocked key set for the session in which its unlock began:
    // E2EEError::sessionChanged when the current session is another one
    // (nothing stored); the key set must match the cached account's key
    // record (verifyKeyRecord's errors, nothing stored). Then writes the
    // identity item (the key set's "publicKey", "required" once the account
    // requires encryption or the item already said so), then the key item
    // of the session, and makes the next snapshot refresh reload. A failed
    // write ends the call (the identity item may stay written).
    void installUnlockedKeys(const E2EEJSON& keys, const std::string& sessionID);

    // The passkey list as read for one session and account.
    struct PasskeySnapshot {
        std::string login;             // the session identifier current when the list was read
        E2EEJSON account;              // the account record of that listing
        std::int64_t generation = 0;   // the list's generation, 1 ... 2^53 - 1
        std::vector<E2EEJSON> items;   // the stored passkeys (record plus "envelope"), in the service's order
    };

    // GET "e2ee/account/passkeys" (8 s) for the current session, verified
    // against the account's key record. E2EEError::setup without a key
    // record; with requireUnlocked, unlockedKeyRecord's errors before any
    // request; E2EEError::sessionChanged when the session changed meanwhile.
    PasskeySnapshot loadPasskeys(bool requireUnlocked, std::stop_token stop = {});
    // Unlocks with a passkey of the snapshot and the PRF output of its salt,
    // after reading the list again: PasskeyError::missing for a passkey not
    // in the snapshot or not of the web app host, PasskeyError::changed when
    // the fresh list no longer holds it, E2EEError::identity when the
    // account changed its identifier or key, then installUnlockedKeys. The
    // identity item is never moved to another key here. `prf` is wiped
    // (zeros) whenever the call returns or throws.
    void unlockWithPasskey(const E2EEJSON& passkey, SecretBytes& prf, const PasskeySnapshot& snapshot,
                           std::stop_token stop = {});
    // Registers a new passkey record: its envelope holds the unlocked key
    // set under the PRF output, and the signed add intent names the
    // generation of the list read at the start. PasskeyError::limit with ten
    // passkeys, PasskeyError::changed when its "id" or "credentialId" is
    // listed already, E2EEError::invalid for a record not of the web app
    // host. When the request fails but a fresh list shows the passkey
    // exactly as sent, the add counts as done. `prf` is wiped on every exit.
    void addPasskey(const E2EEJSON& record, SecretBytes& prf, const std::string& login, const E2EEJSON& account,
                    std::stop_token stop = {});
    // Removes a listed passkey with a signed remove intent of the generation
    // of the list read at the start; PasskeyError::changed when the fresh
    // list no longer holds it.
    void removePasskey(const E2EEJSON& passkey, const std::string& login, const E2EEJSON& account,
                       std::stop_token stop = {});
    // Returns when the session is still `sessionID` (else
    // E2EEError::sessionChanged) and the current account has the earlier
    // one's "accountId" and key record "publicKey" (else E2EEError::identity).
    void verifyAccountReply(const std::string& sessionID, const E2EEJSON& earlier, const E2EEJSON& current) const;

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

    // ---- Encrypted contents: blob locations, downloads, ranged reads, thumbnails ----
    //
    // A revision record is a node's "entry" (or a thumbnail entry): the
    // service's file record {"manifest", "driveId", "parentItemId",
    // "opaqueName", "ciphertextLength", "revisionId", "generation", ...}.
    // Every transfer sends exactly one header, "Authorization", never
    // follows a redirect (a 3xx is a failure status) and compares the
    // session identifier before sending and after the body; a change is
    // E2EEError::sessionChanged and nothing of the call stays on disk.

    static constexpr double kBlobDownloadTimeoutSeconds = 300;
    static constexpr double kRangeReadTimeoutSeconds = 20;
    static constexpr double kThumbnailTimeoutSeconds = 20;
    // Bounds of a stored thumbnail's ciphertext (1 to 262,144 bytes of JPEG
    // in a one-segment stream).
    static constexpr std::int64_t kMinThumbnailCiphertext = 57;
    static constexpr std::int64_t kMaxThumbnailCiphertext = 262'200;
    static constexpr const char* kDownloadFailureMessage = "Encrypted download is unavailable. Try again shortly.";
    static constexpr const char* kThumbnailFailureMessage = "The encrypted thumbnail is unavailable.";
    static constexpr const char* kPreviewSourceFailureMessage = "The encrypted preview source is unavailable.";

    // The WebDAV location of the revision's blob: the web app's
    // "dav/spaces/<drive id>/<opaque name>", each of the two a single
    // percent-encoded segment. Opens the manifest with the unlocked keys and
    // checks the revision against it (their errors pass through); a drive
    // the account does not own, a blob not at its drive's root, a drive id or
    // name that is not a string, or is empty, "." or "..": E2EEError::invalid.
    Url blobURL(const E2EEJSON& revision) const;
    // The media service's "v1/encrypted-thumbnail?nodeId=&revisionId=" of
    // the revision; fails exactly where blobURL fails.
    Url encryptedThumbnailURL(const E2EEJSON& revision) const;

    // Downloads the revision's blob and decrypts it into a file named `name`
    // in a new folder (mode 0700, named by a fresh UUID) under the temporary
    // directory, and returns the file; the caller owns the folder. The
    // transfer stops with E2EEError::invalid as soon as more bytes arrive
    // than the manifest's ciphertext length. A status other than 200:
    // DesktopError::server(status, kDownloadFailureMessage); a name that is
    // no valid item name: E2EEError::invalid; decryption errors pass
    // through. The ciphertext file is always removed, and on any failure the
    // new folder too.
    std::filesystem::path downloadBlob(const E2EEJSON& revision, const std::string& name, std::stop_token stop = {});

    // The bytes lowerBound ..< upperBound of the blob at url whose whole
    // length is total, for the session sessionID (E2EEError::sessionChanged
    // when it is no longer the current one). A 206 must carry exactly
    // "Content-Range: bytes <lower>-<upper - 1>/<total>", else
    // E2EEError::invalid; a 200 is taken only for the whole blob; any other
    // status is DesktopError::server(status, kPreviewSourceFailureMessage).
    // A body longer than the range fails as soon as the extra byte arrives,
    // a shorter one at its end (E2EEError::invalid). A range that is empty or
    // outside 0 ... total is E2EEError::invalid before anything is sent.
    Bytes readEncryptedRange(const Url& url, std::int64_t lowerBound, std::int64_t upperBound, std::int64_t total,
                             const std::string& sessionID, std::stop_token stop = {}) const;
    // The range reader over one revision's blob for the preview reader: each
    // call reads the total from the manifest's "ciphertextLength" (a safe
    // integer, else E2EEError::invalid) and reads the range through
    // readEncryptedRange. The client must outlive it.
    using RangeFetch = std::function<Bytes(std::int64_t lowerBound, std::int64_t upperBound, std::stop_token stop)>;
    RangeFetch encryptedRangeFetch(Url url, const E2EECrypto::File& file, std::string sessionID) const;

    // The opened bytes of one stored thumbnail, from the media service
    // (fromMediaService) or from the thumbnail revision's blob. Its
    // manifest's ciphertext length must lie within kMinThumbnailCiphertext
    // ... kMaxThumbnailCiphertext before anything is sent, and the body may
    // not pass it (E2EEError::invalid). A status other than 200:
    // DesktopError::server(status, kThumbnailFailureMessage).
    Bytes requestEncryptedThumbnail(const E2EEJSON& entry, bool fromMediaService, std::stop_token stop = {});

    // The decrypted contents of the item's current revision (downloadBlob of
    // the node's "entry" after a forced refresh); E2EEError::conflict when
    // the item's etag is not the current revision's.
    std::filesystem::path downloadEncryptedFile(const RemoteItem& item, std::stop_token stop) override;
    // The JPEG thumbnail of the item: its stored thumbnails in order (the
    // media service first, its blob when the media service answers 404, 410
    // or 5xx; a blob answering 404 or 410 moves on to the next), else none
    // (thumbnails are not generated on the device yet). Concurrent calls for
    // one revision in one session share one lookup: the first caller runs it
    // and its cancellation ends it for all; later callers wait for it
    // whatever happens to them.
    std::optional<Bytes> fetchEncryptedThumbnail(const RemoteItem& item, std::stop_token stop) override;

    // ---- Resumable encrypted uploads ----
    //
    // A staged encrypted file goes to the drive through the account API's
    // resumable uploads: a reservation (POST "uploads"), each part sent by a
    // plain PUT to a URL the service hands out for it (GET
    // "uploads/<id>/parts?from=<n>&count=1"), and the completion (POST
    // "uploads/<id>/complete"), while a heartbeat (POST
    // "uploads/<id>/heartbeat") keeps the reservation alive.

    static constexpr double kPartUploadTimeoutSeconds = 600;
    // Bytes copied at a time when a part is cut from the staged file.
    static constexpr std::size_t kPartCopyChunk = 1'048'576;
    static constexpr int kPartAttempts = 3;
    static constexpr double kCompletionDeadlineSeconds = 1800;
    static constexpr double kCompletionPollSeconds = 2;
    static constexpr std::int64_t kDefaultHeartbeatSeconds = 30;
    static constexpr std::int64_t kMinHeartbeatSeconds = 10;
    static constexpr std::int64_t kMaxHeartbeatSeconds = 300;
    static constexpr std::int64_t kMaxPartSize = 5'368'709'120;
    static constexpr std::int64_t kMaxPartCount = 10'000;

    // Uploads the staged encrypted file of a prepared revision to the drive
    // and returns its revision record {"manifest", "driveId", "parentItemId"
    // (both the drive's id), "opaqueName", "ciphertextLength", "revisionId",
    // "generation" (previousGeneration + 1), "current": true}.
    //
    // Progress goes into the journal's object under `key` ("main" or
    // "preview"; the caller creates that object, else nothing is recorded
    // and nothing can resume), each member saved at once: "reservation" (the
    // service's reply, stored only once it has passed its checks),
    // "completing": true (every part stored) and "entry" (the record). A
    // later call with a saved reservation sends every part again from part
    // 1 under it; with "completing" it only completes.
    //
    // Parts are cut one at a time into "<UUID>.part" (mode 0600) beside the
    // encrypted file, whose folder belongs to the operation (part files an
    // interrupted earlier run left there are removed first), and each is
    // sent with exactly the headers its location lists: no bearer token, no
    // header of the transport's own. A part gets kPartAttempts attempts, each
    // with a fresh location; a location that breaks its rules (number,
    // length, an https URL without user or password, headers that are HTTP
    // tokens with values free of CR, LF and NUL and never "Authorization",
    // "Cookie" or "Host"), a failed request, a transport error or a status
    // outside 2xx (DesktopError::invalidResponse) is a failed attempt. A
    // changed session (E2EEError::sessionChanged) or a stop request
    // (CancellationError) ends the call at once. A failed call leaves no
    // part file behind.
    //
    // Errors: DesktopError::notAuthenticated without a session; the errors
    // of ensureWritable; E2EEError::invalid for a manifest without safe
    // integer "ciphertextLength" and "previousGeneration", a reservation or
    // completion reply that breaks its rules, a staged file shorter than the
    // ciphertext, or a completion still "completing" kCompletionDeadlineSeconds
    // after this call's first complete request (polled every
    // kCompletionPollSeconds on the client's clock); the errors of the
    // requests, the state file and the file system unchanged. A 409 of the
    // service (E2EEError::conflict), a 404 or 410 of the reservation before
    // "completing" was saved, and a stored reservation that is not a valid
    // one, mean the revision can never be stored this way: the journal is
    // reset (E2EEUploadJournal::reset) before the error is thrown, so the
    // next commit prepares a new revision.
    //
    // Blocks the calling thread; the heartbeat runs on a thread of its own
    // that ends before the call returns.
    E2EEJSON uploadEncryptedFile(const E2EECrypto::Prepared& prepared, const std::filesystem::path& encryptedFile,
                                 const DriveSelection& drive, E2EEUploadJournal& journal, const std::string& key,
                                 std::stop_token stop = {});

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

    // Commits a local plaintext file as a new revision of a file node (of a
    // new node when existingNode is absent) named `name` under parentId
    // ("root" or a folder's node id) and returns the committed node's item.
    //
    // One operation is (session, account, drive, parent, name, node); its
    // journal under "Pending" in the state directory keeps every finished
    // step, so a commit interrupted anywhere (a crash, a lost network, a
    // stop request) goes on from there when the same operation is committed
    // again: nothing is encrypted, reserved or uploaded twice. A second
    // commit of an operation while one runs: E2EEError::conflict at once.
    //
    // A new revision is started only with allowNewRevision (else
    // E2EEError::conflict): the name must be free under the parent
    // (ensureNameAvailable), and with existingNode and baseVersion the node's
    // current etag must be baseVersion (E2EEError::conflict). The file is
    // hashed, encrypted into the journal's staged file and hashed again
    // (E2EEError::conflict when it changed meanwhile) on the calling thread,
    // outside the mutex, and its preview (Services::localPreview) sealed
    // beside it; then the journal is saved, and only then is anything sent:
    // the upload of the revision, of the preview and the preview's store as
    // the revision's thumbnail. The commit counts only when a forced refresh
    // shows the node with the new revision under the requested parent and
    // name (else E2EEError::conflict; E2EEError::history without the node).
    //
    // When the file changed since the journal's revision was prepared, a
    // finished operation, or one whose revision was never asked to complete,
    // starts over with a new revision where one is allowed; where the old
    // revision may already be current, E2EEError::conflict. A finished
    // operation whose confirmation no longer holds (node deleted or moved,
    // another revision current) starts over too, where allowed.
    // E2EEError::sessionChanged when the session changes between admission
    // and the confirmation; the stop token ends hashing, encryption and
    // transfers with CancellationError. Staged files are removed once done.
    RemoteItem commitEncryptedFile(const std::filesystem::path& contents, const std::string& name,
                                   const E2EEJSON& parentId, const std::optional<E2EEJSON>& existingNode,
                                   std::optional<Date> modified, const std::optional<std::string>& baseVersion,
                                   bool allowNewRevision, std::stop_token stop);
    // The unpadded base64url SHA-256 of a file, read in 1 MiB pieces; a stop
    // request ends it with CancellationError, file errors pass through.
    static std::string contentDigest(const std::filesystem::path& file, std::stop_token stop = {});

    static constexpr double kThumbnailStoreTimeoutSeconds = 90;
    static constexpr std::size_t kMaxThumbnailStoreReplyBytes = 1024;
    static constexpr const char* kThumbnailStoreFailureMessage =
        "The encrypted thumbnail could not be stored. Refresh and retry.";
    // Asks the media service to keep the uploaded, sealed preview of a
    // revision record (the record the preview's upload returned) as that
    // revision's thumbnail: POST encryptedThumbnailURL(revision) with
    // "Authorization" and "Content-Type: application/octet-stream" and no
    // body, 90 s idle time-out. Returns only when the service answers 2xx
    // with a JSON object whose "stored" is true. encryptedThumbnailURL's
    // errors pass through; another session at the end:
    // E2EEError::sessionChanged; a status outside 2xx (a 3xx included):
    // DesktopError::server(status, kThumbnailStoreFailureMessage); a reply
    // over kMaxThumbnailStoreReplyBytes or without "stored": true:
    // E2EEError::invalid; one that is not JSON: JSONReadError. Nothing is
    // retried and no state is kept.
    void storeEncryptedThumbnail(const E2EEJSON& revision, std::stop_token stop = {});

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

    // loadAccount; with acceptNewKey a service public key that differs from
    // the pinned identity is let through (nothing is written to the pin), for
    // the unlock that may prove the new key.
    E2EEJSON loadAccount(std::stop_token stop, bool acceptNewKey);
    // loadPasskeys for a change based on an earlier listing (none: a plain
    // listing): the fresh account must pass verifyAccountReply against
    // `earlier` (for `login`)
    // before the list is asked for, so that a list signed by another key
    // shows as the identity change it is.
    PasskeySnapshot loadPasskeys(bool requireUnlocked, std::stop_token stop, const std::string& login,
                                 const E2EEJSON* earlier);
    // The opened manifest of a revision and its blob location (blobURL's checks).
    struct BlobLocation {
        E2EECrypto::File file;
        Url url;
    };
    BlobLocation locateBlob(const E2EEJSON& revision) const;
    // The stored thumbnails of a node in order, then generation.
    std::optional<Bytes> lookUpThumbnail(const std::vector<E2EEJSON>& entries, const E2EEJSON& node,
                                         std::stop_token stop);
    // A thumbnail rendered on the device: not built yet, so none.
    std::optional<Bytes> createEncryptedThumbnail(const E2EEJSON& node, std::stop_token stop);
    std::filesystem::path temporaryDirectory() const;
    // One attempt at one part of an upload: a fresh location, checked, and
    // the PUT of the part file (defined with the uploads).
    void sendPart(const std::string& uploadId, std::int64_t number, std::int64_t length,
                  const std::filesystem::path& partFile, const std::string& sessionID, std::stop_token stop) const;
    // One shared thumbnail lookup (defined with the downloads).
    struct ThumbnailTask;
    // One call of commitEncryptedFile (defined with it).
    class FileCommit;

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
    // The thumbnail lookups in progress, by session identifier + ":" +
    // revision identifier; an entry lives while its first caller runs it.
    std::map<std::string, std::shared_ptr<ThumbnailTask>> thumbnailTasks_;
    // The operation keys of the commits in progress.
    std::set<std::string> activeUploads_;
    // Counts the writes of the state file begun (an own record merged, a
    // refresh's receipts accepted): a refresh whose rollback check fails
    // after another one began reads its pages again.
    std::uint64_t stateFileWrites_ = 0;
};

}  // namespace nimbuscrate
