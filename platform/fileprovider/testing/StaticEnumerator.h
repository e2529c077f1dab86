#pragma once

#include <atomic>
#include <cstddef>
#include <optional>
#include <vector>

#include "platform/fileprovider/Enumerator.h"

namespace nimbuscrate {
class TaskPool;
}

namespace nimbuscrate::fp::testing {

// An enumerator over a fixed list of items, in pages of a given size,
// answering from tasks of the pool (at once, as cancelled, when the pool no
// longer takes tasks). Page tokens are the decimal index of the page's first
// item. It can be told to fail instead of delivering a page.
class StaticEnumerator final : public Enumerator {
public:
    StaticEnumerator(TaskPool& tasks, std::vector<ItemPtr> items, std::size_t pageSize);

    // The page with this index (0 is the first) finishes with the error
    // instead of delivering items.
    void failPage(std::size_t pageIndex, Error error);

    void invalidate() override { ++invalidations_; }
    void enumerateItems(EnumerationObserverPtr observer, Page page) override;
    void enumerateChanges(ChangeObserverPtr observer, SyncAnchor anchor) override;
    void currentSyncAnchor(std::function<void(std::optional<SyncAnchor>)> completion) override;

    int invalidations() const { return invalidations_; }
    int requests() const { return requests_; }
    // The pages asked for, in order.
    std::vector<Page> pagesRequested() const;

private:
    TaskPool& tasks_;
    std::vector<ItemPtr> items_;
    std::size_t pageSize_;
    std::optional<std::size_t> failingPage_;
    std::optional<Error> failure_;
    std::atomic<int> invalidations_{0};
    std::atomic<int> requests_{0};
    mutable std::mutex mutex_;
    std::vector<Page> pages_;
};

}  // namespace nimbuscrate::fp::testing
