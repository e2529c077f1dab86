#include "app/model/UiTask.h"

#include <exception>

#include "platform/core/CancellationError.h"
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

void abandon(UiPromiseBase& suspended) noexcept {
    UiPromiseBase* outermost = &suspended;
    for (UiPromiseBase* operation = &suspended; operation; operation = operation->awaiter) {
        operation->abandoned = true;
        outermost = operation;
    }
    if (outermost->detached) {
        // Frees the whole chain: each frame's handle of the operation it
        // awaits finds that operation abandoned and frees it in turn.
        outermost->self.destroy();
        return;
    }
    // A handle still holds it: it reads as cancelled, and dropping the
    // handle frees the chain.
    outermost->error = std::make_exception_ptr(CancellationError());
    outermost->finished = true;
}

}  // namespace nimbuscrate::detail
