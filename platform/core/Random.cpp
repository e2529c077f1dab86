#include "platform/core/Random.h"

#include <openssl/rand.h>

#include <climits>

#include "platform/core/PlatformError.h"

namespace nimbuscrate {

void fillRandom(std::uint8_t* data, std::size_t count) {
    while (count > 0) {
        const int chunk = count > INT_MAX ? INT_MAX : static_cast<int>(count);
        if (RAND_bytes(data, chunk) != 1) {
            throw PlatformError("app.nimbuscrate.random", -1, "The secure random source failed.");
        }
        data += chunk;
        count -= static_cast<std::size_t>(chunk);
    }
}

Bytes randomBytes(std::size_t count) {
    Bytes out(count);
    if (count > 0) fillRandom(out.data(), count);
    return out;
}

Uuid Uuid::random() {
    Uuid uuid;
    fillRandom(uuid.bytes_.data(), uuid.bytes_.size());
    uuid.bytes_[6] = static_cast<std::uint8_t>((uuid.bytes_[6] & 0x0F) | 0x40);  // version 4
    uuid.bytes_[8] = static_cast<std::uint8_t>((uuid.bytes_[8] & 0x3F) | 0x80);  // RFC 4122 variant
    return uuid;
}

static std::string formatUuid(const std::array<std::uint8_t, 16>& bytes, const char* digits) {
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0x0F]);
    }
    return text;
}

std::string Uuid::upperString() const { return formatUuid(bytes_, "0123456789ABCDEF"); }
std::string Uuid::lowerString() const { return formatUuid(bytes_, "0123456789abcdef"); }

}  // namespace nimbuscrate
