#pragma once

// The host serving the real extension on a real FUSE mount in a private
// folder, against the local service of ExtensionServicesFixture; skipped
// without root and /dev/fuse.

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <utility>

#include "platform/fileprovider/host/HostDaemon.h"
#include "tests/support/ExtensionServicesFixture.h"
#include "tests/support/MountTestSupport.h"

namespace nimbuscrate::testing {

inline std::string randomBytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (auto& byte : bytes) byte = static_cast<char>(generator());
    return bytes;
}

// The exit status of a shell command (-1 when it did not exit).
inline int run(const std::string& command) {
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class HostEndToEnd : public ExtensionServicesFixture {
protected:
    using HostDaemon = fp::host::HostDaemon;
    using Inode = fp::host::Inode;

    explicit HostEndToEnd(std::shared_ptr<EncryptedDriveService> encryption = std::make_shared<PlainOnlyDriveService>())
        : ExtensionServicesFixture(std::move(encryption)) {}

    void SetUp() override {
        if (!canMount()) GTEST_SKIP() << "needs root and /dev/fuse to mount";
        root_ = freshMountRoot("/tmp", "fph");
    }

    void TearDown() override {
        if (daemon_) daemon_->stop();
        daemon_.reset();
        std::error_code ignored;
        if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
    }

    void startDaemon() {
        HostDaemon::Options options;
        options.home = root_ / "home";
        options.runtimeDirectory = root_ / "run";
        options.dataDirectory = root_ / "data";
        options.clock = daemonClock_;
        options.factory = extensionFactory();
        if (parkedRetry_) std::tie(options.parkedRetrySeconds, options.parkedRetryCapSeconds) = *parkedRetry_;
        daemon_ = std::make_unique<HostDaemon>(options);
        daemon_->start();
    }

    // Starts the daemon with the domain registered and mounted.
    void mountDrive() {
        startDaemon();
        ASSERT_EQ(fpctl("add nimbuscrate Nimbuscrate").first, 0);
        ASSERT_NE(mount(), nullptr);
    }

    std::pair<int, std::string> fpctl(const std::string& arguments) { return runFpctl(daemon_->socketPath(), arguments); }

    fp::host::DomainMount* mount() { return daemon_->mountFor("nimbuscrate"); }
    std::filesystem::path folder() const { return root_ / "home" / "Nimbuscrate"; }
    std::filesystem::path cacheOf(Inode inode) const {
        return root_ / "data" / "domains" / "nimbuscrate" / "cache" / std::to_string(inode);
    }

    // Blocks until nothing below the root waits to be sent.
    bool uploaded() {
        auto done = std::make_shared<std::promise<std::optional<fp::Error>>>();
        mount()->waitForChanges(fp::kRootContainer, [done](std::optional<fp::Error> error) { done->set_value(error); });
        auto future = done->get_future();
        // A change that failed for a moment (a connection cut under load)
        // waits on the daemon's clock before it goes again: a wait still
        // open after a few seconds lets that time pass.
        const auto start = std::chrono::steady_clock::now();
        while (future.wait_for(std::chrono::milliseconds(200)) != std::future_status::ready) {
            const auto waited = std::chrono::steady_clock::now() - start;
            if (waited > std::chrono::seconds(60)) return false;
            if (daemonClock_ == &clock_ && waited > std::chrono::seconds(5) && clock_.sleepers() > 0) {
                clock_.advance(std::chrono::seconds(10));
            }
        }
        return !future.get().has_value();
    }

    // What still waits, and what the server was asked: shown when a wait fails.
    std::string describe() {
        std::string text;
        if (mount()) {
            for (const auto& node : mount()->replica().nodesWithLocalChanges()) {
                text += "pending " + node.name + " " + node.identifier + " work=" + std::to_string(node.pending) +
                        " dirty=" + std::to_string(node.dirty) + "\n";
            }
        }
        for (const auto& request : service_.requests().all()) text += request.method + " " + request.path + "\n";
        return text;
    }

    std::filesystem::path root_;
    ManualClock clock_;
    // The time the daemon sees, and its pauses for parked changes (else its own).
    Clock* daemonClock_ = &clock_;
    std::optional<std::pair<double, double>> parkedRetry_;
    std::unique_ptr<HostDaemon> daemon_;
};

}  // namespace nimbuscrate::testing
