#include "app/views/MainWindowLayout.h"

namespace nimbuscrate {

namespace {

struct Badge {
    StateBadge badge;
    const char* text;
};

Badge badgeFor(const AppViewState& s, bool locked) {
    if (locked) return {StateBadge::locked, "Locked"};
    if (s.encryptionPaused) return {StateBadge::paused, "Changes paused"};
    if (s.isMounted && s.isUploading) return {StateBadge::uploading, "Uploading"};
    if (s.isMounted) return {StateBadge::synced, "Synced"};
    return {StateBadge::none, ""};
}

std::string titleFor(const AppViewState& s) {
    if (s.encryptionNeedsUnlock) return "Unlock your encrypted files.";
    if (s.isMounted) return "Your cloud drive is ready.";
    return "Your files. Native on your Mac.";
}

std::vector<WindowActionButton> actionsFor(const AppViewState& s, bool locked) {
    const bool idle = !s.isBusy;
    if (!s.isSignedIn) {
        return {{WindowAction::signInAndMount, "Sign in and mount", true, idle},
                {WindowAction::createAccount, "Create account", false, idle}};
    }
    if (locked) {
        return {{WindowAction::refresh, "Refresh", false, idle}, {WindowAction::signOut, "Sign out", false, idle}};
    }
    if (s.isMounted) {
        return {{WindowAction::openInFinder, "Open in Finder", true, idle},
                {WindowAction::refresh, "Refresh", false, idle},
                {WindowAction::freeUpSpace, "Free up space", false, idle && !s.isUploading},
                {WindowAction::unmount, "Unmount", false, idle},
                {WindowAction::signOut, "Sign out", false, idle}};
    }
    return {{WindowAction::mount, "Mount in Finder", true, idle}, {WindowAction::signOut, "Sign out", false, idle}};
}

}  // namespace

MainWindowLayout layoutMainWindow(const AppViewState& s, const MainWindowInput& input) {
    MainWindowLayout out;
    const bool locked = s.encryptionNeedsUnlock || s.encryptionNeedsSetup;
    const bool idle = !s.isBusy;

    const Badge badge = badgeFor(s, locked);
    out.badge = badge.badge;
    out.badgeText = badge.text;
    out.title = titleFor(s);
    out.status = s.status;
    if (!s.accountName.empty()) out.accountLine = s.accountName;
    out.errorLine = s.errorMessage;

    out.showsUnlockPanel = s.encryptionNeedsUnlock;
    out.showsPasskeyUnlock = s.encryptionNeedsUnlock && input.passkeysSupported;
    out.passkeyUnlockEnabled = idle;
    out.secretPlaceholder = input.useRecoveryKey ? "Recovery key" : "Encryption passphrase";
    // No trimming: a secret of spaces is a secret.
    out.unlockEnabled = idle && !input.secret.empty();

    out.showsSetupButton = s.encryptionNeedsSetup;
    out.showsPasskeysButton = s.encryptionEnabled && !s.encryptionNeedsSetup && !s.encryptionNeedsUnlock;
    out.passkeysButtonEnabled = idle;

    out.actions = actionsFor(s, locked);
    out.showsBusyIndicator = s.isBusy;

    out.openInFinderCommandEnabled = s.isMounted;
    // Unlike opening, a refresh can interleave with a sign-out or unmount that
    // holds the model busy, so the menu's command waits like the buttons do.
    out.refreshCommandEnabled = s.isMounted && idle;
    return out;
}

}  // namespace nimbuscrate
