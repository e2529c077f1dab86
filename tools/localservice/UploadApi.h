#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/localservice/FaultKnobs.h"
#include "tools/localservice/HttpExchange.h"

namespace nimbuscrate::localservice {

class AccountApi;
class DavServer;

// The resumable uploads of encrypted blobs. The API lies under "/api/v1/"
// of the account API host (the bearer check is the router's); the part URLs
// it hands out lie on the same host under "/upload-parts/" and take no bearer
// token: the signature in the URL is their credential.
//
//   POST uploads                     "Upload-Length": the blob's length L (decimal)
//        {"driveId", "parentItemId", "name", "encryption": <signed manifest>}
//        201 {"id", "partSize", "partCount", "heartbeatSeconds"}
//   GET  uploads/{id}/parts?from=n&count=c
//        200 {"parts": [{"number", "length", "url", "headers"}, ...]}
//   PUT  <part url>                  the part's bytes with the listed headers
//        200, ETag: the part's SHA-256; an earlier upload of the part is replaced
//   POST uploads/{id}/complete       200 {"id", "state": "completing" | "complete"}
//   POST uploads/{id}/heartbeat      200 {"id", "expiresIn"}: the expiry moves to now + lifetime
//
// What a real service checks, it checks:
// - reserve: a decimal "Upload-Length" of at least 1, a drive the service
//   has and the account owns, "parentItemId" equal to "driveId", a signed
//   manifest of the account whose "ciphertextLength" is the length and
//   whose node and revision ids make "name" ("<nodeId>-<revisionId>.nbenc");
//   else 400 (403 for another account, 404 for an unknown drive). The
//   manifest must follow the file's newest stored revision
//   ("previousGeneration" = its generation, 0 for a new file) and its
//   embedded node record must be the node's next generation; else 409.
//   The part size is the configured one, raised so that no upload needs
//   more than 10,000 parts.
// - parts: a known upload (404), not expired (410), 1 <= from <= partCount
//   and count >= 1 (400). Each URL is
//   https://<account API host>/upload-parts/<id>/<n>?nonce=<hex>&signature=<HMAC-SHA256 hex>
//   over the upload id, the part number, its length and the nonce.
// - PUT: a signature this service made for that upload and part (403), the
//   upload known (404) and not expired (410), no "Authorization" (400), each
//   header the part location listed present once with exactly the listed
//   value (403), the body exactly the part's length (400).
// - complete: a known upload (404); before it is complete, not expired
//   (410) and every part stored (400). It answers "completing" as often as
//   configured (setCompletingReplies, counted per upload), then publishes
//   the revision in one step: the blob of its parts, a file of its drive
//   named by the upload's "name"; the file record {"manifest",
//   "driveId", "parentItemId", "opaqueName", "ciphertextLength",
//   "revisionId", "generation": previousGeneration + 1, "current": true} in
//   the "e2ee/files" listing; and the node record the manifest embeds (when
//   it has one) in the "e2ee/nodes" listing. When another revision or node
//   record was published meanwhile it answers 409 and publishes nothing.
//   Once complete, every further call answers "complete" again.
// - heartbeat: a known upload (404), not expired (410).
//
// Thread-safe; every operation may be called from any thread.
class UploadApi {
public:
    static constexpr int kEveryCall = FaultKnobs::kEveryCall;
    static constexpr std::uint64_t kDefaultPartSize = 8 * 1024 * 1024;
    static constexpr std::size_t kMaximumParts = 10'000;
    static constexpr std::string_view kPartPathPrefix = "/upload-parts/";

    // The steps knobs can fail or hold.
    enum class Step { reserve, partLocation, partUpload, complete, heartbeat };

    // Blobs go into the drives of `files`, records into `accounts`; parts
    // are kept under `directory`; part URLs name `partHost`.
    UploadApi(AccountApi& accounts, DavServer& files, std::filesystem::path directory, std::string partHost);
    ~UploadApi();
    UploadApi(const UploadApi&) = delete;
    UploadApi& operator=(const UploadApi&) = delete;

    // Whether a decoded path on the account API host is one of the API
    // routes, or a part URL.
    static bool serves(std::string_view path);
    static bool servesPart(std::string_view path);
    Reply handle(const IncomingRequest& request);
    Reply handlePart(IncomingRequest& request);
    // Called with the head of a request on the account API host, before its
    // body is read: a part PUT that passes every check its head allows
    // (signature, listed headers, no token, a Content-Length of the part's
    // length) has its body written straight to the part's place in the
    // upload's blob (see handlePart for when it counts). Anything else is
    // left alone.
    void placePartBody(IncomingRequest& request);

    // Settings for uploads reserved from now on.
    void setPartSize(std::uint64_t bytes);
    // The reply's "heartbeatSeconds"; none leaves the member out. Default 30.
    void setHeartbeatSeconds(std::optional<std::int64_t> seconds);
    // How long a reservation lives without a heartbeat (default 3,600 s).
    void setLifetime(std::chrono::seconds lifetime);
    // Complete answers "completing" this many times per upload before it
    // publishes (default 0).
    void setCompletingReplies(int times);
    // The headers every part location lists, in this order (default
    // "Content-Type: application/octet-stream"); the PUT must carry them.
    void setPartHeaders(std::vector<std::pair<std::string, std::string>> headers);

    // Knobs, counted as the service's other knobs are (kEveryCall: never
    // used up); clearKnobs() removes them and opens every gate.
    //
    // The next `times` reservations answer 201 with this body and reserve nothing.
    void overrideReservationReply(std::string body, int times = 1);
    // The next `times` part locations carry this raw JSON text as the member
    // `name` of their part (the service still checks its own URL and headers
    // when a PUT comes).
    void overridePartMember(std::string name, std::string rawJson, int times = 1);
    // The next `times` calls of the step (of part `part` only, when given)
    // answer `status` and do nothing.
    void fail(Step step, int status, int times = 1, std::optional<std::size_t> part = std::nullopt);
    // Every call of the step (of part `part` only, when given) waits at the
    // returned gate, before anything is checked or stored, until it opens.
    std::shared_ptr<HoldGate> hold(Step step, std::optional<std::size_t> part = std::nullopt);
    void clearKnobs();

    // The reservation expires now: every call but a complete of a completed
    // upload answers 410.
    void expire(const std::string& id);
    // The ids of every upload reserved, in order.
    std::vector<std::string> uploadIds() const;
    // Heartbeats the upload received; its parts stored now (a completed
    // upload keeps none).
    std::size_t heartbeatCount(const std::string& id) const;
    std::size_t storedPartCount(const std::string& id) const;
    bool isComplete(const std::string& id) const;

private:
    struct Upload;
    struct FailKnob { Step step; int status; int remaining; std::optional<std::size_t> part; };
    struct HoldKnob { Step step; std::shared_ptr<HoldGate> gate; std::optional<std::size_t> part; };
    struct TextKnob { std::string name; std::string text; int remaining; };

    // Applies the knobs of one call: passes its gates (without the lock),
    // then answers a failure knob's status when one matches.
    std::optional<Reply> applyKnobs(Step step, std::optional<std::size_t> part);
    // What handlePart answers a PUT of the part from its head alone (404,
    // 403, 410, 400), or nothing. Needs mutex_.
    std::optional<Reply> refusedPartHead(const Upload& upload, std::size_t number, const RecordedRequest& info) const;
    Reply reserve(const IncomingRequest& request);
    Reply partLocations(const std::string& id, const RecordedRequest& info);
    Reply complete(const std::string& id);
    Reply heartbeat(const std::string& id);
    std::string signature(const std::string& id, std::size_t number, std::uint64_t length,
                          const std::string& nonce) const;
    std::filesystem::path partPath(const std::string& id, std::size_t number) const;

    AccountApi& accounts_;
    DavServer& files_;
    const std::filesystem::path directory_;
    const std::string partHost_;
    std::string secret_;  // the HMAC key of the part URLs, drawn at start

    // Guards everything below. Held for reading and changing the uploads and
    // knobs and for storing a part's file or publishing a revision (so a
    // complete never sees half a part); never while waiting at a gate, nor
    // while a placed body is written into a blob (a part counts as stored
    // only once its whole body has arrived and its PUT passed every check).
    mutable std::mutex mutex_;
    std::uint64_t partSize_ = kDefaultPartSize;
    std::optional<std::int64_t> heartbeatSeconds_ = 30;
    std::chrono::seconds lifetime_{3600};
    int completingReplies_ = 0;
    std::vector<std::pair<std::string, std::string>> partHeaders_;
    std::vector<std::string> order_;
    std::map<std::string, std::unique_ptr<Upload>> uploads_;
    std::vector<FailKnob> failures_;
    std::vector<HoldKnob> holds_;
    std::vector<TextKnob> reservationReplies_;
    std::vector<TextKnob> partMembers_;
};

}  // namespace nimbuscrate::localservice
