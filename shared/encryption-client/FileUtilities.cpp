#include "shared/encryption-client/FileUtilities.h"

#include <system_error>

namespace nimbuscrate {

void removeItemIfPresent(const std::filesystem::path& path) noexcept {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

}  // namespace nimbuscrate
