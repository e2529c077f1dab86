// These tests mount a real FUSE folder: they need /dev/fuse and the right
// to mount (root in CI), and are skipped without them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "platform/fileprovider/host/ControlProtocol.h"
#include "platform/fileprovider/host/HostDaemon.h"
#include "platform/fileprovider/testing/InMemoryExtension.h"
#include "platform/log/LogCapture.h"
#include "platform/tasks/Clock.h"
#include "tests/support/MountTestSupport.h"
#include "tests/support/Eventually.h"

namespace nimbuscrate::fp::host {
namespace {

using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;
using testing::InMemoryExtension;

const Date kSeedTime = Date::fromUnixSeconds(1'700'000'123);

using nimbuscrate::testing::canMount;
using nimbuscrate::testing::freshMountRoot;
using nimbuscrate::testing::eventually;
using nimbuscrate::testing::isMounted;
using nimbuscrate::testing::readAll;
using nimbuscrate::testing::runFpctl;


std::set<std::string> listing(const std::filesystem::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.insert(entry.path().filename().string());
    return names;
}

class FileProviderHostMount : public ::testing::Test {
protected:
    void SetUp() override {
        if (!canMount()) GTEST_SKIP() << "needs root and /dev/fuse to mount";
        root_ = freshMountRoot(std::filesystem::temp_directory_path(), "fp-mount");
        startDaemon();
    }

    void TearDown() override {
        if (daemon_) daemon_->stop();
        daemon_.reset();
        if (!root_.empty()) std::filesystem::remove_all(root_);
    }

    void startDaemon(std::size_t threads = 8) {
        HostDaemon::Options options;
        options.threads = threads;
        options.home = root_ / "home";
        options.runtimeDirectory = root_ / "run";
        options.dataDirectory = root_ / "data";
        options.clock = &clock_;
        options.staleAfterSeconds = 30;
        options.beforeOperation = [this](std::string_view operation) {
            std::lock_guard lock(failingMutex_);
            if (operation != failingOperation_) return;
            if (failWithUnknown_) throw 42;
            throw std::filesystem::filesystem_error("injected", std::make_error_code(std::errc::io_error));
        };
        options.whileRecording = [this](std::string_view step, Inode inode) {
            std::shared_ptr<testing::Gate> gate;
            {
                std::lock_guard lock(heldMutex_);
                if (step == heldStep_ && inode == heldInode_) gate = heldGate_;
            }
            if (gate) gate->pass();
        };
        options.factory = [this](ExtensionEnvironment environment) -> ExtensionPtr {
            auto identifier = environment.domain.identifier;
            auto scratch = environment.temporaryDirectory;
            auto tree = std::make_shared<InMemoryExtension>(std::move(environment), scratch);
            auto docs = tree->addFolder(kRootContainer, "Docs", kSeedTime);
            tree->addFile(kRootContainer, "hello.txt", "Hello, drive!\n", kSeedTime);
            tree->addFile(kRootContainer, "photo.jpg", std::string(100'000, '\xff'), kSeedTime);
            tree->addFile(docs, "inner.txt", std::string("bin\0ary", 7), kSeedTime);
            std::lock_guard lock(treesMutex_);
            trees_[identifier] = tree;
            return tree;
        };
        daemon_ = std::make_unique<HostDaemon>(options);
        daemon_->start();
    }

    // Runs the command-line client; returns its exit status and output.
    std::pair<int, std::string> fpctl(const std::string& arguments) { return runFpctl(daemon_->socketPath(), arguments); }

    std::shared_ptr<InMemoryExtension> tree(const std::string& identifier) {
        std::lock_guard lock(treesMutex_);
        return trees_.at(identifier);
    }

    ItemId idOf(const std::string& identifier, const ItemId& parent, const std::string& name) {
        // Found through the mount's replica, which knows the names.
        auto* mount = daemon_->mountFor(identifier);
        auto parentInode = parent == kRootContainer ? kRootInode : *mount->replica().inodeOf(parent);
        auto node = mount->replica().child(parentInode, name);
        return node ? node->identifier : ItemId();
    }

    std::filesystem::path home() const { return root_ / "home"; }

    std::filesystem::path root_;
    ManualClock clock_;
    std::unique_ptr<HostDaemon> daemon_;
    std::mutex treesMutex_;
    std::map<std::string, std::shared_ptr<InMemoryExtension>> trees_;
    // The file-system call that throws (none when empty), and whether it
    // throws something that is no standard exception.
    std::mutex failingMutex_;
    std::string failingOperation_;
    bool failWithUnknown_ = false;
    // Holds the host where it records `step` for `inode` (see
    // DomainMount::Options::whileRecording) until the gate opens.
    std::mutex heldMutex_;
    std::string heldStep_;
    Inode heldInode_ = 0;
    std::shared_ptr<testing::Gate> heldGate_;
    std::shared_ptr<testing::Gate> holdRecording(std::string step, Inode inode) {
        std::lock_guard lock(heldMutex_);
        heldStep_ = std::move(step);
        heldInode_ = inode;
        heldGate_ = std::make_shared<testing::Gate>();
        return heldGate_;
    }
    void failIn(std::string operation, bool unknown = false) {
        std::lock_guard lock(failingMutex_);
        failingOperation_ = std::move(operation);
        failWithUnknown_ = unknown;
    }
};

TEST_F(FileProviderHostMount, AddListReadChangeAndRemoveThroughTheClient) {
    auto [status, output] = fpctl("add nimbuscrate Nimbuscrate");
    ASSERT_EQ(status, 0) << output;
    auto mountpoint = home() / "Nimbuscrate";
    ASSERT_TRUE(isMounted(mountpoint));
    struct stat folder{};
    ASSERT_EQ(::stat(mountpoint.c_str(), &folder), 0);
    // The root takes new items: it is writable for its owner.
    EXPECT_EQ(folder.st_mode & 0777, 0700u);

    // Names, sizes and times of the extension's tree.
    EXPECT_THAT(listing(mountpoint), UnorderedElementsAre("Docs", "hello.txt", "photo.jpg"));
    EXPECT_THAT(listing(mountpoint / "Docs"), ElementsAre("inner.txt"));
    struct Expected {
        std::string path;
        bool folder;
        off_t size;
    };
    for (const auto& row : std::vector<Expected>{{"hello.txt", false, 14}, {"photo.jpg", false, 100'000},
                                                 {"Docs", true, 0}, {"Docs/inner.txt", false, 7}}) {
        SCOPED_TRACE(row.path);
        struct stat attributes{};
        ASSERT_EQ(::stat((mountpoint / row.path).c_str(), &attributes), 0);
        EXPECT_EQ(S_ISDIR(attributes.st_mode), row.folder);
        if (!row.folder) {
            EXPECT_EQ(attributes.st_size, row.size);
        }
        EXPECT_EQ(attributes.st_mtim.tv_sec, static_cast<time_t>(kSeedTime.unixSeconds()));
    }

    // Exact bytes; the second read is served from the cache.
    auto extension = tree("nimbuscrate");
    auto hello = idOf("nimbuscrate", kRootContainer, "hello.txt");
    EXPECT_EQ(readAll(mountpoint / "hello.txt"), "Hello, drive!\n");
    EXPECT_EQ(readAll(mountpoint / "hello.txt"), "Hello, drive!\n");
    EXPECT_EQ(extension->fetches(hello), 1u);
    EXPECT_EQ(readAll(mountpoint / "Docs/inner.txt"), std::string("bin\0ary", 7));
    EXPECT_EQ(readAll(mountpoint / "photo.jpg"), std::string(100'000, '\xff'));
    // Each download came in a folder of its own, which went with the file.
    EXPECT_TRUE(std::filesystem::is_empty(root_ / "data" / "domains" / "nimbuscrate" / "downloads"));

    // A change on the server shows after a signal; a rename keeps the inode.
    auto photo = idOf("nimbuscrate", kRootContainer, "photo.jpg");
    struct stat before{};
    ASSERT_EQ(::stat((mountpoint / "photo.jpg").c_str(), &before), 0);
    extension->setContents(hello, "Changed on the server.\n");
    extension->rename(photo, "picture.jpg");
    extension->addFile(kRootContainer, "new.txt", "new", kSeedTime);
    std::tie(status, output) = fpctl("signal nimbuscrate");
    ASSERT_EQ(status, 0) << output;
    EXPECT_THAT(listing(mountpoint), UnorderedElementsAre("Docs", "hello.txt", "picture.jpg", "new.txt"));
    EXPECT_EQ(readAll(mountpoint / "hello.txt"), "Changed on the server.\n");
    EXPECT_EQ(extension->fetches(hello), 2u);
    struct stat after{};
    ASSERT_EQ(::stat((mountpoint / "picture.jpg").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(readAll(mountpoint / "new.txt"), "new");

    std::tie(status, output) = fpctl("path nimbuscrate");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(output, mountpoint.string() + "\n");
    std::tie(status, output) = fpctl("domains");
    EXPECT_EQ(output, "nimbuscrate\tNimbuscrate\n");

    std::tie(status, output) = fpctl("remove nimbuscrate");
    ASSERT_EQ(status, 0) << output;
    EXPECT_FALSE(isMounted(mountpoint));
    EXPECT_FALSE(std::filesystem::exists(mountpoint));
    std::tie(status, output) = fpctl("domains");
    EXPECT_EQ(output, "");
}

TEST_F(FileProviderHostMount, ConcurrentOpensShareOneDownload) {
    ASSERT_EQ(fpctl("add nimbuscrate Nimbuscrate").first, 0);
    auto mountpoint = home() / "Nimbuscrate";
    ASSERT_THAT(listing(mountpoint), UnorderedElementsAre("Docs", "hello.txt", "photo.jpg"));
    auto extension = tree("nimbuscrate");
    auto gate = std::make_shared<testing::Gate>();
    extension->holdAt("fetchContents", gate);

    std::string first, second;
    std::thread reader1([&] { first = readAll(mountpoint / "photo.jpg"); });
    ASSERT_TRUE(gate->waitForArrivals(1));
    std::thread reader2([&] { second = readAll(mountpoint / "photo.jpg"); });
    auto* mount = daemon_->mountFor("nimbuscrate");
    // The second open waits for the first one's download.
    const bool shared = eventually([&] { return mount->sharedDownloads() >= 1; });
    gate->open();
    reader1.join();
    reader2.join();
    EXPECT_TRUE(shared);
    EXPECT_EQ(first, std::string(100'000, '\xff'));
    EXPECT_EQ(second, first);
    EXPECT_EQ(extension->calls("fetchContents"), 1u);
}

TEST_F(FileProviderHostMount, ExtensionErrorsBecomeErrnoValues) {
    ASSERT_EQ(fpctl("add nimbuscrate Nimbuscrate").first, 0);
    auto path = home() / "Nimbuscrate" / "hello.txt";
    ASSERT_TRUE(std::filesystem::exists(path));
    auto extension = tree("nimbuscrate");
    struct Case {
        Error error;
        int expected;
    };
    for (const auto& row : std::vector<Case>{
             {Error::fileProvider(FileProviderErrorCode::noSuchItem), ENOENT},
             {Error::fileProvider(FileProviderErrorCode::notAuthenticated), EACCES},
             {Error::userCancelled(), EINTR},
             {Error::fileProvider(FileProviderErrorCode::serverUnreachable, "offline"), EIO},
             {Error{kCocoaErrorDomain, CocoaErrorCode::connectionReplyInvalid, std::nullopt}, EIO},
         }) {
        SCOPED_TRACE(row.error.code);
        // An item the extension does not know or cannot give is looked for
        // once more (after its folder is listed again) before the open fails.
        const bool again = row.error.is(kFileProviderErrorDomain, FileProviderErrorCode::noSuchItem) ||
                           row.error.is(kCocoaErrorDomain, CocoaErrorCode::connectionReplyInvalid);
        extension->failNext("fetchContents", row.error, again ? 2 : 1);
        int descriptor = ::open(path.c_str(), O_RDONLY);
        int error = errno;
        EXPECT_EQ(descriptor, -1);
        EXPECT_EQ(error, row.expected);
        if (descriptor >= 0) ::close(descriptor);
    }
    // Nothing was cached by the failures; the next open downloads.
    EXPECT_EQ(readAll(path), "Hello, drive!\n");
    // An open for writing that writes nothing changes nothing.
    int writer = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(writer, 0) << std::strerror(errno);
    ::close(writer);
    EXPECT_EQ(readAll(path), "Hello, drive!\n");
}

// A call that throws is answered EIO and logged; the same call works again
// once it stops throwing, and the rest of the mount never stopped.
TEST_F(FileProviderHostMount, ACallThatThrowsAnswersEIOAndTheMountGoesOn) {
    LogCapture logs;
    ASSERT_EQ(fpctl("add nimbuscrate Nimbuscrate").first, 0);
    auto mountpoint = home() / "Nimbuscrate";
    // The errno of an action (0 when it worked).
    auto statOf = [&](const std::string& name) {
        struct stat attributes{};
        return ::stat((mountpoint / name).c_str(), &attributes) == 0 ? 0 : errno;
    };
    auto openOf = [&](const std::string& name, int flags) {
        int descriptor = ::open((mountpoint / name).c_str(), flags | O_CLOEXEC, 0600);
        if (descriptor < 0) return errno;
        ::close(descriptor);
        return 0;
    };
    int readable = -1;  // opened by the "read" case before its call throws
    struct Case {
        std::string operation;
        bool unknown;
        std::function<int()> action;
    };
    const std::vector<Case> cases = {
        {"lookup", false, [&] { return statOf("hello.txt"); }},
        {"lookup", true, [&] { return statOf("photo.jpg"); }},
        {"opendir", false, [&] { return listing(mountpoint / "Docs").empty() ? ENOENT : 0; }},
        {"open", false, [&] { return openOf("hello.txt", O_RDONLY); }},
        {"read", false, [&] {
             char buffer[64];
             ssize_t got = ::pread(readable, buffer, sizeof buffer, 0);
             return got < 0 ? errno : 0;
         }},
        {"create", false, [&] { return openOf("made.txt", O_WRONLY | O_CREAT | O_EXCL); }},
        {"mkdir", true, [&] { return ::mkdir((mountpoint / "Made").c_str(), 0700) == 0 ? 0 : errno; }},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.operation + (row.unknown ? " (unknown error)" : ""));
        if (row.operation == "read") {
            readable = ::open((mountpoint / "photo.jpg").c_str(), O_RDONLY | O_CLOEXEC);
            ASSERT_GE(readable, 0);
        }
        failIn(row.operation, row.unknown);
        int failed = 0;
        try {
            failed = row.action();
        } catch (const std::filesystem::filesystem_error& error) {
            failed = error.code().value();
        }
        failIn("");
        EXPECT_EQ(failed, EIO);
        EXPECT_EQ(row.action(), 0);
        if (readable >= 0) {
            ::close(readable);
            readable = -1;
        }
    }
    EXPECT_TRUE(isMounted(mountpoint));
    EXPECT_EQ(readAll(mountpoint / "hello.txt"), "Hello, drive!\n");
    EXPECT_TRUE(logs.contains("The file-system call lookup failed: filesystem error: injected"));
    EXPECT_TRUE(logs.contains("The file-system call mkdir failed with an unknown error"));
}

// A waiter still waiting when the domain stops is answered on a pool the
// host owns and waits for: the daemon is not gone before the answer has run.
TEST_F(FileProviderHostMount, AWaiterAnsweredAtTheStopIsAnsweredBeforeTheDaemonIsGone) {
    ASSERT_EQ(fpctl("add nimbuscrate Nimbuscrate").first, 0);
    auto mountpoint = home() / "Nimbuscrate";
    auto gate = std::make_shared<testing::Gate>();
    tree("nimbuscrate")->holdAt("create", gate);
    {
        std::ofstream(mountpoint / "held.txt") << "held";
    }
    ASSERT_TRUE(gate->waitForArrivals(1));

    std::promise<void> release;
    auto released = release.get_future().share();
    std::atomic<bool> answered{false};
    std::atomic<bool> finished{false};
    std::optional<Error> answer;
    daemon_->mountFor("nimbuscrate")->waitForChanges(kRootContainer, [&, released](std::optional<Error> error) {
        answer = error;
        answered = true;
        released.wait();
        finished = true;
    });
    auto stopped = std::async(std::launch::async, [this] {
        daemon_->stop();
        daemon_.reset();
    });
    ASSERT_TRUE(eventually([&] { return answered.load(); }));
    // The answer still runs: the stop waits for it.
    EXPECT_EQ(stopped.wait_for(std::chrono::milliseconds(500)), std::future_status::timeout);
    release.set_value();
    ASSERT_EQ(stopped.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_TRUE(finished);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->code, Error::connectionInterrupted().code);
}

TEST_F(FileProviderHostMount, ARestartedHostMountsTheRegisteredDomainsAgain) {
    ASSERT_EQ(fpctl("add nimbuscrate Nimbuscrate").first, 0);
    ASSERT_EQ(fpctl("add second Second").first, 0);
    daemon_->stop();
    EXPECT_FALSE(isMounted(home() / "Nimbuscrate"));
    EXPECT_FALSE(isMounted(home() / "Second"));

    startDaemon();
    EXPECT_TRUE(isMounted(home() / "Nimbuscrate"));
    EXPECT_TRUE(isMounted(home() / "Second"));
    EXPECT_THAT(listing(home() / "Second"), UnorderedElementsAre("Docs", "hello.txt", "photo.jpg"));
    EXPECT_EQ(readAll(home() / "Nimbuscrate" / "hello.txt"), "Hello, drive!\n");
    auto [status, output] = fpctl("domains");
    EXPECT_EQ(output, "nimbuscrate\tNimbuscrate\nsecond\tSecond\n");

    // What was listed and downloaded before the restart is still known: the
    // cached copy is served without asking the (new) extension again.
    auto photo = home() / "Second" / "photo.jpg";
    EXPECT_EQ(readAll(photo).size(), 100'000u);
    daemon_->stop();
    startDaemon();
    EXPECT_EQ(readAll(photo).size(), 100'000u);
    EXPECT_EQ(tree("second")->calls("fetchContents"), 0u);
    EXPECT_EQ(tree("second")->calls("enumerateItems"), 0u);
    std::tie(status, output) = fpctl("domains");
    EXPECT_EQ(output, "nimbuscrate\tNimbuscrate\nsecond\tSecond\n");
}

TEST_F(FileProviderHostMount, ANonEmptyForeignFolderIsRefusedAndLeftAlone) {
    auto busy = home() / "Busy";
    std::filesystem::create_directories(busy);
    std::ofstream(busy / "mine.txt") << "keep me";
    auto [status, output] = fpctl("add busy Busy");
    EXPECT_NE(status, 0);
    EXPECT_THAT(output, ::testing::HasSubstr("not empty"));
    EXPECT_FALSE(isMounted(busy));
    EXPECT_EQ(readAll(busy / "mine.txt"), "keep me");
    EXPECT_EQ(fpctl("domains").second, "");
    // Two domains cannot share a display name either.
    ASSERT_EQ(fpctl("add one Shared").first, 0);
    EXPECT_NE(fpctl("add two Shared").first, 0);
}


TEST_F(FileProviderHostMount, SignalsDuringAChangeEnumerationAreAnsweredByOneMore) {
    ASSERT_EQ(fpctl("add nimbuscrate Nimbuscrate").first, 0);
    ASSERT_THAT(listing(home() / "Nimbuscrate"), UnorderedElementsAre("Docs", "hello.txt", "photo.jpg"));
    auto extension = tree("nimbuscrate");
    auto* mount = daemon_->mountFor("nimbuscrate");
    auto gate = std::make_shared<testing::Gate>();
    extension->holdAt("enumerateChanges", gate);

    std::mutex mutex;
    std::condition_variable answered;
    std::vector<std::optional<Error>> results;
    auto done = [&](std::optional<Error> error) {
        std::lock_guard lock(mutex);
        results.push_back(error);
        answered.notify_all();
    };
    mount->signal(kRootContainer, done);
    ASSERT_TRUE(gate->waitForArrivals(1));
    extension->addFile(kRootContainer, "late.txt", "late", kSeedTime);
    for (int i = 0; i < 5; ++i) mount->signal(kRootContainer, done);
    gate->open();
    {
        std::unique_lock lock(mutex);
        answered.wait(lock, [&] { return results.size() == 6; });
    }
    for (const auto& result : results) EXPECT_FALSE(result.has_value());
    // The running enumeration, then one more for the five that came during it.
    EXPECT_EQ(extension->calls("enumerateChanges"), 2u);
    EXPECT_EQ(mount->changeEnumerations(), 2u);
    EXPECT_TRUE(listing(home() / "Nimbuscrate").count("late.txt"));
}

TEST_F(FileProviderHostMount, AFailedRefreshIsLoggedAndTheNextOneStillRuns) {
    ASSERT_EQ(fpctl("add nimbuscrate Nimbuscrate").first, 0);
    ASSERT_THAT(listing(home() / "Nimbuscrate"), UnorderedElementsAre("Docs", "hello.txt", "photo.jpg"));
    auto extension = tree("nimbuscrate");
    auto* mount = daemon_->mountFor("nimbuscrate");
    LogCapture logs;
    extension->failNext("enumerateChanges", Error::fileProvider(FileProviderErrorCode::serverUnreachable));
    std::promise<std::optional<Error>> failed;
    mount->signal(kRootContainer, [&](std::optional<Error> error) { failed.set_value(error); });
    auto error = failed.get_future().get();
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(logs.matching("host", "Refreshing " + std::string(kRootContainer) + " failed").size(), 1u);

    // The folder is not given up on: the next signal brings the server's change.
    extension->addFile(kRootContainer, "later.txt", "later", kSeedTime);
    std::promise<std::optional<Error>> refreshed;
    mount->signal(kRootContainer, [&](std::optional<Error> error) { refreshed.set_value(error); });
    EXPECT_FALSE(refreshed.get_future().get().has_value());
    EXPECT_TRUE(listing(home() / "Nimbuscrate").count("later.txt"));
}

TEST_F(FileProviderHostMount, AStaleFolderIsRefreshedInTheBackground) {
    ASSERT_EQ(fpctl("add nimbuscrate Nimbuscrate").first, 0);
    auto mountpoint = home() / "Nimbuscrate";
    ASSERT_THAT(listing(mountpoint), UnorderedElementsAre("Docs", "hello.txt", "photo.jpg"));
    auto extension = tree("nimbuscrate");
    extension->addFile(kRootContainer, "fresh.txt", "fresh", kSeedTime);
    // Not stale yet: what was listed is served, and nothing is asked.
    EXPECT_FALSE(listing(mountpoint).count("fresh.txt"));
    EXPECT_EQ(extension->calls("enumerateChanges"), 0u);

    clock_.advance(std::chrono::seconds(31));
    listing(mountpoint);  // served from the replica, refresh started
    auto* mount = daemon_->mountFor("nimbuscrate");
    ASSERT_TRUE(eventually([&] { return mount->changeEnumerations() >= 1; }));
    // The refresh lands; the folder shows the new file without any signal.
    EXPECT_TRUE(eventually([&] { return listing(mountpoint).count("fresh.txt") > 0; }));
}

// A folder made here waits for its create: there is nothing on the server
// to list yet, so neither its age nor a signal asks the extension about it.
TEST_F(FileProviderHostMount, AFolderNotOnTheServerYetIsNeverListed) {
    ASSERT_EQ(fpctl("add nimbuscrate Nimbuscrate").first, 0);
    auto mountpoint = home() / "Nimbuscrate";
    ASSERT_THAT(listing(mountpoint), UnorderedElementsAre("Docs", "hello.txt", "photo.jpg"));
    auto extension = tree("nimbuscrate");
    auto gate = std::make_shared<testing::Gate>();
    extension->holdAt("create", gate);
    ASSERT_EQ(::mkdir((mountpoint / "New").c_str(), 0700), 0);
    auto* mount = daemon_->mountFor("nimbuscrate");
    const auto folder = mount->replica().child(kRootInode, "New");
    ASSERT_TRUE(folder);
    LogCapture logs;
    clock_.advance(std::chrono::seconds(31));
    struct stat missing{};
    EXPECT_EQ(::stat((mountpoint / "New" / "absent.txt").c_str(), &missing), -1);
    EXPECT_TRUE(listing(mountpoint / "New").empty());
    std::promise<std::optional<Error>> signalled;
    mount->signal(folder->identifier, [&](std::optional<Error> error) { signalled.set_value(error); });
    EXPECT_FALSE(signalled.get_future().get().has_value());
    // The stale look-ups before the signal asked nothing of the extension either.
    EXPECT_TRUE(logs.matching("host", "Refreshing " + folder->identifier).empty());
    gate->open();
    ASSERT_TRUE(eventually([&] { return mount->pendingOperations() == 0; }));
}

TEST_F(FileProviderHostMount, ServerDeletionsAndMovesShowAfterASignal) {
    ASSERT_EQ(fpctl("add nimbuscrate Nimbuscrate").first, 0);
    auto mountpoint = home() / "Nimbuscrate";
    ASSERT_THAT(listing(mountpoint), UnorderedElementsAre("Docs", "hello.txt", "photo.jpg"));
    ASSERT_THAT(listing(mountpoint / "Docs"), ElementsAre("inner.txt"));
    ASSERT_EQ(readAll(mountpoint / "photo.jpg").size(), 100'000u);
    auto extension = tree("nimbuscrate");
    auto hello = idOf("nimbuscrate", kRootContainer, "hello.txt");
    auto photo = idOf("nimbuscrate", kRootContainer, "photo.jpg");
    auto docs = idOf("nimbuscrate", kRootContainer, "Docs");
    struct stat before{};
    ASSERT_EQ(::stat((mountpoint / "hello.txt").c_str(), &before), 0);
    extension->removeItem(photo);
    extension->move(hello, docs);
    // The root's changes carry the move (gone from here), the folder's its arrival.
    ASSERT_EQ(fpctl("signal nimbuscrate working-set").first, 0);
    EXPECT_THAT(listing(mountpoint), UnorderedElementsAre("Docs"));
    EXPECT_THAT(listing(mountpoint / "Docs"), UnorderedElementsAre("inner.txt", "hello.txt"));
    EXPECT_FALSE(std::filesystem::exists(mountpoint / "photo.jpg"));
    struct stat after{};
    ASSERT_EQ(::stat((mountpoint / "Docs" / "hello.txt").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    // The deleted file's cached copy is gone from the cache too.
    auto cache = root_ / "data" / "domains" / "nimbuscrate" / "cache";
    std::size_t cached = 0;
    for (const auto& entry : std::filesystem::directory_iterator(cache)) cached += entry.is_regular_file();
    EXPECT_EQ(cached, 0u);
}


TEST_F(FileProviderHostMount, SignalsNeverTakeTheThreadsTheExtensionAnswersOn) {
    // One thread for the extension's tasks: a signal waiting on that thread
    // for the extension's answer would wait forever.
    daemon_->stop();
    startDaemon(1);
    ASSERT_EQ(fpctl("add nimbuscrate Nimbuscrate").first, 0);
    auto mountpoint = home() / "Nimbuscrate";
    ASSERT_THAT(listing(mountpoint), UnorderedElementsAre("Docs", "hello.txt", "photo.jpg"));
    ASSERT_THAT(listing(mountpoint / "Docs"), ElementsAre("inner.txt"));
    tree("nimbuscrate")->addFile(kRootContainer, "more.txt", "more", kSeedTime);
    EXPECT_EQ(fpctl("signal nimbuscrate working-set").first, 0);
    EXPECT_EQ(fpctl("signal nimbuscrate root").first, 0);
    EXPECT_TRUE(listing(mountpoint).count("more.txt"));
}


TEST_F(FileProviderHostMount, AFileChangedBeforeItsFirstOpenIsReadWhole) {
    ASSERT_EQ(fpctl("add nimbuscrate Nimbuscrate").first, 0);
    auto path = home() / "Nimbuscrate" / "hello.txt";
    ASSERT_EQ(std::filesystem::file_size(path), 14u);
    // Changed on the server after the listing, and nobody signalled.
    std::string longer(5000, 'z');
    tree("nimbuscrate")->setContents(idOf("nimbuscrate", kRootContainer, "hello.txt"), longer);
    EXPECT_EQ(readAll(path), longer);
    EXPECT_EQ(std::filesystem::file_size(path), longer.size());
    EXPECT_EQ(readAll(path), longer);
    EXPECT_EQ(tree("nimbuscrate")->calls("fetchContents"), 1u);
}


TEST_F(FileProviderHostMount, ReadsListingsAndSignalsTogetherStayConsistent) {
    ASSERT_EQ(fpctl("add nimbuscrate Nimbuscrate").first, 0);
    auto mountpoint = home() / "Nimbuscrate";
    ASSERT_THAT(listing(mountpoint), UnorderedElementsAre("Docs", "hello.txt", "photo.jpg"));
    auto extension = tree("nimbuscrate");
    auto hello = idOf("nimbuscrate", kRootContainer, "hello.txt");
    auto* mount = daemon_->mountFor("nimbuscrate");
    // Two versions of one size, so that every whole read is one or the other.
    const std::string first(4096, 'a'), second(4096, 'b');
    extension->setContents(hello, first);
    ASSERT_EQ(fpctl("signal nimbuscrate").first, 0);
    std::atomic<bool> stop{false};
    std::atomic<int> badReads{0}, reads{0};
    std::mutex badMutex;
    std::string badSample;
    std::vector<std::thread> readers;
    for (int t = 0; t < 6; ++t) {
        readers.emplace_back([&] {
            while (!stop) {
                std::string text;
                {
                    int fd = ::open((mountpoint / "hello.txt").c_str(), O_RDONLY);
                    if (fd < 0) {
                        text = "open errno " + std::to_string(errno);
                    } else {
                        char buf[8192];
                        ssize_t n;
                        while ((n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, n);
                        if (n < 0) text += " read errno " + std::to_string(errno);
                        ::close(fd);
                    }
                }
                if (text != first && text != second) {
                    ++badReads;
                    std::lock_guard lock(badMutex);
                    if (badSample.empty()) badSample = std::to_string(text.size()) + ":" + text.substr(0, 20) + "..." + (text.size() > 20 ? text.substr(text.size() - 20) : "");
                }
                if (readAll(mountpoint / "photo.jpg").size() != 100'000u) ++badReads;
                listing(mountpoint / "Docs");
                ++reads;
            }
        });
    }
    for (int round = 0; round < 20; ++round) {
        extension->setContents(hello, round % 2 ? first : second);
        std::promise<void> applied;
        mount->signal(kRootContainer, [&](std::optional<Error>) { applied.set_value(); });
        applied.get_future().wait();
    }
    EXPECT_TRUE(eventually([&] { return reads >= 50; }));
    stop = true;
    for (auto& reader : readers) reader.join();
    EXPECT_EQ(badReads, 0) << badSample;
    EXPECT_EQ(readAll(mountpoint / "hello.txt"), first);  // the last version, once things settle
}

// The host records a download in its replica, and tells the kernel about a
// change, outside every lock the file-system calls take: while either is
// held up, other files are looked up, listed, opened and read.
TEST_F(FileProviderHostMount, CallsAreAnsweredWhileADownloadIsRecorded) {
    ASSERT_EQ(fpctl("add nimbuscrate Nimbuscrate").first, 0);
    auto mountpoint = home() / "Nimbuscrate";
    ASSERT_THAT(listing(mountpoint), UnorderedElementsAre("Docs", "hello.txt", "photo.jpg"));
    auto* mount = daemon_->mountFor("nimbuscrate");
    auto photo = mount->replica().child(kRootInode, "photo.jpg");
    ASSERT_TRUE(photo);
    auto gate = holdRecording("download", photo->inode);
    struct Open {
        std::shared_ptr<testing::Gate> gate;
        ~Open() { gate->open(); }
    } opener{gate};

    std::string photoBytes;
    std::thread reader([&] { photoBytes = readAll(mountpoint / "photo.jpg"); });
    ASSERT_TRUE(gate->waitForArrivals(1, std::chrono::seconds(60)));
    auto others = std::async(std::launch::async, [&] {
        struct stat attributes{};
        return ::stat((mountpoint / "hello.txt").c_str(), &attributes) == 0 &&
               listing(mountpoint / "Docs") == std::set<std::string>{"inner.txt"} &&
               readAll(mountpoint / "hello.txt") == "Hello, drive!\n" &&
               readAll(mountpoint / "Docs" / "inner.txt") == std::string("bin\0ary", 7);
    });
    // A bound only for when they wait behind the record: it never passes then.
    const bool answered = others.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    EXPECT_EQ(gate->waiting(), 1u);  // the record was still held
    gate->open();
    reader.join();
    EXPECT_TRUE(answered);
    EXPECT_TRUE(others.get());
    EXPECT_EQ(photoBytes, std::string(100'000, '\xff'));
}

TEST_F(FileProviderHostMount, CallsAreAnsweredWhileTheKernelIsToldOfAChange) {
    ASSERT_EQ(fpctl("add nimbuscrate Nimbuscrate").first, 0);
    auto mountpoint = home() / "Nimbuscrate";
    ASSERT_THAT(listing(mountpoint), UnorderedElementsAre("Docs", "hello.txt", "photo.jpg"));
    auto* mount = daemon_->mountFor("nimbuscrate");
    int first = ::open((mountpoint / "first.txt").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_GE(first, 0) << std::strerror(errno);
    auto made = mount->replica().child(kRootInode, "first.txt");
    ASSERT_TRUE(made);
    // A written file's fsync tells the kernel to forget its attributes.
    auto gate = holdRecording("notify", made->inode);
    struct Open {
        std::shared_ptr<testing::Gate> gate;
        ~Open() { gate->open(); }
    } opener{gate};
    ASSERT_EQ(::write(first, "one", 3), 3);
    std::thread syncer([&] { ::fsync(first); });
    ASSERT_TRUE(gate->waitForArrivals(1, std::chrono::seconds(60)));

    auto others = std::async(std::launch::async, [&] {
        // Another file's change is told to the kernel meanwhile, and other
        // files are looked up, listed and read.
        int second = ::open((mountpoint / "second.txt").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (second < 0) return false;
        const bool written = ::write(second, "two", 3) == 3 && ::fsync(second) == 0;
        ::close(second);
        struct stat attributes{};
        return written && ::stat((mountpoint / "hello.txt").c_str(), &attributes) == 0 &&
               listing(mountpoint / "Docs") == std::set<std::string>{"inner.txt"} &&
               readAll(mountpoint / "hello.txt") == "Hello, drive!\n" && readAll(mountpoint / "second.txt") == "two";
    });
    // A bound only for when they wait behind the notice: it never passes then.
    const bool answered = others.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    EXPECT_EQ(gate->waiting(), 1u);  // the notice was still held
    gate->open();
    syncer.join();
    ::close(first);
    EXPECT_TRUE(answered);
    EXPECT_TRUE(others.get());
    EXPECT_EQ(readAll(mountpoint / "first.txt"), "one");
    EXPECT_TRUE(eventually([&] { return mount->pendingOperations() == 0; }));
}

}  // namespace
}  // namespace nimbuscrate::fp::host
