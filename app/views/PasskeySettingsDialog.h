#pragma once

#include <optional>
#include <stop_token>

#include <QDialog>
#include <QPointer>

#include "app/views/AppModelPort.h"
#include "app/views/PasskeySheetLayout.h"

class QLabel;
class QLineEdit;
class QMessageBox;
class QPushButton;
class QVBoxLayout;

namespace nimbuscrate {

class BusyIndicator;

// The passkey sheet: lists the model's passkeys, adds one under a typed name
// and removes one after a confirmation. It owns no passkey state; it applies
// layoutPasskeySheet to the model's state at each change. Each showing loads
// the list once. While the model is busy it cannot be closed.
class PasskeySettingsDialog : public QDialog {
    Q_OBJECT

public:
    PasskeySettingsDialog(AppModelPort& model, bool passkeysSupported, QWidget* parent = nullptr);
    ~PasskeySettingsDialog() override;

    const PasskeySheetLayout& layout() const { return layout_; }
    QString label() const;
    // The removal confirmation while shown, and the item it is about.
    QMessageBox* removalConfirmation() const;
    const std::optional<E2EEJSON>& removal() const { return removal_; }

public slots:
    void done(int result) override;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void apply();
    void rebuildRows();
    void add();
    void confirmRemoval(const E2EEJSON& item);

    AppModelPort& model_;
    bool passkeysSupported_;
    bool loadedOnce_ = false;
    std::stop_source lifetime_;  // stops the load started when the sheet was shown
    PasskeySheetLayout layout_;
    std::vector<E2EEJSON> shownItems_;
    std::optional<E2EEJSON> removal_;
    QPointer<QMessageBox> confirmation_;

    QPushButton* done_ = nullptr;
    QWidget* warningRow_ = nullptr;
    QLabel* warning_ = nullptr;
    QWidget* loadingRow_ = nullptr;
    QLabel* empty_ = nullptr;
    QWidget* rowsBox_ = nullptr;
    QVBoxLayout* rows_ = nullptr;
    QLineEdit* label_ = nullptr;
    QPushButton* add_ = nullptr;
    QPushButton* refresh_ = nullptr;
    BusyIndicator* busy_ = nullptr;
};

}  // namespace nimbuscrate
