#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <stop_token>

namespace nimbuscrate::fp::testing {

// Holds calls open until the test opens the gate. Calls that pass are counted
// so a test can wait until a call is inside.
class Gate {
public:
    // Blocks until the gate is open or the token stops; false when stopped.
    bool pass(std::stop_token stop = {}) {
        std::unique_lock lock(mutex_);
        ++waiting_;
        ++arrived_;
        changed_.notify_all();
        bool opened = changed_.wait(lock, stop, [this] { return open_; });
        --waiting_;
        return opened;
    }
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    void close() {
        std::lock_guard lock(mutex_);
        open_ = false;
    }
    // Waits (in real time) until n calls have arrived at the gate in all.
    bool waitForArrivals(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return arrived_ >= n; });
    }
    std::size_t waiting() const {
        std::lock_guard lock(mutex_);
        return waiting_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable_any changed_;
    bool open_ = false;
    std::size_t waiting_ = 0;
    std::size_t arrived_ = 0;
};

}  // namespace nimbuscrate::fp::testing
