#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace nimbuscrate::fp::testing {

// What a fake was asked, in order, with failure injection: the n-th call of
// an operation (counting from 1) can be told to fail.
class RequestLog {
public:
    struct Entry {
        std::string operation;
        std::string detail;
    };

    // Records a call; returns true when this call is to fail.
    bool record(const std::string& operation, std::string detail = {}) {
        std::lock_guard lock(mutex_);
        entries_.push_back({operation, std::move(detail)});
        std::size_t n = ++counts_[operation];
        auto plan = failAt_.find(operation);
        if (plan == failAt_.end()) return false;
        for (std::size_t index : plan->second) {
            if (index == n) return true;
        }
        return failAlwaysFrom_.count(operation) && n >= failAlwaysFrom_.at(operation);
    }
    // The n-th call of the operation fails (may be given several times).
    void failAt(const std::string& operation, std::size_t n) {
        std::lock_guard lock(mutex_);
        failAt_[operation].push_back(n);
    }
    // Every call of the operation from the n-th on fails.
    void failFrom(const std::string& operation, std::size_t n) {
        std::lock_guard lock(mutex_);
        failAt_[operation];
        failAlwaysFrom_[operation] = n;
    }
    std::vector<Entry> entries() const {
        std::lock_guard lock(mutex_);
        return entries_;
    }
    std::size_t count(const std::string& operation) const {
        std::lock_guard lock(mutex_);
        auto found = counts_.find(operation);
        return found == counts_.end() ? 0 : found->second;
    }

private:
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    std::map<std::string, std::size_t> counts_;
    std::map<std::string, std::vector<std::size_t>> failAt_;
    std::map<std::string, std::size_t> failAlwaysFrom_;
};

}  // namespace nimbuscrate::fp::testing
