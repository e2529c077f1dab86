#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <future>
#include <stdexcept>
#include <thread>

#include "platform/core/CancellationError.h"
#include "platform/http/DevelopmentRoute.h"
#include "platform/http/HttpTransport.h"
#include "platform/http/TransportError.h"
#include "tools/localservice/LocalService.h"

namespace nimbuscrate {
namespace {

using localservice::FaultKnobs;
using localservice::RecordedRequest;
using localservice::ReplyOverride;
using localservice::Route;
using namespace std::chrono_literals;

const std::string kWeb = NIMBUSCRATE_WEBAPP_HOST;
const std::string kMedia = NIMBUSCRATE_MEDIA_HOST;

Url url(const std::string& text) {
    auto parsed = Url::parse(text);
    if (!parsed) throw std::invalid_argument(text);
    return *parsed;
}

HttpRequest request(const std::string& method, const std::string& text) { return HttpRequest(method, url(text)); }

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string headerNames(const localservice::HeaderFields& headers) {
    std::string names;
    for (const auto& [name, value] : headers.fields()) names += (names.empty() ? "" : ",") + name;
    return names;
}

std::string sha256Hex(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr);
    std::string hex;
    char pair[3];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

// The whole body reached the service, byte for byte (the log keeps only the
// first mebibyte itself, and a digest of all of it).
void expectBody(const RecordedRequest& seen, const std::string& body) {
    EXPECT_EQ(seen.bodyLength, body.size()) << seen.method << " " << seen.path;
    EXPECT_EQ(seen.bodySha256, sha256Hex(body)) << seen.method << " " << seen.path;
}

// The transport against the local service: the service's own routes are not
// used, every reply is written by the test through the service's knobs and
// the request log shows what arrived.
class HttpTransportTest : public ::testing::Test {
protected:
    void SetUp() override { DevelopmentRoute::set(service.address(), service.caCertificateFile().string()); }
    void TearDown() override { DevelopmentRoute::clear(); }

    std::filesystem::path temporaryFile(const std::string& name) {
        auto path = std::filesystem::temp_directory_path() /
                    ("nc-http-" + std::to_string(::getpid()) + "-" + name);
        cleanup.push_back(path);
        return path;
    }
    ~HttpTransportTest() override {
        for (const auto& path : cleanup) std::filesystem::remove(path);
    }

    // Every call to `path` (a prefix) on `host` gets `reply`. Answers set
    // first win, so the specific ones go before otherwise().
    void answer(const std::string& host, const std::string& path, ReplyOverride reply) {
        service.overrideReply(Route{"", host, path}, std::move(reply), FaultKnobs::kEveryCall);
    }
    void answer(const std::string& path, ReplyOverride reply) { answer(kWeb, path, std::move(reply)); }
    // Every call no earlier answer took.
    void otherwise(ReplyOverride reply) { answer("", "/", std::move(reply)); }

    std::vector<RecordedRequest> seen() { return service.requests().all(); }

    localservice::LocalService service{localservice::LocalService::Options{}};
    HttpTransport transport;
    std::vector<std::filesystem::path> cleanup;
};

TEST_F(HttpTransportTest, SendsTheHeadersAndMethodExactlyAsGiven) {
    otherwise({200, {}, "ok"});
    // Over 1 MiB: libcurl would ask "Expect: 100-continue" on its own.
    const std::string body(2 * 1024 * 1024, 'x');
    HttpRequest post = request("POST", "https://" + kWeb + "/form");
    post.headers.set("Content-Type", "application/x-www-form-urlencoded");
    post.headers.set("Range", "bytes=2-5");
    post.body = bytesOf(body);
    EXPECT_EQ(transport.send(post).status, 200);

    HttpRequest bare = request("GET", "https://" + kWeb + "/bare");
    EXPECT_EQ(transport.send(bare).status, 200);

    HttpRequest lower = request("propfind", "https://" + kWeb + "/dav/");
    lower.headers.set("Depth", "0");
    EXPECT_EQ(transport.send(lower).status, 200);

    HttpRequest empty = request("PUT", "https://" + kWeb + "/empty.txt");
    empty.body = Bytes{};
    EXPECT_EQ(transport.send(empty).status, 200);

    const auto seen = this->seen();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].method, "POST");
    EXPECT_EQ(headerNames(seen[0].headers), "Host,Content-Type,Range,Content-Length");
    EXPECT_EQ(seen[0].headers.value("Content-Type"), "application/x-www-form-urlencoded");
    expectBody(seen[0], body);
    EXPECT_EQ(seen[1].method, "GET");
    EXPECT_EQ(headerNames(seen[1].headers), "Host");
    EXPECT_EQ(seen[1].host, kWeb);
    EXPECT_EQ(seen[2].method, "propfind");
    EXPECT_EQ(headerNames(seen[2].headers), "Host,Depth");
    EXPECT_EQ(seen[3].method, "PUT");
    EXPECT_EQ(headerNames(seen[3].headers), "Host,Content-Length");
    EXPECT_EQ(seen[3].headers.value("Content-Length"), "0");
}

// A field that holds a line break or NUL would end the header early and let
// the rest of its text (say, a token from a reply) pose as fields of its
// own; such a request never leaves.
TEST_F(HttpTransportTest, HeaderFieldsThatWouldSplitTheRequestAreRefused) {
    otherwise({200, {}, "ok"});
    const std::pair<std::string, std::string> fields[] = {
        {"Authorization", "Bearer a\r\nX-Injected: 1"},
        {"Authorization", "Bearer a\nX-Injected: 1"},
        {"Authorization", "Bearer a\rX-Injected: 1"},
        {"Authorization", std::string("Bearer a\0X-Injected: 1", sizeof "Bearer a\0X-Injected: 1" - 1)},
        {"X-Injected: 1\r\nDepth", "0"},
        {"Bad Name", "x"},
        {"Bad:Name", "x"},
        {"", "x"},
    };
    for (const auto& [name, value] : fields) {
        HttpRequest split = request("GET", "https://" + kWeb + "/split");
        split.headers.set(name, value);
        EXPECT_THROW(transport.send(split), TransportError) << name;
    }
    EXPECT_TRUE(seen().empty());
}

TEST_F(HttpTransportTest, ABodyNeverChangesTheMethod) {
    otherwise({200, {}, "ok"});
    for (const char* method : {"GET", "REPORT", "POST", "PROPFIND"}) {
        HttpRequest withBody = request(method, "https://" + kWeb + "/x");
        withBody.body = bytesOf("<x/>");
        transport.send(withBody);
    }
    const auto seen = this->seen();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].method, "GET");
    EXPECT_EQ(seen[1].method, "REPORT");
    EXPECT_EQ(seen[2].method, "POST");
    EXPECT_EQ(seen[3].method, "PROPFIND");
    for (const auto& r : seen) EXPECT_EQ(r.body, "<x/>") << r.method;
}

TEST_F(HttpTransportTest, ReadsTheBodyFromAFileAndRefusesAMissingOne) {
    otherwise({200, {}, "ok"});
    const auto file = temporaryFile("body.bin");
    std::ofstream(file, std::ios::binary) << std::string(300000, 'b') << "end";
    HttpRequest put = request("PUT", "https://" + kWeb + "/upload.bin");
    put.body = HttpFileBody{file};
    EXPECT_EQ(transport.send(put).status, 200);
    ASSERT_EQ(seen().size(), 1u);
    EXPECT_EQ(seen()[0].body, readFile(file));

    put.body = HttpFileBody{file.string() + ".missing"};
    try {
        transport.send(put);
        FAIL() << "a missing body file must fail";
    } catch (const TransportError& error) {
        EXPECT_EQ(error.kind(), TransportError::Kind::cannotReadBody);
    }
    EXPECT_EQ(seen().size(), 1u) << "nothing is sent without its body";
}

TEST_F(HttpTransportTest, DeliversTheReplyToMemoryFileOrConsumer) {
    const std::string body = "0123456789abcdef" + std::string(100000, 'z');
    answer("/missing", {404, {{"X-OC-MTime", "accepted"}}, body});
    answer("/chunked", {200, {{"X-OC-MTime", "accepted"}}, body, true});
    otherwise({200, {{"X-OC-MTime", "accepted"}}, body});

    const HttpResponse memory = transport.send(request("GET", "https://" + kWeb + "/chunked"));
    EXPECT_EQ(stringOf(memory.body), body);
    EXPECT_EQ(memory.headers.value("x-oc-mtime"), "accepted");

    const auto file = temporaryFile("download.bin");
    const HttpResponse downloaded = transport.download(request("GET", "https://" + kWeb + "/file"), file);
    EXPECT_EQ(downloaded.status, 200);
    EXPECT_TRUE(downloaded.body.empty());
    EXPECT_EQ(readFile(file), body);

    // An error status is a reply like any other; its body lands in the file too.
    const HttpResponse missing = transport.download(request("GET", "https://" + kWeb + "/missing"), file);
    EXPECT_EQ(missing.status, 404);
    EXPECT_EQ(readFile(file), body);

    std::string streamed;
    transport.stream(request("GET", "https://" + kWeb + "/file"),
                     [&](const std::uint8_t* data, std::size_t size) { streamed.append(reinterpret_cast<const char*>(data), size); });
    EXPECT_EQ(streamed, body);

    // The head handler hears the status and fields once, before the first byte.
    std::vector<long> heads;
    std::size_t bytesBeforeHead = 0, received = 0;
    transport.stream(
        request("GET", "https://" + kWeb + "/missing"),
        [&](long status, const HttpHeaders& fields) {
            heads.push_back(status);
            bytesBeforeHead = received;
            EXPECT_EQ(fields.value("X-OC-MTime"), "accepted");
        },
        [&](const std::uint8_t*, std::size_t size) { received += size; });
    EXPECT_EQ(heads, std::vector<long>{404});
    EXPECT_EQ(bytesBeforeHead, 0u);
    EXPECT_EQ(received, body.size());
}

TEST_F(HttpTransportTest, AConsumerFailureEndsTheTransferAndReachesTheCaller) {
    otherwise({200, {}, std::string(500000, 'q')});
    EXPECT_THROW(transport.stream(request("GET", "https://" + kWeb + "/file"),
                                  [](const std::uint8_t*, std::size_t) { throw std::domain_error("consumer"); }),
                 std::domain_error);
}

TEST_F(HttpTransportTest, RepliesOverTheCapFailWhileTheyArrive) {
    struct Case {
        const char* name;
        bool chunked;
        std::size_t length;
        bool fails;
    };
    const Case cases[] = {
        {"declared length over the cap", false, 1001, true},
        {"chunked body over the cap", true, 5000, true},
        {"exactly the cap", false, 1000, false},
        {"chunked exactly the cap", true, 1000, false},
    };
    for (const Case& c : cases) {
        service.clearFaults();
        otherwise({200, {}, std::string(c.length, 'c'), c.chunked});
        // In pieces of 100 bytes (one chunk each when chunked).
        service.slowBody(Route{"", "", "/"}, 100, 0ms);
        HttpRequest capped = request("GET", "https://" + kWeb + "/big");
        capped.maxReplyBytes = 1000;
        std::size_t consumed = 0;
        try {
            transport.stream(capped, [&](const std::uint8_t*, std::size_t size) { consumed += size; });
            EXPECT_FALSE(c.fails) << c.name;
        } catch (const TransportError& error) {
            EXPECT_TRUE(c.fails) << c.name;
            EXPECT_EQ(error.kind(), TransportError::Kind::dataTooLarge) << c.name;
            EXPECT_EQ(error.code(), -1103);
        }
        EXPECT_LE(consumed, 1000u) << c.name;
    }
}

TEST_F(HttpTransportTest, AnIdleReplyTimesOutButASlowOneThatKeepsMovingSurvives) {
    otherwise({200, {}, std::string(40, 's')});
    service.delay(Route{"", "", "/silent"}, 10s);
    // Four and a half seconds in all, never more than half a second without a byte.
    service.slowBody(Route{"", "", "/slow"}, 4, 500ms);

    HttpRequest silent = request("GET", "https://" + kWeb + "/silent");
    silent.timeoutSeconds = 1;
    try {
        transport.send(silent);
        FAIL() << "a silent server must time out";
    } catch (const TransportError& error) {
        EXPECT_EQ(error.kind(), TransportError::Kind::timedOut);
        EXPECT_EQ(error.code(), -1001);
    }

    HttpRequest slow = request("GET", "https://" + kWeb + "/slow");
    slow.timeoutSeconds = 2;
    const HttpResponse response = transport.send(slow);
    EXPECT_EQ(stringOf(response.body), std::string(40, 's'));
}

// The time-out counts the time since the last byte, not an average speed:
// a reply that trickles in below one byte per second but never pauses for
// the whole time-out is not idle.
TEST_F(HttpTransportTest, ATransferBelowOneBytePerSecondIsNeverIdle) {
    otherwise({200, {}, "abcd"});
    // One byte every 1.5 s; the time-out is twice that.
    service.slowBody(Route{"", "", "/trickle"}, 1, 1500ms);

    HttpRequest trickle = request("GET", "https://" + kWeb + "/trickle");
    trickle.timeoutSeconds = 3;
    const HttpResponse response = transport.send(trickle);
    EXPECT_EQ(stringOf(response.body), "abcd");
}

TEST_F(HttpTransportTest, NeverFollowReturnsTheRedirectItself) {
    answer("/moved", {302, {{"Location", "/target"}}, "moved"});
    otherwise({200, {}, "target"});
    HttpRequest guarded = request("GET", "https://" + kWeb + "/moved");
    guarded.redirects = RedirectPolicy::never;
    const HttpResponse response = transport.send(guarded);
    EXPECT_EQ(response.status, 302);
    EXPECT_EQ(response.headers.value("Location"), "/target");
    EXPECT_EQ(stringOf(response.body), "moved");
    EXPECT_EQ(seen().size(), 1u);
}

TEST_F(HttpTransportTest, AuthorizationStaysWithTheFirstOrigin) {
    answer(kWeb, "/a", {307, {{"Location", "/b"}}, ""});
    answer(kWeb, "/b", {301, {{"Location", "https://" + kMedia + "/c"}}, ""});
    answer(kMedia, "/c", {302, {{"Location", "https://" + kWeb + "/d"}}, ""});
    otherwise({200, {}, "end"});
    HttpRequest followed = request("GET", "https://" + kWeb + "/a");
    followed.headers.set("Authorization", "Bearer secret");
    followed.headers.set("User-Agent", "Nimbuscrate-macOS/1.1");
    const HttpResponse response = transport.send(followed);
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.redirectCount, 3);
    EXPECT_EQ(response.url.string(), "https://" + kWeb + "/d");
    EXPECT_EQ(stringOf(response.body), "end");

    const auto seen = this->seen();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[1].headers.value("Authorization"), "Bearer secret") << "same origin keeps it";
    EXPECT_EQ(seen[2].host, kMedia);
    EXPECT_FALSE(seen[2].headers.has("Authorization")) << "another host never sees it";
    EXPECT_EQ(seen[2].headers.value("User-Agent"), "Nimbuscrate-macOS/1.1");
    EXPECT_EQ(seen[3].headers.value("Authorization"), "Bearer secret");
}

TEST_F(HttpTransportTest, RedirectsAwayFromHttpsAreRefused) {
    otherwise({302, {{"Location", "http://" + kWeb + "/plain"}}, ""});
    HttpRequest followed = request("GET", "https://" + kWeb + "/secure");
    followed.headers.set("Authorization", "Bearer secret");
    try {
        transport.send(followed);
        FAIL() << "https to http must be refused";
    } catch (const TransportError& error) {
        EXPECT_EQ(error.kind(), TransportError::Kind::insecureRedirect);
    }
    EXPECT_EQ(seen().size(), 1u);
}

TEST_F(HttpTransportTest, FollowsAtMostTenHops) {
    // "/hop/<n>/" moves on to "/hop/<n + 1>/" up to the eleventh.
    for (int hop = 0; hop < 11; ++hop) {
        answer("/hop/" + std::to_string(hop) + "/", {302, {{"Location", "/hop/" + std::to_string(hop + 1) + "/"}}, ""});
    }
    otherwise({200, {}, "done"});
    const HttpResponse ten = transport.send(request("GET", "https://" + kWeb + "/hop/1/"));
    EXPECT_EQ(ten.status, 200);
    EXPECT_EQ(ten.redirectCount, 10);
    EXPECT_EQ(stringOf(ten.body), "done");

    try {
        transport.send(request("GET", "https://" + kWeb + "/hop/0/"));
        FAIL() << "eleven hops are too many";
    } catch (const TransportError& error) {
        EXPECT_EQ(error.kind(), TransportError::Kind::tooManyRedirects);
    }
}

TEST_F(HttpTransportTest, RedirectsChangeTheMethodAsBrowsersDo) {
    answer("/see-other", {303, {{"Location", "/result"}}, ""});
    answer("/temporary", {307, {{"Location", "/result"}}, ""});
    otherwise({200, {}, ""});
    for (const char* target : {"/see-other", "/temporary"}) {
        HttpRequest post = request("POST", "https://" + kWeb + target);
        post.headers.set("Content-Type", "text/plain");
        post.body = bytesOf("payload");
        transport.send(post);
    }
    const auto seen = this->seen();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[1].method, "GET");
    EXPECT_EQ(seen[1].body, "");
    EXPECT_FALSE(seen[1].headers.has("Content-Type"));
    EXPECT_EQ(seen[3].method, "POST");
    EXPECT_EQ(seen[3].body, "payload");
}

TEST_F(HttpTransportTest, AStopRequestEndsTheTransferWithCancellation) {
    otherwise({200, {}, "late"});
    const auto gate = service.hold(Route{"", "", "/held"});
    std::stop_source stop;
    std::exception_ptr outcome;
    std::thread worker([&] {
        try {
            transport.send(request("GET", "https://" + kWeb + "/held"), stop.get_token());
        } catch (...) {
            outcome = std::current_exception();
        }
    });
    ASSERT_TRUE(gate->waitForArrivals(1, 10s));
    stop.request_stop();
    worker.join();
    gate->open();
    ASSERT_TRUE(outcome);
    EXPECT_THROW(std::rethrow_exception(outcome), CancellationError);

    // Already stopped: nothing is sent.
    EXPECT_THROW(transport.send(request("GET", "https://" + kWeb + "/never"), stop.get_token()), CancellationError);
    EXPECT_EQ(seen().size(), 1u);
}

TEST_F(HttpTransportTest, ConsecutiveRequestsOfAThreadReuseTheConnection) {
    otherwise({200, {}, "ok"});
    const HttpResponse first = transport.send(request("GET", "https://" + kWeb + "/one"));
    const HttpResponse second = transport.send(request("GET", "https://" + kWeb + "/two"));
    EXPECT_EQ(first.newConnections, 1);
    EXPECT_EQ(second.newConnections, 0);
    EXPECT_EQ(service.connectionsAccepted(), 1u);
    const auto seen = this->seen();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].connection, seen[1].connection);

    // Unless the request asks for a connection of its own.
    HttpRequest fresh = request("POST", "https://" + kWeb + "/grant");
    fresh.freshConnection = true;
    EXPECT_EQ(transport.send(fresh).newConnections, 1);
    EXPECT_EQ(service.connectionsAccepted(), 2u);
}

// Runs the call on a thread of its own and waits for it; what it threw is rethrown here.
template <typename F>
auto onAnotherThread(F call) {
    auto result = std::async(std::launch::async, std::move(call));
    return result.get();
}

TEST_F(HttpTransportTest, RequestsOfDifferentThreadsReuseOneConnection) {
    otherwise({200, {}, "ok"});
    for (const char* path : {"/one", "/two", "/three"}) {
        EXPECT_EQ(onAnotherThread([&] { return transport.send(request("GET", "https://" + kWeb + path)); }).status, 200)
            << path;
    }
    const auto seen = this->seen();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[1].connection, seen[0].connection);
    EXPECT_EQ(seen[2].connection, seen[0].connection);
    EXPECT_EQ(service.connectionsAccepted(), 1u);
}

TEST_F(HttpTransportTest, ConcurrentRequestsEachGetAConnectionThatLaterRequestsReuse) {
    otherwise({200, {}, "ok"});
    // Two requests held at the service at once need two connections.
    const auto gate = service.hold(Route{"", "", "/held"});
    auto first = std::async(std::launch::async, [&] { return transport.send(request("GET", "https://" + kWeb + "/held")); });
    auto second = std::async(std::launch::async, [&] { return transport.send(request("GET", "https://" + kWeb + "/held")); });
    const bool bothArrived = gate->waitForArrivals(2, 10s);
    gate->open();
    EXPECT_EQ(first.get().status, 200);
    EXPECT_EQ(second.get().status, 200);
    ASSERT_TRUE(bothArrived);
    EXPECT_EQ(service.connectionsAccepted(), 2u);

    // Afterwards, requests of yet other threads, and of this one, use one of those.
    onAnotherThread([&] { return transport.send(request("GET", "https://" + kWeb + "/after")); });
    transport.send(request("GET", "https://" + kWeb + "/here"));
    EXPECT_EQ(service.connectionsAccepted(), 2u);
    const auto seen = this->seen();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_NE(seen[0].connection, seen[1].connection);
    for (std::size_t i = 2; i < 4; ++i) {
        EXPECT_TRUE(seen[i].connection == seen[0].connection || seen[i].connection == seen[1].connection) << seen[i].path;
    }
}

TEST_F(HttpTransportTest, TransportFailuresAreTransportErrors) {
    otherwise({200, {}, "ok"});
    // A certificate from another CA is not trusted.
    localservice::LocalService other(localservice::LocalService::Options{});
    DevelopmentRoute::set(service.address(), other.caCertificateFile().string());
    try {
        transport.send(request("GET", "https://" + kWeb + "/untrusted"));
        FAIL() << "an untrusted certificate must fail";
    } catch (const TransportError& error) {
        EXPECT_EQ(error.kind(), TransportError::Kind::serverCertificateUntrusted) << error.what();
    }
    EXPECT_TRUE(seen().empty());

    // Nothing listens on the port any more.
    std::string closedAddress;
    {
        localservice::LocalService gone(localservice::LocalService::Options{});
        closedAddress = gone.address();
    }
    DevelopmentRoute::set(closedAddress, service.caCertificateFile().string());
    try {
        transport.send(request("GET", "https://" + kWeb + "/refused"));
        FAIL() << "a closed port must fail";
    } catch (const TransportError& error) {
        EXPECT_EQ(error.kind(), TransportError::Kind::cannotConnectToHost) << error.what();
        EXPECT_EQ(error.code(), -1004);
    }
}

}  // namespace
}  // namespace nimbuscrate
