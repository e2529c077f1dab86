#pragma once

#include <deque>
#include <functional>
#include <mutex>

namespace nimbuscrate {

// Where a piece of work runs: the app's main actor is one executor (the UI
// thread); tests use a ManualExecutor and run its queue themselves.
class Executor {
public:
    virtual ~Executor() = default;
    virtual void post(std::function<void()> work) = 0;
};

// Runs posted work when the test calls runPending.
class ManualExecutor final : public Executor {
public:
    void post(std::function<void()> work) override;
    // Runs queued work, including work queued meanwhile; returns how many ran.
    std::size_t runPending();
    std::size_t pending() const;

private:
    mutable std::mutex mutex_;
    std::deque<std::function<void()>> queue_;
};

}  // namespace nimbuscrate
