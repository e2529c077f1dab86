#include "platform/fileprovider/testing/CompletionTracker.h"

namespace nimbuscrate::fp::testing {

bool CompletionTracker::Slot::hit() {
    std::lock_guard lock(tracker_.mutex_);
    ++hits_;
    if (checked_) {
        tracker_.violations_.push_back(entry_ + ": called late, " + lateReason_);
        return false;
    }
    if (hits_ > 1) {
        tracker_.violations_.push_back(entry_ + ": called " + std::to_string(hits_) + " times");
        return false;
    }
    return true;
}

int CompletionTracker::Slot::hits() const {
    std::lock_guard lock(tracker_.mutex_);
    return hits_;
}

CompletionTracker::SlotPtr CompletionTracker::open(std::string entry) {
    auto slot = SlotPtr(new Slot(*this, std::move(entry)));
    std::lock_guard lock(mutex_);
    slots_.push_back(slot);
    return slot;
}

std::vector<std::string> CompletionTracker::check() {
    std::lock_guard lock(mutex_);
    for (const auto& slot : slots_) {
        if (slot->checked_) continue;
        if (slot->hits_ == 0) {
            violations_.push_back(slot->entry_ + ": never called");
        }
        // A slot is checked once: missing and doubled calls are reported
        // here, and every call from now on is late.
        slot->checked_ = true;
    }
    std::vector<std::string> found;
    found.swap(violations_);
    return found;
}

std::optional<int> CompletionTracker::close(const SlotPtr& slot, std::string lateReason) {
    std::lock_guard lock(mutex_);
    if (slot->checked_) return std::nullopt;
    slot->checked_ = true;
    slot->lateReason_ = std::move(lateReason);
    return slot->hits_;
}

void CompletionTracker::report(std::string violation) {
    std::lock_guard lock(mutex_);
    violations_.push_back(std::move(violation));
}

std::vector<std::string> CompletionTracker::takeViolations() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> found;
    found.swap(violations_);
    return found;
}

}  // namespace nimbuscrate::fp::testing
