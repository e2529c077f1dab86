// TLS listener, routing by host, the request log and the fault knobs.

#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "tests/tools/localservice/ServiceFixture.h"

namespace nimbuscrate::localservice::testing {
namespace {

using namespace std::chrono_literals;
using localservice_core = ServiceTest;

std::string drivesUrl() { return webUrl("/graph/v1.0/me/drives"); }

TEST_F(localservice_core, TlsIsTrustedThroughTheGeneratedCaOnly) {
    auto trusted = client->get(drivesUrl(), {bearer()});
    EXPECT_EQ(trusted.result, CURLE_OK);
    EXPECT_EQ(trusted.status, 200);

    Call untrusted;
    untrusted.url = drivesUrl();
    untrusted.trustServiceCa = false;
    EXPECT_EQ(client->perform(untrusted).result, CURLE_PEER_FAILED_VERIFICATION);
}

TEST_F(localservice_core, CertificateNamesEveryServedHost) {
    std::ifstream in(service->caCertificateFile());
    std::stringstream pem;
    pem << in.rdbuf();
    EXPECT_NE(pem.str().find("BEGIN CERTIFICATE"), std::string::npos);
    // Every host (and localhost) verifies against the CA.
    for (const auto& host : {identityHost(), webAppHost(), mediaHost(), accountApiHost(), controlPanelHost(),
                             std::string("localhost")}) {
        auto reply = client->get("https://" + host + "/");
        EXPECT_EQ(reply.result, CURLE_OK) << host;
    }
    auto byAddress = client->get("https://127.0.0.1:" + std::to_string(service->port()) + "/");
    EXPECT_EQ(byAddress.result, CURLE_OK);
    EXPECT_EQ(byAddress.status, 421);
}

TEST_F(localservice_core, AddressAndEnvironment) {
    EXPECT_EQ(service->address(), "127.0.0.1:" + std::to_string(service->port()));
    EXPECT_GT(service->port(), 0);
    service->useForThisProcess();
    EXPECT_EQ(std::string(std::getenv("NIMBUSCRATE_DEV_SERVICE")), service->address());
    EXPECT_EQ(std::string(std::getenv("NIMBUSCRATE_DEV_CA_FILE")), service->caCertificateFile().string());
    ::unsetenv("NIMBUSCRATE_DEV_SERVICE");
    ::unsetenv("NIMBUSCRATE_DEV_CA_FILE");
}

TEST_F(localservice_core, RoutesByHost) {
    struct Case {
        std::string url;
        bool withToken;
        long status;
    };
    const Case cases[] = {
        {drivesUrl(), true, 200},
        {drivesUrl(), false, 401},
        {"https://" + mediaHost() + "/graph/v1.0/me/drives", true, 404},
        {"https://" + identityHost() + "/graph/v1.0/me/drives", true, 404},
        {"https://" + accountApiHost() + "/graph/v1.0/me/drives", true, 404},
        {"https://unknown.example/graph/v1.0/me/drives", true, 421},
        {webUrl("/nothing/here"), true, 404},
    };
    for (const auto& c : cases) {
        std::vector<std::string> headers;
        if (c.withToken) headers.push_back(bearer());
        if (c.url.find("unknown.example") != std::string::npos) {
            // Same connection, foreign Host header.
            headers.push_back("Host: unknown.example");
        }
        std::string url = c.url;
        if (url.find("unknown.example") != std::string::npos) url = drivesUrl();
        auto reply = client->get(url, headers);
        EXPECT_EQ(reply.result, CURLE_OK) << c.url;
        EXPECT_EQ(reply.status, c.status) << c.url;
    }
}

TEST_F(localservice_core, LogRecordsWhatReachedTheServer) {
    service->requests().clear();
    client->send("PUT", davUrl("/A%20B/c%2Bd.txt?x=1&y=a%2Bb+c&empty="),
                 {bearer(), "Content-Type: application/octet-stream", "X-Test: One"}, "hello");
    ASSERT_TRUE(service->requests().waitFor(1, 5s));
    auto all = service->requests().all();
    ASSERT_EQ(all.size(), 1u);
    const auto& request = all.front();
    EXPECT_EQ(request.method, "PUT");
    EXPECT_EQ(request.host, webAppHost());
    EXPECT_EQ(request.path, "/dav/spaces/d1/A B/c+d.txt");
    EXPECT_EQ(request.target, "/dav/spaces/d1/A%20B/c%2Bd.txt?x=1&y=a%2Bb+c&empty=");
    ASSERT_EQ(request.query.size(), 3u);
    EXPECT_EQ(request.queryValue("y"), "a+b c");
    EXPECT_EQ(request.queryValue("empty"), "");
    EXPECT_EQ(request.header("x-test"), "One");
    EXPECT_EQ(request.headers.value("CONTENT-TYPE"), "application/octet-stream");
    EXPECT_FALSE(request.headers.has("Expect"));
    EXPECT_EQ(request.bodyLength, 5u);
    EXPECT_EQ(request.body, "hello");

    EXPECT_EQ(service->requests().matching("put", "/dav/spaces/d1/A B").size(), 1u);
    EXPECT_TRUE(service->requests().matching("GET", "/").empty());
    EXPECT_TRUE(service->requests().matching("", "/other").empty());
    service->requests().clear();
    EXPECT_EQ(service->requests().size(), 0u);
    EXPECT_FALSE(service->requests().waitFor(1, 10ms));
}

TEST_F(localservice_core, LogKeepsTheFirstMebibyteOfALargeBody) {
    std::string body(RecordedRequest::kBodyKept + 1000, 'x');
    body[RecordedRequest::kBodyKept] = 'y';
    service->requests().clear();
    auto reply = client->send("PUT", davUrl("/big.bin"), {bearer(), "Content-Type: application/octet-stream"}, body);
    EXPECT_EQ(reply.status, 201);
    auto logged = service->requests().all().at(0);
    EXPECT_EQ(logged.bodyLength, body.size());
    EXPECT_EQ(logged.body.size(), RecordedRequest::kBodyKept);
    EXPECT_TRUE(logged.bodyTruncated);
    EXPECT_EQ(readFile("big.bin"), body);
}

TEST_F(localservice_core, StatusOverrideForTheNextCalls) {
    service->overrideStatus({"GET", webAppHost(), "/graph/"}, 503, 2, R"({"raw":true})");
    for (int i = 0; i < 2; ++i) {
        auto reply = client->get(drivesUrl(), {bearer()});
        EXPECT_EQ(reply.status, 503);
        EXPECT_EQ(reply.body, R"({"raw":true})");
        EXPECT_EQ(reply.header("content-type"), "application/json");
    }
    EXPECT_EQ(client->get(drivesUrl(), {bearer()}).status, 200);
}

TEST_F(localservice_core, ReplyOverrideWritesStatusFieldsBodyAndFraming) {
    struct Case {
        const char* name;
        ReplyOverride reply;
    };
    const std::string large(300000, 'L');
    const Case cases[] = {
        {"redirect", {302, {{"Location", "/elsewhere"}, {"X-OC-MTime", "accepted"}}, "moved", false}},
        {"chunked", {200, {{"Content-Type", "text/plain"}}, large, true}},
        {"chunked and empty", {404, {}, "", true}},
        {"no fields", {200, {}, "plain", false}},
    };
    for (const auto& c : cases) {
        // No token needed: the override answers before any route's checks.
        service->overrideReply({"GET", webAppHost(), "/graph/"}, c.reply);
        auto reply = client->get(drivesUrl());
        EXPECT_EQ(reply.result, CURLE_OK) << c.name;
        EXPECT_EQ(reply.status, c.reply.status) << c.name;
        EXPECT_EQ(reply.body, c.reply.body) << c.name;
        for (const auto& [name, value] : c.reply.headers) {
            std::string lower = name;
            for (auto& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            EXPECT_EQ(reply.header(lower), value) << c.name << " " << name;
        }
        EXPECT_EQ(reply.header("transfer-encoding"), c.reply.chunked ? "chunked" : "") << c.name;
        EXPECT_EQ(reply.header("content-length"), c.reply.chunked ? "" : std::to_string(c.reply.body.size()))
            << c.name;
        // Used up: the route answers for itself again.
        EXPECT_EQ(client->get(drivesUrl()).status, 401) << c.name;
    }
}

TEST_F(localservice_core, ChunkedSlowBodyArrivesOneChunkAtATime) {
    service->overrideReply({"GET", "", "/graph/"}, {200, {}, std::string(1000, 'c'), true});
    service->slowBody({"GET", "", "/graph/"}, 100, 20ms);
    auto reply = client->get(drivesUrl());
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, std::string(1000, 'c'));
    EXPECT_EQ(reply.header("transfer-encoding"), "chunked");
    EXPECT_GE(reply.writeCalls, 10u);
}

TEST_F(localservice_core, CountedKnobsAreUsedInTheOrderTheyWereSet) {
    const Route route{"GET", "", "/graph/"};
    service->overrideStatus(route, 503, 1);
    service->overrideReply(route, {200, {}, "every call", false}, FaultKnobs::kEveryCall);
    service->overrideStatus(route, 500, 1);  // never reached: the one before it never runs out
    service->overrideStatus(route, 418, 0);  // no calls: ignored
    EXPECT_EQ(client->get(drivesUrl()).status, 503);
    for (int i = 0; i < 5; ++i) {
        auto reply = client->get(drivesUrl());
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.body, "every call");
    }
    service->clearFaults();
    EXPECT_EQ(client->get(drivesUrl()).status, 401);

    service->dropConnection(route, FaultKnobs::kEveryCall);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(client->get(drivesUrl()).result, CURLE_GOT_NOTHING);
}

TEST_F(localservice_core, LogNumbersTheConnectionOfEachRequest) {
    service->requests().clear();
    const std::uint64_t before = service->connectionsAccepted();
    Call call;
    call.url = drivesUrl();
    call.headers = {bearer()};
    auto replies = client->performInOrder({call, call, call});
    ASSERT_EQ(replies.size(), 3u);
    for (const auto& reply : replies) EXPECT_EQ(reply.status, 200);
    client->get(drivesUrl(), {bearer()});  // a handle of its own: a new connection

    auto all = service->requests().all();
    ASSERT_EQ(all.size(), 4u);
    EXPECT_GT(all[0].connection, 0u);
    EXPECT_EQ(all[1].connection, all[0].connection);
    EXPECT_EQ(all[2].connection, all[0].connection);
    EXPECT_GT(all[3].connection, all[0].connection);
    EXPECT_EQ(service->connectionsAccepted(), before + 2);
    EXPECT_EQ(all[3].connection, service->connectionsAccepted());
}

TEST_F(localservice_core, LogKeepsADigestOfTheWholeBody) {
    struct Case {
        std::string body;
        std::string digest;
    };
    // Digests from FIPS 180-2 (the last arrives in many reads).
    const Case cases[] = {
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        service->requests().clear();
        client->send("PUT", davUrl("/digest.bin"), {bearer(), "Content-Type: application/octet-stream"}, c.body);
        auto all = service->requests().all();
        ASSERT_EQ(all.size(), 1u);
        EXPECT_EQ(all[0].bodyLength, c.body.size());
        EXPECT_EQ(all[0].bodySha256, c.digest) << c.body.size();
    }
}

TEST_F(localservice_core, KnobsOnlyTouchTheirRoute) {
    struct Case {
        Route route;
        bool applies;
    };
    const Case cases[] = {
        {{"", "", ""}, true},
        {{"get", "", "/graph"}, true},
        {{"POST", "", "/graph"}, false},
        {{"", mediaHost(), ""}, false},
        {{"", webAppHost(), "/dav"}, false},
    };
    for (const auto& c : cases) {
        service->clearFaults();
        service->overrideStatus(c.route, 418);
        auto reply = client->get(drivesUrl(), {bearer()});
        EXPECT_EQ(reply.status, c.applies ? 418 : 200) << c.route.method << " " << c.route.host << " " << c.route.pathPrefix;
    }
}

TEST_F(localservice_core, DelayHoldsTheReplyAtLeastThatLong) {
    service->delay({"", "", "/graph/"}, 300ms);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client->get(drivesUrl(), {bearer()}).status, 200);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
    service->delay({"", "", "/graph/"}, 0ms);
    EXPECT_EQ(client->get(drivesUrl(), {bearer()}).status, 200);
}

TEST_F(localservice_core, HeldRequestWaitsForItsGateWithoutBlockingOthers) {
    auto gate = service->hold({"GET", "", "/graph/"});
    auto held = std::async(std::launch::async, [&] { return client->get(drivesUrl(), {bearer()}); });
    ASSERT_TRUE(gate->waitForArrivals(1, 10s));
    // Another request is served while the first is held.
    writeFile("free.txt", "free");
    auto other = client->get(davUrl("/free.txt"), {bearer()});
    EXPECT_EQ(other.status, 200);
    EXPECT_EQ(held.wait_for(0ms), std::future_status::timeout);
    gate->open();
    EXPECT_EQ(held.get().status, 200);
    EXPECT_EQ(gate->arrivals(), 1u);
}

TEST_F(localservice_core, StoppingReleasesHeldRequests) {
    auto gate = service->hold({"", "", "/graph/"});
    auto held = std::async(std::launch::async, [&] { return client->get(drivesUrl(), {bearer()}); });
    ASSERT_TRUE(gate->waitForArrivals(1, 10s));
    service.reset();
    auto reply = held.get();
    EXPECT_NE(reply.result, CURLE_OK);
}

TEST_F(localservice_core, DroppedConnectionSendsNoReply) {
    service->dropConnection({"", "", "/graph/"}, 1);
    auto dropped = client->get(drivesUrl(), {bearer()});
    EXPECT_EQ(dropped.result, CURLE_GOT_NOTHING);
    EXPECT_EQ(service->requests().matching("GET", "/graph/").size(), 1u);
    EXPECT_EQ(client->get(drivesUrl(), {bearer()}).status, 200);
}

TEST_F(localservice_core, SlowBodyArrivesWholeInPieces) {
    std::string contents(4000, 'a');
    for (std::size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<char>('a' + i % 26);
    writeFile("slow.txt", contents);
    service->slowBody({"GET", "", "/dav/"}, 1000, 150ms);
    auto start = std::chrono::steady_clock::now();
    auto reply = client->get(davUrl("/slow.txt"), {bearer()});
    EXPECT_GE(std::chrono::steady_clock::now() - start, 450ms);  // three pauses between four pieces
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, contents);
}

TEST_F(localservice_core, MalformedRequestTargetIsRefused) {
    auto reply = client->get(davUrl("/bad%zzescape"), {bearer()});
    EXPECT_EQ(reply.status, 400);
}

}  // namespace
}  // namespace nimbuscrate::localservice::testing
