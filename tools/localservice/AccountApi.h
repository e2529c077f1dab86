#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/localservice/FaultKnobs.h"
#include "tools/localservice/HttpExchange.h"
#include "tools/localservice/PasskeyApi.h"

namespace nimbuscrate::localservice {

class CountingHost;

// The account API of encrypted accounts, under "/api/v1/" of the account API
// host (the bearer check is the router's):
//
//   GET  e2ee/account              the configured account, exactly as given
//   POST mobile/account/bootstrap  {"userId": <the account's "accountId">}
//   GET  e2ee/nodes?after=<cursor> {"items": [<node entry>...], "next": <cursor or "">}
//   GET  e2ee/files?after=<cursor> {"items": [<file record>...], "next": <cursor or "">}
//   POST e2ee/nodes                a signed node record {"value", "signature"}
//                                  of the account, as JSON; answers
//                                  {"nodeId", "generation"}
//
// A node write must be well formed (else 400; 403 for another account's
// record, 413 past 1 MiB, 415 without a JSON content type) and name the
// next generation: 1 for a new node, the stored one plus 1 for a known node,
// else 409 and nothing changes.
//
// A node entry is {"state": <signed node record>}, plus "erased": true for a
// node seeded as erased. Records are opaque JSON: the service checks their
// shape and generations, never a signature, and stores and serves the bytes
// it was given. Each node (by "value"."nodeId" of its record) and each file
// (by "manifest"."value"."nodeId") keeps every version it was given; a
// listing serves the newest one, in the order in which the nodes and files
// first arrived, so a record once listed is never dropped (a tombstone
// stays listed) and a page never skips one.
//
// The first page is asked for with an empty or no "after"; each page's
// "next" is the cursor of the following one, "" after the last. Cursors
// are opaque (they hold "-", "_", "~", "/", "=" and a non-ASCII letter); a
// cursor the service did not issue for that listing is 400.
//
// Every number in a stored or served record is a safe integer.
//
// Thread-safe; every operation may be called from any thread.
class AccountApi {
public:
    enum class Collection { nodes, files };

    static constexpr std::size_t kMaximumPageSize = 100;
    static constexpr int kEveryCall = FaultKnobs::kEveryCall;

    // The account a new service answers with: a plain account without
    // encryption ("mode" "legacy", no key record, no drives).
    static const char* const kPlainAccount;

    // `secondHost` makes the redirect target when a redirect knob is first set.
    explicit AccountApi(std::function<std::unique_ptr<CountingHost>()> secondHost);
    ~AccountApi();
    AccountApi(const AccountApi&) = delete;
    AccountApi& operator=(const AccountApi&) = delete;

    // Whether the path (decoded, on the account API host) is one of the routes above.
    static bool serves(std::string_view path);
    Reply handle(const IncomingRequest& request);

    // The account GET e2ee/account answers with: a JSON object whose numbers
    // are integers, served byte for byte. Throws std::invalid_argument otherwise.
    void setAccount(const std::string& accountJson);
    std::string account() const;
    // The account's passkey list (its routes: PasskeyApi.h).
    PasskeyApi& passkeys() { return passkeys_; }
    // POST mobile/account/bootstrap calls answered so far.
    std::size_t bootstrapCount() const;

    // Seeds a record as the newest version of its node or file, as a client
    // write or an upload would leave it, but without their checks except
    // these: a node record needs a string "value"."nodeId" and an integer
    // "value"."generation", a file record a string "manifest"."value"."nodeId"
    // and an integer "generation"; the generation must be at least 1 and
    // above the one stored for the node or file. Throws std::invalid_argument
    // otherwise.
    void putNode(const std::string& signedRecordJson, bool erased = false);
    void putFile(const std::string& fileRecordJson);
    // The newest stored record of a node or file, as given; none when unknown.
    std::optional<std::string> storedRecord(Collection collection, const std::string& nodeId) const;
    // Number of versions stored for a node or file (0 when unknown).
    std::size_t versionCount(Collection collection, const std::string& nodeId) const;
    // The newest stored generation of a node or file; 0 when unknown.
    std::int64_t storedGeneration(Collection collection, const std::string& nodeId) const;
    // Publishes a finished upload (UploadApi.h): the file record and, when
    // given, the node record its manifest embeds, each as exactly the next
    // generation of its file or node (the stored one plus 1; 1 when new).
    // Both or neither: false, with nothing stored, when either is not the
    // next one. Throws std::invalid_argument for records putFile or putNode
    // would refuse.
    bool publishRevision(const std::string& fileRecordJson, const std::optional<std::string>& nodeRecordJson);

    // Items per page of both listings, 1 to 100 (default 100); throws
    // std::invalid_argument outside that range.
    void setPageSize(std::size_t size);

    // Knobs, counted as the service's other knobs are: the next `times`
    // pages (or account replies, or requests) that a knob changes use it up
    // (kEveryCall: never); clearKnobs() (and LocalService::clearFaults())
    // removes them all.
    //
    // Pages of the listing serve the version before the newest of the node
    // or file ("" = of every one that has one), as a server rolled back would.
    void serveOlderRecord(Collection collection, const std::string& nodeId, int times = kEveryCall);
    // Pages of the listing leave the node or file out.
    void omitRecord(Collection collection, const std::string& nodeId, int times = kEveryCall);
    // Pages of the listing serve `recordJson` in place of the newest version
    // of its node or file: another body under the same generation, as a
    // signer that re-signs a generation would make. Used while that version
    // is the newest. Throws std::invalid_argument when the record names no
    // stored node or file, or another generation than its newest.
    void replaceRecordBody(Collection collection, const std::string& recordJson, bool erased = false,
                           int times = kEveryCall);
    // A page asked for with a non-empty cursor gives that cursor again as its
    // "next", as a server caught in a loop would (a listing needs two pages
    // or more to show it).
    void repeatCursor(Collection collection, int times = 1);
    // The next page holds 101 items (records repeat when fewer are left).
    void serveOversizedPage(Collection collection, int times = 1);
    // GET e2ee/account serves the account with "keyRecord"."publicKey" set to
    // this JSON Web Key (an account without a key record gets one:
    // {"version": 1, "accountId", "publicKey"}). Throws std::invalid_argument
    // when the key is not a JSON object with integer numbers.
    void swapAccountPublicKey(const std::string& publicKeyJson, int times = kEveryCall);
    // GET e2ee/account serves the account with this "mode".
    void swapAccountMode(const std::string& mode, int times = kEveryCall);
    // Matching account-API requests get 302 to the same path and query on a
    // second host, https://127.0.0.1:<another port> (same certificate),
    // which answers 200 {} and counts the connections and requests that
    // reach it.
    // The service asks the same knobs for the encrypted blobs under
    // "dav/spaces" and for "v1/encrypted-thumbnail" (redirectReply).
    void redirectToSecondHost(const Route& route, int times = 1);
    // The 302 of the first redirect knob that matches the request (using it
    // up once); none when no knob matches.
    std::optional<Reply> redirectReply(const RecordedRequest& info);
    std::size_t secondHostConnections() const;
    std::size_t secondHostRequests() const;
    void clearKnobs();

private:
    struct Version {
        std::string text;
        std::int64_t generation = 0;
        bool erased = false;
    };
    struct Listing {
        std::vector<std::string> order;                        // node ids, in order of first arrival
        std::map<std::string, std::vector<Version>> versions;  // per node id, oldest first
        std::map<std::string, std::size_t> cursorOffsets;      // issued cursor -> index of its page's first item
        std::map<std::size_t, std::string> offsetCursors;      // the reverse
    };

    struct RecordKnob {
        Collection collection;
        std::string nodeId;  // "" = every one
        int remaining;
        std::string text;  // replaceRecordBody: the body served
        std::int64_t generation = 0;
        bool erased = false;
    };
    struct CountKnob { Collection collection; int remaining; };
    struct TextKnob { std::string text; int remaining; };
    struct RouteKnob { Route route; int remaining; };

    Reply accountReply();
    Reply bootstrapReply();
    Reply pageReply(Collection collection, const RecordedRequest& info);
    Reply postNode(const IncomingRequest& request);
    Listing& listingLocked(Collection collection) { return collection == Collection::nodes ? nodes_ : files_; }
    const Listing& listingLocked(Collection collection) const {
        return collection == Collection::nodes ? nodes_ : files_;
    }
    void storeLocked(Collection collection, const std::string& nodeId, Version version);
    std::string cursorLocked(Collection collection, std::size_t offset);
    // Uses the first knob of the collection with uses left; false when none.
    bool useCountKnobLocked(std::vector<CountKnob>& knobs, Collection collection);
    // Uses once each knob marked in `used` and drops those used up.
    void useRecordKnobsLocked(std::vector<RecordKnob>& knobs, const std::vector<bool>& used);

    const std::function<std::unique_ptr<CountingHost>()> makeSecondHost_;

    // Guards everything below; no other lock is taken under it (the second
    // host is started under it and counts with atomics).
    mutable std::mutex mutex_;
    std::string account_;
    std::size_t bootstraps_ = 0;
    std::size_t pageSize_ = kMaximumPageSize;
    Listing nodes_;
    Listing files_;
    std::vector<RecordKnob> older_;
    std::vector<RecordKnob> omitted_;
    std::vector<RecordKnob> replaced_;
    std::vector<CountKnob> repeats_;
    std::vector<CountKnob> oversized_;
    std::vector<TextKnob> publicKeys_;
    std::vector<TextKnob> modes_;
    std::vector<RouteKnob> redirects_;
    std::unique_ptr<CountingHost> secondHost_;
    PasskeyApi passkeys_;
};

// Reads the optional "account" member of a seed file (see SeedFile.h) into
// the account API. Throws std::runtime_error with the reason on a bad one.
void applyAccountSeed(const std::filesystem::path& seedFile, AccountApi& accounts);

}  // namespace nimbuscrate::localservice
