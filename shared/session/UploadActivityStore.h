#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <stop_token>
#include <string>
#include <thread>

#include "platform/core/Random.h"
#include "platform/defaults/Defaults.h"
#include "shared/session/UploadActivityToken.h"

namespace nimbuscrate {

// The number of uploads in flight, published in the application group
// defaults as "active-upload-count" for the app's menu-bar animation.
//
// Each process publishes its own count under "active-upload-processes"
// (keyed by process id and start time) and, in the same locked write of the
// suite, the total of all live processes as "active-upload-count". So the
// total stays exact when several processes upload, and the share of a
// process that died is dropped at the next write.
//
// The count is the state of running uploads: it is written without waiting
// for the disk (after a power cut no upload runs, whatever the file says).
// With a publish interval, changes are published at most once an interval
// from a thread of the store's own: the first change after a quiet interval
// goes out at once, the changes that follow within the interval go out
// together at its end, and the last count is always published (at the
// latest when the store goes).
class UploadActivityStore : public std::enable_shared_from_this<UploadActivityStore> {
public:
    static constexpr const char* kCountKey = "active-upload-count";
    static constexpr const char* kProcessesKey = "active-upload-processes";
    // The interval of the process-wide store: a few publications a second.
    static constexpr std::chrono::milliseconds kPublishInterval{250};

    // Without an interval, every change is published before its call returns.
    explicit UploadActivityStore(Defaults& defaults, std::chrono::milliseconds publishInterval = {});
    ~UploadActivityStore();
    UploadActivityStore(const UploadActivityStore&) = delete;
    UploadActivityStore& operator=(const UploadActivityStore&) = delete;

    // The process-wide store over the group suite.
    static const std::shared_ptr<UploadActivityStore>& shared();

    // None of the three operations below fails when the count cannot be
    // written to the suite: the failure is logged, this process's count in
    // memory stays exact, and the next write that succeeds publishes the
    // right total. So an upload never fails, and a token's destructor never
    // throws, because of the counter.

    // Forgets this process's uploads (start-up and invalidation of the extension).
    void resetCount();
    // Counts one more upload until the token finishes.
    std::shared_ptr<UploadActivityToken> beginUpload();
    void finishUpload(const Uuid& operation);

    // This process's uploads in flight.
    std::size_t activeOperations() const;
    // The published total.
    std::int64_t publishedCount() const;

private:
    // After a change of the set (under `lock_`): publishes it at once, or
    // wakes the publisher.
    void changedLocked();
    // Writes this process's count and the total of all live processes; never throws.
    void publish(std::int64_t mine);
    void writeCounts(std::int64_t mine, const std::string& me);
    // The publisher's thread (with an interval).
    void publishChanges(std::stop_token stop);

    Defaults& defaults_;
    const std::chrono::milliseconds publishInterval_;
    // Guards the set and the publisher's state. Without an interval it is
    // held across the write (which orders the writes); the publisher writes
    // without it, being the only writer then.
    mutable std::mutex lock_;
    std::set<Uuid> activeOperations_;
    std::condition_variable_any changed_;
    bool unpublished_ = false;
    std::chrono::steady_clock::time_point lastPublished_{};
    std::jthread publisher_;  // last: stopped and joined before the rest goes
};

}  // namespace nimbuscrate
