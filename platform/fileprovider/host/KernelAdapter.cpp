#define FUSE_USE_VERSION 312
#include "platform/fileprovider/host/KernelAdapter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <variant>
#include <vector>

#include "platform/fileprovider/host/DomainMount.h"
#include "platform/log/Logger.h"

namespace nimbuscrate::fp::host {
namespace {

const Logger& logger() {
    static const Logger instance("app.nimbuscrate.fileprovider", "host");
    return instance;
}

// How long the kernel keeps an entry or attributes it was given (seconds).
constexpr double kEntryTimeout = 1.0;

DomainMount* mountOf(fuse_req_t request) { return static_cast<DomainMount*>(fuse_req_userdata(request)); }

// The entry the kernel caches for a node: its inode and attributes, both
// kept for kEntryTimeout.
fuse_entry_param entryFor(DomainMount& mount, const NodeAttributes& node) {
    fuse_entry_param entry{};
    entry.ino = node.inode;
    entry.generation = 1;
    mount.fillAttributes(node, entry.attr);
    entry.attr_timeout = kEntryTimeout;
    entry.entry_timeout = kEntryTimeout;
    return entry;
}

void replyEntry(fuse_req_t request, DomainMount& mount, const ReplicaNode& node) {
    const fuse_entry_param entry = entryFor(mount, node.attributes());
    fuse_reply_entry(request, &entry);
}

// Names longer than a folder can hold: the kernel lets through up to 1024 bytes.
bool tooLong(const char* name) { return std::strlen(name) > kMaxNameBytes; }

void opLookup(fuse_req_t request, fuse_ino_t parent, const char* name) {
    auto& mount = *mountOf(request);
    if (tooLong(name)) return (void)fuse_reply_err(request, ENAMETOOLONG);
    if (auto error = mount.ensureListed(parent)) {
        fuse_reply_err(request, errnoFor(*error));
        return;
    }
    auto node = mount.replica().child(parent, name);
    if (!node) {
        // A negative entry, cached as briefly as a positive one.
        fuse_entry_param entry{};
        entry.entry_timeout = kEntryTimeout;
        fuse_reply_entry(request, &entry);
        return;
    }
    replyEntry(request, mount, *node);
}

void opGetattr(fuse_req_t request, fuse_ino_t inode, fuse_file_info*) {
    auto& mount = *mountOf(request);
    auto node = mount.replica().attributes(inode);
    struct stat attributes{};
    if (!node) {
        // Removed or replaced while open: the open file still answers.
        if (!mount.openFileAttributes(inode, attributes)) return (void)fuse_reply_err(request, ENOENT);
        fuse_reply_attr(request, &attributes, kEntryTimeout);
        return;
    }
    mount.fillAttributes(*node, attributes);
    fuse_reply_attr(request, &attributes, kEntryTimeout);
}

void opOpendir(fuse_req_t request, fuse_ino_t inode, fuse_file_info* info) {
    auto& mount = *mountOf(request);
    auto node = mount.replica().node(inode);
    if (!node) return (void)fuse_reply_err(request, ENOENT);
    if (!node->folder) return (void)fuse_reply_err(request, ENOTDIR);
    if (auto error = mount.ensureListed(inode)) return (void)fuse_reply_err(request, errnoFor(*error));
    auto* folder = mount.openFolder(inode);
    info->fh = reinterpret_cast<std::uint64_t>(folder);
    if (fuse_reply_open(request, info) != 0) mount.releaseFolder(folder);
}

void opReaddir(fuse_req_t request, fuse_ino_t inode, size_t size, off_t offset, fuse_file_info* info) {
    auto& mount = *mountOf(request);
    auto* handle = reinterpret_cast<DomainMount::OpenFolder*>(info->fh);
    std::vector<char> buffer(size);
    size_t used = 0;
    // Offsets: 1 and 2 after "." and "..", then 3 + index of each child.
    auto add = [&](const char* name, const struct stat& attributes, off_t next) {
        size_t needed = fuse_add_direntry(request, buffer.data() + used, size - used, name, &attributes, next);
        if (needed > size - used) return false;
        used += needed;
        return true;
    };
    struct stat self{};
    self.st_ino = inode;
    self.st_mode = S_IFDIR;
    if (offset < 1 && !add(".", self, 1)) return (void)fuse_reply_buf(request, buffer.data(), used);
    if (offset < 2 && !add("..", self, 2)) return (void)fuse_reply_buf(request, buffer.data(), used);
    for (size_t index = offset < 3 ? 0 : static_cast<size_t>(offset - 2); index < handle->entries.size(); ++index) {
        struct stat attributes{};
        mount.fillAttributes(mount.currentAttributes(handle->entries[index]), attributes);
        if (!add(handle->entries[index].name.c_str(), attributes, static_cast<off_t>(index + 3))) break;
    }
    fuse_reply_buf(request, buffer.data(), used);
}

// Entries with their attributes, so that `ls -l` needs no lookup per entry.
void opReaddirplus(fuse_req_t request, fuse_ino_t inode, size_t size, off_t offset, fuse_file_info* info) {
    auto& mount = *mountOf(request);
    auto* handle = reinterpret_cast<DomainMount::OpenFolder*>(info->fh);
    std::vector<char> buffer(size);
    size_t used = 0;
    auto add = [&](const char* name, const fuse_entry_param& entry, off_t next) {
        size_t needed = fuse_add_direntry_plus(request, buffer.data() + used, size - used, name, &entry, next);
        if (needed > size - used) return false;
        used += needed;
        return true;
    };
    // "." and ".." carry no entry (inode 0): the kernel knows them already.
    fuse_entry_param self{};
    self.attr.st_ino = inode;
    self.attr.st_mode = S_IFDIR;
    if (offset < 1 && !add(".", self, 1)) return (void)fuse_reply_buf(request, buffer.data(), used);
    if (offset < 2 && !add("..", self, 2)) return (void)fuse_reply_buf(request, buffer.data(), used);
    for (size_t index = offset < 3 ? 0 : static_cast<size_t>(offset - 2); index < handle->entries.size(); ++index) {
        const auto& child = handle->entries[index];
        if (!add(child.name.c_str(), entryFor(mount, mount.currentAttributes(child)), static_cast<off_t>(index + 3))) {
            break;
        }
    }
    fuse_reply_buf(request, buffer.data(), used);
}

void opReleasedir(fuse_req_t request, fuse_ino_t, fuse_file_info* info) {
    mountOf(request)->releaseFolder(reinterpret_cast<DomainMount::OpenFolder*>(info->fh));
    fuse_reply_err(request, 0);
}

void replyOpened(fuse_req_t request, DomainMount& mount, std::variant<DomainMount::OpenFile*, int> opened,
                 fuse_file_info* info, const ReplicaNode* created) {
    if (std::holds_alternative<int>(opened)) return (void)fuse_reply_err(request, std::get<int>(opened));
    auto* file = std::get<DomainMount::OpenFile*>(opened);
    info->fh = reinterpret_cast<std::uint64_t>(file);
    info->keep_cache = file->keepCache ? 1 : 0;
    info->direct_io = file->directIO ? 1 : 0;
    int failed = 0;
    if (created) {
        const fuse_entry_param entry = entryFor(mount, created->attributes());
        failed = fuse_reply_create(request, &entry, info);
    } else {
        failed = fuse_reply_open(request, info);
    }
    if (failed != 0) {
        // The request is answered (and freed) even when the reply failed:
        // nothing after this point may reach the catch that answers EIO.
        bool wrote = file->writable;
        Inode inode = file->inode;
        try {
            mount.release(file);
            if (wrote) mount.queueUpload(inode);
        } catch (const std::exception& error) {
            logger().error(std::string("Closing a file nobody opened failed: ") + error.what());
        } catch (...) {
            logger().error("Closing a file nobody opened failed with an unknown error");
        }
    }
}

void opOpen(fuse_req_t request, fuse_ino_t inode, fuse_file_info* info) {
    auto& mount = *mountOf(request);
    auto node = mount.replica().node(inode);
    bool writing = (info->flags & O_ACCMODE) != O_RDONLY || (info->flags & O_TRUNC);
    if (writing || (node && node->hasLocalChanges())) {
        // Writes, and reads of a copy changed here, use the cached copy as it is.
        return replyOpened(request, mount, mount.openLocal(inode, info->flags), info, nullptr);
    }
    auto opened = mount.openCached(inode);
    if (std::holds_alternative<int>(opened)) return (void)fuse_reply_err(request, std::get<int>(opened));
    auto* file = std::get<DomainMount::OpenFile*>(opened);
    info->fh = reinterpret_cast<std::uint64_t>(file);
    info->keep_cache = file->keepCache ? 1 : 0;
    info->direct_io = file->directIO ? 1 : 0;
    if (fuse_reply_open(request, info) != 0) mount.release(file);  // closes only: never throws
}

void opRead(fuse_req_t request, fuse_ino_t, size_t size, off_t offset, fuse_file_info* info) {
    auto* file = reinterpret_cast<DomainMount::OpenFile*>(info->fh);
    fuse_bufvec buffer = FUSE_BUFVEC_INIT(size);
    buffer.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
    buffer.buf[0].fd = file->descriptor;
    buffer.buf[0].pos = offset;
    fuse_reply_data(request, &buffer, FUSE_BUF_SPLICE_MOVE);
}

void opRelease(fuse_req_t request, fuse_ino_t, fuse_file_info* info) {
    auto& mount = *mountOf(request);
    auto* file = reinterpret_cast<DomainMount::OpenFile*>(info->fh);
    bool wrote = file->writable;
    Inode inode = file->inode;
    mount.release(file);
    // Closing a written file sends it.
    if (wrote) mount.queueUpload(inode);
    fuse_reply_err(request, 0);
}

void opCreate(fuse_req_t request, fuse_ino_t parent, const char* name, mode_t mode, fuse_file_info* info) {
    auto& mount = *mountOf(request);
    if (!S_ISREG(mode)) return (void)fuse_reply_err(request, EPERM);
    if (tooLong(name)) return (void)fuse_reply_err(request, ENAMETOOLONG);
    auto made = mount.makeNode(parent, name, false);
    if (std::holds_alternative<int>(made)) return (void)fuse_reply_err(request, std::get<int>(made));
    const auto& node = std::get<ReplicaNode>(made);
    replyOpened(request, mount, mount.openLocal(node.inode, (info->flags & ~O_TRUNC) | O_RDWR), info, &node);
}

void opWrite(fuse_req_t request, fuse_ino_t, const char* data, size_t size, off_t offset, fuse_file_info* info) {
    auto* file = reinterpret_cast<DomainMount::OpenFile*>(info->fh);
    if (!file->writable) return (void)fuse_reply_err(request, EBADF);
    std::size_t written = 0;
    if (int error = mountOf(request)->writeLocal(file, data, size, offset, written)) {
        return (void)fuse_reply_err(request, error);
    }
    fuse_reply_write(request, written);
}

void opSetattr(fuse_req_t request, fuse_ino_t inode, struct stat* attributes, int toSet, fuse_file_info* info) {
    auto& mount = *mountOf(request);
    if (!mount.replica().node(inode)) {
        // Removed (or replaced by a rename) while open: the open file still
        // takes a new size or time, as `ftruncate` and `futimens` expect.
        std::optional<off_t> size;
        if (toSet & FUSE_SET_ATTR_SIZE) size = attributes->st_size;
        std::optional<timespec> modified;
        if (toSet & FUSE_SET_ATTR_MTIME_NOW) {
            modified = timespec{0, UTIME_NOW};
        } else if (toSet & FUSE_SET_ATTR_MTIME) {
            modified = attributes->st_mtim;
        }
        auto* file = info ? reinterpret_cast<DomainMount::OpenFile*>(info->fh) : nullptr;
        struct stat now{};
        if (int error = mount.changeOpenFile(inode, file, size, modified, now)) return (void)fuse_reply_err(request, error);
        fuse_reply_attr(request, &now, kEntryTimeout);
        return;
    }
    if (toSet & FUSE_SET_ATTR_SIZE) {
        if (int error = mount.truncateLocal(inode, attributes->st_size)) return (void)fuse_reply_err(request, error);
    }
    if (toSet & (FUSE_SET_ATTR_MTIME | FUSE_SET_ATTR_MTIME_NOW)) {
        Date modified = Date::now();
        if (!(toSet & FUSE_SET_ATTR_MTIME_NOW)) {
            modified = Date::fromUnixSeconds(static_cast<double>(attributes->st_mtim.tv_sec) +
                                             static_cast<double>(attributes->st_mtim.tv_nsec) / 1e9);
        }
        if (int error = mount.setModificationDate(inode, modified)) return (void)fuse_reply_err(request, error);
    }
    // Modes, owners and access times are the folder's own: they are not kept.
    auto node = mount.replica().attributes(inode);
    if (!node) return (void)fuse_reply_err(request, ENOENT);
    struct stat now{};
    mount.fillAttributes(*node, now);
    fuse_reply_attr(request, &now, kEntryTimeout);
}

void opFsync(fuse_req_t request, fuse_ino_t inode, int, fuse_file_info* info) {
    auto* file = reinterpret_cast<DomainMount::OpenFile*>(info->fh);
    if (file && ::fdatasync(file->descriptor) != 0) return (void)fuse_reply_err(request, errno);
    if (file && file->writable) mountOf(request)->queueUpload(inode);
    fuse_reply_err(request, 0);
}

void opMkdir(fuse_req_t request, fuse_ino_t parent, const char* name, mode_t) {
    auto& mount = *mountOf(request);
    if (tooLong(name)) return (void)fuse_reply_err(request, ENAMETOOLONG);
    auto made = mount.makeNode(parent, name, true);
    if (std::holds_alternative<int>(made)) return (void)fuse_reply_err(request, std::get<int>(made));
    replyEntry(request, mount, std::get<ReplicaNode>(made));
}

void opUnlink(fuse_req_t request, fuse_ino_t parent, const char* name) {
    fuse_reply_err(request, mountOf(request)->removeLocal(parent, name, false));
}

void opRmdir(fuse_req_t request, fuse_ino_t parent, const char* name) {
    fuse_reply_err(request, mountOf(request)->removeLocal(parent, name, true));
}

void opRename(fuse_req_t request, fuse_ino_t parent, const char* name, fuse_ino_t newParent, const char* newName,
              unsigned int flags) {
    if (tooLong(newName)) return (void)fuse_reply_err(request, ENAMETOOLONG);
    fuse_reply_err(request, mountOf(request)->renameLocal(parent, name, newParent, newName, flags));
}

// What `df` shows: the volume that holds the cache, where everything
// written in the folder lands before it is sent.
void opStatfs(fuse_req_t request, fuse_ino_t) {
    struct statvfs volume{};
    if (::statvfs(mountOf(request)->stateDirectory().c_str(), &volume) != 0) {
        return (void)fuse_reply_err(request, errno);
    }
    volume.f_namemax = kMaxNameBytes;
    fuse_reply_statfs(request, &volume);
}

void opInit(void*, fuse_conn_info* connection) {
    // Reads are answered by splicing the cached file straight into the
    // kernel, without a copy through the daemon.
    if (connection->capable & FUSE_CAP_SPLICE_WRITE) connection->want |= FUSE_CAP_SPLICE_WRITE;
    if (connection->capable & FUSE_CAP_SPLICE_MOVE) connection->want |= FUSE_CAP_SPLICE_MOVE;
    if (connection->capable & FUSE_CAP_PARALLEL_DIROPS) connection->want |= FUSE_CAP_PARALLEL_DIROPS;
    connection->max_readahead = 1u << 20;
    // Large writes: a copy into the folder takes fewer round trips.
    connection->max_write = 1u << 20;
}

// Every call from the kernel goes through here: a failure that escapes the
// call (an exception of the standard library, of the extension, of the
// replica) is logged and answered EIO, and the mount goes on. The calls
// reply as their last step, so a call that threw has not replied yet.
template <class Body>
void guarded(fuse_req_t request, const char* operation, Body body) {
    try {
        mountOf(request)->beforeOperation(operation);
        body();
        return;
    } catch (const std::exception& error) {
        logger().error(std::string("The file-system call ") + operation + " failed: " + error.what());
    } catch (...) {
        logger().error(std::string("The file-system call ") + operation + " failed with an unknown error");
    }
    fuse_reply_err(request, EIO);
}

fuse_lowlevel_ops makeOperations() {
    fuse_lowlevel_ops operations{};
    operations.init = opInit;
    operations.lookup = [](fuse_req_t r, fuse_ino_t parent, const char* name) {
        guarded(r, "lookup", [&] { opLookup(r, parent, name); });
    };
    operations.getattr = [](fuse_req_t r, fuse_ino_t inode, fuse_file_info* info) {
        guarded(r, "getattr", [&] { opGetattr(r, inode, info); });
    };
    operations.opendir = [](fuse_req_t r, fuse_ino_t inode, fuse_file_info* info) {
        guarded(r, "opendir", [&] { opOpendir(r, inode, info); });
    };
    operations.readdir = [](fuse_req_t r, fuse_ino_t inode, size_t size, off_t offset, fuse_file_info* info) {
        guarded(r, "readdir", [&] { opReaddir(r, inode, size, offset, info); });
    };
    operations.readdirplus = [](fuse_req_t r, fuse_ino_t inode, size_t size, off_t offset, fuse_file_info* info) {
        guarded(r, "readdirplus", [&] { opReaddirplus(r, inode, size, offset, info); });
    };
    operations.releasedir = [](fuse_req_t r, fuse_ino_t inode, fuse_file_info* info) {
        guarded(r, "releasedir", [&] { opReleasedir(r, inode, info); });
    };
    operations.open = [](fuse_req_t r, fuse_ino_t inode, fuse_file_info* info) {
        guarded(r, "open", [&] { opOpen(r, inode, info); });
    };
    operations.read = [](fuse_req_t r, fuse_ino_t inode, size_t size, off_t offset, fuse_file_info* info) {
        guarded(r, "read", [&] { opRead(r, inode, size, offset, info); });
    };
    operations.release = [](fuse_req_t r, fuse_ino_t inode, fuse_file_info* info) {
        guarded(r, "release", [&] { opRelease(r, inode, info); });
    };
    operations.create = [](fuse_req_t r, fuse_ino_t parent, const char* name, mode_t mode, fuse_file_info* info) {
        guarded(r, "create", [&] { opCreate(r, parent, name, mode, info); });
    };
    operations.write = [](fuse_req_t r, fuse_ino_t inode, const char* data, size_t size, off_t offset,
                          fuse_file_info* info) { guarded(r, "write", [&] { opWrite(r, inode, data, size, offset, info); }); };
    operations.setattr = [](fuse_req_t r, fuse_ino_t inode, struct stat* attributes, int toSet, fuse_file_info* info) {
        guarded(r, "setattr", [&] { opSetattr(r, inode, attributes, toSet, info); });
    };
    operations.fsync = [](fuse_req_t r, fuse_ino_t inode, int dataOnly, fuse_file_info* info) {
        guarded(r, "fsync", [&] { opFsync(r, inode, dataOnly, info); });
    };
    operations.mkdir = [](fuse_req_t r, fuse_ino_t parent, const char* name, mode_t mode) {
        guarded(r, "mkdir", [&] { opMkdir(r, parent, name, mode); });
    };
    operations.unlink = [](fuse_req_t r, fuse_ino_t parent, const char* name) {
        guarded(r, "unlink", [&] { opUnlink(r, parent, name); });
    };
    operations.rmdir = [](fuse_req_t r, fuse_ino_t parent, const char* name) {
        guarded(r, "rmdir", [&] { opRmdir(r, parent, name); });
    };
    operations.rename = [](fuse_req_t r, fuse_ino_t parent, const char* name, fuse_ino_t newParent,
                           const char* newName, unsigned int flags) {
        guarded(r, "rename", [&] { opRename(r, parent, name, newParent, newName, flags); });
    };
    operations.statfs = [](fuse_req_t r, fuse_ino_t inode) { guarded(r, "statfs", [&] { opStatfs(r, inode); }); };
    return operations;
}

}  // namespace

const fuse_lowlevel_ops& kernelOperations() {
    static const fuse_lowlevel_ops operations = makeOperations();
    return operations;
}

}  // namespace nimbuscrate::fp::host
