#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>

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
class UploadActivityStore : public std::enable_shared_from_this<UploadActivityStore> {
public:
    static constexpr const char* kCountKey = "active-upload-count";
    static constexpr const char* kProcessesKey = "active-upload-processes";

    explicit UploadActivityStore(Defaults& defaults);

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
    // Writes this process's count and the total of all live processes; never throws.
    void publishLocked();
    void writeCounts(std::int64_t mine, const std::string& me);

    Defaults& defaults_;
    mutable std::mutex lock_;
    std::set<Uuid> activeOperations_;
};

}  // namespace nimbuscrate
