#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/fileprovider/ReplicatedExtension.h"
#include "platform/fileprovider/host/DomainMount.h"
#include "platform/tasks/Clock.h"
#include "platform/tasks/TaskPool.h"

namespace nimbuscrate::fp::host {

// The per-user host: keeps the registered domains (in a small file of its
// data folder, so they outlive the app), mounts each at $HOME/<display name>,
// and serves the control channel on a Unix socket that only the same user
// may use.
class HostDaemon {
public:
    struct Options {
        std::filesystem::path home;
        std::filesystem::path runtimeDirectory;
        std::filesystem::path dataDirectory;
        ExtensionFactory factory;
        std::size_t threads = 8;
        double staleAfterSeconds = 30;
        // Pauses before parked changes are tried again: the first, and the
        // cap of the doubling ones (seconds, real time).
        double parkedRetrySeconds = 30;
        double parkedRetryCapSeconds = 300;
        // The time the mounts see (null: the system clock).
        Clock* clock = nullptr;
        // Handed to every mount (see DomainMount::Options::beforeOperation).
        std::function<void(std::string_view operation)> beforeOperation;
        // Handed to every mount (see DomainMount::Options::whileRecording).
        std::function<void(std::string_view step, Inode inode)> whileRecording;
    };

    explicit HostDaemon(Options options);
    ~HostDaemon();
    HostDaemon(const HostDaemon&) = delete;
    HostDaemon& operator=(const HostDaemon&) = delete;

    // Mounts the registered domains and starts listening. Throws when the
    // socket cannot be had (another host answers on it, for instance).
    void start();
    // Stops listening, fails nothing half-done, unmounts every domain.
    void stop();

    std::filesystem::path socketPath() const;
    std::vector<Domain> domains() const;
    // The live mount of a domain, or null.
    DomainMount* mountFor(const std::string& identifier);

    // Handles one request; `reply` runs exactly once, maybe later and on another thread.
    void handle(const nlohmann::json& request, std::function<void(nlohmann::json)> reply);

    // Control connections whose threads are not joined yet: those being
    // served, and those that just ended (joined soon after they end).
    std::size_t connectionThreads() const;

private:
    struct Connection;
    struct ConnectionThread {
        std::shared_ptr<Connection> connection;
        std::thread thread;
    };

    std::filesystem::path registryPath() const;
    void saveRegistry();
    void loadRegistry();
    std::shared_ptr<DomainMount> makeMount(const Domain& domain);
    std::optional<Error> addDomain(const Domain& domain);
    std::optional<Error> removeDomain(const std::string& identifier);
    void acceptLoop();
    void serve(std::shared_ptr<Connection> connection);
    // Joins and frees the connections that have ended (accept thread only).
    void reapConnections();

    Options options_;
    SystemClock clock_;
    // The mounts' late answers to waiters (see DomainMount::Options::answers),
    // and the managers' answers once the task pool is shutting down; a stop
    // waits for them, and the pool is joined when the host goes, after the
    // task pool (declared first, it outlives it).
    TaskPool answers_{2};
    TaskPool tasks_;
    mutable std::mutex mutex_;  // registry and mounts; never held across a mount or unmount's waits by others
    std::mutex changeMutex_;    // one add or remove at a time
    std::vector<Domain> registered_;
    std::map<std::string, std::shared_ptr<DomainMount>> mounts_;
    int listener_ = -1;
    // Wakes the accept thread: to stop, or to join a connection that ended.
    int wakePipe_[2] = {-1, -1};
    std::atomic<bool> stopping_{false};
    std::thread acceptThread_;
    mutable std::mutex connectionsMutex_;
    std::list<ConnectionThread> connections_;
    bool started_ = false;
};

}  // namespace nimbuscrate::fp::host
