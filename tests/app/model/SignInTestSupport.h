#pragma once

// What the sign-in tests share: a UI executor run by hand, a browser
// stand-in that records the page it was asked to open and can press "Sign
// in" on the local service's page (over HTTPS, as a browser would, without
// following the redirect), and the client wired to them.

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "app/model/DesktopOAuthClient.h"
#include "platform/core/CancellationError.h"
#include "platform/http/HttpTransport.h"
#include "platform/http/UrlBuilding.h"
#include "platform/tasks/Executor.h"
#include "platform/tasks/TaskPool.h"
#include "platform/websession/WebAuthenticationSession.h"
#include "tests/support/Eventually.h"
#include "shared/session/DesktopError.h"
#include "tests/support/LocalServiceFixture.h"
#include "tools/localservice/IdentityProvider.h"

namespace nimbuscrate::testing {

class RecordingBrowser final : public UrlOpener {
public:
    bool open(const std::string& url, Failure failed) override {
        opened.push_back(url);
        failure = std::move(failed);
        return startable;
    }

    // Loads the page and presses "Sign in"; returns the redirect's Location.
    static std::string signIn(const std::string& url) {
        HttpRequest page("GET", *Url::parse(url));
        page.redirects = RedirectPolicy::never;
        const HttpResponse shown = HttpTransport::shared().send(page);
        const std::string body = stringOf(shown.body);
        EXPECT_EQ(shown.status, 200) << body;
        const std::string marker = "name=\"login\" value=\"";
        const auto start = body.find(marker);
        if (start == std::string::npos) return "";
        const auto valueStart = start + marker.size();
        const std::string login = body.substr(valueStart, body.find('"', valueStart) - valueStart);
        HttpRequest press("POST", *Url::parse("https://" NIMBUSCRATE_IDENTITY_HOST +
                                              std::string(localservice::IdentityProvider::kSignInPath)));
        press.redirects = RedirectPolicy::never;
        press.headers.set("Content-Type", "application/x-www-form-urlencoded");
        press.body = bytesOf("login=" + login);
        const HttpResponse pressed = HttpTransport::shared().send(press);
        EXPECT_EQ(pressed.status, 302) << stringOf(pressed.body);
        return pressed.headers.value("Location").value_or("");
    }

    std::vector<std::string> opened;
    Failure failure;
    bool startable = true;
};

// One sign-in's outcome as its completion saw it.
struct SignInRecord {
    int calls = 0;
    SignInResult result;

    DesktopOAuthClient::Completion completion() {
        return [this](SignInResult r) {
            ++calls;
            result = std::move(r);
        };
    }
    bool ended() const { return calls > 0; }
    // The error's kind when it is a DesktopError.
    std::optional<DesktopError::Kind> desktopError() const {
        try {
            if (result.error) std::rethrow_exception(result.error);
        } catch (const DesktopError& error) {
            return error.kind();
        } catch (...) {
        }
        return std::nullopt;
    }
    bool cancelled() const {
        try {
            if (result.error) std::rethrow_exception(result.error);
        } catch (const CancellationError&) {
            return true;
        } catch (...) {
        }
        return false;
    }
};

class SignInFixture : public LocalServiceFixture {
protected:
    static constexpr const char* kTokenPath = "/realms/nimbuscrate/protocol/openid-connect/token";

    // Runs the UI executor until the condition holds (bounded).
    template <class Condition>
    bool runUntil(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        return eventually([&] {
            ui.runPending();
            return condition();
        }, timeout);
    }
    std::size_t tokenRequests() { return service.requests().matching("POST", kTokenPath).size(); }
    localservice::IdentityProvider& provider() { return service.identityProvider(); }

    ManualExecutor ui;
    RecordingBrowser browser;
    WebAuthenticator web{ui, browser};
    TaskPool workers{2};
    DesktopOAuthClient client{ui, web, workers, HttpTransport::shared(), store, clock};
};

}  // namespace nimbuscrate::testing
