#include "fileprovider/ExtensionErrors.h"

#include "fileprovider/FileProviderErrorMapping.h"
#include "fileprovider/ItemNameRules.h"

namespace nimbuscrate {

fp::Error extensionError(std::exception_ptr error) {
    if (error) {
        try {
            std::rethrow_exception(error);
        } catch (const NameCollisionError& collision) {
            return fp::Error::fileProvider(fp::FileProviderErrorCode::filenameCollision, collision.what());
        } catch (const InvalidItemNameError& refused) {
            return fp::Error::fileProvider(fp::FileProviderErrorCode::cannotSynchronize, refused.what());
        } catch (...) {
        }
    }
    return fileProviderError(error);
}

std::string describeError(std::exception_ptr error) {
    if (!error) return "unknown error";
    try {
        std::rethrow_exception(error);
    } catch (const fp::ErrorException& platform) {
        return platform.error().localizedDescription();
    } catch (const std::exception& failure) {
        return failure.what();
    } catch (...) {
        return "unknown error";
    }
}

}  // namespace nimbuscrate
