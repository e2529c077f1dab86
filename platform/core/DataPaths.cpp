#include "platform/core/DataPaths.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "platform/core/PlatformError.h"

namespace nimbuscrate {

namespace {

std::mutex& nameMutex() {
    static std::mutex mutex;
    return mutex;
}
std::string& programName() {
    static std::string name = "default";
    return name;
}

}  // namespace

std::filesystem::path dataRoot() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && xdg[0] == '/') return std::filesystem::path(xdg) / "nimbuscrate";
    const char* home = std::getenv("HOME");
    const std::filesystem::path base = (home && home[0] == '/') ? home : "/tmp";
    return base / ".local" / "share" / "nimbuscrate";
}

std::filesystem::path sharedDataDirectory() { return dataRoot() / "shared"; }

std::filesystem::path containerDirectory() {
    std::lock_guard lock(nameMutex());
    return dataRoot() / "containers" / programName();
}

void setProgramName(const std::string& name) {
    std::lock_guard lock(nameMutex());
    programName() = name;
}

void createPrivateDirectories(const std::filesystem::path& directory) {
    std::filesystem::path partial;
    for (const auto& piece : directory) {
        partial /= piece;
        if (partial == partial.root_path()) continue;
        if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
            throw posixError(errno, "mkdir " + partial.string());
        }
    }
}

}  // namespace nimbuscrate
