#pragma once

#include <sys/stat.h>

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <variant>

#include "platform/fileprovider/host/Replica.h"

namespace nimbuscrate::fp::host {

// The cached copies of a domain's files (one file per inode in the cache
// folder) and the files open on them. It numbers the copies of each inode
// (a copy placed, changed or dropped gets a new number), so that a download
// never replaces a copy changed since it began, and the kernel's pages are
// never mixed from two copies. Opens, placements and drops of copies are
// checked and done under one lock, so an open always finds the copy it
// checked, and an eviction never takes a copy in use.
//
// Errors are positive errno values (0: none). Lock: `mutex_` guards all
// state; under it only the replica's reads (never a commit, a download or a
// kernel notice). A change that the replica records after the copy changed
// marks the inode as changing (endChange ends it): opens of that inode wait
// for the record, evictions refuse it, every other call goes on.
class ContentCache {
public:
    // An open file of a cached copy. Owned by the cache until released: a
    // session that ends while files are open never releases them, so the
    // cache closes what is left (closeAll).
    struct OpenFile {
        int descriptor = -1;
        Inode inode = 0;
        std::uint64_t copy = 0;  // which copy of the inode it reads
        bool keepCache = false;  // the kernel's pages of the inode are of this copy
        bool directIO = false;   // past the kernel's pages (another copy is open)
        bool writable = false;   // opened for writing: releasing it may queue an upload
    };
    // Brings the current version of a file the cache has no current copy of
    // (called without the lock): 0 when it should be looked at again, or an errno.
    using BringCurrent = std::function<int(const ReplicaNode& node)>;

    // `replica` is the domain's replica (its owner may replace it before a mount).
    ContentCache(std::filesystem::path folder, const std::unique_ptr<Replica>& replica);
    ContentCache(const ContentCache&) = delete;
    ContentCache& operator=(const ContentCache&) = delete;

    std::filesystem::path pathOf(Inode inode) const { return folder_ / std::to_string(inode); }
    // The node has a cached copy of its version.
    bool isCurrent(const ReplicaNode& node) const;

    // Opens a file. `local`: a copy changed here as it is (for writing when
    // `writing`; emptied first when `emptying`), else the current version,
    // brought first when needed. An open of an inode that a rename has
    // replaced since the kernel looked it up opens the file now in its place.
    std::variant<OpenFile*, int> open(Inode inode, bool local, bool writing, bool emptying,
                                      const BringCurrent& bringCurrent);
    // Closes an open file (of ours or not: then only the descriptor).
    void release(OpenFile* file);
    // Closes every file left open; the inodes that had writers.
    std::set<Inode> closeAll();
    // The attributes of an open file of an inode gone from the folder (its
    // cached copy as it is now); false when none is open.
    bool openAttributes(Inode inode, struct stat& attributes) const;
    // A new size or time for a gone inode's open file: through `file` when it
    // is one of ours of that inode, else one that can take it. 0 or an errno.
    int changeOpen(Inode inode, OpenFile* file, std::optional<off_t> size, std::optional<timespec> modified,
                   struct stat& attributes);
    // Whether a file of the inode is open now (for writing, with `writers`).
    bool isOpen(Inode inode) const;
    bool hasWriter(Inode inode) const;

    // Truncates the copy (bringing it first unless it is emptied) and marks
    // the inode as changing. 0 or an errno.
    int truncate(Inode inode, off_t size, const BringCurrent& bringCurrent);

    // The number of the inode's copy now (a download's start).
    std::uint64_t copyNumber(Inode inode);
    // Makes `incoming` the inode's copy, unless the copy changed since
    // `copyAtStart`, a writer has it open or its node is dirty (then
    // `incoming` goes). True when placed: the inode is then marked as
    // changing. 0 or an errno through `error`.
    bool place(Inode inode, const std::filesystem::path& incoming, std::uint64_t copyAtStart, int& error);
    // Ends a changing mark (placed, truncated or dropped copies).
    void endChange(Inode inode);

    // Drops the copy of a closed, clean file; marks the inode as changing.
    enum class Drop { dropped, nothingCached, inUse, changed, failed };
    Drop drop(Inode inode, bool materialized, std::string& failure);
    // Deletes the copies of removed nodes (unless a newer copy has a node again).
    void dropRemoved(const std::vector<Inode>& inodes);

    // A new file's node is made: its copy comes at endMake. Whatever finds
    // such a node without its copy meanwhile waits for the make.
    void beginMake();
    void endMake();

    // A snapshot of the copy under a second name (`target`), when no writer
    // has it open; false otherwise (the caller copies the bytes instead).
    bool linkSnapshot(Inode inode, const std::filesystem::path& target);

    // Opens of `replaced` go to `replacement` from now on (a rename put it there).
    void noteReplacement(Inode replaced, Inode replacement);
    std::optional<Inode> replacementOf(Inode inode) const;

private:
    struct InodeFiles {
        std::multiset<std::uint64_t> open;       // the copies open now
        std::optional<std::uint64_t> pagesCopy;  // the copy the kernel's pages may be of
        int opening = 0;                         // opens under way (the file is in use)
        int changing = 0;                        // see endChange
    };
    // Opens the copy and returns with `lock` held (also on failure); the
    // descriptor through `descriptor`. 0 or an errno.
    int openCopy(Inode inode, bool writing, bool emptying, const BringCurrent& bringCurrent,
                 std::unique_lock<std::mutex>& lock, int& descriptor);
    std::optional<Inode> replacementLocked(Inode inode) const;

    const std::filesystem::path folder_;
    const std::unique_ptr<Replica>& replica_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;  // a changing mark or a make ended
    std::map<Inode, std::uint64_t> copies_;
    std::map<Inode, InodeFiles> files_;
    std::map<Inode, int> writers_;  // files open for writing, per inode
    // Files put in the place of others by a rename, by the inode they
    // replaced: an open of the old inode that raced with the rename gets
    // the new file (the old or the new bytes, never a missing file).
    std::map<Inode, Inode> replacedBy_;
    std::map<OpenFile*, std::unique_ptr<OpenFile>> openFiles_;
    int making_ = 0;
};

}  // namespace nimbuscrate::fp::host
