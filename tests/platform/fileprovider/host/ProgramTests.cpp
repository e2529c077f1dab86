// The daemon and the client as programs: SIGTERM unmounts cleanly, the
// registrations outlive the process, and the channel refuses other users.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "platform/fileprovider/host/ControlProtocol.h"
#include "tests/support/MountTestSupport.h"

extern char** environ;

namespace nimbuscrate::fp::host {
namespace {

const std::string kPrograms = std::string(NIMBUSCRATE_BINARY_DIR) + "/platform/fileprovider/host/";

using nimbuscrate::testing::canMount;
using nimbuscrate::testing::connectTo;
using nimbuscrate::testing::freshMountRoot;
using nimbuscrate::testing::isMounted;
using nimbuscrate::testing::readAll;
using nimbuscrate::testing::runFpctl;

class FileProviderHostProgram : public ::testing::Test {
protected:
    void SetUp() override {
        if (!canMount()) GTEST_SKIP() << "needs root and /dev/fuse to mount";
        root_ = freshMountRoot(std::filesystem::temp_directory_path(), "fp-prog");
        for (const char* folder : {"run", "data", "seed"}) std::filesystem::create_directories(root_ / folder);
        std::ofstream(root_ / "seed" / "readme.txt") << "seeded";
        environment_ = {"HOME=" + (root_ / "home").string(), "XDG_RUNTIME_DIR=" + (root_ / "run").string(),
                        "XDG_DATA_HOME=" + (root_ / "data").string(), "PATH=/usr/bin:/bin"};
    }
    void TearDown() override {
        if (host_ > 0) {
            ::kill(host_, SIGKILL);
            ::waitpid(host_, nullptr, 0);
            ::umount2((root_ / "home" / "Nimbuscrate").c_str(), MNT_DETACH);
        }
        if (!root_.empty()) std::filesystem::remove_all(root_);
    }

    std::filesystem::path socket() const { return controlSocketPath(root_ / "run"); }

    // Starts the daemon; its standard error goes to `errors` when given.
    void startHost(const std::filesystem::path& errors = {}) {
        std::vector<std::string> words = {kPrograms + "nimbuscrate-fileprovider-host", "--seed", (root_ / "seed").string()};
        std::vector<char*> argv;
        for (auto& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        std::vector<char*> env;
        for (auto& entry : environment_) env.push_back(entry.data());
        env.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (!errors.empty()) {
            posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        }
        const int spawned = ::posix_spawn(&host_, argv[0], &actions, nullptr, argv.data(), env.data());
        posix_spawn_file_actions_destroy(&actions);
        ASSERT_EQ(spawned, 0);
        ASSERT_LT(socket().string().size(), sizeof(sockaddr_un::sun_path));
        // Ready once it answers a request: it serves only after mounting
        // the registered domains (or the program has ended).
        for (;;) {
            if (std::filesystem::exists(socket()) && fpctl("domains") == 0) return;
            int status = 0;
            ASSERT_EQ(::waitpid(host_, &status, WNOHANG), 0) << "the host ended early";
            ::usleep(2000);
        }
    }

    int stopHost() {
        ::kill(host_, SIGTERM);
        int status = 0;
        ::waitpid(host_, &status, 0);
        host_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Runs the command-line client; its exit status, and its output in output_.
    int fpctl(const std::string& arguments) {
        auto [status, output] = runFpctl(socket(), arguments);
        output_ = std::move(output);
        return status;
    }

    std::filesystem::path root_;
    std::vector<std::string> environment_;
    std::string output_;
    pid_t host_ = -1;
};

TEST_F(FileProviderHostProgram, TermUnmountsAndARestartMountsTheRegisteredDomainAgain) {
    ASSERT_NO_FATAL_FAILURE(startHost());
    auto mountpoint = root_ / "home" / "Nimbuscrate";
    ASSERT_EQ(fpctl("add nimbuscrate Nimbuscrate"), 0) << output_;
    EXPECT_TRUE(isMounted(mountpoint));
    {
        std::ifstream in(mountpoint / "readme.txt");
        std::string text;
        std::getline(in, text);
        EXPECT_EQ(text, "seeded");
    }
    EXPECT_EQ(stopHost(), 0);
    EXPECT_FALSE(isMounted(mountpoint));
    EXPECT_FALSE(std::filesystem::exists(socket()));

    ASSERT_NO_FATAL_FAILURE(startHost());
    EXPECT_TRUE(isMounted(mountpoint));
    EXPECT_TRUE(std::filesystem::exists(mountpoint / "readme.txt"));
    EXPECT_EQ(stopHost(), 0);
    EXPECT_FALSE(isMounted(mountpoint));
}

TEST_F(FileProviderHostProgram, LogLinesGoToStandardErrorUnlessItIsTheJournalsStream) {
    const auto errors = root_ / "daemon.log";
    ASSERT_NO_FATAL_FAILURE(startHost(errors));
    ASSERT_EQ(fpctl("add nimbuscrate Nimbuscrate"), 0) << output_;
    EXPECT_EQ(stopHost(), 0);
    const std::string logged = readAll(errors);
    EXPECT_THAT(logged, ::testing::HasSubstr("[app.nimbuscrate.fileprovider:host] Mounted nimbuscrate at "));
    EXPECT_THAT(logged, ::testing::HasSubstr("[app.nimbuscrate.fileprovider:host] Unmounted nimbuscrate"));

    // Started by the service manager with its output to the journal, the
    // lines reach the journal through syslog only.
    const auto journal = root_ / "journal";
    std::ofstream(journal).flush();
    struct stat stream{};
    ASSERT_EQ(::stat(journal.c_str(), &stream), 0);
    environment_.push_back("JOURNAL_STREAM=" + std::to_string(stream.st_dev) + ":" + std::to_string(stream.st_ino));
    ASSERT_NO_FATAL_FAILURE(startHost(journal));
    EXPECT_EQ(fpctl("remove nimbuscrate"), 0) << output_;
    EXPECT_EQ(stopHost(), 0);
    EXPECT_EQ(readAll(journal), "");
    // Another stream named there is not standard error: the lines are written.
    ASSERT_NO_FATAL_FAILURE(startHost(errors));
    EXPECT_EQ(fpctl("add nimbuscrate Nimbuscrate"), 0) << output_;
    EXPECT_EQ(stopHost(), 0);
    EXPECT_GT(readAll(errors).size(), logged.size());
}

TEST_F(FileProviderHostProgram, TheChannelRefusesAnotherUser) {
    ASSERT_NO_FATAL_FAILURE(startHost());
    // Open the folder and the socket to everyone, so that only the peer check stands.
    ::chmod(socket().parent_path().parent_path().c_str(), 0755);
    ::chmod(socket().parent_path().c_str(), 0755);
    ::chmod(socket().c_str(), 0666);
    pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
        int descriptor = connectTo(socket());
        if (descriptor < 0) ::_exit(2);
        const char request[] = "{\"id\": 1, \"op\": \"getDomains\"}\n";
        (void)!::send(descriptor, request, sizeof(request) - 1, MSG_NOSIGNAL);
        char reply[64];
        ssize_t n = ::recv(descriptor, reply, sizeof(reply), 0);
        ::_exit(n <= 0 ? 0 : 1);  // 0: hung up without answering
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The owner is still served.
    EXPECT_EQ(fpctl("domains"), 0);
    EXPECT_EQ(stopHost(), 0);
}

}  // namespace
}  // namespace nimbuscrate::fp::host
