#include "tools/localservice/CountingHost.h"

#include <sys/socket.h>

#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

namespace nimbuscrate::localservice {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;

CountingHost::CountingHost(asio::ssl::context& tls) : tls_(tls) {
    tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), 0);
    acceptor_.open(endpoint.protocol());
    acceptor_.bind(endpoint);
    acceptor_.listen(asio::socket_base::max_listen_connections);
    port_ = acceptor_.local_endpoint().port();
    thread_ = std::thread([this] { acceptLoop(); });
}

CountingHost::~CountingHost() {
    stopping_ = true;
    ::shutdown(acceptor_.native_handle(), SHUT_RDWR);
    {
        std::lock_guard lock(connectionMutex_);
        if (connectionFd_ >= 0) ::shutdown(connectionFd_, SHUT_RDWR);
    }
    if (thread_.joinable()) thread_.join();
    boost::system::error_code ignored;
    acceptor_.close(ignored);
}

std::string CountingHost::origin() const { return "https://127.0.0.1:" + std::to_string(port_); }

void CountingHost::acceptLoop() {
    while (!stopping_) {
        tcp::socket socket(io_);
        boost::system::error_code error;
        acceptor_.accept(socket, error);
        if (stopping_) break;
        if (error) continue;
        ++connections_;
        {
            // Checked under the lock the destructor takes after setting the
            // flag, so a stop either sees this connection or stops it here.
            std::lock_guard lock(connectionMutex_);
            if (stopping_) break;
            connectionFd_ = socket.native_handle();
        }
        try {
            serve(socket);
        } catch (const std::exception&) {
            // The connection ends; the host goes on.
        }
        std::lock_guard lock(connectionMutex_);
        connectionFd_ = -1;
        socket.close(error);
    }
}

void CountingHost::serve(tcp::socket& socket) {
    asio::ssl::stream<tcp::socket&> stream(socket, tls_);
    boost::system::error_code error;
    stream.handshake(asio::ssl::stream_base::server, error);
    if (error) return;
    boost::beast::flat_buffer buffer;
    while (!stopping_) {
        http::request_parser<http::string_body> parser;
        parser.body_limit(1024 * 1024);
        http::read(stream, buffer, parser, error);
        if (error) return;
        ++requests_;
        http::response<http::string_body> reply{http::status::ok, 11};
        reply.set(http::field::content_type, "application/json");
        reply.keep_alive(parser.get().keep_alive());
        reply.body() = "{}";
        reply.prepare_payload();
        http::write(stream, reply, error);
        if (error || !reply.keep_alive()) return;
    }
}

}  // namespace nimbuscrate::localservice
