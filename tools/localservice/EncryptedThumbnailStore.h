#pragma once

#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "tools/localservice/HttpExchange.h"

namespace nimbuscrate::localservice {

// The media service's sealed thumbnails of encrypted files, one per (node,
// revision), kept as opaque bytes: the service never opens them.
//
//   GET v1/encrypted-thumbnail?nodeId=<id>&revisionId=<id>
//       200 application/octet-stream with the stored bytes, 404 when none
//       is stored, 400 without both query items.
//
// Thread-safe.
class EncryptedThumbnailStore {
public:
    static constexpr const char* kPath = "/v1/encrypted-thumbnail";

    // Stores (or replaces) the bytes served for the node's revision.
    void put(const std::string& nodeId, const std::string& revisionId, std::string bytes);
    Reply handle(const IncomingRequest& request) const;

private:
    mutable std::mutex mutex_;  // guards stored_
    std::map<std::pair<std::string, std::string>, std::string> stored_;
};

}  // namespace nimbuscrate::localservice
