// The URL-scheme handler's road without a display: the app program started
// with a callback URL (as the desktop entry starts it) hands the URL over
// the socket to the running app, which completes its pending sign-in.

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/websession/CallbackChannel.h"
#include "tests/app/model/SignInTestSupport.h"
#include "tests/support/TemporaryDirectory.h"

extern char** environ;

namespace nimbuscrate {
namespace {

using testing::RecordingBrowser;
using testing::SignInRecord;
using testing::TemporaryDirectory;

// Runs the app program with the arguments, XDG_RUNTIME_DIR set to the folder
// and no display to show a window on; returns its exit status (-1 when it
// does not end in time).
int runApp(const std::vector<std::string>& arguments, const std::filesystem::path& runtime) {
    std::vector<std::string> words{NIMBUSCRATE_APP_PROGRAM};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    std::vector<std::string> variables{"XDG_RUNTIME_DIR=" + runtime.string()};
    for (char** entry = environ; *entry; ++entry) {
        const std::string_view entryText(*entry);
        const bool dropped = entryText.starts_with("XDG_RUNTIME_DIR=") || entryText.starts_with("DISPLAY=") ||
                             entryText.starts_with("WAYLAND_DISPLAY=") || entryText.starts_with("QT_QPA_PLATFORM=");
        if (!dropped) variables.emplace_back(*entry);
    }
    std::vector<char*> envp;
    for (auto& variable : variables) envp.push_back(variable.data());
    envp.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) return -1;
    int status = 0;
    const bool ended = testing::eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; },
                                           std::chrono::seconds(30));
    if (!ended) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class SchemeHandlerTest : public testing::SignInFixture {
protected:
    TemporaryDirectory runtime;
    CallbackListener listener{runtime / "nimbuscrate" / "callback.socket", DesktopOAuthClient::kCallbackScheme,
                              [this](std::string url) { web.deliverCallback(std::move(url)); }};
};

TEST_F(SchemeHandlerTest, TheHandlerInstanceForwardsTheCallbackAndTheRunningAppSignsIn) {
    SignInRecord record;
    client.signIn(record.completion());
    const std::string callback = RecordingBrowser::signIn(browser.opened.back());
    ASSERT_EQ(callback.rfind("app.nimbuscrate:/oauthredirect?", 0), 0u) << callback;

    EXPECT_EQ(runApp({callback}, runtime.path()), 0);
    ASSERT_TRUE(runUntil([&] { return record.ended(); }));
    ASSERT_TRUE(record.result.tokens);
    EXPECT_TRUE(service.isAccessTokenLive(record.result.tokens->accessToken));
    ASSERT_EQ(provider().verifierChecks().size(), 1u);
    EXPECT_TRUE(provider().verifierChecks()[0].matched);

    // Forwarded again, the same callback finds no sign-in waiting.
    EXPECT_EQ(runApp({callback}, runtime.path()), 0);
    ui.runPending();
    EXPECT_EQ(web.droppedCallbacks(), 1u);
    EXPECT_EQ(tokenRequests(), 1u);
}

TEST_F(SchemeHandlerTest, WrongInvocationsAndRefusals) {
    TemporaryDirectory idle;
    struct Case {
        const char* what;
        std::vector<std::string> arguments;
        const std::filesystem::path* runtimeFolder;
        int status;
    };
    const std::string oversized = "app.nimbuscrate:/oauthredirect?code=" + std::string(9000, 'a');
    const Case cases[] = {
        {"no argument and no display", {}, &runtime.path(), 2},
        {"two arguments", {"app.nimbuscrate:/a", "app.nimbuscrate:/b"}, &runtime.path(), 2},
        {"another scheme", {"https://login.nimbuscrate.com/"}, &runtime.path(), 2},
        {"no app running", {"app.nimbuscrate:/oauthredirect?code=a&state=b"}, &idle.path(), 1},
        {"refused by the app", {oversized}, &runtime.path(), 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(runApp(c.arguments, *c.runtimeFolder), c.status) << c.what;
    }
    ui.runPending();
    EXPECT_EQ(web.droppedCallbacks(), 0u) << "nothing reached the app";
}

}  // namespace
}  // namespace nimbuscrate
