#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>

namespace nimbuscrate::fp {

// The progress of one request the system made: total and completed units,
// and cancellation by the system. Thread-safe.
class Progress {
public:
    explicit Progress(std::int64_t totalUnitCount = 0) : total_(totalUnitCount) {}
    static std::shared_ptr<Progress> make(std::int64_t totalUnitCount) {
        return std::make_shared<Progress>(totalUnitCount);
    }

    std::int64_t totalUnitCount() const;
    void setTotalUnitCount(std::int64_t total);
    std::int64_t completedUnitCount() const;
    void setCompletedUnitCount(std::int64_t completed);
    // Adds units in one atomic step (several tasks may report at once).
    void addCompletedUnits(std::int64_t units);
    // True when completed reaches a positive total.
    bool isFinished() const;

    // Cancels once: fires the stop token, then runs the cancellation handler.
    void cancel();
    bool isCancelled() const { return stop_.stop_requested(); }
    std::stop_token stopToken() const { return stop_.get_token(); }
    // Runs at most once, on the cancelling thread; at once when already cancelled.
    void setCancellationHandler(std::function<void()> handler);

private:
    mutable std::mutex mutex_;
    std::int64_t total_;
    std::int64_t completed_ = 0;
    std::function<void()> cancellationHandler_;
    bool handlerRan_ = false;
    std::stop_source stop_;
};

using ProgressPtr = std::shared_ptr<Progress>;

}  // namespace nimbuscrate::fp
