#pragma once

#include <string>
#include <string_view>

namespace nimbuscrate {

// Text equality throughout the system is Unicode canonical equivalence:
// two texts are equal when their NFC forms are. Text that is not valid UTF-8
// is compared byte for byte.

// The NFC form of UTF-8 text; invalid UTF-8 is returned unchanged.
std::string canonicalComposition(std::string_view text);

bool canonicallyEqual(std::string_view a, std::string_view b);

// The key under which two names clash: canonical composition, then
// lower-casing (code point by code point), composed again.
std::string nameClashKey(std::string_view name);

// Whether text is well-formed UTF-8.
bool isValidUTF8(std::string_view text);

}  // namespace nimbuscrate
