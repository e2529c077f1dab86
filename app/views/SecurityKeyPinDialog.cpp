#include "app/views/SecurityKeyPinDialog.h"

#include <condition_variable>
#include <memory>
#include <mutex>

#include <QInputDialog>
#include <QLineEdit>
#include <QPointer>

namespace nimbuscrate {

namespace {

// What the worker and the dialog share; the worker waits on it.
struct Answer {
    std::mutex mutex;
    std::condition_variable_any answered;
    bool done = false;
    std::optional<SecretBytes> pin;
    QPointer<QInputDialog> dialog;  // UI thread only
};

QString promptText(const PasskeyPinPrompt::Request& request) {
    QString text = request.previousWasWrong ? QStringLiteral("The PIN was wrong. ") : QString();
    text += QStringLiteral("Enter the PIN of your security key to continue.");
    if (request.retriesLeft) text += QStringLiteral("\n%1 attempts left.").arg(*request.retriesLeft);
    return text;
}

}  // namespace

SecurityKeyPinDialog::SecurityKeyPinDialog(Executor& ui) : ui_(ui) {}

std::optional<SecretBytes> SecurityKeyPinDialog::pin(const Request& request, std::stop_token stop) {
    auto answer = std::make_shared<Answer>();
    const QString text = promptText(request);
    ui_.post([answer, text] {
        auto* dialog = new QInputDialog;
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->setWindowTitle(QStringLiteral("Security key PIN"));
        dialog->setLabelText(text);
        dialog->setTextEchoMode(QLineEdit::Password);
        answer->dialog = dialog;
        QObject::connect(dialog, &QDialog::finished, dialog, [answer, dialog](int result) {
            std::lock_guard lock(answer->mutex);
            if (answer->done) return;
            if (result == QDialog::Accepted) {
                const QByteArray utf8 = dialog->textValue().toUtf8();
                answer->pin = SecretBytes(utf8.begin(), utf8.end());
            }
            dialog->setTextValue(QString());
            answer->done = true;
            answer->answered.notify_all();
        });
        {
            std::lock_guard lock(answer->mutex);
            if (answer->done) {  // stopped before the dialog was made
                dialog->deleteLater();
                return;
            }
        }
        dialog->open();
    });

    std::unique_lock lock(answer->mutex);
    answer->answered.wait(lock, stop, [&] { return answer->done; });
    if (!answer->done) {
        // Stopped: nothing more is accepted, and the dialog goes away.
        answer->done = true;
        ui_.post([answer] {
            if (answer->dialog) answer->dialog->reject();
        });
        return std::nullopt;
    }
    return std::move(answer->pin);
}

}  // namespace nimbuscrate
