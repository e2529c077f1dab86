#pragma once

#include "platform/fileprovider/Enumerator.h"

namespace nimbuscrate {

// The enumerator of the Trash, which never holds anything: deletes are
// final on the server. Its sync anchor is always "empty-v1".
class EmptyFileProviderEnumerator final : public fp::Enumerator {
public:
    static const fp::SyncAnchor& anchor();

    void invalidate() override {}
    void enumerateItems(fp::EnumerationObserverPtr observer, fp::Page page) override;
    void enumerateChanges(fp::ChangeObserverPtr observer, fp::SyncAnchor anchor) override;
    void currentSyncAnchor(std::function<void(std::optional<fp::SyncAnchor>)> completion) override;
};

}  // namespace nimbuscrate
