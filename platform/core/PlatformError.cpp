#include "platform/core/PlatformError.h"

#include <cstring>

namespace nimbuscrate {

PlatformError posixError(int errorNumber, const std::string& operation) {
    return PlatformError(kPOSIXErrorDomain, errorNumber, operation + ": " + std::strerror(errorNumber));
}

}  // namespace nimbuscrate
