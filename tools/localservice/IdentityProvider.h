#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "tools/localservice/HttpExchange.h"
#include "tools/localservice/LocalService.h"

namespace nimbuscrate::localservice {

// The identity provider's token state: token families (one per sign-in),
// access tokens with their expiry and refresh tokens. With rotation on,
// each refresh token is good for one grant; presenting a spent one revokes
// its whole family, as real providers do.
class IdentityProvider {
public:
    static constexpr const char* kTokenPath = "/realms/nimbuscrate/protocol/openid-connect/token";
    static constexpr const char* kClientId = "nimbuscrate-desktop";

    IssuedTokens issue();
    Reply handleToken(const IncomingRequest& request);

    void rotateRefreshTokens(bool rotate);
    void setAccessTokenLifetime(std::chrono::seconds lifetime);
    std::size_t grantCount() const;
    bool isAccessTokenLive(const std::string& accessToken) const;
    bool isRefreshTokenLive(const std::string& refreshToken) const;
    void expireAccessToken(const std::string& accessToken);

private:
    using Clock = std::chrono::steady_clock;
    struct AccessToken { std::uint64_t family; Clock::time_point expiresAt; };
    struct RefreshToken { std::uint64_t family; bool spent; };

    IssuedTokens issueLocked(std::uint64_t family, const std::string* keepRefreshToken);
    bool familyLiveLocked(std::uint64_t family) const;

    mutable std::mutex mutex_;
    bool rotate_ = false;
    std::chrono::seconds lifetime_{3600};
    std::size_t grants_ = 0;
    std::uint64_t nextFamily_ = 1;
    std::map<std::uint64_t, bool> revokedFamilies_;
    std::map<std::string, AccessToken> accessTokens_;
    std::map<std::string, RefreshToken> refreshTokens_;
};

}  // namespace nimbuscrate::localservice
