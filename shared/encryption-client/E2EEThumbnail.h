#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>

#include "platform/core/Bytes.h"

namespace nimbuscrate::E2EEThumbnail {

// A small JPEG preview of a file, ready to be sealed as its thumbnail.
struct Preview {
    Bytes bytes;     // the JPEG file, 1 ... 262,144 bytes
    int width = 0;   // pixels, 1 ... 512
    int height = 0;  // pixels, 1 ... 512
};

// Renders the preview of a local plaintext file of the given MIME type, on
// the calling thread; a stop request may end it early. Never throws: every
// failure, and any content it cannot render, is no preview.
using LocalRenderer =
    std::function<std::optional<Preview>(const std::filesystem::path& file, const std::string& mimeType,
                                         std::stop_token stop)>;

// The renderer the process uses. Previews are not rendered on this device
// yet, so it gives none for every file and commits go without a preview.
inline std::optional<Preview> makeLocalPreview(const std::filesystem::path&, const std::string&, std::stop_token) {
    return std::nullopt;
}

}  // namespace nimbuscrate::E2EEThumbnail
