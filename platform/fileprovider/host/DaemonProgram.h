#pragma once

#include <string>

#include "platform/fileprovider/host/HostDaemon.h"

namespace nimbuscrate::fp::host {

// The body of a daemon program's main once its options are made: blocks
// SIGTERM, SIGINT and SIGHUP in every thread (this one waits for them) and
// ignores SIGPIPE, starts the daemon, and stops it when one of those signals
// arrives. With `announceSocket` it prints where the control channel is
// served. Returns the exit status: 0 after a clean stop, 1 when the daemon
// cannot start (the reason printed as "<program>: <reason>").
int runDaemonProgram(const std::string& program, const HostDaemon::Options& options, bool announceSocket);

}  // namespace nimbuscrate::fp::host
