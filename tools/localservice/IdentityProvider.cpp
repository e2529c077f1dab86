#include "tools/localservice/IdentityProvider.h"

#include <openssl/rand.h>

#include <nlohmann/json.hpp>

#include <map>
#include <stdexcept>

namespace nimbuscrate::localservice {

namespace {

std::string randomToken() {
    unsigned char bytes[32];
    if (RAND_bytes(bytes, sizeof bytes) != 1) throw std::runtime_error("RAND_bytes failed");
    static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    for (unsigned char byte : bytes) out += alphabet[byte & 63];
    return out;
}

Reply oauthError(int status, const std::string& error, const std::string& description) {
    nlohmann::json body = {{"error", error}, {"error_description", description}};
    Reply reply = Reply::json(status, body.dump());
    reply.header("Cache-Control", "no-store");
    return reply;
}

}  // namespace

IssuedTokens IdentityProvider::issue() {
    std::lock_guard lock(mutex_);
    return issueLocked(nextFamily_++, nullptr);
}

IssuedTokens IdentityProvider::issueLocked(std::uint64_t family, const std::string* keepRefreshToken) {
    IssuedTokens tokens;
    tokens.accessToken = randomToken();
    tokens.expiresIn = lifetime_.count();
    accessTokens_[tokens.accessToken] = {family, Clock::now() + lifetime_};
    if (keepRefreshToken) {
        tokens.refreshToken = *keepRefreshToken;
    } else {
        tokens.refreshToken = randomToken();
        refreshTokens_[tokens.refreshToken] = {family, false};
    }
    return tokens;
}

bool IdentityProvider::familyLiveLocked(std::uint64_t family) const {
    return !revokedFamilies_.contains(family);
}

Reply IdentityProvider::handleToken(const IncomingRequest& request) {
    const auto& info = request.info;
    if (info.method != "POST") {
        Reply reply = oauthError(405, "invalid_request", "The token endpoint takes POST only.");
        reply.header("Allow", "POST");
        return reply;
    }
    std::string contentType = lowercase(info.headers.value("Content-Type"));
    if (contentType.substr(0, contentType.find(';')) != "application/x-www-form-urlencoded") {
        return oauthError(400, "invalid_request", "The body must be application/x-www-form-urlencoded.");
    }
    if (request.body.isSpooled()) return oauthError(400, "invalid_request", "The body is too large.");

    // Form fields; a field given twice is refused (RFC 6749, section 3.2).
    std::map<std::string, std::string> fields;
    std::string_view body = request.body.memory();
    while (!body.empty()) {
        auto end = body.find('&');
        std::string_view pair = body.substr(0, end);
        body = end == std::string_view::npos ? std::string_view() : body.substr(end + 1);
        if (pair.empty()) continue;
        auto equals = pair.find('=');
        std::string key, value;
        if (!percentDecode(pair.substr(0, equals), true, key) ||
            !percentDecode(equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1), true, value)) {
            return oauthError(400, "invalid_request", "The form body is not well formed.");
        }
        if (!fields.emplace(key, value).second) {
            return oauthError(400, "invalid_request", "Parameter " + key + " is given more than once.");
        }
    }
    if (info.headers.has("Authorization")) {
        return oauthError(401, "invalid_client", "The public client does not authenticate.");
    }
    auto clientId = fields.find("client_id");
    if (clientId == fields.end()) return oauthError(400, "invalid_request", "Missing parameter: client_id");
    if (clientId->second != kClientId) return oauthError(401, "invalid_client", "Unknown client.");
    auto grantType = fields.find("grant_type");
    if (grantType == fields.end()) return oauthError(400, "invalid_request", "Missing parameter: grant_type");
    if (grantType->second != "refresh_token") {
        return oauthError(400, "unsupported_grant_type", "Unsupported grant type.");
    }
    auto presented = fields.find("refresh_token");
    if (presented == fields.end() || presented->second.empty()) {
        return oauthError(400, "invalid_request", "Missing parameter: refresh_token");
    }

    std::lock_guard lock(mutex_);
    auto known = refreshTokens_.find(presented->second);
    if (known == refreshTokens_.end()) return oauthError(400, "invalid_grant", "Invalid refresh token.");
    std::uint64_t family = known->second.family;
    if (!familyLiveLocked(family)) return oauthError(400, "invalid_grant", "Session not active.");
    if (known->second.spent) {
        // Reuse of a spent refresh token: someone holds a stolen or stale
        // copy, so the whole sign-in is revoked.
        revokedFamilies_[family] = true;
        return oauthError(400, "invalid_grant", "Maximum allowed refresh token reuse exceeded.");
    }
    IssuedTokens tokens;
    if (rotate_) {
        known->second.spent = true;
        tokens = issueLocked(family, nullptr);
    } else {
        tokens = issueLocked(family, &presented->second);
    }
    ++grants_;
    nlohmann::json reply = {{"access_token", tokens.accessToken}, {"refresh_token", tokens.refreshToken},
                            {"expires_in", tokens.expiresIn},     {"refresh_expires_in", 0},
                            {"token_type", "Bearer"},             {"scope", "openid profile email offline_access"}};
    Reply result = Reply::json(200, reply.dump());
    result.header("Cache-Control", "no-store").header("Pragma", "no-cache");
    return result;
}

void IdentityProvider::rotateRefreshTokens(bool rotate) {
    std::lock_guard lock(mutex_);
    rotate_ = rotate;
}

void IdentityProvider::setAccessTokenLifetime(std::chrono::seconds lifetime) {
    std::lock_guard lock(mutex_);
    lifetime_ = lifetime;
}

std::size_t IdentityProvider::grantCount() const {
    std::lock_guard lock(mutex_);
    return grants_;
}

bool IdentityProvider::isAccessTokenLive(const std::string& accessToken) const {
    std::lock_guard lock(mutex_);
    auto found = accessTokens_.find(accessToken);
    return found != accessTokens_.end() && familyLiveLocked(found->second.family) &&
           Clock::now() < found->second.expiresAt;
}

bool IdentityProvider::isRefreshTokenLive(const std::string& refreshToken) const {
    std::lock_guard lock(mutex_);
    auto found = refreshTokens_.find(refreshToken);
    return found != refreshTokens_.end() && !found->second.spent && familyLiveLocked(found->second.family);
}

void IdentityProvider::expireAccessToken(const std::string& accessToken) {
    std::lock_guard lock(mutex_);
    auto found = accessTokens_.find(accessToken);
    if (found != accessTokens_.end()) found->second.expiresAt = Clock::now() - std::chrono::seconds(1);
}

}  // namespace nimbuscrate::localservice
