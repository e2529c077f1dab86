#include "platform/core/DataPaths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <vector>

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

// $HOME when it is an absolute path, else the home folder in the user's
// password-database entry.
std::filesystem::path homeDirectory() {
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') return home;
    // No usable HOME (a service started without one): the user's entry in
    // the password database names the home folder.
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    int error = 0;
    while ((error = ::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE) {
        buffer.resize(buffer.size() * 2);
    }
    if (error != 0) throw posixError(error, "look up the home folder of user " + std::to_string(::geteuid()));
    if (!found || !found->pw_dir || found->pw_dir[0] != '/') {
        throw PlatformError(kPOSIXErrorDomain, ENOENT,
                            "No home folder for user " + std::to_string(::geteuid()) +
                                ": HOME is not set and the password database has no entry with one.");
    }
    return found->pw_dir;
}

}  // namespace

std::filesystem::path dataRoot() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && xdg[0] == '/') return std::filesystem::path(xdg) / "nimbuscrate";
    return homeDirectory() / ".local" / "share" / "nimbuscrate";
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
