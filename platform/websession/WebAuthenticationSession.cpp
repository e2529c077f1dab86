#include "platform/websession/WebAuthenticationSession.h"

#include <algorithm>
#include <cctype>

#include "platform/core/CancellationError.h"
#include "platform/log/Logger.h"

namespace nimbuscrate {

namespace {

const Logger& logger() {
    static const Logger instance("app.nimbuscrate.desktop", "web-authentication");
    return instance;
}

// The scheme of a URL text, lower-cased; empty when it has none.
std::string schemeOf(const std::string& url) {
    const auto colon = url.find(':');
    if (colon == std::string::npos || colon == 0) return {};
    std::string scheme = url.substr(0, colon);
    for (char& c : scheme) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return {};
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return scheme;
}

}  // namespace

struct WebAuthenticator::State {
    Executor& ui;
    UrlOpener& opener;
    std::weak_ptr<WebAuthenticationSession> running;
    std::size_t dropped = 0;
};

WebAuthenticationSession::WebAuthenticationSession(Private, std::weak_ptr<void> authenticator, std::string url,
                                                   std::string callbackScheme, Completion completion)
    : authenticator_(std::move(authenticator)),
      url_(std::move(url)),
      callbackScheme_(std::move(callbackScheme)),
      completion_(std::move(completion)) {}

bool WebAuthenticationSession::start() {
    auto state = std::static_pointer_cast<WebAuthenticator::State>(authenticator_.lock());
    if (!state || started_) return false;
    if (auto previous = state->running.lock()) previous->cancel();

    started_ = true;
    auto onFailure = [weakState = std::weak_ptr<WebAuthenticator::State>(state), weakSession = self_] {
        // On the opener's thread: the session is only touched on the UI executor.
        auto state = weakState.lock();
        if (!state) return;
        state->ui.post([weakSession] {
            if (auto session = weakSession.lock(); session && session->isRunning()) {
                session->finish(std::nullopt, std::make_exception_ptr(WebAuthenticationError()));
            }
        });
    };
    if (!state->opener.open(url_, std::move(onFailure))) {
        started_ = false;
        finished_ = true;
        completion_ = nullptr;
        return false;
    }
    // The authenticator only watches the session; its maker owns it.
    state->running = self_;
    return true;
}

void WebAuthenticationSession::cancel() {
    if (isRunning()) finish(std::nullopt, std::make_exception_ptr(CancellationError()));
}

void WebAuthenticationSession::finish(std::optional<std::string> callbackURL, std::exception_ptr error) {
    finished_ = true;
    Completion completion = std::move(completion_);
    completion_ = nullptr;
    if (completion) completion(std::move(callbackURL), error);
}

WebAuthenticator::WebAuthenticator(Executor& ui, UrlOpener& opener)
    : state_(std::make_shared<State>(State{ui, opener, {}, 0})) {}

WebAuthenticator::~WebAuthenticator() {
    if (auto running = state_->running.lock()) running->cancel();
}

std::shared_ptr<WebAuthenticationSession> WebAuthenticator::makeSession(std::string url, std::string callbackScheme,
                                                                        WebAuthenticationSession::Completion completion) {
    auto session = std::make_shared<WebAuthenticationSession>(WebAuthenticationSession::Private{}, state_,
                                                              std::move(url), std::move(callbackScheme),
                                                              std::move(completion));
    session->self_ = session;
    return session;
}

void WebAuthenticator::deliverCallback(std::string url) {
    state_->ui.post([weakState = std::weak_ptr<State>(state_), url = std::move(url)] {
        auto state = weakState.lock();
        if (!state) return;
        auto session = state->running.lock();
        if (!session || !session->isRunning() || schemeOf(url) != schemeOf(session->callbackScheme() + ":")) {
            ++state->dropped;
            logger().notice("A sign-in callback arrived with no sign-in waiting for it; it is dropped.");
            return;
        }
        session->finish(url, nullptr);
    });
}

std::size_t WebAuthenticator::droppedCallbacks() const { return state_->dropped; }

}  // namespace nimbuscrate
