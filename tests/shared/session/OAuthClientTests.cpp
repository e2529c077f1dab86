#include <gtest/gtest.h>

#include <algorithm>

#include "platform/http/ReplyDecodingError.h"
#include "platform/http/TransportError.h"
#include "shared/session/DesktopError.h"
#include "shared/session/OAuthClient.h"
#include "shared/session/ServiceEndpoints.h"
#include "tests/support/LocalServiceFixture.h"

namespace nimbuscrate {
namespace {

using localservice::Route;

const char* kTokenPath = "/realms/nimbuscrate/protocol/openid-connect/token";

TEST(OAuthClientFormTest, EncodesEveryCharacterOutsideTheFormSet) {
    struct Case {
        std::string value;
        std::string encoded;
    };
    const Case cases[] = {
        {"a b", "a%20b"},
        {"a+b", "a%2Bb"},
        {"a&b=c", "a%26b%3Dc"},
        {"100%", "100%25"},
        {"AZaz09-._~!$'()*,;:@/?", "AZaz09-._~!$'()*,;:@/?"},
        {"caf\xC3\xA9", "caf%C3%A9"},
        {"#[]\"<>\\^`{|}", "%23%5B%5D%22%3C%3E%5C%5E%60%7B%7C%7D"},
        {"", ""},
    };
    for (const Case& c : cases) {
        const auto pairs = OAuthClient::formEncoded({{"k", c.value}});
        ASSERT_EQ(pairs.size(), 1u);
        EXPECT_EQ(pairs[0], "k=" + c.encoded) << c.value;
    }
    EXPECT_EQ(OAuthClient::formEncoded({{"a key", "v"}}), std::vector<std::string>{"a%20key=v"});
}

TEST(OAuthClientFormTest, TheTokenRequestIsAPostOfSortedPairsWithOnlyAContentType) {
    const HttpRequest request = OAuthClient::makeTokenRequest(
        {{"refresh_token", "r+t=="}, {"grant_type", "refresh_token"}, {"client_id", "nimbuscrate-desktop"}});
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.url.string(), identityRealmURL().string() + "/protocol/openid-connect/token");
    ASSERT_EQ(request.headers.size(), 1u);
    EXPECT_EQ(request.headers.value("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(request.timeoutSeconds, 60);
    EXPECT_EQ(request.redirects, RedirectPolicy::never) << "the body holds the refresh token";
    ASSERT_TRUE(std::holds_alternative<Bytes>(request.body));
    EXPECT_EQ(stringOf(std::get<Bytes>(request.body)),
              "client_id=nimbuscrate-desktop&grant_type=refresh_token&refresh_token=r%2Bt%3D%3D");
}

class OAuthClientTest : public testing::LocalServiceFixture {
protected:
    OAuthClient client{HttpTransport::shared(), store, clock};
};

TEST_F(OAuthClientTest, RefreshReturnsTheNewTokensAndSendsNoUserAgent) {
    const localservice::IssuedTokens issued = service.issueTokens();
    const OAuthTokens tokens = client.refresh(issued.refreshToken);
    EXPECT_TRUE(service.isAccessTokenLive(tokens.accessToken));
    EXPECT_NE(tokens.accessToken, issued.accessToken);
    EXPECT_FALSE(tokens.refreshToken.empty());
    EXPECT_EQ(tokens.expiresAt, clock.now().addingSeconds(3600));

    const auto seen = service.requests().matching("POST", kTokenPath);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].host, NIMBUSCRATE_IDENTITY_HOST);
    EXPECT_EQ(seen[0].header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_FALSE(seen[0].headers.has("User-Agent"));
    EXPECT_FALSE(seen[0].headers.has("Authorization"));
    EXPECT_FALSE(seen[0].headers.has("Accept"));
    EXPECT_FALSE(seen[0].headers.has("Expect"));
    EXPECT_EQ(seen[0].body, "client_id=nimbuscrate-desktop&grant_type=refresh_token&refresh_token=" +
                                OAuthClient::formEncoded({{"", issued.refreshToken}})[0].substr(1));
}

TEST_F(OAuthClientTest, FailedGrantsAndMalformedRepliesAreErrors) {
    const Route token{"POST", "", kTokenPath};
    struct Case {
        const char* name;
        int status;  // 0: the provider's own answer to a dead refresh token
        std::string body;
        enum { server, decoding } expected;
    };
    const std::string valid = R"({"access_token":"a","refresh_token":"r","expires_in":60})";
    const Case cases[] = {
        {"dead refresh token", 0, "", Case::server},
        {"201 with a valid body", 201, valid, Case::server},
        {"500", 500, "broken \xE2\x82", Case::server},
        {"no access_token", 200, R"({"refresh_token":"r","expires_in":60})", Case::decoding},
        {"no expires_in", 200, R"({"access_token":"a"})", Case::decoding},
        {"expires_in as text", 200, R"({"access_token":"a","expires_in":"60"})", Case::decoding},
        {"access_token as number", 200, R"({"access_token":1,"expires_in":60})", Case::decoding},
        {"not JSON", 200, "<html>", Case::decoding},
        {"JSON array", 200, "[]", Case::decoding},
    };
    for (const Case& c : cases) {
        if (c.status != 0) service.overrideStatus(token, c.status, 1, c.body);
        try {
            client.refresh("not-a-live-refresh-token");
            ADD_FAILURE() << c.name << ": no error";
        } catch (const DesktopError& error) {
            EXPECT_EQ(c.expected, Case::server) << c.name;
            EXPECT_EQ(error.kind(), DesktopError::Kind::server) << c.name;
            if (c.status == 0) {
                EXPECT_EQ(error.status(), 400) << c.name;
                EXPECT_NE(error.payload().find("invalid_grant"), std::string::npos) << error.payload();
            } else {
                EXPECT_EQ(error.status(), c.status) << c.name;
                // The whole body, read as UTF-8 with bad sequences replaced.
                EXPECT_EQ(error.payload(), c.status == 500 ? "broken \xEF\xBF\xBD" : c.body) << c.name;
            }
        } catch (const ReplyDecodingError&) {
            EXPECT_EQ(c.expected, Case::decoding) << c.name;
        }
    }
}

TEST_F(OAuthClientTest, AReplyWithoutRefreshTokenKeepsTheStoredOne) {
    const Route token{"POST", "", kTokenPath};
    const std::string body = R"({"access_token":"fresh","expires_in":120.5,"token_type":"Bearer"})";

    // Nothing stored: the empty text.
    service.overrideStatus(token, 200, 1, body);
    EXPECT_EQ(client.refresh("x").refreshToken, "");

    storeSession(DesktopSession::create(OAuthTokens{"old", "stored-refresh", clock.now()}));
    service.overrideStatus(token, 200, 1, body);
    const OAuthTokens kept = client.refresh("x");
    EXPECT_EQ(kept.accessToken, "fresh");
    EXPECT_EQ(kept.refreshToken, "stored-refresh");
    EXPECT_EQ(kept.expiresAt, clock.now().addingSeconds(120.5));

    // Present, even empty, it wins.
    service.overrideStatus(token, 200, 1, R"({"access_token":"a","refresh_token":"","expires_in":1})");
    EXPECT_EQ(client.refresh("x").refreshToken, "");

    // An unreadable store is no reason to fail the grant.
    store.save(bytesOf("not a session"));
    service.overrideStatus(token, 200, 1, body);
    EXPECT_EQ(client.refresh("x").refreshToken, "");
}

TEST_F(OAuthClientTest, AnOversizedReplyFailsAsItArrives) {
    const std::string padding(OAuthClient::kMaxReplyBytes, ' ');
    service.overrideStatus(Route{"POST", "", kTokenPath}, 200, 1,
                           R"({"access_token":"a","expires_in":60,"pad":")" + padding + "\"}");
    try {
        client.refresh("x");
        FAIL();
    } catch (const TransportError& error) {
        EXPECT_EQ(error.kind(), TransportError::Kind::dataTooLarge);
    }
}

TEST_F(OAuthClientTest, AGrantLostInTransportIsNeitherRetriedNorReported) {
    // A first grant leaves an idle connection behind; the next one must not
    // be sent again when the provider hangs up on it.
    client.refresh(service.issueTokens().refreshToken);
    service.dropConnection(Route{"POST", "", kTokenPath}, 1);
    EXPECT_THROW(client.refresh("x"), TransportError);
    EXPECT_EQ(service.requests().matching("POST", kTokenPath).size(), 2u);
}

}  // namespace
}  // namespace nimbuscrate
