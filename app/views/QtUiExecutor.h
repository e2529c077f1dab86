#pragma once

#include <QObject>
#include <QPointer>

#include "platform/tasks/Executor.h"

namespace nimbuscrate {

// The UI executor of the app: work posted from any thread runs on the
// thread of the context object (the UI thread), in order, in a later turn
// of its event loop. Work posted after the context is gone is dropped.
class QtUiExecutor final : public Executor {
public:
    explicit QtUiExecutor(QObject* context);
    void post(std::function<void()> work) override;

private:
    QPointer<QObject> context_;
};

}  // namespace nimbuscrate
