#include "platform/websession/UrlOpener.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <stdexcept>

#include "platform/core/PlatformError.h"
#include "platform/log/Logger.h"

extern char** environ;

namespace nimbuscrate {

namespace {

const Logger& logger() {
    static const Logger instance("app.nimbuscrate.desktop", "web-authentication");
    return instance;
}

int pidfdOpen(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

void wake(int fd) {
    const std::uint64_t one = 1;
    while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

}  // namespace

CommandUrlOpener::CommandUrlOpener(std::vector<std::string> command) : command_(std::move(command)) {
    if (command_.empty()) throw std::invalid_argument("CommandUrlOpener needs a command");
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) throw posixError(errno, "eventfd");
    reaper_ = std::thread([this] { reap(); });
}

CommandUrlOpener::~CommandUrlOpener() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake(wakeFd_);
    reaper_.join();
    for (const Child& child : children_) {
        int status = 0;
        ::waitpid(child.pid, &status, WNOHANG);
        ::close(child.pidfd);
    }
    ::close(wakeFd_);
}

bool CommandUrlOpener::open(const std::string& url, Failure failed) {
    std::vector<std::string> words = command_;
    words.push_back(url);
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const int result = ::posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (result != 0) {
        logger().error("Cannot run " + command_.front() + ": " + posixError(result, "posix_spawnp").description());
        return false;
    }
    // A pid file descriptor lets the reaper wait for this child alone; the
    // child cannot be reaped before we open it, as only the reaper waits.
    const int pidfd = pidfdOpen(pid);
    if (pidfd < 0) {
        const int error = errno;
        int status = 0;
        ::waitpid(pid, &status, 0);
        logger().error("Cannot watch " + command_.front() + ": " + posixError(error, "pidfd_open").description());
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    {
        std::lock_guard lock(mutex_);
        children_.push_back(Child{pid, pidfd, std::move(failed)});
    }
    wake(wakeFd_);
    return true;
}

void CommandUrlOpener::reap() {
    for (;;) {
        std::vector<pollfd> watched{{wakeFd_, POLLIN, 0}};
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
            for (const Child& child : children_) watched.push_back({child.pidfd, POLLIN, 0});
        }
        if (::poll(watched.data(), watched.size(), -1) < 0) {
            if (errno == EINTR) continue;
            logger().fault("The URL opener stops reaping: " + posixError(errno, "poll").description());
            return;
        }
        if (watched[0].revents != 0) {
            std::uint64_t count = 0;
            while (::read(wakeFd_, &count, sizeof count) < 0 && errno == EINTR) {
            }
        }
        std::vector<Failure> failures;
        {
            std::lock_guard lock(mutex_);
            for (auto it = children_.begin(); it != children_.end();) {
                int status = 0;
                const pid_t done = ::waitpid(it->pid, &status, WNOHANG);
                if (done != it->pid) {
                    ++it;
                    continue;
                }
                ::close(it->pidfd);
                if (!(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
                    logger().error(command_.front() + " ended with status " +
                                   std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)));
                    if (it->failed) failures.push_back(std::move(it->failed));
                }
                it = children_.erase(it);
            }
        }
        for (Failure& failure : failures) failure();
    }
}

}  // namespace nimbuscrate
