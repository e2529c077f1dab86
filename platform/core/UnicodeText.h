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

// Full, locale-independent lower-casing: each code point's own lower-case
// mapping, plus the mappings that yield more than one code point or depend on
// the neighbours: U+0130 (capital I with dot above) becomes "i" followed by
// U+0307, and capital sigma becomes final sigma (U+03C2) where it ends a word
// (a cased letter before it, none after it, case-ignorable characters such as
// accents and apostrophes skipped) and small sigma elsewhere. The mappings
// of one language only (Turkish, Lithuanian) are not applied. Text that is not
// valid UTF-8 is returned unchanged.
std::string fullLowercase(std::string_view text);

// The key under which two names clash: canonical composition, then full
// lower-casing, composed again. Every comparison of names for clashes (the
// encrypted library's siblings, the merged listing at the drive root) uses it.
std::string nameClashKey(std::string_view name);

// Whether text is well-formed UTF-8.
bool isValidUTF8(std::string_view text);

}  // namespace nimbuscrate
