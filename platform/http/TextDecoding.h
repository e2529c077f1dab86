#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/core/Bytes.h"

namespace nimbuscrate {

// Bytes read as UTF-8, each ill-formed sequence (maximal subpart) replaced by
// U+FFFD, so a character cut at the end becomes one replacement character.
std::string decodeUTF8Lossy(std::string_view bytes);
inline std::string decodeUTF8Lossy(const Bytes& bytes, std::size_t limit = std::string::npos) {
    const std::size_t n = limit < bytes.size() ? limit : bytes.size();
    return decodeUTF8Lossy(std::string_view(reinterpret_cast<const char*>(bytes.data()), n));
}

}  // namespace nimbuscrate
