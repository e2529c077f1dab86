#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "shared/session/DriveSelection.h"
#include "shared/session/OAuthTokens.h"

namespace nimbuscrate {

// A session JSON that cannot be decoded: a missing required key, a value of
// the wrong type, a URL that does not parse, or text that is not JSON.
class SessionDecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The signed-in session, stored as JSON in the session secret item.
struct DesktopSession {
    OAuthTokens tokens;
    std::optional<DriveSelection> drive;
    std::optional<std::string> sessionID;

    // A session made in memory: it gets a fresh upper-case UUID as sessionID.
    static DesktopSession create(OAuthTokens tokens, std::optional<DriveSelection> drive = std::nullopt);

    bool operator==(const DesktopSession&) const = default;

    // Compact JSON text; absent optionals are left out; dates in seconds since 2001-01-01.
    std::string toJSON() const;
    // Strict decoding; unknown keys are ignored; a decoded session without
    // "sessionID" has none. Throws SessionDecodingError.
    static DesktopSession fromJSON(std::string_view text);
};

}  // namespace nimbuscrate
