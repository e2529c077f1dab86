#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <optional>

#include "platform/fileprovider/Error.h"

namespace nimbuscrate::fp::host {

// Runs one piece of work per key at a time: callers that arrive while it
// runs wait for the same run and share its result.
template <class Key>
class SingleFlight {
public:
    using Result = std::optional<Error>;

    Result run(const Key& key, const std::function<Result()>& work) {
        std::shared_future<Result> shared;
        std::promise<Result> promise;
        bool leader = false;
        {
            std::lock_guard lock(mutex_);
            auto found = running_.find(key);
            if (found != running_.end()) {
                shared = found->second;
            } else {
                shared = promise.get_future().share();
                running_.emplace(key, shared);
                leader = true;
            }
        }
        if (!leader) {
            ++followers_;
            return shared.get();
        }
        Result result;
        try {
            result = work();
        } catch (...) {
            result = Error{kCocoaErrorDomain, CocoaErrorCode::connectionReplyInvalid,
                           ErrorUserInfo{std::nullopt, std::current_exception()}};
        }
        {
            std::lock_guard lock(mutex_);
            running_.erase(key);
        }
        promise.set_value(result);
        return result;
    }

    // How many callers so far joined a run another caller had started.
    std::size_t followers() const { return followers_; }

private:
    std::atomic<std::size_t> followers_{0};
    std::mutex mutex_;
    std::map<Key, std::shared_future<Result>> running_;
};

}  // namespace nimbuscrate::fp::host
