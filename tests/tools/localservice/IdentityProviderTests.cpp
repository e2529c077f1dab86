// The identity provider's token endpoint and the bearer check of the other routes.

#include <gtest/gtest.h>

#include <functional>

#include <nlohmann/json.hpp>

#include "tests/tools/localservice/ServiceFixture.h"
#include "tools/localservice/IdentityProvider.h"

namespace nimbuscrate::localservice::testing {
namespace {

using namespace std::chrono_literals;
using localservice_identity = ServiceTest;

const char* kForm = "Content-Type: application/x-www-form-urlencoded";

Reply refresh(const ServiceClient& client, const std::string& refreshToken) {
    return client.send("POST", tokenUrl(), {kForm},
                       "client_id=nimbuscrate-desktop&grant_type=refresh_token&refresh_token=" + refreshToken);
}

std::string errorOf(const Reply& reply) {
    auto body = nlohmann::json::parse(reply.body, nullptr, false);
    return body.is_object() && body.contains("error") ? body["error"].get<std::string>() : "";
}

TEST_F(localservice_identity, RefreshGrantIssuesAUsableTokenSet) {
    service->setAccessTokenLifetime(120s);
    auto reply = refresh(*client, tokens.refreshToken);
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(reply.header("cache-control"), "no-store");
    auto body = nlohmann::json::parse(reply.body);
    EXPECT_EQ(body["token_type"], "Bearer");
    EXPECT_EQ(body["expires_in"], 120);
    std::string access = body["access_token"];
    EXPECT_NE(access, tokens.accessToken);
    EXPECT_FALSE(std::string(body["refresh_token"]).empty());
    EXPECT_EQ(service->grantCount(), 1u);
    EXPECT_TRUE(service->isAccessTokenLive(access));
    EXPECT_EQ(client->get(webUrl("/graph/v1.0/me/drives"), {"Authorization: Bearer " + access}).status, 200);
}

TEST_F(localservice_identity, BadTokenRequestsAreRefused) {
    struct Case {
        const char* what;
        std::string method;
        std::vector<std::string> headers;
        std::string body;
        long status;
        std::string error;
    };
    const std::string good = "client_id=nimbuscrate-desktop&grant_type=refresh_token&refresh_token=" + tokens.refreshToken;
    const std::vector<Case> cases = {
        {"GET", "GET", {kForm}, "", 405, "invalid_request"},
        {"JSON body", "POST", {"Content-Type: application/json"}, good, 400, "invalid_request"},
        {"no client", "POST", {kForm}, "grant_type=refresh_token&refresh_token=" + tokens.refreshToken, 400, "invalid_request"},
        {"other client", "POST", {kForm}, "client_id=other&grant_type=refresh_token&refresh_token=" + tokens.refreshToken, 401, "invalid_client"},
        {"client secret sent", "POST", {kForm, "Authorization: Basic eDp5"}, good, 401, "invalid_client"},
        {"no grant type", "POST", {kForm}, "client_id=nimbuscrate-desktop&refresh_token=" + tokens.refreshToken, 400, "invalid_request"},
        {"password grant", "POST", {kForm}, "client_id=nimbuscrate-desktop&grant_type=password&username=a&password=b", 400, "unsupported_grant_type"},
        {"no refresh token", "POST", {kForm}, "client_id=nimbuscrate-desktop&grant_type=refresh_token", 400, "invalid_request"},
        {"unknown refresh token", "POST", {kForm}, "client_id=nimbuscrate-desktop&grant_type=refresh_token&refresh_token=nope", 400, "invalid_grant"},
        {"field twice", "POST", {kForm}, good + "&client_id=nimbuscrate-desktop", 400, "invalid_request"},
        {"bad escape", "POST", {kForm}, good + "&scope=%G1", 400, "invalid_request"},
        {"plus read as blank", "POST", {kForm}, "client_id=nimbuscrate-desktop&grant_type=refresh_token&refresh_token=a+b", 400, "invalid_grant"},
    };
    for (const auto& c : cases) {
        auto reply = client->send(c.method, tokenUrl(), c.headers, c.body, c.method != "GET");
        EXPECT_EQ(reply.status, c.status) << c.what << ": " << reply.body;
        EXPECT_EQ(errorOf(reply), c.error) << c.what;
    }
    EXPECT_EQ(service->grantCount(), 0u);
    EXPECT_TRUE(service->isRefreshTokenLive(tokens.refreshToken));
}

TEST_F(localservice_identity, PercentEncodedFieldsAreDecoded) {
    auto reply = client->send("POST", tokenUrl(), {kForm},
                              "client%5Fid=nimbuscrate%2Ddesktop&grant%5Ftype=refresh%5Ftoken&refresh%5Ftoken=" + tokens.refreshToken);
    EXPECT_EQ(reply.status, 200) << reply.body;
}

TEST_F(localservice_identity, WithoutRotationARefreshTokenStaysValid) {
    service->rotateRefreshTokens(false);
    for (int i = 0; i < 3; ++i) {
        auto reply = refresh(*client, tokens.refreshToken);
        ASSERT_EQ(reply.status, 200);
        EXPECT_EQ(nlohmann::json::parse(reply.body)["refresh_token"], tokens.refreshToken);
    }
    EXPECT_EQ(service->grantCount(), 3u);
}

TEST_F(localservice_identity, RotationRejectsReuseAndRevokesTheFamily) {
    service->rotateRefreshTokens(true);
    auto first = refresh(*client, tokens.refreshToken);
    ASSERT_EQ(first.status, 200);
    auto firstBody = nlohmann::json::parse(first.body);
    std::string rotated = firstBody["refresh_token"];
    std::string access = firstBody["access_token"];
    EXPECT_NE(rotated, tokens.refreshToken);
    EXPECT_FALSE(service->isRefreshTokenLive(tokens.refreshToken));
    EXPECT_TRUE(service->isRefreshTokenLive(rotated));

    // Replaying the spent token fails and ends the whole sign-in.
    auto replay = refresh(*client, tokens.refreshToken);
    EXPECT_EQ(replay.status, 400);
    EXPECT_EQ(errorOf(replay), "invalid_grant");
    EXPECT_FALSE(service->isRefreshTokenLive(rotated));
    EXPECT_FALSE(service->isAccessTokenLive(access));
    EXPECT_FALSE(service->isAccessTokenLive(tokens.accessToken));
    EXPECT_EQ(refresh(*client, rotated).status, 400);
    EXPECT_EQ(client->get(webUrl("/graph/v1.0/me/drives"), {"Authorization: Bearer " + access}).status, 401);
    EXPECT_EQ(service->grantCount(), 1u);

    // Other sign-ins are untouched.
    auto other = service->issueTokens();
    EXPECT_EQ(refresh(*client, other.refreshToken).status, 200);
}

TEST_F(localservice_identity, EveryOtherRouteChecksTheBearerToken) {
    writeFile("a.txt", "a");
    struct Case {
        const char* what;
        std::string authorization;
        long status;
    };
    auto expired = service->issueTokens();
    service->expireAccessToken(expired.accessToken);
    const Case cases[] = {
        {"live", "Authorization: Bearer " + tokens.accessToken, 200},
        {"scheme in lower case", "Authorization: bearer " + tokens.accessToken, 200},
        {"none", "", 401},
        {"unknown", "Authorization: Bearer forged", 401},
        {"refresh token as bearer", "Authorization: Bearer " + tokens.refreshToken, 401},
        {"basic", "Authorization: Basic " + tokens.accessToken, 401},
        {"expired", "Authorization: Bearer " + expired.accessToken, 401},
    };
    const std::string urls[] = {webUrl("/graph/v1.0/me/drives"), davUrl("/a.txt"),
                                mediaUrl("/v1/thumbnail?source=/spaces/d1/a.txt&size=256&crop=0")};
    for (const auto& url : urls) {
        for (const auto& c : cases) {
            std::vector<std::string> headers;
            if (!c.authorization.empty()) headers.push_back(c.authorization);
            auto reply = client->get(url, headers);
            // A live token reaches the route (the text file is not an image: 415).
            long expected = c.status == 200 && url.find("thumbnail") != std::string::npos ? 415 : c.status;
            EXPECT_EQ(reply.status, expected) << c.what << " " << url;
            if (expected == 401) {
                EXPECT_NE(reply.header("www-authenticate").find("Bearer"), std::string::npos);
            }
        }
    }
}

TEST_F(localservice_identity, AccessTokensExpire) {
    service->setAccessTokenLifetime(0s);
    auto shortLived = service->issueTokens();
    EXPECT_FALSE(service->isAccessTokenLive(shortLived.accessToken));
    EXPECT_TRUE(service->isAccessTokenLive(tokens.accessToken));
}


// The authorization endpoint, the sign-in page and the authorization-code grant.

// A verifier and its S256 challenge from the openssl command line (tools/vectors/make_pkce.py).
const std::string kVerifier = "bitSG0CSWiKGfsVzqiUqqM.wOJC17Yj2u3qt4IfmEqU";
const std::string kChallenge = "BRolA4p5t35t13AAFsS2q7hu-MsNt6OJHOz6mz9yNTA";
const std::string kRedirect = "app.nimbuscrate:/oauthredirect";

std::string authUrl(const std::string& query) {
    return identityUrl("/realms/nimbuscrate/protocol/openid-connect/auth?" + query);
}

std::string goodQuery(const std::string& challenge = kChallenge, const std::string& state = "st4te") {
    return "client_id=nimbuscrate-desktop&redirect_uri=app.nimbuscrate%3A%2Foauthredirect&response_type=code"
           "&scope=openid%20profile%20email%20offline_access&code_challenge=" + challenge +
           "&code_challenge_method=S256&state=" + state;
}

// The hidden "login" field of the sign-in page.
std::string loginField(const std::string& page) {
    const std::string marker = "name=\"login\" value=\"";
    auto start = page.find(marker);
    if (start == std::string::npos) return "";
    start += marker.size();
    return page.substr(start, page.find('"', start) - start);
}

class localservice_signin : public ServiceTest {
protected:
    // Opens the sign-in page and presses "Sign in"; returns the redirect's Location.
    std::string signInAndGetCallback(const std::string& query = goodQuery()) {
        auto page = client->get(authUrl(query));
        EXPECT_EQ(page.status, 200) << page.body;
        EXPECT_NE(page.body.find(IdentityProvider::kDemoUser), std::string::npos);
        auto pressed = client->send("POST", identityUrl(IdentityProvider::kSignInPath), {kForm},
                                    "login=" + loginField(page.body));
        EXPECT_EQ(pressed.status, 302) << pressed.body;
        return pressed.header("location");
    }
    static std::string codeOf(const std::string& location) {
        auto start = location.find("code=");
        if (start == std::string::npos) return "";
        start += 5;
        return location.substr(start, location.find('&', start) - start);
    }
    Reply exchange(const std::string& code, const std::string& verifier = kVerifier,
                   const std::string& redirect = "app.nimbuscrate%3A%2Foauthredirect") {
        return client->send("POST", tokenUrl(), {kForm},
                            "grant_type=authorization_code&client_id=nimbuscrate-desktop&redirect_uri=" + redirect +
                                "&code=" + code + "&code_verifier=" + verifier);
    }
};

TEST_F(localservice_signin, SignInGivesASingleUseCodeThatTheVerifierExchangesForTokens) {
    const std::string location = signInAndGetCallback();
    ASSERT_EQ(location.rfind(kRedirect + "?code=", 0), 0u) << location;
    EXPECT_NE(location.find("&state=st4te"), std::string::npos) << location;
    const std::string code = codeOf(location);
    ASSERT_FALSE(code.empty());

    auto reply = exchange(code);
    ASSERT_EQ(reply.status, 200) << reply.body;
    auto body = nlohmann::json::parse(reply.body);
    EXPECT_TRUE(service->isAccessTokenLive(body["access_token"]));
    EXPECT_TRUE(service->isRefreshTokenLive(body["refresh_token"]));
    const auto checks = service->identityProvider().verifierChecks();
    ASSERT_EQ(checks.size(), 1u);
    EXPECT_EQ(checks[0].verifier, kVerifier);
    EXPECT_EQ(checks[0].computedChallenge, kChallenge);
    EXPECT_TRUE(checks[0].matched);
    EXPECT_EQ(service->identityProvider().codeGrantCount(), 1u);
    EXPECT_EQ(service->identityProvider().authorizationQueries(), std::vector<std::string>{goodQuery()});

    // Presented again, the code fails and what it gave is revoked.
    auto again = exchange(code);
    EXPECT_EQ(again.status, 400);
    EXPECT_EQ(errorOf(again), "invalid_grant");
    EXPECT_FALSE(service->isAccessTokenLive(body["access_token"]));
}

TEST_F(localservice_signin, BadAuthorizationRequestsAreRefused) {
    struct Case {
        const char* what;
        std::string query;
    };
    const std::string other = "code_challenge=" + kChallenge + "&code_challenge_method=S256&state=s";
    const Case cases[] = {
        {"other client", "client_id=other&redirect_uri=app.nimbuscrate%3A%2Foauthredirect&response_type=code&" + other},
        {"other redirect", "client_id=nimbuscrate-desktop&redirect_uri=https%3A%2F%2Fevil.example%2F&response_type=code&" + other},
        {"token response", "client_id=nimbuscrate-desktop&redirect_uri=app.nimbuscrate%3A%2Foauthredirect&response_type=token&" + other},
        {"plain method", goodQuery() + "&code_challenge_method=plain"},
        {"no method", "client_id=nimbuscrate-desktop&redirect_uri=app.nimbuscrate%3A%2Foauthredirect&response_type=code&code_challenge=" + kChallenge},
        {"short challenge", goodQuery(kChallenge.substr(1))},
        {"long challenge", goodQuery(kChallenge + "A")},
        {"challenge not base64url", goodQuery(kChallenge.substr(1) + ".")},
        {"no challenge", "client_id=nimbuscrate-desktop&redirect_uri=app.nimbuscrate%3A%2Foauthredirect&response_type=code&code_challenge_method=S256"},
    };
    for (const Case& c : cases) {
        auto reply = client->get(authUrl(c.query));
        EXPECT_EQ(reply.status, 400) << c.what << ": " << reply.body;
        EXPECT_EQ(loginField(reply.body), "") << c.what;
    }
    // Every request is recorded as it came, refused or not.
    EXPECT_EQ(service->identityProvider().authorizationQueries().size(), std::size(cases));
    EXPECT_EQ(client->send("POST", identityUrl(IdentityProvider::kSignInPath), {kForm}, "login=unknown").status, 400);
}

TEST_F(localservice_signin, BadCodeGrantsAreRefused) {
    struct Case {
        const char* what;
        std::function<Reply(const std::string& code)> send;
        std::string error;
        bool reachesCheck;
    };
    const std::string tooLong(129, 'a');
    const std::vector<Case> cases = {
        {"wrong verifier", [&](const std::string& code) { return exchange(code, std::string(43, 'a')); }, "invalid_grant", true},
        {"verifier of 42", [&](const std::string& code) { return exchange(code, kVerifier.substr(1)); }, "invalid_request", false},
        {"verifier of 129", [&](const std::string& code) { return exchange(code, tooLong); }, "invalid_request", false},
        {"verifier with %", [&](const std::string& code) { return exchange(code, kVerifier.substr(1) + "%25"); }, "invalid_request", false},
        {"other redirect", [&](const std::string& code) { return exchange(code, kVerifier, "app.nimbuscrate%3A%2Fother"); }, "invalid_grant", false},
        {"unknown code", [&](const std::string&) { return exchange("nope"); }, "invalid_grant", false},
        {"no verifier", [&](const std::string& code) {
             return client->send("POST", tokenUrl(), {kForm},
                                 "grant_type=authorization_code&client_id=nimbuscrate-desktop&redirect_uri=app.nimbuscrate%3A%2Foauthredirect&code=" + code);
         }, "invalid_request", false},
        {"no redirect", [&](const std::string& code) {
             return client->send("POST", tokenUrl(), {kForm},
                                 "grant_type=authorization_code&client_id=nimbuscrate-desktop&code=" + code + "&code_verifier=" + kVerifier);
         }, "invalid_request", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::size_t checksBefore = service->identityProvider().verifierChecks().size();
        const std::string code = codeOf(signInAndGetCallback());
        auto reply = c.send(code);
        EXPECT_EQ(reply.status, 400) << reply.body;
        EXPECT_EQ(errorOf(reply), c.error);
        const auto checks = service->identityProvider().verifierChecks();
        EXPECT_EQ(checks.size(), checksBefore + (c.reachesCheck ? 1 : 0));
        if (c.reachesCheck) {
            EXPECT_FALSE(checks.back().matched);
        }
    }
    EXPECT_EQ(service->identityProvider().codeGrantCount(), 0u);
}

TEST_F(localservice_signin, CodesExpire) {
    service->identityProvider().setCodeLifetime(0ms);
    auto reply = exchange(codeOf(signInAndGetCallback()));
    EXPECT_EQ(reply.status, 400);
    EXPECT_EQ(errorOf(reply), "invalid_grant");
    EXPECT_NE(reply.body.find("expired"), std::string::npos) << reply.body;
}

TEST_F(localservice_signin, KnobsShapeTheCallback) {
    struct Case {
        SignInOutcome outcome;
        std::string expected;  // the query, with "C" for a fresh code
    };
    const Case cases[] = {
        {SignInOutcome::deny, "error=access_denied&error_description=The%20user%20denied%20access.&state=st4te"},
        {SignInOutcome::wrongState, "code=C&state=st4tex"},
        {SignInOutcome::noCode, "state=st4te"},
        {SignInOutcome::bareCode, "code&state=st4te"},
        {SignInOutcome::duplicateCode, "code=C&code=C&state=st4te"},
        {SignInOutcome::duplicateState, "code=C&state=st4te&state=st4te"},
    };
    for (const Case& c : cases) {
        service->identityProvider().setSignInOutcome(c.outcome);
        std::string query = signInAndGetCallback().substr(kRedirect.size() + 1);
        // Replace each code value by "C".
        for (std::size_t at = query.find("code="); at != std::string::npos; at = query.find("code=", at + 6)) {
            query.replace(at + 5, query.find('&', at) - at - 5, "C");
        }
        EXPECT_EQ(query, c.expected) << static_cast<int>(c.outcome);
    }
}
}  // namespace
}  // namespace nimbuscrate::localservice::testing
