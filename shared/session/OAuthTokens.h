#pragma once

#include <string>

#include "platform/core/Date.h"

namespace nimbuscrate {

struct OAuthTokens {
    std::string accessToken;   // bearer token of every server request
    std::string refreshToken;  // for the refresh grant; may be empty
    Date expiresAt;            // when accessToken expires

    bool operator==(const OAuthTokens&) const = default;
};

}  // namespace nimbuscrate
