#include "app/views/AppController.h"

#include <vector>

#include <QApplication>
#include <QEvent>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>

#include "app/views/MainWindow.h"
#include "app/views/TrayItem.h"
#include "platform/log/Logger.h"

namespace nimbuscrate {

namespace {

const Logger& appLog() {
    static const Logger logger("app.nimbuscrate.desktop", "app");
    return logger;
}

}  // namespace

WindowFacts windowFactsOf(const QWidget& widget) {
    WindowFacts facts;
    facts.visible = widget.isVisible();
    facts.minimized = widget.isMinimized();
    facts.canBecomeMain = widget.windowType() == Qt::Window;
    return facts;
}

AppController::AppController(AppModelPort& model, LinkOpener& links, AppLinks urls, Options options,
                             QObject* parent)
    : QObject(parent),
      model_(model),
      links_(links),
      urls_(std::move(urls)),
      options_(std::move(options)),
      quit_("Quit Nimbuscrate") {
    quit_.setObjectName("quit");
    quit_.setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    quit_.setShortcutContext(Qt::ApplicationShortcut);
    quit_.setMenuRole(QAction::QuitRole);
    quit_.setShortcutVisibleInContextMenu(true);
    connect(&quit_, &QAction::triggered, this, [] { QCoreApplication::quit(); });

    tray_ = std::make_unique<TrayItem>(model_, links_, urls_, &quit_, options_.clock);
    connect(tray_.get(), &TrayItem::showWindowRequested, this, &AppController::showMainWindow);
    qApp->installEventFilter(this);
}

AppController::~AppController() {
    qApp->removeEventFilter(this);
    delete window_.data();
}

MainWindow* AppController::mainWindow() const { return window_.data(); }

void AppController::start() {
    setPolicy(ActivationPolicy::regular);
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        tray_->icon().show();
    } else {
        appLog().error(
            "This desktop has no system tray: Nimbuscrate runs without its tray item; launch Nimbuscrate again to "
            "show its window.");
    }
    showMainWindow();
}

void AppController::showMainWindow() {
    setPolicy(ActivationPolicy::regular);
    if (!window_) {
        window_ = new MainWindow(model_, links_, urls_, options_.passkeysSupported, &quit_);
        window_->resize(720, 600);
    }
    window_->showNormal();
    window_->raise();
    window_->activateWindow();
}

bool AppController::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Close && watched->isWidgetType() &&
        static_cast<QWidget*>(watched)->isWindow()) {
        // Scan once the close has run its course, in a later turn of the loop.
        QTimer::singleShot(0, this, &AppController::scanWindows);
    }
    return QObject::eventFilter(watched, event);
}

void AppController::scanWindows() {
    std::vector<WindowFacts> windows;
    for (QWidget* widget : QApplication::topLevelWidgets()) windows.push_back(windowFactsOf(*widget));
    setPolicy(policyAfterWindowScan(policy_, windows));
}

void AppController::setPolicy(ActivationPolicy policy) {
    if (policy == policy_) return;
    policy_ = policy;
    appLog().info(std::string("activation policy: ") + activationPolicyName(policy));
    emit policyChanged(policy);
}

}  // namespace nimbuscrate
