#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>

#include "platform/core/Url.h"
#include "platform/tasks/Executor.h"
#include "platform/tasks/TaskPool.h"
#include "platform/websession/WebAuthenticationSession.h"
#include "shared/session/OAuthClient.h"

namespace nimbuscrate {

// The outcome of an interactive sign-in: the tokens, or the error.
struct SignInResult {
    std::optional<OAuthTokens> tokens;
    std::exception_ptr error;
};

// The app's OAuthClient: the token endpoint of the shared client plus the
// interactive sign-in with PKCE (S256). The login page opens in the user's
// browser; the authorization code comes back on the URL scheme
// "app.nimbuscrate" and is exchanged, with the code verifier, for tokens.
//
// Threads: everything but exchangeAuthorizationCode runs on the UI executor
// given at construction; the exchange (a blocking token request) runs on the
// worker pool and its result is handed back to the UI executor. The object
// must be destroyed on the UI executor; its destructor cancels a pending
// sign-in and waits for a running exchange to stop.
class DesktopOAuthClient final : public OAuthClient {
public:
    static constexpr const char* kRedirectURI = "app.nimbuscrate:/oauthredirect";
    static constexpr const char* kCallbackScheme = "app.nimbuscrate";
    static constexpr const char* kScope = "openid profile email offline_access";

    using Completion = std::function<void(SignInResult)>;

    // The program wires the process-wide transport, session store and clock.
    DesktopOAuthClient(Executor& ui, WebAuthenticator& web, TaskPool& workers, HttpTransport& transport,
                       KeychainStore sessionStore, Clock& clock);
    ~DesktopOAuthClient();
    DesktopOAuthClient(const DesktopOAuthClient&) = delete;
    DesktopOAuthClient& operator=(const DesktopOAuthClient&) = delete;

    // UI executor. Starts a sign-in and returns at once; the completion runs
    // exactly once, on the UI executor. A sign-in still pending is cancelled
    // first (it ends with CancellationError). Errors: DesktopError
    // invalidResponse when the browser cannot be opened, when the callback's
    // state is missing, different or repeated, or its code missing or
    // repeated (a refused login included); CancellationError when cancelled;
    // the token request's errors unchanged.
    void signIn(Completion completion);

    // UI executor. Ends the pending sign-in, if any, with CancellationError:
    // the app's Cancel, quitting, or the user giving up on the browser tab.
    // A token request already under way is stopped and its answer dropped.
    void cancelSignIn();

    // UI executor. True from signIn until its completion has run.
    bool isSigningIn() const { return attempt_.has_value(); }
    // UI executor. True while the browser session waits for the callback.
    bool hasWebSession() const { return webSession_ != nullptr; }

    // Unpadded base64url of `byteCount` bytes from the secure random source.
    static std::string randomURLSafeString(std::size_t byteCount);
    // Unpadded base64url of the SHA-256 of the verifier's bytes.
    static std::string codeChallenge(const std::string& verifier);
    // The authorization endpoint with its seven query items in this order:
    // client_id, redirect_uri, response_type, scope, code_challenge,
    // code_challenge_method, state.
    static Url authorizationURL(const std::string& challenge, const std::string& state);
    // The code of a callback URL whose single "state" equals the expected
    // one and which carries one "code" with a value. Items without a value
    // (or with an empty one) count as missing. Throws DesktopError invalidResponse otherwise.
    static std::string authorizationCode(const std::string& callbackURL, const std::string& expectedState);

    // Any thread, blocking: the authorization-code grant (five fields).
    OAuthTokens exchangeAuthorizationCode(const std::string& code, const std::string& verifier,
                                          std::stop_token stop = {});

private:
    struct Attempt {
        std::uint64_t id = 0;
        std::string state;
        std::string verifier;
        Completion completion;
        std::stop_source stop;
    };

    void startWebAuthentication(const Url& url, std::uint64_t attempt);
    void finishWebAuthentication(std::uint64_t attempt, std::optional<std::string> callbackURL,
                                 std::exception_ptr error);
    void handleAuthorizationCallback(const std::string& callbackURL);
    void finish(SignInResult result);

    Executor& ui_;
    WebAuthenticator& web_;
    TaskPool& workers_;
    // Tasks posted to the UI executor hold a weak reference: they do nothing
    // once this object is gone.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
    std::optional<Attempt> attempt_;
    std::uint64_t nextAttempt_ = 1;
    std::shared_ptr<WebAuthenticationSession> webSession_;

    // Exchanges running on the worker pool; the destructor waits for zero.
    std::mutex exchangesMutex_;
    std::condition_variable exchangesDone_;
    std::size_t exchanges_ = 0;
};

}  // namespace nimbuscrate
