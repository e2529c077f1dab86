#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/http/HttpHeaders.h"

namespace nimbuscrate::testing {

// One request as it reached the test server.
struct TestRequest {
    std::string method;
    std::string host;    // Host header without the port
    std::string target;  // as sent
    HttpHeaders headers;
    std::string body;
    std::size_t connection = 0;  // which accepted connection carried it (1, 2, ...)
};

// What the server answers. The reply is written by hand, so a test controls
// its framing and timing exactly.
struct TestReply {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::chrono::milliseconds delay{0};  // before the status line
    bool chunked = false;                // chunked framing instead of Content-Length
    std::size_t pieceBytes = 0;          // > 0: the body goes out in pieces of this size...
    std::chrono::milliseconds piecePause{0};  // ...with this pause before each
    bool holdUntilReleased = false;      // wait for release() before replying
};

// A small HTTPS/1.1 server on 127.0.0.1 for the transport's tests: a
// self-signed certificate for the compiled-in service hosts (made with the
// openssl command line), one thread per connection, keep-alive, a handler
// that decides every reply and a log of what arrived.
class TestHttpsServer {
public:
    using Handler = std::function<TestReply(const TestRequest&)>;

    explicit TestHttpsServer(Handler handler);
    ~TestHttpsServer();
    TestHttpsServer(const TestHttpsServer&) = delete;
    TestHttpsServer& operator=(const TestHttpsServer&) = delete;

    std::string address() const;  // "127.0.0.1:<port>"
    const std::filesystem::path& caFile() const { return certificate_; }
    // Routes the compiled-in hosts of this process to this server.
    void route() const;

    std::vector<TestRequest> requests() const;
    std::size_t connections() const;
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
    // Lets every held reply go.
    void release();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::filesystem::path directory_;
    std::filesystem::path certificate_;
};

}  // namespace nimbuscrate::testing
