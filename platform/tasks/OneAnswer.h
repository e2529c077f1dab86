#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <stop_token>
#include <utility>

namespace nimbuscrate {

// The single answer of an asynchronous call, for a caller that blocks until
// it comes. Any thread may answer; the first answer counts and later ones are
// ignored (an entry that answers twice cannot confuse its caller). One waiter
// takes the answer: wait once.
template <class T>
class OneAnswer {
public:
    // Gives the answer; false when one was given before (this one is dropped).
    bool set(T value) {
        {
            std::lock_guard lock(mutex_);
            if (answered_) return false;
            answered_ = true;
            value_ = std::move(value);
        }
        ready_.notify_all();
        return true;
    }

    // The answer, once it has come; none when `stop` was requested first or
    // `timeout` passed first (real time).
    std::optional<T> wait(std::stop_token stop, std::chrono::steady_clock::duration timeout) {
        std::unique_lock lock(mutex_);
        ready_.wait_for(lock, stop, timeout, [this] { return answered_; });
        return take();
    }

    // The answer, however long it takes; none when `stop` was requested first.
    std::optional<T> wait(std::stop_token stop) {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, stop, [this] { return answered_; });
        return take();
    }

private:
    // The answer leaves (mutex_ held); later answers are still ignored.
    std::optional<T> take() { return std::exchange(value_, std::nullopt); }

    std::mutex mutex_;
    std::condition_variable_any ready_;
    bool answered_ = false;
    std::optional<T> value_;
};

}  // namespace nimbuscrate
