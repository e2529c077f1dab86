#include "app/views/TrayItem.h"

#include <QCursor>
#include <QPixmap>

#include "app/views/Symbols.h"

namespace nimbuscrate {

TrayItem::TrayItem(AppModelPort& model, LinkOpener& links, AppLinks urls, QAction* quit, UploadSpinner::Clock clock,
                   QObject* parent)
    : QObject(parent), model_(model), links_(links), urls_(std::move(urls)), spinner_(std::move(clock)) {
    menu_.setObjectName("trayMenu");
    for (TrayEntry entry : kTrayEntries) {
        QAction* action = nullptr;
        if (isSeparator(entry)) {
            action = menu_.addSeparator();
        } else if (entry == TrayEntry::quit && quit) {
            menu_.addAction(quit);
            action = quit;
        } else {
            action = menu_.addAction(QString::fromUtf8(trayEntryTitle(entry)));
        }
        actions_[entry] = action;
    }
    connect(actions_[TrayEntry::showWindow], &QAction::triggered, this, &TrayItem::showWindowRequested);
    connect(actions_[TrayEntry::createAccount], &QAction::triggered, this, [this] { links_.open(urls_.signUp); });
    connect(actions_[TrayEntry::openWebsite], &QAction::triggered, this, [this] { links_.open(urls_.webApp); });
    // Each action checks its rule again: a menu opened before the state
    // changed must not start what the state now forbids.
    auto guarded = [this](TrayEntry entry, void (AppModelPort::*operation)()) {
        connect(actions_[entry], &QAction::triggered, this, [this, entry, operation] {
            if (trayEntryState(entry, model_.state()).enabled) (model_.*operation)();
        });
    };
    guarded(TrayEntry::open, &AppModelPort::openInFinder);
    guarded(TrayEntry::refresh, &AppModelPort::refresh);
    guarded(TrayEntry::unmount, &AppModelPort::unmount);
    guarded(TrayEntry::signOut, &AppModelPort::signOut);

    icon_.setContextMenu(&menu_);
    icon_.setToolTip("Nimbuscrate");
    connect(&icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
            menu_.popup(QCursor::pos());
        }
    });

    frames_.setInterval(static_cast<int>(UploadSpinner::kFrameInterval.count()));
    connect(&frames_, &QTimer::timeout, this, &TrayItem::drawFrame);
    connect(&model_, &AppModelPort::stateChanged, this, &TrayItem::apply);
    apply();
}

void TrayItem::apply() {
    const AppViewState state = model_.state();
    for (TrayEntry entry : kTrayEntries) {
        const TrayEntryState wanted = trayEntryState(entry, state);
        QAction* action = actions_[entry];
        action->setVisible(wanted.visible);
        action->setEnabled(wanted.enabled);
    }

    const TrayIconKind kind = trayIconKind(state);
    if (applied_ && kind == kind_) return;
    applied_ = true;
    kind_ = kind;
    switch (kind) {
        case TrayIconKind::uploading:
            // Each new run of uploads starts a fresh turn at 0 degrees.
            spinner_.start();
            frames_.start();
            icon_.setToolTip("Nimbuscrate is uploading");
            drawFrame();
            break;
        case TrayIconKind::mounted:
        case TrayIconKind::notMounted:
            frames_.stop();
            spinner_.stop();
            icon_.setToolTip("Nimbuscrate");
            setImage(drawTrayImage(kind == TrayIconKind::mounted ? Symbol::externaldriveFillBadgeCheckmark
                                                                 : Symbol::externaldriveBadgeXmark,
                                   0));
            break;
    }
}

void TrayItem::drawFrame() {
    if (!spinner_.isTurning()) return;
    setImage(drawTrayImage(Symbol::arrowTriangle2Circlepath, spinner_.angle()));
}

void TrayItem::setImage(QImage image) {
    image_ = std::move(image);
    icon_.setIcon(QIcon(QPixmap::fromImage(image_)));
}

}  // namespace nimbuscrate
