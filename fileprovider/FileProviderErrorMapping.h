#pragma once

#include <exception>

#include "platform/fileprovider/Error.h"

namespace nimbuscrate {

// The one translation of a failure of the lower layers into the error the
// system understands; it decides whether the system retries, asks the user
// to sign in, or shows the item as not synchronised:
// - E2EEError locked / sessionChanged: -1000 with description; any other case -2005 with description;
// - any URL-loading (transport) failure: -1004 with description;
// - DesktopError server with status > 499, 425 or 429: -1004 with description;
// - task cancellation: the user-cancelled error (3072) with empty user info;
// - DesktopError notAuthenticated: -1000, missingItem: -1005, both without user info;
// - DesktopError encryptionRequired: -2005, encryptionPolicyUnavailable: -1004, with description;
// - anything else: 4101 carrying the given error (the same object) as its underlying error.
// Errors wrapped inside other errors are not looked into. Pure; never fails.
fp::Error fileProviderError(std::exception_ptr error);

}  // namespace nimbuscrate
