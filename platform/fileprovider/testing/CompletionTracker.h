#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace nimbuscrate::fp::testing {

// Keeps count of every completion handler and observer finish handed to an
// extension. Each tracked slot must be hit exactly once before the next
// check; a second hit, or a hit after the check that found it done, is a
// violation naming the entry.
class CompletionTracker {
public:
    class Slot {
    public:
        // Records one call; returns false when the call broke the rule.
        bool hit();
        int hits() const;
        const std::string& entry() const { return entry_; }

    private:
        friend class CompletionTracker;
        Slot(CompletionTracker& tracker, std::string entry) : tracker_(tracker), entry_(std::move(entry)) {}
        CompletionTracker& tracker_;
        std::string entry_;
        int hits_ = 0;       // guarded by the tracker's mutex
        bool checked_ = false;
        std::string lateReason_ = "after the harness had seen it complete";
    };
    using SlotPtr = std::shared_ptr<Slot>;

    CompletionTracker() = default;
    CompletionTracker(const CompletionTracker&) = delete;
    CompletionTracker& operator=(const CompletionTracker&) = delete;

    // A new slot that must be hit exactly once.
    SlotPtr open(std::string entry);

    // Wraps a handler: each call is counted on a new slot, then forwarded.
    template <class... Args>
    std::function<void(Args...)> wrap(std::string entry, std::type_identity_t<std::function<void(Args...)>> handler) {
        auto slot = open(std::move(entry));
        return [slot, handler = std::move(handler)](Args... args) {
            slot->hit();
            if (handler) handler(std::forward<Args>(args)...);
        };
    }

    // Checks every slot opened so far: each must have been hit exactly once.
    // Slots found complete are closed: any later hit is reported as late by
    // the next check. Returns all violations found since the last check.
    std::vector<std::string> check();

    // Closes a slot ahead of the next check, when the moment it had to be
    // hit by has passed: any later hit is reported as late, for the reason
    // given. Returns how often it was hit, or none when it was closed or
    // checked before (nothing changes then).
    std::optional<int> close(const SlotPtr& slot, std::string lateReason);

    // Adds a violation found elsewhere (by an observer, for instance).
    void report(std::string violation);

    // The violations recorded since the last check (calls that came late or
    // twice, reports), without checking the slots: for a last look when the
    // test ends, after which handlers still open may never run.
    std::vector<std::string> takeViolations();

private:
    mutable std::mutex mutex_;
    std::vector<SlotPtr> slots_;
    std::vector<std::string> violations_;
};

}  // namespace nimbuscrate::fp::testing
