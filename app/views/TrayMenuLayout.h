#pragma once

#include <string>
#include <vector>

#include "app/views/AppModelPort.h"

namespace nimbuscrate {

// The tray item's menu and icon for one state of the model.

enum class TrayEntry {
    showWindow,
    separatorBeforeCreateAccount,
    createAccount,
    separatorBeforeActions,
    open,
    openWebsite,
    refresh,
    unmount,
    signOut,
    separatorBeforeQuit,
    quit,
};

// Every entry of the one fixed menu, in menu order.
inline constexpr TrayEntry kTrayEntries[] = {
    TrayEntry::showWindow, TrayEntry::separatorBeforeCreateAccount, TrayEntry::createAccount,
    TrayEntry::separatorBeforeActions, TrayEntry::open, TrayEntry::openWebsite, TrayEntry::refresh,
    TrayEntry::unmount, TrayEntry::signOut, TrayEntry::separatorBeforeQuit, TrayEntry::quit,
};

bool isSeparator(TrayEntry entry);
// The entry's title ("" for a separator).
const char* trayEntryTitle(TrayEntry entry);

struct TrayEntryState {
    bool visible = true;
    bool enabled = true;
    friend bool operator==(const TrayEntryState&, const TrayEntryState&) = default;
};

TrayEntryState trayEntryState(TrayEntry entry, const AppViewState& state);

// The icon: the spinning upload icon while uploads run, else the drive with
// a check mark (mounted) or a cross (not mounted).
enum class TrayIconKind { uploading, mounted, notMounted };
TrayIconKind trayIconKind(const AppViewState& state);

}  // namespace nimbuscrate
