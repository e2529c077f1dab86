#pragma once

#include "platform/passkeys/PasskeyPinPrompt.h"
#include "platform/tasks/Executor.h"

namespace nimbuscrate {

// Asks for a security key's PIN in a small dialog on the UI thread while
// the passkey request waits on its worker. The dialog opens without a
// nested event loop; a stopped request closes it.
class SecurityKeyPinDialog final : public PasskeyPinPrompt {
public:
    explicit SecurityKeyPinDialog(Executor& ui);
    std::optional<SecretBytes> pin(const Request& request, std::stop_token stop) override;

private:
    Executor& ui_;
};

}  // namespace nimbuscrate
