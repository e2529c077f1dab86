#include "tools/localservice/IdentityProvider.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <map>
#include <optional>
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

// The token endpoint's answer to a grant.
Reply tokenReply(const IssuedTokens& tokens) {
    nlohmann::json reply = {{"access_token", tokens.accessToken}, {"refresh_token", tokens.refreshToken},
                            {"expires_in", tokens.expiresIn},     {"refresh_expires_in", 0},
                            {"token_type", "Bearer"},             {"scope", "openid profile email offline_access"}};
    Reply result = Reply::json(200, reply.dump());
    result.header("Cache-Control", "no-store").header("Pragma", "no-cache");
    return result;
}

// Reads "a=b&c=d" (form body or query), percent-decoded with "+" as a
// blank. False when an escape is malformed; `duplicate` names a key given
// twice (the first value is kept).
bool parseForm(std::string_view text, std::map<std::string, std::string>& fields, std::string& duplicate) {
    while (!text.empty()) {
        auto end = text.find('&');
        std::string_view pair = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (pair.empty()) continue;
        auto equals = pair.find('=');
        std::string key, value;
        if (!percentDecode(pair.substr(0, equals), true, key) ||
            !percentDecode(equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1), true, value)) {
            return false;
        }
        if (!fields.emplace(key, value).second && duplicate.empty()) duplicate = key;
    }
    return true;
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
    std::string duplicate;
    if (!parseForm(request.body.memory(), fields, duplicate)) {
        return oauthError(400, "invalid_request", "The form body is not well formed.");
    }
    if (!duplicate.empty()) return oauthError(400, "invalid_request", "Parameter " + duplicate + " is given more than once.");
    if (info.headers.has("Authorization")) {
        return oauthError(401, "invalid_client", "The public client does not authenticate.");
    }
    auto clientId = fields.find("client_id");
    if (clientId == fields.end()) return oauthError(400, "invalid_request", "Missing parameter: client_id");
    if (clientId->second != kClientId) return oauthError(401, "invalid_client", "Unknown client.");
    auto grantType = fields.find("grant_type");
    if (grantType == fields.end()) return oauthError(400, "invalid_request", "Missing parameter: grant_type");
    if (grantType->second == "authorization_code") return codeGrant(fields);
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
    return tokenReply(tokens);
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


// The authorization endpoint, the sign-in page and the authorization-code grant.

namespace {

constexpr std::size_t kMaxPendingLogins = 256;

bool isUnreserved(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

bool isBase64URL(std::string_view text) {
    for (char c : text) {
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_')) {
            return false;
        }
    }
    return true;
}

// SHA-256 of the text as unpadded base64url (RFC 7636, "S256").
std::string s256(std::string_view text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("SHA-256 failed");
    }
    static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    unsigned int i = 0;
    for (; i + 3 <= length; i += 3) {
        const unsigned value = (digest[i] << 16) | (digest[i + 1] << 8) | digest[i + 2];
        out += alphabet[(value >> 18) & 63];
        out += alphabet[(value >> 12) & 63];
        out += alphabet[(value >> 6) & 63];
        out += alphabet[value & 63];
    }
    if (length - i == 1) {
        const unsigned value = digest[i] << 16;
        out += alphabet[(value >> 18) & 63];
        out += alphabet[(value >> 12) & 63];
    } else if (length - i == 2) {
        const unsigned value = (digest[i] << 16) | (digest[i + 1] << 8);
        out += alphabet[(value >> 18) & 63];
        out += alphabet[(value >> 12) & 63];
        out += alphabet[(value >> 6) & 63];
    }
    return out;
}

std::string htmlEscaped(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

Reply page(int status, const std::string& title, const std::string& body) {
    Reply reply;
    reply.status = status;
    reply.header("Content-Type", "text/html; charset=utf-8").header("Cache-Control", "no-store");
    reply.body = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + htmlEscaped(title) +
                 "</title></head>\n<body>\n" + body + "</body></html>\n";
    return reply;
}

Reply badAuthorization(const std::string& message) {
    return page(400, "Sign-in request refused", "<h1>We are sorry</h1>\n<p id=\"error\">" + htmlEscaped(message) + "</p>\n");
}

}  // namespace

Reply IdentityProvider::handle(const IncomingRequest& request) {
    const std::string& path = request.info.path;
    if (path == kTokenPath) return handleToken(request);
    if (path == kAuthPath) return handleAuthorize(request);
    if (path == kSignInPath) return handleSignIn(request);
    return Reply::json(404, R"({"error":"not_found"})");
}

Reply IdentityProvider::handleAuthorize(const IncomingRequest& request) {
    const auto& info = request.info;
    const auto question = info.target.find('?');
    {
        std::lock_guard lock(mutex_);
        authorizationQueries_.push_back(question == std::string::npos ? std::string() : info.target.substr(question + 1));
    }
    if (info.method != "GET") {
        Reply reply = Reply::text(405, "The authorization endpoint takes GET only.\n");
        reply.header("Allow", "GET");
        return reply;
    }
    std::map<std::string, std::string> query;
    std::string duplicate;
    if (!parseForm(question == std::string::npos ? std::string_view() : std::string_view(info.target).substr(question + 1),
                   query, duplicate)) {
        return badAuthorization("The request is not well formed.");
    }
    if (!duplicate.empty()) return badAuthorization("Parameter " + duplicate + " is given more than once.");
    auto value = [&](const char* name) -> std::optional<std::string> {
        auto found = query.find(name);
        if (found == query.end()) return std::nullopt;
        return found->second;
    };
    if (value("client_id") != kClientId) return badAuthorization("Client not found.");
    if (value("redirect_uri") != kRedirectUri) return badAuthorization("Invalid parameter: redirect_uri");
    if (value("response_type") != "code") return badAuthorization("Unsupported response type.");
    if (value("code_challenge_method") != "S256") return badAuthorization("Invalid parameter: code_challenge_method");
    const auto challenge = value("code_challenge");
    if (!challenge || challenge->size() != 43 || !isBase64URL(*challenge)) {
        return badAuthorization("Invalid parameter: code_challenge");
    }

    PendingLogin login{kClientId, kRedirectUri, *challenge, value("state").value_or("")};
    std::string loginId = randomToken();
    {
        std::lock_guard lock(mutex_);
        logins_[loginId] = login;
        loginOrder_.push_back(loginId);
        while (loginOrder_.size() > kMaxPendingLogins) {
            logins_.erase(loginOrder_.front());
            loginOrder_.pop_front();
        }
    }
    return page(200, "Sign in to Nimbuscrate",
                "<h1>Sign in to Nimbuscrate</h1>\n"
                "<form id=\"sign-in\" method=\"post\" action=\"" + std::string(kSignInPath) + "\">\n"
                "<p>Account: <span id=\"account\">" + htmlEscaped(kDemoUser) + "</span></p>\n"
                "<input type=\"hidden\" name=\"login\" value=\"" + htmlEscaped(loginId) + "\">\n"
                "<button id=\"sign-in-button\" type=\"submit\">Sign in</button>\n"
                "</form>\n");
}

Reply IdentityProvider::handleSignIn(const IncomingRequest& request) {
    const auto& info = request.info;
    if (info.method != "POST") {
        Reply reply = Reply::text(405, "The sign-in form takes POST only.\n");
        reply.header("Allow", "POST");
        return reply;
    }
    if (request.body.isSpooled()) return badAuthorization("The form is too large.");
    std::map<std::string, std::string> form;
    std::string duplicate;
    if (!parseForm(request.body.memory(), form, duplicate) || !duplicate.empty()) {
        return badAuthorization("The form is not well formed.");
    }
    std::lock_guard lock(mutex_);
    const auto found = form.count("login") ? logins_.find(form["login"]) : logins_.end();
    if (found == logins_.end()) return badAuthorization("The sign-in page has expired. Start again from the app.");
    const PendingLogin login = found->second;
    logins_.erase(found);
    std::erase(loginOrder_, form["login"]);

    const std::string state = "state=" + percentEncode(login.state);
    std::string query;
    switch (signInOutcome_) {
        case SignInOutcome::code: query = "code=" + newCodeLocked(login) + "&" + state; break;
        case SignInOutcome::deny:
            query = "error=access_denied&error_description=" + percentEncode("The user denied access.") + "&" + state;
            break;
        case SignInOutcome::wrongState:
            query = "code=" + newCodeLocked(login) + "&state=" + percentEncode(login.state + "x");
            break;
        case SignInOutcome::noCode: query = state; break;
        case SignInOutcome::bareCode: query = "code&" + state; break;
        case SignInOutcome::duplicateCode:
            query = "code=" + newCodeLocked(login) + "&code=" + newCodeLocked(login) + "&" + state;
            break;
        case SignInOutcome::duplicateState: query = "code=" + newCodeLocked(login) + "&" + state + "&" + state; break;
    }
    Reply reply;
    reply.status = 302;
    reply.header("Location", login.redirectUri + "?" + query).header("Cache-Control", "no-store");
    return reply;
}

std::string IdentityProvider::newCodeLocked(const PendingLogin& login) {
    std::string code = randomToken();
    codes_[code] = AuthorizationCode{login.clientId, login.redirectUri, login.challenge, Clock::now() + codeLifetime_};
    return code;
}

Reply IdentityProvider::codeGrant(const std::map<std::string, std::string>& fields) {
    for (const char* name : {"code", "redirect_uri", "code_verifier"}) {
        auto found = fields.find(name);
        if (found == fields.end() || found->second.empty()) {
            return oauthError(400, "invalid_request", std::string("Missing parameter: ") + name);
        }
    }
    const std::string& verifier = fields.at("code_verifier");
    if (verifier.size() < 43 || verifier.size() > 128 ||
        !std::all_of(verifier.begin(), verifier.end(), isUnreserved)) {
        return oauthError(400, "invalid_request", "Invalid parameter: code_verifier");
    }

    std::lock_guard lock(mutex_);
    auto known = codes_.find(fields.at("code"));
    if (known == codes_.end()) return oauthError(400, "invalid_grant", "Code not valid");
    AuthorizationCode& code = known->second;
    if (code.used) {
        // A code presented twice: whatever it gave is revoked (RFC 6749, section 4.1.2).
        if (code.family != 0) revokedFamilies_[code.family] = true;
        return oauthError(400, "invalid_grant", "Code already used");
    }
    // A code is spent by its first presentation, whatever the outcome.
    code.used = true;
    if (Clock::now() >= code.expiresAt) return oauthError(400, "invalid_grant", "Code is expired");
    if (fields.at("client_id") != code.clientId) return oauthError(400, "invalid_grant", "Code was issued to another client");
    if (fields.at("redirect_uri") != code.redirectUri) return oauthError(400, "invalid_grant", "Incorrect redirect_uri");
    VerifierCheck check{verifier, s256(verifier), code.challenge, false};
    check.matched = check.computedChallenge == check.boundChallenge;
    verifierChecks_.push_back(check);
    if (!check.matched) return oauthError(400, "invalid_grant", "PKCE verification failed: Code mismatch");

    code.family = nextFamily_++;
    const IssuedTokens tokens = issueLocked(code.family, nullptr);
    ++codeGrants_;
    return tokenReply(tokens);
}

void IdentityProvider::setSignInOutcome(SignInOutcome outcome) {
    std::lock_guard lock(mutex_);
    signInOutcome_ = outcome;
}

void IdentityProvider::setCodeLifetime(std::chrono::milliseconds lifetime) {
    std::lock_guard lock(mutex_);
    codeLifetime_ = lifetime;
}

std::vector<std::string> IdentityProvider::authorizationQueries() const {
    std::lock_guard lock(mutex_);
    return authorizationQueries_;
}

std::vector<VerifierCheck> IdentityProvider::verifierChecks() const {
    std::lock_guard lock(mutex_);
    return verifierChecks_;
}

std::size_t IdentityProvider::codeGrantCount() const {
    std::lock_guard lock(mutex_);
    return codeGrants_;
}

}  // namespace nimbuscrate::localservice
