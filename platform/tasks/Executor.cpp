#include "platform/tasks/Executor.h"

namespace nimbuscrate {

void ManualExecutor::post(std::function<void()> work) {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(work));
}

std::size_t ManualExecutor::runPending() {
    std::size_t ran = 0;
    for (;;) {
        std::function<void()> work;
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty()) return ran;
            work = std::move(queue_.front());
            queue_.pop_front();
        }
        work();
        ++ran;
    }
}

std::size_t ManualExecutor::pending() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

}  // namespace nimbuscrate
