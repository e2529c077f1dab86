#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
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

// The number of UTF-16 code units of UTF-8 text (a code point above U+FFFF
// counts two); nothing when the text is not well-formed UTF-8.
std::optional<std::size_t> utf16Length(std::string_view text) noexcept;

// Whether a code point has the Unicode White_Space property (spaces, tabs,
// line and paragraph separators, newlines and U+0085).
bool isWhiteSpace(char32_t codePoint) noexcept;

// The text without the white space (isWhiteSpace) at either end; well-formed
// UTF-8 is assumed, other bytes are kept.
std::string_view trimmedWhiteSpace(std::string_view text) noexcept;

// The compatibility composition (NFKC) of UTF-8 text, for secrets: every
// byte of the work is done in memory the caller owns, so the caller can wipe
// it. `workspace(n)` is called once and must return room for n code points;
// the composed UTF-8 text is left at the start of that room (as bytes) and
// its length is returned. Nothing when the text is not well-formed UTF-8.
std::optional<std::size_t> compatibilityComposition(
    std::string_view text, const std::function<std::span<std::int32_t>(std::size_t)>& workspace);

}  // namespace nimbuscrate
