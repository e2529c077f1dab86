#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/tasks/Executor.h"
#include "platform/websession/UrlOpener.h"

namespace nimbuscrate {

// The browser could not show the page (the opening command failed).
class WebAuthenticationError : public std::runtime_error {
public:
    WebAuthenticationError() : std::runtime_error("The browser could not be opened.") {}
};

class WebAuthenticator;

// One browser sign-in: the page is opened in the user's browser and the
// session waits for the first URL that comes back on its callback scheme.
// Everything here runs on the UI executor.
class WebAuthenticationSession {
public:
    // Called exactly once, on the UI executor, for a started session: with
    // the callback URL, or with an error: CancellationError when cancelled,
    // WebAuthenticationError when the browser failed.
    using Completion = std::function<void(std::optional<std::string> callbackURL, std::exception_ptr error)>;

    // Opens the URL; false (and no completion) when the browser cannot be
    // started. A session starts once; a session started while another runs
    // cancels that one first.
    bool start();
    // Ends a started, unfinished session with CancellationError; otherwise nothing.
    void cancel();
    bool isRunning() const { return started_ && !finished_; }
    const std::string& callbackScheme() const { return callbackScheme_; }

private:
    friend class WebAuthenticator;
    struct Private {};

public:
    WebAuthenticationSession(Private, std::weak_ptr<void> authenticator, std::string url, std::string callbackScheme,
                             Completion completion);

private:
    void finish(std::optional<std::string> callbackURL, std::exception_ptr error);

    std::weak_ptr<void> authenticator_;
    std::weak_ptr<WebAuthenticationSession> self_;
    std::string url_;
    std::string callbackScheme_;
    Completion completion_;
    bool started_ = false;
    bool finished_ = false;
};

// The app's gateway to browser sign-in: makes sessions and routes the URLs
// that come back on a callback scheme (from the URL-scheme handler) to the
// running session. Lives on the UI executor; deliverCallback may be called
// from any thread.
class WebAuthenticator {
public:
    WebAuthenticator(Executor& ui, UrlOpener& opener);
    // Cancels the running session.
    ~WebAuthenticator();
    WebAuthenticator(const WebAuthenticator&) = delete;
    WebAuthenticator& operator=(const WebAuthenticator&) = delete;

    // UI executor. A new session, not started.
    std::shared_ptr<WebAuthenticationSession> makeSession(std::string url, std::string callbackScheme,
                                                          WebAuthenticationSession::Completion completion);

    // Any thread: a URL that reached the app. On the UI executor it completes
    // the running session when its scheme is the session's callback scheme;
    // with no such session it is dropped (and counted).
    void deliverCallback(std::string url);

    // UI executor: callbacks dropped so far.
    std::size_t droppedCallbacks() const;

private:
    struct State;
    friend class WebAuthenticationSession;
    std::shared_ptr<State> state_;
};

}  // namespace nimbuscrate
