#include "app/model/FileProviderSpaceCleaner.h"

#include <utility>
#include <variant>

#include "fileprovider/MaterializedFileEnumeration.h"

// Every co_await below takes only named values: the compiler this project
// builds with destroys some temporaries of a co_await expression twice.

namespace nimbuscrate {

UiTask<SpaceCleanupCounts> FileProviderSpaceCleaner::evictMaterializedFiles(UiContext context, fp::ManagerPtr manager) {
    co_await waitForChanges(context, manager);
    // Collected in full before the first eviction.
    const std::vector<fp::ItemId> identifiers = co_await materializedFileIdentifiers(context, manager);
    SpaceCleanupCounts counts;
    counts.total = static_cast<std::int64_t>(identifiers.size());
    // One at a time: the next eviction starts after the previous one answered.
    for (const fp::ItemId& identifier : identifiers) {
        const std::optional<fp::Error> error = co_await evict(context, identifier, manager);
        if (!error) ++counts.evicted;
    }
    co_return counts;
}

UiTask<void> FileProviderSpaceCleaner::waitForChanges(UiContext context, fp::ManagerPtr manager) {
    const auto wait = [&](std::function<void(std::optional<fp::Error>)> done) {
        manager->waitForChangesBelow(fp::kRootContainer, std::move(done));
    };
    const std::optional<fp::Error> error = co_await awaitCallback<std::optional<fp::Error>>(context, wait);
    if (error) throw fp::ErrorException(*error);
}

UiTask<std::vector<fp::ItemId>> FileProviderSpaceCleaner::materializedFileIdentifiers(UiContext context,
                                                                                      fp::ManagerPtr manager) {
    const auto enumerate = [&](std::function<void(MaterializedFileEnumeration::Result)> done) {
        // The observer holds itself until the enumerator has finished.
        MaterializedFileEnumeration::start(manager->materializedItems(), std::move(done), fp::kInitialPage);
    };
    MaterializedFileEnumeration::Result result =
        co_await awaitCallback<MaterializedFileEnumeration::Result>(context, enumerate);
    if (const fp::Error* error = std::get_if<fp::Error>(&result)) throw fp::ErrorException(*error);
    co_return std::get<std::vector<fp::ItemId>>(std::move(result));
}

UiTask<std::optional<fp::Error>> FileProviderSpaceCleaner::evict(UiContext context, fp::ItemId identifier,
                                                                 fp::ManagerPtr manager) {
    const auto request = [&](std::function<void(std::optional<fp::Error>)> done) {
        manager->evictItem(identifier, std::move(done));
    };
    co_return co_await awaitCallback<std::optional<fp::Error>>(context, request);
}

std::string FileProviderSpaceCleaner::spaceCleanupMessage(std::int64_t total, std::int64_t evicted) {
    if (total == 0) return "Files are already cloud-only.";
    const std::string removed =
        "Removed " + std::to_string(evicted) + " local file " + (evicted == 1 ? "copy" : "copies") + ".";
    if (evicted == total) return removed + " Your cloud files remain available in Finder.";
    const std::int64_t kept = total - evicted;
    return removed + " " + std::to_string(kept) + " " + (kept == 1 ? "file was" : "files were") +
           " kept because it is still uploading, has unsynced changes, or is in "
           "use.";
}

}  // namespace nimbuscrate
