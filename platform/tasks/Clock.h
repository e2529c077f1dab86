#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <stop_token>

#include "platform/core/Date.h"

namespace nimbuscrate {

// Time as the code sees it, so tests can run schedules on a manual clock.
class Clock {
public:
    using Duration = std::chrono::duration<double>;  // seconds

    virtual ~Clock() = default;
    // Wall-clock time.
    virtual Date now() const = 0;
    // Seconds on a monotonic scale (for deadlines and measured gaps).
    virtual double monotonicSeconds() const = 0;
    // Waits for the duration; returns false as soon as the stop token asks to stop.
    virtual bool sleepFor(Duration duration, std::stop_token stop) = 0;

    // The real clock.
    static Clock& system();
};

class SystemClock final : public Clock {
public:
    Date now() const override;
    double monotonicSeconds() const override;
    bool sleepFor(Duration duration, std::stop_token stop) override;
};

// A clock that moves only when the test advances it. Sleepers wake when the
// clock reaches their deadline or when their stop token fires.
class ManualClock final : public Clock {
public:
    explicit ManualClock(Date start = Date::fromUnixSeconds(1'700'000'000));

    Date now() const override;
    double monotonicSeconds() const override;
    bool sleepFor(Duration duration, std::stop_token stop) override;

    void advance(Duration duration);
    // Number of threads sleeping right now.
    std::size_t sleepers() const;
    // Blocks (in real time, up to the timeout) until at least n threads sleep.
    bool waitForSleepers(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable_any changed_;
    double elapsed_ = 0;
    Date start_;
    std::size_t sleepers_ = 0;
};

}  // namespace nimbuscrate
