#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QWidget>

#include "app/views/AppModelPort.h"
#include "app/views/MainWindowLayout.h"

class QAction;
class QButtonGroup;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QMessageBox;
class QPushButton;

namespace nimbuscrate {

class BusyIndicator;
class PasskeySettingsDialog;

// The content of the main window: logo and state badge, the status card,
// the unlock panel, the setup and passkeys buttons and the action row. It
// owns no account state: it applies layoutMainWindow to the model's state
// at each change and calls the model's actions.
//
// Widgets carry object names (the action's name, "unlock", "secret", ...)
// for tests and the gallery.
class ContentView : public QWidget {
    Q_OBJECT

public:
    ContentView(AppModelPort& model, LinkOpener& links, AppLinks urls, bool passkeysSupported,
                QWidget* parent = nullptr);

    const MainWindowLayout& layout() const { return layout_; }
    // The overlays, while shown (for tests and the gallery).
    QMessageBox* cleanupConfirmation() const;
    PasskeySettingsDialog* passkeySheet() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QWidget* createHeader();
    QWidget* createStatusCard();
    QWidget* createUnlockPanel();
    QWidget* createActionRow();
    QPushButton* createActionButton(WindowAction action);

    void apply();
    void submitUnlock();
    void startAction(WindowAction action);
    void confirmCleanup();
    void showPasskeys();

    AppModelPort& model_;
    LinkOpener& links_;
    AppLinks urls_;
    bool passkeysSupported_;
    MainWindowLayout layout_;

    QLabel* badge_ = nullptr;
    QLabel* badgeIcon_ = nullptr;
    BusyIndicator* badgeSpinner_ = nullptr;
    QWidget* badgeBox_ = nullptr;
    QLabel* title_ = nullptr;
    QLabel* status_ = nullptr;
    QLabel* account_ = nullptr;
    QWidget* errorRow_ = nullptr;
    QLabel* error_ = nullptr;

    QWidget* unlockPanel_ = nullptr;
    QPushButton* passkeyUnlock_ = nullptr;
    QButtonGroup* secretKind_ = nullptr;
    QLineEdit* secret_ = nullptr;
    QPushButton* unlock_ = nullptr;

    QPushButton* setup_ = nullptr;
    QPushButton* passkeysButton_ = nullptr;

    QHBoxLayout* actionRow_ = nullptr;
    std::vector<std::pair<WindowAction, QPushButton*>> actionButtons_;
    BusyIndicator* busy_ = nullptr;

    QPointer<QMessageBox> cleanup_;
    QPointer<PasskeySettingsDialog> passkeys_;
};

// The main window: the content above, the "Nimbuscrate" menu with "Open
// Nimbuscrate in Finder", "Refresh", "Close Window" (Ctrl+W) and the app's
// quit action. It is deleted when closed, so nothing typed outlives it.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    MainWindow(AppModelPort& model, LinkOpener& links, AppLinks urls, bool passkeysSupported, QAction* quit,
               QWidget* parent = nullptr);

    ContentView* content() const { return content_; }
    QAction* openInFinderCommand() const { return openInFinder_; }
    QAction* refreshCommand() const { return refresh_; }
    QAction* closeCommand() const { return close_; }

private:
    void apply();

    AppModelPort& model_;
    ContentView* content_ = nullptr;
    QAction* openInFinder_ = nullptr;
    QAction* refresh_ = nullptr;
    QAction* close_ = nullptr;
};

}  // namespace nimbuscrate
