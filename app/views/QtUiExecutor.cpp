#include "app/views/QtUiExecutor.h"

#include <utility>

#include <QMetaObject>

namespace nimbuscrate {

QtUiExecutor::QtUiExecutor(QObject* context) : context_(context) {}

void QtUiExecutor::post(std::function<void()> work) {
    // invokeMethod with a queued connection keeps the order of posts and is
    // safe from any thread; a context deleted meanwhile drops the work.
    QObject* context = context_.data();
    if (!context) return;
    QMetaObject::invokeMethod(context, [work = std::move(work)] { work(); }, Qt::QueuedConnection);
}

}  // namespace nimbuscrate
