#include "platform/core/UnicodeText.h"

#include <utf8proc.h>

#include <cstdlib>
#include <memory>

namespace nimbuscrate {

namespace {

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
    // UTF8PROC_STRIPNA is deliberately absent: unassigned code points stay.
    std::string out;
    if (!mapText(text, UTF8PROC_STABLE | UTF8PROC_COMPOSE, out)) return std::string(text);
    return out;
}

bool canonicallyEqual(std::string_view a, std::string_view b) {
    if (a == b) return true;
    return canonicalComposition(a) == canonicalComposition(b);
}

std::string nameClashKey(std::string_view name) {
    const std::string composed = canonicalComposition(name);
    if (!isValidUTF8(composed)) return composed;
    std::string lowered;
    lowered.reserve(composed.size());
    const auto* p = reinterpret_cast<const utf8proc_uint8_t*>(composed.data());
    utf8proc_ssize_t remaining = static_cast<utf8proc_ssize_t>(composed.size());
    while (remaining > 0) {
        utf8proc_int32_t codepoint = 0;
        const utf8proc_ssize_t used = utf8proc_iterate(p, remaining, &codepoint);
        p += used;
        remaining -= used;
        utf8proc_uint8_t buffer[4];
        const utf8proc_ssize_t written = utf8proc_encode_char(utf8proc_tolower(codepoint), buffer);
        lowered.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(written));
    }
    return canonicalComposition(lowered);
}

}  // namespace nimbuscrate
