#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace nimbuscrate {

// The error the app shows for a passkey problem. Like E2EEError it carries no
// payload, only the situation; each case has one fixed English message.
class PasskeyError : public std::exception {
public:
    // The position is the case's tag.
    enum class Case : std::uint8_t {
        unavailable = 0,  // this system cannot do passkey unlock
        unsupported = 1,  // the authenticator has no PRF output
        cancelled = 2,    // the user cancelled, or the request timed out
        missing = 3,      // no passkey of this account for the web app host
        changed = 4,      // the passkey list changed on another device
        limit = 5,        // ten passkeys are registered already
        busy = 6,         // another passkey request is running
    };

    explicit PasskeyError(Case kind);

    static PasskeyError unavailable() { return PasskeyError(Case::unavailable); }
    static PasskeyError unsupported() { return PasskeyError(Case::unsupported); }
    static PasskeyError cancelled() { return PasskeyError(Case::cancelled); }
    static PasskeyError missing() { return PasskeyError(Case::missing); }
    static PasskeyError changed() { return PasskeyError(Case::changed); }
    static PasskeyError limit() { return PasskeyError(Case::limit); }
    static PasskeyError busy() { return PasskeyError(Case::busy); }

    Case kind() const noexcept { return kind_; }
    int code() const noexcept { return static_cast<int>(kind_); }
    // The user-facing message of the case.
    const std::string& errorDescription() const noexcept { return *message_; }
    const char* what() const noexcept override { return message_->c_str(); }

    bool operator==(const PasskeyError& other) const noexcept { return kind_ == other.kind_; }

    // The fixed message of a case ("missing" names the web app's host).
    static const std::string& message(Case kind);

private:
    Case kind_;
    const std::string* message_;
};

}  // namespace nimbuscrate
