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

namespace {

// Repeats one read or write call until `count` bytes are done or it reports
// the end (0); interrupted calls are made again.
template <class Call>
std::size_t repeat(std::size_t count, const char* name, Call call) {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t moved = call(done);
        if (moved < 0) {
            if (errno == EINTR) continue;
            throw posixError(errno, name);
        }
        if (moved == 0) break;
        done += static_cast<std::size_t>(moved);
    }
    return done;
}

}  // namespace

std::size_t FileHandle::read(std::uint8_t* buffer, std::size_t count) {
    return repeat(count, "read", [&](std::size_t done) { return ::read(descriptor_, buffer + done, count - done); });
}

void FileHandle::write(const std::uint8_t* data, std::size_t count) {
    const auto put = [&](std::size_t done) { return ::write(descriptor_, data + done, count - done); };
    if (repeat(count, "write", put) != count) throw posixError(EIO, "write");
}

std::size_t FileHandle::readAt(std::uint8_t* buffer, std::size_t count, std::uint64_t offset) const {
    return repeat(count, "pread", [&](std::size_t done) {
        return ::pread(descriptor_, buffer + done, count - done, static_cast<off_t>(offset + done));
    });
}

void FileHandle::writeAt(const std::uint8_t* data, std::size_t count, std::uint64_t offset) const {
    const auto put = [&](std::size_t done) {
        return ::pwrite(descriptor_, data + done, count - done, static_cast<off_t>(offset + done));
    };
    if (repeat(count, "pwrite", put) != count) throw posixError(EIO, "pwrite");
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
