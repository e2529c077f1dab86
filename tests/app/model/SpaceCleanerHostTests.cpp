// The space cleaner against the real host: the daemon serving the real
// extension on a FUSE mount, reached over its control channel as the app
// reaches it, on a UI executor run by hand (root and /dev/fuse needed).
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "app/model/DesktopAppModel.h"
#include "app/model/FileProviderSpaceCleaner.h"
#include "platform/fileprovider/host/ControlClient.h"
#include "platform/passkeys/SoftwareAuthenticator.h"
#include "shared/session/ServiceEndpoints.h"
#include "tests/app/model/AppModelFixture.h"
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
        domains_ = std::make_shared<fp::host::ChannelDomainService>(daemon_->socketPath(), tasks_, answers_);
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
    TaskPool answers_{1};
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

// The app's model over the daemon, as the program wires it (no sign-in and no
// passkeys are used here).
class FreeUpSpaceThroughTheHost : public SpaceCleanerThroughTheHost {
protected:
    void TearDown() override {
        if (model_) {
            ui_.runPending();
            model_.reset();
            ui_.runPending();
        }
        workers_.shutdown();
        SpaceCleanerThroughTheHost::TearDown();
        std::error_code ignored;
        std::filesystem::remove_all(modelData_, ignored);
    }

    void startModel() {
        domains_ = std::make_shared<fp::host::ChannelDomainService>(daemon_->socketPath(), tasks_, answers_);
        // The domain is registered already: no re-registration.
        standard_.setBoolean(DesktopAppModel::kReplicatedDomainMigrationKey, true);
        model_ = std::make_unique<DesktopAppModel>(DesktopAppModel::Services{
            ui_, workers_, clock_, store_, client_, encryption_, domains_, standard_, defaults_, revealer_, web_,
            HttpTransport::shared(), authenticator_, webAppURL().host()});
        subscription_ = model_->subscribe([this](DesktopAppModel::Field field, const DesktopAppModel::State& state) {
            lines_.push_back(testing::StateRecorder::entry(field, state));
        });
        ASSERT_TRUE(testing::eventually([&] {
            ui_.runPending();
            return model_->restoreFinished();
        })) << describe();
        ASSERT_TRUE(model_->state().isMounted);
        lines_.clear();
    }

    E2EEClient::Credentials credentials() {
        E2EEClient::Credentials result;
        result.session = [this] { return store_.loadSession(); };
        result.token = [this](std::stop_token stop) { return tokens_.validAccessToken(stop); };
        result.secret = [this](const std::string& service,
                               const std::string& account) -> std::shared_ptr<E2EESecretStore> {
            return std::make_shared<KeychainStore>(service, account, KeychainBackends::inDirectory(data_ / "secrets"));
        };
        return result;
    }

    std::filesystem::path modelData_ = testing::makeTemporaryDirectory("nc-free-space");
    TaskPool workers_{3};
    Defaults standard_{modelData_ / "standard.json"};
    testing::RecordingRevealer revealer_;
    testing::RecordingBrowser browser_;
    WebAuthenticator web_{ui_, browser_};
    SoftwareAuthenticator authenticator_;
    std::unique_ptr<MappingStore> modelMapping_ = MappingStore::unavailable();
    std::shared_ptr<E2EEClient> encryption_ = std::make_shared<E2EEClient>(E2EEClient::Services{
        HttpTransport::shared(), credentials(), *modelMapping_, clock_, accountAPIURL(), modelData_ / "e2ee", 1});
    std::unique_ptr<DesktopAppModel> model_;
    DesktopAppModel::Subscription subscription_;
    std::vector<std::string> lines_;
};

TEST_F(FreeUpSpaceThroughTheHost, TheActionShowsWhatWasRemovedAndWhatWasKept) {
    writeFile(drive_ / "a.txt", "a bytes");
    writeFile(drive_ / "b.txt", "b bytes");
    mountDrive();
    startModel();
    ASSERT_EQ(readFile(folder() / "a.txt"), "a bytes");
    ASSERT_EQ(readFile(folder() / "b.txt"), "b bytes");
    std::ifstream inUse(folder() / "b.txt", std::ios::binary);
    ASSERT_TRUE(inUse.good());

    UiTask<void> action = model_->freeUpSpace();
    runToEnd(action);
    EXPECT_EQ(lines_, (std::vector<std::string>{
                          "isBusy true", "errorMessage none", "status Removing local copies.",
                          "status Removed 1 local file copy. 1 file was kept because it is still uploading, has "
                          "unsynced changes, or is in use.",
                          "isBusy false"}));
    EXPECT_FALSE(cached("a.txt"));
    EXPECT_TRUE(cached("b.txt"));
    inUse.close();
    lines_.clear();

    UiTask<void> again = model_->freeUpSpace();
    runToEnd(again);
    EXPECT_EQ(lines_,
              (std::vector<std::string>{
                  "isBusy true", "errorMessage none", "status Removing local copies.",
                  "status Removed 1 local file copy. Your cloud files remain available in Finder.", "isBusy false"}));
    EXPECT_FALSE(cached("b.txt"));
}

}  // namespace
}  // namespace nimbuscrate
