#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <stdexcept>

namespace nimbuscrate::testing {

// Runs the body in a forked child process. The child exits with 0 when the
// body returns true, 1 when it returns false or throws.
class ChildProcess {
public:
    explicit ChildProcess(const std::function<bool()>& body) {
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            bool ok = false;
            try {
                ok = body();
            } catch (...) {
                ok = false;
            }
            ::_exit(ok ? 0 : 1);
        }
    }
    ~ChildProcess() {
        if (pid_ > 0) wait();
    }
    // True when the child exited with status 0.
    bool wait() {
        if (pid_ <= 0) return status_ == 0;
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = 0;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
        return status_ == 0;
    }

private:
    pid_t pid_ = 0;
    int status_ = -1;
};

}  // namespace nimbuscrate::testing
