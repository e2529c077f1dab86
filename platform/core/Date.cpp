#include "platform/core/Date.h"

#include <chrono>

namespace nimbuscrate {

Date Date::now() {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    return fromUnixSeconds(std::chrono::duration<double>(since).count());
}

}  // namespace nimbuscrate
