#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/core/PlatformError.h"
#include "platform/websession/CallbackChannel.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TemporaryDirectory.h"

namespace nimbuscrate {
namespace {

namespace fs = std::filesystem;
using testing::ChildProcess;
using testing::TemporaryDirectory;

// A listener whose handler records what it was handed.
class CallbackChannelTest : public ::testing::Test {
protected:
    fs::path socketPath() const { return runtime / "nimbuscrate" / "callback.socket"; }
    std::unique_ptr<CallbackListener> listen() {
        return std::make_unique<CallbackListener>(socketPath(), "app.nimbuscrate", [this](std::string url) {
            std::lock_guard lock(mutex);
            received.push_back(std::move(url));
        });
    }
    std::vector<std::string> handed() {
        std::lock_guard lock(mutex);
        return received;
    }

    TemporaryDirectory runtime;
    std::mutex mutex;
    std::vector<std::string> received;
};

TEST_F(CallbackChannelTest, AForwardedURLReachesTheHandlerBeforeTheForwarderHearsAccepted) {
    auto listener = listen();
    const std::string url = "app.nimbuscrate:/oauthredirect?code=abc&state=xyz";
    std::string reply;
    EXPECT_EQ(forwardCallback(socketPath(), url, &reply), ForwardResult::accepted);
    EXPECT_EQ(reply, "accepted");
    EXPECT_EQ(handed(), std::vector<std::string>{url});
    // The scheme is matched without regard to case, as schemes are.
    EXPECT_EQ(forwardCallback(socketPath(), "App.NimbusCrate:/oauthredirect?code=1"), ForwardResult::accepted);
    EXPECT_EQ(handed().size(), 2u);
}

TEST_F(CallbackChannelTest, TheSocketsFolderIsPrivate) {
    fs::create_directory(runtime / "nimbuscrate");
    ::chmod((runtime / "nimbuscrate").c_str(), 0755);
    auto listener = listen();
    struct stat info {};
    ASSERT_EQ(::stat((runtime / "nimbuscrate").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    ASSERT_EQ(::stat(socketPath().c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    listener.reset();
    EXPECT_FALSE(fs::exists(socketPath())) << "the socket goes with the listener";
}

TEST_F(CallbackChannelTest, AFolderThatIsALinkIsRefused) {
    fs::create_directory(runtime / "elsewhere");
    fs::create_directory_symlink(runtime / "elsewhere", runtime / "nimbuscrate");
    EXPECT_THROW(listen(), PlatformError);
    EXPECT_FALSE(fs::exists(runtime / "elsewhere" / "callback.socket"));
}

TEST_F(CallbackChannelTest, OversizedMessagesAndOtherSchemesAreRefusedAndNotHandedOn) {
    auto listener = listen();
    const std::string prefix = "app.nimbuscrate:/oauthredirect?code=";
    struct Case {
        const char* what;
        std::string url;
        bool accepted;
    };
    const Case cases[] = {
        {"8192 bytes", prefix + std::string(CallbackChannel::kMaxCallbackBytes - prefix.size(), 'a'), true},
        {"8193 bytes", prefix + std::string(CallbackChannel::kMaxCallbackBytes + 1 - prefix.size(), 'a'), false},
        {"a megabyte", prefix + std::string(1 << 20, 'a'), false},
        {"https", "https://login.nimbuscrate.com/?code=a", false},
        {"a longer scheme", "app.nimbuscratex:/oauthredirect?code=a", false},
        {"a shorter scheme", "app.nimbuscrat:/oauthredirect?code=a", false},
        {"the scheme alone", "app.nimbuscrate", false},
        {"empty", "", false},
        {"a blank", "app.nimbuscrate:/oauthredirect?code=a b", false},
        {"a line break", "app.nimbuscrate:/oauthredirect?code=a\nb", false},
        {"a NUL", std::string("app.nimbuscrate:/x\0y", 20), false},
        {"non-ASCII", "app.nimbuscrate:/oauthredirect?code=caf\xC3\xA9", false},
    };
    std::size_t accepted = 0;
    for (const Case& c : cases) {
        std::string reply;
        const ForwardResult result = forwardCallback(socketPath(), c.url, &reply);
        EXPECT_EQ(result, c.accepted ? ForwardResult::accepted : ForwardResult::refused) << c.what << ": " << reply;
        if (!c.accepted) {
            EXPECT_EQ(reply.rfind("refused: ", 0), 0u) << c.what << ": " << reply;
        }
        accepted += c.accepted ? 1 : 0;
        EXPECT_EQ(handed().size(), accepted) << c.what;
    }
}

TEST_F(CallbackChannelTest, AStalledPeerIsCutOffAndTheNextOneIsServed) {
    auto listener = listen();
    // A peer that connects and sends nothing, never ending its message.
    const int stalled = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, socketPath().c_str());
    ASSERT_EQ(::connect(stalled, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ::send(stalled, "app.nimbuscrate:", 16, MSG_NOSIGNAL);
    // The next forwarder waits at most for the stalled one's time limit.
    EXPECT_EQ(forwardCallback(socketPath(), "app.nimbuscrate:/oauthredirect?code=b"), ForwardResult::accepted);
    char answer[64] = {};
    const ssize_t got = ::recv(stalled, answer, sizeof answer - 1, 0);
    EXPECT_GT(got, 0);
    EXPECT_EQ(std::string(answer).rfind("refused: timed out", 0), 0u) << answer;
    ::close(stalled);
    EXPECT_EQ(handed(), std::vector<std::string>{"app.nimbuscrate:/oauthredirect?code=b"});
}

TEST_F(CallbackChannelTest, AnotherUsersConnectionIsClosedUnanswered) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a peer as another user";
    auto listener = listen();
    // Loosen the folders so that the other user can reach the socket at all:
    // the peer check alone must turn it away.
    ::chmod(runtime.path().c_str(), 0711);
    ::chmod((runtime / "nimbuscrate").c_str(), 0711);
    ::chmod(socketPath().c_str(), 0666);
    const fs::path path = socketPath();
    ChildProcess nobody([&] {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) return false;
        std::string reply = "unset";
        const ForwardResult result = forwardCallback(path, "app.nimbuscrate:/oauthredirect?code=evil", &reply);
        return result == ForwardResult::refused && reply.empty();
    });
    EXPECT_TRUE(nobody.wait());
    EXPECT_TRUE(handed().empty());

    // With the folder private again, the other user cannot even connect.
    ::chmod((runtime / "nimbuscrate").c_str(), 0700);
    ChildProcess shutOut([&] {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) return false;
        try {
            forwardCallback(path, "app.nimbuscrate:/oauthredirect?code=evil");
        } catch (const PlatformError& error) {
            return error.code() == EACCES;
        }
        return false;
    });
    EXPECT_TRUE(shutOut.wait());
    EXPECT_TRUE(handed().empty());
    // Our own connections still get through.
    EXPECT_EQ(forwardCallback(path, "app.nimbuscrate:/oauthredirect?code=ok"), ForwardResult::accepted);
}

TEST_F(CallbackChannelTest, OneListenerAtATimeAndAStaleSocketIsReplaced) {
    EXPECT_EQ(forwardCallback(socketPath(), "app.nimbuscrate:/x"), ForwardResult::noListener);
    {
        auto first = listen();
        try {
            listen();
            ADD_FAILURE() << "a second listener started";
        } catch (const PlatformError& error) {
            EXPECT_EQ(error.code(), EADDRINUSE);
        }
        EXPECT_EQ(forwardCallback(socketPath(), "app.nimbuscrate:/a"), ForwardResult::accepted);
    }
    // A socket file nobody listens on, as a crashed instance leaves it.
    const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, socketPath().c_str());
    ASSERT_EQ(::bind(stale, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ::close(stale);
    EXPECT_EQ(forwardCallback(socketPath(), "app.nimbuscrate:/x"), ForwardResult::noListener);
    auto replacement = listen();
    EXPECT_EQ(forwardCallback(socketPath(), "app.nimbuscrate:/b"), ForwardResult::accepted);
    EXPECT_EQ(handed(), (std::vector<std::string>{"app.nimbuscrate:/a", "app.nimbuscrate:/b"}));
}

TEST(CallbackChannelPathTest, TheDefaultSocketLivesInTheRuntimeFolder) {
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    const std::string restore = saved ? saved : "";
    ::setenv("XDG_RUNTIME_DIR", "/run/user/1234", 1);
    EXPECT_EQ(CallbackChannel::defaultSocketPath(), fs::path("/run/user/1234/nimbuscrate/callback.socket"));
    ::setenv("XDG_RUNTIME_DIR", "relative", 1);
    EXPECT_THROW(CallbackChannel::defaultSocketPath(), PlatformError);
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_THROW(CallbackChannel::defaultSocketPath(), PlatformError);
    if (saved) ::setenv("XDG_RUNTIME_DIR", restore.c_str(), 1);
}

}  // namespace
}  // namespace nimbuscrate
