#pragma once

#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>

#include "platform/tasks/Clock.h"
#include "shared/session/DesktopSession.h"
#include "shared/session/KeychainStore.h"
#include "shared/session/OAuthClient.h"

namespace nimbuscrate {

// The source of a valid access token for every request of the process. It
// reads the stored session on every call and returns its access token while
// at least 90 seconds are left; otherwise it refreshes through the token
// endpoint and stores the new tokens, unless the stored session was replaced
// meanwhile (E2EEError::sessionChanged, nothing stored).
//
// Refreshes are merged: callers of this process that find the token near
// expiry while a refresh of the same session runs wait for that refresh and
// share its outcome, so one refresh token is spent once. Across processes the
// secret store's per-item lock is held from the re-read of the session to
// the save of the new tokens: the program that gets the lock second finds the
// token already refreshed and uses it, so with rotating refresh tokens the
// app and the extension never both spend the same refresh token, and the
// stored refresh token is always the live one.
class TokenProvider {
public:
    static constexpr double kMinimumLifetimeSeconds = 90;

    TokenProvider(KeychainStore store, OAuthClient& oauth, Clock& clock = Clock::system());
    TokenProvider(const TokenProvider&) = delete;
    TokenProvider& operator=(const TokenProvider&) = delete;

    // The process-wide provider over the session store.
    static TokenProvider& shared();

    // Throws DesktopError::notAuthenticated without a session, the store's
    // or decoding error, the refresh's error (transport, DesktopError::server,
    // ReplyDecodingError), E2EEError::sessionChanged, or CancellationError.
    // A stop request ends a wait for another caller's refresh; a grant this
    // call has already sent runs to its end and is stored.
    std::string validAccessToken(std::stop_token stop = {});

private:
    // One refresh in progress, shared by every caller of the same session.
    struct Flight {
        std::optional<std::string> sessionID;
        bool finished = false;
        bool cancelled = false;
        std::string accessToken;
        std::exception_ptr error;
    };

    bool isFresh(const DesktopSession& session) const;
    std::string refreshOnce(const DesktopSession& first, std::stop_token stop);

    KeychainStore store_;
    OAuthClient& oauth_;
    Clock& clock_;

    std::mutex mutex_;
    std::condition_variable_any finished_;
    std::shared_ptr<Flight> flight_;
};

}  // namespace nimbuscrate
