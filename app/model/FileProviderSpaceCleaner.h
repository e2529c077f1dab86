#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/model/UiTask.h"
#include "platform/fileprovider/Error.h"
#include "platform/fileprovider/Identifiers.h"
#include "platform/fileprovider/Manager.h"

namespace nimbuscrate {

// What one clean-up did: how many downloaded files were found, and how many
// of them lost their local copy. Always 0 <= evicted <= total.
struct SpaceCleanupCounts {
    std::int64_t total = 0;
    std::int64_t evicted = 0;
    bool operator==(const SpaceCleanupCounts&) const = default;
};

// Frees local disk space of the registered domain: removes the local copies
// of its downloaded files, which stay in the folder as cloud-only items.
// Functions without state. Each runs as a UiTask: its steps run on the UI
// executor of the context, and every call to the manager only starts the
// request; its answer comes back through the UI executor.
class FileProviderSpaceCleaner {
public:
    FileProviderSpaceCleaner() = delete;

    // Waits until the changes below the root have been sent, collects the
    // downloaded files (in the order the enumeration delivers them) and
    // evicts them one after another. The errors of the wait and of the
    // enumeration are thrown (as fp::ErrorException), and then nothing is
    // evicted. A file whose eviction fails (still uploading, unsynced
    // changes, in use) is kept and only lowers the evicted count.
    static UiTask<SpaceCleanupCounts> evictMaterializedFiles(UiContext context, fp::ManagerPtr manager);

    // Completes when the manager reports that the changes below the root
    // have been synchronised; its error is thrown.
    static UiTask<void> waitForChanges(UiContext context, fp::ManagerPtr manager);
    // The identifiers of the files with a local copy (the root, the Trash and
    // folders left out), read page by page to the end; the enumerator's error
    // is thrown.
    static UiTask<std::vector<fp::ItemId>> materializedFileIdentifiers(UiContext context, fp::ManagerPtr manager);
    // Evicts one item; the error the manager answered with, or none. Never
    // throws.
    static UiTask<std::optional<fp::Error>> evict(UiContext context, fp::ItemId identifier, fp::ManagerPtr manager);

    // The one-line result the app shows: nothing to do, everything removed,
    // or how many were removed and how many were kept. Requires
    // 0 <= evicted <= total.
    static std::string spaceCleanupMessage(std::int64_t total, std::int64_t evicted);
};

}  // namespace nimbuscrate
