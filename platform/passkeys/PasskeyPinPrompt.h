#pragma once

#include <optional>
#include <stop_token>

#include "platform/core/SecretBytes.h"

namespace nimbuscrate {

// Asks the user for the PIN of a security key. The app's interface fills
// it: it shows a prompt on the UI thread and hands the answer back.
class PasskeyPinPrompt {
public:
    struct Request {
        // Attempts the key allows before it locks, when the key tells.
        std::optional<int> retriesLeft;
        // The PIN given before was wrong.
        bool previousWasWrong = false;
    };

    virtual ~PasskeyPinPrompt() = default;
    // Called on a worker thread; blocks until the user answers or the stop
    // token fires. Returns the PIN as UTF-8 without NUL, or nothing when the
    // user cancelled or the request was stopped.
    virtual std::optional<SecretBytes> pin(const Request& request, std::stop_token stop) = 0;
};

}  // namespace nimbuscrate
