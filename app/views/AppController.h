#pragma once

#include <memory>

#include <QAction>
#include <QObject>
#include <QPointer>

#include "app/views/ActivationPolicy.h"
#include "app/views/AppModelPort.h"
#include "app/views/UploadSpinner.h"

namespace nimbuscrate {

class MainWindow;
class TrayItem;

// The app itself: the one model (through its port), the tray item, the main
// window while it exists, the "Quit Nimbuscrate" action (Ctrl+Q) that both
// offer, and the activation policy.
//
// The app is regular from start; after any window closes, a scan in a later
// turn of the event loop makes it accessory (tray only) when no visible,
// unminimized ordinary window is left. "Show Nimbuscrate" makes it regular
// again and shows the window, building a fresh one when the last was closed.
// Closing windows never quits; only the quit action (or SIGTERM) does.
class AppController : public QObject {
    Q_OBJECT

public:
    struct Options {
        bool passkeysSupported = true;
        UploadSpinner::Clock clock = [] { return std::chrono::steady_clock::now(); };
    };

    AppController(AppModelPort& model, LinkOpener& links, AppLinks urls, Options options, QObject* parent = nullptr);
    ~AppController() override;

    // Launch: regular policy, the tray item shown (a warning is logged where
    // the desktop has no tray), the main window shown.
    void start();
    // Regular policy, the main window shown, raised and activated.
    void showMainWindow();

    ActivationPolicy policy() const { return policy_; }
    MainWindow* mainWindow() const;
    TrayItem& tray() { return *tray_; }
    QAction* quitAction() { return &quit_; }

    // The window scan, as the close of a window queues it.
    void scanWindows();

signals:
    void policyChanged(nimbuscrate::ActivationPolicy policy);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void setPolicy(ActivationPolicy policy);

    AppModelPort& model_;
    LinkOpener& links_;
    AppLinks urls_;
    Options options_;
    QAction quit_;
    std::unique_ptr<TrayItem> tray_;
    QPointer<MainWindow> window_;
    ActivationPolicy policy_ = ActivationPolicy::regular;
};

// Facts of one top-level widget for the window scan: only ordinary windows
// (not dialogs, sheets, tool windows, popups) can become the main window.
WindowFacts windowFactsOf(const QWidget& widget);

}  // namespace nimbuscrate
