#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/core/Bytes.h"

namespace nimbuscrate {

// Cryptographically secure random bytes from OpenSSL's RAND_bytes.
// Throws PlatformError (domain "app.nimbuscrate.random") when the source fails.
Bytes randomBytes(std::size_t count);
void fillRandom(std::uint8_t* data, std::size_t count);

// A random (version 4) UUID.
class Uuid {
public:
    static Uuid random();

    // "E621E1F8-C36C-495A-93FC-0C247A3E6E5F": the session identifier form.
    std::string upperString() const;
    // "e621e1f8-c36c-495a-93fc-0c247a3e6e5f": the form of the encryption side.
    std::string lowerString() const;

    const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }
    bool operator==(const Uuid&) const = default;
    auto operator<=>(const Uuid&) const = default;

private:
    std::array<std::uint8_t, 16> bytes_{};
};

}  // namespace nimbuscrate
