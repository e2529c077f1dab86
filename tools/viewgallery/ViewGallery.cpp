// nimbuscrate-view-gallery <output folder>
//
// Renders each named state of the main window, the passkey sheet and the
// tray item (icons, upload frames, menus) to PNG files in the folder, on the
// offscreen platform unless QT_QPA_PLATFORM says otherwise. The states are
// played by a model that only holds a state; no action does anything.
//
// Exit status: 0 when every image was written, 1 otherwise, 2 for a wrong invocation.

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include <QAction>
#include <QApplication>
#include <QImage>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>

#include "app/views/MainWindow.h"
#include "app/views/PasskeySettingsDialog.h"
#include "app/views/TrayItem.h"

namespace nimbuscrate {
namespace {

// A model that shows one state and ignores every action.
class StateOnlyModel final : public AppModelPort {
public:
    AppViewState current;
    AppViewState state() const override { return current; }
    void show(AppViewState state) {
        current = std::move(state);
        emit stateChanged();
    }
    void signInAndMount() override {}
    void mount() override {}
    void unmount() override {}
    void refresh() override {}
    void openInFinder() override {}
    void freeUpSpace() override {}
    void signOut() override {}
    void unlockEncryption(std::string, bool) override {}
    void unlockEncryptionWithPasskey() override {}
    void refreshPasskeys(std::stop_token) override {}
    void createPasskey(std::string, std::function<void(bool)>) override {}
    void deletePasskey(E2EEJSON) override {}
};

class NoLinks final : public LinkOpener {
public:
    void open(const std::string&) override {}
};

struct Named {
    std::string name;
    AppViewState state;
};

AppViewState signedIn() {
    AppViewState s;
    s.isSignedIn = true;
    s.accountName = "Nimbuscrate Drive";
    s.status = "Ready to mount your storage.";
    return s;
}

AppViewState mounted() {
    AppViewState s = signedIn();
    s.isMounted = true;
    s.status = "Nimbuscrate is available in Finder.";
    return s;
}

template <typename Change>
AppViewState with(AppViewState s, Change change) {
    change(s);
    return s;
}

std::vector<E2EEJSON> passkeys(int count) {
    std::vector<E2EEJSON> items;
    for (int i = 0; i < count; ++i) {
        items.push_back(E2EEJSON::object(
            {{"label", E2EEJSON(i == 0 ? "My Mac" : "Security key " + std::to_string(i))}, {"rpId", "drive.nimbuscrate.com"}}));
    }
    return items;
}

std::vector<Named> windowStates() {
    return {
        {"signed-out", {}},
        {"signed-out-busy", with({}, [](auto& s) { s.isBusy = true; })},
        {"signed-in", signedIn()},
        {"mounted", with(mounted(), [](auto& s) { s.status = "Nimbuscrate is mounted and will stay in sync."; })},
        {"mounted-uploading", with(mounted(), [](auto& s) { s.isUploading = true; })},
        {"mounted-busy", with(mounted(), [](auto& s) { s.isBusy = true; s.status = "Removing local copies."; })},
        {"mounted-encrypted", with(mounted(), [](auto& s) {
             s.encryptionEnabled = true;
             s.status = "End-to-end encryption is ready. Files and previews are encrypted on this Mac before upload.";
         })},
        {"paused", with(mounted(), [](auto& s) {
             s.encryptionEnabled = s.encryptionPaused = true;
             s.status = "Encrypted files are readable. Changes are temporarily paused.";
         })},
        {"needs-unlock", with(signedIn(), [](auto& s) {
             s.encryptionEnabled = s.encryptionNeedsUnlock = true;
             s.status = "Unlock your encrypted files to use them in Finder.";
         })},
        {"needs-setup", with(signedIn(), [](auto& s) { s.encryptionNeedsSetup = true; })},
        {"error", with(signedIn(), [](auto& s) {
             s.status = "Nimbuscrate needs attention.";
             s.errorMessage = "The server could not be reached. Check your connection and try again.";
         })},
    };
}

std::vector<Named> sheetStates() {
    AppViewState base = with(mounted(), [](auto& s) { s.encryptionEnabled = true; });
    return {
        {"empty", base},
        {"loading", with(base, [](auto& s) { s.passkeyLoading = true; })},
        {"listed", with(base, [](auto& s) { s.passkeyItems = passkeys(3); })},
        {"full", with(base, [](auto& s) { s.passkeyItems = passkeys(10); })},
        {"busy", with(base, [](auto& s) { s.passkeyItems = passkeys(2); s.isBusy = true; })},
        {"message", with(base, [](auto& s) {
             s.passkeyMessage =
                 "Could not load passkeys. You can refresh or use your encryption passphrase or recovery key.";
         })},
    };
}

class Gallery {
public:
    explicit Gallery(std::filesystem::path folder) : folder_(std::move(folder)) {}

    void save(const QImage& image, const std::string& name) {
        const std::filesystem::path file = folder_ / (name + ".png");
        if (image.isNull() || !image.save(QString::fromStdString(file.string()), "PNG")) {
            std::cerr << "nimbuscrate-view-gallery: could not write " << file << "\n";
            ok_ = false;
            return;
        }
        std::cout << file.string() << "\n";
    }
    bool ok() const { return ok_; }

private:
    std::filesystem::path folder_;
    bool ok_ = true;
};

void settle() {
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
}

int run(const std::filesystem::path& folder) {
    std::filesystem::create_directories(folder);
    Gallery gallery(folder);
    StateOnlyModel model;
    NoLinks links;
    const AppLinks urls{"https://drive.nimbuscrate.com", "https://account.nimbuscrate.com/signup?source=desktop"};
    // The app's quit action as the app controller makes it.
    QAction quit("Quit Nimbuscrate");
    quit.setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    quit.setShortcutVisibleInContextMenu(true);

    for (const Named& named : windowStates()) {
        model.show(named.state);
        MainWindow window(model, links, urls, true, &quit);
        window.setAttribute(Qt::WA_DeleteOnClose, false);
        window.resize(720, 600);
        window.show();
        settle();
        gallery.save(window.grab().toImage(), "window-" + named.name);
        if (named.name == "mounted") {
            window.content()->findChild<QPushButton*>("freeUpSpace")->click();
            settle();
            if (QMessageBox* dialog = window.content()->cleanupConfirmation()) {
                gallery.save(dialog->grab().toImage(), "window-free-up-space-dialog");
                dialog->reject();
            }
        }
    }

    for (const Named& named : sheetStates()) {
        model.show(named.state);
        PasskeySettingsDialog sheet(model, true);
        sheet.show();
        settle();
        gallery.save(sheet.grab().toImage(), "sheet-" + named.name);
    }
    {
        model.show(sheetStates()[2].state);
        PasskeySettingsDialog sheet(model, false);
        sheet.show();
        settle();
        gallery.save(sheet.grab().toImage(), "sheet-without-passkey-support");
    }

    using namespace std::chrono;
    steady_clock::time_point now{seconds(100)};
    for (const Named& named : std::vector<Named>{{"signed-out", {}}, {"signed-in", signedIn()}, {"mounted", mounted()},
                                                 {"mounted-busy", with(mounted(), [](auto& s) { s.isBusy = true; })}}) {
        model.show(named.state);
        TrayItem tray(model, links, urls, &quit, [&] { return now; });
        gallery.save(tray.image(), "tray-icon-" + named.name);
        QMenu* menu = tray.menu();
        menu->adjustSize();
        menu->show();
        settle();
        gallery.save(menu->grab().toImage(), "tray-menu-" + named.name);
        menu->hide();
    }
    {
        model.show(mounted());
        TrayItem tray(model, links, urls, &quit, [&] { return now; });
        const steady_clock::time_point start = now;
        model.show(with(mounted(), [](auto& s) { s.isUploading = true; }));
        // Also one strip of every frame, four times the size, on a dark bar.
        constexpr int kZoom = 4;
        const int side = tray.image().width() * kZoom;
        QImage strip(side * 13, side, QImage::Format_ARGB32_Premultiplied);
        strip.fill(QColor(0x1c, 0x1f, 0x24));
        QPainter painter(&strip);
        painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
        for (int ms = 0, index = 0; ms < 1000; ms += 83, ++index) {
            now = start + milliseconds(ms);
            tray.drawFrame();
            painter.drawImage(QRect(index * side, 0, side, side), tray.image());
            gallery.save(tray.image(), "tray-upload-frame-" + std::string(ms < 100 ? "0" : "") +
                                           std::string(ms < 10 ? "0" : "") + std::to_string(ms) + "ms");
        }
        painter.end();
        gallery.save(strip, "tray-upload-frames-strip");
    }
    return gallery.ok() ? 0 : 1;
}

}  // namespace
}  // namespace nimbuscrate

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: nimbuscrate-view-gallery <output folder>\n";
        return 2;
    }
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    try {
        return nimbuscrate::run(argv[1]);
    } catch (const std::exception& error) {
        std::cerr << "nimbuscrate-view-gallery: " << error.what() << "\n";
        return 1;
    }
}
