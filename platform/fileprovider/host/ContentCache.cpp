#include "platform/fileprovider/host/ContentCache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace nimbuscrate::fp::host {
namespace {

// A cached copy that an upload's snapshot still shares (a second name of the
// same file) gets a file of its own before it is written.
int separateFromSnapshot(const std::filesystem::path& path) {
    struct stat attributes{};
    if (::stat(path.c_str(), &attributes) != 0 || attributes.st_nlink <= 1) return 0;
    auto separate = path;
    separate += ".separate";
    std::error_code error;
    std::filesystem::copy_file(path, separate, std::filesystem::copy_options::overwrite_existing, error);
    if (!error) std::filesystem::rename(separate, path, error);
    if (error) {
        std::filesystem::remove(separate, error);
        return EIO;
    }
    return 0;
}

// What a removed file that is still open shows: its cached copy as it is now.
bool attributesOfDescriptor(int descriptor, Inode inode, struct stat& attributes) {
    struct stat copy{};
    if (::fstat(descriptor, &copy) != 0) return false;
    attributes = {};
    attributes.st_ino = inode;
    attributes.st_mode = S_IFREG | 0600;
    attributes.st_nlink = 0;
    attributes.st_size = copy.st_size;
    attributes.st_blocks = (copy.st_size + 511) / 512;
    attributes.st_uid = ::getuid();
    attributes.st_gid = ::getgid();
    attributes.st_blksize = 128 * 1024;
    attributes.st_mtim = copy.st_mtim;
    attributes.st_ctim = copy.st_ctim;
    attributes.st_atim = copy.st_atim;
    return true;
}

}  // namespace

ContentCache::ContentCache(std::filesystem::path folder, const std::unique_ptr<Replica>& replica)
    : folder_(std::move(folder)), replica_(replica) {}

bool ContentCache::isCurrent(const ReplicaNode& node) const {
    return node.materializedVersion && node.version && *node.materializedVersion == *node.version &&
           std::filesystem::exists(pathOf(node.inode));
}

int ContentCache::openCopy(Inode inode, bool writing, bool emptying, const BringCurrent& bringCurrent,
                           std::unique_lock<std::mutex>& lock, int& descriptor) {
    const auto path = pathOf(inode);
    const int flags = (writing ? O_RDWR : O_RDONLY) | (emptying ? O_CREAT | O_TRUNC : 0) | O_CLOEXEC;
    // While it is being opened the file counts as in use: an eviction never
    // takes away the copy a download has just brought for this open.
    lock.lock();
    ++files_[inode].opening;
    auto finish = [&](int result) {
        if (!lock.owns_lock()) lock.lock();
        --files_[inode].opening;
        return result;
    };
    // A change of the item may outdate a copy at any moment (a download
    // that raced with it): then one more download brings the version the
    // folder shows. Checking the copy and opening it happen under the lock
    // that placing and dropping copies take, so a current copy is always
    // there to open.
    constexpr int kDownloads = 5;
    for (int attempt = 0;; ++attempt) {
        if (!lock.owns_lock()) lock.lock();
        // A copy just placed or dropped is recorded first.
        changed_.wait(lock, [&] { return files_[inode].changing == 0; });
        auto node = replica_->node(inode);
        if (!node) return finish(ENOENT);
        if (node->folder) return finish(EISDIR);
        if (node->dirty && making_ > 0 && !std::filesystem::exists(path)) {
            // A file being made gets its empty copy when its make ends.
            changed_.wait(lock, [&] { return making_ == 0; });
            --attempt;
            continue;
        }
        // A copy changed here, or open for writing here, is the file as it
        // is, and one being emptied needs no contents. When the item kept
        // changing under every download, the last complete copy is served (a
        // whole version, only not the newest), as a read that overlaps a
        // change would have been.
        const bool outrun = attempt == kDownloads && node->materializedVersion && std::filesystem::exists(path);
        const bool beingWritten = writers_.count(inode) > 0 && std::filesystem::exists(path);
        if (node->dirty || beingWritten || emptying || isCurrent(*node) || outrun) {
            if (writing) {
                if (int error = separateFromSnapshot(path)) return finish(error);
            }
            descriptor = ::open(path.c_str(), flags, 0600);
            return finish(descriptor >= 0 ? 0 : errno);
        }
        if (attempt == kDownloads) return finish(EIO);
        lock.unlock();
        if (int error = bringCurrent(*node)) return finish(error);
    }
}

std::variant<ContentCache::OpenFile*, int> ContentCache::open(Inode inode, bool local, bool writing, bool emptying,
                                                              const BringCurrent& bringCurrent) {
    std::unique_lock lock(mutex_, std::defer_lock);
    int descriptor = -1;
    int error = openCopy(inode, writing, emptying, bringCurrent, lock, descriptor);
    if (error == ENOENT) {
        // Replaced by a rename since the kernel looked it up: the new file.
        if (auto replacement = replacementLocked(inode)) {
            inode = *replacement;
            lock.unlock();
            error = openCopy(inode, writing, emptying, bringCurrent, lock, descriptor);
        }
    }
    if (error) return error;
    auto owned = std::make_unique<OpenFile>(OpenFile{descriptor, inode, 0, false, local, writing});
    auto* file = owned.get();
    openFiles_.emplace(file, std::move(owned));
    auto& state = files_[inode];
    if (writing) {
        ++writers_[inode];
        // New contents: no page of an older copy may be served after this.
        file->copy = ++copies_[inode];
        state.pagesCopy.reset();
    } else if (local) {
        file->copy = copies_[inode];
    } else {
        file->copy = copies_[inode];
        // The kernel keeps one set of pages per inode, shared by every open
        // file. While files of another copy are open, this one reads past
        // the pages, so that nobody reads a mix of two versions. Otherwise
        // the pages are kept when they are of this copy, and dropped when
        // they are not.
        const bool otherCopyOpen =
            !state.open.empty() && (*state.open.begin() != file->copy || *state.open.rbegin() != file->copy);
        if (otherCopyOpen) {
            file->directIO = true;
        } else {
            file->keepCache = state.pagesCopy == file->copy;
            state.pagesCopy = file->copy;
        }
    }
    state.open.insert(file->copy);
    return file;
}

void ContentCache::release(OpenFile* file) {
    std::unique_ptr<OpenFile> owned;
    {
        std::lock_guard lock(mutex_);
        auto kept = openFiles_.find(file);
        if (kept != openFiles_.end()) {
            owned = std::move(kept->second);
            openFiles_.erase(kept);
        }
        auto found = files_.find(file->inode);
        if (found != files_.end()) {
            auto copy = found->second.open.find(file->copy);
            if (copy != found->second.open.end()) found->second.open.erase(copy);
        }
        if (file->writable) {
            auto writer = writers_.find(file->inode);
            if (writer != writers_.end() && --writer->second <= 0) writers_.erase(writer);
        }
    }
    ::close(file->descriptor);
}

std::set<Inode> ContentCache::closeAll() {
    std::set<Inode> written;
    std::lock_guard lock(mutex_);
    for (auto& [file, owned] : openFiles_) {
        ::close(file->descriptor);
        if (file->writable) written.insert(file->inode);
    }
    openFiles_.clear();
    files_.clear();
    writers_.clear();
    return written;
}

bool ContentCache::openAttributes(Inode inode, struct stat& attributes) const {
    std::lock_guard lock(mutex_);
    for (const auto& [file, owned] : openFiles_) {
        if (file->inode == inode && attributesOfDescriptor(file->descriptor, inode, attributes)) return true;
    }
    return false;
}

int ContentCache::changeOpen(Inode inode, OpenFile* file, std::optional<off_t> size, std::optional<timespec> modified,
                             struct stat& attributes) {
    std::lock_guard lock(mutex_);
    // The handle must be one of ours and of this inode; without one, an open
    // file of the inode that was opened for writing when a size is to change.
    OpenFile* target = nullptr;
    if (file && openFiles_.count(file) && file->inode == inode) target = file;
    for (auto entry = openFiles_.begin(); !target && entry != openFiles_.end(); ++entry) {
        if (entry->first->inode == inode && (entry->first->writable || !size)) target = entry->first;
    }
    if (!target) return ENOENT;
    if (size) {
        if (!target->writable) return EBADF;
        if (::ftruncate(target->descriptor, *size) != 0) return errno;
    }
    if (modified) {
        const timespec times[2] = {{0, UTIME_OMIT}, *modified};
        if (::futimens(target->descriptor, times) != 0) return errno;
    }
    return attributesOfDescriptor(target->descriptor, inode, attributes) ? 0 : EIO;
}

bool ContentCache::isOpen(Inode inode) const {
    std::lock_guard lock(mutex_);
    auto found = files_.find(inode);
    return found != files_.end() && !found->second.open.empty();
}

bool ContentCache::hasWriter(Inode inode) const {
    std::lock_guard lock(mutex_);
    return writers_.count(inode) > 0;
}

int ContentCache::truncate(Inode inode, off_t size, const BringCurrent& bringCurrent) {
    // As for an open; the inode counts as changing before the lock goes, so
    // an eviction never drops the truncated copy before the replica knows.
    std::unique_lock lock(mutex_, std::defer_lock);
    int descriptor = -1;
    if (int error = openCopy(inode, true, size == 0, bringCurrent, lock, descriptor)) return error;
    int result = ::ftruncate(descriptor, size);
    int error = errno;
    ::close(descriptor);
    if (result != 0) return error;
    ++copies_[inode];
    auto& state = files_[inode];
    state.pagesCopy.reset();
    ++state.changing;
    return 0;
}

std::uint64_t ContentCache::copyNumber(Inode inode) {
    std::lock_guard lock(mutex_);
    return copies_[inode];
}

bool ContentCache::place(Inode inode, const std::filesystem::path& incoming, std::uint64_t copyAtStart, int& error) {
    error = 0;
    std::lock_guard lock(mutex_);
    std::error_code placeError;
    if (writers_.count(inode) > 0 || replica_->node(inode).value_or(ReplicaNode{}).dirty ||
        copies_[inode] != copyAtStart) {
        // A file open for writing here keeps its copy: writes made through
        // it must never land in a copy that a download has replaced. Nor
        // does a download that began before a writer or a truncate changed
        // the copy ever put the older bytes in its place, even when that
        // change was sent meanwhile.
        std::filesystem::remove(incoming, placeError);
        return false;
    }
    std::filesystem::rename(incoming, pathOf(inode), placeError);
    if (placeError) {
        error = EIO;
        return false;
    }
    ++copies_[inode];
    ++files_[inode].changing;
    return true;
}

void ContentCache::endChange(Inode inode) {
    {
        std::lock_guard lock(mutex_);
        auto found = files_.find(inode);
        if (found != files_.end() && found->second.changing > 0) --found->second.changing;
    }
    changed_.notify_all();
}

ContentCache::Drop ContentCache::drop(Inode inode, bool materialized, std::string& failure) {
    std::lock_guard lock(mutex_);
    auto& state = files_[inode];
    if (!state.open.empty() || state.opening > 0 || state.changing > 0) return Drop::inUse;
    if (!materialized) return Drop::nothingCached;
    // Checked again under the lock that opens for writing take.
    auto now = replica_->node(inode);
    if (!now || now->hasLocalChanges()) return Drop::changed;
    std::error_code error;
    std::filesystem::remove(pathOf(inode), error);
    if (error) {
        failure = error.message();
        return Drop::failed;
    }
    ++copies_[inode];
    state.pagesCopy.reset();
    // Opens of the inode wait until the replica has forgotten the copy.
    ++state.changing;
    return Drop::dropped;
}

void ContentCache::dropRemoved(const std::vector<Inode>& inodes) {
    if (inodes.empty()) return;
    std::lock_guard lock(mutex_);
    for (Inode inode : inodes) {
        // A newer copy may have taken the place meanwhile: that one stays.
        auto node = replica_->node(inode);
        if (node && node->materializedVersion) continue;
        std::error_code ignored;
        std::filesystem::remove(pathOf(inode), ignored);
    }
}

void ContentCache::beginMake() {
    std::lock_guard lock(mutex_);
    ++making_;
}

void ContentCache::endMake() {
    {
        std::lock_guard lock(mutex_);
        --making_;
    }
    changed_.notify_all();
}

bool ContentCache::linkSnapshot(Inode inode, const std::filesystem::path& target) {
    std::unique_lock lock(mutex_);
    // A file being made gets its empty copy when its make ends.
    changed_.wait(lock, [&] { return making_ == 0 || std::filesystem::exists(pathOf(inode)); });
    if (writers_.count(inode) > 0) return false;
    return ::link(pathOf(inode).c_str(), target.c_str()) == 0;
}

void ContentCache::noteReplacement(Inode replaced, Inode replacement) {
    std::lock_guard lock(mutex_);
    if (replacedBy_.size() >= 1024) replacedBy_.clear();
    replacedBy_[replaced] = replacement;
}

std::optional<Inode> ContentCache::replacementOf(Inode inode) const {
    std::lock_guard lock(mutex_);
    return replacementLocked(inode);
}

std::optional<Inode> ContentCache::replacementLocked(Inode inode) const {
    // Followed for a few steps: a file replaced again and again (a log
    // rotated by rename, say) leaves a chain.
    std::optional<Inode> found;
    for (int step = 0; step < 8; ++step) {
        auto next = replacedBy_.find(found.value_or(inode));
        if (next == replacedBy_.end()) break;
        found = next->second;
        if (replica_->node(*found)) return found;
    }
    return std::nullopt;
}

}  // namespace nimbuscrate::fp::host
