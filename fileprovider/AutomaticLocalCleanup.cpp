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
    // The dropped attempts go after the lock: releasing a manager may run
    // code of the system's that answers, which takes the lock again.
    std::multimap<double, Attempt> waiting;
    std::map<std::uint64_t, Attempt> evicting;
    {
        std::lock_guard lock(state_->mutex);
        state_->stopped = true;
        waiting.swap(state_->waiting);
        evicting.swap(state_->evicting);
        state_->wake.request_stop();
    }
    state_->changed.notify_all();
    std::call_once(joined_, [this] { worker_.join(); });
}

std::size_t AutomaticLocalCleanup::running() const {
    std::lock_guard lock(state_->mutex);
    return state_->waiting.size() + state_->evicting.size();
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
            {
                const std::uint64_t ticket = ++state.lastTicket;
                const Attempt& due = state.evicting.emplace(ticket, std::move(first->second)).first->second;
                const std::string identifier = due.identifier;
                const fp::ManagerPtr manager = due.manager;
                state.waiting.erase(first);
                lock.unlock();
                attempt(ticket, identifier, manager);
            }  // the manager is let go without the lock (it may be the last hold once stopped)
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

void AutomaticLocalCleanup::attempt(std::uint64_t ticket, const std::string& identifier,
                                    const fp::ManagerPtr& manager) {
    // The answer may come on any thread, even inside this call, and after
    // this object is gone: it holds the shared state, not this object.
    manager->evictItem(identifier, [state = state_, &clock = clock_, ticket](std::optional<fp::Error> error) {
        answered(state, clock, ticket, std::move(error));
    });
}

void AutomaticLocalCleanup::answered(const std::shared_ptr<State>& state, Clock& clock, std::uint64_t ticket,
                                     std::optional<fp::Error> error) {
    std::string identifier;
    int number = 0;
    {
        std::lock_guard lock(state->mutex);
        auto found = state->evicting.find(ticket);
        if (state->stopped || found == state->evicting.end()) return;  // nobody waits for this answer any more
        identifier = found->second.identifier;
        number = found->second.number;
    }
    // Logged before the cleanup counts as ended or its next attempt is
    // queued, so that whoever sees that also sees the line.
    if (!error) {
        evictionLogger().info("Automatically removed local copy for " + identifier);
    } else {
        evictionLogger().debug("Automatic local cleanup retry for " + identifier + ": " +
                               error->localizedDescription());
        if (number == kAttempts) {
            evictionLogger().error("Automatic local cleanup exhausted retries for " + identifier);
        }
    }

    Attempt next;  // declared before the lock, so that an ended cleanup lets its manager go without it
    std::lock_guard lock(state->mutex);
    // Once stopped the clock may be gone; it is only read while not stopped.
    auto found = state->evicting.find(ticket);
    if (state->stopped || found == state->evicting.end()) return;
    next = std::move(found->second);
    state->evicting.erase(found);
    if (!error || next.number == kAttempts) return;
    const double dueAt = clock.monotonicSeconds() + kRetryWaitSeconds[next.number - 1];
    ++next.number;
    queueLocked(*state, dueAt, std::move(next));
}

}  // namespace nimbuscrate
