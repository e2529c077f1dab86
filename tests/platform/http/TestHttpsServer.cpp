#include "tests/platform/http/TestHttpsServer.h"

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <atomic>
#include <cstdlib>
#include <stdexcept>

#ifdef NIMBUSCRATE_DEVELOPMENT
#include "platform/http/DevelopmentRoute.h"
#endif

namespace nimbuscrate::testing {

namespace asio = boost::asio;
namespace ssl = boost::asio::ssl;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;

struct TestHttpsServer::Impl {
    Handler handler;
    asio::io_context io;
    ssl::context tls{ssl::context::tls_server};
    tcp::acceptor acceptor{io};
    std::thread acceptThread;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<TestRequest> log;
    std::vector<std::thread> workers;
    std::vector<std::shared_ptr<tcp::socket>> sockets;
    std::size_t accepted = 0;
    bool released = false;
    bool stopping = false;

    // Sleeps unless the server stops first; false when it stops.
    bool pause(std::chrono::milliseconds duration) {
        std::unique_lock lock(mutex);
        return !changed.wait_for(lock, duration, [&] { return stopping; });
    }

    void serve(std::shared_ptr<tcp::socket> socket, std::size_t connection) {
        try {
            beast::ssl_stream<tcp::socket&> stream(*socket, tls);
            stream.handshake(ssl::stream_base::server);
            beast::flat_buffer buffer;
            while (true) {
                http::request_parser<http::string_body> parser;
                parser.body_limit(64 * 1024 * 1024);
                http::read(stream, buffer, parser);
                const auto& message = parser.get();

                TestRequest request;
                request.method = std::string(message.method_string());
                request.target = std::string(message.target());
                for (const auto& field : message) {
                    request.headers.add(std::string(field.name_string()), std::string(field.value()));
                }
                std::string host = request.headers.value("Host").value_or("");
                if (auto colon = host.rfind(':'); colon != std::string::npos) host.resize(colon);
                request.host = host;
                request.body = message.body();
                request.connection = connection;

                const TestReply reply = handler(request);
                {
                    std::lock_guard lock(mutex);
                    log.push_back(request);
                }
                changed.notify_all();

                if (reply.holdUntilReleased) {
                    std::unique_lock lock(mutex);
                    changed.wait(lock, [&] { return released || stopping; });
                    if (stopping) return;
                }
                if (reply.delay.count() > 0 && !pause(reply.delay)) return;

                std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " Test\r\n";
                for (const auto& [name, value] : reply.headers) head += name + ": " + value + "\r\n";
                head += reply.chunked ? "Transfer-Encoding: chunked\r\n"
                                      : "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
                head += "\r\n";
                asio::write(stream, asio::buffer(head));

                const bool isHead = request.method == "HEAD";
                const std::size_t piece = reply.pieceBytes > 0 ? reply.pieceBytes : std::max<std::size_t>(1, reply.body.size());
                for (std::size_t offset = 0; !isHead && offset < reply.body.size(); offset += piece) {
                    if (reply.piecePause.count() > 0 && !pause(reply.piecePause)) return;
                    const std::string part = reply.body.substr(offset, piece);
                    if (reply.chunked) {
                        char size[32];
                        std::snprintf(size, sizeof size, "%zx\r\n", part.size());
                        asio::write(stream, asio::buffer(std::string(size) + part + "\r\n"));
                    } else {
                        asio::write(stream, asio::buffer(part));
                    }
                }
                if (reply.chunked && !isHead) asio::write(stream, asio::buffer(std::string("0\r\n\r\n")));
                if (!message.keep_alive()) return;
            }
        } catch (const std::exception&) {
            // The client went away or the server stops.
        }
    }

    void acceptLoop() {
        while (true) {
            auto socket = std::make_shared<tcp::socket>(io);
            boost::system::error_code error;
            acceptor.accept(*socket, error);
            std::lock_guard lock(mutex);
            if (stopping) return;
            if (error) continue;
            const std::size_t connection = ++accepted;
            sockets.push_back(socket);
            workers.emplace_back([this, socket, connection] { serve(socket, connection); });
        }
    }
};

TestHttpsServer::TestHttpsServer(Handler handler) : impl_(std::make_unique<Impl>()) {
    impl_->handler = std::move(handler);

    char pattern[] = "/tmp/nc-https-test-XXXXXX";
    if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    directory_ = pattern;
    certificate_ = directory_ / "cert.pem";
    const auto key = directory_ / "key.pem";
    std::string names = "DNS:localhost,IP:127.0.0.1";
    for (const char* host : {NIMBUSCRATE_IDENTITY_HOST, NIMBUSCRATE_WEBAPP_HOST, NIMBUSCRATE_MEDIA_HOST,
                             NIMBUSCRATE_ACCOUNT_API_HOST, NIMBUSCRATE_CONTROL_PANEL_HOST}) {
        names += std::string(",DNS:") + host;
    }
    const std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
                                " -subj /CN=nimbuscrate-transport-test -addext basicConstraints=critical,CA:TRUE"
                                " -addext subjectAltName=" + names + " -keyout '" + key.string() + "' -out '" +
                                certificate_.string() + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("openssl could not make the test certificate");

    impl_->tls.use_certificate_chain_file(certificate_.string());
    impl_->tls.use_private_key_file(key.string(), ssl::context::pem);

    const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), 0);
    impl_->acceptor.open(endpoint.protocol());
    impl_->acceptor.set_option(tcp::acceptor::reuse_address(true));
    impl_->acceptor.bind(endpoint);
    impl_->acceptor.listen();
    impl_->acceptThread = std::thread([this] { impl_->acceptLoop(); });
}

TestHttpsServer::~TestHttpsServer() {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stopping = true;
        for (auto& socket : impl_->sockets) {
            boost::system::error_code ignored;
            socket->shutdown(tcp::socket::shutdown_both, ignored);
        }
    }
    impl_->changed.notify_all();
    // Wake the blocking accept with one last connection.
    try {
        tcp::socket poke(impl_->io);
        poke.connect(impl_->acceptor.local_endpoint());
    } catch (const std::exception&) {
    }
    impl_->acceptThread.join();
    for (auto& worker : impl_->workers) worker.join();
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
}

std::string TestHttpsServer::address() const {
    return "127.0.0.1:" + std::to_string(impl_->acceptor.local_endpoint().port());
}

void TestHttpsServer::route() const {
#ifdef NIMBUSCRATE_DEVELOPMENT
    DevelopmentRoute::set(address(), certificate_.string());
#endif
}

std::vector<TestRequest> TestHttpsServer::requests() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->log;
}

std::size_t TestHttpsServer::connections() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->accepted;
}

bool TestHttpsServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(impl_->mutex);
    return impl_->changed.wait_for(lock, timeout, [&] { return impl_->log.size() >= count; });
}

void TestHttpsServer::release() {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->released = true;
    }
    impl_->changed.notify_all();
}

}  // namespace nimbuscrate::testing
