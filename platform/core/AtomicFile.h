#pragma once

#include <filesystem>
#include <optional>
#include <sys/types.h>

#include "platform/core/Bytes.h"

namespace nimbuscrate {

// Whether a replacement of a file waits for the disk. `durable` flushes the
// data and then the folder before it returns. `unsynced` leaves writing
// them to the kernel, for values whose loss after a power cut is harmless
// (the state of running work): while the system runs, readers still see
// the old or the new contents, never a mix, and file systems that flush a
// file's data before a rename over another file keep that after a power
// cut too (ext4, btrfs), so the file then holds the old or the new bytes.
enum class FileSync { durable, unsynced };

// Replaces the file with the bytes atomically: the data goes to a fresh
// temporary file beside it (created exclusively, never through a link),
// which is flushed to disk (see FileSync) and renamed over the target; the
// folder is flushed too. A reader sees the old or the new contents, never a
// mix. Throws PlatformError (POSIX domain) on failure; the target is then
// untouched.
void writeFileAtomically(const std::filesystem::path& file, const Bytes& data, mode_t mode = 0600,
                         FileSync sync = FileSync::durable);

// The whole file, or nothing when it does not exist. A symbolic link is not
// followed, and anything but a regular file (a FIFO, a device, a folder) is
// refused without blocking: both fail. Throws PlatformError on other failures.
std::optional<Bytes> readFileNoFollow(const std::filesystem::path& file);

// Flushes a folder's entries (after a rename or unlink in it).
void syncDirectory(const std::filesystem::path& directory);

// An exclusive advisory lock (flock) on a lock file, held while the object
// lives. Works across processes and across threads of one process.
class FileLock {
public:
    explicit FileLock(const std::filesystem::path& lockFile);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int fd_ = -1;
};

}  // namespace nimbuscrate
