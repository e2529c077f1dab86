#include "fileprovider/AutomaticLocalCleanup.h"

#include <algorithm>

#include "fileprovider/ExtensionLoggers.h"
#include "platform/tasks/Clock.h"

namespace nimbuscrate {
namespace {

// Due times are sums of seconds as doubles; an attempt counts as due within
// a nanosecond of its time, so that rounding never holds one back.
constexpr double kSlackSeconds = 1e-9;

}  // namespace

AutomaticLocalCleanup::AutomaticLocalCleanup(std::function<fp::ManagerPtr()> manager, Clock& clock)
    : manager_(std::move(manager)), clock_(clock), state_(std::make_shared<State>()) {
    worker_ = std::thread([this] { work(); });
}

AutomaticLocalCleanup::~AutomaticLocalCleanup() { stop(); }

void AutomaticLocalCleanup::schedule(const std::string& identifier) {
    fp::ManagerPtr manager = manager_ ? manager_() : nullptr;
    if (!manager) return;
    const double dueAt = clock_.monotonicSeconds() + kFirstWaitSeconds;
    std::lock_guard lock(state_->mutex);
    if (state_->stopped) return;
    queueLocked(*state_, dueAt, Attempt{identifier, manager, 1});
}

void AutomaticLocalCleanup::stop() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopped = true;
        state_->waiting.clear();
        state_->answersPending = 0;
        state_->wake.request_stop();
    }
    state_->changed.notify_all();
    std::call_once(joined_, [this] { worker_.join(); });
}

std::size_t AutomaticLocalCleanup::running() const {
    std::lock_guard lock(state_->mutex);
    return state_->waiting.size() + state_->answersPending;
}

std::optional<double> AutomaticLocalCleanup::waitingUntil() const {
    std::lock_guard lock(state_->mutex);
    return state_->sleepingUntil;
}

void AutomaticLocalCleanup::queueLocked(State& state, double dueAt, Attempt next) {
    state.waiting.emplace(dueAt, std::move(next));
    if (state.sleepingUntil && dueAt < *state.sleepingUntil) state.wake.request_stop();
    state.changed.notify_all();
}

void AutomaticLocalCleanup::work() {
    State& state = *state_;
    std::unique_lock lock(state.mutex);
    while (!state.stopped) {
        if (state.waiting.empty()) {
            state.changed.wait(lock, [&] { return state.stopped || !state.waiting.empty(); });
            continue;
        }
        const double now = clock_.monotonicSeconds();
        auto first = state.waiting.begin();
        if (first->first <= now + kSlackSeconds) {
            Attempt due = std::move(first->second);
            state.waiting.erase(first);
            ++state.answersPending;
            lock.unlock();
            attempt(std::move(due));
            lock.lock();
            continue;
        }
        // Wait on the clock for the earliest attempt; an earlier one queued
        // meanwhile, or stop(), cuts the wait short through `wake`.
        state.sleepingUntil = first->first;
        state.wake = std::stop_source();
        const std::stop_token wake = state.wake.get_token();
        const double seconds = std::max(0.0, first->first - now - kSlackSeconds);
        lock.unlock();
        clock_.sleepFor(Clock::Duration(seconds), wake);
        lock.lock();
        state.sleepingUntil.reset();
    }
}

void AutomaticLocalCleanup::attempt(Attempt next) {
    fp::ManagerPtr manager = next.manager.lock();
    if (!manager) {
        // The system's manager is gone: nothing can be evicted any more.
        std::lock_guard lock(state_->mutex);
        if (!state_->stopped) --state_->answersPending;
        return;
    }
    const std::string identifier = next.identifier;
    // The answer may come on any thread, even inside this call, and after
    // this object is gone: it holds the shared state, not this object.
    manager->evictItem(identifier, [state = state_, &clock = clock_, next = std::move(next)](
                                       std::optional<fp::Error> error) mutable {
        answered(state, clock, std::move(next), std::move(error));
    });
}

void AutomaticLocalCleanup::answered(const std::shared_ptr<State>& state, Clock& clock, Attempt done,
                                     std::optional<fp::Error> error) {
    {
        std::lock_guard lock(state->mutex);
        if (state->stopped) return;  // nobody waits for this answer any more
    }
    // Logged before the cleanup counts as ended or its next attempt is
    // queued, so that whoever sees that also sees the line.
    if (!error) {
        evictionLogger().info("Automatically removed local copy for " + done.identifier);
    } else {
        evictionLogger().debug("Automatic local cleanup retry for " + done.identifier + ": " +
                               error->localizedDescription());
        if (done.number == kAttempts) {
            evictionLogger().error("Automatic local cleanup exhausted retries for " + done.identifier);
        }
    }

    std::lock_guard lock(state->mutex);
    // Once stopped the clock may be gone; it is only read while not stopped.
    if (state->stopped) return;
    --state->answersPending;
    if (!error || done.number == kAttempts) return;
    const double dueAt = clock.monotonicSeconds() + kRetryWaitSeconds[done.number - 1];
    ++done.number;
    queueLocked(*state, dueAt, std::move(done));
}

}  // namespace nimbuscrate
