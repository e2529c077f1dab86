#include "app/model/FolderRevealer.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/log/Logger.h"
#include "platform/tasks/TaskPool.h"
#include "platform/websession/UrlOpener.h"

extern char** environ;

namespace nimbuscrate {

namespace {

const Logger& revealLogger() {
    static const Logger logger("app.nimbuscrate.desktop", "reveal");
    return logger;
}

// Runs the command without a shell (looked up on PATH), standard input and
// output from and to /dev/null; its exit status, or -1 when it could not run
// or did not exit.
int runCommand(const std::vector<std::string>& command) {
    std::vector<char*> argv;
    for (const auto& argument : command) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t child = 0;
    const int spawned = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;

    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

DesktopFolderRevealer::DesktopFolderRevealer(TaskPool& workers, UrlOpener& fallback,
                                             std::vector<std::string> showItems)
    : workers_(workers), fallback_(fallback), showItems_(std::move(showItems)) {}

std::vector<std::string> DesktopFolderRevealer::defaultShowItemsCommand() {
    return {"dbus-send",
            "--session",
            "--print-reply",
            "--dest=org.freedesktop.FileManager1",
            "/org/freedesktop/FileManager1",
            "org.freedesktop.FileManager1.ShowItems"};
}

std::string DesktopFolderRevealer::fileURI(const std::filesystem::path& folder) {
    static const char* hex = "0123456789ABCDEF";
    std::string uri = "file://";
    for (const unsigned char c : std::filesystem::absolute(folder).string()) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '/' ||
                           c == '-' || c == '.' || c == '_' || c == '~';
        if (plain) {
            uri += static_cast<char>(c);
        } else {
            uri += '%';
            uri += hex[c >> 4];
            uri += hex[c & 0xF];
        }
    }
    return uri;
}

void DesktopFolderRevealer::reveal(const std::filesystem::path& folder) {
    const std::string uri = fileURI(folder);
    std::vector<std::string> command = showItems_;
    // dbus-send splits array items at commas: a URI with one (encoded above
    // as %2C) never carries a bare comma.
    command.push_back("array:string:" + uri);
    command.push_back("string:");
    UrlOpener* fallback = &fallback_;
    const bool accepted = workers_.submit([command, uri, fallback](std::stop_token) {
        if (runCommand(command) == 0) return;
        revealLogger().notice("The file manager did not take " + uri + "; opening the folder instead");
        if (!fallback->open(uri, [uri] { revealLogger().error("Could not open " + uri); })) {
            revealLogger().error("Could not start opening " + uri);
        }
    });
    if (!accepted) revealLogger().error("Could not show " + uri + ": the app is stopping");
}

}  // namespace nimbuscrate
