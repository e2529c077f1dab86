#include "platform/fileprovider/host/DaemonProgram.h"

#include <pthread.h>
#include <signal.h>

#include <exception>
#include <iostream>

namespace nimbuscrate::fp::host {

int runDaemonProgram(const std::string& program, const HostDaemon::Options& options, bool announceSocket) {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    // Blocked in every thread; this thread waits for them below.
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    HostDaemon daemon(options);
    try {
        daemon.start();
    } catch (const std::exception& error) {
        std::cerr << program << ": " << error.what() << "\n";
        return 1;
    }
    if (announceSocket) {
        std::cerr << program << ": serving the control channel at " << daemon.socketPath().string() << "\n";
    }
    int received = 0;
    sigwait(&stopSignals, &received);
    daemon.stop();
    return 0;
}

}  // namespace nimbuscrate::fp::host
