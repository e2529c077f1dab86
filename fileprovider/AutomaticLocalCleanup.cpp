#include "fileprovider/AutomaticLocalCleanup.h"

#include <condition_variable>
#include <optional>

#include "fileprovider/ExtensionLoggers.h"
#include "platform/tasks/Clock.h"

namespace nimbuscrate {

AutomaticLocalCleanup::AutomaticLocalCleanup(std::function<fp::ManagerPtr()> manager, Clock& clock)
    : manager_(std::move(manager)), clock_(clock) {}

AutomaticLocalCleanup::~AutomaticLocalCleanup() { stop(); }

void AutomaticLocalCleanup::schedule(const std::string& identifier) {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    // Join the workers that have ended, so that finished threads do not pile up.
    for (auto worker = workers_.begin(); worker != workers_.end();) {
        if (worker->finished->load()) {
            worker->thread.join();
            worker = workers_.erase(worker);
        } else {
            ++worker;
        }
    }
    auto finished = std::make_shared<std::atomic<bool>>(false);
    workers_.push_back(Worker{std::jthread([this, identifier, finished](std::stop_token stop) {
                                  run(identifier, stop);
                                  finished->store(true);
                              }),
                              finished});
}

void AutomaticLocalCleanup::stop() {
    std::list<Worker> workers;
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        workers.swap(workers_);
    }
    for (auto& worker : workers) worker.thread.request_stop();
    for (auto& worker : workers) {
        if (worker.thread.joinable()) worker.thread.join();
    }
}

std::size_t AutomaticLocalCleanup::running() const {
    std::lock_guard lock(mutex_);
    std::size_t count = 0;
    for (const auto& worker : workers_) {
        if (!worker.finished->load()) ++count;
    }
    return count;
}

void AutomaticLocalCleanup::run(const std::string& identifier, std::stop_token stop) {
    fp::ManagerPtr manager = manager_ ? manager_() : nullptr;
    if (!manager) return;
    // A wait cut short by cancellation is no error: the check below ends the cleanup.
    clock_.sleepFor(Clock::Duration(kFirstWaitSeconds), stop);
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        if (stop.stop_requested()) return;
        if (evict(identifier, *manager, stop)) {
            evictionLogger().info("Automatically removed local copy for " + identifier);
            return;
        }
        if (stop.stop_requested()) return;
        if (attempt < kAttempts) {
            clock_.sleepFor(Clock::Duration(kRetryWaitSeconds[attempt - 1]), stop);
        }
    }
    evictionLogger().error("Automatic local cleanup exhausted retries for " + identifier);
}

bool AutomaticLocalCleanup::evict(const std::string& identifier, fp::Manager& manager, std::stop_token stop) {
    // The answer arrives on another thread, exactly once; it may come after
    // this attempt stopped waiting, so the shared state outlives the call.
    struct Answer {
        std::mutex mutex;
        std::condition_variable_any arrived;
        bool done = false;
        std::optional<fp::Error> error;
    };
    auto answer = std::make_shared<Answer>();
    manager.evictItem(identifier, [answer](std::optional<fp::Error> error) {
        std::lock_guard lock(answer->mutex);
        answer->error = std::move(error);
        answer->done = true;
        answer->arrived.notify_all();
    });
    std::unique_lock lock(answer->mutex);
    if (!answer->arrived.wait(lock, stop, [&] { return answer->done; })) return false;
    if (!answer->error) return true;
    evictionLogger().debug("Automatic local cleanup retry for " + identifier + ": " +
                           answer->error->localizedDescription());
    return false;
}

}  // namespace nimbuscrate
