#pragma once

// What the tests of the host on a real FUSE mount share: whether this
// process may mount, a fresh folder for one test's home, runtime and data
// folders, whether a path is mounted, a connection to the control socket,
// and the command-line client run against a daemon's socket.

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>

namespace nimbuscrate::testing {

inline bool canMount() { return ::geteuid() == 0 && ::access("/dev/fuse", R_OK | W_OK) == 0; }

// An empty "<parent>/<prefix>-<pid>-<n>" with a "home" folder inside. Keep
// the prefix short: the control socket's path below it must fit a Unix
// socket address.
inline std::filesystem::path freshMountRoot(const std::filesystem::path& parent, const std::string& prefix) {
    static int counter = 0;
    auto root = parent / (prefix + "-" + std::to_string(::getpid()) + "-" + std::to_string(++counter));
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root / "home");
    return root;
}

inline bool isMounted(const std::filesystem::path& path) {
    std::ifstream mounts("/proc/self/mounts");
    std::string line;
    while (std::getline(mounts, line)) {
        if (line.find(" " + path.string() + " ") != std::string::npos) return true;
    }
    return false;
}

inline std::string readAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A connected descriptor, or -1.
inline int connectTo(const std::filesystem::path& socket) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket.c_str(), sizeof(address.sun_path) - 1);
    int descriptor = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (::connect(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(descriptor);
        return -1;
    }
    return descriptor;
}

// Runs the command-line client against the daemon listening on `socket`;
// returns its exit status and its output (standard error included).
inline std::pair<int, std::string> runFpctl(const std::filesystem::path& socket, const std::string& arguments) {
    std::string command = std::string(NIMBUSCRATE_BINARY_DIR) + "/platform/fileprovider/host/nimbuscrate-fpctl --socket '" +
                          socket.string() + "' " + arguments + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string output;
    char buffer[256];
    while (std::fgets(buffer, sizeof(buffer), pipe)) output += buffer;
    int status = ::pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

}  // namespace nimbuscrate::testing
