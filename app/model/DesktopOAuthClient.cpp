#include "app/model/DesktopOAuthClient.h"

#include <map>
#include <utility>
#include <vector>

#include "platform/core/CancellationError.h"
#include "platform/core/Random.h"
#include "platform/http/UrlBuilding.h"
#include "platform/log/Logger.h"
#include "shared/encryption/E2EECrypto.h"
#include "shared/session/DesktopError.h"
#include "shared/session/ServiceEndpoints.h"

namespace nimbuscrate {

namespace {

const Logger& logger() {
    static const Logger instance("app.nimbuscrate.desktop", "sign-in");
    return instance;
}

ByteView viewOf(const std::string& text) {
    return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

}  // namespace

DesktopOAuthClient::DesktopOAuthClient(Executor& ui, WebAuthenticator& web, TaskPool& workers,
                                       HttpTransport& transport, KeychainStore sessionStore, Clock& clock)
    : OAuthClient(transport, std::move(sessionStore), clock), ui_(ui), web_(web), workers_(workers) {}

DesktopOAuthClient::~DesktopOAuthClient() {
    // Quitting ends a pending sign-in; its exchange is stopped and awaited,
    // as it runs on this object.
    cancelSignIn();
    std::unique_lock lock(exchangesMutex_);
    exchangesDone_.wait(lock, [&] { return exchanges_ == 0; });
}

std::string DesktopOAuthClient::randomURLSafeString(std::size_t byteCount) {
    const Bytes bytes = randomBytes(byteCount);
    return E2EECrypto::base64URLEncode(ByteView(bytes.data(), bytes.size()));
}

std::string DesktopOAuthClient::codeChallenge(const std::string& verifier) {
    return E2EECrypto::sha256Base64URL(viewOf(verifier));
}

Url DesktopOAuthClient::authorizationURL(const std::string& challenge, const std::string& state) {
    return withQueryItems(appendingPathComponent(identityRealmURL(), "protocol/openid-connect/auth"),
                          {{"client_id", kClientID},
                           {"redirect_uri", kRedirectURI},
                           {"response_type", "code"},
                           {"scope", kScope},
                           {"code_challenge", challenge},
                           {"code_challenge_method", "S256"},
                           {"state", state}});
}

std::string DesktopOAuthClient::authorizationCode(const std::string& callbackURL, const std::string& expectedState) {
    // The query runs from the first "?" to the fragment, if any.
    std::string_view query;
    if (const auto question = callbackURL.find('?'); question != std::string::npos) {
        query = std::string_view(callbackURL).substr(question + 1);
        query = query.substr(0, query.find('#'));
    }
    std::map<std::string, std::vector<std::string>> items;
    while (!query.empty()) {
        const auto end = query.find('&');
        const std::string_view item = query.substr(0, end);
        query = end == std::string_view::npos ? std::string_view() : query.substr(end + 1);
        const auto equals = item.find('=');
        // An item without a value, or with an empty one, counts as missing.
        if (equals == std::string_view::npos || equals + 1 == item.size()) continue;
        const auto name = percentDecoded(item.substr(0, equals));
        const auto value = percentDecoded(item.substr(equals + 1));
        if (!name || !value) throw DesktopError::invalidResponse();
        items[*name].push_back(*value);
    }
    // A repeated state or code makes the callback ambiguous: it is refused,
    // whichever of the values would have matched.
    const auto state = items.find("state");
    if (state == items.end() || state->second.size() != 1 || state->second.front() != expectedState) {
        throw DesktopError::invalidResponse();
    }
    // An "error" from the identity provider is not read: a refused login has
    // no code and ends here.
    const auto code = items.find("code");
    if (code == items.end() || code->second.size() != 1) throw DesktopError::invalidResponse();
    return code->second.front();
}

OAuthTokens DesktopOAuthClient::exchangeAuthorizationCode(const std::string& code, const std::string& verifier,
                                                          std::stop_token stop) {
    return tokenRequest({{"grant_type", "authorization_code"},
                         {"client_id", kClientID},
                         {"redirect_uri", kRedirectURI},
                         {"code", code},
                         {"code_verifier", verifier}},
                        stop);
}

void DesktopOAuthClient::signIn(Completion completion) {
    // A second sign-in replaces the first, which ends as cancelled.
    cancelSignIn();

    Attempt attempt;
    attempt.id = nextAttempt_++;
    std::optional<Url> url;
    try {
        attempt.verifier = randomURLSafeString(64);
        attempt.state = randomURLSafeString(32);
        url = authorizationURL(codeChallenge(attempt.verifier), attempt.state);
    } catch (...) {
        // The secure random source failed: the sign-in ends before it began.
        if (completion) completion({std::nullopt, std::current_exception()});
        return;
    }
    attempt.completion = std::move(completion);
    const std::uint64_t id = attempt.id;
    attempt_ = std::move(attempt);
    startWebAuthentication(*url, id);
}

void DesktopOAuthClient::startWebAuthentication(const Url& url, std::uint64_t attempt) {
    webSession_ = web_.makeSession(url.string(), kCallbackScheme,
                                   [this, alive = std::weak_ptr<int>(alive_), attempt](
                                       std::optional<std::string> callbackURL, std::exception_ptr error) {
                                       if (alive.expired()) return;
                                       finishWebAuthentication(attempt, std::move(callbackURL), error);
                                   });
    if (!webSession_->start()) {
        webSession_.reset();
        finish({std::nullopt, std::make_exception_ptr(DesktopError::invalidResponse())});
    }
}

void DesktopOAuthClient::finishWebAuthentication(std::uint64_t attempt, std::optional<std::string> callbackURL,
                                                 std::exception_ptr error) {
    // A session of an attempt that has already ended has nothing to finish.
    if (!attempt_ || attempt_->id != attempt) return;
    webSession_.reset();
    if (error) {
        try {
            std::rethrow_exception(error);
        } catch (const WebAuthenticationError&) {
            // The browser never showed the page: as if the session had not started.
            finish({std::nullopt, std::make_exception_ptr(DesktopError::invalidResponse())});
        } catch (...) {
            finish({std::nullopt, std::current_exception()});
        }
        return;
    }
    if (!callbackURL) {
        finish({std::nullopt, std::make_exception_ptr(DesktopError::invalidResponse())});
        return;
    }
    handleAuthorizationCallback(*callbackURL);
}

void DesktopOAuthClient::handleAuthorizationCallback(const std::string& callbackURL) {
    std::string code;
    try {
        code = authorizationCode(callbackURL, attempt_->state);
    } catch (...) {
        logger().error("The sign-in callback was refused: its state or code is missing, different or repeated.");
        finish({std::nullopt, std::current_exception()});
        return;
    }

    // The token request blocks: it runs on a worker, stopped by a cancel or
    // by the pool's shutdown, and its answer comes back to the UI executor.
    const std::uint64_t id = attempt_->id;
    {
        std::lock_guard lock(exchangesMutex_);
        ++exchanges_;
    }
    auto exchange = [this, alive = std::weak_ptr<int>(alive_), id, code, verifier = attempt_->verifier,
                     cancelled = attempt_->stop.get_token()](std::stop_token poolStop) {
        std::stop_source stop;
        std::stop_callback onCancel(cancelled, [&stop] { stop.request_stop(); });
        std::stop_callback onShutdown(poolStop, [&stop] { stop.request_stop(); });
        SignInResult result;
        try {
            throwIfCancelled(stop.get_token());
            result.tokens = exchangeAuthorizationCode(code, verifier, stop.get_token());
        } catch (...) {
            result.error = std::current_exception();
        }
        ui_.post([this, alive, id, result = std::move(result)]() mutable {
            if (alive.expired() || !attempt_ || attempt_->id != id) return;
            finish(std::move(result));
        });
        // Last: the destructor may go on once this count drops.
        std::lock_guard lock(exchangesMutex_);
        --exchanges_;
        exchangesDone_.notify_all();
    };
    if (!workers_.submit(std::move(exchange))) {
        {
            std::lock_guard lock(exchangesMutex_);
            --exchanges_;
        }
        finish({std::nullopt, std::make_exception_ptr(CancellationError())});
    }
}

void DesktopOAuthClient::cancelSignIn() {
    if (!attempt_) return;
    attempt_->stop.request_stop();
    finish({std::nullopt, std::make_exception_ptr(CancellationError())});
}

void DesktopOAuthClient::finish(SignInResult result) {
    // The attempt ends before its completion runs, so the completion may
    // start another sign-in; its browser session goes with it.
    Attempt ended = std::move(*attempt_);
    attempt_.reset();
    if (auto session = std::exchange(webSession_, nullptr)) session->cancel();
    if (ended.completion) ended.completion(std::move(result));
}

}  // namespace nimbuscrate
