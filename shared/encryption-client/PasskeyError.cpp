#include "shared/encryption-client/PasskeyError.h"

#include <array>

#include "shared/session/ServiceEndpoints.h"

namespace nimbuscrate {

const std::string& PasskeyError::message(Case kind) {
    static const std::array<std::string, 7> messages = {
        "Passkey unlock requires a security key with hmac-secret support. Use your encryption passphrase or "
        "recovery key.",
        "This passkey provider cannot unlock encrypted files. Try another provider, or use your passphrase or "
        "recovery key.",
        "Passkey request cancelled or timed out. You can try again, or use your passphrase or recovery key.",
        "No passkey is available for " + webAppURL().host() +
            ". Unlock with your passphrase or recovery key to add one.",
        "Your passkeys changed on another device. Refresh and try again.",
        "Remove an existing passkey before adding another (maximum 10).",
        "A passkey request is already in progress.",
    };
    return messages[static_cast<std::size_t>(kind)];
}

PasskeyError::PasskeyError(Case kind) : kind_(kind), message_(&message(kind)) {}

}  // namespace nimbuscrate
