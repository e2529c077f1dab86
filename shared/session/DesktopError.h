#pragma once

#include <stdexcept>
#include <string>

namespace nimbuscrate {

// The user-facing error of the session and file-server layer, shared by both programs.
class DesktopError : public std::exception {
public:
    enum class Kind {
        server,
        missingItem,
        notAuthenticated,
        noNimbuscrateSpace,
        invalidResponse,
        encryptionRequired,
        encryptionPolicyUnavailable,
    };

    static DesktopError server(long status, std::string message);
    // item: the identifier of the item that was not found.
    static DesktopError missingItem(std::string item);
    static DesktopError notAuthenticated() { return DesktopError(Kind::notAuthenticated); }
    static DesktopError noNimbuscrateSpace() { return DesktopError(Kind::noNimbuscrateSpace); }
    static DesktopError invalidResponse() { return DesktopError(Kind::invalidResponse); }
    static DesktopError encryptionRequired() { return DesktopError(Kind::encryptionRequired); }
    static DesktopError encryptionPolicyUnavailable() { return DesktopError(Kind::encryptionPolicyUnavailable); }

    Kind kind() const noexcept { return kind_; }
    // HTTP status of `server` (0 otherwise).
    long status() const noexcept { return status_; }
    // Reply text of `server`, identifier of `missingItem`, empty otherwise.
    const std::string& payload() const noexcept { return payload_; }

    // The fixed English description of the case.
    const std::string& errorDescription() const noexcept { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

    bool operator==(const DesktopError& other) const noexcept {
        return kind_ == other.kind_ && status_ == other.status_ && payload_ == other.payload_;
    }

private:
    explicit DesktopError(Kind kind, long status = 0, std::string payload = {});

    Kind kind_;
    long status_;
    std::string payload_;
    std::string description_;
};

}  // namespace nimbuscrate
