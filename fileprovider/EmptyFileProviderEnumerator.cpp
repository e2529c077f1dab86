#include "fileprovider/EmptyFileProviderEnumerator.h"

namespace nimbuscrate {

const fp::SyncAnchor& EmptyFileProviderEnumerator::anchor() {
    static const fp::SyncAnchor value{'e', 'm', 'p', 't', 'y', '-', 'v', '1'};
    return value;
}

void EmptyFileProviderEnumerator::enumerateItems(fp::EnumerationObserverPtr observer, fp::Page) {
    observer->finishUpTo(std::nullopt);
}

void EmptyFileProviderEnumerator::enumerateChanges(fp::ChangeObserverPtr observer, fp::SyncAnchor) {
    observer->finishChangesUpTo(anchor(), false);
}

void EmptyFileProviderEnumerator::currentSyncAnchor(std::function<void(std::optional<fp::SyncAnchor>)> completion) {
    completion(anchor());
}

}  // namespace nimbuscrate
