// Changes made in a mounted folder, against the in-memory extension: the
// queue of each item, what its answers do to the node, and failures that
// keep the data. Real mounts: they need root and /dev/fuse, else skipped.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <iterator>
#include <set>
#include <thread>

#include "platform/fileprovider/host/HostDaemon.h"
#include "platform/fileprovider/testing/InMemoryExtension.h"
#include "platform/tasks/Clock.h"
#include "tests/support/MountTestSupport.h"
#include "tests/support/Eventually.h"

namespace nimbuscrate::fp::host {
namespace {

using testing::InMemoryExtension;

using nimbuscrate::testing::canMount;
using nimbuscrate::testing::freshMountRoot;
using nimbuscrate::testing::isMounted;
using nimbuscrate::testing::readAll;

void writeAll(const std::filesystem::path& path, const std::string& contents, std::ios::openmode mode = std::ios::trunc) {
    std::ofstream(path, std::ios::binary | mode) << contents;
}

using nimbuscrate::testing::eventually;

class FileProviderHostWrites : public ::testing::Test {
protected:
    void SetUp() override {
        if (!canMount()) GTEST_SKIP() << "needs root and /dev/fuse to mount";
        root_ = freshMountRoot("/tmp", "fpw");
        startDaemon();
        std::promise<nlohmann::json> added;
        daemon_->handle({{"id", 1}, {"op", "addDomain"}, {"domain", {{"identifier", "d"}, {"displayName", "Drive"}}}},
                        [&](nlohmann::json reply) { added.set_value(reply); });
        ASSERT_TRUE(added.get_future().get().value("ok", false));
        mount_ = daemon_->mountFor("d");
    }

    // Each start makes a new extension whose tree holds "server.txt" (under
    // the same identifier every time), then lets `prepare_` change it.
    void startDaemon() {
        HostDaemon::Options options;
        options.home = root_ / "home";
        options.runtimeDirectory = root_ / "run";
        options.dataDirectory = root_ / "data";
        options.clock = &clock_;
        options.factory = [this](ExtensionEnvironment environment) -> ExtensionPtr {
            auto scratch = environment.temporaryDirectory;
            auto tree = std::make_shared<InMemoryExtension>(std::move(environment), scratch);
            tree->addFile(kRootContainer, "server.txt", "on the server");
            if (prepare_) prepare_(*tree);
            tree_ = tree;
            return tree;
        };
        daemon_ = std::make_unique<HostDaemon>(options);
        daemon_->start();
    }

    // Stops the daemon and starts a new one on the same data, which mounts the domain again.
    void restart() {
        daemon_->stop();
        daemon_.reset();
        mount_ = nullptr;
        startDaemon();
        mount_ = daemon_->mountFor("d");
        ASSERT_NE(mount_, nullptr);
    }

    void TearDown() override {
        if (daemon_) daemon_->stop();
        daemon_.reset();
        std::error_code ignored;
        if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
    }

    // What waiting for the changes below the item ends with; none when it
    // does not end in time.
    std::optional<std::optional<Error>> waited(const ItemId& item = kRootContainer) {
        auto done = std::make_shared<std::promise<std::optional<Error>>>();
        mount_->waitForChanges(item, [done](std::optional<Error> error) { done->set_value(error); });
        auto future = done->get_future();
        if (future.wait_for(std::chrono::seconds(30)) != std::future_status::ready) return std::nullopt;
        return future.get();
    }
    bool sent() {
        auto result = waited();
        return result && !*result;
    }
    void signal() {
        std::promise<std::optional<Error>> signalled;
        mount_->signal(kRootContainer, [&](std::optional<Error> error) { signalled.set_value(error); });
        signalled.get_future().wait();
    }

    std::optional<ReplicaNode> shown(const std::string& name) { return mount_->replica().child(kRootInode, name); }
    ItemId treeIdOf(const std::string& name) {
        for (const auto& id : tree_->children(kRootContainer)) {
            if (mount_->replica().inodeOf(id) && mount_->replica().node(*mount_->replica().inodeOf(id))->name == name) return id;
        }
        return {};
    }
    std::filesystem::path folder() const { return root_ / "home" / "Drive"; }

    std::filesystem::path root_;
    ManualClock clock_;
    std::unique_ptr<HostDaemon> daemon_;
    std::shared_ptr<InMemoryExtension> tree_;
    std::function<void(InMemoryExtension&)> prepare_;
    DomainMount* mount_ = nullptr;
};

TEST_F(FileProviderHostWrites, ANewFileIsCreatedOnceAndItsNodeTakesTheExtensionsIdentifier) {
    writeAll(folder() / "new.txt", "new bytes");
    struct stat before{};
    ASSERT_EQ(::stat((folder() / "new.txt").c_str(), &before), 0);
    ASSERT_TRUE(sent());
    EXPECT_EQ(tree_->calls("create"), 1u);
    EXPECT_EQ(tree_->calls("modify"), 0u);
    auto node = shown("new.txt");
    ASSERT_TRUE(node);
    EXPECT_FALSE(isLocalIdentifier(node->identifier));
    EXPECT_FALSE(node->hasLocalChanges());
    EXPECT_EQ(node->inode, static_cast<Inode>(before.st_ino));
    EXPECT_EQ(tree_->contents(node->identifier), "new bytes");
}

TEST_F(FileProviderHostWrites, AFileEditedWhileItsUploadRunsIsUploadedAgain) {
    auto gate = std::make_shared<testing::Gate>();
    tree_->holdAt("create", gate);
    writeAll(folder() / "edited.txt", "first");
    ASSERT_TRUE(gate->waitForArrivals(1));
    // Written while the first upload is held: its snapshot keeps "first".
    writeAll(folder() / "edited.txt", " and second", std::ios::app);
    EXPECT_EQ(readAll(folder() / "edited.txt"), "first and second");
    EXPECT_TRUE(shown("edited.txt")->dirty);
    gate->open();
    ASSERT_TRUE(sent());
    EXPECT_EQ(tree_->calls("create"), 1u);
    EXPECT_EQ(tree_->calls("modify"), 1u);
    auto node = shown("edited.txt");
    ASSERT_TRUE(node);
    EXPECT_FALSE(node->hasLocalChanges());
    EXPECT_EQ(tree_->contents(node->identifier), "first and second");
}

TEST_F(FileProviderHostWrites, AFileMovedWhileItsCreateRunsIsMovedAfterwards) {
    ASSERT_EQ(::mkdir((folder() / "Folder").c_str(), 0700), 0);
    ASSERT_TRUE(sent());
    auto gate = std::make_shared<testing::Gate>();
    tree_->holdAt("create", gate);
    writeAll(folder() / "moving.txt", "moving");
    ASSERT_TRUE(gate->waitForArrivals(1));
    ASSERT_EQ(::rename((folder() / "moving.txt").c_str(), (folder() / "Folder" / "moved.txt").c_str()), 0);
    gate->open();
    ASSERT_TRUE(sent());
    auto folderId = shown("Folder")->identifier;
    ASSERT_THAT(tree_->children(folderId), ::testing::SizeIs(1));
    auto movedId = tree_->children(folderId)[0];
    EXPECT_EQ(tree_->contents(movedId), "moving");
    EXPECT_EQ(mount_->replica().node(*mount_->replica().inodeOf(movedId))->name, "moved.txt");
    EXPECT_THAT(tree_->children(kRootContainer), ::testing::SizeIs(2));  // server.txt and Folder
}

TEST_F(FileProviderHostWrites, ANewFolderWhoseNameTheServerHasBecomesTheServersFolder) {
    // On the server, unseen here: a folder of the same name with a file in
    // it (as after a create answered just as the daemon died), and a file.
    ASSERT_TRUE(std::filesystem::exists(folder() / "server.txt"));
    auto made = tree_->addFolder(kRootContainer, "Made");
    tree_->addFile(made, "there.txt", "already there");
    auto taken = tree_->addFile(kRootContainer, "taken.txt", "the server's");
    ASSERT_EQ(::mkdir((folder() / "Made").c_str(), 0700), 0);
    writeAll(folder() / "Made" / "new.txt", "new here");
    ASSERT_TRUE(sent());
    EXPECT_EQ(shown("Made")->identifier, made);
    EXPECT_THAT(tree_->children(kRootContainer), ::testing::SizeIs(3));  // no second "Made"
    std::set<std::string> inside;
    for (const auto& entry : std::filesystem::directory_iterator(folder() / "Made")) inside.insert(entry.path().filename());
    EXPECT_THAT(inside, ::testing::UnorderedElementsAre("there.txt", "new.txt"));
    EXPECT_EQ(readAll(folder() / "Made" / "there.txt"), "already there");
    auto created = mount_->replica().child(shown("Made")->inode, "new.txt");
    ASSERT_TRUE(created);
    EXPECT_EQ(tree_->contents(created->identifier), "new here");

    // A file whose name is taken keeps its copy here and waits; the
    // server's file is not overwritten.
    writeAll(folder() / "taken.txt", "mine");
    auto result = waited();
    ASSERT_TRUE(result && *result);
    EXPECT_EQ((*result)->code, FileProviderErrorCode::filenameCollision);
    EXPECT_EQ(readAll(folder() / "taken.txt"), "mine");
    EXPECT_EQ(tree_->contents(taken), "the server's");
}

TEST_F(FileProviderHostWrites, FailuresKeepTheLocalCopyUntilASignal) {
    // Table: the error, and whether it is retried after a pause first.
    struct Case {
        Error error;
        bool pausesFirst;
    };
    int round = 0;
    for (const auto& row : std::vector<Case>{
             {Error::fileProvider(FileProviderErrorCode::notAuthenticated), false},
             {Error::fileProvider(FileProviderErrorCode::cannotSynchronize), false},
             {Error::fileProvider(FileProviderErrorCode::filenameCollision), false},
             {Error::fileProvider(FileProviderErrorCode::serverUnreachable), true},
         }) {
        SCOPED_TRACE(row.error.code);
        const std::string name = "kept-" + std::to_string(++round) + ".txt";
        auto creates = tree_->calls("create");
        tree_->failNext("create", row.error, row.pausesFirst ? 6 : 1);
        writeAll(folder() / name, "kept");
        if (row.pausesFirst) {
            for (int retry = 0; retry < 5; ++retry) {
                ASSERT_TRUE(eventually([&] { return tree_->calls("create") == creates + 1 + retry; }));
                ASSERT_TRUE(clock_.waitForSleepers(1));
                clock_.advance(std::chrono::seconds(1 << retry));
            }
        }
        ASSERT_TRUE(eventually([&] { return tree_->calls("create") == creates + (row.pausesFirst ? 6 : 1); }));
        // Parked: still shown, readable and unsent.
        EXPECT_EQ(readAll(folder() / name), "kept");
        EXPECT_TRUE(isLocalIdentifier(shown(name)->identifier));
        EXPECT_EQ(mount_->pendingOperations(), 1u);
        EXPECT_TRUE(mount_->evict(shown(name)->identifier).has_value());
        std::promise<std::optional<Error>> signalled;
        mount_->signal(kRootContainer, [&](std::optional<Error> error) { signalled.set_value(error); });
        signalled.get_future().wait();
        ASSERT_TRUE(sent());
        EXPECT_FALSE(isLocalIdentifier(shown(name)->identifier));
        EXPECT_EQ(tree_->contents(shown(name)->identifier), "kept");
    }
}

TEST_F(FileProviderHostWrites, ASignalDuringAnAttemptThatThenParksIsNotLost) {
    // The attempt is under way when the signal comes, and parks only after it.
    auto gate = std::make_shared<testing::Gate>();
    tree_->holdAt("create", gate);
    tree_->failNext("create", Error::fileProvider(FileProviderErrorCode::cannotSynchronize));
    writeAll(folder() / "late.txt", "late");
    ASSERT_TRUE(gate->waitForArrivals(1));
    std::promise<std::optional<Error>> signalled;
    mount_->signal(kRootContainer, [&](std::optional<Error> error) { signalled.set_value(error); });
    signalled.get_future().wait();
    gate->open();
    ASSERT_TRUE(sent());
    EXPECT_EQ(tree_->calls("create"), 2u);
    EXPECT_FALSE(isLocalIdentifier(shown("late.txt")->identifier));
    EXPECT_EQ(tree_->contents(shown("late.txt")->identifier), "late");
}

TEST_F(FileProviderHostWrites, WaitingForChangesEndsWithTheErrorOfWhatIsParked) {
    const auto denied = Error::fileProvider(FileProviderErrorCode::notAuthenticated);
    const auto refused = Error::fileProvider(FileProviderErrorCode::cannotSynchronize);
    ASSERT_EQ(::mkdir((folder() / "Calm").c_str(), 0700), 0);
    ASSERT_TRUE(sent());
    const auto calm = shown("Calm")->identifier;
    // Table: what parks, and the error the wait ends with.
    struct Case {
        std::string what;
        std::function<void()> park;
        Error expected;
    };
    for (const auto& row : std::vector<Case>{
             {"a new file", [&] {
                  tree_->failNext("create", denied);
                  writeAll(folder() / "parked.txt", "parked");
              }, denied},
             {"a new folder and a file waiting for it", [&] {
                  tree_->failNext("create", refused);
                  ASSERT_EQ(::mkdir((folder() / "Parked").c_str(), 0700), 0);
                  writeAll(folder() / "Parked" / "inside.txt", "inside");
              }, refused},
             {"a removal", [&] {
                  tree_->failNext("remove", denied);
                  ASSERT_EQ(::unlink((folder() / "server.txt").c_str()), 0);
              }, denied},
         }) {
        SCOPED_TRACE(row.what);
        row.park();
        auto result = waited();
        ASSERT_TRUE(result.has_value()) << "the wait never ended";
        ASSERT_TRUE(result->has_value());
        EXPECT_EQ((*result)->domain, row.expected.domain);
        EXPECT_EQ((*result)->code, row.expected.code);
        // A folder with nothing parked below it is done.
        auto elsewhere = waited(calm);
        ASSERT_TRUE(elsewhere.has_value());
        EXPECT_FALSE(elsewhere->has_value());
        // A signal sends it all.
        signal();
        ASSERT_TRUE(sent());
    }
    EXPECT_EQ(tree_->contents(shown("parked.txt")->identifier), "parked");
    EXPECT_FALSE(std::filesystem::exists(folder() / "server.txt"));
    EXPECT_EQ(readAll(folder() / "Parked" / "inside.txt"), "inside");
    EXPECT_EQ(mount_->pendingOperations(), 0u);
}

TEST_F(FileProviderHostWrites, BrowsingAStaleFolderLeavesParkedChangesParked) {
    tree_->failNext("create", Error::fileProvider(FileProviderErrorCode::notAuthenticated));
    writeAll(folder() / "parked.txt", "parked");
    auto parked = waited();
    ASSERT_TRUE(parked && *parked) << "the change never parked";
    // The listing is stale: reading the folder refreshes it in the background.
    clock_.advance(std::chrono::seconds(31));
    std::filesystem::directory_iterator{folder()};
    ASSERT_TRUE(eventually([&] { return mount_->changeEnumerations() >= 1; }));
    auto stillParked = waited();
    ASSERT_TRUE(stillParked.has_value());
    EXPECT_TRUE(stillParked->has_value());
    EXPECT_EQ(tree_->calls("create"), 1u);
    // A signal sends it.
    signal();
    ASSERT_TRUE(sent());
    EXPECT_EQ(tree_->calls("create"), 2u);
}

TEST_F(FileProviderHostWrites, AFileRemovedWhileItsCreateRunsIsRemovedWhenItIsAnswered) {
    auto gate = std::make_shared<testing::Gate>();
    tree_->holdAt("create", gate);
    writeAll(folder() / "brief.txt", "brief");
    ASSERT_TRUE(gate->waitForArrivals(1));
    ASSERT_EQ(::unlink((folder() / "brief.txt").c_str()), 0);
    EXPECT_FALSE(std::filesystem::exists(folder() / "brief.txt"));
    gate->open();
    ASSERT_TRUE(sent());
    EXPECT_EQ(tree_->calls("remove"), 1u);
    EXPECT_THAT(tree_->children(kRootContainer), ::testing::SizeIs(1));  // server.txt only
}

TEST_F(FileProviderHostWrites, AFileNeverSentIsRemovedWithoutARequest) {
    tree_->failNext("create", Error::fileProvider(FileProviderErrorCode::notAuthenticated));
    writeAll(folder() / "unsent.txt", "unsent");
    ASSERT_TRUE(eventually([&] { return tree_->calls("create") == 1; }));
    ASSERT_TRUE(eventually([&] { return mount_->pendingOperations() == 1; }));
    ASSERT_EQ(::unlink((folder() / "unsent.txt").c_str()), 0);
    ASSERT_TRUE(sent());
    EXPECT_EQ(tree_->calls("remove"), 0u);
}

TEST_F(FileProviderHostWrites, ARemovalNotSentBeforeARestartIsSentAfterItAndItsItemStaysHidden) {
    ASSERT_EQ(readAll(folder() / "server.txt"), "on the server");
    const auto identifier = shown("server.txt")->identifier;
    tree_->failNext("remove", Error::fileProvider(FileProviderErrorCode::notAuthenticated));
    ASSERT_EQ(::unlink((folder() / "server.txt").c_str()), 0);
    ASSERT_TRUE(eventually([&] { return tree_->calls("remove") == 1; }));
    EXPECT_EQ(mount_->pendingOperations(), 1u);

    // The next start's extension has the item (under the same identifier),
    // changed since, and holds the removal the start sends.
    auto gate = std::make_shared<testing::Gate>();
    prepare_ = [gate, identifier](InMemoryExtension& tree) {
        tree.setContents(identifier, "changed on the server");
        tree.holdAt("remove", gate);
    };
    restart();
    ASSERT_TRUE(gate->waitForArrivals(1));
    std::promise<std::optional<Error>> signalled;
    mount_->signal(kRootContainer, [&](std::optional<Error> error) { signalled.set_value(error); });
    signalled.get_future().wait();
    EXPECT_FALSE(std::filesystem::exists(folder() / "server.txt"));
    EXPECT_EQ(mount_->pendingOperations(), 1u);
    gate->open();
    ASSERT_TRUE(sent());
    EXPECT_FALSE(tree_->exists(identifier));
    EXPECT_EQ(mount_->pendingOperations(), 0u);
}

TEST_F(FileProviderHostWrites, ATimeSetOnAFileNeverDownloadedIsSentWithTheServersBytes) {
    auto path = folder() / "server.txt";
    ASSERT_TRUE(std::filesystem::exists(path));
    const auto identifier = shown("server.txt")->identifier;
    timespec times[2] = {{1'600'000'000, 0}, {1'600'000'000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    ASSERT_TRUE(sent());
    EXPECT_EQ(tree_->calls("fetchContents"), 1u);
    EXPECT_EQ(tree_->calls("modify"), 1u);
    EXPECT_EQ(tree_->contents(identifier), "on the server");
    auto node = shown("server.txt");
    EXPECT_FALSE(node->hasLocalChanges());
    struct stat attributes{};
    ASSERT_EQ(::stat(path.c_str(), &attributes), 0);
    EXPECT_EQ(attributes.st_mtim.tv_sec, 1'600'000'000);
    // Sent, it is a clean copy like any other.
    EXPECT_FALSE(mount_->evict(identifier).has_value());
}

TEST_F(FileProviderHostWrites, ServerFilesAreRewrittenTruncatedAndRenamedThroughTheQueue) {
    ASSERT_EQ(readAll(folder() / "server.txt"), "on the server");
    auto identifier = shown("server.txt")->identifier;
    writeAll(folder() / "server.txt", "rewritten");  // truncates, then writes
    ASSERT_TRUE(sent());
    EXPECT_EQ(tree_->contents(identifier), "rewritten");
    ASSERT_EQ(::truncate((folder() / "server.txt").c_str(), 3), 0);
    ASSERT_TRUE(sent());
    EXPECT_EQ(tree_->contents(identifier), "rew");
    ASSERT_EQ(::rename((folder() / "server.txt").c_str(), (folder() / "renamed.txt").c_str()), 0);
    ASSERT_TRUE(sent());
    EXPECT_EQ(shown("renamed.txt")->identifier, identifier);
    EXPECT_EQ(tree_->contents(identifier), "rew");
    EXPECT_EQ(tree_->calls("create"), 0u);
    EXPECT_EQ(readAll(folder() / "renamed.txt"), "rew");
}

TEST_F(FileProviderHostWrites, AFileOpenForWritingKeepsItsCopyWhenTheServerChangesIt) {
    ASSERT_EQ(readAll(folder() / "server.txt"), "on the server");
    auto identifier = shown("server.txt")->identifier;
    // Opened for writing, nothing written yet: the copy is still clean.
    int writer = ::open((folder() / "server.txt").c_str(), O_WRONLY);
    ASSERT_GE(writer, 0);
    tree_->setContents(identifier, "changed on the server");
    signal();
    // A reader's open brings no newer version over the copy the writer holds.
    EXPECT_EQ(readAll(folder() / "server.txt"), "on the server");
    ASSERT_EQ(::pwrite(writer, "LOCAL", 5, 0), 5);
    ASSERT_EQ(::close(writer), 0);
    ASSERT_TRUE(sent());
    EXPECT_EQ(tree_->contents(identifier), "LOCALe server");
    EXPECT_EQ(readAll(folder() / "server.txt"), "LOCALe server");
}

TEST_F(FileProviderHostWrites, FilesEditedHereUnderAFolderRemovedOnTheServerAreKeptBesideTheDrive) {
    // A folder on the server with a file edited here (its upload held, so
    // it is still dirty), a file never sent, and a clean cached file.
    auto shared = tree_->addFolder(kRootContainer, "Shared");
    auto inner = tree_->addFolder(shared, "Inner");
    tree_->addFile(inner, "notes.txt", "server notes");
    tree_->addFile(shared, "clean.txt", "clean");
    ASSERT_EQ(readAll(folder() / "Shared" / "clean.txt"), "clean");
    ASSERT_EQ(readAll(folder() / "Shared" / "Inner" / "notes.txt"), "server notes");
    const auto cleanCopy = root_ / "data" / "domains" / "d" / "cache" /
                           std::to_string(mount_->replica().child(shown("Shared")->inode, "clean.txt")->inode);
    ASSERT_TRUE(std::filesystem::exists(cleanCopy));
    auto gate = std::make_shared<testing::Gate>();
    tree_->holdAt("modify", gate);
    tree_->holdAt("create", gate);
    writeAll(folder() / "Shared" / "Inner" / "notes.txt", "edited here");
    writeAll(folder() / "Shared" / "new.txt", "never sent");
    ASSERT_TRUE(gate->waitForArrivals(2));

    // Removed on the server; the next change enumeration says so.
    tree_->removeItem(shared);
    std::promise<std::optional<Error>> signalled;
    mount_->signal(kRootContainer, [&](std::optional<Error> error) { signalled.set_value(error); });
    ASSERT_FALSE(signalled.get_future().get().has_value());
    EXPECT_FALSE(std::filesystem::exists(folder() / "Shared"));

    std::vector<std::filesystem::path> kept;
    for (const auto& entry : std::filesystem::directory_iterator(root_ / "home")) {
        if (entry.path().filename() != "Drive") kept.push_back(entry.path());
    }
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_THAT(kept[0].filename().string(), ::testing::StartsWith("Drive (unsent files "));
    EXPECT_EQ(readAll(kept[0] / "Shared" / "Inner" / "notes.txt"), "edited here");
    EXPECT_EQ(readAll(kept[0] / "Shared" / "new.txt"), "never sent");
    EXPECT_FALSE(std::filesystem::exists(kept[0] / "Shared" / "clean.txt"));
    // The clean file's cached copy went with it.
    EXPECT_FALSE(std::filesystem::exists(cleanCopy));
    gate->open();
    ASSERT_TRUE(sent());
}

TEST_F(FileProviderHostWrites, EvictionsNeverEmptyAFileOpenedForWritingOrTruncated) {
    // The automatic cleanup evicts a clean copy right after each upload; here
    // evictors try all the time while the file is rewritten in place and
    // truncated to its own length, each needing the server's bytes first.
    const auto path = folder() / "server.txt";
    ASSERT_EQ(readAll(path), "on the server");
    const auto identifier = shown("server.txt")->identifier;
    std::atomic<bool> stop{false};
    std::vector<std::thread> evictors;
    for (int evictor = 0; evictor < 4; ++evictor) {
        evictors.emplace_back([&] {
            while (!stop) {
                mount_->evict(identifier);
                std::this_thread::yield();
            }
        });
    }
    for (int round = 0; round < 1000 && !::testing::Test::HasFailure(); ++round) {
        SCOPED_TRACE(round);
        if (round % 2 == 0) {
            int descriptor = ::open(path.c_str(), O_WRONLY);
            EXPECT_GE(descriptor, 0) << std::strerror(errno);
            EXPECT_EQ(::pwrite(descriptor, round % 4 == 0 ? "O" : "o", 1, 0), 1);
            ::close(descriptor);
        } else {
            EXPECT_EQ(::truncate(path.c_str(), 13), 0) << std::strerror(errno);
        }
        EXPECT_TRUE(sent());
        EXPECT_EQ(tree_->contents(identifier), round % 4 < 2 ? "On the server" : "on the server");
    }
    stop = true;
    for (auto& evictor : evictors) evictor.join();
}

TEST_F(FileProviderHostWrites, AWriterAndAFolderLeftOpenWhenTheDomainStopsLoseNothing) {
    int writer = ::open((folder() / "left.txt").c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(::write(writer, "left open", 9), 9);
    DIR* listing = ::opendir(folder().c_str());
    ASSERT_NE(listing, nullptr);
    // Both stay open through the stop: after a short grace the connection
    // is cut off, the stop ends, and the mount frees what the kernel never
    // released.
    auto stopping = std::async(std::launch::async, [this] { daemon_->stop(); });
    const bool stopped = stopping.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    if (!stopped) {
        ::close(writer);
        ::closedir(listing);
        stopping.wait();
    }
    ASSERT_TRUE(stopped) << "the stop waited for the files left open";
    EXPECT_LT(::write(writer, "more", 4), 0);
    ::close(writer);
    ::closedir(listing);
    daemon_.reset();
    auto gate = std::make_shared<testing::Gate>();
    prepare_ = [gate](InMemoryExtension& tree) { tree.holdAt("create", gate); };
    startDaemon();
    mount_ = daemon_->mountFor("d");
    ASSERT_NE(mount_, nullptr);
    // The size written shows while the upload the next start sends is held.
    ASSERT_TRUE(gate->waitForArrivals(1));
    struct stat attributes{};
    ASSERT_EQ(::stat((folder() / "left.txt").c_str(), &attributes), 0);
    EXPECT_EQ(attributes.st_size, 9);
    gate->open();
    ASSERT_TRUE(sent());
    EXPECT_EQ(tree_->contents(shown("left.txt")->identifier), "left open");
}

}  // namespace
}  // namespace nimbuscrate::fp::host
