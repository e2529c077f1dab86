#include "app/views/DesktopLinkOpener.h"

#include <QDesktopServices>
#include <QUrl>

namespace nimbuscrate {

void DesktopLinkOpener::open(const std::string& url) {
    QDesktopServices::openUrl(QUrl(QString::fromStdString(url), QUrl::StrictMode));
}

}  // namespace nimbuscrate
