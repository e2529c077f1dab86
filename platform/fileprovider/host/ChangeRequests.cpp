#include "platform/fileprovider/host/ChangeRequests.h"

#include "platform/tasks/TaskPool.h"

namespace nimbuscrate::fp::host {

ChangeRequests::ChangeRequests(Round round, Failed failed) : round_(std::move(round)), failed_(std::move(failed)) {}

ChangeRequests::~ChangeRequests() { stop(); }

void ChangeRequests::start() {
    auto workers = std::make_unique<TaskPool>(2);
    std::lock_guard lock(mutex_);
    stopped_ = false;
    workers_ = std::move(workers);
}

void ChangeRequests::stop() {
    std::unique_ptr<TaskPool> workers;
    {
        std::unique_lock lock(mutex_);
        stopped_ = true;
        // Rounds in flight finish first; new ones are refused.
        idle_.wait(lock, [this] { return running_ == 0; });
        workers = std::move(workers_);
    }
    if (workers) workers->shutdown();
}

void ChangeRequests::request(const ItemId& container, Done done) {
    TaskPool* workers = nullptr;
    {
        std::unique_lock lock(mutex_);
        if (stopped_) {
            lock.unlock();
            done(Error{kCocoaErrorDomain, CocoaErrorCode::connectionInterrupted,
                       ErrorUserInfo{"The domain is being removed.", nullptr}});
            return;
        }
        auto& state = states_[container];
        if (state.running) {
            state.again = true;
            state.next.push_back(std::move(done));
            return;
        }
        state.running = true;
        state.current.push_back(std::move(done));
        ++running_;
        workers = workers_.get();  // stays until running_ is back at 0 (see stop)
    }
    if (workers && workers->submit([this, container](std::stop_token) { run(container); })) return;
    std::vector<Done> waiting;
    {
        std::lock_guard lock(mutex_);
        auto& state = states_[container];
        waiting.swap(state.current);
        for (auto& next : state.next) waiting.push_back(std::move(next));
        states_.erase(container);
        --running_;
    }
    idle_.notify_all();
    for (auto& callback : waiting) callback(Error::connectionInterrupted());
}

void ChangeRequests::run(const ItemId& container) {
    for (;;) {
        auto result = round_(container);
        if (result && failed_) failed_(container, *result);
        std::vector<Done> answered;
        bool again = false;
        {
            std::lock_guard lock(mutex_);
            auto& state = states_[container];
            answered.swap(state.current);
            if (state.again) {
                state.again = false;
                state.current.swap(state.next);
                again = true;
            } else {
                states_.erase(container);
                --running_;
            }
        }
        for (auto& callback : answered) callback(result);
        if (!again) break;
    }
    idle_.notify_all();
}

}  // namespace nimbuscrate::fp::host
