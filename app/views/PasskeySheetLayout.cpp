#include "app/views/PasskeySheetLayout.h"

namespace nimbuscrate {

namespace {

// White space and newlines, ASCII and Unicode, as a trim would remove them.
std::size_t leadingSpaceLength(std::string_view text) {
    static constexpr std::string_view kMultiByteSpaces[] = {
        "\u0085", "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005", "\u2006",
        "\u2007", "\u2008", "\u2009", "\u200A", "\u2028", "\u2029", "\u202F", "\u205F", "\u3000"};
    std::size_t at = 0;
    while (at < text.size()) {
        const char c = text[at];
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') {
            ++at;
            continue;
        }
        bool matched = false;
        for (std::string_view space : kMultiByteSpaces) {
            if (text.substr(at).starts_with(space)) {
                at += space.size();
                matched = true;
                break;
            }
        }
        if (!matched) break;
    }
    return at;
}

const std::string* textMember(const E2EEJSON& item, std::string_view name) {
    if (!item.isObject()) return nullptr;
    return item.member(name).stringValue();
}

}  // namespace

bool canAddPasskey(const AppViewState& s, std::string_view label) {
    if (s.isBusy) return false;
    if (s.passkeyLoading) return false;
    if (leadingSpaceLength(label) == label.size()) return false;  // blank once trimmed
    if (label.size() > kMaxPasskeyLabelBytes) return false;       // untrimmed, in UTF-8 bytes
    if (s.passkeyItems.size() > kMaxListedPasskeysForAdd) return false;
    return true;
}

PasskeyRow passkeyRow(const E2EEJSON& item, bool removeEnabled) {
    PasskeyRow row;
    const std::string* label = textMember(item, "label");
    row.title = label ? *label : "Passkey";
    const std::string* rpId = textMember(item, "rpId");
    row.subtitle = rpId ? *rpId : "";
    row.removeEnabled = removeEnabled;
    return row;
}

PasskeySheetLayout layoutPasskeySheet(const AppViewState& s, std::string_view label, bool passkeysSupported) {
    PasskeySheetLayout out;
    out.doneEnabled = !s.isBusy;
    out.dismissAllowed = !s.isBusy;
    out.warning = s.passkeyMessage;
    if (s.passkeyLoading) {
        out.statusLine = PasskeyStatusLine::loading;
    } else if (s.passkeyItems.empty()) {
        out.statusLine = PasskeyStatusLine::empty;
    }
    const bool removeEnabled = !s.isBusy && !s.passkeyLoading;
    for (const E2EEJSON& item : s.passkeyItems) out.rows.push_back(passkeyRow(item, removeEnabled));
    out.showsAddRow = passkeysSupported;
    out.addEnabled = passkeysSupported && canAddPasskey(s, label);
    out.refreshEnabled = !s.isBusy && !s.passkeyLoading;
    out.showsBusyIndicator = s.isBusy;
    return out;
}

}  // namespace nimbuscrate
