// The tray app as a user runs it, on a virtual X display: it starts signed
// out, closing its window leaves it running in the tray, a second launch
// shows the window of the first and ends with 0, Ctrl+Q and SIGTERM quit it
// with 0. Skipped only where no X server can run.

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QImage>
#include <QPixmap>

#include "app/views/MainWindow.h"
#include "tests/app/views/DisplayTestSupport.h"
#include "tests/app/views/FakeAppModel.h"
#include "tests/support/Eventually.h"

#ifndef NIMBUSCRATE_APP_PROGRAM
#error "NIMBUSCRATE_APP_PROGRAM must name the Nimbuscrate program"
#endif

namespace nimbuscrate {
namespace {

using namespace std::chrono_literals;
using testing::eventually;
using testing::SpawnedProgram;

class DesktopAppOnDisplayTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/nimbuscrate-app-display-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        for (const char* folder : {"home", "run", "data", "config", "cache"}) {
            std::filesystem::create_directories(root_ / folder);
            ::chmod((root_ / folder).c_str(), 0700);
        }
        display_ = std::make_unique<testing::VirtualDisplay>(root_ / "xvfb.log");
        if (display_->display().empty()) {
            GTEST_SKIP() << "no X server can run here (Xvfb is missing or did not start)";
        }
        xdotool_ = testing::findProgram("xdotool");
        ASSERT_TRUE(xdotool_.has_value()) << "xdotool is needed to press keys on the virtual display";
        xwd_ = testing::findProgram("xwd");
        ASSERT_TRUE(xwd_.has_value()) << "xwd is needed to take the window's screenshot";
        environment_ = testing::environmentWith({{"DISPLAY", display_->display()},
                                                 {"QT_QPA_PLATFORM", "xcb"},
                                                 {"HOME", (root_ / "home").string()},
                                                 {"XDG_RUNTIME_DIR", (root_ / "run").string()},
                                                 {"XDG_DATA_HOME", (root_ / "data").string()},
                                                 {"XDG_CONFIG_HOME", (root_ / "config").string()},
                                                 {"XDG_CACHE_HOME", (root_ / "cache").string()},
                                                 {"WAYLAND_DISPLAY", ""}});
    }

    void TearDown() override {
        apps_.clear();
        display_.reset();
        std::error_code ignored;
        if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
    }

    SpawnedProgram& launch() {
        apps_.push_back(std::make_unique<SpawnedProgram>(std::vector<std::string>{NIMBUSCRATE_APP_PROGRAM},
                                                         environment_, log()));
        EXPECT_TRUE(apps_.back()->started());
        return *apps_.back();
    }

    std::filesystem::path log() const { return root_ / "app.log"; }
    bool logged(const std::string& text) const { return testing::readText(log()).find(text) != std::string::npos; }

    testing::CommandResult xdotool(std::vector<std::string> arguments) {
        return testing::xdotool(*xdotool_, environment_, std::move(arguments));
    }
    unsigned long visibleWindow() { return testing::visibleAppWindow(*xdotool_, environment_); }

    // Focuses the window and presses the keys as the user would (XTEST).
    void press(unsigned long window, const std::string& keys) {
        xdotool({"windowfocus", "--sync", std::to_string(window)});
        const auto pressed = xdotool({"key", "--clearmodifiers", keys});
        EXPECT_EQ(pressed.exitCode, 0) << pressed.output;
    }

    std::filesystem::path root_;
    std::unique_ptr<testing::VirtualDisplay> display_;
    std::optional<std::filesystem::path> xdotool_;
    std::optional<std::filesystem::path> xwd_;
    std::vector<std::string> environment_;
    std::vector<std::unique_ptr<SpawnedProgram>> apps_;
};

// A window's pixels as the X server holds them: "xwd" writes the window
// dump (a big-endian header, the window name, the colour map, then the
// rows), read here for 24- and 32-bit true-colour screens.
QImage readWindowDump(const std::string& dump) {
    auto card = [&](std::size_t index) -> std::uint32_t {
        const auto* p = reinterpret_cast<const unsigned char*>(dump.data()) + index * 4;
        return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
    };
    if (dump.size() < 100) return {};
    const std::uint32_t headerSize = card(0), format = card(2), width = card(4), height = card(5),
                        byteOrder = card(7), bitsPerPixel = card(11), bytesPerLine = card(12), redMask = card(14),
                        greenMask = card(15), blueMask = card(16), colours = card(19);
    const std::size_t start = headerSize + std::size_t(colours) * 12;
    if (format != 2 /* ZPixmap */ || bitsPerPixel != 32 || dump.size() < start + std::size_t(height) * bytesPerLine) {
        return {};
    }
    auto channel = [](std::uint32_t pixel, std::uint32_t mask) {
        if (mask == 0) return 0u;
        const int shift = __builtin_ctz(mask);
        return ((pixel & mask) >> shift) * 255u / (mask >> shift);
    };
    QImage image(int(width), int(height), QImage::Format_RGB32);
    for (std::uint32_t row = 0; row < height; ++row) {
        const auto* line = reinterpret_cast<const unsigned char*>(dump.data()) + start + std::size_t(row) * bytesPerLine;
        auto* out = reinterpret_cast<QRgb*>(image.scanLine(int(row)));
        for (std::uint32_t column = 0; column < width; ++column) {
            const unsigned char* b = line + column * 4;
            const std::uint32_t pixel = byteOrder == 0 ? (std::uint32_t(b[3]) << 24 | std::uint32_t(b[2]) << 16 |
                                                          std::uint32_t(b[1]) << 8 | b[0])
                                                       : (std::uint32_t(b[0]) << 24 | std::uint32_t(b[1]) << 16 |
                                                          std::uint32_t(b[2]) << 8 | b[3]);
            out[column] = qRgb(int(channel(pixel, redMask)), int(channel(pixel, greenMask)), int(channel(pixel, blueMask)));
        }
    }
    return image;
}

// The share of pixels that differ clearly between two images of one size.
double differingShare(const QImage& a, const QImage& b) {
    if (a.size() != b.size()) return 1.0;
    const QImage x = a.convertToFormat(QImage::Format_RGB32);
    const QImage y = b.convertToFormat(QImage::Format_RGB32);
    long differing = 0;
    for (int row = 0; row < x.height(); ++row) {
        const auto* p = reinterpret_cast<const QRgb*>(x.constScanLine(row));
        const auto* q = reinterpret_cast<const QRgb*>(y.constScanLine(row));
        for (int column = 0; column < x.width(); ++column) {
            const int delta = std::max({std::abs(qRed(p[column]) - qRed(q[column])),
                                        std::abs(qGreen(p[column]) - qGreen(q[column])),
                                        std::abs(qBlue(p[column]) - qBlue(q[column]))});
            if (delta > 48) ++differing;
        }
    }
    return static_cast<double>(differing) / (static_cast<double>(x.width()) * x.height());
}

TEST_F(DesktopAppOnDisplayTest, StartsSignedOutStaysInTheTrayWhenClosedAndShowsItselfAgainOnASecondLaunch) {
    SpawnedProgram& app = launch();
    unsigned long window = 0;
    ASSERT_TRUE(eventually([&] { return (window = visibleWindow()) != 0; }, 60s)) << testing::readText(log());

    // The screenshot of its window is the signed-out window as the views
    // draw it (here on the offscreen platform).
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "app_desktop_display_tests";
    static char* argv[] = {name, nullptr};
    if (!qApp) new QApplication(argc, argv);  // kept for the whole process
    testing::FakeAppModel signedOut;
    testing::FakeAppModel signedIn;
    signedIn.current.isSignedIn = true;
    signedIn.current.status = "Ready to mount your storage.";
    testing::RecordingLinkOpener links;
    QAction quit("Quit Nimbuscrate");
    const AppLinks urls{"https://drive.example.test", "https://account.example.test/signup"};
    QImage screenshot;
    double share = 1.0;
    const bool matches = eventually(
        [&] {
            const std::filesystem::path dump = root_ / "window.xwd";
            const auto dumped = testing::runCommand({xwd_->string(), "-silent", "-id", std::to_string(window), "-out",
                                                     dump.string()},
                                                    environment_);
            if (dumped.exitCode != 0) return false;
            screenshot = readWindowDump(testing::readText(dump));
            if (screenshot.isNull()) return false;
            MainWindow expected(signedOut, links, urls, true, &quit);
            expected.resize(screenshot.size());
            share = differingShare(screenshot, expected.grab().toImage());
            return share < 0.002;
        },
        30s);
    screenshot.save(QString::fromStdString((root_ / "screenshot.png").string()));
    EXPECT_TRUE(matches) << "the window differs from the signed-out window in " << share * 100
                         << "% of its pixels";
    {
        MainWindow other(signedIn, links, urls, true, &quit);
        other.resize(screenshot.size());
        EXPECT_GT(differingShare(screenshot, other.grab().toImage()), 0.002)
            << "the comparison cannot tell signed out from signed in";
    }

    // Ctrl+W closes the window; the app stays, tray only.
    press(window, "ctrl+w");
    EXPECT_TRUE(eventually([&] { return logged("activation policy: accessory"); }, 30s)) << testing::readText(log());
    EXPECT_TRUE(eventually([&] { return visibleWindow() == 0; }, 30s));
    EXPECT_TRUE(app.running());

    // A second launch shows the first instance's window and ends with 0.
    SpawnedProgram& second = launch();
    EXPECT_EQ(second.waitExit(60s), 0) << testing::readText(log());
    EXPECT_TRUE(eventually([&] { return (window = visibleWindow()) != 0; }, 30s)) << testing::readText(log());
    EXPECT_TRUE(logged("activation policy: regular"));
    EXPECT_TRUE(app.running());

    // Ctrl+Q quits with 0.
    press(window, "ctrl+q");
    EXPECT_EQ(app.waitExit(60s), 0) << testing::readText(log());
}

TEST_F(DesktopAppOnDisplayTest, SigtermQuitsCleanly) {
    SpawnedProgram& app = launch();
    ASSERT_TRUE(eventually([&] { return visibleWindow() != 0; }, 60s)) << testing::readText(log());
    app.signal(SIGTERM);
    EXPECT_EQ(app.waitExit(60s), 0) << testing::readText(log());
    EXPECT_TRUE(logged("Nimbuscrate quits"));
}

TEST_F(DesktopAppOnDisplayTest, WithoutATrayHostAWarningIsLogged) {
    // The virtual display has no tray host, as some desktops have none.
    SpawnedProgram& app = launch();
    ASSERT_TRUE(eventually([&] { return visibleWindow() != 0; }, 60s)) << testing::readText(log());
    EXPECT_TRUE(logged("This desktop has no system tray")) << testing::readText(log());
    app.signal(SIGTERM);
    EXPECT_EQ(app.waitExit(60s), 0);
}

}  // namespace
}  // namespace nimbuscrate
