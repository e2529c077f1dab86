#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tools/localservice/HttpExchange.h"
#include "tools/localservice/LocalService.h"

namespace nimbuscrate::localservice {

// What the browser gets when the demo user presses "Sign in" (a test knob).
enum class SignInOutcome {
    code,            // the callback with a fresh code and the request's state
    deny,            // "error=access_denied" and the state, no code
    wrongState,      // a code with a state that is not the request's
    noCode,          // the state alone
    bareCode,        // "code" without a value, and the state
    duplicateCode,   // two different codes, and the state
    duplicateState,  // a code and the state given twice
};

// How the token endpoint judged one authorization-code grant's verifier.
struct VerifierCheck {
    std::string verifier;            // as received
    std::string computedChallenge;   // unpadded base64url of SHA-256(verifier), computed here
    std::string boundChallenge;      // the challenge the code was issued for
    bool matched = false;
};

// The identity provider: the authorization endpoint with its sign-in page
// for the demo account, single-use authorization codes bound to client,
// redirect URI and PKCE challenge, and the token state: token families (one
// per sign-in), access tokens with their expiry and refresh tokens. With
// rotation on, each refresh token is good for one grant; presenting a spent
// one revokes its whole family, as real providers do.
class IdentityProvider {
public:
    static constexpr const char* kTokenPath = "/realms/nimbuscrate/protocol/openid-connect/token";
    static constexpr const char* kAuthPath = "/realms/nimbuscrate/protocol/openid-connect/auth";
    // The sign-in page's form posts here.
    static constexpr const char* kSignInPath = "/realms/nimbuscrate/login-actions/authenticate";
    static constexpr const char* kClientId = "nimbuscrate-desktop";
    static constexpr const char* kRedirectUri = "app.nimbuscrate:/oauthredirect";
    static constexpr const char* kDemoUser = "demo@nimbuscrate.example";

    IssuedTokens issue();
    // Every request for the identity host.
    Reply handle(const IncomingRequest& request);
    Reply handleToken(const IncomingRequest& request);
    // GET: checks the authorization request and serves the sign-in page.
    Reply handleAuthorize(const IncomingRequest& request);
    // POST from the sign-in page: answers 302 to the callback.
    Reply handleSignIn(const IncomingRequest& request);

    void setSignInOutcome(SignInOutcome outcome);
    void setCodeLifetime(std::chrono::milliseconds lifetime);
    // The raw queries of every authorization request received, valid or not, in order.
    std::vector<std::string> authorizationQueries() const;
    // Every authorization-code grant that reached the verifier check, in order.
    std::vector<VerifierCheck> verifierChecks() const;
    // Authorization-code grants answered with tokens.
    std::size_t codeGrantCount() const;

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

    // A sign-in page that was served: the checked authorization request.
    struct PendingLogin { std::string clientId, redirectUri, challenge, state; };
    // An authorization code: what it is bound to, until when, and the family
    // of the tokens it gave (0 until used).
    struct AuthorizationCode {
        std::string clientId, redirectUri, challenge;
        Clock::time_point expiresAt;
        bool used = false;
        std::uint64_t family = 0;
    };

    IssuedTokens issueLocked(std::uint64_t family, const std::string* keepRefreshToken);
    bool familyLiveLocked(std::uint64_t family) const;
    Reply codeGrant(const std::map<std::string, std::string>& fields);
    std::string newCodeLocked(const PendingLogin& login);

    mutable std::mutex mutex_;
    bool rotate_ = false;
    std::chrono::seconds lifetime_{3600};
    std::size_t grants_ = 0;
    std::uint64_t nextFamily_ = 1;
    std::map<std::uint64_t, bool> revokedFamilies_;
    std::map<std::string, AccessToken> accessTokens_;
    std::map<std::string, RefreshToken> refreshTokens_;

    SignInOutcome signInOutcome_ = SignInOutcome::code;
    std::chrono::milliseconds codeLifetime_{60'000};
    std::vector<std::string> authorizationQueries_;
    std::map<std::string, PendingLogin> logins_;
    std::deque<std::string> loginOrder_;  // oldest first; the map is kept small
    std::map<std::string, AuthorizationCode> codes_;
    std::vector<VerifierCheck> verifierChecks_;
    std::size_t codeGrants_ = 0;
};

}  // namespace nimbuscrate::localservice
