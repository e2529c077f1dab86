// The space cleaner against the real host: the daemon serving the real
// extension on a FUSE mount, reached over its control channel as the app
// reaches it, on a UI executor run by hand (root and /dev/fuse needed).
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "app/model/FileProviderSpaceCleaner.h"
#include "platform/fileprovider/host/ControlClient.h"
#include "tests/fileprovider/host-end-to-end/HostEndToEndFixture.h"
#include "tests/support/Eventually.h"

namespace nimbuscrate {
namespace {

using testing::readFile;
using testing::writeFile;

class SpaceCleanerThroughTheHost : public testing::HostEndToEnd {
protected:
    void TearDown() override {
        manager_.reset();
        domains_.reset();
        tasks_.waitIdle();
        HostEndToEnd::TearDown();
    }

    // The domain's manager over the daemon's control channel.
    fp::ManagerPtr channelManager() {
        domains_ = std::make_shared<fp::host::ChannelDomainService>(daemon_->socketPath(), tasks_);
        manager_ = domains_->managerFor(fp::Domain{"nimbuscrate", "Nimbuscrate"});
        return manager_;
    }

    template <class T>
    void runToEnd(UiTask<T>& task) {
        while (!task.done()) {
            ASSERT_TRUE(testing::eventually([&] { return ui_.pending() > 0; })) << describe();
            ui_.runPending();
        }
    }

    bool cached(const std::string& name) {
        const auto node = mount()->replica().child(fp::host::kRootInode, name);
        return node && std::filesystem::exists(cacheOf(node->inode));
    }

    ManualExecutor ui_;
    TaskPool tasks_{3};
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
    std::shared_ptr<fp::host::ChannelDomainService> domains_;
    fp::ManagerPtr manager_;
};

TEST_F(SpaceCleanerThroughTheHost, FreesTheCopiesOfUploadedFilesAndKeepsTheOneNotYetSent) {
    writeFile(drive_ / "read.txt", "read bytes");
    mountDrive();
    // One file downloaded by reading it, two written here and uploaded.
    ASSERT_EQ(readFile(folder() / "read.txt"), "read bytes");
    writeFile(folder() / "one.txt", "one");
    writeFile(folder() / "two.txt", "two");
    ASSERT_TRUE(uploaded()) << describe();
    for (const char* name : {"read.txt", "one.txt", "two.txt"}) ASSERT_TRUE(cached(name)) << name;

    UiTask<SpaceCleanupCounts> task =
        FileProviderSpaceCleaner::evictMaterializedFiles(UiContext{ui_, tasks_, alive_}, channelManager());
    // The host has answered the wait; before the list is read, "two.txt"
    // changes and its upload is held by the server: it is not sent yet.
    ASSERT_TRUE(testing::eventually([&] { return ui_.pending() > 0; })) << describe();
    const std::size_t putsBefore = davRequests("PUT").size();
    auto gate = service_.hold({"PUT", "", "/dav/"});
    writeFile(folder() / "two.txt", "two, changed");
    ASSERT_TRUE(testing::eventually([&] { return davRequests("PUT").size() > putsBefore; })) << describe();

    runToEnd(task);
    EXPECT_EQ(task.result(), (SpaceCleanupCounts{3, 2}));
    EXPECT_EQ(FileProviderSpaceCleaner::spaceCleanupMessage(3, 2),
              "Removed 2 local file copies. 1 file was kept because it is still uploading, has unsynced changes, or "
              "is in use.");
    EXPECT_FALSE(cached("read.txt"));
    EXPECT_FALSE(cached("one.txt"));
    EXPECT_TRUE(cached("two.txt"));
    // Nothing of the unsent change was lost, and it reaches the server.
    EXPECT_EQ(readFile(folder() / "two.txt"), "two, changed");
    service_.clearFaults();
    gate->open();
    ASSERT_TRUE(uploaded()) << describe();
    EXPECT_EQ(readFile(drive_ / "two.txt"), "two, changed");
    // The evicted files are still there, and come down again when read.
    EXPECT_EQ(readFile(folder() / "one.txt"), "one");
    EXPECT_EQ(readFile(folder() / "read.txt"), "read bytes");

    {
        SCOPED_TRACE("a second clean-up removes the copies read again and the one sent since");
        UiTask<SpaceCleanupCounts> again =
            FileProviderSpaceCleaner::evictMaterializedFiles(UiContext{ui_, tasks_, alive_}, manager_);
        runToEnd(again);
        EXPECT_EQ(again.result(), (SpaceCleanupCounts{3, 3}));
    }
    {
        SCOPED_TRACE("then there is nothing left to remove");
        UiTask<SpaceCleanupCounts> nothing =
            FileProviderSpaceCleaner::evictMaterializedFiles(UiContext{ui_, tasks_, alive_}, manager_);
        runToEnd(nothing);
        EXPECT_EQ(nothing.result(), (SpaceCleanupCounts{0, 0}));
    }
}

TEST_F(SpaceCleanerThroughTheHost, AFileInUseIsKept) {
    writeFile(drive_ / "open.txt", "open bytes");
    writeFile(drive_ / "closed.txt", "closed bytes");
    mountDrive();
    ASSERT_EQ(readFile(folder() / "closed.txt"), "closed bytes");
    std::ifstream open(folder() / "open.txt", std::ios::binary);
    ASSERT_TRUE(open.good());

    UiTask<SpaceCleanupCounts> task =
        FileProviderSpaceCleaner::evictMaterializedFiles(UiContext{ui_, tasks_, alive_}, channelManager());
    runToEnd(task);
    EXPECT_EQ(task.result(), (SpaceCleanupCounts{2, 1}));
    EXPECT_TRUE(cached("open.txt"));
    EXPECT_FALSE(cached("closed.txt"));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(open), {}), "open bytes");
}

}  // namespace
}  // namespace nimbuscrate
