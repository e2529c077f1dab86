// The host serving the real extension on a real FUSE mount, against the
// local service on 127.0.0.1: a mount stops at once whatever it waits for,
// and files stay usable as long as a program holds them open.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <chrono>
#include <future>
#include <random>
#include <thread>

#include "tests/fileprovider/host-end-to-end/HostEndToEndFixture.h"
#include "tests/support/Eventually.h"

namespace nimbuscrate::testing {
namespace {

class HostStopEndToEnd : public HostEndToEnd {
protected:
    void TearDown() override {
        service_.clearFaults();  // a held reply never keeps the daemon from stopping here
        HostEndToEnd::TearDown();
    }
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
            root_ = freshMountRoot("/tmp", "fph");
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

// POSIX keeps an unlinked file alive while it is open: fstat, reads, writes,
// ftruncate and futimens go on through the open descriptors, and the name is
// gone from the folder and the server.
TEST_F(HostStopEndToEnd, AnUnlinkedFileAnswersThroughItsOpenDescriptors) {
    writeFile(drive_ / "server.txt", "server bytes");
    mountDrive();
    const auto path = folder() / "server.txt";
    int reader = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(reader, 0) << std::strerror(errno);
    int writer = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(writer, 0) << std::strerror(errno);
    ASSERT_EQ(::unlink(path.c_str()), 0);
    struct stat gone{};
    EXPECT_NE(::stat(path.c_str(), &gone), 0);

    struct stat attributes{};
    ASSERT_EQ(::fstat(reader, &attributes), 0) << std::strerror(errno);
    EXPECT_EQ(attributes.st_size, 12);
    EXPECT_TRUE(S_ISREG(attributes.st_mode));
    char buffer[64] = {};
    ASSERT_EQ(::pread(reader, buffer, sizeof buffer, 0), 12);
    EXPECT_EQ(std::string(buffer, 12), "server bytes");

    ASSERT_EQ(::pwrite(writer, " and more", 9, 12), 9);
    ASSERT_EQ(::fstat(writer, &attributes), 0) << std::strerror(errno);
    EXPECT_EQ(attributes.st_size, 21);
    ASSERT_EQ(::ftruncate(writer, 6), 0) << std::strerror(errno);
    ASSERT_EQ(::fstat(writer, &attributes), 0);
    EXPECT_EQ(attributes.st_size, 6);
    const timespec times[2] = {{0, UTIME_OMIT}, {1'600'000'000, 0}};
    ASSERT_EQ(::futimens(writer, times), 0) << std::strerror(errno);
    ASSERT_EQ(::fstat(writer, &attributes), 0);
    EXPECT_EQ(attributes.st_mtim.tv_sec, 1'600'000'000);
    ASSERT_EQ(::fsync(writer), 0) << std::strerror(errno);
    EXPECT_EQ(::close(writer), 0);
    EXPECT_EQ(::close(reader), 0);

    // The removal reached the server, and nothing brought the file back.
    auto* mount = daemon_->mountFor("nimbuscrate");
    auto done = std::make_shared<std::promise<std::optional<fp::Error>>>();
    mount->waitForChanges(fp::kRootContainer, [done](std::optional<fp::Error> error) { done->set_value(error); });
    auto future = done->get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_FALSE(future.get().has_value());
    EXPECT_FALSE(std::filesystem::exists(drive_ / "server.txt"));
    EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace nimbuscrate::testing
