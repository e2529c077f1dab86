#pragma once

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/core/SecretBytes.h"
#include "platform/core/CancellationError.h"
#include "platform/media/MediaSource.h"

namespace nimbuscrate {

// Media bytes held in memory by the caller, who keeps them alive while the source is used.
class MemoryMediaSource final : public MediaSource {
public:
    MemoryMediaSource(ByteView bytes, std::string contentType) : bytes_(bytes), contentType_(std::move(contentType)) {}

    std::int64_t size() const override { return static_cast<std::int64_t>(bytes_.size()); }
    std::string contentType() const override { return contentType_; }
    std::size_t read(std::int64_t offset, std::uint8_t* out, std::size_t capacity, std::stop_token stop) override {
        throwIfCancelled(stop);
        if (offset < 0 || offset >= size()) return 0;
        const std::size_t count = std::min(capacity, bytes_.size() - static_cast<std::size_t>(offset));
        std::memcpy(out, bytes_.data() + offset, count);
        return count;
    }

private:
    ByteView bytes_;
    std::string contentType_;
};

}  // namespace nimbuscrate
