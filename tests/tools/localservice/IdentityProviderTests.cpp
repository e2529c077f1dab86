// The identity provider's token endpoint and the bearer check of the other routes.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/tools/localservice/ServiceFixture.h"

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

}  // namespace
}  // namespace nimbuscrate::localservice::testing
