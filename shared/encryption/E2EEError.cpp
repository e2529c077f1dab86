#include "shared/encryption/E2EEError.h"

#include <array>
#include <stdexcept>

#include "platform/core/Url.h"

namespace nimbuscrate {

namespace {

// The host of the web app's base URL. The session library, which owns that
// URL (webAppURL()), builds on this one, so the URL is parsed here from the
// same compiled-in text in the same way: both messages that name the web
// app's host name the same one.
std::string webAppHost() {
    const auto url = Url::parse(std::string("https://") + NIMBUSCRATE_WEBAPP_HOST);
    if (!url) {
        throw std::logic_error(std::string("compiled-in web app host does not parse: ") + NIMBUSCRATE_WEBAPP_HOST);
    }
    return url->host();
}

}  // namespace

const std::string& E2EEError::message(Case kind) {
    static const std::array<std::string, 8> messages = {
        "Encrypted data could not be verified. Check your encryption passphrase or recovery key and try again.",
        "Open Nimbuscrate and unlock your encrypted files to continue.",
        "Encrypted changes are paused. Your local changes have not been uploaded.",
        "The encryption identity changed. Unlock this account again before continuing.",
        "Encrypted file history is older, conflicting, or incomplete. Refresh before making changes.",
        "This file changed on another device or its name is ambiguous. Refresh before saving again.",
        "Finish encryption setup on " + webAppHost() + ", then return here to unlock your files.",
        "Your signed-in account changed. Try again.",
    };
    return messages[static_cast<std::size_t>(kind)];
}

E2EEError::E2EEError(Case kind) : kind_(kind), message_(&message(kind)) {}

}  // namespace nimbuscrate
