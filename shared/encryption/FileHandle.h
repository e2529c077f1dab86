#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

#include <sys/types.h>

namespace nimbuscrate {

// An open POSIX file descriptor, closed when the handle is destroyed.
// Failures of reading, writing, seeking and synchronizing throw the
// platform's error (PlatformError in the POSIX domain) unchanged.
class FileHandle {
public:
    explicit FileHandle(int descriptor) noexcept : descriptor_(descriptor) {}
    FileHandle(FileHandle&& other) noexcept : descriptor_(other.descriptor_) { other.descriptor_ = -1; }
    FileHandle& operator=(FileHandle&& other) noexcept;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle();

    int descriptor() const noexcept { return descriptor_; }
    bool isOpen() const noexcept { return descriptor_ >= 0; }

    // Reads up to count bytes; fewer only at the end of the file.
    std::size_t read(std::uint8_t* buffer, std::size_t count);
    // Writes all count bytes.
    void write(const std::uint8_t* data, std::size_t count);
    // The same at an offset, without moving the file position; safe from
    // several threads at once on disjoint ranges.
    std::size_t readAt(std::uint8_t* buffer, std::size_t count, std::uint64_t offset) const;
    void writeAt(const std::uint8_t* data, std::size_t count, std::uint64_t offset) const;
    // Moves to the end and returns that offset (the file's length).
    std::uint64_t seekToEnd();
    void seek(std::uint64_t offset);
    // Flushes the written data to storage.
    void synchronize();
    // The device and inode of the open file.
    dev_t device() const;
    ino_t inode() const;
    // Closes the handle; throws when the close reports an error.
    void close();

private:
    int descriptor_;
};

// Opens an existing file for reading.
FileHandle openFileForReading(const std::filesystem::path& path);

// Opens an existing file for writing from offset 0. It neither creates nor
// truncates the file and does not follow a symbolic link at the path. A file
// that cannot be opened throws the platform's error, unchanged.
FileHandle openFileForWriting(const std::filesystem::path& path);

// Closes the handle; a failure of the close is dropped, so this never fails.
void closeFileHandle(FileHandle& handle) noexcept;

}  // namespace nimbuscrate
