// The request core of the encryption client against the local service.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "platform/core/CancellationError.h"
#include "platform/http/TransportError.h"
#include "shared/encryption/JSONReadError.h"
#include "tests/shared/encryption-client/E2EEClientFixture.h"

namespace nimbuscrate {
namespace {

using localservice::ReplyOverride;
using localservice::Route;
using namespace std::chrono_literals;
using testing::e2eeErrorOf;
using testing::kAccountHost;

constexpr std::size_t kCap = E2EEClient::kMaxReplyBytes;

// A JSON text of exactly `size` bytes: {"pad":"xxx..."}.
std::string jsonOfSize(std::size_t size) {
    const std::string frame = R"({"pad":""})";
    return R"({"pad":")" + std::string(size - frame.size(), 'x') + R"("})";
}

class E2EEClientRequest : public testing::E2EEClientFixture {
protected:
    void SetUp() override {
        LocalServiceFixture::SetUp();
        if (IsSkipped()) return;
        session = signIn();
        client = makeClient();
    }

    void answer(const std::string& path, ReplyOverride reply, int times = 1) {
        service.overrideReply(Route{"", kAccountHost, "/api/v1/" + path}, std::move(reply), times);
    }

    DesktopSession session;
    std::unique_ptr<E2EEClient> client;
};

TEST_F(E2EEClientRequest, SendsExactlyItsHeadersAndTheCanonicalBody) {
    answer("probe", ReplyOverride{200, {{"Content-Type", "application/json"}}, R"({"ok":true})"}, 3);

    const E2EEJSON got = client->requestJSON("probe", "GET", std::nullopt);
    EXPECT_EQ(got, E2EEJSON::object({{"ok", true}}));
    const E2EEJSON body = E2EEJSON::object({{"b", 2}, {"a", E2EEJSON::array({"x", nullptr})}});
    client->requestJSON("probe", "POST", body);
    client->requestJSON("probe", "PUT", std::nullopt, HttpHeaders{{"accept", "text/plain"}, {"X-Extra", "1"}});

    const auto requests = accountRequests();
    ASSERT_EQ(requests.size(), 3u);
    const std::string bearer = "Bearer " + session.tokens.accessToken;
    {
        SCOPED_TRACE("GET without body");
        const auto& get = requests[0];
        EXPECT_EQ(get.method, "GET");
        EXPECT_EQ(get.path, "/api/v1/probe");
        EXPECT_EQ(get.header("Authorization"), bearer);
        EXPECT_EQ(get.header("Accept"), "application/json");
        EXPECT_EQ(get.header("User-Agent"), "Nimbuscrate-macOS/1.1");
        EXPECT_FALSE(get.headers.has("Content-Type"));
        EXPECT_FALSE(get.headers.has("Expect"));
        EXPECT_EQ(get.bodyLength, 0u);
    }
    {
        SCOPED_TRACE("POST with body");
        const auto& post = requests[1];
        EXPECT_EQ(post.method, "POST");
        EXPECT_EQ(post.header("Content-Type"), "application/json");
        EXPECT_EQ(post.headers.count("Content-Type"), 1u);
        EXPECT_EQ(post.body, R"({"a":["x",null],"b":2})");
        EXPECT_FALSE(post.headers.has("Expect"));
        EXPECT_EQ(post.headers.count("Accept"), 1u);
    }
    {
        SCOPED_TRACE("caller headers replace the defaults");
        const auto& put = requests[2];
        EXPECT_EQ(put.method, "PUT");
        EXPECT_EQ(put.headers.count("Accept"), 1u);
        EXPECT_EQ(put.header("Accept"), "text/plain");
        EXPECT_EQ(put.header("X-Extra"), "1");
        EXPECT_FALSE(put.headers.has("Content-Type"));
        EXPECT_EQ(put.header("Authorization"), bearer);
    }
}

TEST_F(E2EEClientRequest, EmptySuccessfulRepliesAreEmptyObjects) {
    answer("empty", ReplyOverride{204, {}, ""});
    answer("empty", ReplyOverride{200, {}, ""});
    answer("empty", ReplyOverride{201, {}, "", /*chunked=*/true});
    for (int i = 0; i < 3; ++i) EXPECT_EQ(client->requestJSON("empty", "POST", std::nullopt), E2EEJSON::object());
}

TEST_F(E2EEClientRequest, StatusesMapToTheirErrors) {
    struct Case {
        int status;
        std::string body;
    };
    const Case cases[] = {{409, R"({"error":"stale"})"}, {409, "not json"}, {500, "boom"}, {401, ""}, {404, "{}"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        answer("status", ReplyOverride{c.status, {}, c.body});
        try {
            client->requestJSON("status", "GET", std::nullopt);
            ADD_FAILURE() << "no error";
        } catch (const E2EEError& error) {
            EXPECT_EQ(c.status, 409);
            EXPECT_EQ(error.kind(), E2EEError::Case::conflict);
        } catch (const DesktopError& error) {
            EXPECT_EQ(error, DesktopError::server(c.status, E2EEClient::kServerFailureMessage));
            EXPECT_EQ(error.errorDescription(),
                      "Nimbuscrate request failed (" + std::to_string(c.status) +
                          "): The encryption service could not complete this request.");
        }
    }
}

TEST_F(E2EEClientRequest, ASuccessfulReplyThatIsNotJSONFailsWithTheReadersError) {
    answer("bad", ReplyOverride{200, {}, "{\"a\":"});
    EXPECT_THROW(client->requestJSON("bad", "GET", std::nullopt), JSONReadError);
}

TEST_F(E2EEClientRequest, RedirectsAreNeverFollowed) {
    const std::string target = "https://" + std::string(NIMBUSCRATE_MEDIA_HOST) + "/elsewhere";
    for (int status : {301, 302, 307, 308}) {
        SCOPED_TRACE(status);
        service.requests().clear();
        answer("moved", ReplyOverride{status, {{"Location", target}}, ""});
        const auto error = testing::desktopErrorOf([&] { client->requestJSON("moved", "POST", E2EEJSON::object()); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->kind(), DesktopError::Kind::server);
        EXPECT_EQ(error->status(), status);
        // The target never saw a request, let alone the token.
        const auto all = service.requests().all();
        ASSERT_EQ(all.size(), 1u);
        EXPECT_EQ(all[0].host, kAccountHost);
    }
}

TEST_F(E2EEClientRequest, ARedirectToASecondHostReachesNothingThere) {
    auto& api = service.accountApi();
    api.redirectToSecondHost(Route{"", kAccountHost, "/api/v1/e2ee/account"}, 2);
    for (const std::string method : {"GET", "POST"}) {
        SCOPED_TRACE(method);
        const auto error = testing::desktopErrorOf([&] { client->requestJSON("e2ee/account", method, std::nullopt); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->status(), 302);
    }
    EXPECT_EQ(api.secondHostConnections(), 0u);
    EXPECT_EQ(api.secondHostRequests(), 0u);
}

TEST_F(E2EEClientRequest, RepliesUpToTheCapAreReadAndOneByteMoreFails) {
    struct Case {
        std::size_t size;
        bool chunked;
        bool accepted;
    };
    const Case cases[] = {
        {kCap, false, true},
        {kCap, true, true},
        {kCap + 1, false, false},
        {kCap + 1, true, false},
        {8 * kCap, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + (c.chunked ? " chunked" : " with length"));
        answer("big", ReplyOverride{200, {{"Content-Type", "application/json"}}, jsonOfSize(c.size), c.chunked});
        if (c.accepted) {
            const E2EEJSON got = client->requestJSON("big", "GET", std::nullopt);
            EXPECT_EQ(got.member("pad").stringValue()->size(), c.size - 10);
        } else {
            EXPECT_EQ(e2eeErrorOf([&] { client->requestJSON("big", "GET", std::nullopt); }),
                      E2EEError::Case::invalid);
        }
    }
}

TEST_F(E2EEClientRequest, ARefusedPathSendsNothing) {
    const std::string refused[] = {
        "",
        "/e2ee/account",
        "//evil.example/api/v1/e2ee/account",
        "https://evil.example/api/v1/e2ee/account",
        "https:e2ee/account",
        "e2ee:account",
        "..",
        "../v2/e2ee/account",
        "e2ee/../../admin",
        "e2ee/..",
        "./e2ee/account",
        "e2ee/./account",
        "e2ee//account",
        "e2ee/account/",
        "%2e%2e/admin",
        "e2ee/%2E%2E/x",
        "e2ee\\..\\admin",
        "e2ee/acc ount",
        "e2ee/account#fragment",
        "e2ee/account?after=a#b",
        "e2ee/account?after=a b",
        "e2ee/account?after=%zz",
        "e2ee/account?after=\xc3\xa9",
        "?after=x",
        "e2ee/\xc3\xa9",
    };
    for (const std::string& path : refused) {
        SCOPED_TRACE(path);
        EXPECT_EQ(e2eeErrorOf([&] { client->requestJSON(path, "GET", std::nullopt); }), E2EEError::Case::invalid);
    }
    EXPECT_EQ(service.requests().size(), 0u);
    EXPECT_EQ(tokenCalls, 0);
}

TEST_F(E2EEClientRequest, RelativePathsAndEncodedQueriesStayUnderTheBase) {
    answer("e2ee/nodes", ReplyOverride{200, {}, R"({"items":[],"next":""})"}, 2);
    client->requestJSON("e2ee/nodes?after=a%2Fb%3D%7E", "GET", std::nullopt);
    client->requestJSON("e2ee/nodes?after=", "GET", std::nullopt);
    const auto requests = accountRequests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].path, "/api/v1/e2ee/nodes");
    EXPECT_EQ(requests[0].target, "/api/v1/e2ee/nodes?after=a%2Fb%3D%7E");
    EXPECT_EQ(requests[0].queryValue("after"), "a/b=~");
    EXPECT_EQ(requests[1].queryValue("after"), "");
    EXPECT_EQ(client->requestURL("e2ee/account").string(), accountAPIURL().string() + "e2ee/account");
}

TEST_F(E2EEClientRequest, ASessionReplacedDuringTheTokenFetchSendsNothing) {
    setTokenHook([this] { signIn(); });
    EXPECT_EQ(e2eeErrorOf([&] { client->requestJSON("probe", "GET", std::nullopt); }),
              E2EEError::Case::sessionChanged);
    EXPECT_EQ(accountRequests().size(), 0u);
}

TEST_F(E2EEClientRequest, ASessionReplacedWhileTheReplyRunsDiscardsEvenASuccess) {
    answer("slow", ReplyOverride{200, {}, R"({"ok":true})"});
    const auto gate = service.hold(Route{"", kAccountHost, "/api/v1/slow"});
    auto call = std::async(std::launch::async, [&] {
        return e2eeErrorOf([&] { client->requestJSON("slow", "GET", std::nullopt); });
    });
    ASSERT_TRUE(gate->waitForArrivals(1, 30s));
    signIn();  // a new sign-in while the server works
    gate->open();
    EXPECT_EQ(call.get(), E2EEError::Case::sessionChanged);
    EXPECT_EQ(accountRequests().size(), 1u);
}

TEST_F(E2EEClientRequest, WithoutASessionNothingIsSent) {
    store.deleteItem();
    const auto error = testing::desktopErrorOf([&] { client->requestJSON("probe", "GET", std::nullopt); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), DesktopError::Kind::notAuthenticated);
    EXPECT_EQ(service.requests().size(), 0u);
}

TEST_F(E2EEClientRequest, TheIdleTimeOutAndTheStopTokenEndARequest) {
    const auto gate = service.hold(Route{"", kAccountHost, "/api/v1/held"});
    try {
        client->requestJSON("held", "GET", std::nullopt, {}, 1.0);
        ADD_FAILURE() << "no error";
    } catch (const TransportError& error) {
        EXPECT_EQ(error.kind(), TransportError::Kind::timedOut);
    }

    std::stop_source stop;
    auto call = std::async(std::launch::async, [&] {
        client->requestJSON("held", "GET", std::nullopt, {}, 60, stop.get_token());
    });
    ASSERT_TRUE(gate->waitForArrivals(2, 30s));
    stop.request_stop();
    EXPECT_THROW(call.get(), CancellationError);
    gate->open();
}

}  // namespace
}  // namespace nimbuscrate
