#include "app/views/PasskeySettingsDialog.h"

#include <QCloseEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

#include "app/views/BusyIndicator.h"
#include "app/views/Symbols.h"

namespace nimbuscrate {

namespace {

const QColor kOrange(0xff, 0x9f, 0x0a);
const QColor kSecondary(0x6e, 0x6e, 0x73);

QLabel* secondaryText(const QString& text, int pixelSize) {
    auto* label = new QLabel(text);
    label->setWordWrap(true);
    QFont font = label->font();
    font.setPixelSize(pixelSize);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, kSecondary);
    label->setPalette(palette);
    return label;
}

}  // namespace

PasskeySettingsDialog::PasskeySettingsDialog(AppModelPort& model, bool passkeysSupported, QWidget* parent)
    : QDialog(parent), model_(model), passkeysSupported_(passkeysSupported) {
    setObjectName("passkeySheet");
    setWindowTitle("Passkeys");
    setFixedWidth(520);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(28, 28, 28, 28);
    column->setSpacing(18);

    auto* header = new QHBoxLayout;
    auto* title = new QLabel("Passkeys");
    QFont titleFont = title->font();
    titleFont.setPixelSize(22);
    titleFont.setBold(true);
    title->setFont(titleFont);
    done_ = new QPushButton("Done");
    done_->setObjectName("done");
    done_->setAutoDefault(false);
    connect(done_, &QPushButton::clicked, this, &QDialog::accept);
    header->addWidget(title);
    header->addStretch(1);
    header->addWidget(done_);
    column->addLayout(header);

    column->addWidget(secondaryText(passkey_text::kIntro, 13));

    warningRow_ = new QWidget;
    auto* warningLine = new QHBoxLayout(warningRow_);
    warningLine->setContentsMargins(0, 0, 0, 0);
    auto* warningIcon = new QLabel;
    warningIcon->setPixmap(QPixmap::fromImage(drawSymbol(Symbol::exclamationmarkTriangleFill, 16, kOrange)));
    warning_ = new QLabel;
    warning_->setObjectName("passkeyMessage");
    warning_->setWordWrap(true);
    warning_->setTextFormat(Qt::PlainText);
    QPalette warningPalette = warning_->palette();
    warningPalette.setColor(QPalette::WindowText, kOrange);
    warning_->setPalette(warningPalette);
    warningLine->addWidget(warningIcon, 0, Qt::AlignTop);
    warningLine->addWidget(warning_, 1);
    column->addWidget(warningRow_);

    loadingRow_ = new QWidget;
    loadingRow_->setObjectName("loading");
    auto* loadingLine = new QHBoxLayout(loadingRow_);
    loadingLine->setContentsMargins(0, 0, 0, 0);
    loadingLine->addWidget(new BusyIndicator(14, kSecondary));
    loadingLine->addWidget(new QLabel(QString::fromUtf8("Loading passkeys\u2026")));
    loadingLine->addStretch(1);
    column->addWidget(loadingRow_);
    empty_ = secondaryText("No passkeys registered.", 13);
    empty_->setObjectName("empty");
    column->addWidget(empty_);

    auto* scroll = new QScrollArea;
    scroll->setObjectName("passkeyList");
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setMaximumHeight(220);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    rowsBox_ = new QWidget;
    rows_ = new QVBoxLayout(rowsBox_);
    rows_->setContentsMargins(0, 0, 0, 0);
    rows_->setSpacing(12);
    scroll->setWidget(rowsBox_);
    column->addWidget(scroll);

    auto* divider = new QFrame;
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    column->addWidget(divider);

    if (passkeysSupported_) {
        auto* addRow = new QHBoxLayout;
        label_ = new QLineEdit(kDefaultPasskeyLabel);
        label_->setObjectName("label");
        label_->setPlaceholderText("Passkey name");
        label_->setAccessibleName("Passkey name");
        connect(label_, &QLineEdit::textChanged, this, &PasskeySettingsDialog::apply);
        add_ = new QPushButton("Add passkey");
        add_->setObjectName("addPasskey");
        add_->setAutoDefault(false);
        connect(add_, &QPushButton::clicked, this, &PasskeySettingsDialog::add);
        addRow->addWidget(label_, 1);
        addRow->addWidget(add_);
        column->addLayout(addRow);
        column->addWidget(secondaryText(passkey_text::kAddHint, 11));
    } else {
        column->addWidget(secondaryText(passkey_text::kUnsupported, 11));
    }

    auto* footer = new QHBoxLayout;
    refresh_ = new QPushButton("Refresh");
    refresh_->setObjectName("refresh");
    refresh_->setAutoDefault(false);
    connect(refresh_, &QPushButton::clicked, this, [this] { model_.refreshPasskeys(); });
    busy_ = new BusyIndicator(14, kSecondary);
    busy_->setObjectName("busyIndicator");
    footer->addWidget(refresh_);
    footer->addWidget(busy_);
    footer->addStretch(1);
    column->addLayout(footer);

    connect(&model_, &AppModelPort::stateChanged, this, &PasskeySettingsDialog::apply);
    apply();
}

PasskeySettingsDialog::~PasskeySettingsDialog() { lifetime_.request_stop(); }

QMessageBox* PasskeySettingsDialog::removalConfirmation() const { return confirmation_.data(); }

QString PasskeySettingsDialog::label() const { return label_ ? label_->text() : QString(); }

void PasskeySettingsDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!loadedOnce_) {
        loadedOnce_ = true;
        // The load of a showing belongs to the sheet: it stops when the sheet goes.
        model_.refreshPasskeys(lifetime_.get_token());
    }
}

void PasskeySettingsDialog::apply() {
    const AppViewState state = model_.state();
    layout_ = layoutPasskeySheet(state, label().toStdString(), passkeysSupported_);
    done_->setEnabled(layout_.doneEnabled);
    warningRow_->setVisible(layout_.warning.has_value());
    warning_->setText(QString::fromStdString(layout_.warning.value_or("")));
    loadingRow_->setVisible(layout_.statusLine == PasskeyStatusLine::loading);
    empty_->setVisible(layout_.statusLine == PasskeyStatusLine::empty);
    if (state.passkeyItems != shownItems_) {
        shownItems_ = state.passkeyItems;
        rebuildRows();
    }
    for (QPushButton* remove : rowsBox_->findChildren<QPushButton*>("remove")) {
        remove->setEnabled(!layout_.rows.empty() && layout_.rows.front().removeEnabled);
    }
    if (add_) add_->setEnabled(layout_.addEnabled);
    refresh_->setEnabled(layout_.refreshEnabled);
    busy_->setVisible(layout_.showsBusyIndicator);
}

void PasskeySettingsDialog::rebuildRows() {
    while (QLayoutItem* item = rows_->takeAt(0)) {
        if (QWidget* widget = item->widget()) widget->deleteLater();
        delete item;
    }
    for (std::size_t index = 0; index < shownItems_.size(); ++index) {
        const PasskeyRow row = passkeyRow(shownItems_[index], true);
        auto* line = new QWidget;
        line->setObjectName(QStringLiteral("row%1").arg(index));
        auto* layout = new QHBoxLayout(line);
        layout->setContentsMargins(0, 0, 0, 0);
        auto* icon = new QLabel;
        icon->setPixmap(QPixmap::fromImage(drawSymbol(Symbol::personBadgeKeyFill, 20, palette().color(QPalette::WindowText))));
        auto* texts = new QVBoxLayout;
        texts->setSpacing(4);
        auto* title = new QLabel(QString::fromStdString(row.title));
        title->setObjectName("rowTitle");
        title->setTextFormat(Qt::PlainText);
        QFont medium = title->font();
        medium.setWeight(QFont::Medium);
        title->setFont(medium);
        auto* subtitle = secondaryText(QString::fromStdString(row.subtitle), 11);
        subtitle->setObjectName("rowSubtitle");
        subtitle->setTextFormat(Qt::PlainText);
        texts->addWidget(title);
        texts->addWidget(subtitle);
        auto* remove = new QPushButton("Remove");
        remove->setObjectName("remove");
        remove->setAutoDefault(false);
        remove->setStyleSheet("QPushButton { color: #d70015; } QPushButton:disabled { color: #a8a8ad; }");
        const E2EEJSON item = shownItems_[index];
        connect(remove, &QPushButton::clicked, this, [this, item] { confirmRemoval(item); });
        layout->addWidget(icon);
        layout->addLayout(texts);
        layout->addStretch(1);
        layout->addWidget(remove);
        rows_->addWidget(line);
    }
}

void PasskeySettingsDialog::add() {
    if (!layout_.addEnabled) return;
    QPointer<PasskeySettingsDialog> self(this);
    model_.createPasskey(label().toStdString(), [self](bool added) {
        // The sheet may have closed while the passkey was made.
        if (self && added && self->label_) self->label_->setText(kDefaultPasskeyLabel);
    });
}

void PasskeySettingsDialog::confirmRemoval(const E2EEJSON& item) {
    if (confirmation_) return;
    removal_ = item;
    auto* box = new QMessageBox(this);
    box->setObjectName("removalConfirmation");
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    box->setIcon(QMessageBox::Warning);
    box->setWindowTitle(passkey_text::kRemoveTitle);
    box->setText(passkey_text::kRemoveTitle);
    box->setInformativeText(passkey_text::kRemoveMessage);
    QPushButton* remove = box->addButton("Remove passkey", QMessageBox::DestructiveRole);
    remove->setObjectName("removePasskey");
    box->addButton(QMessageBox::Cancel)->setObjectName("cancel");
    connect(box, &QMessageBox::buttonClicked, this, [this, remove](QAbstractButton* clicked) {
        if (clicked == remove && removal_) model_.deletePasskey(*removal_);
        removal_.reset();
    });
    connect(box, &QDialog::finished, this, [this] { removal_.reset(); });
    confirmation_ = box;
    box->open();
}

void PasskeySettingsDialog::done(int result) {
    // Neither Escape nor Done closes the sheet while the model is busy.
    if (model_.state().isBusy) return;
    QDialog::done(result);
}

void PasskeySettingsDialog::closeEvent(QCloseEvent* event) {
    if (model_.state().isBusy) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

}  // namespace nimbuscrate
