// The model's free-up-space action.
#include <exception>

#include "app/model/DesktopAppModel.h"
#include "app/model/FileProviderSpaceCleaner.h"
#include "shared/session/DesktopError.h"

namespace nimbuscrate {

UiTask<void> DesktopAppModel::freeUpSpace() {
    assign(state_.isBusy, true, Field::isBusy);
    assign(state_.errorMessage, std::nullopt, Field::errorMessage);
    assign(state_.status, std::string(kRemovingCopiesStatus), Field::status);

    const UiContext ctx = context();
    SpaceCleanupCounts counts;
    try {
        const fp::ManagerPtr manager = domains_->managerFor(domain_);
        if (!manager) throw DesktopError::invalidResponse();
        counts = co_await FileProviderSpaceCleaner::evictMaterializedFiles(ctx, manager);
    } catch (...) {
        fail(std::current_exception());
        co_return;
    }
    assign(state_.status, FileProviderSpaceCleaner::spaceCleanupMessage(counts.total, counts.evicted), Field::status);
    assign(state_.isBusy, false, Field::isBusy);
}

}  // namespace nimbuscrate
