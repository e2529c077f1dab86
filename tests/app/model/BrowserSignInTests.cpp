// Sign-in in a real browser: headless Chromium opens the login page, the
// user's "Sign in" is clicked, and the identity provider's redirect to the
// app.nimbuscrate scheme travels the way it does on a desktop: Chromium
// hands it to xdg-open, which runs the desktop entry that the app's install
// step registered, and that instance forwards the URL to the running app.
// Everything runs in a private home (XDG folders, browser profile) so the
// machine's own settings are neither used nor changed.

#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

#include "platform/websession/CallbackChannel.h"
#include "tests/app/model/ChromiumBrowser.h"
#include "tests/app/model/SignInTestSupport.h"
#include "tests/support/TemporaryDirectory.h"

extern char** environ;

namespace nimbuscrate {
namespace {

namespace fs = std::filesystem;
using testing::ChromiumBrowser;
using testing::SignInRecord;
using testing::TemporaryDirectory;

bool onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string_view rest = path ? path : "/usr/bin:/bin";
    while (!rest.empty()) {
        const auto end = rest.find(':');
        const fs::path candidate = fs::path(rest.substr(0, end)) / program;
        if (::access(candidate.c_str(), X_OK) == 0) return true;
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    return false;
}

// Runs a program with the environment; its exit status, or -1.
int run(std::vector<std::string> words, std::vector<std::string> environment) {
    std::vector<char*> argv, envp;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    for (auto& variable : environment) envp.push_back(variable.data());
    envp.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) return -1;
    int status = 0;
    if (!testing::eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, std::chrono::seconds(60))) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class BrowserSignInTest : public testing::LocalServiceFixture {
protected:
    void SetUp() override {
        LocalServiceFixture::SetUp();
        if (IsSkipped()) return;
        if (!testing::chromiumProgram()) GTEST_SKIP() << "Chromium is not installed (Debian package chromium)";
        if (!onPath("xdg-open") || !onPath("xdg-mime")) GTEST_SKIP() << "xdg-utils is not installed";

        for (const fs::path& folder : {data(), config(), runtime()}) fs::create_directories(folder);
        ::chmod(runtime().c_str(), 0700);
        environment = {"HOME=" + home.path().string(), "XDG_DATA_HOME=" + data().string(),
                       "XDG_CONFIG_HOME=" + config().string(), "XDG_RUNTIME_DIR=" + runtime().string(),
                       "PATH=" + std::string(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin")};
        // The app's install step, into the private home.
        ASSERT_EQ(run({"bash", NIMBUSCRATE_SOURCE_DIR "/tools/install-desktop-entry", NIMBUSCRATE_APP_PROGRAM},
                      environment),
                  0);

        // xdg-open consults scheme handlers only when it believes a display
        // exists; headless Chromium itself never connects to one.
        std::vector<std::string> browserEnvironment = environment;
        browserEnvironment.push_back("DISPLAY=:97");
        chromium = std::make_unique<ChromiumBrowser>(ChromiumBrowser::Options{
            *testing::chromiumProgram(), home / "chromium", service.address(), NIMBUSCRATE_IDENTITY_HOST,
            browserEnvironment});
        web = std::make_unique<WebAuthenticator>(ui, *chromium);
        client = std::make_unique<DesktopOAuthClient>(ui, *web, workers, HttpTransport::shared(), store, clock);
        listener = std::make_unique<CallbackListener>(runtime() / "nimbuscrate" / "callback.socket",
                                                      DesktopOAuthClient::kCallbackScheme,
                                                      [this](std::string url) { web->deliverCallback(std::move(url)); });
    }
    void TearDown() override {
        // The browser first: nothing may call back into what goes next.
        listener.reset();
        client.reset();
        web.reset();
        chromium.reset();
    }

    fs::path data() const { return home / "data"; }
    fs::path config() const { return home / "config"; }
    fs::path runtime() const { return home / "runtime"; }

    TemporaryDirectory home;
    std::vector<std::string> environment;
    ManualExecutor ui;
    TaskPool workers{2};
    std::unique_ptr<ChromiumBrowser> chromium;
    std::unique_ptr<WebAuthenticator> web;
    std::unique_ptr<DesktopOAuthClient> client;
    std::unique_ptr<CallbackListener> listener;
};

TEST_F(BrowserSignInTest, TheBrowsersRedirectReachesTheAppThroughTheSchemeHandler) {
    // The install step registered the entry for the scheme.
    std::ifstream mimeapps(config() / "mimeapps.list");
    const std::string registered((std::istreambuf_iterator<char>(mimeapps)), {});
    EXPECT_NE(registered.find("x-scheme-handler/app.nimbuscrate=nimbuscrate.desktop"), std::string::npos)
        << registered;

    SignInRecord record;
    client->signIn(record.completion());
    ASSERT_EQ(chromium->opened().size(), 1u) << "the browser did not start";
    ASSERT_TRUE(chromium->click("sign-in-button", std::chrono::seconds(60))) << chromium->log();

    const bool ended = testing::eventually(
        [&] {
            ui.runPending();
            return record.ended();
        },
        std::chrono::seconds(60));
    ASSERT_TRUE(ended) << "the callback never reached the app\n" << chromium->log();
    ASSERT_TRUE(record.result.tokens) << chromium->log();
    EXPECT_TRUE(service.isAccessTokenLive(record.result.tokens->accessToken));
    ASSERT_EQ(service.identityProvider().verifierChecks().size(), 1u);
    EXPECT_TRUE(service.identityProvider().verifierChecks()[0].matched);

    // The page and the "Sign in" came from Chromium itself.
    const auto pages = service.requests().matching("GET", localservice::IdentityProvider::kAuthPath);
    ASSERT_FALSE(pages.empty());
    EXPECT_NE(pages[0].header("User-Agent").find("Chrome"), std::string::npos) << pages[0].header("User-Agent");
    EXPECT_EQ(service.requests().matching("POST", localservice::IdentityProvider::kSignInPath).size(), 1u);
    EXPECT_FALSE(client->hasWebSession());
}

}  // namespace
}  // namespace nimbuscrate
