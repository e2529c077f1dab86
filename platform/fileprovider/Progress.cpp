#include "platform/fileprovider/Progress.h"

namespace nimbuscrate::fp {

std::int64_t Progress::totalUnitCount() const {
    std::lock_guard lock(mutex_);
    return total_;
}

void Progress::setTotalUnitCount(std::int64_t total) {
    std::lock_guard lock(mutex_);
    total_ = total;
}

std::int64_t Progress::completedUnitCount() const {
    std::lock_guard lock(mutex_);
    return completed_;
}

void Progress::setCompletedUnitCount(std::int64_t completed) {
    std::lock_guard lock(mutex_);
    completed_ = completed;
}

void Progress::addCompletedUnits(std::int64_t units) {
    std::lock_guard lock(mutex_);
    completed_ += units;
}

bool Progress::isFinished() const {
    std::lock_guard lock(mutex_);
    return total_ > 0 && completed_ >= total_;
}

void Progress::cancel() {
    if (!stop_.request_stop()) return;  // already cancelled
    std::function<void()> handler;
    {
        std::lock_guard lock(mutex_);
        if (handlerRan_ || !cancellationHandler_) return;
        handlerRan_ = true;
        handler = std::move(cancellationHandler_);
    }
    handler();
}

void Progress::setCancellationHandler(std::function<void()> handler) {
    {
        std::lock_guard lock(mutex_);
        if (!stop_.stop_requested()) {
            cancellationHandler_ = std::move(handler);
            return;
        }
        if (handlerRan_ || !handler) return;
        handlerRan_ = true;
    }
    handler();  // already cancelled: run it at once
}

}  // namespace nimbuscrate::fp
