#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include "platform/fileprovider/Manager.h"

namespace nimbuscrate {

class Clock;

// Removes the local copy of an uploaded file shortly after the upload, so
// that its contents live on the server and are downloaded on demand again.
// Each scheduled file is asked to be evicted 0.7 s after scheduling and,
// while the system refuses, again 1.5, 3, 6 and 12 s after each refusal:
// five attempts in all. Nothing is persisted.
//
// One worker thread serves every cleanup: it keeps the pending attempts in
// a queue ordered by due time and waits on the clock for the earliest, so a
// bulk copy of thousands of files costs queue entries, not threads. An
// attempt only asks the system and returns; the system's answer, on its own
// thread, logs the outcome and queues the next attempt. stop() (and the
// destructor) drops every cleanup and joins the worker; an answer that comes
// later is ignored.
class AutomaticLocalCleanup {
public:
    static constexpr double kFirstWaitSeconds = 0.7;
    // The waits after the first four failed attempts.
    static constexpr std::array<double, 4> kRetryWaitSeconds{1.5, 3, 6, 12};
    static constexpr int kAttempts = 5;

    // manager: the domain's manager, asked for when a cleanup is scheduled
    // (none: that cleanup does nothing). The clock must outlive this object.
    AutomaticLocalCleanup(std::function<fp::ManagerPtr()> manager, Clock& clock);
    ~AutomaticLocalCleanup();
    AutomaticLocalCleanup(const AutomaticLocalCleanup&) = delete;
    AutomaticLocalCleanup& operator=(const AutomaticLocalCleanup&) = delete;

    // Starts the cleanup of one file and returns at once. Does nothing once stopped.
    void schedule(const std::string& identifier);

    // Drops every cleanup and joins the worker; later schedules do nothing.
    void stop();

    // Cleanups still running: waiting for an attempt or for the system's answer.
    std::size_t running() const;

    // The due time, on the clock's monotonic scale, that the worker is now
    // waiting for on the clock; none when it waits for nothing (for tests).
    std::optional<double> waitingUntil() const;

private:
    // One attempt of one file's cleanup.
    struct Attempt {
        std::string identifier;
        fp::ManagerPtr manager;  // obtained once, when the cleanup was scheduled
        int number = 1;          // 1 to kAttempts
    };

    // What the worker, schedule() and the system's answers share. Answers
    // may arrive after this object is gone, so they hold the state itself,
    // and find their attempt by its ticket (gone once stopped).
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        std::multimap<double, Attempt> waiting;          // by due time on the clock's monotonic scale
        std::map<std::uint64_t, Attempt> evicting;       // asked of the system, by ticket
        std::uint64_t lastTicket = 0;
        std::optional<double> sleepingUntil;             // the due time the worker waits for on the clock
        std::stop_source wake;                           // cuts that wait short
        bool stopped = false;
    };

    void work();
    // Asks the system to evict; its answer comes back with the ticket.
    void attempt(std::uint64_t ticket, const std::string& identifier, const fp::ManagerPtr& manager);
    // Queues an attempt due at the time; wakes the worker when it is due
    // before the one it waits for. Called with the state's mutex held.
    static void queueLocked(State& state, double dueAt, Attempt next);
    // Handles the system's answer to one attempt.
    static void answered(const std::shared_ptr<State>& state, Clock& clock, std::uint64_t ticket,
                         std::optional<fp::Error> error);

    std::function<fp::ManagerPtr()> manager_;
    Clock& clock_;
    std::shared_ptr<State> state_;
    std::once_flag joined_;
    std::thread worker_;  // last: starts once everything it uses is there
};

}  // namespace nimbuscrate
