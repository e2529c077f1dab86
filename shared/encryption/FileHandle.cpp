#include "shared/encryption/FileHandle.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/core/PlatformError.h"

namespace nimbuscrate {

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
    if (this != &other) {
        closeFileHandle(*this);
        descriptor_ = other.descriptor_;
        other.descriptor_ = -1;
    }
    return *this;
}

FileHandle::~FileHandle() { closeFileHandle(*this); }

std::size_t FileHandle::read(std::uint8_t* buffer, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got = ::read(descriptor_, buffer + done, count - done);
        if (got < 0) {
            if (errno == EINTR) continue;
            throw posixError(errno, "read");
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

void FileHandle::write(const std::uint8_t* data, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t put = ::write(descriptor_, data + done, count - done);
        if (put < 0) {
            if (errno == EINTR) continue;
            throw posixError(errno, "write");
        }
        done += static_cast<std::size_t>(put);
    }
}

std::uint64_t FileHandle::seekToEnd() {
    const off_t end = ::lseek(descriptor_, 0, SEEK_END);
    if (end < 0) throw posixError(errno, "lseek");
    return static_cast<std::uint64_t>(end);
}

void FileHandle::seek(std::uint64_t offset) {
    if (::lseek(descriptor_, static_cast<off_t>(offset), SEEK_SET) < 0) throw posixError(errno, "lseek");
}

void FileHandle::synchronize() {
    while (::fsync(descriptor_) != 0) {
        if (errno != EINTR) throw posixError(errno, "fsync");
    }
}

dev_t FileHandle::device() const {
    struct stat status {};
    if (::fstat(descriptor_, &status) != 0) throw posixError(errno, "fstat");
    return status.st_dev;
}

ino_t FileHandle::inode() const {
    struct stat status {};
    if (::fstat(descriptor_, &status) != 0) throw posixError(errno, "fstat");
    return status.st_ino;
}

void FileHandle::close() {
    if (descriptor_ < 0) return;
    const int descriptor = descriptor_;
    descriptor_ = -1;
    // The descriptor is released even when close reports an error.
    if (::close(descriptor) != 0 && errno != EINTR) throw posixError(errno, "close");
}

FileHandle openFileForReading(const std::filesystem::path& path) {
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) throw posixError(errno, "open " + path.string());
    return FileHandle(descriptor);
}

FileHandle openFileForWriting(const std::filesystem::path& path) {
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor < 0) throw posixError(errno, "open " + path.string());
    return FileHandle(descriptor);
}

void closeFileHandle(FileHandle& handle) noexcept {
    try {
        handle.close();
    } catch (...) {
        // A failed close is dropped by design.
    }
}

}  // namespace nimbuscrate
