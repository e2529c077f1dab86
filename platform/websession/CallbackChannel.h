#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

namespace nimbuscrate {

// How a second instance of the app, started by the URL-scheme handler with
// a callback URL, hands that URL to the running instance: a Unix stream
// socket in a private folder of $XDG_RUNTIME_DIR.
//
//   forwarder                          listener (the running app)
//   connect ───────────────────────▶  accept; peer uid must be ours
//   the URL's bytes, then EOF ─────▶  at most kMaxCallbackBytes, within kReadTimeout
//   ◀────────────────────────────────  "accepted\n" or "refused: <reason>\n", close
//
// Only URLs of the listener's scheme, printable ASCII without blanks, are
// accepted; a connection of another user is closed unanswered.
class CallbackChannel {
public:
    static constexpr std::size_t kMaxCallbackBytes = 8 * 1024;
    static constexpr int kReadTimeoutMilliseconds = 2000;

    // $XDG_RUNTIME_DIR/nimbuscrate/callback.socket. Throws PlatformError
    // when XDG_RUNTIME_DIR is unset or not an absolute path.
    static std::filesystem::path defaultSocketPath();
};

// Listens for forwarded callback URLs until destroyed. The handler runs on
// the listener's own thread, once per accepted URL, before the forwarder is
// answered, and should only hand it on (post it to the UI executor).
class CallbackListener {
public:
    using Handler = std::function<void(std::string url)>;

    // Creates the socket's folder (mode 0700; an existing one must be a
    // folder of this user, and is set to 0700) and binds the socket. A stale
    // socket left by a crashed instance is replaced. Throws PlatformError,
    // with EADDRINUSE when another instance already listens there.
    CallbackListener(std::filesystem::path socketPath, std::string scheme, Handler handler);
    // Stops listening and removes the socket.
    ~CallbackListener();
    CallbackListener(const CallbackListener&) = delete;
    CallbackListener& operator=(const CallbackListener&) = delete;

    const std::filesystem::path& socketPath() const { return socketPath_; }

private:
    void listen();
    void serve(int connection);

    std::filesystem::path socketPath_;
    std::string scheme_;
    Handler handler_;
    int listenFd_ = -1;
    int wakeFd_ = -1;
    std::thread thread_;
};

enum class ForwardResult { accepted, refused, noListener };

// Sends the URL to the instance listening at the socket and waits (bounded)
// for its answer; `reply` receives the listener's answer line.
ForwardResult forwardCallback(const std::filesystem::path& socketPath, std::string_view url, std::string* reply = nullptr);

}  // namespace nimbuscrate
