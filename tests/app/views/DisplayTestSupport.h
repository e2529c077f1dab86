#pragma once

// Programs for the tests that run the app on a virtual X display: a spawned
// program with its output in a log file, a command run to its end with its
// output, and the virtual display (Xvfb) itself.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace nimbuscrate::testing {

// The environment of this process with some variables replaced. In
// sanitizer builds the programs run without strict string checks: the X
// keyboard library hands strndup buffers that end without a NUL, which the
// strict check reports although strndup reads no further than asked.
inline std::vector<std::string> environmentWith(const std::vector<std::pair<std::string, std::string>>& changes) {
    std::vector<std::string> out;
    for (char** entry = environ; *entry; ++entry) {
        std::string text = *entry;
        if (text.starts_with("ASAN_OPTIONS=")) {
            for (std::size_t at = text.find("strict_string_checks=1"); at != std::string::npos;
                 at = text.find("strict_string_checks=1")) {
                text.replace(at, 22, "strict_string_checks=0");
            }
        }
        const std::string name = text.substr(0, text.find('='));
        bool replaced = false;
        for (const auto& change : changes) replaced = replaced || change.first == name;
        if (!replaced) out.push_back(text);
    }
    for (const auto& [name, value] : changes) out.push_back(name + "=" + value);
    return out;
}

// One program running in its own process group, stdin from /dev/null,
// stdout and stderr appended to a log file. Killed (with its group) when
// destroyed if it still runs.
class SpawnedProgram {
public:
    SpawnedProgram(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
                   const std::filesystem::path& log, int extraFd = -1) {
        std::vector<char*> argv;
        std::vector<std::string> args = arguments;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> env = environment;
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        const std::string logPath = log.string();
        posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (extraFd >= 0) posix_spawn_file_actions_adddup2(&actions, extraFd, 3);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setpgroup(&attributes, 0);
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &all);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        if (::posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), envp.data()) != 0) pid_ = 0;
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    ~SpawnedProgram() {
        if (pid_ > 0 && !exitCode_) {
            ::kill(-pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    SpawnedProgram(const SpawnedProgram&) = delete;
    SpawnedProgram& operator=(const SpawnedProgram&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // Still running (reaps it when it has ended).
    bool running() {
        if (pid_ <= 0 || exitCode_) return false;
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return false;
        }
        return true;
    }

    // Its exit code (128 + signal when killed) once it ended within the
    // timeout; nothing while it still runs.
    std::optional<int> waitExit(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (running()) {
            if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return exitCode_;
    }

    void signal(int number) {
        if (running()) ::kill(pid_, number);
    }

private:
    pid_t pid_ = 0;
    std::optional<int> exitCode_;
};

struct CommandResult {
    int exitCode = -1;
    std::string output;
};

// Runs a command to its end (killed after the timeout) and returns its
// standard output.
inline CommandResult runCommand(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
                                std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    char pattern[] = "/tmp/nimbuscrate-command-XXXXXX";
    const int fd = ::mkstemp(pattern);
    if (fd < 0) return {};
    ::close(fd);
    CommandResult result;
    {
        SpawnedProgram program(arguments, environment, pattern);
        result.exitCode = program.waitExit(timeout).value_or(-1);
    }
    std::ifstream in(pattern);
    std::stringstream text;
    text << in.rdbuf();
    result.output = text.str();
    ::unlink(pattern);
    return result;
}

// xdotool (the program at `program`) on the display of `environment`.
inline CommandResult xdotool(const std::filesystem::path& program, const std::vector<std::string>& environment,
                             std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), program.string());
    return runCommand(arguments, environment);
}

// The id of the visible window titled "Nimbuscrate" on that display, or 0.
inline unsigned long visibleAppWindow(const std::filesystem::path& program, const std::vector<std::string>& environment) {
    const auto found = xdotool(program, environment, {"search", "--onlyvisible", "--name", "^Nimbuscrate$"});
    if (found.exitCode != 0) return 0;
    return std::strtoul(found.output.c_str(), nullptr, 10);
}

inline std::optional<std::filesystem::path> findProgram(const std::string& name) {
    for (const char* folder : {"/usr/bin", "/bin", "/usr/local/bin"}) {
        const std::filesystem::path candidate = std::filesystem::path(folder) / name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return std::nullopt;
}

// An X server without a screen of its own (Xvfb) on a free display number.
class VirtualDisplay {
public:
    // Starts Xvfb; display() is empty when it could not run here.
    explicit VirtualDisplay(const std::filesystem::path& log) {
        const auto xvfb = findProgram("Xvfb");
        if (!xvfb) return;
        int pipeFds[2];
        if (::pipe(pipeFds) != 0) return;
        server_ = std::make_unique<SpawnedProgram>(
            std::vector<std::string>{xvfb->string(), "-displayfd", "3", "-screen", "0", "1280x800x24", "-nolisten",
                                     "tcp", "-noreset"},
            environmentWith({}), log, pipeFds[1]);
        ::close(pipeFds[1]);
        // Xvfb writes the display number once it accepts connections.
        std::string number;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        pollfd waiting{pipeFds[0], POLLIN, 0};
        while (std::chrono::steady_clock::now() < deadline) {
            if (::poll(&waiting, 1, 100) <= 0) {
                if (!server_->running()) break;
                continue;
            }
            char c = 0;
            if (::read(pipeFds[0], &c, 1) != 1) break;
            if (c == '\n') {
                display_ = ":" + number;
                break;
            }
            number += c;
        }
        ::close(pipeFds[0]);
    }

    const std::string& display() const { return display_; }

private:
    std::unique_ptr<SpawnedProgram> server_;
    std::string display_;
};

inline std::string readText(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace nimbuscrate::testing
