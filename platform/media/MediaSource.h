#pragma once

#include <cstddef>
#include <cstdint>
#include <stop_token>
#include <string>

namespace nimbuscrate {

// The bytes of one media file as a decoder pulls them: random access by
// offset, the total size up front, and the MIME type as a hint to the
// container format. Called from the decoding thread only.
class MediaSource {
public:
    virtual ~MediaSource() = default;

    // The total size in bytes (0 or more).
    virtual std::int64_t size() const = 0;
    // The MIME type of the content as far as known ("video/mp4"), or empty.
    virtual std::string contentType() const = 0;
    // Copies up to `capacity` bytes from `offset` into `out` and returns how
    // many; 0 only at or past the end. A failure is thrown (the decoder
    // keeps it and the caller gets it back unchanged), as is
    // CancellationError when `stop` asks for it.
    virtual std::size_t read(std::int64_t offset, std::uint8_t* out, std::size_t capacity, std::stop_token stop) = 0;
};

}  // namespace nimbuscrate
