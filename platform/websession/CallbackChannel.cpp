#include "platform/websession/CallbackChannel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/core/PlatformError.h"
#include "platform/log/Logger.h"

namespace nimbuscrate {

namespace {

const Logger& logger() {
    static const Logger instance("app.nimbuscrate.desktop", "web-authentication");
    return instance;
}

// Closes the descriptor when it goes out of scope.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

sockaddr_un addressOf(const std::filesystem::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string text = path.string();
    if (text.size() >= sizeof address.sun_path) {
        throw PlatformError(kPOSIXErrorDomain, ENAMETOOLONG, "The callback socket path is too long: " + text);
    }
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    return address;
}

// The folder must be ours and nobody else's: created 0700, or an existing
// real folder of this user, set to 0700.
void preparePrivateFolder(const std::filesystem::path& folder) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) throw posixError(errno, "mkdir " + folder.string());
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0) throw posixError(errno, "lstat " + folder.string());
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) {
        throw PlatformError(kPOSIXErrorDomain, EPERM,
                            "The callback folder " + folder.string() + " is not a folder of this user.");
    }
    if ((info.st_mode & 07777) != 0700 && ::chmod(folder.c_str(), 0700) != 0) {
        throw posixError(errno, "chmod " + folder.string());
    }
}

bool isAcceptable(std::string_view url, std::string_view scheme, std::string& reason) {
    if (url.size() <= scheme.size() || url[scheme.size()] != ':') {
        reason = "not a URL of the scheme " + std::string(scheme);
        return false;
    }
    for (std::size_t i = 0; i < scheme.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(url[i])) != std::tolower(static_cast<unsigned char>(scheme[i]))) {
            reason = "not a URL of the scheme " + std::string(scheme);
            return false;
        }
    }
    for (char c : url) {
        if (c < 0x21 || c > 0x7e) {
            reason = "the URL holds blanks, control or non-ASCII characters";
            return false;
        }
    }
    return true;
}

void sendAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t sent = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(sent));
    }
}

}  // namespace

std::filesystem::path CallbackChannel::defaultSocketPath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || runtime[0] != '/') {
        throw PlatformError(kPOSIXErrorDomain, ENOENT,
                            "XDG_RUNTIME_DIR is not set to an absolute path; the sign-in callback has no place.");
    }
    return std::filesystem::path(runtime) / "nimbuscrate" / "callback.socket";
}

CallbackListener::CallbackListener(std::filesystem::path socketPath, std::string scheme, Handler handler)
    : socketPath_(std::move(socketPath)), scheme_(std::move(scheme)), handler_(std::move(handler)) {
    preparePrivateFolder(socketPath_.parent_path());
    const sockaddr_un address = addressOf(socketPath_);
    Descriptor listening(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (listening.get() < 0) throw posixError(errno, "socket");
    if (::bind(listening.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno != EADDRINUSE) throw posixError(errno, "bind " + socketPath_.string());
        // Someone listens there, or a crashed instance left its socket.
        Descriptor probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (probe.get() < 0) throw posixError(errno, "socket");
        if (::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            throw PlatformError(kPOSIXErrorDomain, EADDRINUSE, "Another instance already takes sign-in callbacks.");
        }
        ::unlink(socketPath_.c_str());
        if (::bind(listening.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            throw posixError(errno, "bind " + socketPath_.string());
        }
    }
    ::chmod(socketPath_.c_str(), 0600);
    if (::listen(listening.get(), 8) != 0) throw posixError(errno, "listen");
    Descriptor wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (wake.get() < 0) throw posixError(errno, "eventfd");
    listenFd_ = listening.release();
    wakeFd_ = wake.release();
    thread_ = std::thread([this] { listen(); });
}

CallbackListener::~CallbackListener() {
    const std::uint64_t one = 1;
    while (::write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
    thread_.join();
    ::close(listenFd_);
    ::close(wakeFd_);
    ::unlink(socketPath_.c_str());
}

void CallbackListener::listen() {
    for (;;) {
        pollfd watched[2] = {{wakeFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}};
        if (::poll(watched, 2, -1) < 0) {
            if (errno == EINTR) continue;
            logger().fault("The sign-in callback listener stops: " + posixError(errno, "poll").description());
            return;
        }
        if (watched[0].revents != 0) return;
        if (watched[1].revents == 0) continue;
        const int connection = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) continue;
        Descriptor owned(connection);
        serve(owned.get());
    }
}

void CallbackListener::serve(int connection) {
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != ::geteuid()) {
        logger().error("A sign-in callback connection of another user (uid " + std::to_string(peer.uid) +
                       ") was closed.");
        return;
    }
    // Reads up to EOF, within the size and time limits. A peer that stalls
    // holds the listener for kReadTimeoutMilliseconds at most.
    std::string url;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(CallbackChannel::kReadTimeoutMilliseconds);
    char buffer[4096];
    std::string refusal;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            refusal = "timed out";
            break;
        }
        pollfd watched[2] = {{connection, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        const int ready = ::poll(watched, 2, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0 || watched[1].revents != 0) return;
        if (ready == 0) continue;
        const ssize_t got = ::recv(connection, buffer, sizeof buffer, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (got == 0) break;
        url.append(buffer, static_cast<std::size_t>(got));
        if (url.size() > CallbackChannel::kMaxCallbackBytes) {
            refusal = "longer than " + std::to_string(CallbackChannel::kMaxCallbackBytes) + " bytes";
            break;
        }
    }
    if (refusal.empty()) isAcceptable(url, scheme_, refusal);
    if (!refusal.empty()) {
        logger().error("A sign-in callback was refused: " + refusal + ".");
        sendAll(connection, "refused: " + refusal + "\n");
        return;
    }
    // Handed on before the answer, so a forwarder that hears "accepted"
    // knows the app has the URL.
    try {
        handler_(std::move(url));
    } catch (const std::exception& error) {
        logger().error(std::string("A sign-in callback could not be handed on: ") + error.what());
        sendAll(connection, "refused: the app could not take it\n");
        return;
    }
    sendAll(connection, "accepted\n");
}

ForwardResult forwardCallback(const std::filesystem::path& socketPath, std::string_view url, std::string* reply) {
    const sockaddr_un address = addressOf(socketPath);
    Descriptor connection(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (connection.get() < 0) throw posixError(errno, "socket");
    if (::connect(connection.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno == ENOENT || errno == ECONNREFUSED) return ForwardResult::noListener;
        throw posixError(errno, "connect " + socketPath.string());
    }
    const timeval timeout{5, 0};
    ::setsockopt(connection.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(connection.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sendAll(connection.get(), url);
    ::shutdown(connection.get(), SHUT_WR);
    std::string answer;
    char buffer[256];
    while (answer.size() < 1024) {
        const ssize_t got = ::recv(connection.get(), buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        answer.append(buffer, static_cast<std::size_t>(got));
    }
    while (!answer.empty() && answer.back() == '\n') answer.pop_back();
    if (reply) *reply = answer;
    return answer == "accepted" ? ForwardResult::accepted : ForwardResult::refused;
}

}  // namespace nimbuscrate
