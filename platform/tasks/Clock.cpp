#include "platform/tasks/Clock.h"

#include <thread>

namespace nimbuscrate {

Clock& Clock::system() {
    static SystemClock clock;
    return clock;
}

Date SystemClock::now() const { return Date::now(); }

double SystemClock::monotonicSeconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool SystemClock::sleepFor(Duration duration, std::stop_token stop) {
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock lock(mutex);
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(duration);
    wake.wait_until(lock, stop, deadline, [] { return false; });
    return !stop.stop_requested();
}

ManualClock::ManualClock(Date start) : start_(start) {}

Date ManualClock::now() const {
    std::lock_guard lock(mutex_);
    return start_.addingSeconds(elapsed_);
}

double ManualClock::monotonicSeconds() const {
    std::lock_guard lock(mutex_);
    return elapsed_;
}

bool ManualClock::sleepFor(Duration duration, std::stop_token stop) {
    std::unique_lock lock(mutex_);
    const double deadline = elapsed_ + duration.count();
    ++sleepers_;
    changed_.notify_all();
    const bool reached = changed_.wait(lock, stop, [&] { return elapsed_ >= deadline; });
    --sleepers_;
    changed_.notify_all();
    return reached;
}

void ManualClock::advance(Duration duration) {
    {
        std::lock_guard lock(mutex_);
        elapsed_ += duration.count();
    }
    changed_.notify_all();
}

std::size_t ManualClock::sleepers() const {
    std::lock_guard lock(mutex_);
    return sleepers_;
}

bool ManualClock::waitForSleepers(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return sleepers_ >= n; });
}

}  // namespace nimbuscrate
