#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "platform/media/MediaSource.h"

namespace nimbuscrate {

// A regular local file as a media source, read with positioned reads.
class FileMediaSource final : public MediaSource {
public:
    // Opens the file for reading; nothing when it cannot be opened or is not
    // a regular file (a FIFO or a device is never waited on).
    static std::unique_ptr<FileMediaSource> open(const std::filesystem::path& file, std::string contentType);
    ~FileMediaSource() override;
    FileMediaSource(const FileMediaSource&) = delete;
    FileMediaSource& operator=(const FileMediaSource&) = delete;

    std::int64_t size() const override { return size_; }
    std::string contentType() const override { return contentType_; }
    // Read errors are thrown as PlatformError.
    std::size_t read(std::int64_t offset, std::uint8_t* out, std::size_t capacity, std::stop_token stop) override;

private:
    FileMediaSource(int descriptor, std::int64_t size, std::string contentType);

    const int descriptor_;
    const std::int64_t size_;
    const std::string contentType_;
};

}  // namespace nimbuscrate
