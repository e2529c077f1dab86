#include "platform/media/FileMediaSource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/core/CancellationError.h"
#include "platform/core/PlatformError.h"

namespace nimbuscrate {

std::unique_ptr<FileMediaSource> FileMediaSource::open(const std::filesystem::path& file, std::string contentType) {
    // Without blocking, so that opening a FIFO does not wait for a writer.
    const int descriptor = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (descriptor < 0) return nullptr;
    struct stat status {};
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(descriptor);
        return nullptr;
    }
    return std::unique_ptr<FileMediaSource>(
        new FileMediaSource(descriptor, static_cast<std::int64_t>(status.st_size), std::move(contentType)));
}

FileMediaSource::FileMediaSource(int descriptor, std::int64_t size, std::string contentType)
    : descriptor_(descriptor), size_(size), contentType_(std::move(contentType)) {}

FileMediaSource::~FileMediaSource() { ::close(descriptor_); }

std::size_t FileMediaSource::read(std::int64_t offset, std::uint8_t* out, std::size_t capacity,
                                  std::stop_token stop) {
    throwIfCancelled(stop);
    if (offset < 0 || offset >= size_ || capacity == 0) return 0;
    while (true) {
        const ssize_t count = ::pread(descriptor_, out, capacity, offset);
        if (count >= 0) return static_cast<std::size_t>(count);
        if (errno != EINTR) throw posixError(errno, "read media file");
    }
}

}  // namespace nimbuscrate
