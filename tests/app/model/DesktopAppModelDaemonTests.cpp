// The app model against the real host daemon: the daemon serves the real
// extension on a real FUSE mount (in this process, as the host's end-to-end
// tests run it) and the model reaches it over its control channel, as the
// app does. Skipped without root and /dev/fuse.

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "fileprovider/FileProviderExtension.h"
#include "fileprovider/OcisFileServer.h"
#include "platform/fileprovider/host/ControlClient.h"
#include "platform/fileprovider/host/HostDaemon.h"
#include "platform/log/LogCapture.h"
#include "shared/encryption/E2EEError.h"
#include "tests/app/model/AppModelFixture.h"
#include "tests/support/MountTestSupport.h"

namespace nimbuscrate {
namespace {

using localservice::Route;
using Model = DesktopAppModel;

class DesktopAppModelDaemonTest : public testing::AppModelFixture {
protected:
    void SetUp() override {
        AppModelFixture::SetUp();
        if (IsSkipped()) return;
        if (!testing::canMount()) GTEST_SKIP() << "needs root and /dev/fuse to mount";
        root = testing::freshMountRoot("/tmp", "fam");
    }

    void TearDown() override {
        if (model) finishModel();
        if (daemon) daemon->stop();
        daemon.reset();
        std::error_code ignored;
        if (!root.empty()) std::filesystem::remove_all(root, ignored);
        std::filesystem::remove_all(daemonData, ignored);
    }

    // Starts the daemon with the real extension over the same secret store
    // (its own token provider, file-server client and encryption client, as
    // the extension's process has) and points the model at its socket.
    void startDaemon() {
        fp::host::HostDaemon::Options options;
        options.home = root / "home";
        options.runtimeDirectory = root / "run";
        options.dataDirectory = root / "data";
        options.clock = &daemonClock;
        FileProviderExtension::Services extension{std::make_shared<OcisFileServer>(daemonFiles), daemonEncryption,
                                                  &daemonMapping, daemonUploads};
        options.factory = [extension](fp::ExtensionEnvironment environment) -> fp::ExtensionPtr {
            return FileProviderExtension::make(std::move(environment), extension);
        };
        daemon = std::make_unique<fp::host::HostDaemon>(options);
        daemon->start();
        domainService = std::make_shared<fp::host::ChannelDomainService>(daemon->socketPath(), workers, answers);
    }

    std::filesystem::path folder() const { return root / "home" / "Nimbuscrate"; }
    fp::host::DomainMount* mounted() { return daemon->mountFor(Model::kDomainIdentifier); }

    std::filesystem::path root;
    ManualClock daemonClock;
    // The extension's own services.
    std::filesystem::path daemonData = testing::makeTemporaryDirectory("nc-app-daemon");
    MappingStore daemonMapping{daemonData / "container"};
    OAuthClient daemonOAuth{HttpTransport::shared(), sessionStore, Clock::system()};
    TokenProvider daemonTokens{sessionStore, daemonOAuth, Clock::system()};
    std::shared_ptr<UploadActivityStore> daemonUploads = std::make_shared<UploadActivityStore>(groupDefaults);
    std::shared_ptr<E2EEClient> daemonEncryption = std::make_shared<E2EEClient>(E2EEClient::Services{
        HttpTransport::shared(), daemonCredentials(), daemonMapping, Clock::system(), accountAPIURL(), daemonData / "e2ee", 1});
    OcisClient daemonFiles{sessionStore, daemonTokens,
                           OcisClient::Services{daemonEncryption, &HttpTransport::shared(), &daemonMapping,
                                                daemonUploads}};
    std::unique_ptr<fp::host::HostDaemon> daemon;

private:
    E2EEClient::Credentials daemonCredentials() {
        E2EEClient::Credentials result;
        result.session = [this] { return sessionStore.loadSession(); };
        result.token = [this](std::stop_token stop) { return daemonTokens.validAccessToken(stop); };
        result.secret = [this](const std::string& service, const std::string& account)
            -> std::shared_ptr<E2EESecretStore> { return std::make_shared<KeychainStore>(service, account, backends); };
        return result;
    }
};

TEST_F(DesktopAppModelDaemonTest, TheRestoreRegistersTheDomainOnceAndTheDriveIsShown) {
    storeSignedIn();
    testing::writeFile(service.driveDirectory(kDriveId) / "hello.txt", "hello");
    startDaemon();
    startModel();

    EXPECT_EQ(model->state().errorMessage, std::nullopt);
    EXPECT_TRUE(model->state().isMounted);
    EXPECT_EQ(model->state().status, Model::kAvailableStatus);
    EXPECT_EQ(standardDefaults.boolean(Model::kReplicatedDomainMigrationKey), true);
    ASSERT_NE(mounted(), nullptr);
    EXPECT_EQ(testing::readAll(folder() / "hello.txt"), "hello");

    auto open = model->openInFinder();
    finish(open);
    EXPECT_EQ(revealer.shown, (std::vector<std::filesystem::path>{folder()}));

    auto refresh = model->refresh();
    finish(refresh);
    EXPECT_EQ(model->state().errorMessage, std::nullopt);

    // The next start finds the flag set and the domain registered: no re-registration.
    finishModel();
    startModel();
    EXPECT_TRUE(model->state().isMounted);
    EXPECT_EQ(daemon->domains().size(), 1u);
}

TEST_F(DesktopAppModelDaemonTest, UnmountAndMountThroughTheDaemonKeepUnsentFiles) {
    migrationDone();
    storeSignedIn();
    startDaemon();
    startModel();
    recorder.take();
    ASSERT_FALSE(model->state().isMounted);

    auto mount = model->mount();
    finish(mount);
    ASSERT_TRUE(model->state().isMounted) << model->state().errorMessage.value_or("");
    ASSERT_NE(mounted(), nullptr);

    {
        SCOPED_TRACE("an unmount with nothing unsent names no folder");
        auto unmount = model->unmount();
        finish(unmount);
        EXPECT_FALSE(model->state().isMounted);
        EXPECT_EQ(model->state().unsentFilesFolder, std::nullopt);
        EXPECT_EQ(mounted(), nullptr);
        auto again = model->mount();
        finish(again);
        ASSERT_TRUE(model->state().isMounted);
        recorder.take();
    }

    // The service refuses every upload: the file stays unsent.
    service.overrideStatus(Route{"PUT", "", ""}, 507, localservice::FaultKnobs::kEveryCall);
    {
        std::ofstream(folder() / "draft.txt") << "only here";
    }
    ASSERT_TRUE(testing::eventually([&] { return !service.requests().matching("PUT", "/dav/").empty(); }));

    auto unmount = model->unmount();
    finish(unmount);
    const auto entries = recorder.take();
    ASSERT_EQ(entries.size(), 6u);
    EXPECT_EQ(entries[0], "isBusy true");
    EXPECT_TRUE(entries[1].starts_with("unsentFilesFolder " + (root / "home" / "Nimbuscrate (unsent files ").string()))
        << entries[1];
    EXPECT_EQ(entries[2], "isMounted false");
    ASSERT_TRUE(model->state().unsentFilesFolder);
    EXPECT_EQ(testing::readAll(std::filesystem::path(*model->state().unsentFilesFolder) / "draft.txt"), "only here");
    EXPECT_FALSE(std::filesystem::exists(service.driveDirectory(kDriveId) / "draft.txt"));
}

// The daemon's encryption client has a request at the service when the app
// signs in again: that request ends with E2EEError::sessionChanged, and the
// stored session is the app's newest.
TEST_F(DesktopAppModelDaemonTest, ASignInWhileTheDaemonWaitsForTheServiceEndsTheDaemonsRequest) {
    storeSignedIn();
    startDaemon();
    startModel();
    ASSERT_TRUE(model->state().isMounted) << model->state().errorMessage.value_or("");

    LogCapture logs;
    const auto gate = service.hold(Route{"GET", "", "/api/v1/e2ee/account"});
    // A program lists the drive: the daemon's first listing of the root asks the account API.
    std::thread lister([&] {
        std::error_code ignored;
        for (std::filesystem::directory_iterator it(folder(), ignored), end; !ignored && it != end;
             it.increment(ignored)) {
        }
    });
    ASSERT_TRUE(gate->waitForArrivals(1, std::chrono::seconds(30)));

    auto signIn = model->signInAndMount();
    completeBrowserSignIn();
    // The app's own encryption status arrives at the gate after both saves.
    ASSERT_TRUE(runUntil([&] { return gate->arrivals() >= 2; }));
    const std::optional<DesktopSession> newest = stored();
    gate->open();
    finish(signIn);
    lister.join();

    EXPECT_EQ(model->state().errorMessage, std::nullopt);
    EXPECT_EQ(stored(), newest);
    ASSERT_TRUE(newest && newest->drive);
    // The extension's enumeration logs what its request ended with.
    auto endedWithTheChange = [&] {
        for (const LogEntry& entry : logs.entries()) {
            if (entry.subsystem == "app.nimbuscrate.fileprovider" &&
                entry.message.find(E2EEError::sessionChanged().what()) != std::string::npos) {
                return true;
            }
        }
        return false;
    };
    EXPECT_TRUE(testing::eventually(endedWithTheChange)) << "the daemon's request did not end with the session change";
}

}  // namespace
}  // namespace nimbuscrate
