#include "platform/fileprovider/testing/StaticEnumerator.h"

#include <algorithm>
#include <string>

#include "platform/tasks/TaskPool.h"

namespace nimbuscrate::fp::testing {

StaticEnumerator::StaticEnumerator(TaskPool& tasks, std::vector<ItemPtr> items, std::size_t pageSize)
    : tasks_(tasks), items_(std::move(items)), pageSize_(std::max<std::size_t>(pageSize, 1)) {}

void StaticEnumerator::failPage(std::size_t pageIndex, Error error) {
    std::lock_guard lock(mutex_);
    failingPage_ = pageIndex;
    failure_ = std::move(error);
}

std::vector<Page> StaticEnumerator::pagesRequested() const {
    std::lock_guard lock(mutex_);
    return pages_;
}

void StaticEnumerator::enumerateItems(EnumerationObserverPtr observer, Page page) {
    ++requests_;
    std::size_t start = 0;
    std::optional<Error> failure;
    {
        std::lock_guard lock(mutex_);
        pages_.push_back(page);
        if (!page.empty()) start = std::stoul(std::string(page.begin(), page.end()));
        if (failingPage_ && *failingPage_ == start / pageSize_) failure = failure_;
    }
    std::size_t end = std::min(items_.size(), start + pageSize_);
    std::vector<ItemPtr> batch;
    for (std::size_t i = start; i < end; ++i) batch.push_back(items_[i]);
    std::optional<Page> next;
    if (end < items_.size()) {
        std::string text = std::to_string(end);
        next = Page(text.begin(), text.end());
    }
    // The task lets go of the observer as it ends: a pool may keep a finished
    // task (and what it captured) a little longer than it reports it running.
    const bool queued = tasks_.submit([observer, failure, batch = std::move(batch), next](std::stop_token) mutable {
        auto held = std::move(observer);
        if (failure) {
            held->finishWithError(*failure);
            return;
        }
        held->didEnumerate(std::move(batch));
        held->finishUpTo(next);
    });
    // A pool that no longer takes tasks: each call is answered at once, as cancelled.
    if (!queued) observer->finishWithError(Error::userCancelled());
}

void StaticEnumerator::enumerateChanges(ChangeObserverPtr observer, SyncAnchor anchor) {
    ++requests_;
    const bool queued =
        tasks_.submit([observer, anchor](std::stop_token) { observer->finishChangesUpTo(anchor, false); });
    if (!queued) observer->finishWithError(Error::userCancelled());
}

void StaticEnumerator::currentSyncAnchor(std::function<void(std::optional<SyncAnchor>)> completion) {
    const bool queued = tasks_.submit([completion](std::stop_token) {
        const std::string text = "static";
        completion(SyncAnchor(text.begin(), text.end()));
    });
    if (!queued) completion(std::nullopt);
}

}  // namespace nimbuscrate::fp::testing
