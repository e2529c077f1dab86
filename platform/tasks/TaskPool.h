#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <stop_token>
#include <thread>
#include <vector>

namespace nimbuscrate {

// A pool of worker threads for unstructured tasks. Each task receives the
// pool's stop token. Every task that submit() accepted runs exactly once:
// shutdown (or destruction) requests stop, lets the workers run what is
// still queued (those tasks see their token stopped from the start, so they
// end as cancelled and still answer their callers), and joins the workers.
// A task that throws is logged as an error; the pool goes on.
class TaskPool {
public:
    using Task = std::function<void(std::stop_token)>;

    explicit TaskPool(std::size_t threads = std::thread::hardware_concurrency());
    ~TaskPool();  // shuts down; never from one of the pool's own tasks
    TaskPool(const TaskPool&) = delete;
    TaskPool& operator=(const TaskPool&) = delete;

    // Queues a task; returns at once. After shutdown the task is dropped and
    // false is returned.
    bool submit(Task task);

    // Blocks until no task is queued or running.
    void waitIdle();

    // Requests stop, runs the queued tasks, joins. Safe to call twice, and
    // from several threads. Called from inside one of this pool's tasks, it
    // waits until the queue is empty and every other worker has ended (or
    // is itself waiting here); that task's own worker is joined later, by
    // the destructor or by a shutdown from outside the pool. Never detaches.
    void shutdown();

    std::stop_token stopToken() const { return stop_.get_token(); }

    // The process-wide pool.
    static TaskPool& shared();

    // Runs `task` on `first`, or on `fallback` when `first` refuses it (it
    // is shutting down). Answers that must come on another thread use it with
    // a pool that outlives `first` and is joined by its owner. Only when
    // both refuse (both owners are going away) does it run here.
    static void submitOrElse(TaskPool& first, TaskPool& fallback, Task task);

private:
    void work();
    bool onWorker() const;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::condition_variable ended_;  // a worker ended, or one started waiting inside shutdown
    std::deque<Task> queue_;
    std::size_t running_ = 0;
    std::size_t live_ = 0;             // workers inside work()
    std::size_t waitingInShutdown_ = 0;  // workers waiting inside shutdown() from their task
    bool drained_ = false;             // stopping, nothing queued, no worker outside shutdown()
    bool stopping_ = false;
    std::stop_source stop_;
    std::mutex joining_;  // one outside caller joins at a time; the others wait for it
    std::vector<std::thread> workers_;
};

}  // namespace nimbuscrate
