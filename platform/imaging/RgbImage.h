#pragma once

#include <cstddef>

#include "platform/core/Bytes.h"

namespace nimbuscrate {

// A decoded picture ready to show: 8-bit sRGB, three bytes (red, green,
// blue) per pixel, rows from top to bottom, no padding, no alpha. The
// pixels are width × height × 3 bytes.
struct RgbImage {
    int width = 0;
    int height = 0;
    Bytes pixels;

    std::size_t expectedSize() const {
        return width > 0 && height > 0 ? static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3 : 0;
    }
    // A picture of at least one pixel whose buffer has exactly the pixels.
    bool isValid() const { return expectedSize() != 0 && pixels.size() == expectedSize(); }
};

}  // namespace nimbuscrate
