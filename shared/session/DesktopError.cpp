#include "shared/session/DesktopError.h"

#include "shared/session/ServiceEndpoints.h"

namespace nimbuscrate {

namespace {

std::string describe(DesktopError::Kind kind, long status, const std::string& payload) {
    using Kind = DesktopError::Kind;
    switch (kind) {
    case Kind::server:
        return "Nimbuscrate request failed (" + std::to_string(status) + "): " + payload;
    case Kind::missingItem:
        return "The item " + payload + " no longer exists.";
    case Kind::notAuthenticated:
        return "Sign in to Nimbuscrate first.";
    case Kind::noNimbuscrateSpace:
        return "Your Nimbuscrate storage is still being provisioned.";
    case Kind::invalidResponse:
        return "Nimbuscrate returned an invalid response.";
    case Kind::encryptionRequired:
        return "This account uses encrypted files. Open " + webAppURL().host() +
               " to upload or change files. Open supported Word, Excel and PowerPoint files in the website "
               "browser editor. Changes save there automatically. Your local changes have not been uploaded.";
    case Kind::encryptionPolicyUnavailable:
        return "Encryption settings could not be verified. Try again before making changes. Your local changes "
               "have not been uploaded.";
    }
    return {};
}

}  // namespace

DesktopError::DesktopError(Kind kind, long status, std::string payload)
    : kind_(kind), status_(status), payload_(std::move(payload)), description_(describe(kind_, status_, payload_)) {}

DesktopError DesktopError::server(long status, std::string message) {
    return DesktopError(Kind::server, status, std::move(message));
}

DesktopError DesktopError::missingItem(std::string item) { return DesktopError(Kind::missingItem, 0, std::move(item)); }

}  // namespace nimbuscrate
