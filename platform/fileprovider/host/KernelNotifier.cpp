#define FUSE_USE_VERSION 312
#include "platform/fileprovider/host/KernelNotifier.h"

#include <fuse_lowlevel.h>

namespace nimbuscrate::fp::host {

KernelNotifier::KernelNotifier(std::function<void(std::string_view, Inode)> whileSending)
    : whileSending_(std::move(whileSending)) {}

KernelNotifier::~KernelNotifier() { stop(); }

void KernelNotifier::start(fuse_session* session) {
    {
        std::lock_guard lock(mutex_);
        session_ = session;
        stopping_ = false;
    }
    thread_ = std::thread([this] { loop(); });
}

void KernelNotifier::stop() {
    {
        std::unique_lock lock(mutex_);
        stopping_ = true;
        queue_.clear();
        wake_.notify_all();
        // Inode notices being sent finish before the session may go.
        wake_.wait(lock, [this] { return sending_ == 0; });
        session_ = nullptr;
    }
    if (thread_.joinable()) thread_.join();
}

void KernelNotifier::dispatch(std::vector<Invalidation> invalidations) {
    if (invalidations.empty()) return;
    std::vector<Inode> pages;       // the inode's pages and attributes
    std::vector<Inode> attributes;  // the attributes only
    bool queued = false;
    fuse_session* session = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || !session_) return;
        session = session_;
        for (auto& invalidation : invalidations) {
            if (invalidation.kind == Invalidation::Kind::inode) {
                pages.push_back(invalidation.inode);
            } else if (invalidation.kind == Invalidation::Kind::attributes) {
                attributes.push_back(invalidation.inode);
            } else {
                queue_.push_back(std::move(invalidation));
                queued = true;
            }
        }
        // The session stays until this sender is done (see stop).
        if (!pages.empty() || !attributes.empty()) ++sending_;
    }
    if (queued) wake_.notify_all();
    if (pages.empty() && attributes.empty()) return;
    // Inode notices never block on a lookup (nothing is written back), so
    // they go at once, and the kernel shows new sizes before anyone reads.
    struct Done {
        KernelNotifier& notifier;
        ~Done() {
            {
                std::lock_guard lock(notifier.mutex_);
                --notifier.sending_;
            }
            notifier.wake_.notify_all();
        }
    } done{*this};
    if (whileSending_) whileSending_("notify", pages.empty() ? attributes.front() : pages.front());
    for (Inode inode : pages) fuse_lowlevel_notify_inval_inode(session, inode, 0, 0);
    for (Inode inode : attributes) fuse_lowlevel_notify_inval_inode(session, inode, -1, 0);
}

void KernelNotifier::loop() {
    for (;;) {
        Invalidation next;
        fuse_session* session = nullptr;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_) return;
            next = std::move(queue_.front());
            queue_.pop_front();
            session = session_;
        }
        // The kernel answers -ENOENT for what it does not cache; nothing to do then.
        switch (next.kind) {
            case Invalidation::Kind::entry:
                fuse_lowlevel_notify_inval_entry(session, next.parent, next.name.c_str(), next.name.size());
                break;
            case Invalidation::Kind::inode:
                fuse_lowlevel_notify_inval_inode(session, next.inode, 0, 0);
                break;
            case Invalidation::Kind::attributes:
                fuse_lowlevel_notify_inval_inode(session, next.inode, -1, 0);
                break;
            case Invalidation::Kind::deleted:
                if (fuse_lowlevel_notify_delete(session, next.parent, next.inode, next.name.c_str(), next.name.size()) !=
                    0) {
                    fuse_lowlevel_notify_inval_entry(session, next.parent, next.name.c_str(), next.name.size());
                }
                break;
        }
    }
}

}  // namespace nimbuscrate::fp::host
