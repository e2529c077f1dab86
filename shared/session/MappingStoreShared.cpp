#include "shared/session/MappingStore.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/core/DataPaths.h"

// The process-wide store and the places it may live.

namespace nimbuscrate {

namespace {

// A folder of our own in a shared place: created with mode 0700, and used
// only when it is a real directory that this user owns and nobody else can enter.
bool isPrivateDirectory(const std::filesystem::path& directory) {
    ::mkdir(directory.c_str(), 0700);
    struct stat info {};
    if (::lstat(directory.c_str(), &info) != 0) return false;
    return S_ISDIR(info.st_mode) && info.st_uid == ::getuid() && (info.st_mode & 077) == 0;
}

// Base directories for the process-wide store, most preferred first.
std::vector<std::filesystem::path> sharedCandidates() {
    std::vector<std::filesystem::path> candidates;
    std::string program = "default";
    try {
        const std::filesystem::path container = containerDirectory();
        program = container.filename().string();
        candidates.push_back(container);
    } catch (const std::exception&) {
        // No data directory: the next candidates still apply.
    }
    const char* cacheHome = std::getenv("XDG_CACHE_HOME");
    const char* home = std::getenv("HOME");
    if (cacheHome && cacheHome[0] == '/') {
        candidates.push_back(std::filesystem::path(cacheHome) / "nimbuscrate" / "containers" / program);
    } else if (home && home[0] == '/') {
        candidates.push_back(std::filesystem::path(home) / ".cache" / "nimbuscrate" / "containers" / program);
    }
    return candidates;
}

}  // namespace

MappingStore& MappingStore::shared() {
    // Lives until the process ends (work still running at exit may use it).
    static MappingStore* const store = []() -> MappingStore* {
        std::vector<std::filesystem::path> candidates = sharedCandidates();
        for (const auto& base : candidates) {
            try {
                return new MappingStore(base);
            } catch (const std::exception&) {
                // This location cannot be used; try the next one.
            }
        }
        try {
            const std::filesystem::path temporary =
                std::filesystem::temp_directory_path() / ("nimbuscrate-" + std::to_string(::getuid()));
            const std::string program = candidates.empty() ? "default" : candidates.front().filename().string();
            if (isPrivateDirectory(temporary)) return new MappingStore(temporary / program);
        } catch (const std::exception&) {
            // Nowhere left: the store works without a database.
        }
        return unavailable().release();
    }();
    return *store;
}

}  // namespace nimbuscrate
