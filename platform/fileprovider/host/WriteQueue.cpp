#include "platform/fileprovider/host/WriteQueue.h"

#include <algorithm>
#include <exception>
#include <string>
#include <utility>

#include "platform/log/Logger.h"
#include "platform/tasks/Clock.h"
#include "platform/tasks/TaskPool.h"

namespace nimbuscrate::fp::host {
namespace {

const Logger& logger() {
    static const Logger instance("app.nimbuscrate.fileprovider", "host");
    return instance;
}

constexpr int kRetries = 5;               // transient failures tried again, then parked
constexpr double kFirstRetryDelay = 1.0;  // seconds, doubled each time

bool transient(const Error& error) {
    return error.is(kFileProviderErrorDomain, FileProviderErrorCode::serverUnreachable) ||
           error.is(kCocoaErrorDomain, CocoaErrorCode::connectionReplyInvalid);
}

}  // namespace

WriteQueue::WriteQueue(Options options)
    : options_(std::move(options)),
      parkedPause_(options_.parkedRetrySeconds),
      workers_(std::make_unique<TaskPool>(kItemsAtOnce)),
      retrier_([this](std::stop_token stop) { retryParkedLoop(stop); }) {}

WriteQueue::~WriteQueue() { stop(); }

void WriteQueue::stop() {
    // Running steps are cancelled; their work stays recorded.
    if (retrier_.joinable()) {
        retrier_.request_stop();
        retrier_.join();
    }
    workers_->shutdown();
}

void WriteQueue::schedule(Inode inode) {
    {
        std::lock_guard lock(mutex_);
        parked_.erase(inode);
        if (running_.count(inode)) {
            again_.insert(inode);
            return;
        }
        running_.insert(inode);
    }
    if (!workers_->submit([this, inode](std::stop_token stop) { run(inode, stop); })) {
        std::lock_guard lock(mutex_);
        running_.erase(inode);
        idle_.notify_all();
    }
}

void WriteQueue::run(Inode inode, std::stop_token stop) {
    std::vector<Inode> released;
    for (;;) {
        bool more = false;
        try {
            // Started only after the queue was stopped: nothing is sent,
            // the change stays recorded for the next run.
            if (!stop.stop_requested()) more = options_.step(inode, stop);
        } catch (const std::exception& error) {
            logger().error("A change could not be sent: " + std::string(error.what()));
            park(inode, Error::fileProvider(FileProviderErrorCode::cannotSynchronize, error.what()));
        }
        {
            std::lock_guard lock(mutex_);
            if (stop.stop_requested()) {
                running_.erase(inode);
                idle_.notify_all();
                break;
            }
            if (!more && !again_.erase(inode)) {
                running_.erase(inode);
                idle_.notify_all();
                // Items that waited for this one's removal go now.
                for (auto waiting = after_.begin(); waiting != after_.end();) {
                    if (waiting->second != inode) {
                        ++waiting;
                        continue;
                    }
                    released.push_back(waiting->first);
                    waiting = after_.erase(waiting);
                }
                break;
            }
            parked_.erase(inode);  // going round again: not waiting any more
        }
    }
    for (Inode waiting : released) schedule(waiting);
    if (options_.afterRun) options_.afterRun();
}

bool WriteQueue::claim(Inode inode, std::stop_token stop, std::chrono::seconds timeout) {
    std::unique_lock lock(mutex_);
    if (!idle_.wait_for(lock, stop, timeout, [&] { return !running_.count(inode); })) return false;
    running_.insert(inode);
    parked_.erase(inode);
    return true;
}

void WriteQueue::release(Inode inode) {
    bool again = false;
    {
        std::lock_guard lock(mutex_);
        running_.erase(inode);
        again = again_.erase(inode) > 0;
    }
    idle_.notify_all();
    if (again) schedule(inode);
}

bool WriteQueue::isRunning(Inode inode) const {
    std::lock_guard lock(mutex_);
    return running_.count(inode) > 0;
}

void WriteQueue::waitWhileRunning(const std::vector<Inode>& inodes, std::stop_token stop,
                                  std::chrono::seconds timeout) {
    if (inodes.empty()) return;
    std::unique_lock lock(mutex_);
    idle_.wait_for(lock, stop, timeout, [&] {
        return std::none_of(inodes.begin(), inodes.end(), [&](Inode each) { return running_.count(each) > 0; });
    });
}

bool WriteQueue::failed(Inode inode, const Error& error, std::stop_token stop) {
    if (stop.stop_requested()) return false;
    int attempt = 0;
    {
        std::lock_guard lock(mutex_);
        attempt = ++attempts_[inode];
        if (transient(error)) serviceFailed_ = true;
    }
    if (transient(error) && attempt <= kRetries) {
        double delay = kFirstRetryDelay * static_cast<double>(1 << (attempt - 1));
        logger().info("Sending a change failed (" + error.localizedDescription() + "); again in " +
                      std::to_string(delay) + " s");
        return options_.clock->sleepFor(Clock::Duration(delay), stop);
    }
    logger().error("A change waits to be tried again: " + error.localizedDescription());
    std::lock_guard lock(mutex_);
    parked_.insert_or_assign(inode, error);
    attempts_.erase(inode);
    parkedChanged_.notify_all();
    return false;
}

void WriteQueue::succeeded(Inode inode) {
    {
        std::lock_guard lock(mutex_);
        attempts_.erase(inode);
    }
    noteSuccess();
}

void WriteQueue::park(Inode inode, const Error& error) {
    std::lock_guard lock(mutex_);
    parked_.insert_or_assign(inode, error);
    parkedChanged_.notify_all();
}

void WriteQueue::noteSuccess() {
    // Only what waits for the service (or for a sign-in) is resumed: work
    // the server refused goes with the pauses, so that two refused items
    // never set each other going round and round.
    std::vector<Inode> resumed;
    {
        std::lock_guard lock(mutex_);
        parkedPause_ = options_.parkedRetrySeconds;
        // Only a success after the service failed is news.
        if (!std::exchange(serviceFailed_, false)) return;
        for (auto parked = parked_.begin(); parked != parked_.end();) {
            if (transient(parked->second) ||
                parked->second.is(kFileProviderErrorDomain, FileProviderErrorCode::notAuthenticated)) {
                resumed.push_back(parked->first);
                parked = parked_.erase(parked);
            } else {
                ++parked;
            }
        }
    }
    if (!resumed.empty()) logger().info("The service answers again: " + std::to_string(resumed.size()) + " parked changes go now");
    for (Inode inode : resumed) schedule(inode);
}

void WriteQueue::resumeParked() {
    std::map<Inode, Error> parked;
    {
        std::lock_guard lock(mutex_);
        parked.swap(parked_);
        // An attempt still under way may fail and park after this call:
        // its queue goes round once more, so the call is never lost.
        again_.insert(running_.begin(), running_.end());
    }
    for (const auto& [inode, error] : parked) schedule(inode);
}

void WriteQueue::retryParkedLoop(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    while (!stop.stop_requested()) {
        if (!parkedChanged_.wait(lock, stop, [&] { return !parked_.empty(); })) break;
        const auto pause = std::chrono::duration<double>(parkedPause_);
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(pause);
        // The pause runs to its end (a signal meanwhile resumes the parked
        // changes itself; what parks again waits for the next round).
        parkedChanged_.wait_until(lock, stop, deadline, [] { return false; });
        if (stop.stop_requested()) break;
        const std::size_t count = parked_.size();
        if (count == 0) continue;
        parkedPause_ = std::min(parkedPause_ * 2, options_.parkedRetryCapSeconds);
        lock.unlock();
        logger().info("Trying " + std::to_string(count) + " parked changes again");
        resumeParked();
        lock.lock();
    }
}

void WriteQueue::waitFor(Inode waiting, Inode blocker) {
    std::lock_guard lock(mutex_);
    after_[waiting] = blocker;
}

std::optional<Inode> WriteQueue::blockerOf(Inode inode) const {
    std::lock_guard lock(mutex_);
    auto found = after_.find(inode);
    if (found == after_.end()) return std::nullopt;
    return found->second;
}

bool WriteQueue::endWait(Inode inode, Inode blocker) {
    std::lock_guard lock(mutex_);
    if (running_.count(blocker)) return false;
    auto found = after_.find(inode);
    if (found != after_.end() && found->second == blocker) after_.erase(found);
    return true;
}

WriteQueue::Snapshot WriteQueue::snapshot() const {
    std::lock_guard lock(mutex_);
    return Snapshot{running_, parked_};
}

}  // namespace nimbuscrate::fp::host
