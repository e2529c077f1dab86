// The widgets on the offscreen platform against a fake model: each control
// calls the model once with the right arguments, dialogs are answered, and
// the sheet and the window come and go safely.

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include <QAction>
#include <QInputDialog>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include "app/views/AppController.h"
#include "app/views/MainWindow.h"
#include "app/views/PasskeySettingsDialog.h"
#include "app/views/QtUiExecutor.h"
#include "app/views/SecurityKeyPinDialog.h"
#include "app/views/SingleInstance.h"
#include "app/views/Symbols.h"
#include "tests/support/TemporaryDirectory.h"
#include "app/views/TrayItem.h"
#include "tests/app/views/FakeAppModel.h"

namespace nimbuscrate {
namespace {

using testing::FakeAppModel;
using testing::RecordingLinkOpener;

const AppLinks kLinks{"https://drive.example.test", "https://account.example.test/signup?source=desktop"};

class WidgetTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (qApp) return;
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        static int argc = 1;
        static char name[] = "app_view_widget_tests";
        static char* argv[] = {name, nullptr};
        // Kept for the whole process: Qt's own statics must outlive it.
        new QApplication(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
    }

    void TearDown() override {
        // Windows deleted on close go at the next turn of the loop.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    static AppViewState signedIn() {
        AppViewState s;
        s.isSignedIn = true;
        s.accountName = "Nimbuscrate Drive";
        return s;
    }
    static AppViewState mounted() {
        AppViewState s = signedIn();
        s.isMounted = true;
        return s;
    }
    static AppViewState locked() {
        AppViewState s = signedIn();
        s.encryptionNeedsUnlock = true;
        s.encryptionEnabled = true;
        return s;
    }

    template <typename T>
    static T* child(QWidget& parent, const char* name) {
        T* found = parent.findChild<T*>(name);
        EXPECT_NE(found, nullptr) << name;
        return found;
    }

    static void click(QWidget& parent, const char* name) {
        auto* button = child<QPushButton>(parent, name);
        ASSERT_NE(button, nullptr);
        ASSERT_TRUE(button->isVisibleTo(&parent)) << name;
        ASSERT_TRUE(button->isEnabled()) << name;
        QTest::mouseClick(button, Qt::LeftButton);
    }

    FakeAppModel model;
    RecordingLinkOpener links;
};

TEST_F(WidgetTest, EachActionButtonCallsItsOperationOnce) {
    struct Case {
        const char* name;
        AppViewState state;
        const char* button;
        std::vector<std::string> calls;
        std::vector<std::string> opened;
    };
    const std::vector<Case> cases = {
        {"sign in", {}, "signInAndMount", {"signInAndMount"}, {}},
        {"create account", {}, "createAccount", {}, {kLinks.signUp}},
        {"mount", signedIn(), "mount", {"mount"}, {}},
        {"sign out", signedIn(), "signOut", {"signOut"}, {}},
        {"open", mounted(), "openInFinder", {"openInFinder"}, {}},
        {"refresh", mounted(), "refresh", {"refresh"}, {}},
        {"unmount", mounted(), "unmount", {"unmount"}, {}},
        {"refresh while locked", locked(), "refresh", {"refresh"}, {}},
        {"passkey unlock", locked(), "unlockWithPasskey", {"unlockEncryptionWithPasskey"}, {}},
        {"setup", [] { auto s = signedIn(); s.encryptionNeedsSetup = true; return s; }(), "setupEncryption", {},
         {kLinks.webApp}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeAppModel fake;
        RecordingLinkOpener opener;
        fake.current = c.state;
        ContentView view(fake, opener, kLinks, true);
        view.resize(720, 600);
        view.show();
        click(view, c.button);
        EXPECT_EQ(fake.calls, c.calls);
        EXPECT_EQ(opener.opened, c.opened);
    }
}

TEST_F(WidgetTest, TheWindowFollowsTheModel) {
    ContentView view(model, links, kLinks, true);
    view.show();
    EXPECT_EQ(child<QLabel>(view, "title")->text(), "Your files. Native on your Mac.");
    EXPECT_FALSE(child<QWidget>(view, "badge")->isVisible());
    EXPECT_TRUE(child<QPushButton>(view, "signInAndMount")->isVisible());
    EXPECT_FALSE(child<QPushButton>(view, "signOut")->isVisible());

    auto state = mounted();
    state.status = "Nimbuscrate is available in Finder.";
    state.errorMessage = "The server could not be reached.";
    model.set(state);
    EXPECT_EQ(child<QLabel>(view, "title")->text(), "Your cloud drive is ready.");
    EXPECT_EQ(child<QLabel>(view, "status")->text(), "Nimbuscrate is available in Finder.");
    EXPECT_EQ(child<QLabel>(view, "accountName")->text(), "Nimbuscrate Drive");
    EXPECT_EQ(child<QLabel>(view, "errorMessage")->text(), "The server could not be reached.");
    EXPECT_TRUE(child<QLabel>(view, "errorMessage")->isVisible());
    EXPECT_EQ(child<QLabel>(view, "badgeText")->text(), "Synced");
    EXPECT_FALSE(child<QPushButton>(view, "signInAndMount")->isVisible());
    for (const char* name : {"openInFinder", "refresh", "freeUpSpace", "unmount", "signOut"}) {
        EXPECT_TRUE(child<QPushButton>(view, name)->isVisible()) << name;
        EXPECT_TRUE(child<QPushButton>(view, name)->isEnabled()) << name;
    }

    model.change([](AppViewState& s) { s.isBusy = true; });
    for (const char* name : {"openInFinder", "refresh", "freeUpSpace", "unmount", "signOut"}) {
        EXPECT_FALSE(child<QPushButton>(view, name)->isEnabled()) << name;
    }
    EXPECT_TRUE(child<QWidget>(view, "busyIndicator")->isVisible());

    model.change([](AppViewState& s) {
        s.isBusy = false;
        s.isUploading = true;
    });
    EXPECT_FALSE(child<QPushButton>(view, "freeUpSpace")->isEnabled());
    EXPECT_TRUE(child<QPushButton>(view, "unmount")->isEnabled());
    EXPECT_EQ(child<QLabel>(view, "badgeText")->text(), "Uploading");
}

TEST_F(WidgetTest, UnlockClearsTheFieldBeforeCallingWithTheChoiceAtThePress) {
    model.current = locked();
    ContentView view(model, links, kLinks, true);
    view.show();
    auto* secret = child<QLineEdit>(view, "secret");
    auto* unlock = child<QPushButton>(view, "unlock");
    EXPECT_FALSE(unlock->isEnabled());
    EXPECT_EQ(secret->placeholderText(), "Encryption passphrase");

    // Return in the field does nothing.
    QTest::keyClicks(secret, "correct horse");
    QTest::keyClick(secret, Qt::Key_Return);
    EXPECT_TRUE(model.calls.empty());
    EXPECT_TRUE(unlock->isEnabled());

    std::string fieldAtCall = "not called";
    model.onCall = [&](const std::string&) { fieldAtCall = secret->text().toStdString(); };
    QTest::mouseClick(unlock, Qt::LeftButton);
    EXPECT_EQ(fieldAtCall, "");
    EXPECT_EQ(model.calls, std::vector<std::string>{"unlockEncryption(correct horse,passphrase)"});
    EXPECT_TRUE(secret->text().isEmpty());
    EXPECT_FALSE(unlock->isEnabled());

    // The recovery key, chosen before typing; a single space is a secret.
    click(view, "useRecoveryKey");
    EXPECT_EQ(secret->placeholderText(), "Recovery key");
    QTest::keyClicks(secret, " ");
    click(view, "unlock");
    EXPECT_EQ(model.calls.back(), "unlockEncryption( ,recoveryKey)");

    // While busy the button is disabled, and the field keeps what is typed.
    QTest::keyClicks(secret, "abc");
    model.change([](AppViewState& s) { s.isBusy = true; });
    EXPECT_FALSE(unlock->isEnabled());
    EXPECT_FALSE(child<QPushButton>(view, "unlockWithPasskey")->isEnabled());
    EXPECT_EQ(secret->text(), "abc");
    EXPECT_EQ(model.calls.size(), 2u);
}

TEST_F(WidgetTest, NoPasskeyUnlockWhereThePlatformHasNoPasskeys) {
    model.current = locked();
    ContentView view(model, links, kLinks, false);
    view.show();
    EXPECT_TRUE(child<QWidget>(view, "unlockPanel")->isVisible());
    EXPECT_FALSE(child<QPushButton>(view, "unlockWithPasskey")->isVisible());
    EXPECT_TRUE(child<QLineEdit>(view, "secret")->isVisible());
}

TEST_F(WidgetTest, FreeUpSpaceAsksFirstAndCancelStartsNothing) {
    model.current = mounted();
    ContentView view(model, links, kLinks, true);
    view.show();

    click(view, "freeUpSpace");
    QMessageBox* dialog = view.cleanupConfirmation();
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->text(), "Free up local disk space?");
    EXPECT_TRUE(model.calls.empty());
    click(*dialog, "cancel");
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(view.cleanupConfirmation(), nullptr);
    EXPECT_TRUE(model.calls.empty());

    click(view, "freeUpSpace");
    dialog = view.cleanupConfirmation();
    ASSERT_NE(dialog, nullptr);
    click(*dialog, "removeLocalCopies");
    EXPECT_EQ(model.calls, std::vector<std::string>{"freeUpSpace"});
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(view.cleanupConfirmation(), nullptr);
}

TEST_F(WidgetTest, RemoveLocalCopiesIsIgnoredWhenTheModelBecameBusy) {
    model.current = mounted();
    ContentView view(model, links, kLinks, true);
    view.show();
    click(view, "freeUpSpace");
    QMessageBox* dialog = view.cleanupConfirmation();
    ASSERT_NE(dialog, nullptr);
    // A tray action makes the model busy while the dialog is up.
    model.change([](AppViewState& s) { s.isBusy = true; });
    click(*dialog, "removeLocalCopies");
    EXPECT_TRUE(model.calls.empty());
}

TEST_F(WidgetTest, WindowMenuCommandsAndClose) {
    QAction quit("Quit Nimbuscrate");
    QPointer<MainWindow> window = new MainWindow(model, links, kLinks, true, &quit);
    window->show();
    EXPECT_EQ(window->windowTitle(), "Nimbuscrate");
    EXPECT_GE(window->minimumWidth(), 640);
    EXPECT_GE(window->minimumHeight(), 540);
    EXPECT_FALSE(window->openInFinderCommand()->isEnabled());
    EXPECT_FALSE(window->refreshCommand()->isEnabled());

    model.set(mounted());
    EXPECT_TRUE(window->openInFinderCommand()->isEnabled());
    EXPECT_TRUE(window->refreshCommand()->isEnabled());
    window->openInFinderCommand()->trigger();
    window->refreshCommand()->trigger();
    EXPECT_EQ(model.calls, (std::vector<std::string>{"openInFinder", "refresh"}));

    // Busy: opening stays, refreshing waits.
    model.change([](AppViewState& s) { s.isBusy = true; });
    EXPECT_TRUE(window->openInFinderCommand()->isEnabled());
    EXPECT_FALSE(window->refreshCommand()->isEnabled());
    window->refreshCommand()->trigger();
    EXPECT_EQ(model.calls.size(), 2u);

    EXPECT_EQ(window->closeCommand()->shortcut(), QKeySequence(QKeySequence::Close));
    window->closeCommand()->trigger();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(window.isNull());  // deleted on close: nothing typed survives it
}

TEST_F(WidgetTest, PasskeySheetLoadsOnceAndAddsWithTheTypedName) {
    AppViewState state = signedIn();
    state.encryptionEnabled = true;
    model.current = state;
    ContentView view(model, links, kLinks, true);
    view.show();
    click(view, "passkeys");
    PasskeySettingsDialog* sheet = view.passkeySheet();
    ASSERT_NE(sheet, nullptr);
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_EQ(model.calls, std::vector<std::string>{"refreshPasskeys"});
    EXPECT_EQ(sheet->label(), "My Mac");
    EXPECT_TRUE(child<QWidget>(*sheet, "empty")->isVisible());

    auto* label = child<QLineEdit>(*sheet, "label");
    label->setText("  Work laptop ");
    click(*sheet, "addPasskey");
    EXPECT_EQ(model.calls.back(), "createPasskey(  Work laptop )");
    ASSERT_EQ(model.pendingCreates.size(), 1u);
    model.pendingCreates[0](false);
    EXPECT_EQ(sheet->label(), "  Work laptop ");

    click(*sheet, "addPasskey");
    ASSERT_EQ(model.pendingCreates.size(), 2u);
    model.pendingCreates[1](true);
    EXPECT_EQ(sheet->label(), "My Mac");

    label->setText(" \n ");
    EXPECT_FALSE(child<QPushButton>(*sheet, "addPasskey")->isEnabled());

    click(*sheet, "refresh");
    EXPECT_EQ(model.calls.back(), "refreshPasskeys");
    // Only the load of the showing is bound to the sheet.
    ASSERT_EQ(model.passkeyLoads.size(), 2u);
    EXPECT_TRUE(model.passkeyLoads[0].stop_possible());
    EXPECT_FALSE(model.passkeyLoads[1].stop_possible());
    click(*sheet, "done");
    EXPECT_FALSE(sheet->isVisible());
}

TEST_F(WidgetTest, PasskeyRemovalIsConfirmedAndCancelRemovesNothing) {
    AppViewState state = signedIn();
    state.encryptionEnabled = true;
    const E2EEJSON laptop = E2EEJSON::object({{"label", "Laptop"}, {"rpId", "drive.example.test"}});
    const E2EEJSON phone = E2EEJSON::object({{"rpId", "drive.example.test"}});
    state.passkeyItems = {laptop, phone};
    model.current = state;
    PasskeySettingsDialog sheet(model, true);
    sheet.show();
    const auto titles = sheet.findChildren<QLabel*>("rowTitle");
    ASSERT_EQ(titles.size(), 2);
    EXPECT_EQ(titles[0]->text(), "Laptop");
    EXPECT_EQ(titles[1]->text(), "Passkey");

    auto removes = sheet.findChildren<QPushButton*>("remove");
    ASSERT_EQ(removes.size(), 2);
    QTest::mouseClick(removes[1], Qt::LeftButton);
    ASSERT_NE(sheet.removalConfirmation(), nullptr);
    EXPECT_EQ(sheet.removal(), phone);
    click(*sheet.removalConfirmation(), "cancel");
    EXPECT_FALSE(sheet.removal().has_value());
    EXPECT_TRUE(model.deleted.empty());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    QTest::mouseClick(removes[0], Qt::LeftButton);
    ASSERT_NE(sheet.removalConfirmation(), nullptr);
    click(*sheet.removalConfirmation(), "removePasskey");
    ASSERT_EQ(model.deleted.size(), 1u);
    EXPECT_EQ(model.deleted[0], laptop);
    EXPECT_FALSE(sheet.removal().has_value());  // at once, before the model ends
}

TEST_F(WidgetTest, PasskeySheetStaysOpenWhileBusy) {
    AppViewState state = signedIn();
    state.isBusy = true;
    state.passkeyItems = {E2EEJSON::object({{"label", "Laptop"}})};
    model.current = state;
    PasskeySettingsDialog sheet(model, true);
    sheet.show();
    for (const char* name : {"done", "addPasskey", "refresh", "remove"}) {
        EXPECT_FALSE(child<QPushButton>(sheet, name)->isEnabled()) << name;
    }
    EXPECT_TRUE(child<QWidget>(sheet, "busyIndicator")->isVisible());
    QTest::keyClick(&sheet, Qt::Key_Escape);
    sheet.close();
    EXPECT_TRUE(sheet.isVisible());

    model.change([](AppViewState& s) { s.isBusy = false; });
    QTest::keyClick(&sheet, Qt::Key_Escape);
    EXPECT_FALSE(sheet.isVisible());
}

TEST_F(WidgetTest, SheetClosedBeforeItsAddFinishesIsNotTouched) {
    AppViewState state = signedIn();
    model.current = state;
    auto* sheet = new PasskeySettingsDialog(model, true);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->show();
    click(*sheet, "addPasskey");
    ASSERT_EQ(model.pendingCreates.size(), 1u);
    ASSERT_EQ(model.passkeyLoads.size(), 1u);
    EXPECT_FALSE(model.passkeyLoads[0].stop_requested());
    sheet->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    // The list load of the showing ends with the sheet; the add runs on.
    EXPECT_TRUE(model.passkeyLoads[0].stop_requested());
    // The add ends after the sheet is gone (the sanitizer build checks this).
    model.pendingCreates[0](true);
    model.pendingCreates[0](false);
    EXPECT_EQ(model.calls, (std::vector<std::string>{"refreshPasskeys", "createPasskey(My Mac)"}));
}

TEST_F(WidgetTest, TrayMenuCallsAndOpens) {
    std::chrono::steady_clock::time_point now{std::chrono::seconds(50)};
    QAction quit("Quit Nimbuscrate");
    model.current = mounted();
    TrayItem tray(model, links, kLinks, &quit, [&] { return now; });
    bool shown = false;
    QObject::connect(&tray, &TrayItem::showWindowRequested, [&] { shown = true; });

    tray.action(TrayEntry::open)->trigger();
    tray.action(TrayEntry::refresh)->trigger();
    tray.action(TrayEntry::unmount)->trigger();
    tray.action(TrayEntry::signOut)->trigger();
    tray.action(TrayEntry::openWebsite)->trigger();
    tray.action(TrayEntry::showWindow)->trigger();
    EXPECT_EQ(model.calls, (std::vector<std::string>{"openInFinder", "refresh", "unmount", "signOut"}));
    EXPECT_EQ(links.opened, std::vector<std::string>{kLinks.webApp});
    EXPECT_TRUE(shown);
    EXPECT_FALSE(tray.action(TrayEntry::createAccount)->isVisible());

    model.set({});
    EXPECT_TRUE(tray.action(TrayEntry::createAccount)->isVisible());
    EXPECT_FALSE(tray.action(TrayEntry::signOut)->isEnabled());
    tray.action(TrayEntry::createAccount)->trigger();
    EXPECT_EQ(links.opened.back(), kLinks.signUp);
    // A stale menu cannot start what the state forbids.
    tray.action(TrayEntry::signOut)->trigger();
    EXPECT_EQ(model.calls.size(), 4u);

    EXPECT_EQ(tray.action(TrayEntry::quit), &quit);
    const auto entries = tray.menu()->actions();
    ASSERT_EQ(entries.size(), 11);
    EXPECT_EQ(entries.front()->text(), "Show Nimbuscrate");
    EXPECT_EQ(entries.back()->text(), "Quit Nimbuscrate");
    for (QAction* entry : entries) {
        if (entry != &quit) {
            EXPECT_TRUE(entry->shortcut().isEmpty()) << entry->text().toStdString();
        }
    }

    // Activating the icon pops up the same menu.
    EXPECT_EQ(tray.icon().contextMenu(), tray.menu());
    emit tray.icon().activated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(tray.menu()->isVisible());
    tray.menu()->hide();
}

TEST_F(WidgetTest, TrayIconTurnsFromZeroOnEachNewUpload) {
    using namespace std::chrono;
    steady_clock::time_point now{seconds(50)};
    QAction quit("Quit Nimbuscrate");
    model.current = mounted();
    TrayItem tray(model, links, kLinks, &quit, [&] { return now; });
    EXPECT_EQ(tray.iconKind(), TrayIconKind::mounted);
    EXPECT_FALSE(tray.isAnimating());
    const QImage mountedImage = tray.image();

    model.change([](AppViewState& s) { s.isUploading = true; });
    EXPECT_EQ(tray.iconKind(), TrayIconKind::uploading);
    EXPECT_TRUE(tray.isAnimating());
    std::vector<QImage> frames;
    for (int ms : {0, 250, 500, 750}) {
        now = steady_clock::time_point{seconds(50)} + milliseconds(ms);
        tray.drawFrame();
        EXPECT_NEAR(tray.angle(), ms * 360.0 / 1000, 1e-9);
        frames.push_back(tray.image());
    }
    EXPECT_NE(frames[0], frames[1]);
    EXPECT_NE(frames[1], frames[2]);
    // A new poll result while uploading keeps the turn going.
    now += milliseconds(100);
    model.change([](AppViewState& s) { s.isBusy = true; });
    EXPECT_NEAR(tray.angle(), 306, 1e-9);

    model.change([](AppViewState& s) { s.isUploading = false; });
    EXPECT_FALSE(tray.isAnimating());
    EXPECT_EQ(tray.image(), mountedImage);

    // Uploads start again: a fresh turn at 0 degrees, the same first frame.
    now += milliseconds(370);
    model.change([](AppViewState& s) { s.isUploading = true; });
    EXPECT_EQ(tray.angle(), 0);
    EXPECT_EQ(tray.image(), frames[0]);
}

TEST_F(WidgetTest, TheAppsQuitCarriesCtrlQAndSitsInTheWindowAndTheTray) {
    AppController app(model, links, kLinks, {});
    app.start();
    EXPECT_EQ(app.quitAction()->text(), "Quit Nimbuscrate");
    EXPECT_EQ(app.quitAction()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
    EXPECT_TRUE(app.tray().menu()->actions().contains(app.quitAction()));
    ASSERT_NE(app.mainWindow(), nullptr);
    EXPECT_TRUE(app.mainWindow()->actions().contains(app.quitAction()));
}

TEST_F(WidgetTest, ClosingTheLastWindowMakesTheAppAccessoryAndShowBuildsAFreshWindow) {
    AppController app(model, links, kLinks, {});
    app.start();
    QPointer<MainWindow> first = app.mainWindow();
    ASSERT_FALSE(first.isNull());
    EXPECT_TRUE(first->isVisible());
    EXPECT_EQ(app.policy(), ActivationPolicy::regular);

    first->content()->findChild<QLineEdit*>("secret")->setText("typed but not sent");
    first->close();
    QTest::qWait(0);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    EXPECT_EQ(app.policy(), ActivationPolicy::accessory);
    EXPECT_TRUE(first.isNull());

    app.tray().action(TrayEntry::showWindow)->trigger();
    EXPECT_EQ(app.policy(), ActivationPolicy::regular);
    ASSERT_NE(app.mainWindow(), nullptr);
    EXPECT_TRUE(app.mainWindow()->isVisible());
    EXPECT_TRUE(app.mainWindow()->content()->findChild<QLineEdit*>("secret")->text().isEmpty());
}

TEST_F(WidgetTest, AnotherOrdinaryWindowKeepsTheAppRegularButADialogDoesNot) {
    AppController app(model, links, kLinks, {});
    app.start();
    QWidget other;
    other.setWindowTitle("another window");
    other.show();
    QDialog panel;
    panel.show();
    EXPECT_TRUE(windowFactsOf(other).canBecomeMain);
    EXPECT_FALSE(windowFactsOf(panel).canBecomeMain);

    app.mainWindow()->close();
    QTest::qWait(0);
    QCoreApplication::processEvents();
    EXPECT_EQ(app.policy(), ActivationPolicy::regular);

    other.close();
    QTest::qWait(0);
    QCoreApplication::processEvents();
    EXPECT_EQ(app.policy(), ActivationPolicy::accessory);
    panel.close();
}

// Runs the UI thread's events until the PIN dialog shows (bounded).
QInputDialog* openPinDialog() {
    QInputDialog* found = nullptr;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!found && std::chrono::steady_clock::now() < deadline) {
        QCoreApplication::processEvents();
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* dialog = qobject_cast<QInputDialog*>(widget);
            if (dialog && dialog->isVisible()) found = dialog;
        }
        if (!found) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return found;
}

// Stops the request when the test ends early, so that its worker returns.
struct StopOnExit {
    std::stop_source& stop;
    ~StopOnExit() { stop.request_stop(); }
};

TEST_F(WidgetTest, SecurityKeyPinIsAskedOnTheUiThreadWhileTheRequestWaits) {
    QObject context;
    QtUiExecutor ui(&context);
    SecurityKeyPinDialog prompt(ui);
    std::stop_source stop;
    auto answer = std::async(std::launch::async, [&] {
        return prompt.pin({.retriesLeft = 3, .previousWasWrong = true}, stop.get_token());
    });
    StopOnExit guard{stop};
    QInputDialog* dialog = openPinDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->labelText().contains("wrong"));
    EXPECT_TRUE(dialog->labelText().contains("3 attempts left"));
    EXPECT_EQ(dialog->textEchoMode(), QLineEdit::Password);
    dialog->setTextValue("1234");
    dialog->accept();
    const std::optional<SecretBytes> pin = answer.get();
    ASSERT_TRUE(pin.has_value());
    EXPECT_EQ(std::string(pin->begin(), pin->end()), "1234");
}

TEST_F(WidgetTest, SecurityKeyPinCancelledOrStoppedGivesNothing) {
    QObject context;
    QtUiExecutor ui(&context);
    SecurityKeyPinDialog prompt(ui);
    {
        std::stop_source stop;
        auto answer = std::async(std::launch::async, [&] { return prompt.pin({}, stop.get_token()); });
        StopOnExit guard{stop};
        QInputDialog* dialog = openPinDialog();
        ASSERT_NE(dialog, nullptr);
        dialog->reject();
        EXPECT_FALSE(answer.get().has_value());
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    {
        std::stop_source stop;
        auto answer = std::async(std::launch::async, [&] { return prompt.pin({}, stop.get_token()); });
        StopOnExit guard{stop};
        QPointer<QInputDialog> dialog = openPinDialog();
        ASSERT_FALSE(dialog.isNull());
        stop.request_stop();
        EXPECT_FALSE(answer.get().has_value());
        // The stopped request's dialog goes away.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (dialog && dialog->isVisible() && std::chrono::steady_clock::now() < deadline) {
            QCoreApplication::processEvents();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        EXPECT_TRUE(dialog.isNull() || !dialog->isVisible());
    }
}

TEST_F(WidgetTest, OneInstancePerUserAndALaterOneAsksTheFirstToShow) {
    testing::TemporaryDirectory runtime;
    const std::filesystem::path folder = runtime.path() / "nimbuscrate";
    std::filesystem::create_directories(folder);
    // What a crashed instance left: a socket file nobody listens on.
    { std::ofstream(folder / "app.socket") << "stale"; }

    SingleInstance first(folder);
    ASSERT_TRUE(first.becomeFirst());
    int shows = 0;
    QObject::connect(&first, &SingleInstance::showRequested, [&] { ++shows; });

    SingleInstance later(folder);
    EXPECT_FALSE(later.becomeFirst());
    auto asked = std::async(std::launch::async, [&] { return later.askFirstToShow(); });
    while (asked.wait_for(std::chrono::milliseconds(2)) != std::future_status::ready) {
        QCoreApplication::processEvents();
    }
    EXPECT_TRUE(asked.get());
    EXPECT_EQ(shows, 1);
}

TEST_F(WidgetTest, ALaterInstanceGetsNoAnswerWhenNobodyListens) {
    testing::TemporaryDirectory runtime;
    SingleInstance later(runtime.path());
    EXPECT_FALSE(later.askFirstToShow(300));
}

TEST_F(WidgetTest, SymbolsAreDrawnTheSameEveryTimeAndTellApart) {
    const Symbol symbols[] = {Symbol::lockFill,
                              Symbol::pauseCircle,
                              Symbol::checkmarkCircleFill,
                              Symbol::exclamationmarkTriangleFill,
                              Symbol::personBadgeKeyFill,
                              Symbol::personCropCircleBadgeCheckmark,
                              Symbol::folderFill,
                              Symbol::externaldriveBadgePlus,
                              Symbol::externaldriveFillBadgeCheckmark,
                              Symbol::externaldriveBadgeXmark,
                              Symbol::arrowTriangle2Circlepath};
    std::vector<QImage> drawn;
    for (Symbol symbol : symbols) {
        SCOPED_TRACE(static_cast<int>(symbol));
        const QImage image = drawSymbol(symbol, 22, Qt::white);
        EXPECT_EQ(image, drawSymbol(symbol, 22, Qt::white));
        int inked = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) inked += qAlpha(image.pixel(x, y)) > 128;
        }
        EXPECT_GT(inked, 20);
        for (const QImage& other : drawn) EXPECT_NE(image, other);
        drawn.push_back(image);
    }
    const QImage upright = drawTrayImage(Symbol::arrowTriangle2Circlepath, 0);
    EXPECT_NE(drawTrayImage(Symbol::arrowTriangle2Circlepath, 90), upright);
    EXPECT_EQ(drawLogo(), drawLogo());
    EXPECT_EQ(drawLogo().size(), QSize(151, 50));
}

}  // namespace
}  // namespace nimbuscrate
