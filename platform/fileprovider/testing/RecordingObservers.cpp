#include "platform/fileprovider/testing/RecordingObservers.h"

namespace nimbuscrate::fp::testing {

RecordingEnumerationObserver::RecordingEnumerationObserver(CompletionTracker& tracker, std::string entry)
    : tracker_(tracker), entry_(std::move(entry)), finish_(tracker.open(entry_ + " finish")) {}

void RecordingEnumerationObserver::didEnumerate(std::vector<ItemPtr> items) {
    std::lock_guard lock(mutex_);
    if (finished_) tracker_.report(entry_ + ": didEnumerate after the finishing call");
    ++batches_;
    for (auto& item : items) items_.push_back(std::move(item));
}

void RecordingEnumerationObserver::finishUpTo(std::optional<Page> nextPage) {
    {
        std::lock_guard lock(mutex_);
        if (!finished_) finishedUpTo_ = std::move(nextPage);
        finished_ = true;
    }
    finish_->hit();
}

void RecordingEnumerationObserver::finishWithError(Error error) {
    {
        std::lock_guard lock(mutex_);
        if (!finished_) error_ = std::move(error);
        finished_ = true;
    }
    finish_->hit();
}

std::vector<ItemPtr> RecordingEnumerationObserver::items() const {
    std::lock_guard lock(mutex_);
    return items_;
}

std::vector<ItemId> RecordingEnumerationObserver::identifiers() const {
    std::lock_guard lock(mutex_);
    std::vector<ItemId> ids;
    for (const auto& item : items_) ids.push_back(item->itemIdentifier());
    return ids;
}

std::size_t RecordingEnumerationObserver::batches() const {
    std::lock_guard lock(mutex_);
    return batches_;
}

bool RecordingEnumerationObserver::finished() const {
    std::lock_guard lock(mutex_);
    return finished_;
}

std::optional<std::optional<Page>> RecordingEnumerationObserver::finishedUpTo() const {
    std::lock_guard lock(mutex_);
    return finishedUpTo_;
}

std::optional<Error> RecordingEnumerationObserver::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

RecordingChangeObserver::RecordingChangeObserver(CompletionTracker& tracker, std::string entry)
    : tracker_(tracker), entry_(std::move(entry)), finish_(tracker.open(entry_ + " finish")) {}

void RecordingChangeObserver::lateCheck(const char* call) {
    if (finished_) tracker_.report(entry_ + ": " + call + " after the finishing call");
}

void RecordingChangeObserver::didUpdate(std::vector<ItemPtr> items) {
    std::lock_guard lock(mutex_);
    lateCheck("didUpdate");
    ++updateCalls_;
    for (auto& item : items) updated_.push_back(std::move(item));
}

void RecordingChangeObserver::didDelete(std::vector<ItemId> identifiers) {
    std::lock_guard lock(mutex_);
    lateCheck("didDelete");
    ++deleteCalls_;
    for (auto& id : identifiers) deleted_.push_back(std::move(id));
}

void RecordingChangeObserver::finishChangesUpTo(SyncAnchor anchor, bool moreComing) {
    {
        std::lock_guard lock(mutex_);
        if (!finished_) {
            anchor_ = std::move(anchor);
            moreComing_ = moreComing;
        }
        finished_ = true;
    }
    finish_->hit();
}

void RecordingChangeObserver::finishWithError(Error error) {
    {
        std::lock_guard lock(mutex_);
        if (!finished_) error_ = std::move(error);
        finished_ = true;
    }
    finish_->hit();
}

std::vector<ItemPtr> RecordingChangeObserver::updated() const {
    std::lock_guard lock(mutex_);
    return updated_;
}

std::vector<ItemId> RecordingChangeObserver::updatedIdentifiers() const {
    std::lock_guard lock(mutex_);
    std::vector<ItemId> ids;
    for (const auto& item : updated_) ids.push_back(item->itemIdentifier());
    return ids;
}

std::vector<ItemId> RecordingChangeObserver::deleted() const {
    std::lock_guard lock(mutex_);
    return deleted_;
}

std::size_t RecordingChangeObserver::updateCalls() const {
    std::lock_guard lock(mutex_);
    return updateCalls_;
}

std::size_t RecordingChangeObserver::deleteCalls() const {
    std::lock_guard lock(mutex_);
    return deleteCalls_;
}

bool RecordingChangeObserver::finished() const {
    std::lock_guard lock(mutex_);
    return finished_;
}

std::optional<SyncAnchor> RecordingChangeObserver::anchor() const {
    std::lock_guard lock(mutex_);
    return anchor_;
}

bool RecordingChangeObserver::moreComing() const {
    std::lock_guard lock(mutex_);
    return moreComing_;
}

std::optional<Error> RecordingChangeObserver::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

}  // namespace nimbuscrate::fp::testing
