#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "app/views/AppModelPort.h"

namespace nimbuscrate {

// What the passkey sheet shows for one state of the model and one typed name.

inline constexpr std::size_t kMaxPasskeyLabelBytes = 80;
// The sheet adds a passkey only while at most this many are listed.
inline constexpr std::size_t kMaxListedPasskeysForAdd = 9;
inline constexpr const char* kDefaultPasskeyLabel = "My Mac";

enum class PasskeyStatusLine { none, loading, empty };

struct PasskeyRow {
    std::string title;
    std::string subtitle;
    bool removeEnabled = false;
    friend bool operator==(const PasskeyRow&, const PasskeyRow&) = default;
};

struct PasskeySheetLayout {
    bool doneEnabled = true;
    bool dismissAllowed = true;  // closing the sheet by the window's own means
    std::optional<std::string> warning;
    PasskeyStatusLine statusLine = PasskeyStatusLine::none;
    std::vector<PasskeyRow> rows;
    bool showsAddRow = true;
    bool addEnabled = false;
    bool refreshEnabled = false;
    bool showsBusyIndicator = false;
};

// Whether "Add passkey" is enabled: not busy, not loading, a name that is
// not blank and at most 80 UTF-8 bytes as typed, and at most 9 listed.
bool canAddPasskey(const AppViewState& state, std::string_view label);

// A row's title: the item's text "label", else "Passkey"; its subtitle: the
// item's text "rpId", else empty.
PasskeyRow passkeyRow(const E2EEJSON& item, bool removeEnabled);

PasskeySheetLayout layoutPasskeySheet(const AppViewState& state, std::string_view label, bool passkeysSupported);

namespace passkey_text {
inline constexpr const char* kIntro =
    "Unlock encrypted files with Touch ID or a compatible passkey provider. Your encryption passphrase and recovery "
    "key remain available.";
inline constexpr const char* kAddHint =
    "macOS will ask you to create a passkey, then verify it before saving it to Nimbuscrate.";
inline constexpr const char* kUnsupported = "Creating and using passkeys requires macOS 15 or later.";
inline constexpr const char* kRemoveTitle = "Remove this passkey from Nimbuscrate?";
inline constexpr const char* kRemoveMessage =
    "It will no longer unlock this account on other devices. You can still use your encryption passphrase or "
    "recovery key. Its entry may remain in your device\u2019s password manager.";
}  // namespace passkey_text

}  // namespace nimbuscrate
