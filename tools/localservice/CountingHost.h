#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace nimbuscrate::localservice {

// A second HTTPS host on its own port of 127.0.0.1, for redirects that a
// client must not follow: it answers every request with 200 {} and counts
// the connections and requests that reach it. It serves one connection at a
// time on its own thread, from construction until destruction.
class CountingHost {
public:
    // `tls` (the service's server context) must outlive this host.
    explicit CountingHost(boost::asio::ssl::context& tls);
    ~CountingHost();
    CountingHost(const CountingHost&) = delete;
    CountingHost& operator=(const CountingHost&) = delete;

    // "https://127.0.0.1:<port>".
    std::string origin() const;
    std::size_t connections() const { return connections_; }
    std::size_t requests() const { return requests_; }

private:
    void acceptLoop();
    void serve(boost::asio::ip::tcp::socket& socket);

    boost::asio::ssl::context& tls_;
    boost::asio::io_context io_;
    boost::asio::ip::tcp::acceptor acceptor_{io_};
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<std::size_t> connections_{0};
    std::atomic<std::size_t> requests_{0};
    std::mutex connectionMutex_;  // guards connectionFd_
    int connectionFd_ = -1;       // the connection being served, so a stop can cut it
    std::thread thread_;
};

}  // namespace nimbuscrate::localservice
