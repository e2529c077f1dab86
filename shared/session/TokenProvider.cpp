#include "shared/session/TokenProvider.h"

#include "platform/core/CancellationError.h"
#include "shared/encryption/E2EEError.h"
#include "shared/session/DesktopError.h"

namespace nimbuscrate {

TokenProvider::TokenProvider(KeychainStore store, OAuthClient& oauth, Clock& clock)
    : store_(std::move(store)), oauth_(oauth), clock_(clock) {}

TokenProvider& TokenProvider::shared() {
    static OAuthClient oauth;
    static TokenProvider provider(KeychainStore::session(), oauth);
    return provider;
}

bool TokenProvider::isFresh(const DesktopSession& session) const {
    return session.tokens.expiresAt.referenceSeconds() - clock_.now().referenceSeconds() >= kMinimumLifetimeSeconds;
}

std::string TokenProvider::validAccessToken(std::stop_token stop) {
    while (true) {
        throwIfCancelled(stop);
        const std::optional<DesktopSession> session = store_.loadSession();
        if (!session) throw DesktopError::notAuthenticated();
        if (isFresh(*session)) return session->tokens.accessToken;

        std::unique_lock lock(mutex_);
        if (flight_ && flight_->sessionID == session->sessionID) {
            // Someone refreshes this session right now: share the outcome.
            std::shared_ptr<Flight> flight = flight_;
            if (!finished_.wait(lock, stop, [&] { return flight->finished; })) throw CancellationError();
            if (flight->cancelled) continue;  // the refresher gave up; try again
            if (flight->error) std::rethrow_exception(flight->error);
            return flight->accessToken;
        }
        if (flight_) {
            // A refresh of another session is ending; start afresh after it.
            std::shared_ptr<Flight> other = flight_;
            if (!finished_.wait(lock, stop, [&] { return other->finished; })) throw CancellationError();
            continue;
        }

        auto flight = std::make_shared<Flight>();
        flight->sessionID = session->sessionID;
        flight_ = flight;
        lock.unlock();

        std::string token;
        std::exception_ptr error;
        bool cancelled = false;
        try {
            token = refreshOnce(*session, stop);
        } catch (const CancellationError&) {
            cancelled = true;
            error = std::current_exception();
        } catch (...) {
            error = std::current_exception();
        }

        lock.lock();
        flight->finished = true;
        flight->cancelled = cancelled;
        flight->accessToken = token;
        flight->error = error;
        flight_.reset();
        lock.unlock();
        finished_.notify_all();

        if (error) std::rethrow_exception(error);
        return token;
    }
}

std::string TokenProvider::refreshOnce(const DesktopSession& first, std::stop_token stop) {
    // Held across the grant: the other program waits here and then finds the
    // refreshed token instead of spending the same refresh token again.
    const auto itemLock = store_.lock();

    const std::optional<DesktopSession> before = store_.loadSession();
    if (!before || before->sessionID != first.sessionID) throw E2EEError::sessionChanged();
    if (isFresh(*before)) return before->tokens.accessToken;

    // Not cancellable once sent: the provider may spend the old refresh token
    // as soon as the grant arrives, so dropping its reply would leave a dead
    // one stored. The grant ends within its own time-out and is stored.
    throwIfCancelled(stop);
    const OAuthTokens tokens = oauth_.refresh(before->tokens.refreshToken);

    // The app may have replaced the session during the grant (it signs in and
    // out without this lock): never store tokens into another session.
    std::optional<DesktopSession> current = store_.loadSession();
    if (!current || current->sessionID != first.sessionID) throw E2EEError::sessionChanged();
    current->tokens = tokens;
    const std::string json = current->toJSON();
    store_.save(bytesOf(json));
    return tokens.accessToken;
}

}  // namespace nimbuscrate
