#include "platform/core/AtomicFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/core/PlatformError.h"
#include "platform/core/Random.h"

namespace nimbuscrate {

namespace {

void writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            throw posixError(errno, "write");
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

std::string temporaryName(const std::filesystem::path& file) {
    const Bytes suffix = randomBytes(8);
    static const char* digits = "0123456789abcdef";
    std::string name = "." + file.filename().string() + ".tmp-";
    for (auto byte : suffix) {
        name.push_back(digits[byte >> 4]);
        name.push_back(digits[byte & 0x0F]);
    }
    return name;
}

}  // namespace

void syncDirectory(const std::filesystem::path& directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) throw posixError(errno, "open " + directory.string());
    const int result = ::fsync(fd);
    const int error = errno;
    ::close(fd);
    if (result != 0) throw posixError(error, "fsync " + directory.string());
}

void writeFileAtomically(const std::filesystem::path& file, const Bytes& data, mode_t mode, FileSync sync) {
    const std::filesystem::path directory = file.parent_path().empty() ? "." : file.parent_path();
    const std::filesystem::path temporary = directory / temporaryName(file);
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) throw posixError(errno, "create " + temporary.string());
    try {
        if (::fchmod(fd, mode) != 0) throw posixError(errno, "chmod " + temporary.string());
        writeAll(fd, data.data(), data.size());
        if (sync == FileSync::durable && ::fsync(fd) != 0) throw posixError(errno, "fsync " + temporary.string());
    } catch (...) {
        ::close(fd);
        ::unlink(temporary.c_str());
        throw;
    }
    // Closed exactly once, whatever close answers: the descriptor is gone
    // even when close reports an error.
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        throw posixError(error, "close " + temporary.string());
    }
    if (::rename(temporary.c_str(), file.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        throw posixError(error, "rename " + file.string());
    }
    if (sync == FileSync::durable) syncDirectory(directory);
}

std::optional<Bytes> readFileNoFollow(const std::filesystem::path& file) {
    // O_NONBLOCK: opening a FIFO planted in the file's place must not wait
    // for a writer; such a file is refused below.
    const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return std::nullopt;
        throw posixError(errno, "open " + file.string());
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        const int error = errno;
        ::close(fd);
        throw posixError(error, "stat " + file.string());
    }
    if (!S_ISREG(info.st_mode)) {
        ::close(fd);
        throw posixError(EINVAL, "read " + file.string() + " (not a regular file)");
    }
    Bytes data;
    std::uint8_t buffer[16384];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            ::close(fd);
            throw posixError(error, "read " + file.string());
        }
        if (got == 0) break;
        data.insert(data.end(), buffer, buffer + got);
    }
    ::close(fd);
    return data;
}

FileLock::FileLock(const std::filesystem::path& lockFile) {
    fd_ = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ < 0) throw posixError(errno, "open " + lockFile.string());
    while (::flock(fd_, LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        const int error = errno;
        ::close(fd_);
        throw posixError(error, "flock " + lockFile.string());
    }
}

FileLock::~FileLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
}

}  // namespace nimbuscrate
