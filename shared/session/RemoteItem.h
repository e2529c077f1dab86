#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "platform/core/Date.h"

namespace nimbuscrate {

// One file or folder on the server, however it was learnt (WebDAV, the
// encrypted library, the mapping database).
struct RemoteItem {
    std::string id;        // "root", a server file id, "path:<relative path>", or "e2ee:<account>:<node>"
    std::string parentID;  // "root" for top-level items and for the root itself
    std::string path;      // normalised remote path, "/" for the root
    std::string name;      // display name
    bool isDirectory = false;
    std::int64_t size = 0;
    Date modifiedAt;
    std::string etag;
    std::optional<std::string> contentType;

    // The fixed root item: id "root", its own parent, path "/", name "Nimbuscrate".
    static const RemoteItem& root();

    // Field-by-field equality; texts compare by canonical equivalence.
    bool operator==(const RemoteItem& other) const;
};

// Hash consistent with operator== (texts hashed in their NFC form).
struct RemoteItemHash {
    std::size_t operator()(const RemoteItem& item) const;
};

// JSON form: the nine field names as keys, "modifiedAt" as seconds since
// 2001-01-01, "contentType" left out when absent. Decoding is strict and
// throws nlohmann::json::exception (type_error / out_of_range) on a bad value.
nlohmann::json toJSON(const RemoteItem& item);
RemoteItem remoteItemFromJSON(const nlohmann::json& json);

}  // namespace nimbuscrate
