#include "platform/core/UnicodeText.h"

#include <utf8proc.h>

#include <cstdlib>
#include <memory>
#include <vector>

namespace nimbuscrate {

namespace {

bool isASCII(std::string_view text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

// Runs utf8proc_map with the given options; nullopt-like empty result via ok=false.
bool mapText(std::string_view text, int options, std::string& out) {
    utf8proc_uint8_t* mapped = nullptr;
    const utf8proc_ssize_t length = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                                                 static_cast<utf8proc_ssize_t>(text.size()), &mapped,
                                                 static_cast<utf8proc_option_t>(options));
    std::unique_ptr<utf8proc_uint8_t, FreeDeleter> owner(mapped);
    if (length < 0) return false;
    out.assign(reinterpret_cast<const char*>(mapped), static_cast<std::size_t>(length));
    return true;
}

constexpr utf8proc_int32_t kCapitalIWithDotAbove = 0x0130;
constexpr utf8proc_int32_t kCombiningDotAbove = 0x0307;
constexpr utf8proc_int32_t kCapitalSigma = 0x03A3;
constexpr utf8proc_int32_t kSmallSigma = 0x03C3;
constexpr utf8proc_int32_t kFinalSigma = 0x03C2;

void appendUTF8(std::string& out, utf8proc_int32_t codepoint) {
    utf8proc_uint8_t buffer[4];
    const utf8proc_ssize_t written = utf8proc_encode_char(codepoint, buffer);
    out.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(written));
}

// Case_Ignorable: the general categories Mn, Me, Cf, Lm and Sk, and the
// word-break classes MidLetter, MidNumLet and Single_Quote (listed here, as
// utf8proc does not carry word-break classes).
bool isCaseIgnorable(utf8proc_int32_t c) {
    switch (utf8proc_category(c)) {
        case UTF8PROC_CATEGORY_MN:
        case UTF8PROC_CATEGORY_ME:
        case UTF8PROC_CATEGORY_CF:
        case UTF8PROC_CATEGORY_LM:
        case UTF8PROC_CATEGORY_SK:
            return true;
        default:
            break;
    }
    switch (c) {
        case 0x0027: case 0x002E: case 0x003A: case 0x00B7: case 0x0387: case 0x055F: case 0x05F4:
        case 0x2018: case 0x2019: case 0x2024: case 0x2027: case 0xFE13: case 0xFE52: case 0xFE55:
        case 0xFF07: case 0xFF0E: case 0xFF1A:
            return true;
        default:
            return false;
    }
}

// Cased: upper-case, lower-case and title-case letters, and the other
// characters that have a case mapping (circled and Roman-numeral letters);
// plus the feminine and masculine ordinal indicators.
bool isCased(utf8proc_int32_t c) {
    switch (utf8proc_category(c)) {
        case UTF8PROC_CATEGORY_LU:
        case UTF8PROC_CATEGORY_LL:
        case UTF8PROC_CATEGORY_LT:
            return true;
        default:
            break;
    }
    return c == 0x00AA || c == 0x00BA || utf8proc_tolower(c) != c || utf8proc_toupper(c) != c;
}

// Whether the sigma at index ends a word: a cased letter comes before it and
// none after it, case-ignorable characters skipped on both sides.
bool endsWord(const std::vector<utf8proc_int32_t>& points, std::size_t index) {
    std::size_t before = index;
    while (before > 0 && isCaseIgnorable(points[before - 1])) --before;
    if (before == 0 || !isCased(points[before - 1])) return false;
    std::size_t after = index + 1;
    while (after < points.size() && isCaseIgnorable(points[after])) ++after;
    return after == points.size() || !isCased(points[after]);
}

}  // namespace

bool isValidUTF8(std::string_view text) {
    const auto* p = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    utf8proc_ssize_t remaining = static_cast<utf8proc_ssize_t>(text.size());
    while (remaining > 0) {
        utf8proc_int32_t codepoint = 0;
        const utf8proc_ssize_t used = utf8proc_iterate(p, remaining, &codepoint);
        if (used < 0 || codepoint < 0) return false;
        p += used;
        remaining -= used;
    }
    return true;
}

std::string canonicalComposition(std::string_view text) {
    // ASCII is its own composition.
    if (isASCII(text)) return std::string(text);
    // UTF8PROC_STRIPNA is deliberately absent: unassigned code points stay.
    std::string out;
    if (!mapText(text, UTF8PROC_STABLE | UTF8PROC_COMPOSE, out)) return std::string(text);
    return out;
}

bool canonicallyEqual(std::string_view a, std::string_view b) {
    if (a == b) return true;
    return canonicalComposition(a) == canonicalComposition(b);
}

std::string fullLowercase(std::string_view text) {
    std::vector<utf8proc_int32_t> points;
    points.reserve(text.size());
    const auto* p = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    utf8proc_ssize_t remaining = static_cast<utf8proc_ssize_t>(text.size());
    while (remaining > 0) {
        utf8proc_int32_t codepoint = 0;
        const utf8proc_ssize_t used = utf8proc_iterate(p, remaining, &codepoint);
        if (used < 0 || codepoint < 0) return std::string(text);
        points.push_back(codepoint);
        p += used;
        remaining -= used;
    }
    std::string lowered;
    lowered.reserve(text.size());
    for (std::size_t i = 0; i < points.size(); ++i) {
        const utf8proc_int32_t c = points[i];
        if (c == kCapitalIWithDotAbove) {
            appendUTF8(lowered, 'i');
            appendUTF8(lowered, kCombiningDotAbove);
        } else if (c == kCapitalSigma) {
            appendUTF8(lowered, endsWord(points, i) ? kFinalSigma : kSmallSigma);
        } else {
            appendUTF8(lowered, utf8proc_tolower(c));
        }
    }
    return lowered;
}

std::string nameClashKey(std::string_view name) {
    if (isASCII(name)) {
        std::string key(name);
        for (char& c : key) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        return key;
    }
    const std::string composed = canonicalComposition(name);
    if (!isValidUTF8(composed)) return composed;
    return canonicalComposition(fullLowercase(composed));
}

std::optional<std::size_t> utf16Length(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    utf8proc_ssize_t remaining = static_cast<utf8proc_ssize_t>(text.size());
    std::size_t units = 0;
    while (remaining > 0) {
        utf8proc_int32_t codePoint = 0;
        const utf8proc_ssize_t used = utf8proc_iterate(p, remaining, &codePoint);
        if (used <= 0 || codePoint < 0) return std::nullopt;
        units += codePoint >= 0x10000 ? 2 : 1;
        p += used;
        remaining -= used;
    }
    return units;
}

bool isWhiteSpace(char32_t c) noexcept {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

std::string_view trimmedWhiteSpace(std::string_view text) noexcept {
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    std::size_t start = 0;
    while (start < text.size()) {
        utf8proc_int32_t c = 0;
        const utf8proc_ssize_t used =
            utf8proc_iterate(bytes + start, static_cast<utf8proc_ssize_t>(text.size() - start), &c);
        if (used <= 0 || c < 0 || !isWhiteSpace(static_cast<char32_t>(c))) break;
        start += static_cast<std::size_t>(used);
    }
    std::size_t end = text.size();
    while (end > start) {
        // Step back to the first byte of the last code point.
        std::size_t first = end - 1;
        while (first > start && (bytes[first] & 0xC0) == 0x80) --first;
        utf8proc_int32_t c = 0;
        const utf8proc_ssize_t used =
            utf8proc_iterate(bytes + first, static_cast<utf8proc_ssize_t>(end - first), &c);
        if (used <= 0 || static_cast<std::size_t>(used) != end - first || c < 0 ||
            !isWhiteSpace(static_cast<char32_t>(c))) {
            break;
        }
        end = first;
    }
    return text.substr(start, end - start);
}

std::optional<std::size_t> compatibilityComposition(
    std::string_view text, const std::function<std::span<std::int32_t>(std::size_t)>& workspace) {
    const auto* input = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    const auto length = static_cast<utf8proc_ssize_t>(text.size());
    const auto options = static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPAT | UTF8PROC_COMPOSE);
    // First pass: only counts the decomposed code points (nothing is written).
    const utf8proc_ssize_t needed = utf8proc_decompose(input, length, nullptr, 0, options);
    if (needed < 0) return std::nullopt;
    // Room for at least one code point, so that an empty text has a workspace too.
    const std::span<std::int32_t> room = workspace(static_cast<std::size_t>(needed) + 1);
    if (room.size() < static_cast<std::size_t>(needed) + 1) return std::nullopt;
    utf8proc_ssize_t count = utf8proc_decompose(input, length, room.data(), needed, options);
    if (count < 0 || count > needed) return std::nullopt;
    count = utf8proc_normalize_utf32(room.data(), count, options);
    if (count < 0) return std::nullopt;
    // Re-encodes in place: UTF-8 never takes more bytes than the four of each code point.
    const utf8proc_ssize_t bytes = utf8proc_reencode(room.data(), count, options);
    if (bytes < 0) return std::nullopt;
    return static_cast<std::size_t>(bytes);
}

}  // namespace nimbuscrate
