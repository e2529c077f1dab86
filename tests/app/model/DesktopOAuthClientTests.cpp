#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fstream>
#include <functional>
#include <utility>

#include "shared/session/ServiceEndpoints.h"
#include "tests/app/model/SignInTestSupport.h"

namespace nimbuscrate {
namespace {

using localservice::SignInOutcome;
using testing::RecordingBrowser;
using testing::SignInRecord;

// The query's items as they appear, undecoded.
std::vector<std::pair<std::string, std::string>> queryItems(const std::string& url) {
    std::vector<std::pair<std::string, std::string>> items;
    std::string_view query = std::string_view(url).substr(url.find('?') + 1);
    while (!query.empty()) {
        const auto end = query.find('&');
        const std::string_view item = query.substr(0, end);
        query = end == std::string_view::npos ? std::string_view() : query.substr(end + 1);
        const auto equals = item.find('=');
        items.emplace_back(std::string(item.substr(0, equals)),
                           equals == std::string_view::npos ? "" : std::string(item.substr(equals + 1)));
    }
    return items;
}

std::string itemOf(const std::string& url, const std::string& name) {
    for (const auto& [key, value] : queryItems(url)) {
        if (key == name) return value;
    }
    return "";
}

bool isBase64URL(const std::string& text) {
    return text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_") == std::string::npos;
}

using DesktopOAuthClientTest = testing::SignInFixture;

TEST_F(DesktopOAuthClientTest, SignsInWithPKCEAndTheServiceConfirmsTheVerifier) {
    SignInRecord record;
    client.signIn(record.completion());
    ASSERT_EQ(browser.opened.size(), 1u);
    const std::string url = browser.opened[0];
    EXPECT_TRUE(client.hasWebSession());
    EXPECT_TRUE(client.isSigningIn());

    // The authorization URL: the endpoint and its seven items in order.
    const auto endpoint = identityRealmURL().string() + "/protocol/openid-connect/auth?";
    EXPECT_EQ(url.substr(0, endpoint.size()), endpoint);
    const auto items = queryItems(url);
    std::vector<std::string> names;
    for (const auto& item : items) names.push_back(item.first);
    EXPECT_EQ(names, (std::vector<std::string>{"client_id", "redirect_uri", "response_type", "scope", "code_challenge",
                                               "code_challenge_method", "state"}));
    EXPECT_EQ(itemOf(url, "client_id"), "nimbuscrate-desktop");
    EXPECT_EQ(itemOf(url, "redirect_uri"), "app.nimbuscrate:/oauthredirect");
    EXPECT_EQ(itemOf(url, "response_type"), "code");
    EXPECT_EQ(itemOf(url, "scope"), "openid%20profile%20email%20offline_access");
    EXPECT_EQ(itemOf(url, "code_challenge_method"), "S256");
    const std::string challenge = itemOf(url, "code_challenge");
    const std::string state = itemOf(url, "state");
    EXPECT_EQ(challenge.size(), 43u);
    EXPECT_EQ(state.size(), 43u);
    EXPECT_TRUE(isBase64URL(challenge) && isBase64URL(state));

    const std::string callback = RecordingBrowser::signIn(url);
    // The service saw the query exactly as the URL carries it.
    EXPECT_EQ(provider().authorizationQueries(), std::vector<std::string>{url.substr(url.find('?') + 1)});
    web.deliverCallback(callback);
    ASSERT_TRUE(runUntil([&] { return record.ended(); }));

    EXPECT_EQ(record.calls, 1);
    ASSERT_TRUE(record.result.tokens) << record.desktopError().has_value();
    EXPECT_TRUE(service.isAccessTokenLive(record.result.tokens->accessToken));
    EXPECT_TRUE(service.isRefreshTokenLive(record.result.tokens->refreshToken));
    EXPECT_EQ(record.result.tokens->expiresAt, clock.now().addingSeconds(3600));
    const auto checks = provider().verifierChecks();
    ASSERT_EQ(checks.size(), 1u);
    EXPECT_EQ(checks[0].verifier.size(), 86u);
    EXPECT_TRUE(isBase64URL(checks[0].verifier));
    EXPECT_EQ(checks[0].computedChallenge, challenge) << "the service's own S256 of the verifier it received";
    EXPECT_TRUE(checks[0].matched);
    EXPECT_FALSE(client.hasWebSession());
    EXPECT_FALSE(client.isSigningIn());

    // The grant's five fields.
    const auto grants = service.requests().matching("POST", kTokenPath);
    ASSERT_EQ(grants.size(), 1u);
    const auto fields = queryItems("?" + grants[0].body);
    ASSERT_EQ(fields.size(), 5u) << grants[0].body;
    EXPECT_EQ(itemOf("?" + grants[0].body, "grant_type"), "authorization_code");
    EXPECT_EQ(itemOf("?" + grants[0].body, "redirect_uri"), "app.nimbuscrate:/oauthredirect");
    EXPECT_FALSE(grants[0].headers.has("User-Agent"));
}

TEST(DesktopOAuthClientPKCETest, TheChallengeIsTheS256OfTheVerifier) {
    std::ifstream in(NIMBUSCRATE_SOURCE_DIR "/tests/app/model/fixtures/pkce.json");
    const auto fixture = nlohmann::json::parse(in);
    ASSERT_FALSE(fixture["s256"].empty());
    for (const auto& vector : fixture["s256"]) {
        EXPECT_EQ(DesktopOAuthClient::codeChallenge(vector["verifier"]), vector["challenge"]) << vector["verifier"];
    }
    const std::string verifier = DesktopOAuthClient::randomURLSafeString(64);
    EXPECT_EQ(verifier.size(), 86u);
    EXPECT_TRUE(isBase64URL(verifier));
    EXPECT_EQ(DesktopOAuthClient::randomURLSafeString(32).size(), 43u);
    EXPECT_NE(DesktopOAuthClient::randomURLSafeString(32), DesktopOAuthClient::randomURLSafeString(32));
}

// Every refused callback ends the sign-in with invalidResponse and sends no
// token request.
TEST_F(DesktopOAuthClientTest, RefusedCallbacksSendNoTokenRequest) {
    struct Case {
        const char* what;
        std::optional<SignInOutcome> outcome;                       // the service's answer to "Sign in"
        std::function<std::string(const std::string& state)> made;  // or a callback made here
    };
    const std::string redirect = "app.nimbuscrate:/oauthredirect";
    const Case cases[] = {
        {"state different", SignInOutcome::wrongState, {}},
        {"state missing", {}, [&](const std::string&) { return redirect + "?code=abc"; }},
        {"state without a value", {}, [&](const std::string&) { return redirect + "?code=abc&state"; }},
        {"state repeated", SignInOutcome::duplicateState, {}},
        {"state repeated, one of them wrong", {}, [&](const std::string& s) { return redirect + "?code=abc&state=" + s + "&state=x"; }},
        {"code missing", SignInOutcome::noCode, {}},
        {"code without a value", SignInOutcome::bareCode, {}},
        {"code repeated", SignInOutcome::duplicateCode, {}},
        {"an error alone", SignInOutcome::deny, {}},
        {"no query", {}, [&](const std::string&) { return redirect; }},
        {"a malformed escape", {}, [&](const std::string& s) { return redirect + "?code=%zz&state=" + s; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        provider().setSignInOutcome(c.outcome.value_or(SignInOutcome::code));
        SignInRecord record;
        client.signIn(record.completion());
        const std::string url = browser.opened.back();
        const std::string callback = c.made ? c.made(itemOf(url, "state")) : RecordingBrowser::signIn(url);
        web.deliverCallback(callback);
        ASSERT_TRUE(runUntil([&] { return record.ended(); }));
        EXPECT_EQ(record.calls, 1);
        EXPECT_EQ(record.desktopError(), DesktopError::Kind::invalidResponse);
        EXPECT_FALSE(client.hasWebSession());
        EXPECT_FALSE(client.isSigningIn());
        EXPECT_EQ(tokenRequests(), 0u);
    }
    EXPECT_FALSE(storedSession()) << "nothing is stored";
}

// Callbacks that come when no sign-in waits for them are dropped unanswered.
TEST_F(DesktopOAuthClientTest, CallbacksAfterTheSignInEndedAreDropped) {
    {
        SCOPED_TRACE("no sign-in pending");
        web.deliverCallback("app.nimbuscrate:/oauthredirect?code=abc&state=def");
        ui.runPending();
        EXPECT_EQ(web.droppedCallbacks(), 1u);
    }
    {
        SCOPED_TRACE("cancelled");
        SignInRecord record;
        client.signIn(record.completion());
        const std::string callback = RecordingBrowser::signIn(browser.opened.back());
        client.cancelSignIn();
        EXPECT_EQ(record.calls, 1);
        EXPECT_TRUE(record.cancelled());
        EXPECT_FALSE(client.hasWebSession());
        web.deliverCallback(callback);
        ui.runPending();
        EXPECT_EQ(web.droppedCallbacks(), 2u);
        EXPECT_EQ(record.calls, 1);
    }
    {
        SCOPED_TRACE("quitting");
        SignInRecord record;
        std::string callback;
        {
            DesktopOAuthClient quitting(ui, web, workers, HttpTransport::shared(), store, clock);
            quitting.signIn(record.completion());
            callback = RecordingBrowser::signIn(browser.opened.back());
        }
        EXPECT_TRUE(record.cancelled());
        web.deliverCallback(callback);
        ui.runPending();
        EXPECT_EQ(web.droppedCallbacks(), 3u);
        EXPECT_EQ(record.calls, 1);
    }
    EXPECT_EQ(tokenRequests(), 0u);
    {
        SCOPED_TRACE("a second sign-in cancels the first; then a repeat of the second's callback");
        SignInRecord first, second;
        client.signIn(first.completion());
        const std::string firstCallback = RecordingBrowser::signIn(browser.opened.back());
        client.signIn(second.completion());
        EXPECT_TRUE(first.cancelled());
        const std::string secondCallback = RecordingBrowser::signIn(browser.opened.back());
        web.deliverCallback(secondCallback);
        ASSERT_TRUE(runUntil([&] { return second.ended(); }));
        EXPECT_TRUE(second.result.tokens);
        web.deliverCallback(firstCallback);
        web.deliverCallback(secondCallback);
        ui.runPending();
        EXPECT_EQ(web.droppedCallbacks(), 5u);
        EXPECT_EQ(first.calls, 1);
        EXPECT_EQ(second.calls, 1);
    }
    EXPECT_EQ(tokenRequests(), 1u) << "only the second sign-in's own code was exchanged";
    EXPECT_EQ(provider().codeGrantCount(), 1u);
}

TEST_F(DesktopOAuthClientTest, ACancelStopsTheTokenRequestUnderWay) {
    const auto gate = service.hold({"POST", "", kTokenPath});
    SignInRecord record;
    client.signIn(record.completion());
    web.deliverCallback(RecordingBrowser::signIn(browser.opened.back()));
    ui.runPending();
    ASSERT_TRUE(gate->waitForArrivals(1, std::chrono::seconds(30)));
    client.cancelSignIn();
    EXPECT_TRUE(record.cancelled());
    gate->open();
    workers.waitIdle();
    ui.runPending();
    EXPECT_EQ(record.calls, 1);
    EXPECT_FALSE(client.isSigningIn());
}

TEST_F(DesktopOAuthClientTest, FailuresOfTheBrowserAndOfTheTokenEndpoint) {
    {
        SCOPED_TRACE("the browser cannot start");
        browser.startable = false;
        SignInRecord record;
        client.signIn(record.completion());
        EXPECT_EQ(record.calls, 1);
        EXPECT_EQ(record.desktopError(), DesktopError::Kind::invalidResponse);
        EXPECT_FALSE(client.hasWebSession());
        browser.startable = true;
    }
    {
        SCOPED_TRACE("the browser fails after starting");
        SignInRecord record;
        client.signIn(record.completion());
        browser.failure();
        ASSERT_TRUE(runUntil([&] { return record.ended(); }));
        EXPECT_EQ(record.desktopError(), DesktopError::Kind::invalidResponse);
        EXPECT_FALSE(client.hasWebSession());
    }
    {
        SCOPED_TRACE("the code has expired");
        provider().setCodeLifetime(std::chrono::milliseconds(0));
        SignInRecord record;
        client.signIn(record.completion());
        web.deliverCallback(RecordingBrowser::signIn(browser.opened.back()));
        ASSERT_TRUE(runUntil([&] { return record.ended(); }));
        try {
            std::rethrow_exception(record.result.error);
        } catch (const DesktopError& error) {
            EXPECT_EQ(error.kind(), DesktopError::Kind::server);
            EXPECT_EQ(error.status(), 400);
            EXPECT_NE(error.payload().find("invalid_grant"), std::string::npos) << error.payload();
        }
        EXPECT_EQ(tokenRequests(), 1u);
    }
}

TEST(DesktopOAuthClientCallbackTest, TheCodeIsTakenOnlyFromAnUnambiguousCallback) {
    struct Case {
        std::string url;
        std::optional<std::string> code;
    };
    const Case cases[] = {
        {"app.nimbuscrate:/oauthredirect?code=abc&state=S", "abc"},
        {"app.nimbuscrate:/oauthredirect?state=S&code=a%2Bb%3D", "a+b="},
        {"app.nimbuscrate:/oauthredirect?code=abc&state=S&session_state=x&iss=y", "abc"},
        {"app.nimbuscrate:/oauthredirect?code=abc&state=S#fragment", "abc"},
        {"app.nimbuscrate:/oauthredirect?code&code=abc&state=S", "abc"},
        {"app.nimbuscrate:/oauthredirect?code=&state=S", std::nullopt},
        {"app.nimbuscrate:/oauthredirect?code=abc&state=", std::nullopt},
        {"app.nimbuscrate:/oauthredirect?code=abc&state=S2", std::nullopt},
        {"app.nimbuscrate:/oauthredirect?code=abc&state=s", std::nullopt},
        {"app.nimbuscrate:/oauthredirect?code=abc&code=abc&state=S", std::nullopt},
        {"app.nimbuscrate:/oauthredirect?error=access_denied&state=S", std::nullopt},
        {"app.nimbuscrate:/oauthredirect#code=abc&state=S", std::nullopt},
    };
    for (const Case& c : cases) {
        try {
            const std::string code = DesktopOAuthClient::authorizationCode(c.url, "S");
            EXPECT_EQ(std::optional<std::string>(code), c.code) << c.url;
        } catch (const DesktopError& error) {
            EXPECT_EQ(error.kind(), DesktopError::Kind::invalidResponse) << c.url;
            EXPECT_FALSE(c.code) << c.url;
        }
    }
}

}  // namespace
}  // namespace nimbuscrate
