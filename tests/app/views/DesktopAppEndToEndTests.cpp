// The tray app end to end as a user runs it, on a virtual X display against
// the local service and the file provider daemon program: sign in through
// the (recorded) browser step, unlock the encrypted account with its
// passphrase typed into the window, the drive mounts, a file copied in is
// shown uploading until the service takes it, and signing out unmounts.
// Skipped where no X server can run, or without root and /dev/fuse.

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <QAction>
#include <QApplication>
#include <QWidget>

#include "app/views/MainWindow.h"
#include "tests/app/views/DisplayTestSupport.h"
#include "tests/app/model/SignInTestSupport.h"
#include "tests/app/views/FakeAppModel.h"
#include "tests/support/Eventually.h"
#include "tests/support/MountTestSupport.h"
#include "tools/localservice/LocalService.h"

#if !defined(NIMBUSCRATE_APP_PROGRAM) || !defined(NIMBUSCRATE_DAEMON_PROGRAM) || !defined(NIMBUSCRATE_SEED_PROGRAM) || \
    !defined(NIMBUSCRATE_SOURCE_DIR)
#error "the app, daemon and seed programs and the source folder must be named"
#endif

namespace nimbuscrate {
namespace {

using namespace std::chrono_literals;
using testing::eventually;
using testing::SpawnedProgram;

class DesktopAppEndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testing::canMount()) GTEST_SKIP() << "needs root and /dev/fuse to mount";
        char pattern[] = "/tmp/nimbuscrate-app-e2e-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        for (const char* folder : {"home", "run", "data", "config", "cache", "seed"}) {
            std::filesystem::create_directories(root_ / folder);
            ::chmod((root_ / folder).c_str(), 0700);
        }
        display_ = std::make_unique<testing::VirtualDisplay>(root_ / "xvfb.log");
        if (display_->display().empty()) {
            GTEST_SKIP() << "no X server can run here (Xvfb is missing or did not start)";
        }
        xdotool_ = testing::findProgram("xdotool");
        ASSERT_TRUE(xdotool_.has_value()) << "xdotool is needed to use the window on the virtual display";

        // The demo's encrypted account, made afresh, and its passphrase.
        const std::filesystem::path seed = root_ / "seed";
        const auto seeded = testing::runCommand(
            {NIMBUSCRATE_SEED_PROGRAM, NIMBUSCRATE_SOURCE_DIR "/tools/localservice/demo-seed.json",
             NIMBUSCRATE_SOURCE_DIR "/tools/e2eeseed/demo-encrypted.json", (seed / "seed.json").string(),
             (seed / "keys.json").string(), (seed / "unlock.json").string()},
            testing::environmentWith({}), 300s);
        ASSERT_EQ(seeded.exitCode, 0) << seeded.output;
        passphrase_ = nlohmann::json::parse(testing::readText(seed / "unlock.json")).at("passphrase").get<std::string>();
        localservice::LocalService::Options options;
        options.seedFile = seed / "seed.json";
        service_ = std::make_unique<localservice::LocalService>(options);
        service_->useForThisProcess();

        // The browser stand-in: records the page the app asks it to open.
        opener_ = root_ / "open-url";
        {
            std::ofstream script(opener_);
            script << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << (root_ / "opened.txt").string() << "'\n";
        }
        ::chmod(opener_.c_str(), 0700);

        environment_ = testing::environmentWith({{"DISPLAY", display_->display()},
                                                 {"QT_QPA_PLATFORM", "xcb"},
                                                 {"HOME", (root_ / "home").string()},
                                                 {"XDG_RUNTIME_DIR", (root_ / "run").string()},
                                                 {"XDG_DATA_HOME", (root_ / "data").string()},
                                                 {"XDG_CONFIG_HOME", (root_ / "config").string()},
                                                 {"XDG_CACHE_HOME", (root_ / "cache").string()},
                                                 {"WAYLAND_DISPLAY", ""},
                                                 {"NIMBUSCRATE_DEV_SERVICE", service_->address()},
                                                 {"NIMBUSCRATE_DEV_CA_FILE", service_->caCertificateFile().string()},
                                                 {"NIMBUSCRATE_DEV_URL_OPENER", opener_.string()}});
    }

    void TearDown() override {
        if (service_) service_->clearFaults();
        app_.reset();
        daemon_.reset();
        // A mount the daemon left behind (it was killed).
        if (!root_.empty() && mounted()) {
            testing::runCommand({"/bin/fusermount3", "-uz", folder().string()}, environment_);
        }
        display_.reset();
        service_.reset();
        std::error_code ignored;
        if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
    }

    std::filesystem::path folder() const { return root_ / "home" / "Nimbuscrate"; }
    bool mounted() const {
        return testing::readText("/proc/self/mounts").find(" " + folder().string() + " ") != std::string::npos;
    }
    std::filesystem::path appLog() const { return root_ / "app.log"; }
    bool logged(const std::string& text) const {
        return testing::readText(appLog()).find(text) != std::string::npos;
    }
    std::string logs() const {
        return "app log:\n" + testing::readText(appLog()) + "\ndaemon log:\n" + testing::readText(root_ / "daemon.log");
    }

    testing::CommandResult xdotool(std::vector<std::string> arguments) {
        return testing::xdotool(*xdotool_, environment_, std::move(arguments));
    }
    unsigned long visibleWindow() { return testing::visibleAppWindow(*xdotool_, environment_); }

    // Clicks the middle of the named widget of the window, found where the
    // views place it in a window of the same size showing `state`.
    void click(unsigned long window, const AppViewState& state, const char* widgetName) {
        const auto geometry = xdotool({"getwindowgeometry", "--shell", std::to_string(window)});
        ASSERT_EQ(geometry.exitCode, 0) << geometry.output;
        auto number = [&](const std::string& key) {
            const auto at = geometry.output.find(key + "=");
            return at == std::string::npos ? 0 : std::atoi(geometry.output.c_str() + at + key.size() + 1);
        };
        testing::FakeAppModel model;
        model.current = state;
        testing::RecordingLinkOpener links;
        QAction quit("Quit Nimbuscrate");
        MainWindow layout(model, links, AppLinks{"https://drive.example.test", "https://account.example.test/signup"},
                          true, &quit);
        layout.resize(number("WIDTH"), number("HEIGHT"));
        layout.grab();
        auto* widget = layout.findChild<QWidget*>(widgetName);
        ASSERT_NE(widget, nullptr) << widgetName;
        const QPoint middle = widget->mapTo(&layout, widget->rect().center());
        const auto moved = xdotool({"mousemove", "--window", std::to_string(window), "--sync",
                                    std::to_string(middle.x()), std::to_string(middle.y())});
        ASSERT_EQ(moved.exitCode, 0) << moved.output;
        const auto clicked = xdotool({"click", "1"});
        ASSERT_EQ(clicked.exitCode, 0) << clicked.output;
    }

    std::filesystem::path root_;
    std::unique_ptr<testing::VirtualDisplay> display_;
    std::unique_ptr<localservice::LocalService> service_;
    std::optional<std::filesystem::path> xdotool_;
    std::filesystem::path opener_;
    std::string passphrase_;
    std::vector<std::string> environment_;
    std::unique_ptr<SpawnedProgram> daemon_;
    std::unique_ptr<SpawnedProgram> app_;
};

TEST_F(DesktopAppEndToEndTest, SignInUnlockUploadAndSignOut) {
    // The views' layouts are read on the offscreen platform in this process.
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "app_desktop_end_to_end_tests";
    static char* argv[] = {name, nullptr};
    if (!qApp) new QApplication(argc, argv);  // kept for the whole process

    daemon_ = std::make_unique<SpawnedProgram>(std::vector<std::string>{NIMBUSCRATE_DAEMON_PROGRAM}, environment_,
                                               root_ / "daemon.log");
    ASSERT_TRUE(daemon_->started());
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(root_ / "run" / "nimbuscrate" / "fileprovider.sock"); },
                           60s))
        << logs();
    app_ = std::make_unique<SpawnedProgram>(std::vector<std::string>{NIMBUSCRATE_APP_PROGRAM}, environment_, appLog());
    ASSERT_TRUE(app_->started());
    unsigned long window = 0;
    ASSERT_TRUE(eventually([&] { return (window = visibleWindow()) != 0; }, 60s)) << logs();
    ASSERT_TRUE(eventually([&] { return logged("state: signed in no"); }, 60s)) << logs();

    // Sign in: the app opens the service's sign-in page in the browser; the
    // browser's answer comes back through the URL-scheme handler.
    click(window, AppViewState{}, "signInAndMount");
    std::string page;
    ASSERT_TRUE(eventually(
        [&] {
            page = testing::readText(root_ / "opened.txt");
            return page.find('\n') != std::string::npos;
        },
        60s))
        << logs();
    page.resize(page.find('\n'));
    ASSERT_TRUE(page.starts_with("https://" NIMBUSCRATE_IDENTITY_HOST "/")) << page;
    const std::string callback = testing::RecordingBrowser::signIn(page);
    ASSERT_TRUE(callback.starts_with("app.nimbuscrate:")) << callback;
    const auto delivered = testing::runCommand({NIMBUSCRATE_APP_PROGRAM, callback}, environment_, 60s);
    EXPECT_EQ(delivered.exitCode, 0) << delivered.output;

    // The account is encrypted: the window asks for its passphrase.
    ASSERT_TRUE(eventually([&] { return logged("state: signed in yes, mounted no, locked yes"); }, 120s)) << logs();
    EXPECT_FALSE(mounted());
    AppViewState locked;
    locked.isSignedIn = true;
    locked.encryptionNeedsUnlock = true;
    locked.accountName = "Nimbuscrate Files";  // one line, as the drive's name
    locked.status = "Unlock your encrypted files to use them in Finder.";
    click(window, locked, "secret");
    const auto typed = xdotool({"type", "--delay", "20", passphrase_});
    ASSERT_EQ(typed.exitCode, 0) << typed.output;
    click(window, locked, "unlock");

    // The unlock mounts the drive with the account's encrypted folders.
    ASSERT_TRUE(eventually([&] { return logged("state: signed in yes, mounted yes, locked no"); }, 180s)) << logs();
    ASSERT_TRUE(eventually(
        [&] {
            std::error_code error;
            return mounted() && std::filesystem::exists(folder() / "Private", error);
        },
        120s))
        << logs();

    // A file copied in is shown uploading while the service holds its
    // upload, and no longer once the service took it.
    const auto gate = service_->hold(localservice::Route{"PUT", "", ""});
    {
        std::ofstream copy(folder() / "Letter.txt", std::ios::binary);
        copy << "Dear reader, this file travels encrypted.\n";
    }
    ASSERT_TRUE(gate->waitForArrivals(1, std::chrono::seconds(180))) << logs();
    EXPECT_TRUE(eventually([&] { return logged("mounted yes, locked no, uploading yes"); }, 120s)) << logs();
    gate->open();
    EXPECT_TRUE(eventually(
        [&] {
            const std::string text = testing::readText(appLog());
            const auto uploading = text.find("mounted yes, locked no, uploading yes");
            return uploading != std::string::npos &&
                   text.find("mounted yes, locked no, uploading no", uploading) != std::string::npos;
        },
        180s))
        << logs();
    EXPECT_EQ(testing::readText(folder() / "Letter.txt"), "Dear reader, this file travels encrypted.\n");

    // Signing out unmounts the drive.
    AppViewState mountedState;
    mountedState.isSignedIn = true;
    mountedState.isMounted = true;
    mountedState.accountName = locked.accountName;
    mountedState.encryptionEnabled = true;
    const std::size_t before = testing::readText(appLog()).size();
    click(window, mountedState, "signOut");
    EXPECT_TRUE(eventually([&] { return !mounted(); }, 120s)) << logs();
    EXPECT_TRUE(eventually(
        [&] {
            return testing::readText(appLog()).find("state: signed in no, mounted no", before) != std::string::npos;
        },
        120s))
        << logs();

    app_->signal(SIGTERM);
    EXPECT_EQ(app_->waitExit(60s), 0) << logs();
}

}  // namespace
}  // namespace nimbuscrate
