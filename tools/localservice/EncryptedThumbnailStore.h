#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "tools/localservice/HttpExchange.h"

namespace nimbuscrate::localservice {

class AccountApi;
class DavServer;

// The media service's sealed thumbnails of encrypted files, one per (node,
// revision), kept as opaque bytes: the service never opens them.
//
//   GET  v1/encrypted-thumbnail?nodeId=<id>&revisionId=<id>
//        200 application/octet-stream with the stored bytes, 404 when none
//        is stored, 400 without both query items.
//   POST v1/encrypted-thumbnail?nodeId=<id>&revisionId=<id>
//        Stores, as that revision's thumbnail, the blob of the uploaded file
//        (node, revision): the newest file record of the node must name that
//        revision and its blob must lie in its drive. No body is taken (400
//        with one, or without both query items); 404 when there is no such
//        file or blob. Answers 200 {"stored": true}.
//
// Thread-safe.
class EncryptedThumbnailStore {
public:
    static constexpr const char* kPath = "/v1/encrypted-thumbnail";

    // The blob bytes of the uploaded file (node, revision); none when the
    // service holds no such file or its blob is missing.
    using UploadedBlob = std::function<std::optional<std::string>(const std::string& nodeId,
                                                                   const std::string& revisionId)>;
    explicit EncryptedThumbnailStore(UploadedBlob uploadedBlob);

    // UploadedBlob over the account API's file records and the drives' files.
    static std::optional<std::string> findUploadedBlob(const AccountApi& accounts, const DavServer& files,
                                                       const std::string& nodeId, const std::string& revisionId);

    // Stores (or replaces) the bytes served for the node's revision.
    void put(const std::string& nodeId, const std::string& revisionId, std::string bytes);
    // The stored bytes of the node's revision; none when nothing is stored.
    std::optional<std::string> stored(const std::string& nodeId, const std::string& revisionId) const;
    Reply handle(const IncomingRequest& request);

    // Knobs, each for the next `times` POSTs that would store (a negative
    // count: every one):
    // the POST stores nothing and answers 200 {"stored": false};
    void refuseStores(int times);
    // the POST stores and answers {"stored": true, "padding": "..."} of
    // exactly `length` bytes (at least 32).
    void padStoreReplies(std::size_t length, int times);
    void clearKnobs();

private:
    Reply store(const std::string& nodeId, const std::string& revisionId);

    const UploadedBlob uploadedBlob_;
    mutable std::mutex mutex_;  // guards the fields below; nothing else is locked under it
    std::map<std::pair<std::string, std::string>, std::string> stored_;
    int refusals_ = 0;
    int paddings_ = 0;
    std::size_t paddedLength_ = 0;
};

}  // namespace nimbuscrate::localservice
