#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/views/AppModelPort.h"

namespace nimbuscrate {

// What the main window shows for one state of the model and of its own
// fields. The widgets only apply it; every rule of the window lives here.

enum class StateBadge { none, locked, paused, uploading, synced };

enum class WindowAction { signInAndMount, createAccount, openInFinder, mount, refresh, freeUpSpace, unmount, signOut };

struct WindowActionButton {
    WindowAction action;
    std::string title;
    bool primary = false;  // the large prominent style with a symbol
    bool enabled = true;
    friend bool operator==(const WindowActionButton&, const WindowActionButton&) = default;
};

// The window's own fields that its rules read.
struct MainWindowInput {
    std::string secret;          // the passphrase or recovery key being typed
    bool useRecoveryKey = false; // the choice of the segmented picker
    bool passkeysSupported = true;  // whether this system can use passkeys at all
};

struct MainWindowLayout {
    StateBadge badge = StateBadge::none;
    std::string badgeText;  // empty when there is no badge
    std::string title;
    std::string status;
    std::optional<std::string> accountLine;
    std::optional<std::string> errorLine;

    bool showsUnlockPanel = false;
    bool showsPasskeyUnlock = false;
    bool passkeyUnlockEnabled = false;
    std::string secretPlaceholder;
    bool unlockEnabled = false;

    bool showsSetupButton = false;
    bool showsPasskeysButton = false;
    bool passkeysButtonEnabled = false;

    std::vector<WindowActionButton> actions;  // left to right
    bool showsBusyIndicator = false;

    // The window menu's commands.
    bool openInFinderCommandEnabled = false;
    bool refreshCommandEnabled = false;
};

MainWindowLayout layoutMainWindow(const AppViewState& state, const MainWindowInput& input);

// The texts of the window that the widgets show as they are.
namespace window_text {
inline constexpr const char* kUnlockHint =
    "Use the encryption passphrase you set on Nimbuscrate. Your keys stay in this Mac\u2019s Keychain for Finder sync.";
inline constexpr const char* kCleanupTitle = "Free up local disk space?";
inline constexpr const char* kCleanupMessage =
    "Uploaded files will remain in Nimbuscrate and become cloud-only placeholders. Files that are uploading, have "
    "unsynced changes, or are currently in use will stay on this Mac.";
}  // namespace window_text

}  // namespace nimbuscrate
