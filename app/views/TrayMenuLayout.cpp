#include "app/views/TrayMenuLayout.h"

namespace nimbuscrate {

bool isSeparator(TrayEntry entry) {
    return entry == TrayEntry::separatorBeforeCreateAccount || entry == TrayEntry::separatorBeforeActions ||
           entry == TrayEntry::separatorBeforeQuit;
}

const char* trayEntryTitle(TrayEntry entry) {
    switch (entry) {
        case TrayEntry::showWindow: return "Show Nimbuscrate";
        case TrayEntry::createAccount: return "Create account";
        case TrayEntry::open: return "Open";
        case TrayEntry::openWebsite: return "Open Nimbuscrate on the website";
        case TrayEntry::refresh: return "Refresh";
        case TrayEntry::unmount: return "Unmount";
        case TrayEntry::signOut: return "Sign out";
        case TrayEntry::quit: return "Quit Nimbuscrate";
        case TrayEntry::separatorBeforeCreateAccount:
        case TrayEntry::separatorBeforeActions:
        case TrayEntry::separatorBeforeQuit: return "";
    }
    return "";
}

TrayEntryState trayEntryState(TrayEntry entry, const AppViewState& s) {
    switch (entry) {
        case TrayEntry::separatorBeforeCreateAccount:
        case TrayEntry::createAccount: return {!s.isSignedIn, true};
        case TrayEntry::open: return {true, s.isMounted};
        case TrayEntry::openWebsite: return {true, s.isSignedIn};
        case TrayEntry::refresh:
        case TrayEntry::unmount: return {true, s.isMounted && !s.isBusy};
        case TrayEntry::signOut: return {true, s.isSignedIn && !s.isBusy};
        case TrayEntry::showWindow:
        case TrayEntry::separatorBeforeActions:
        case TrayEntry::separatorBeforeQuit:
        case TrayEntry::quit: return {true, true};
    }
    return {true, true};
}

TrayIconKind trayIconKind(const AppViewState& s) {
    if (s.isUploading) return TrayIconKind::uploading;
    return s.isMounted ? TrayIconKind::mounted : TrayIconKind::notMounted;
}

}  // namespace nimbuscrate
