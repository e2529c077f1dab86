#include "platform/fileprovider/Error.h"

namespace nimbuscrate::fp {

std::string Error::localizedDescription() const {
    if (userInfo) {
        if (userInfo->description) return *userInfo->description;
        if (userInfo->underlying) {
            try {
                std::rethrow_exception(userInfo->underlying);
            } catch (const std::exception& underlying) {
                return underlying.what();
            } catch (...) {
            }
        }
    }
    return "The operation couldn't be completed. (" + domain + " error " + std::to_string(code) + ".)";
}

ErrorException::ErrorException(Error error) : error_(std::move(error)), text_(error_.localizedDescription()) {}

}  // namespace nimbuscrate::fp
