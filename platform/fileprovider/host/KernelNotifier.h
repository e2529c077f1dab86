#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/fileprovider/host/Replica.h"

struct fuse_session;

namespace nimbuscrate::fp::host {

// Tells the kernel what to forget after the replica changed. Inode notices
// (pages, attributes) go at once on the caller's thread; entry notices,
// which may wait on a lookup in progress, go from a thread of their own.
// Neither is ever sent under a lock: the kernel may wait for file-system
// calls of ours while it takes a notice.
//
// Lock: `mutex_` guards the queue and the state below it; nothing else is
// taken under it, and no notice is sent while it is held.
class KernelNotifier {
public:
    // `whileSending` runs before inode notices go, with the first inode
    // (a test hook; may be empty).
    explicit KernelNotifier(std::function<void(std::string_view step, Inode inode)> whileSending);
    ~KernelNotifier();
    KernelNotifier(const KernelNotifier&) = delete;
    KernelNotifier& operator=(const KernelNotifier&) = delete;

    // Starts sending to `session` (after a mount).
    void start(fuse_session* session);
    // Refuses new notices, drops the queued ones, waits for the senders of
    // inode notices and joins the thread; the session may go after it.
    // Safe to call twice, and without a start.
    void stop();
    // Sends or queues the notices; does nothing before a start or after a stop.
    void dispatch(std::vector<Invalidation> invalidations);

private:
    void loop();

    std::function<void(std::string_view, Inode)> whileSending_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Invalidation> queue_;  // entry notices
    fuse_session* session_ = nullptr;  // set while started
    bool stopping_ = false;
    int sending_ = 0;  // callers sending inode notices now (outside mutex_)
    std::thread thread_;
};

}  // namespace nimbuscrate::fp::host
