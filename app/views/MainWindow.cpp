#include "app/views/MainWindow.h"

#include <QAction>
#include <QButtonGroup>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLinearGradient>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/views/BusyIndicator.h"
#include "app/views/PasskeySettingsDialog.h"
#include "app/views/Symbols.h"

namespace nimbuscrate {

namespace {

const QColor kOrange(0xff, 0x9f, 0x0a);
const QColor kGreen(0x32, 0xd7, 0x4b);
const QColor kRed(0xff, 0x45, 0x3a);
const QColor kBlue(0x40, 0x9c, 0xff);
const QColor kSecondary(0xa8, 0xb3, 0xbf);

const char* kPrimaryStyle =
    "QPushButton { background: #0a84ff; color: white; border: none; border-radius: 7px; padding: 8px 16px;"
    " font-size: 14px; font-weight: 600; }"
    "QPushButton:pressed { background: #0060d0; }"
    "QPushButton:disabled { background: #2a3846; color: #6f7f8f; }";
const char* kSecondaryStyle =
    "QPushButton { background: rgba(255,255,255,0.10); color: white; border: 1px solid rgba(255,255,255,0.22);"
    " border-radius: 7px; padding: 8px 14px; font-size: 14px; }"
    "QPushButton:pressed { background: rgba(255,255,255,0.20); }"
    "QPushButton:disabled { color: #6f7f8f; border-color: rgba(255,255,255,0.08); }";
const char* kPlainStyle =
    "QPushButton { background: transparent; color: #409cff; border: none; padding: 2px 0; font-size: 13px; }"
    "QPushButton:pressed { color: #2070d0; }";

QString q(const std::string& text) { return QString::fromStdString(text); }

const char* actionName(WindowAction action) {
    switch (action) {
        case WindowAction::signInAndMount: return "signInAndMount";
        case WindowAction::createAccount: return "createAccount";
        case WindowAction::openInFinder: return "openInFinder";
        case WindowAction::mount: return "mount";
        case WindowAction::refresh: return "refresh";
        case WindowAction::freeUpSpace: return "freeUpSpace";
        case WindowAction::unmount: return "unmount";
        case WindowAction::signOut: return "signOut";
    }
    return "";
}

QLabel* textLabel(const QString& text, const QColor& colour, int pixelSize, bool bold = false) {
    auto* label = new QLabel(text);
    QFont font = label->font();
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
    return label;
}

void setColour(QLabel* label, const QColor& colour) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
}

}  // namespace

ContentView::ContentView(AppModelPort& model, LinkOpener& links, AppLinks urls, bool passkeysSupported,
                         QWidget* parent)
    : QWidget(parent), model_(model), links_(links), urls_(std::move(urls)), passkeysSupported_(passkeysSupported) {
    setObjectName("content");
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(36, 36, 36, 36);
    stack->setSpacing(28);
    stack->addWidget(createHeader());
    stack->addStretch(1);
    stack->addWidget(createStatusCard());
    stack->addWidget(createUnlockPanel());

    setup_ = new QPushButton("Set up encryption on the website");
    setup_->setObjectName("setupEncryption");
    setup_->setStyleSheet(kPlainStyle);
    setup_->setCursor(Qt::PointingHandCursor);
    connect(setup_, &QPushButton::clicked, this, [this] { links_.open(urls_.webApp); });
    stack->addWidget(setup_, 0, Qt::AlignLeft);

    passkeysButton_ = new QPushButton(symbolIcon(Symbol::personBadgeKeyFill, Qt::white), "Passkeys");
    passkeysButton_->setObjectName("passkeys");
    passkeysButton_->setStyleSheet(kSecondaryStyle);
    connect(passkeysButton_, &QPushButton::clicked, this, &ContentView::showPasskeys);
    stack->addWidget(passkeysButton_, 0, Qt::AlignLeft);

    stack->addStretch(1);
    stack->addWidget(createActionRow());

    connect(&model_, &AppModelPort::stateChanged, this, &ContentView::apply);
    apply();
}

QWidget* ContentView::createHeader() {
    auto* header = new QWidget;
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(14);
    auto* logo = new QLabel;
    logo->setObjectName("logo");
    logo->setPixmap(QPixmap::fromImage(drawLogo()));
    logo->setFixedSize(151, 50);
    logo->setAccessibleName("Nimbuscrate");
    row->addWidget(logo, 0, Qt::AlignVCenter);
    row->addStretch(1);

    badgeBox_ = new QWidget;
    badgeBox_->setObjectName("badge");
    auto* badgeRow = new QHBoxLayout(badgeBox_);
    badgeRow->setContentsMargins(0, 0, 0, 0);
    badgeRow->setSpacing(7);
    badgeSpinner_ = new BusyIndicator(14, kSecondary);
    badgeIcon_ = new QLabel;
    badge_ = textLabel("", kSecondary, 14, true);
    badge_->setObjectName("badgeText");
    badgeRow->addWidget(badgeSpinner_);
    badgeRow->addWidget(badgeIcon_);
    badgeRow->addWidget(badge_);
    row->addWidget(badgeBox_, 0, Qt::AlignVCenter);
    return header;
}

QWidget* ContentView::createStatusCard() {
    auto* card = new QWidget;
    auto* column = new QVBoxLayout(card);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(12);
    title_ = textLabel("", Qt::white, 38, true);
    title_->setObjectName("title");
    title_->setWordWrap(true);
    status_ = textLabel("", kSecondary, 20);
    status_->setObjectName("status");
    status_->setWordWrap(true);
    status_->setTextFormat(Qt::PlainText);
    account_ = textLabel("", kBlue, 14);
    account_->setObjectName("accountName");
    account_->setTextFormat(Qt::PlainText);
    errorRow_ = new QWidget;
    auto* errorLine = new QHBoxLayout(errorRow_);
    errorLine->setContentsMargins(0, 4, 0, 0);
    errorLine->setSpacing(6);
    auto* errorIcon = new QLabel;
    errorIcon->setPixmap(QPixmap::fromImage(drawSymbol(Symbol::exclamationmarkTriangleFill, 16, kRed)));
    error_ = textLabel("", kRed, 14);
    error_->setObjectName("errorMessage");
    error_->setWordWrap(true);
    error_->setTextFormat(Qt::PlainText);
    errorLine->addWidget(errorIcon, 0, Qt::AlignTop);
    errorLine->addWidget(error_, 1);
    column->addWidget(title_);
    column->addWidget(status_);
    column->addWidget(account_);
    column->addWidget(errorRow_);
    return card;
}

QWidget* ContentView::createUnlockPanel() {
    unlockPanel_ = new QWidget;
    unlockPanel_->setObjectName("unlockPanel");
    auto* column = new QVBoxLayout(unlockPanel_);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(10);

    passkeyUnlock_ = new QPushButton(symbolIcon(Symbol::personBadgeKeyFill, Qt::white), "Unlock with passkey");
    passkeyUnlock_->setObjectName("unlockWithPasskey");
    passkeyUnlock_->setStyleSheet(kPrimaryStyle);
    connect(passkeyUnlock_, &QPushButton::clicked, this, [this] { model_.unlockEncryptionWithPasskey(); });
    column->addWidget(passkeyUnlock_, 0, Qt::AlignLeft);

    auto* picker = new QWidget;
    picker->setMaximumWidth(430);
    auto* pickerRow = new QHBoxLayout(picker);
    pickerRow->setContentsMargins(0, 0, 0, 0);
    pickerRow->setSpacing(0);
    auto* pickerLabel = textLabel("Unlock with", kSecondary, 13);
    pickerRow->addWidget(pickerLabel);
    pickerRow->addSpacing(10);
    secretKind_ = new QButtonGroup(this);
    secretKind_->setExclusive(true);
    const char* segmentStyle =
        "QPushButton { background: rgba(255,255,255,0.08); color: white; border: 1px solid rgba(255,255,255,0.2);"
        " padding: 4px 10px; font-size: 13px; }"
        "QPushButton:checked { background: #0a84ff; border-color: #0a84ff; }";
    int id = 0;
    for (const char* segment : {"Encryption passphrase", "Recovery key"}) {
        auto* button = new QPushButton(segment);
        button->setObjectName(id == 0 ? "usePassphrase" : "useRecoveryKey");
        button->setCheckable(true);
        button->setChecked(id == 0);
        button->setStyleSheet(segmentStyle);
        secretKind_->addButton(button, id++);
        pickerRow->addWidget(button);
    }
    pickerRow->addStretch(1);
    connect(secretKind_, &QButtonGroup::idClicked, this, [this](int) { apply(); });
    column->addWidget(picker);

    auto* entry = new QHBoxLayout;
    secret_ = new QLineEdit;
    secret_->setObjectName("secret");
    secret_->setEchoMode(QLineEdit::Password);
    secret_->setMaximumWidth(430);
    // Return does nothing: only the button unlocks.
    connect(secret_, &QLineEdit::textChanged, this, &ContentView::apply);
    unlock_ = new QPushButton("Unlock");
    unlock_->setObjectName("unlock");
    unlock_->setStyleSheet(
        "QPushButton { background: #0a84ff; color: white; border: none; border-radius: 6px; padding: 5px 14px; }"
        "QPushButton:disabled { background: #2a3846; color: #6f7f8f; }");
    connect(unlock_, &QPushButton::clicked, this, &ContentView::submitUnlock);
    secret_->setMinimumWidth(280);
    entry->addWidget(secret_, 1);
    entry->addWidget(unlock_);
    entry->addStretch(0);
    column->addLayout(entry);

    auto* hint = textLabel(window_text::kUnlockHint, kSecondary, 12);
    hint->setWordWrap(true);
    column->addWidget(hint);
    return unlockPanel_;
}

QWidget* ContentView::createActionRow() {
    auto* row = new QWidget;
    actionRow_ = new QHBoxLayout(row);
    actionRow_->setContentsMargins(0, 0, 0, 0);
    actionRow_->setSpacing(12);
    for (WindowAction action : {WindowAction::signInAndMount, WindowAction::createAccount, WindowAction::openInFinder,
                                WindowAction::mount, WindowAction::refresh, WindowAction::freeUpSpace,
                                WindowAction::unmount, WindowAction::signOut}) {
        QPushButton* button = createActionButton(action);
        button->setParent(row);
        actionButtons_.emplace_back(action, button);
    }
    busy_ = new BusyIndicator(16, kSecondary, row);
    busy_->setObjectName("busyIndicator");
    return row;
}

QPushButton* ContentView::createActionButton(WindowAction action) {
    auto* button = new QPushButton;
    button->setObjectName(actionName(action));
    button->setVisible(false);
    switch (action) {
        case WindowAction::signInAndMount:
            button->setIcon(symbolIcon(Symbol::personCropCircleBadgeCheckmark, Qt::white));
            break;
        case WindowAction::openInFinder: button->setIcon(symbolIcon(Symbol::folderFill, Qt::white)); break;
        case WindowAction::mount: button->setIcon(symbolIcon(Symbol::externaldriveBadgePlus, Qt::white)); break;
        default: break;
    }
    connect(button, &QPushButton::clicked, this, [this, action] { startAction(action); });
    return button;
}

QMessageBox* ContentView::cleanupConfirmation() const { return cleanup_.data(); }

PasskeySettingsDialog* ContentView::passkeySheet() const { return passkeys_.data(); }

void ContentView::apply() {
    const AppViewState state = model_.state();
    MainWindowInput input;
    input.secret = secret_->text().toStdString();
    input.useRecoveryKey = secretKind_->checkedId() == 1;
    input.passkeysSupported = passkeysSupported_;
    layout_ = layoutMainWindow(state, input);

    // Header badge.
    badgeBox_->setVisible(layout_.badge != StateBadge::none);
    badgeSpinner_->setVisible(layout_.badge == StateBadge::uploading);
    badge_->setText(q(layout_.badgeText));
    QColor badgeColour = kSecondary;
    std::optional<Symbol> badgeSymbol;
    switch (layout_.badge) {
        case StateBadge::locked: badgeColour = kOrange; badgeSymbol = Symbol::lockFill; break;
        case StateBadge::paused: badgeColour = kOrange; badgeSymbol = Symbol::pauseCircle; break;
        case StateBadge::synced: badgeColour = kGreen; badgeSymbol = Symbol::checkmarkCircleFill; break;
        case StateBadge::uploading:
        case StateBadge::none: break;
    }
    setColour(badge_, badgeColour);
    badgeIcon_->setVisible(badgeSymbol.has_value());
    if (badgeSymbol) badgeIcon_->setPixmap(QPixmap::fromImage(drawSymbol(*badgeSymbol, 16, badgeColour)));

    // Status card.
    title_->setText(q(layout_.title));
    status_->setText(q(layout_.status));
    account_->setVisible(layout_.accountLine.has_value());
    account_->setText(q(layout_.accountLine.value_or("")));
    errorRow_->setVisible(layout_.errorLine.has_value());
    error_->setText(q(layout_.errorLine.value_or("")));

    // Unlock panel.
    unlockPanel_->setVisible(layout_.showsUnlockPanel);
    passkeyUnlock_->setVisible(layout_.showsPasskeyUnlock);
    passkeyUnlock_->setEnabled(layout_.passkeyUnlockEnabled);
    secret_->setPlaceholderText(q(layout_.secretPlaceholder));
    unlock_->setEnabled(layout_.unlockEnabled);

    setup_->setVisible(layout_.showsSetupButton);
    passkeysButton_->setVisible(layout_.showsPasskeysButton);
    passkeysButton_->setEnabled(layout_.passkeysButtonEnabled);

    // Action row: the layout's buttons in its order, then the busy indicator.
    while (QLayoutItem* item = actionRow_->takeAt(0)) delete item;  // the buttons stay
    for (auto& [action, button] : actionButtons_) button->setVisible(false);
    for (const WindowActionButton& wanted : layout_.actions) {
        for (auto& [action, button] : actionButtons_) {
            if (action != wanted.action) continue;
            button->setText(q(wanted.title));
            button->setStyleSheet(wanted.primary ? kPrimaryStyle : kSecondaryStyle);
            button->setEnabled(wanted.enabled);
            actionRow_->addWidget(button);
            button->setVisible(true);
        }
    }
    actionRow_->addSpacing(8);
    actionRow_->addWidget(busy_);
    busy_->setVisible(layout_.showsBusyIndicator);
    actionRow_->addStretch(1);
}

void ContentView::submitUnlock() {
    // The secret and the choice are taken at the press; the field is empty
    // before the model sees the secret, whatever the outcome.
    const std::string secret = secret_->text().toStdString();
    const bool useRecoveryKey = secretKind_->checkedId() == 1;
    if (!layoutMainWindow(model_.state(), {secret, useRecoveryKey, passkeysSupported_}).unlockEnabled) return;
    secret_->clear();
    model_.unlockEncryption(secret, useRecoveryKey);
}

void ContentView::startAction(WindowAction action) {
    switch (action) {
        case WindowAction::signInAndMount: model_.signInAndMount(); break;
        case WindowAction::createAccount: links_.open(urls_.signUp); break;
        case WindowAction::openInFinder: model_.openInFinder(); break;
        case WindowAction::mount: model_.mount(); break;
        case WindowAction::refresh: model_.refresh(); break;
        case WindowAction::freeUpSpace: confirmCleanup(); break;
        case WindowAction::unmount: model_.unmount(); break;
        case WindowAction::signOut: model_.signOut(); break;
    }
}

void ContentView::confirmCleanup() {
    if (cleanup_) return;
    auto* box = new QMessageBox(this);
    box->setObjectName("cleanupConfirmation");
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    box->setIcon(QMessageBox::Question);
    box->setWindowTitle(window_text::kCleanupTitle);
    box->setText(window_text::kCleanupTitle);
    box->setInformativeText(window_text::kCleanupMessage);
    QPushButton* remove = box->addButton("Remove local copies", QMessageBox::AcceptRole);
    remove->setObjectName("removeLocalCopies");
    box->addButton("Cancel", QMessageBox::RejectRole)->setObjectName("cancel");
    box->setDefaultButton(remove);
    connect(box, &QMessageBox::buttonClicked, this, [this, remove](QAbstractButton* clicked) {
        // A tray action may have made the model busy while the dialog was up:
        // a cleanup must not start under it.
        if (clicked == remove && !model_.state().isBusy) model_.freeUpSpace();
    });
    cleanup_ = box;
    box->open();
}

void ContentView::showPasskeys() {
    if (passkeys_) return;
    auto* sheet = new PasskeySettingsDialog(model_, passkeysSupported_, this);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->setWindowModality(Qt::WindowModal);
    passkeys_ = sheet;
    sheet->open();
}

void ContentView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    QLinearGradient gradient(rect().topLeft(), rect().bottomRight());
    gradient.setColorAt(0, QColor::fromRgbF(0.03f, 0.05f, 0.07f));
    gradient.setColorAt(1, QColor::fromRgbF(0.05f, 0.12f, 0.19f));
    p.fillRect(rect(), gradient);
}

MainWindow::MainWindow(AppModelPort& model, LinkOpener& links, AppLinks urls, bool passkeysSupported,
                       QAction* quit, QWidget* parent)
    : QMainWindow(parent), model_(model) {
    setObjectName("mainWindow");
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle("Nimbuscrate");
    setMinimumSize(640, 540);
    content_ = new ContentView(model, links, std::move(urls), passkeysSupported, this);
    setCentralWidget(content_);

    QMenu* menu = menuBar()->addMenu("Nimbuscrate");
    openInFinder_ = menu->addAction("Open Nimbuscrate in Finder");
    openInFinder_->setObjectName("openInFinderCommand");
    connect(openInFinder_, &QAction::triggered, this, [this] { model_.openInFinder(); });
    refresh_ = menu->addAction("Refresh");
    refresh_->setObjectName("refreshCommand");
    connect(refresh_, &QAction::triggered, this, [this] {
        if (layoutMainWindow(model_.state(), {}).refreshCommandEnabled) model_.refresh();
    });
    menu->addSeparator();
    close_ = menu->addAction("Close Window");
    close_->setObjectName("closeCommand");
    close_->setShortcut(QKeySequence::Close);
    connect(close_, &QAction::triggered, this, &QWidget::close);
    if (quit) {
        menu->addAction(quit);
        addAction(quit);  // its shortcut works in the window even with the menu closed
    }
    addAction(close_);

    connect(&model_, &AppModelPort::stateChanged, this, &MainWindow::apply);
    apply();
}

void MainWindow::apply() {
    const MainWindowLayout layout = layoutMainWindow(model_.state(), {});
    openInFinder_->setEnabled(layout.openInFinderCommandEnabled);
    refresh_->setEnabled(layout.refreshCommandEnabled);
}

}  // namespace nimbuscrate
