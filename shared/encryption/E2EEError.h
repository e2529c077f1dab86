#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace nimbuscrate {

// The one error of the end-to-end-encryption side. It carries no payload:
// only which of eight situations the user is in.
class E2EEError : public std::exception {
public:
    // The position is the case's tag (its error code when it reaches the system unmapped).
    enum class Case : std::uint8_t {
        invalid = 0,
        locked = 1,
        paused = 2,
        identity = 3,
        history = 4,
        conflict = 5,
        setup = 6,
        sessionChanged = 7,
    };

    explicit E2EEError(Case kind);

    static E2EEError invalid() { return E2EEError(Case::invalid); }
    static E2EEError locked() { return E2EEError(Case::locked); }
    static E2EEError paused() { return E2EEError(Case::paused); }
    static E2EEError identity() { return E2EEError(Case::identity); }
    static E2EEError history() { return E2EEError(Case::history); }
    static E2EEError conflict() { return E2EEError(Case::conflict); }
    static E2EEError setup() { return E2EEError(Case::setup); }
    static E2EEError sessionChanged() { return E2EEError(Case::sessionChanged); }

    Case kind() const noexcept { return kind_; }
    int code() const noexcept { return static_cast<int>(kind_); }
    // The user-facing message of the case.
    const std::string& errorDescription() const noexcept { return *message_; }
    const char* what() const noexcept override { return message_->c_str(); }

    bool operator==(const E2EEError& other) const noexcept { return kind_ == other.kind_; }

    // The fixed message of a case.
    static const std::string& message(Case kind);

private:
    Case kind_;
    const std::string* message_;
};

}  // namespace nimbuscrate
