#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/fileprovider/EnumerationObserver.h"
#include "platform/fileprovider/testing/CompletionTracker.h"

namespace nimbuscrate::fp::testing {

// An enumeration observer that records what it receives and checks, through
// the tracker, that exactly one finishing call arrives and nothing after it.
class RecordingEnumerationObserver final : public EnumerationObserver {
public:
    RecordingEnumerationObserver(CompletionTracker& tracker, std::string entry);

    void didEnumerate(std::vector<ItemPtr> items) override;
    void finishUpTo(std::optional<Page> nextPage) override;
    void finishWithError(Error error) override;

    std::vector<ItemPtr> items() const;
    std::vector<ItemId> identifiers() const;
    std::size_t batches() const;
    bool finished() const;
    // Set when finished with finishUpTo: the next page (none at the end).
    std::optional<std::optional<Page>> finishedUpTo() const;
    std::optional<Error> error() const;

private:
    CompletionTracker& tracker_;
    std::string entry_;
    CompletionTracker::SlotPtr finish_;
    mutable std::mutex mutex_;
    std::vector<ItemPtr> items_;
    std::size_t batches_ = 0;
    bool finished_ = false;
    std::optional<std::optional<Page>> finishedUpTo_;
    std::optional<Error> error_;
};

// A change observer that records updates, deletions and the one finish.
class RecordingChangeObserver final : public ChangeObserver {
public:
    RecordingChangeObserver(CompletionTracker& tracker, std::string entry);

    void didUpdate(std::vector<ItemPtr> items) override;
    void didDelete(std::vector<ItemId> identifiers) override;
    void finishChangesUpTo(SyncAnchor anchor, bool moreComing) override;
    void finishWithError(Error error) override;

    std::vector<ItemPtr> updated() const;
    std::vector<ItemId> updatedIdentifiers() const;
    std::vector<ItemId> deleted() const;
    std::size_t updateCalls() const;
    std::size_t deleteCalls() const;
    bool finished() const;
    std::optional<SyncAnchor> anchor() const;
    bool moreComing() const;
    std::optional<Error> error() const;

private:
    void lateCheck(const char* call);

    CompletionTracker& tracker_;
    std::string entry_;
    CompletionTracker::SlotPtr finish_;
    mutable std::mutex mutex_;
    std::vector<ItemPtr> updated_;
    std::vector<ItemId> deleted_;
    std::size_t updateCalls_ = 0;
    std::size_t deleteCalls_ = 0;
    bool finished_ = false;
    std::optional<SyncAnchor> anchor_;
    bool moreComing_ = false;
    std::optional<Error> error_;
};

}  // namespace nimbuscrate::fp::testing
