#include "platform/tasks/TaskPool.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <string>

#include "platform/log/Logger.h"

namespace nimbuscrate {

namespace {

const Logger& logger() {
    static const Logger instance("app.nimbuscrate.fileprovider", "tasks");
    return instance;
}

// The pool whose worker this thread is, if any.
thread_local const TaskPool* currentPool = nullptr;

}  // namespace

TaskPool::TaskPool(std::size_t threads) {
    threads = std::max<std::size_t>(threads, 1);
    workers_.reserve(threads);
    live_ = threads;
    for (std::size_t i = 0; i < threads; ++i) workers_.emplace_back([this] { work(); });
}

TaskPool::~TaskPool() { shutdown(); }

bool TaskPool::submit(Task task) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return false;
        queue_.push_back(std::move(task));
    }
    wake_.notify_one();
    return true;
}

void TaskPool::waitIdle() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return queue_.empty() && running_ == 0; });
}

bool TaskPool::onWorker() const { return currentPool == this; }

void TaskPool::shutdown() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;  // refuses new tasks; the queued ones still run
    }
    stop_.request_stop();
    wake_.notify_all();
    if (onWorker()) {
        // This thread cannot join itself: wait for the rest of the pool here,
        // and leave this worker to be joined by whoever ends the pool.
        std::unique_lock lock(mutex_);
        ++waitingInShutdown_;
        ended_.notify_all();
        ended_.wait(lock, [this] {
            // Once every live worker waits here with nothing queued, that stays
            // so (no task can be added): all of them go on, whatever happens next.
            if (queue_.empty() && live_ == waitingInShutdown_) drained_ = true;
            return drained_;
        });
        --waitingInShutdown_;
        ended_.notify_all();
    } else {
        std::lock_guard joining(joining_);  // a second caller returns only once the pool has ended
        std::vector<std::thread> workers;
        {
            std::lock_guard lock(mutex_);
            workers.swap(workers_);
        }
        for (auto& worker : workers) worker.join();
    }
    idle_.notify_all();
}

void TaskPool::work() {
    currentPool = this;
    for (;;) {
        Task task;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) {  // stopping and nothing left
                --live_;
                ended_.notify_all();
                return;
            }
            task = std::move(queue_.front());
            queue_.pop_front();
            ++running_;
        }
        try {
            task(stop_.get_token());
        } catch (const std::exception& error) {
            logger().error(std::string("A task failed: ") + error.what());
        } catch (...) {
            logger().error("A task failed with an error that is not a std::exception.");
        }
        // Destroy what the task captured before it counts as done, so that
        // waitIdle never returns while a task's objects are still alive.
        task = nullptr;
        {
            std::lock_guard lock(mutex_);
            --running_;
            if (queue_.empty() && running_ == 0) idle_.notify_all();
        }
    }
}

void TaskPool::submitOrElse(TaskPool& first, TaskPool& fallback, Task task) {
    // Kept aside, so that a refusal leaves the task here to try again.
    auto shared = std::make_shared<Task>(std::move(task));
    auto run = [shared](std::stop_token stop) { (*shared)(stop); };
    if (first.submit(run) || fallback.submit(run)) return;
    std::stop_source stopped;
    stopped.request_stop();
    (*shared)(stopped.get_token());
}

TaskPool& TaskPool::shared() {
    static TaskPool pool(std::max(4u, std::thread::hardware_concurrency()));
    return pool;
}

}  // namespace nimbuscrate
