#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <thread>
#include <vector>

#include "platform/fileprovider/Error.h"
#include "platform/fileprovider/host/Replica.h"

namespace nimbuscrate {
class Clock;
class TaskPool;
}  // namespace nimbuscrate

namespace nimbuscrate::fp::host {

// The per-item queue of the changes a mount sends: one step of an item
// runs at a time (a worker runs the item's steps while the step asks for
// more), on a few workers of its own. A step that fails for want of the
// service is tried again after growing pauses, and then parked, as is one
// that the server refused; parked items are tried again on their own after
// growing pauses (capped), at once when asked (a signal), and when the
// service answers again after it had failed (noteSuccess).
//
// Lock: `mutex_` guards the state below it; nothing else is taken under it,
// and no step, answer or wait for the extension runs under it.
class WriteQueue {
public:
    // One step of an item's work; true when it should run again at once.
    // Runs on a worker; its token stops when the queue stops.
    using Step = std::function<bool(Inode inode, std::stop_token stop)>;
    // How many items' steps run at once (each item's one at a time): the
    // uploads of different files go side by side, on few connections.
    static constexpr std::size_t kItemsAtOnce = 4;
    struct Options {
        Step step;
        // Runs after an item's queue went idle (and after each failed step).
        std::function<void()> afterRun;
        Clock* clock = nullptr;
        double parkedRetrySeconds = 30;
        double parkedRetryCapSeconds = 300;
    };

    explicit WriteQueue(Options options);
    ~WriteQueue();
    WriteQueue(const WriteQueue&) = delete;
    WriteQueue& operator=(const WriteQueue&) = delete;

    // Stops the retrier and the workers (running steps see their token
    // stopped; their work stays recorded). Safe to call twice.
    void stop();

    // Runs the item's steps (one more round when they run now).
    void schedule(Inode inode);
    // Holds the item's queue for a step taken outside it (a rename over a
    // file); waits while a step of it runs, until `stop` or `timeout`.
    // False when it stayed busy. `release` lets it go.
    bool claim(Inode inode, std::stop_token stop, std::chrono::seconds timeout);
    void release(Inode inode);
    bool isRunning(Inode inode) const;
    // Waits while any of `inodes` runs, until `stop` or `timeout`.
    void waitWhileRunning(const std::vector<Inode>& inodes, std::stop_token stop, std::chrono::seconds timeout);

    // A step failed: a failure for want of the service is tried again
    // after a pause (true when the step should run again now); otherwise,
    // and after the retries, the item is parked (false).
    bool failed(Inode inode, const Error& error, std::stop_token stop);
    // A step succeeded: the item's attempts start again (see noteSuccess).
    void succeeded(Inode inode);
    // Parks the item until it is tried again.
    void park(Inode inode, const Error& error);
    // A request of the domain succeeded: the pauses start small again, and
    // when a change had failed for want of the service, what is parked for
    // that reason (or for a sign-in) goes again at once.
    void noteSuccess();
    // Parked items go again (a signal, or the service is back).
    void resumeParked();

    // `waiting` is moved into the place of `blocker`'s item: it waits for
    // that item's queue (its removal) to go idle before its next step.
    void waitFor(Inode waiting, Inode blocker);
    // The item `inode` waits for, if any.
    std::optional<Inode> blockerOf(Inode inode) const;
    // The wait for `blocker` ends (its removal is sent); false when the
    // blocker runs again meanwhile.
    bool endWait(Inode inode, Inode blocker);

    // The items running and those parked (with what stopped them) now.
    struct Snapshot {
        std::set<Inode> running;
        std::map<Inode, Error> parked;
    };
    Snapshot snapshot() const;

private:
    void run(Inode inode, std::stop_token stop);
    void retryParkedLoop(std::stop_token stop);

    Options options_;
    mutable std::mutex mutex_;
    std::set<Inode> running_;   // a worker runs the item's steps (or a claim holds it)
    std::condition_variable_any idle_;  // notified when an item leaves running_
    std::set<Inode> again_;     // asked for while running: one more round
    std::map<Inode, Error> parked_;  // waits to be tried again, stopped by this error
    std::map<Inode, int> attempts_;
    // A node moved into the place of another item waits for that item's
    // removal (by the inode of its queue): the server refuses a move onto a
    // name it still holds.
    std::map<Inode, Inode> after_;
    std::condition_variable_any parkedChanged_;  // wakes the retrier when something is parked
    double parkedPause_ = 0;     // the retrier's next pause
    bool serviceFailed_ = false;  // a step failed for want of the service since its last success
    std::unique_ptr<TaskPool> workers_;
    std::jthread retrier_;
};

}  // namespace nimbuscrate::fp::host
