// The rules the widgets apply, as tables: what the main window, the tray menu
// and the passkey sheet show and enable for each state of the model.

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/views/ActivationPolicy.h"
#include "app/views/MainWindowLayout.h"
#include "app/views/PasskeySheetLayout.h"
#include "app/views/TrayMenuLayout.h"
#include "app/views/UploadSpinner.h"

namespace nimbuscrate {
namespace {

AppViewState signedOut() { return {}; }

AppViewState signedIn() {
    AppViewState s;
    s.isSignedIn = true;
    s.accountName = "Nimbuscrate Drive";
    s.status = "Ready to mount your storage.";
    return s;
}

AppViewState mounted() {
    AppViewState s = signedIn();
    s.isMounted = true;
    s.status = "Nimbuscrate is available in Finder.";
    return s;
}

template <typename Change>
AppViewState with(AppViewState s, Change change) {
    change(s);
    return s;
}

std::vector<std::string> titles(const std::vector<WindowActionButton>& actions) {
    std::vector<std::string> out;
    for (const auto& a : actions) out.push_back(a.title);
    return out;
}

struct WindowCase {
    const char* name;
    AppViewState state;
    StateBadge badge;
    std::string badgeText;
    std::string title;
    std::vector<std::string> actions;
    bool unlockPanel;
    bool setupButton;
    bool passkeysButton;
};

TEST(MainWindowLayoutTest, BadgeTitleAndActionsFollowTheState) {
    const std::vector<WindowCase> cases = {
        {"signed out", signedOut(), StateBadge::none, "", "Your files. Native on your Mac.",
         {"Sign in and mount", "Create account"}, false, false, false},
        {"signed in, not mounted", signedIn(), StateBadge::none, "", "Your files. Native on your Mac.",
         {"Mount in Finder", "Sign out"}, false, false, false},
        {"mounted", mounted(), StateBadge::synced, "Synced", "Your cloud drive is ready.",
         {"Open in Finder", "Refresh", "Free up space", "Unmount", "Sign out"}, false, false, false},
        {"mounted while uploading", with(mounted(), [](auto& s) { s.isUploading = true; }), StateBadge::uploading,
         "Uploading", "Your cloud drive is ready.",
         {"Open in Finder", "Refresh", "Free up space", "Unmount", "Sign out"}, false, false, false},
        {"uploading while not mounted", with(signedIn(), [](auto& s) { s.isUploading = true; }), StateBadge::none,
         "", "Your files. Native on your Mac.", {"Mount in Finder", "Sign out"}, false, false, false},
        {"paused wins over uploading",
         with(mounted(), [](auto& s) { s.isUploading = s.encryptionPaused = s.encryptionEnabled = true; }),
         StateBadge::paused, "Changes paused", "Your cloud drive is ready.",
         {"Open in Finder", "Refresh", "Free up space", "Unmount", "Sign out"}, false, false, true},
        {"needs unlock", with(signedIn(), [](auto& s) { s.encryptionNeedsUnlock = s.encryptionEnabled = true; }),
         StateBadge::locked, "Locked", "Unlock your encrypted files.", {"Refresh", "Sign out"}, true, false, false},
        {"needs setup keeps the title", with(signedIn(), [](auto& s) { s.encryptionNeedsSetup = true; }),
         StateBadge::locked, "Locked", "Your files. Native on your Mac.", {"Refresh", "Sign out"}, false, true,
         false},
        {"locked wins over mounted", with(mounted(), [](auto& s) { s.encryptionNeedsUnlock = true; }),
         StateBadge::locked, "Locked", "Unlock your encrypted files.", {"Refresh", "Sign out"}, true, false, false},
        {"encrypted and unlocked, mounted", with(mounted(), [](auto& s) { s.encryptionEnabled = true; }),
         StateBadge::synced, "Synced", "Your cloud drive is ready.",
         {"Open in Finder", "Refresh", "Free up space", "Unmount", "Sign out"}, false, false, true},
        {"encrypted and unlocked, not mounted", with(signedIn(), [](auto& s) { s.encryptionEnabled = true; }),
         StateBadge::none, "", "Your files. Native on your Mac.", {"Mount in Finder", "Sign out"}, false, false,
         true},
    };
    for (const WindowCase& c : cases) {
        SCOPED_TRACE(c.name);
        const MainWindowLayout layout = layoutMainWindow(c.state, {});
        EXPECT_EQ(layout.badge, c.badge);
        EXPECT_EQ(layout.badgeText, c.badgeText);
        EXPECT_EQ(layout.title, c.title);
        EXPECT_EQ(layout.status, c.state.status);
        EXPECT_EQ(titles(layout.actions), c.actions);
        // The first button is the prominent one, except in the locked set.
        for (std::size_t i = 0; i < layout.actions.size(); ++i) {
            EXPECT_EQ(layout.actions[i].primary, i == 0 && c.badge != StateBadge::locked) << c.actions[i];
        }
        EXPECT_EQ(layout.showsUnlockPanel, c.unlockPanel);
        EXPECT_EQ(layout.showsSetupButton, c.setupButton);
        EXPECT_EQ(layout.showsPasskeysButton, c.passkeysButton);
    }
}

TEST(MainWindowLayoutTest, StatusCardShowsTheModelsTextsAsTheyAre) {
    AppViewState s = signedIn();
    s.status = "Nimbuscrate needs attention.";
    s.errorMessage = "The server answered 500: <b>oops</b>";
    MainWindowLayout layout = layoutMainWindow(s, {});
    EXPECT_EQ(layout.status, "Nimbuscrate needs attention.");
    EXPECT_EQ(layout.accountLine, "Nimbuscrate Drive");
    EXPECT_EQ(layout.errorLine, "The server answered 500: <b>oops</b>");

    s.accountName.clear();
    s.errorMessage.reset();
    layout = layoutMainWindow(s, {});
    EXPECT_FALSE(layout.accountLine.has_value());
    EXPECT_FALSE(layout.errorLine.has_value());

    // The error stays in every state while the model keeps it.
    for (AppViewState state : {signedOut(), mounted(), with(signedIn(), [](auto& x) { x.encryptionNeedsUnlock = true; })}) {
        state.errorMessage = "failed";
        EXPECT_EQ(layoutMainWindow(state, {}).errorLine, "failed");
    }
}

TEST(MainWindowLayoutTest, BusyDisablesEveryOperationAndShowsTheIndicator) {
    const std::vector<AppViewState> states = {
        signedOut(), signedIn(), mounted(),
        with(signedIn(), [](auto& s) { s.encryptionNeedsUnlock = s.encryptionEnabled = true; }),
        with(mounted(), [](auto& s) { s.encryptionEnabled = true; })};
    for (AppViewState s : states) {
        for (bool busy : {false, true}) {
            s.isBusy = busy;
            SCOPED_TRACE(std::string(busy ? "busy " : "idle ") + layoutMainWindow(s, {}).title);
            const MainWindowLayout layout = layoutMainWindow(s, {"secret", false, true});
            for (const WindowActionButton& action : layout.actions) {
                SCOPED_TRACE(action.title);
                EXPECT_EQ(action.enabled, !busy);
            }
            EXPECT_EQ(layout.showsBusyIndicator, busy);
            EXPECT_EQ(layout.passkeyUnlockEnabled, !busy);
            EXPECT_EQ(layout.passkeysButtonEnabled, !busy);
            EXPECT_EQ(layout.unlockEnabled, !busy);
        }
    }
}

TEST(MainWindowLayoutTest, UploadingDisablesOnlyFreeUpSpace) {
    const MainWindowLayout layout = layoutMainWindow(with(mounted(), [](auto& s) { s.isUploading = true; }), {});
    for (const WindowActionButton& action : layout.actions) {
        SCOPED_TRACE(action.title);
        EXPECT_EQ(action.enabled, action.action != WindowAction::freeUpSpace);
    }
    EXPECT_FALSE(layout.showsBusyIndicator);
}

TEST(MainWindowLayoutTest, UnlockPanelFollowsTheTypedSecretAndTheChoice) {
    struct Case {
        std::string secret;
        bool useRecoveryKey;
        bool busy;
        bool enabled;
        std::string placeholder;
    };
    const std::vector<Case> cases = {
        {"", false, false, false, "Encryption passphrase"},
        {" ", false, false, true, "Encryption passphrase"},  // no trimming
        {"correct horse", true, false, true, "Recovery key"},
        {"correct horse", false, true, false, "Encryption passphrase"},
        {"", true, true, false, "Recovery key"},
    };
    const AppViewState locked = with(signedIn(), [](auto& s) { s.encryptionNeedsUnlock = true; });
    for (const Case& c : cases) {
        SCOPED_TRACE("secret '" + c.secret + "'");
        const MainWindowLayout layout =
            layoutMainWindow(with(locked, [&](auto& s) { s.isBusy = c.busy; }), {c.secret, c.useRecoveryKey, true});
        EXPECT_EQ(layout.unlockEnabled, c.enabled);
        EXPECT_EQ(layout.secretPlaceholder, c.placeholder);
    }
    // Without passkey support the panel keeps the picker, field and button only.
    const MainWindowLayout noPasskeys = layoutMainWindow(locked, {"x", false, false});
    EXPECT_TRUE(noPasskeys.showsUnlockPanel);
    EXPECT_FALSE(noPasskeys.showsPasskeyUnlock);
    EXPECT_TRUE(layoutMainWindow(locked, {"x", false, true}).showsPasskeyUnlock);
}

TEST(MainWindowLayoutTest, WindowMenuCommandsNeedAMountAndRefreshWaitsForBusy) {
    struct Case {
        const char* name;
        AppViewState state;
        bool open;
        bool refresh;
    };
    const std::vector<Case> cases = {
        {"signed out", signedOut(), false, false},
        {"not mounted", signedIn(), false, false},
        {"not mounted, busy", with(signedIn(), [](auto& s) { s.isBusy = true; }), false, false},
        {"mounted", mounted(), true, true},
        {"mounted, busy", with(mounted(), [](auto& s) { s.isBusy = true; }), true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const MainWindowLayout layout = layoutMainWindow(c.state, {});
        EXPECT_EQ(layout.openInFinderCommandEnabled, c.open);
        EXPECT_EQ(layout.refreshCommandEnabled, c.refresh);
    }
}

struct MenuLine {
    std::string title;  // "-" for a separator
    bool enabled;
    friend bool operator==(const MenuLine&, const MenuLine&) = default;
};

void PrintTo(const MenuLine& line, std::ostream* out) { *out << line.title << (line.enabled ? "" : " (disabled)"); }

std::vector<MenuLine> visibleMenu(const AppViewState& s) {
    std::vector<MenuLine> out;
    for (TrayEntry entry : kTrayEntries) {
        const TrayEntryState state = trayEntryState(entry, s);
        if (!state.visible) continue;
        out.push_back({isSeparator(entry) ? "-" : trayEntryTitle(entry), state.enabled});
    }
    return out;
}

TEST(TrayMenuLayoutTest, TheFourStatesOfTheMenu) {
    struct Case {
        const char* name;
        AppViewState state;
        std::vector<MenuLine> menu;
    };
    const std::vector<Case> cases = {
        {"signed out",
         signedOut(),
         {{"Show Nimbuscrate", true},
          {"-", true},
          {"Create account", true},
          {"-", true},
          {"Open", false},
          {"Open Nimbuscrate on the website", false},
          {"Refresh", false},
          {"Unmount", false},
          {"Sign out", false},
          {"-", true},
          {"Quit Nimbuscrate", true}}},
        {"mounted, idle",
         mounted(),
         {{"Show Nimbuscrate", true},
          {"-", true},
          {"Open", true},
          {"Open Nimbuscrate on the website", true},
          {"Refresh", true},
          {"Unmount", true},
          {"Sign out", true},
          {"-", true},
          {"Quit Nimbuscrate", true}}},
        {"mounted, busy",
         with(mounted(), [](auto& s) { s.isBusy = true; }),
         {{"Show Nimbuscrate", true},
          {"-", true},
          {"Open", true},
          {"Open Nimbuscrate on the website", true},
          {"Refresh", false},
          {"Unmount", false},
          {"Sign out", false},
          {"-", true},
          {"Quit Nimbuscrate", true}}},
        {"signed in, not mounted",
         signedIn(),
         {{"Show Nimbuscrate", true},
          {"-", true},
          {"Open", false},
          {"Open Nimbuscrate on the website", true},
          {"Refresh", false},
          {"Unmount", false},
          {"Sign out", true},
          {"-", true},
          {"Quit Nimbuscrate", true}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(visibleMenu(c.state), c.menu);
    }
    // Signed in but not mounted, busy: sign-out waits too.
    EXPECT_FALSE(trayEntryState(TrayEntry::signOut, with(signedIn(), [](auto& s) { s.isBusy = true; })).enabled);
}

TEST(TrayMenuLayoutTest, IconShowsUploadsWhateverTheMountSays) {
    EXPECT_EQ(trayIconKind(signedOut()), TrayIconKind::notMounted);
    EXPECT_EQ(trayIconKind(mounted()), TrayIconKind::mounted);
    EXPECT_EQ(trayIconKind(with(mounted(), [](auto& s) { s.isUploading = true; })), TrayIconKind::uploading);
    EXPECT_EQ(trayIconKind(with(signedIn(), [](auto& s) { s.isUploading = true; })), TrayIconKind::uploading);
}

TEST(UploadSpinnerTest, OneLinearTurnASecondFromEachStart) {
    using namespace std::chrono;
    steady_clock::time_point now{seconds(1000)};
    UploadSpinner spinner([&] { return now; });
    EXPECT_FALSE(spinner.isTurning());
    EXPECT_EQ(spinner.angle(), 0);

    spinner.start();
    const std::vector<std::pair<int, double>> frames = {{0, 0}, {250, 90}, {500, 180}, {750, 270}, {1000, 0},
                                                        {1250, 90}, {1083, 29.88}};
    const steady_clock::time_point started = now;
    for (const auto& [ms, degrees] : frames) {
        SCOPED_TRACE(ms);
        now = started + milliseconds(ms);
        EXPECT_NEAR(spinner.angle(), degrees, 1e-9);
    }

    // Uploads end at 600 ms into a turn, and start again: a fresh turn at 0.
    now = started + milliseconds(2600);
    spinner.stop();
    EXPECT_EQ(spinner.angle(), 0);
    now += milliseconds(130);
    spinner.start();
    EXPECT_EQ(spinner.angle(), 0);
    now += milliseconds(250);
    EXPECT_NEAR(spinner.angle(), 90, 1e-9);
}

TEST(ActivationPolicyTest, WindowScanCountsVisibleUnminimizedOrdinaryWindows) {
    const WindowFacts mainWindow{true, false, true};
    const WindowFacts hidden{false, false, true};
    const WindowFacts minimized{true, true, true};
    const WindowFacts panel{true, false, false};
    struct Case {
        const char* name;
        std::vector<WindowFacts> windows;
        ActivationPolicy after;
    };
    const std::vector<Case> cases = {
        {"no window at all", {}, ActivationPolicy::accessory},
        {"the only window closed (hidden)", {hidden}, ActivationPolicy::accessory},
        {"another usable window remains", {hidden, mainWindow}, ActivationPolicy::regular},
        {"the remaining window is minimized", {hidden, minimized}, ActivationPolicy::accessory},
        {"only a panel remains", {hidden, panel}, ActivationPolicy::accessory},
        {"a usable window after a panel", {panel, minimized, mainWindow}, ActivationPolicy::regular},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(policyAfterWindowScan(ActivationPolicy::regular, c.windows), c.after);
        // The scan never makes the app regular again.
        EXPECT_EQ(policyAfterWindowScan(ActivationPolicy::accessory, c.windows), ActivationPolicy::accessory);
    }
}

std::vector<E2EEJSON> passkeys(std::size_t count) {
    std::vector<E2EEJSON> items;
    for (std::size_t i = 0; i < count; ++i) {
        items.push_back(E2EEJSON::object({{"label", E2EEJSON("Key " + std::to_string(i))}, {"rpId", "example.com"}}));
    }
    return items;
}

std::string repeated(std::string_view piece, std::size_t times) {
    std::string out;
    for (std::size_t i = 0; i < times; ++i) out += piece;
    return out;
}

TEST(PasskeySheetLayoutTest, AddRuleOnNameAndCount) {
    struct Case {
        const char* name;
        std::string label;
        std::size_t listed;
        bool busy;
        bool loading;
        bool enabled;
    };
    const std::vector<Case> cases = {
        {"default name", "My Mac", 0, false, false, true},
        {"empty", "", 0, false, false, false},
        {"spaces and newlines only", " \n\t \r\n", 0, false, false, false},
        {"no-break and ideographic spaces only", "\u00A0\u3000", 0, false, false, false},
        {"surrounding spaces are fine", "  Laptop  ", 0, false, false, true},
        {"80 ASCII bytes", std::string(80, 'a'), 0, false, false, true},
        {"81 ASCII bytes", std::string(81, 'a'), 0, false, false, false},
        {"40 two-byte characters (80 bytes)", repeated("\u00e9", 40), 0, false, false, true},
        {"27 three-byte characters (81 bytes)", repeated("\u20ac", 27), 0, false, false, false},
        {"spaces count against the limit", " " + std::string(79, 'a') + " ", 0, false, false, false},
        {"9 listed", "My Mac", 9, false, false, true},
        {"10 listed", "My Mac", 10, false, false, false},
        {"11 listed", "My Mac", 11, false, false, false},
        {"busy", "My Mac", 0, true, false, false},
        {"loading", "My Mac", 0, false, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AppViewState s = signedIn();
        s.passkeyItems = passkeys(c.listed);
        s.isBusy = c.busy;
        s.passkeyLoading = c.loading;
        EXPECT_EQ(canAddPasskey(s, c.label), c.enabled);
        EXPECT_EQ(layoutPasskeySheet(s, c.label, true).addEnabled, c.enabled);
        EXPECT_FALSE(layoutPasskeySheet(s, c.label, false).addEnabled);
        EXPECT_FALSE(layoutPasskeySheet(s, c.label, false).showsAddRow);
    }
}

TEST(PasskeySheetLayoutTest, RowsReadOnlyTextLabelAndRpId) {
    struct Case {
        const char* name;
        E2EEJSON item;
        PasskeyRow row;
    };
    const std::vector<Case> cases = {
        {"both", E2EEJSON::object({{"label", "Laptop"}, {"rpId", "drive.example"}}), {"Laptop", "drive.example", true}},
        {"label not text", E2EEJSON::object({{"label", 7}, {"rpId", "drive.example"}}), {"Passkey", "drive.example", true}},
        {"no rpId", E2EEJSON::object({{"label", "Phone"}}), {"Phone", "", true}},
        {"not an object", E2EEJSON("Laptop"), {"Passkey", "", true}},
        {"null", E2EEJSON(), {"Passkey", "", true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(passkeyRow(c.item, true), c.row);
    }
}

TEST(PasskeySheetLayoutTest, StatusLineControlsAndWarning) {
    struct Case {
        const char* name;
        std::size_t listed;
        bool loading;
        bool busy;
        std::optional<std::string> message;
        PasskeyStatusLine line;
        bool controlsEnabled;  // Remove and Refresh
        bool doneEnabled;
    };
    const std::vector<Case> cases = {
        {"empty list", 0, false, false, std::nullopt, PasskeyStatusLine::empty, true, true},
        {"loading an empty list", 0, true, false, std::nullopt, PasskeyStatusLine::loading, false, true},
        {"loading keeps the rows", 2, true, false, std::nullopt, PasskeyStatusLine::loading, false, true},
        {"listed", 2, false, false, std::nullopt, PasskeyStatusLine::none, true, true},
        {"busy", 2, false, true, std::nullopt, PasskeyStatusLine::none, false, false},
        {"failed load", 0, false, false, "The passkey list could not be loaded.", PasskeyStatusLine::empty, true,
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AppViewState s = signedIn();
        s.passkeyItems = passkeys(c.listed);
        s.passkeyLoading = c.loading;
        s.isBusy = c.busy;
        s.passkeyMessage = c.message;
        const PasskeySheetLayout layout = layoutPasskeySheet(s, "My Mac", true);
        EXPECT_EQ(layout.statusLine, c.line);
        EXPECT_EQ(layout.rows.size(), c.listed);
        for (const PasskeyRow& row : layout.rows) EXPECT_EQ(row.removeEnabled, c.controlsEnabled);
        EXPECT_EQ(layout.refreshEnabled, c.controlsEnabled);
        EXPECT_EQ(layout.doneEnabled, c.doneEnabled);
        EXPECT_EQ(layout.dismissAllowed, c.doneEnabled);
        EXPECT_EQ(layout.showsBusyIndicator, c.busy);
        EXPECT_EQ(layout.warning, c.message);
    }
}

}  // namespace
}  // namespace nimbuscrate
