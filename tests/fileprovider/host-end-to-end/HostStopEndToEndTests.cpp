// The host serving the real extension on a real FUSE mount, against the
// local service on 127.0.0.1: a mount stops at once whatever it waits for.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <random>
#include <thread>

#include "platform/fileprovider/host/HostDaemon.h"
#include "tests/support/Eventually.h"
#include "tests/support/ExtensionServicesFixture.h"
#include "tests/support/MountTestSupport.h"

namespace nimbuscrate::testing {
namespace {

using fp::host::HostDaemon;

std::string randomBytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (auto& byte : bytes) byte = static_cast<char>(generator());
    return bytes;
}

class HostStopEndToEnd : public ExtensionServicesFixture {
protected:
    void SetUp() override {
        if (!canMount()) GTEST_SKIP() << "needs root and /dev/fuse to mount";
        root_ = freshMountRoot("/tmp", "fps");
    }

    void TearDown() override {
        service_.clearFaults();  // a held reply never keeps the daemon from stopping here
        if (daemon_) daemon_->stop();
        daemon_.reset();
        std::error_code ignored;
        if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
    }

    // Starts the daemon with the domain registered and mounted.
    void mountDrive() {
        HostDaemon::Options options;
        options.home = root_ / "home";
        options.runtimeDirectory = root_ / "run";
        options.dataDirectory = root_ / "data";
        options.clock = &clock_;
        options.factory = extensionFactory();
        daemon_ = std::make_unique<HostDaemon>(options);
        daemon_->start();
        ASSERT_EQ(runFpctl(daemon_->socketPath(), "add nimbuscrate Nimbuscrate").first, 0);
        ASSERT_NE(daemon_->mountFor("nimbuscrate"), nullptr);
    }

    std::filesystem::path folder() const { return root_ / "home" / "Nimbuscrate"; }

    std::filesystem::path root_;
    ManualClock clock_;
    std::unique_ptr<HostDaemon> daemon_;
};

// A download the service holds (before its reply, or while the bytes trickle
// in) is cancelled when the daemon stops: the stop waits for nothing.
TEST_F(HostStopEndToEnd, StoppingWhileALargeDownloadIsHeldEndsWithinSeconds) {
    struct Case {
        std::string name;
        std::function<void(localservice::LocalService&)> hold;
    };
    const std::vector<Case> cases = {
        {"reply held", [](localservice::LocalService& service) { service.hold({"GET", "", "/dav/"}); }},
        {"bytes trickling",
         [](localservice::LocalService& service) {
             service.slowBody({"GET", "", "/dav/"}, 256 * 1024, std::chrono::milliseconds(500));
         }},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        if (row.name != cases.front().name) {
            std::filesystem::remove_all(root_);
            root_ = freshMountRoot("/tmp", "fps");
        }
        writeFile(drive_ / "large.bin", randomBytes(16 * 1024 * 1024, 3));
        mountDrive();
        struct stat shown{};
        ASSERT_EQ(::stat((folder() / "large.bin").c_str(), &shown), 0);
        row.hold(service_);
        const auto gets = davRequests("GET").size();
        auto reader = std::async(std::launch::async, [path = folder() / "large.bin"] {
            int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (descriptor < 0) return errno;
            ::close(descriptor);
            return 0;
        });
        ASSERT_TRUE(eventually([&] { return davRequests("GET").size() > gets; }));

        const auto started = std::chrono::steady_clock::now();
        auto stopped = std::async(std::launch::async, [this] { daemon_->stop(); });
        const bool ended = stopped.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
        if (!ended) service_.clearFaults();  // lets the test end; it has failed
        stopped.wait();
        const auto took = std::chrono::steady_clock::now() - started;
        EXPECT_TRUE(ended);
        EXPECT_LT(took, std::chrono::seconds(20));
        // The open fails (the download was cancelled), it never hangs.
        ASSERT_EQ(reader.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        EXPECT_NE(reader.get(), 0);
        EXPECT_FALSE(isMounted(folder()));

        daemon_.reset();
        service_.clearFaults();
    }
}

}  // namespace
}  // namespace nimbuscrate::testing
