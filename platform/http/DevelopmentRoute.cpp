#include "platform/http/DevelopmentRoute.h"

#ifdef NIMBUSCRATE_DEVELOPMENT

#include <cctype>
#include <cstdlib>
#include <mutex>

namespace nimbuscrate {

namespace {

std::mutex& routeMutex() {
    static std::mutex mutex;
    return mutex;
}

std::optional<DevelopmentRoute::Target>& override() {
    static std::optional<DevelopmentRoute::Target> target;
    return target;
}

}  // namespace

void DevelopmentRoute::set(std::string address, std::string caFile) {
    std::lock_guard lock(routeMutex());
    override() = Target{std::move(address), std::move(caFile)};
}

void DevelopmentRoute::clear() {
    std::lock_guard lock(routeMutex());
    override().reset();
}

std::optional<DevelopmentRoute::Target> DevelopmentRoute::current() {
    {
        std::lock_guard lock(routeMutex());
        if (override()) return override();
    }
    const char* address = std::getenv("NIMBUSCRATE_DEV_SERVICE");
    const char* caFile = std::getenv("NIMBUSCRATE_DEV_CA_FILE");
    if (!address || !caFile || !*address || !*caFile) return std::nullopt;
    return Target{address, caFile};
}

bool DevelopmentRoute::isServiceHost(std::string_view host) {
    static constexpr std::string_view hosts[] = {
        NIMBUSCRATE_IDENTITY_HOST, NIMBUSCRATE_WEBAPP_HOST, NIMBUSCRATE_MEDIA_HOST,
        NIMBUSCRATE_ACCOUNT_API_HOST, NIMBUSCRATE_CONTROL_PANEL_HOST,
    };
    for (std::string_view known : hosts) {
        if (known.size() != host.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < host.size() && same; ++i) {
            same = std::tolower(static_cast<unsigned char>(known[i])) == std::tolower(static_cast<unsigned char>(host[i]));
        }
        if (same) return true;
    }
    return false;
}

}  // namespace nimbuscrate

#endif  // NIMBUSCRATE_DEVELOPMENT
