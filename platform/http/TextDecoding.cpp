#include "platform/http/TextDecoding.h"

namespace nimbuscrate {

std::string decodeUTF8Lossy(std::string_view bytes) {
    static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    auto at = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
    while (i < n) {
        const unsigned char lead = at(i);
        if (lead < 0x80) {
            out.push_back(static_cast<char>(lead));
            ++i;
            continue;
        }
        // Expected length and the allowed range of the second byte (Unicode table 3-7).
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead == 0xE0) {
            length = 3, low = 0xA0;
        } else if ((lead >= 0xE1 && lead <= 0xEC) || lead == 0xEE || lead == 0xEF) {
            length = 3;
        } else if (lead == 0xED) {
            length = 3, high = 0x9F;
        } else if (lead == 0xF0) {
            length = 4, low = 0x90;
        } else if (lead >= 0xF1 && lead <= 0xF3) {
            length = 4;
        } else if (lead == 0xF4) {
            length = 4, high = 0x8F;
        } else {
            out += kReplacement;
            ++i;
            continue;
        }
        std::size_t good = 1;
        while (good < length && i + good < n) {
            const unsigned char next = at(i + good);
            const unsigned char lo = good == 1 ? low : 0x80;
            const unsigned char hi = good == 1 ? high : 0xBF;
            if (next < lo || next > hi) break;
            ++good;
        }
        if (good == length) {
            out.append(bytes.substr(i, length));
        } else {
            out += kReplacement;
        }
        i += good;
    }
    return out;
}

}  // namespace nimbuscrate
