#include "app/model/UiTask.h"

#include <exception>

#include "platform/log/Logger.h"

namespace nimbuscrate::detail {

void logDetachedTaskError(std::exception_ptr error) noexcept {
    static const Logger logger("app.nimbuscrate.desktop", "model");
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& caught) {
        logger.error(std::string("An operation nobody waited for failed: ") + caught.what());
    } catch (...) {
        logger.error("An operation nobody waited for failed with an unknown error.");
    }
}

}  // namespace nimbuscrate::detail
