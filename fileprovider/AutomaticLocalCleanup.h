#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

#include "platform/fileprovider/Manager.h"

namespace nimbuscrate {

class Clock;

// Removes the local copy of an uploaded file shortly after the upload, so
// that its contents live on the server and are downloaded on demand again.
// Each scheduled file gets its own worker that asks the system to evict it
// 0.7 s after scheduling and, while the system refuses, again after 1.5, 3,
// 6 and 12 s: five attempts in all. Nothing is persisted; stop() (and the
// destructor) cancels every worker and waits until each has ended.
class AutomaticLocalCleanup {
public:
    static constexpr double kFirstWaitSeconds = 0.7;
    // The waits after the first four failed attempts.
    static constexpr std::array<double, 4> kRetryWaitSeconds{1.5, 3, 6, 12};
    static constexpr int kAttempts = 5;

    // manager: the domain's manager, asked for at the start of each cleanup
    // (none: that cleanup does nothing). The clock must outlive this object.
    AutomaticLocalCleanup(std::function<fp::ManagerPtr()> manager, Clock& clock);
    ~AutomaticLocalCleanup();
    AutomaticLocalCleanup(const AutomaticLocalCleanup&) = delete;
    AutomaticLocalCleanup& operator=(const AutomaticLocalCleanup&) = delete;

    // Starts the cleanup of one file and returns at once. Does nothing once stopped.
    void schedule(const std::string& identifier);

    // Cancels every running cleanup and joins its worker; later schedules do nothing.
    void stop();

    // Cleanups still running.
    std::size_t running() const;

    // One eviction attempt: asks the manager to evict the item and waits for
    // its answer; true when the system accepted. A refusal is logged at debug
    // level. False also when stopped while waiting.
    static bool evict(const std::string& identifier, fp::Manager& manager, std::stop_token stop);

private:
    struct Worker {
        std::jthread thread;
        std::shared_ptr<std::atomic<bool>> finished;
    };

    void run(const std::string& identifier, std::stop_token stop);

    std::function<fp::ManagerPtr()> manager_;
    Clock& clock_;
    mutable std::mutex mutex_;
    std::list<Worker> workers_;
    bool stopped_ = false;
};

}  // namespace nimbuscrate
