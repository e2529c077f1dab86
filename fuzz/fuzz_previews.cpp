// Feeds arbitrary bytes to the preview renderers: as image bytes, or as a
// video pulled through a media source with one of the MIME types the
// decoder knows (or none). The first input byte picks which. Whatever the
// bytes, a preview is either absent or a JPEG within the bounds; nothing
// may crash, hang or throw.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <optional>

#include "platform/media/MemoryMediaSource.h"
#include "shared/encryption-client/E2EEThumbnail.h"

using namespace nimbuscrate;

namespace {

constexpr const char* kVideoTypes[] = {
    "video/mp4", "video/quicktime", "video/x-matroska", "video/webm", "video/x-msvideo",
    "video/mp2t", "video/mpeg",     "video/x-flv",      "video/ogg",  "",
};

void check(const std::optional<E2EEThumbnail::Preview>& preview) {
    if (!preview) return;
    const bool bounded = preview->width >= 1 && preview->width <= E2EEThumbnail::kMaxSide && preview->height >= 1 &&
                         preview->height <= E2EEThumbnail::kMaxSide && preview->bytes.size() >= 2 &&
                         preview->bytes.size() <= E2EEThumbnail::kMaxJPEGBytes;
    if (!bounded || preview->bytes[0] != 0xFF || preview->bytes[1] != 0xD8) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::uint8_t selector = data[0];
    const ByteView content(data + 1, size - 1);
    if (selector % 2 == 0) {
        check(E2EEThumbnail::imagePreview(content));
    } else {
        MemoryMediaSource source(content, kVideoTypes[(selector / 2) % std::size(kVideoTypes)]);
        check(E2EEThumbnail::videoPreview(source));
    }
    return 0;
}
