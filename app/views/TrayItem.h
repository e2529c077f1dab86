#pragma once

#include <map>

#include <QIcon>
#include <QImage>
#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>
#include <QTimer>

#include "app/views/AppModelPort.h"
#include "app/views/TrayMenuLayout.h"
#include "app/views/UploadSpinner.h"

namespace nimbuscrate {

// The tray item: its icon shows the mount state and turns while uploads
// run; its one menu (also popped up when the icon is activated) offers the
// window, the web pages, the account actions and quitting.
class TrayItem : public QObject {
    Q_OBJECT

public:
    TrayItem(AppModelPort& model, LinkOpener& links, AppLinks urls, QAction* quit, UploadSpinner::Clock clock,
             QObject* parent = nullptr);

    QMenu* menu() { return &menu_; }
    QAction* action(TrayEntry entry) const { return actions_.at(entry); }
    QSystemTrayIcon& icon() { return icon_; }
    // The image the icon shows now.
    const QImage& image() const { return image_; }
    TrayIconKind iconKind() const { return kind_; }
    bool isAnimating() const { return frames_.isActive(); }
    double angle() const { return spinner_.angle(); }

    // Draws the current frame of the upload icon (the frame timer calls it).
    void drawFrame();

signals:
    void showWindowRequested();

private:
    void apply();
    void setImage(QImage image);

    AppModelPort& model_;
    LinkOpener& links_;
    AppLinks urls_;
    QSystemTrayIcon icon_;
    QMenu menu_;
    std::map<TrayEntry, QAction*> actions_;
    UploadSpinner spinner_;
    QTimer frames_;
    TrayIconKind kind_ = TrayIconKind::notMounted;
    bool applied_ = false;
    QImage image_;
};

}  // namespace nimbuscrate
