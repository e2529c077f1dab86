// The host serving the real extension on a real FUSE mount, against the
// local service on 127.0.0.1: what a person does in the folder reaches the
// server, and nothing is lost when the server or the daemon fails.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <future>
#include <iterator>
#include <random>
#include <thread>

#include "fileprovider/FileProviderExtension.h"
#include "fileprovider/OcisFileServer.h"
#include "platform/core/PlatformError.h"
#include "platform/defaults/Defaults.h"
#include "platform/fileprovider/host/HostDaemon.h"
#include "platform/http/HttpTransport.h"
#include "shared/session/DesktopSession.h"
#include "shared/session/KeychainStore.h"
#include "shared/session/OAuthClient.h"
#include "shared/session/OcisClient.h"
#include "shared/session/PlainOnlyDriveService.h"
#include "shared/session/TokenProvider.h"
#include "tests/fileprovider/ExtensionTestSupport.h"
#include "tests/support/ExtensionServicesFixture.h"
#include "tests/support/MountTestSupport.h"
#include "tools/localservice/LocalService.h"
#include "tests/support/Eventually.h"
#include "tests/fileprovider/host-end-to-end/HostEndToEndFixture.h"

namespace nimbuscrate::testing {
namespace {

using fp::host::HostDaemon;
using fp::host::Inode;

using nimbuscrate::testing::eventually;

TEST_F(HostEndToEnd, CopyInUploadsTheBytesAndTimeThenTheCachedCopyIsEvictedAndReadsStillWork) {
    mountDrive();
    auto source = root_ / "source.bin";
    const std::string contents = randomBytes(3 * 1024 * 1024 + 17, 1);
    writeFile(source, contents);
    ASSERT_EQ(run("cp '" + source.string() + "' '" + folder().string() + "/'"), 0);
    ASSERT_TRUE(uploaded()) << describe();

    // Same bytes (so the same SHA-256) and the same modification time on the server.
    auto onServer = drive_ / "source.bin";
    ASSERT_TRUE(std::filesystem::exists(onServer));
    EXPECT_EQ(readFile(onServer), contents);
    struct stat shown{};
    struct stat stored{};
    ASSERT_EQ(::stat((folder() / "source.bin").c_str(), &shown), 0);
    ASSERT_EQ(::stat(onServer.c_str(), &stored), 0);
    EXPECT_EQ(shown.st_mtim.tv_sec, stored.st_mtim.tv_sec);
    EXPECT_EQ(shown.st_size, static_cast<off_t>(contents.size()));
    ASSERT_EQ(davRequests("PUT").size(), 1u);

    // The automatic cleanup asks for the eviction 0.7 s after the upload.
    Inode inode = shown.st_ino;
    EXPECT_TRUE(std::filesystem::exists(cacheOf(inode)));
    ASSERT_TRUE(clock_.waitForSleepers(1));
    clock_.advance(std::chrono::milliseconds(650));
    EXPECT_TRUE(std::filesystem::exists(cacheOf(inode)));
    clock_.advance(std::chrono::milliseconds(100));
    EXPECT_TRUE(eventually([&] { return !std::filesystem::exists(cacheOf(inode)); }));

    // Reading downloads it again.
    EXPECT_EQ(readFile(folder() / "source.bin"), contents);
    EXPECT_EQ(davRequests("GET").size(), 1u);
}

TEST_F(HostEndToEnd, ATimeSetOnAFileNeverDownloadedReachesTheServerWithItsBytes) {
    writeFile(drive_ / "dated.txt", "dated bytes");
    mountDrive();
    auto path = folder() / "dated.txt";
    ASSERT_TRUE(std::filesystem::exists(path));
    service_.requests().clear();
    timespec times[2] = {{1'500'000'000, 0}, {1'500'000'000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    ASSERT_TRUE(uploaded()) << describe();
    // The server's bytes came down first and went back with the new time.
    EXPECT_EQ(davRequests("GET").size(), 1u);
    EXPECT_EQ(davRequests("PUT").size(), 1u);
    EXPECT_EQ(readFile(drive_ / "dated.txt"), "dated bytes");
    struct stat stored{};
    ASSERT_EQ(::stat((drive_ / "dated.txt").c_str(), &stored), 0);
    EXPECT_EQ(stored.st_mtim.tv_sec, 1'500'000'000);
}

TEST_F(HostEndToEnd, MoveAcrossFoldersIsOneMoveAndKeepsTheInodeAndBytes) {
    writeFile(drive_ / "From" / "note.txt", "moved bytes");
    std::filesystem::create_directories(drive_ / "To");
    mountDrive();
    auto from = folder() / "From" / "note.txt";
    struct stat before{};
    ASSERT_EQ(::stat(from.c_str(), &before), 0);
    ASSERT_EQ(readFile(from), "moved bytes");
    ASSERT_TRUE(std::filesystem::exists(folder() / "To"));
    service_.requests().clear();

    ASSERT_EQ(::rename(from.c_str(), (folder() / "To" / "note.txt").c_str()), 0) << std::strerror(errno);
    ASSERT_TRUE(uploaded()) << describe();
    EXPECT_EQ(davRequests("MOVE").size(), 1u);
    EXPECT_TRUE(davRequests("PUT").empty());
    EXPECT_TRUE(std::filesystem::exists(drive_ / "To" / "note.txt"));
    EXPECT_FALSE(std::filesystem::exists(drive_ / "From" / "note.txt"));
    struct stat after{};
    ASSERT_EQ(::stat((folder() / "To" / "note.txt").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(readFile(folder() / "To" / "note.txt"), "moved bytes");

    // A name that is taken is never replaced.
    writeFile(root_ / "other.txt", "other");
    ASSERT_EQ(run("cp '" + (root_ / "other.txt").string() + "' '" + (folder() / "From").string() + "/note.txt'"), 0);
    ASSERT_TRUE(uploaded()) << describe();
    EXPECT_EQ(::rename((folder() / "From" / "note.txt").c_str(), (folder() / "To" / "note.txt").c_str()), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(readFile(drive_ / "To" / "note.txt"), "moved bytes");
}

TEST_F(HostEndToEnd, MakingAndRemovingFoldersAndFiles) {
    writeFile(drive_ / "Full" / "inside.txt", "keep");
    writeFile(drive_ / "Tree" / "a.txt", "a");
    writeFile(drive_ / "Tree" / "Sub" / "b.txt", "b");
    writeFile(drive_ / "single.txt", "single");
    mountDrive();
    ASSERT_TRUE(std::filesystem::exists(folder() / "Full"));
    service_.requests().clear();

    // A folder that is not empty stays, and nothing is asked of the server.
    EXPECT_EQ(::rmdir((folder() / "Full").c_str()), -1);
    EXPECT_EQ(errno, ENOTEMPTY);
    EXPECT_TRUE(davRequests("DELETE").empty());
    EXPECT_TRUE(std::filesystem::exists(drive_ / "Full" / "inside.txt"));

    ASSERT_EQ(::unlink((folder() / "single.txt").c_str()), 0);
    ASSERT_EQ(run("rm -r '" + (folder() / "Tree").string() + "'"), 0);
    ASSERT_EQ(::mkdir((folder() / "Made").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((folder() / "Made" / "Deeper").c_str(), 0700), 0);
    writeFile(folder() / "Made" / "Deeper" / "new.txt", "new");
    ASSERT_TRUE(uploaded()) << describe();

    EXPECT_FALSE(std::filesystem::exists(drive_ / "single.txt"));
    EXPECT_FALSE(std::filesystem::exists(drive_ / "Tree"));
    EXPECT_TRUE(std::filesystem::is_directory(drive_ / "Made" / "Deeper"));
    EXPECT_EQ(readFile(drive_ / "Made" / "Deeper" / "new.txt"), "new");
    EXPECT_EQ(davRequests("MKCOL").size(), 2u);
    EXPECT_FALSE(std::filesystem::exists(folder() / "Tree"));
}

TEST_F(HostEndToEnd, ANewFolderWhoseNameTheServerHasIsThatFolderAndTakesWhatIsMadeInside) {
    mountDrive();
    ASSERT_TRUE(std::filesystem::is_empty(folder()));
    // Made on the server after the listing, as when the daemon died
    // between a folder's MKCOL and its answer.
    writeFile(drive_ / "Made" / "there.txt", "there");
    service_.requests().clear();
    ASSERT_EQ(::mkdir((folder() / "Made").c_str(), 0700), 0);
    writeFile(folder() / "Made" / "new.txt", "new");
    ASSERT_TRUE(uploaded()) << describe();
    EXPECT_EQ(davRequests("MKCOL").size(), 1u);
    EXPECT_EQ(readFile(drive_ / "Made" / "new.txt"), "new");
    EXPECT_EQ(readFile(drive_ / "Made" / "there.txt"), "there");
    EXPECT_EQ(readFile(folder() / "Made" / "there.txt"), "there");
}

TEST_F(HostEndToEnd, AnOpenOrUnsentFileRefusesEviction) {
    writeFile(drive_ / "open.txt", "open bytes");
    mountDrive();
    auto path = folder() / "open.txt";
    int descriptor = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(descriptor, 0);
    auto identifier = mount()->replica().child(fp::host::kRootInode, "open.txt")->identifier;
    auto [refused, why] = fpctl("evict nimbuscrate " + identifier);
    EXPECT_NE(refused, 0) << why;
    // Refused as busy (EBUSY), over the channel too.
    EXPECT_THAT(why, ::testing::HasSubstr("(" + std::string(kPOSIXErrorDomain) + " " + std::to_string(EBUSY) + ")"));
    ::close(descriptor);
    // The cached files, as the space cleaner pages them.
    auto [listed, cachedFiles] = fpctl("materialized nimbuscrate");
    EXPECT_EQ(listed, 0) << cachedFiles;
    EXPECT_EQ(cachedFiles, identifier + "\topen.txt\n");
    auto [evicted, output] = fpctl("evict nimbuscrate " + identifier);
    EXPECT_EQ(evicted, 0) << output;
    EXPECT_EQ(fpctl("materialized nimbuscrate").second, "");
    Inode inode = mount()->replica().child(fp::host::kRootInode, "open.txt")->inode;
    EXPECT_FALSE(std::filesystem::exists(cacheOf(inode)));

    // An upload held on the server: the new file is unsent.
    auto gate = service_.hold({"PUT", "", "/dav/"});
    writeFile(folder() / "unsent.txt", "unsent bytes");
    ASSERT_TRUE(eventually([&] { return !davRequests("PUT").empty(); }));
    auto unsent = mount()->replica().child(fp::host::kRootInode, "unsent.txt");
    ASSERT_TRUE(unsent);
    auto busy = mount()->evict(unsent->identifier);
    ASSERT_TRUE(busy.has_value());
    EXPECT_EQ(busy->domain, kPOSIXErrorDomain);
    EXPECT_EQ(busy->code, EBUSY);
    EXPECT_EQ(readFile(folder() / "unsent.txt"), "unsent bytes");
    service_.clearFaults();
    ASSERT_TRUE(uploaded()) << describe();
    EXPECT_EQ(readFile(drive_ / "unsent.txt"), "unsent bytes");
}

TEST_F(HostEndToEnd, WithTheServiceFailingANewFileStaysVisibleAndUploadsOnceItIsBack) {
    mountDrive();
    service_.overrideStatus({"PUT", "", "/dav/"}, 503, localservice::FaultKnobs::kEveryCall);
    writeFile(folder() / "later.txt", "sent later");
    // Visible and readable while it waits.
    EXPECT_TRUE(std::filesystem::exists(folder() / "later.txt"));
    EXPECT_EQ(readFile(folder() / "later.txt"), "sent later");
    // The first failure waits on the clock before trying again.
    ASSERT_TRUE(clock_.waitForSleepers(1));
    EXPECT_FALSE(std::filesystem::exists(drive_ / "later.txt"));
    EXPECT_GE(davRequests("PUT").size(), 1u);
    EXPECT_EQ(mount()->pendingOperations(), 1u);

    service_.clearFaults();
    clock_.advance(std::chrono::seconds(1));
    ASSERT_TRUE(uploaded()) << describe();
    EXPECT_EQ(readFile(drive_ / "later.txt"), "sent later");
    EXPECT_EQ(readFile(folder() / "later.txt"), "sent later");
}

TEST_F(HostEndToEnd, AChangeParkedAfterItsRetriesGoesOutWithTheNextSignal) {
    mountDrive();
    service_.overrideStatus({"PUT", "", "/dav/"}, 503, localservice::FaultKnobs::kEveryCall);
    writeFile(folder() / "parked.txt", "parked");
    // Each retry waits twice as long; after the last one the change is parked.
    for (std::size_t retry = 0; retry < 5; ++retry) {
        // The failed attempt is on record before its pause begins.
        ASSERT_TRUE(eventually([&] { return davRequests("PUT").size() == retry + 1; })) << describe();
        ASSERT_TRUE(clock_.waitForSleepers(1));
        clock_.advance(std::chrono::seconds(1 << retry));
    }
    ASSERT_TRUE(eventually([&] { return davRequests("PUT").size() == 6; })) << describe();
    EXPECT_EQ(mount()->pendingOperations(), 1u);
    service_.clearFaults();
    EXPECT_EQ(fpctl("signal nimbuscrate root").first, 0);
    ASSERT_TRUE(uploaded()) << describe();
    EXPECT_EQ(readFile(drive_ / "parked.txt"), "parked");
}

TEST_F(HostEndToEnd, ADaemonStoppedMidUploadSendsTheFileWhenItStartsAgain) {
    mountDrive();
    // The upload's connection is cut: the file is unsent when the daemon stops.
    service_.dropConnection({"PUT", "", "/dav/"}, localservice::FaultKnobs::kEveryCall);
    const std::string contents = randomBytes(200'000, 7);
    writeFile(folder() / "interrupted.bin", contents);
    ASSERT_TRUE(eventually([&] { return !davRequests("PUT").empty(); })) << describe();
    ASSERT_TRUE(clock_.waitForSleepers(1));
    daemon_->stop();
    daemon_.reset();
    EXPECT_FALSE(std::filesystem::exists(drive_ / "interrupted.bin"));

    service_.clearFaults();
    startDaemon();
    ASSERT_NE(mount(), nullptr);
    ASSERT_TRUE(uploaded()) << describe();
    EXPECT_EQ(readFile(drive_ / "interrupted.bin"), contents);
    EXPECT_EQ(readFile(folder() / "interrupted.bin"), contents);
}

TEST_F(HostEndToEnd, RemovingTheDomainKeepsUnsentFiles) {
    mountDrive();
    service_.overrideStatus({"PUT", "", "/dav/"}, 403, localservice::FaultKnobs::kEveryCall);
    ASSERT_EQ(::mkdir((folder() / "Dir").c_str(), 0700), 0);
    writeFile(folder() / "Dir" / "kept.txt", "kept bytes");
    ASSERT_TRUE(eventually([&] { return !davRequests("PUT").empty(); }));
    ASSERT_EQ(fpctl("remove nimbuscrate").first, 0);
    std::vector<std::filesystem::path> preserved;
    for (const auto& entry : std::filesystem::directory_iterator(root_ / "home")) preserved.push_back(entry.path());
    ASSERT_EQ(preserved.size(), 1u);
    EXPECT_THAT(preserved[0].filename().string(), ::testing::StartsWith("Nimbuscrate (unsent files "));
    EXPECT_EQ(readFile(preserved[0] / "Dir" / "kept.txt"), "kept bytes");
}

// The program itself, killed while it uploads: started like the run command
// does, with its own data folder and the session imported into it.
class ProgramEndToEnd : public HostEndToEnd {
protected:
    void TearDown() override {
        stopProgram(SIGTERM);
        HostEndToEnd::TearDown();
    }

    std::vector<std::string> environment() const {
        std::vector<std::string> variables;
        for (char** entry = environ; *entry; ++entry) {
            std::string variable = *entry;
            // Replaced below: the first of two equal names would win.
            if (variable.rfind("HOME=", 0) == 0 || variable.rfind("XDG_DATA_HOME=", 0) == 0 ||
                variable.rfind("XDG_RUNTIME_DIR=", 0) == 0) {
                continue;
            }
            variables.push_back(variable);
        }
        variables.push_back("HOME=" + (root_ / "home").string());
        variables.push_back("XDG_DATA_HOME=" + (root_ / "xdg").string());
        variables.push_back("XDG_RUNTIME_DIR=" + (root_ / "run").string());
        return variables;
    }

    int runWithEnvironment(const std::vector<std::string>& arguments, bool wait = true) {
        auto variables = environment();
        pid_t child = ::fork();
        if (child == 0) {
            std::vector<char*> argv;
            for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
            argv.push_back(nullptr);
            std::vector<char*> envp;
            for (const auto& variable : variables) envp.push_back(const_cast<char*>(variable.c_str()));
            envp.push_back(nullptr);
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        if (!wait) return child;
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string program(const std::string& path) const { return std::string(NIMBUSCRATE_BINARY_DIR) + "/" + path; }
    std::string socket() const { return (root_ / "run" / "nimbuscrate" / "fileprovider.sock").string(); }

    void startProgram() {
        program_ = runWithEnvironment({program("fileprovider/NimbuscrateFileProvider")}, false);
        ASSERT_TRUE(eventually([&] {
            return runWithEnvironment({program("platform/fileprovider/host/nimbuscrate-fpctl"), "--socket", socket(),
                                       "domains"}) == 0;
        }));
    }

    // Imports the session, starts the program and adds the domain.
    void startProgramWithDomain() {
        std::filesystem::create_directories(root_ / "xdg");
        auto session = store_.read();
        ASSERT_TRUE(session);
        writeFile(root_ / "session.json", std::string(session->begin(), session->end()));
        ASSERT_EQ(runWithEnvironment({program("tools/devsession/nimbuscrate-dev-session"), "import",
                                      (root_ / "session.json").string()}),
                  0);
        startProgram();
        ASSERT_EQ(runWithEnvironment({program("platform/fileprovider/host/nimbuscrate-fpctl"), "--socket", socket(),
                                      "add", "nimbuscrate", "Nimbuscrate"}),
                  0);
    }

    void stopProgram(int signal) {
        if (program_ <= 0) return;
        ::kill(program_, signal);
        ::waitpid(program_, nullptr, 0);
        program_ = 0;
    }

    pid_t program_ = 0;
};

TEST_F(ProgramEndToEnd, KillingTheDaemonMidUploadLosesNothing) {
    if (!std::filesystem::exists(program("tools/devsession/nimbuscrate-dev-session"))) {
        GTEST_SKIP() << "needs the development session tool";
    }
    startProgramWithDomain();

    // Every upload is cut off after its body is read: nothing the first
    // daemon sends ever reaches the drive.
    service_.dropConnection({"PUT", "", "/dav/"}, localservice::FaultKnobs::kEveryCall);
    const std::string contents = randomBytes(2 * 1024 * 1024, 11);
    writeFile(root_ / "big.bin", contents);
    ASSERT_EQ(run("cp '" + (root_ / "big.bin").string() + "' '" + folder().string() + "/'"), 0);
    ASSERT_TRUE(eventually([&] { return !davRequests("PUT").empty(); })) << describe();
    stopProgram(SIGKILL);
    run("fusermount3 -uz '" + folder().string() + "' 2>/dev/null");
    EXPECT_FALSE(std::filesystem::exists(drive_ / "big.bin"));
    const std::size_t putsBefore = davRequests("PUT").size();
    service_.clearFaults();

    // Started again, it mounts the domain and sends the file itself.
    startProgram();
    EXPECT_TRUE(eventually([&] {
        return std::filesystem::exists(drive_ / "big.bin") && readFile(drive_ / "big.bin") == contents;
    }, std::chrono::seconds(60))) << describe();
    EXPECT_GT(davRequests("PUT").size(), putsBefore);
    EXPECT_EQ(readFile(folder() / "big.bin"), contents);
}

// The program asks its encryption client about every listing and write; a
// plain account (no key record) answers from the account record alone.
TEST_F(ProgramEndToEnd, APlainAccountWorksAsBeforeThroughTheEncryptionClient) {
    if (!std::filesystem::exists(program("tools/devsession/nimbuscrate-dev-session"))) {
        GTEST_SKIP() << "needs the development session tool";
    }
    writeFile(drive_ / "Readme.txt", "plain bytes");
    startProgramWithDomain();
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(folder() / "Readme.txt"); })) << describe();
    EXPECT_EQ(readFile(folder() / "Readme.txt"), "plain bytes");
    writeFile(root_ / "new.txt", "new bytes");
    ASSERT_EQ(run("cp '" + (root_ / "new.txt").string() + "' '" + folder().string() + "/'"), 0);
    EXPECT_TRUE(eventually([&] {
        return std::filesystem::exists(drive_ / "new.txt") && readFile(drive_ / "new.txt") == "new bytes";
    })) << describe();

    EXPECT_FALSE(service_.requests().matching("GET", "/api/v1/e2ee/account").empty()) << describe();
    EXPECT_TRUE(service_.requests().matching("", "/api/v1/e2ee/files").empty()) << describe();
    EXPECT_TRUE(service_.requests().matching("", "/api/v1/e2ee/nodes").empty()) << describe();
}

}  // namespace
}  // namespace nimbuscrate::testing
