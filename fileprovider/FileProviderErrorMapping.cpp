#include "fileprovider/FileProviderErrorMapping.h"

#include "platform/core/CancellationError.h"
#include "platform/core/UrlLoadingError.h"
#include "shared/encryption/E2EEError.h"
#include "shared/session/DesktopError.h"

namespace nimbuscrate {
namespace {

using namespace fp::FileProviderErrorCode;

fp::Error general(std::exception_ptr error) {
    return fp::Error{fp::kCocoaErrorDomain, fp::CocoaErrorCode::connectionReplyInvalid,
                     fp::ErrorUserInfo{std::nullopt, std::move(error)}};
}

bool isTransientServerStatus(long status) { return status > 499 || status == 425 || status == 429; }

}  // namespace

fp::Error fileProviderError(std::exception_ptr error) {
    if (!error) return general(error);
    try {
        std::rethrow_exception(error);
    } catch (const E2EEError& e2ee) {
        bool needsAuthentication = e2ee.kind() == E2EEError::Case::locked || e2ee.kind() == E2EEError::Case::sessionChanged;
        return fp::Error::fileProvider(needsAuthentication ? notAuthenticated : cannotSynchronize, e2ee.errorDescription());
    } catch (const UrlLoadingError& transport) {
        return fp::Error::fileProvider(serverUnreachable, transport.what());
    } catch (const CancellationError&) {
        return fp::Error::userCancelled();
    } catch (const DesktopError& desktop) {
        switch (desktop.kind()) {
            case DesktopError::Kind::server:
                if (isTransientServerStatus(desktop.status())) {
                    return fp::Error::fileProvider(serverUnreachable, desktop.errorDescription());
                }
                return general(error);
            case DesktopError::Kind::notAuthenticated:
                return fp::Error::fileProvider(notAuthenticated);
            case DesktopError::Kind::missingItem:
                return fp::Error::fileProvider(noSuchItem);
            case DesktopError::Kind::encryptionRequired:
                return fp::Error::fileProvider(cannotSynchronize, desktop.errorDescription());
            case DesktopError::Kind::encryptionPolicyUnavailable:
                return fp::Error::fileProvider(serverUnreachable, desktop.errorDescription());
            case DesktopError::Kind::noNimbuscrateSpace:
            case DesktopError::Kind::invalidResponse:
                return general(error);
        }
        return general(error);
    } catch (...) {
        return general(error);
    }
}

}  // namespace nimbuscrate
