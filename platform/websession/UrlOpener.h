#pragma once

#include <sys/types.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nimbuscrate {

// Opens a URL in the user's browser.
class UrlOpener {
public:
    // Runs at most once, on any thread, when opening ended unsuccessfully
    // after open() returned true (the opening command failed).
    using Failure = std::function<void()>;

    virtual ~UrlOpener() = default;
    // Starts opening the URL and returns at once: false when it cannot be
    // started at all.
    virtual bool open(const std::string& url, Failure failed) = 0;
};

// Opens URLs by running a command with the URL as its last argument
// ("xdg-open" by default; tests and headless runs name another). The
// command is looked up on PATH and run without a shell, with the
// environment of this process, standard input from /dev/null and no signal
// blocked. A command that exits with a status other than 0, or is killed,
// reports the failure. Children are reaped by one thread of the opener.
class CommandUrlOpener final : public UrlOpener {
public:
    explicit CommandUrlOpener(std::vector<std::string> command = {"xdg-open"});
    // Stops reaping; commands still running are left to run.
    ~CommandUrlOpener() override;
    CommandUrlOpener(const CommandUrlOpener&) = delete;
    CommandUrlOpener& operator=(const CommandUrlOpener&) = delete;

    bool open(const std::string& url, Failure failed) override;

private:
    struct Child {
        pid_t pid;
        int pidfd;
        Failure failed;
    };

    void reap();

    const std::vector<std::string> command_;
    int wakeFd_ = -1;  // eventfd: wakes the reaper for a new child or for the stop
    // Guards children_ and stopping_; nothing else is taken under it, and
    // failure callbacks run after it is released.
    std::mutex mutex_;
    std::vector<Child> children_;
    bool stopping_ = false;
    std::thread reaper_;
};

}  // namespace nimbuscrate
