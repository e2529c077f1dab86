#include "shared/encryption/E2EEError.h"

#include <array>

namespace nimbuscrate {

const std::string& E2EEError::message(Case kind) {
    static const std::array<std::string, 8> messages = {
        "Encrypted data could not be verified. Check your encryption passphrase or recovery key and try again.",
        "Open Nimbuscrate and unlock your encrypted files to continue.",
        "Encrypted changes are paused. Your local changes have not been uploaded.",
        "The encryption identity changed. Unlock this account again before continuing.",
        "Encrypted file history is older, conflicting, or incomplete. Refresh before making changes.",
        "This file changed on another device or its name is ambiguous. Refresh before saving again.",
        std::string("Finish encryption setup on ") + NIMBUSCRATE_WEBAPP_HOST +
            ", then return here to unlock your files.",
        "Your signed-in account changed. Try again.",
    };
    return messages[static_cast<std::size_t>(kind)];
}

E2EEError::E2EEError(Case kind) : kind_(kind), message_(&message(kind)) {}

}  // namespace nimbuscrate
