// The host serving the real extension on a real FUSE mount, against the
// local service on 127.0.0.1: what a person does in the folder reaches the
// server, and nothing is lost when the server or the daemon fails.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <optional>
#include <random>
#include <thread>
#include <tuple>
#include <utility>

#include "fileprovider/FileProviderExtension.h"
#include "fileprovider/OcisFileServer.h"
#include "platform/core/PlatformError.h"
#include "platform/defaults/Defaults.h"
#include "platform/fileprovider/host/HostDaemon.h"
#include "platform/fileprovider/host/WriteQueue.h"
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

    // A name that is taken is kept when the caller asks for that, and
    // replaced otherwise.
    writeFile(root_ / "other.txt", "other");
    ASSERT_EQ(run("cp '" + (root_ / "other.txt").string() + "' '" + (folder() / "From").string() + "/note.txt'"), 0);
    ASSERT_TRUE(uploaded()) << describe();
    EXPECT_EQ(::renameat2(AT_FDCWD, (folder() / "From" / "note.txt").c_str(), AT_FDCWD,
                          (folder() / "To" / "note.txt").c_str(), RENAME_NOREPLACE),
              -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(readFile(drive_ / "To" / "note.txt"), "moved bytes");
    ASSERT_EQ(::rename((folder() / "From" / "note.txt").c_str(), (folder() / "To" / "note.txt").c_str()), 0)
        << std::strerror(errno);
    ASSERT_TRUE(uploaded()) << describe();
    EXPECT_EQ(readFile(drive_ / "To" / "note.txt"), "other");
    EXPECT_FALSE(std::filesystem::exists(drive_ / "From" / "note.txt"));
}

// A file renamed over a file becomes a new version of the target's item (the
// server keeps its file id), and the source's item goes.
TEST_F(HostEndToEnd, RenameOverAFileMakesTheSourcesBytesANewVersionOfTheTarget) {
    writeFile(drive_ / "a.txt", "old a");
    writeFile(drive_ / "b.txt", "bytes of b");
    mountDrive();
    const auto targetId = service_.fileId("d1", "/a.txt");
    ASSERT_TRUE(targetId);
    ASSERT_EQ(run("mv '" + (folder() / "b.txt").string() + "' '" + (folder() / "a.txt").string() + "'"), 0);
    EXPECT_FALSE(std::filesystem::exists(folder() / "b.txt"));
    EXPECT_EQ(readFile(folder() / "a.txt"), "bytes of b");
    ASSERT_TRUE(uploaded()) << describe();
    EXPECT_EQ(readFile(drive_ / "a.txt"), "bytes of b");
    EXPECT_EQ(service_.fileId("d1", "/a.txt"), targetId);
    EXPECT_FALSE(std::filesystem::exists(drive_ / "b.txt"));

    // A source made here and never sent: only the target's new version goes
    // out (renamed while its writer is still open, so nothing sent it yet).
    service_.requests().clear();
    const std::string fresh = "written here, never sent under its own name";
    int descriptor = ::open((folder() / "fresh.tmp").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(descriptor, 0) << std::strerror(errno);
    ASSERT_EQ(::write(descriptor, fresh.data(), fresh.size()), static_cast<ssize_t>(fresh.size()));
    ASSERT_EQ(::rename((folder() / "fresh.tmp").c_str(), (folder() / "a.txt").c_str()), 0) << std::strerror(errno);
    ASSERT_EQ(::close(descriptor), 0);
    EXPECT_EQ(readFile(folder() / "a.txt"), fresh);
    ASSERT_TRUE(uploaded()) << describe();
    EXPECT_EQ(readFile(drive_ / "a.txt"), fresh);
    EXPECT_EQ(service_.fileId("d1", "/a.txt"), targetId);
    EXPECT_FALSE(std::filesystem::exists(drive_ / "fresh.tmp"));
    const auto puts = davRequests("PUT");
    ASSERT_EQ(puts.size(), 1u) << describe();
    EXPECT_THAT(puts[0].path, ::testing::EndsWith("/a.txt"));
    EXPECT_TRUE(davRequests("DELETE").empty()) << describe();
    EXPECT_TRUE(davRequests("MOVE").empty()) << describe();
}

TEST_F(HostEndToEnd, ARenameOverAFileTheServerRefusesReportsTheErrorAndKeepsBothFiles) {
    writeFile(drive_ / "a.txt", "old a");
    writeFile(drive_ / "b.txt", "bytes of b");
    mountDrive();
    ASSERT_TRUE(std::filesystem::exists(folder() / "a.txt"));
    service_.overrideStatus({"PUT", "", "/dav/"}, 403, localservice::FaultKnobs::kEveryCall);
    EXPECT_EQ(::rename((folder() / "b.txt").c_str(), (folder() / "a.txt").c_str()), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(readFile(folder() / "b.txt"), "bytes of b");
    EXPECT_EQ(readFile(folder() / "a.txt"), "old a");
    service_.clearFaults();
    ASSERT_TRUE(uploaded()) << describe();
    EXPECT_EQ(readFile(drive_ / "a.txt"), "old a");
    EXPECT_EQ(readFile(drive_ / "b.txt"), "bytes of b");
    EXPECT_TRUE(davRequests("DELETE").empty()) << describe();
    EXPECT_TRUE(davRequests("MOVE").empty()) << describe();
}

TEST_F(HostEndToEnd, RenameOverFoldersAndAcrossKindsFollowsPosix) {
    writeFile(drive_ / "Full" / "inside.txt", "keep");
    std::filesystem::create_directories(drive_ / "Empty");
    writeFile(drive_ / "Moved" / "m.txt", "m");
    writeFile(drive_ / "file.txt", "file");
    writeFile(drive_ / "other.txt", "other");
    mountDrive();
    ASSERT_TRUE(std::filesystem::exists(folder() / "Empty"));
    service_.requests().clear();
    struct Case {
        const char* from;
        const char* to;
        unsigned flags;
        int error;
    };
    const Case cases[] = {
        {"Moved", "Full", 0, ENOTEMPTY},
        {"file.txt", "Full", 0, EISDIR},
        {"Moved", "file.txt", 0, ENOTDIR},
        {"other.txt", "file.txt", RENAME_NOREPLACE, EEXIST},
        {"Moved", "Empty", RENAME_NOREPLACE, EEXIST},
        {"other.txt", "file.txt", RENAME_EXCHANGE, EINVAL},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(std::string(each.from) + " -> " + each.to + " flags " + std::to_string(each.flags));
        EXPECT_EQ(::renameat2(AT_FDCWD, (folder() / each.from).c_str(), AT_FDCWD, (folder() / each.to).c_str(),
                              each.flags),
                  -1);
        EXPECT_EQ(errno, each.error);
    }
    ASSERT_TRUE(uploaded()) << describe();
    EXPECT_TRUE(service_.requests().matching("MOVE", "/dav/").empty()) << describe();
    EXPECT_TRUE(davRequests("PUT").empty()) << describe();
    EXPECT_TRUE(davRequests("DELETE").empty()) << describe();
    EXPECT_EQ(readFile(folder() / "file.txt"), "file");
    EXPECT_EQ(readFile(folder() / "Full" / "inside.txt"), "keep");

    // An empty folder is replaced.
    ASSERT_EQ(::rename((folder() / "Moved").c_str(), (folder() / "Empty").c_str()), 0) << std::strerror(errno);
    EXPECT_EQ(readFile(folder() / "Empty" / "m.txt"), "m");
    EXPECT_FALSE(std::filesystem::exists(folder() / "Moved"));
    ASSERT_TRUE(uploaded()) << describe();
    EXPECT_EQ(readFile(drive_ / "Empty" / "m.txt"), "m");
    EXPECT_FALSE(std::filesystem::exists(drive_ / "Moved"));
    EXPECT_EQ(readFile(folder() / "Empty" / "m.txt"), "m");
}

// Programs that save by writing a new file and renaming it over the old one.
TEST_F(HostEndToEnd, ProgramsThatSaveByRenameWork) {
    mountDrive();
    const std::string drive = folder().string();
    ASSERT_EQ(run("python3 -c \"import os, sys; d = sys.argv[1]; open(d + '/conf', 'w').write('one'); "
                  "open(d + '/conf.new', 'w').write('two'); os.replace(d + '/conf.new', d + '/conf')\" '" +
                  drive + "'"),
              0);
    EXPECT_EQ(readFile(folder() / "conf"), "two");

    writeFile(folder() / "text.txt", "hello world\n");
    ASSERT_EQ(run("sed -i 's/world/drive/' '" + drive + "/text.txt'"), 0);
    EXPECT_EQ(readFile(folder() / "text.txt"), "hello drive\n");

    ASSERT_EQ(::mkdir((folder() / "repo").c_str(), 0700), 0);
    writeFile(folder() / "repo" / "a.txt", "a\n");
    writeFile(folder() / "repo" / "b.txt", "b\n");
    writeFile(folder() / "repo" / "sub" / "c.txt", "c\n");
    ASSERT_EQ(run("cd '" + drive + "/repo' && git init -q && git add . && "
                  "git -c user.name=Tester -c user.email=tester@example.org commit -q -m first && "
                  "test -z \"$(git status --porcelain)\""),
              0);
    EXPECT_EQ(run("cd '" + drive + "/repo' && git log --oneline | grep -q first"), 0);

    // rsync writes each file under a temporary name and renames it into place.
    const auto source = root_ / "tree";
    writeFile(source / "one.txt", "one");
    writeFile(source / "deep" / "two.txt", "two");
    writeFile(source / "deep" / "three.bin", randomBytes(100'000, 3));
    ASSERT_EQ(run("rsync -a '" + source.string() + "/' '" + drive + "/mirror/'"), 0);
    ASSERT_TRUE(uploaded()) << describe();
    const auto changedId = service_.fileId("d1", "/mirror/deep/two.txt");
    ASSERT_TRUE(changedId);
    writeFile(source / "deep" / "two.txt", "two, changed and longer");
    writeFile(source / "deep" / "three.bin", randomBytes(90'000, 4));
    ASSERT_EQ(run("rsync -a '" + source.string() + "/' '" + drive + "/mirror/'"), 0);
    EXPECT_EQ(run("diff -r '" + source.string() + "' '" + drive + "/mirror'"), 0);
    EXPECT_EQ(run("cd '" + drive + "/repo' && test -z \"$(git status --porcelain)\""), 0);

    ASSERT_TRUE(uploaded()) << describe();
    EXPECT_EQ(readFile(drive_ / "conf"), "two");
    EXPECT_FALSE(std::filesystem::exists(drive_ / "conf.new"));
    EXPECT_EQ(readFile(drive_ / "text.txt"), "hello drive\n");
    EXPECT_EQ(run("diff -r '" + source.string() + "' '" + (drive_ / "mirror").string() + "'"), 0);
    // The changed file was renamed over the old one: the server kept its item.
    EXPECT_EQ(service_.fileId("d1", "/mirror/deep/two.txt"), changedId);
    EXPECT_EQ(readFile(drive_ / "repo" / "sub" / "c.txt"), "c\n");
    // Only what the programs left: no temporary name stayed behind.
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(drive_)) {
        const auto name = entry.path().filename().string();
        if (name.rfind(".", 0) == 0 && name != ".git") left.push_back(entry.path().string());
        if (name.find(".lock") != std::string::npos) left.push_back(entry.path().string());
    }
    EXPECT_TRUE(left.empty()) << ::testing::PrintToString(left) << describe();
}

TEST_F(HostEndToEnd, AReaderDuringAReplaceSeesTheOldOrTheNewBytes) {
    writeFile(drive_ / "shared.txt", "version 0");
    mountDrive();
    const auto targetId = service_.fileId("d1", "/shared.txt");
    const auto path = folder() / "shared.txt";
    ASSERT_EQ(readFile(path), "version 0");
    std::atomic<bool> done{false};
    std::atomic<int> reads{0};
    std::vector<std::string> wrong;
    std::thread reader([&] {
        while (!done) {
            int descriptor = ::open(path.c_str(), O_RDONLY);
            if (descriptor < 0) {
                wrong.push_back(std::string("open: ") + std::strerror(errno));
                continue;
            }
            std::string text;
            char buffer[256];
            ssize_t got = 0;
            while ((got = ::read(descriptor, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(got));
            if (got < 0) wrong.push_back(std::string("read: ") + std::strerror(errno));
            ::close(descriptor);
            ++reads;
            if (text.rfind("version ", 0) != 0 || text.size() < 9) wrong.push_back("read \"" + text + "\"");
        }
    });
    for (int version = 1; version <= 20; ++version) {
        const auto temporary = folder() / ("shared." + std::to_string(version));
        writeFile(temporary, "version " + std::to_string(version));
        EXPECT_EQ(::rename(temporary.c_str(), path.c_str()), 0) << std::strerror(errno);
    }
    done = true;
    reader.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_TRUE(wrong.empty()) << wrong.size() << " bad reads, first: " << wrong.front();
    EXPECT_EQ(readFile(path), "version 20");
    ASSERT_TRUE(uploaded()) << describe();
    EXPECT_EQ(readFile(drive_ / "shared.txt"), "version 20");
    EXPECT_EQ(service_.fileId("d1", "/shared.txt"), targetId);
    for (int version = 1; version <= 20; ++version) {
        EXPECT_FALSE(std::filesystem::exists(drive_ / ("shared." + std::to_string(version))));
    }
}

// The mapping database forgets the children of a moved folder: what the
// folder shows inside it stays openable.
TEST_F(HostEndToEnd, FilesInsideAMovedFolderStayOpenable) {
    mountDrive();
    ASSERT_EQ(::mkdir((folder() / "d").c_str(), 0700), 0);
    writeFile(folder() / "d" / "b", "data\n");
    ASSERT_EQ(::mkdir((folder() / "d" / "sub").c_str(), 0700), 0);
    writeFile(folder() / "d" / "sub" / "c", "deep\n");
    ASSERT_TRUE(uploaded()) << describe();
    // Their cached copies go, as the automatic cleanup lets them go.
    for (const char* name : {"d/b", "d/sub/c"}) {
        struct stat shown{};
        ASSERT_EQ(::stat((folder() / name).c_str(), &shown), 0);
        auto node = mount()->replica().node(shown.st_ino);
        ASSERT_TRUE(node);
        ASSERT_FALSE(mount()->evict(node->identifier).has_value()) << name;
    }
    ASSERT_EQ(::rename((folder() / "d").c_str(), (folder() / "e").c_str()), 0) << std::strerror(errno);
    // Read at once, while the move may still be on its way.
    EXPECT_EQ(readFile(folder() / "e" / "b"), "data\n");
    ASSERT_TRUE(uploaded()) << describe();
    EXPECT_EQ(readFile(folder() / "e" / "sub" / "c"), "deep\n");
    // An append reaches the server.
    ASSERT_EQ(run("echo more >> '" + (folder() / "e" / "b").string() + "'"), 0);
    ASSERT_TRUE(uploaded()) << describe();
    EXPECT_EQ(readFile(drive_ / "e" / "b"), "data\nmore\n");

    // Also after a restart.
    for (const char* name : {"e/b", "e/sub/c"}) {
        struct stat shown{};
        ASSERT_EQ(::stat((folder() / name).c_str(), &shown), 0);
        ASSERT_FALSE(mount()->evict(mount()->replica().node(shown.st_ino)->identifier).has_value()) << name;
    }
    daemon_->stop();
    daemon_.reset();
    startDaemon();
    ASSERT_NE(mount(), nullptr);
    EXPECT_EQ(readFile(folder() / "e" / "b"), "data\nmore\n");
    EXPECT_EQ(readFile(folder() / "e" / "sub" / "c"), "deep\n");
}

TEST_F(HostEndToEnd, AnOpenOfAnItemTheMappingDatabaseLostListsItsFolderAgain) {
    writeFile(drive_ / "Docs" / "kept.txt", "kept");
    mountDrive();
    struct stat shown{};
    ASSERT_EQ(::stat((folder() / "Docs" / "kept.txt").c_str(), &shown), 0);
    auto node = mount()->replica().node(shown.st_ino);
    ASSERT_TRUE(node);
    mapping_.deleteItem(node->identifier);
    EXPECT_EQ(readFile(folder() / "Docs" / "kept.txt"), "kept");
}

// A file the server deleted, appended to before the folder shows it gone.
TEST_F(HostEndToEnd, AppendingToAFileTheServerDeletedGivesNoSuchFile) {
    writeFile(drive_ / "gone.txt", "was here");
    mountDrive();
    ASSERT_TRUE(std::filesystem::exists(folder() / "gone.txt"));
    std::filesystem::remove(drive_ / "gone.txt");
    int descriptor = ::open((folder() / "gone.txt").c_str(), O_WRONLY | O_APPEND);
    const int error = errno;
    if (descriptor >= 0) ::close(descriptor);
    EXPECT_EQ(descriptor, -1);
    EXPECT_EQ(error, ENOENT) << std::strerror(error);
    // The folder no longer shows it (once the kernel has let go of its entry).
    EXPECT_TRUE(eventually([&] { return !std::filesystem::exists(folder() / "gone.txt"); }));
    EXPECT_FALSE(mount()->replica().child(fp::host::kRootInode, "gone.txt").has_value());
}

// What stat shows right after a write is closed: the new size, also when a
// listing of the folder (taken before the write) is read meanwhile, as tar,
// rsync and file managers do.
TEST_F(HostEndToEnd, StatRightAfterCloseShowsTheNewSize) {
    writeFile(drive_ / "sized.txt", "12345");
    mountDrive();
    const auto path = folder() / "sized.txt";
    ASSERT_EQ(readFile(path), "12345");
    for (std::size_t size : {7000u, 3u, 120000u, 0u, 4096u, 10u}) {
        SCOPED_TRACE(size);
        DIR* listing = ::opendir(folder().c_str());
        ASSERT_NE(listing, nullptr);
        const std::string bytes(size, 'x');
        writeFile(path, bytes);
        bool seen = false;
        while (auto* entry = ::readdir(listing)) seen = seen || std::string(entry->d_name) == "sized.txt";
        ::closedir(listing);
        EXPECT_TRUE(seen);
        struct stat shown{};
        ASSERT_EQ(::stat(path.c_str(), &shown), 0);
        EXPECT_EQ(shown.st_size, static_cast<off_t>(size));
        // Also once its upload was answered.
        ASSERT_TRUE(uploaded()) << describe();
        listing = ::opendir(folder().c_str());
        ASSERT_NE(listing, nullptr);
        while (::readdir(listing)) {
        }
        ::closedir(listing);
        ASSERT_EQ(::stat(path.c_str(), &shown), 0);
        EXPECT_EQ(shown.st_size, static_cast<off_t>(size));
        EXPECT_EQ(std::filesystem::file_size(drive_ / "sized.txt"), size);
    }
}

// A download that ends after a writer replaced the file's contents never
// puts the older bytes over what was written.
TEST_F(HostEndToEnd, ADownloadThatEndsAfterAWriteNeverReplacesWhatWasWritten) {
    writeFile(drive_ / "raced.txt", "server bytes");
    mountDrive();
    ASSERT_TRUE(std::filesystem::exists(folder() / "raced.txt"));
    auto gate = service_.hold({"GET", "", "/dav/"});
    std::thread reader([&] { readFile(folder() / "raced.txt"); });
    ASSERT_TRUE(gate->waitForArrivals(1, std::chrono::seconds(10)));
    writeFile(folder() / "raced.txt", "written here");
    gate->open();
    reader.join();
    EXPECT_EQ(readFile(folder() / "raced.txt"), "written here");
    ASSERT_TRUE(uploaded()) << describe();
    EXPECT_EQ(readFile(drive_ / "raced.txt"), "written here");
    EXPECT_EQ(readFile(folder() / "raced.txt"), "written here");
}

// The same race for the other changes a download may meet: a truncate
// that is sent before the download ends, and a time set on a file never
// downloaded (its upload downloads the server's bytes first) while a writer
// rewrites it. The held download never replaces the changed copy nor gives
// the node its size.
TEST_F(HostEndToEnd, AHeldDownloadNeverReplacesATruncatedOrRewrittenCopy) {
    struct Case {
        const char* name;
        bool readerStartsTheDownload;  // else the time set does
        std::function<void(const std::filesystem::path&)> change;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"truncate", true, [](const std::filesystem::path& path) { ASSERT_EQ(::truncate(path.c_str(), 0), 0); }, ""},
        {"truncate-then-write", true,
         [](const std::filesystem::path& path) {
             ASSERT_EQ(::truncate(path.c_str(), 0), 0);
             std::ofstream out(path, std::ios::binary | std::ios::app);
             out << "appended";
         },
         "appended"},
        {"time-then-write", false, [](const std::filesystem::path& path) { writeFile(path, "written here"); },
         "written here"},
    };
    for (std::size_t index = 0; index < cases.size(); ++index) writeFile(drive_ / ("raced" + std::to_string(index)), "server bytes");
    mountDrive();
    for (std::size_t index = 0; index < cases.size(); ++index) {
        const auto& each = cases[index];
        SCOPED_TRACE(each.name);
        const auto name = "raced" + std::to_string(index);
        const auto path = folder() / name;
        ASSERT_TRUE(std::filesystem::exists(path));
        auto gate = service_.hold({"GET", "", "/dav/"});
        std::thread starter;
        // A failed check never leaves the reader held.
        struct Release {
            std::shared_ptr<localservice::HoldGate> gate;
            std::thread& thread;
            ~Release() {
                gate->open();
                if (thread.joinable()) thread.join();
            }
        } release{gate, starter};
        if (each.readerStartsTheDownload) {
            starter = std::thread([&] { readFile(path); });
        } else {
            timespec times[2] = {{1'500'000'000, 0}, {1'500'000'000, 0}};
            ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
        }
        ASSERT_TRUE(gate->waitForArrivals(1, std::chrono::seconds(10)));
        each.change(path);
        // The truncate goes up while the download is still held.
        if (each.readerStartsTheDownload) {
            ASSERT_TRUE(uploaded()) << describe();
        }
        gate->open();
        if (starter.joinable()) starter.join();
        service_.clearFaults();
        EXPECT_EQ(readFile(path), each.expected);
        ASSERT_TRUE(uploaded()) << describe();
        EXPECT_EQ(readFile(drive_ / name), each.expected);
        EXPECT_EQ(readFile(path), each.expected);
        EXPECT_EQ(std::filesystem::file_size(path), each.expected.size());
    }
}

// A file removed at once after it was made, while the server holds the
// answer to its create (which it carried out): the unlink wins, also over a
// listing that meets the new item before the answer.
TEST_F(HostEndToEnd, AFileRemovedWhileItsCreateIsAnsweredNeverComesBack) {
    mountDrive();
    ASSERT_TRUE(std::filesystem::exists(folder()));
    auto gate = service_.holdReply({"PUT", "", "/dav/"});
    writeFile(folder() / "fleeting.txt", "gone soon");
    ASSERT_TRUE(gate->waitForArrivals(1, std::chrono::seconds(10))) << describe();
    ASSERT_TRUE(std::filesystem::exists(drive_ / "fleeting.txt"));
    ASSERT_EQ(::unlink((folder() / "fleeting.txt").c_str()), 0) << std::strerror(errno);
    auto signalled = std::make_shared<std::promise<void>>();
    mount()->signal(fp::kRootContainer, [signalled](std::optional<fp::Error>) { signalled->set_value(); });
    auto listed = signalled->get_future();
    listed.wait_for(std::chrono::seconds(5));
    EXPECT_FALSE(std::filesystem::exists(folder() / "fleeting.txt"));
    gate->open();
    ASSERT_TRUE(uploaded()) << describe();
    listed.wait();
    EXPECT_FALSE(std::filesystem::exists(folder() / "fleeting.txt"));
    EXPECT_FALSE(std::filesystem::exists(drive_ / "fleeting.txt")) << describe();
    EXPECT_EQ(fpctl("signal nimbuscrate root").first, 0);
    EXPECT_FALSE(std::filesystem::exists(folder() / "fleeting.txt"));
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

// Removed here after it went from the server (on the web, say): the removal
// is done, not parked.
TEST_F(HostEndToEnd, RemovingWhatTheServerNoLongerHasIsDone) {
    writeFile(drive_ / "gone.txt", "gone");
    writeFile(drive_ / "Gone" / "inside.txt", "inside");
    mountDrive();
    ASSERT_TRUE(std::filesystem::exists(folder() / "gone.txt"));
    ASSERT_TRUE(std::filesystem::exists(folder() / "Gone" / "inside.txt"));
    std::filesystem::remove(drive_ / "gone.txt");
    std::filesystem::remove_all(drive_ / "Gone");
    ASSERT_EQ(::unlink((folder() / "gone.txt").c_str()), 0);
    ASSERT_EQ(run("rm -r '" + (folder() / "Gone").string() + "'"), 0);
    ASSERT_TRUE(uploaded()) << describe();
    EXPECT_EQ(mount()->pendingOperations(), 0u);
    EXPECT_FALSE(std::filesystem::exists(folder() / "gone.txt"));
    EXPECT_FALSE(std::filesystem::exists(folder() / "Gone"));
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

// The answers to what the host sends change the nodes already: the signals
// the extension sends for them list nothing again. Signals of the app or the
// channel still do, and bring what changed on the server.
TEST_F(HostEndToEnd, AnswersToChangesSentFromHereDoNotListTheFolderAgainButSignalsDo) {
    std::filesystem::create_directories(drive_ / "many");
    writeFile(drive_ / "many" / "old.txt", "old");
    mountDrive();
    ASSERT_EQ(readFile(folder() / "many" / "old.txt"), "old");
    auto listings = [&] {
        std::size_t count = 0;
        for (const auto& request : davRequests("PROPFIND")) {
            std::string path = request.path;
            if (!path.empty() && path.back() == '/') path.pop_back();
            if (request.header("Depth") == "1" && path.size() >= 5 && path.compare(path.size() - 5, 5, "/many") == 0) ++count;
        }
        return count;
    };
    ASSERT_EQ(listings(), 1u) << describe();

    // New files, a new version of one, a removal.
    for (int index = 0; index < 12; ++index) {
        writeFile(folder() / "many" / ("new-" + std::to_string(index) + ".txt"), "new " + std::to_string(index));
    }
    ASSERT_TRUE(uploaded()) << describe();
    writeFile(folder() / "many" / "new-0.txt", "second");
    ASSERT_TRUE(std::filesystem::remove(folder() / "many" / "old.txt"));
    ASSERT_TRUE(uploaded()) << describe();
    EXPECT_EQ(readFile(drive_ / "many" / "new-0.txt"), "second");
    EXPECT_FALSE(std::filesystem::exists(drive_ / "many" / "old.txt"));

    // A signal from the channel is answered once its listing is applied,
    // after any listing asked for before it.
    writeFile(drive_ / "many" / "from-server.txt", "from the server");
    auto many = mount()->replica().child(fp::host::kRootInode, "many");
    ASSERT_TRUE(many);
    auto [signalled, output] = fpctl("signal nimbuscrate " + many->identifier);
    ASSERT_EQ(signalled, 0) << output;
    EXPECT_EQ(listings(), 2u) << describe();
    EXPECT_EQ(readFile(folder() / "many" / "from-server.txt"), "from the server");
    EXPECT_EQ(readFile(folder() / "many" / "new-0.txt"), "second");
    EXPECT_EQ(readFile(folder() / "many" / "new-11.txt"), "new 11");
    EXPECT_FALSE(std::filesystem::exists(folder() / "many" / "old.txt"));
}

// Uploads of different files go side by side, a few at once; each file's
// own steps still go one at a time: a new version of a file whose upload is
// under way waits for it, even with a worker free.
TEST_F(HostEndToEnd, UploadsOfDifferentFilesRunSideBySideEachFileOneStepAtATime) {
    mountDrive();
    ASSERT_TRUE(std::filesystem::is_empty(folder()));
    const std::size_t atOnce = fp::host::WriteQueue::kItemsAtOnce;
    ASSERT_GE(atOnce, 3u);
    auto gate = service_.hold({"PUT", "", "/dav/"});
    // All but one of the workers hold an upload on the server at once.
    for (std::size_t index = 0; index + 1 < atOnce; ++index) {
        writeFile(folder() / ("held-" + std::to_string(index) + ".txt"), "first " + std::to_string(index));
    }
    ASSERT_TRUE(gate->waitForArrivals(atOnce - 1, std::chrono::seconds(60))) << describe();
    // A new version of a held file, then one more new file: the new file
    // takes the free worker, the held file's next step waits for its first.
    writeFile(folder() / "held-0.txt", "second 0");
    writeFile(folder() / "last.txt", "last");
    ASSERT_TRUE(gate->waitForArrivals(atOnce, std::chrono::seconds(60))) << describe();
    auto putsOf = [&](const std::string& name) {
        std::size_t count = 0;
        for (const auto& request : davRequests("PUT")) {
            if (request.path.size() >= name.size() + 1 &&
                request.path.compare(request.path.size() - name.size() - 1, std::string::npos, "/" + name) == 0) {
                ++count;
            }
        }
        return count;
    };
    EXPECT_EQ(putsOf("last.txt"), 1u) << describe();
    EXPECT_EQ(putsOf("held-0.txt"), 1u) << describe();
    EXPECT_EQ(gate->arrivals(), atOnce);

    gate->open();
    ASSERT_TRUE(uploaded()) << describe();
    EXPECT_EQ(putsOf("held-0.txt"), 2u);
    EXPECT_EQ(readFile(drive_ / "held-0.txt"), "second 0");
    for (std::size_t index = 1; index + 1 < atOnce; ++index) {
        EXPECT_EQ(readFile(drive_ / ("held-" + std::to_string(index) + ".txt")), "first " + std::to_string(index));
    }
    EXPECT_EQ(readFile(drive_ / "last.txt"), "last");
    EXPECT_EQ(readFile(folder() / "held-0.txt"), "second 0");
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

// An outage longer than the retries of a change: the change is parked, and
// goes out by itself once the service is back (the pauses are shortened here;
// on real time, as nobody advances a clock for it).
TEST_F(HostEndToEnd, AChangeParkedDuringAnOutageReachesTheServerByItselfWhenTheServiceIsBack) {
    daemonClock_ = &Clock::system();
    parkedRetry_ = std::make_pair(2.0, 5.0);
    mountDrive();
    // Listed before the service goes away: the write needs nothing of it but the upload.
    ASSERT_TRUE(std::filesystem::is_empty(folder()));
    service_.overrideStatus({"", "", "/dav/"}, 503, localservice::FaultKnobs::kEveryCall);
    const auto outageEnds = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    writeFile(folder() / "during-outage.txt", "written while the service was away");
    std::this_thread::sleep_until(outageEnds);
    // Past the retries (about 31 s): parked, and tried again on its own since.
    EXPECT_GE(davRequests("PUT").size(), 7u) << describe();
    EXPECT_FALSE(std::filesystem::exists(drive_ / "during-outage.txt"));
    service_.clearFaults();
    // No signal, no other request: the pauses alone bring it out.
    EXPECT_TRUE(eventually([&] { return std::filesystem::exists(drive_ / "during-outage.txt"); },
                           std::chrono::seconds(60)))
        << describe();
    ASSERT_TRUE(uploaded()) << describe();
    EXPECT_EQ(readFile(drive_ / "during-outage.txt"), "written while the service was away");
}

// The files kept beside the drive: every regular file below the folders
// whose names begin with the drive's and "(unsent files", with its bytes.
std::vector<std::string> keptBesideTheDrive(const std::filesystem::path& home) {
    std::vector<std::string> kept;
    for (const auto& folder : std::filesystem::directory_iterator(home)) {
        if (folder.path().filename().string().rfind("Nimbuscrate (unsent files", 0) != 0) continue;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(folder.path())) {
            if (entry.is_regular_file()) kept.push_back(readFile(entry.path()));
        }
    }
    return kept;
}

// A replica database that cannot be read at a start: the cached copies
// (which may hold what was never sent) are kept beside the drive.
TEST_F(HostEndToEnd, AnUnreadableReplicaDatabaseLosesNoUnsentFile) {
    mountDrive();
    service_.overrideStatus({"PUT", "", "/dav/"}, 503, localservice::FaultKnobs::kEveryCall);
    writeFile(folder() / "unsent.txt", "never sent bytes");
    ASSERT_TRUE(eventually([&] { return !davRequests("PUT").empty(); })) << describe();
    daemon_->stop();
    daemon_.reset();
    const auto state = root_ / "data" / "domains" / "nimbuscrate";
    for (const auto& entry : std::filesystem::directory_iterator(state)) {
        if (entry.path().filename().string().rfind("replica.sqlite3", 0) == 0) std::filesystem::remove(entry.path());
    }
    writeFile(state / "replica.sqlite3", std::string(8192, 'x'));
    service_.clearFaults();
    startDaemon();
    ASSERT_NE(mount(), nullptr);
    EXPECT_THAT(keptBesideTheDrive(root_ / "home"), ::testing::Contains(std::string("never sent bytes")));
}

// The disk of the state folder fills up, so that a commit of the replica
// fails: the files not sent yet are kept beside the drive when the mount
// stops, and the next start deletes none of them.
TEST_F(HostEndToEnd, AFullDiskDuringACommitLosesNoUnsentFile) {
    const auto state = root_ / "data" / "domains" / "nimbuscrate";
    std::filesystem::create_directories(state);
    ASSERT_EQ(run("mount -t tmpfs -o size=2m tmpfs '" + state.string() + "'"), 0);
    struct Unmount {
        std::filesystem::path path;
        ~Unmount() { run("umount -l '" + path.string() + "' 2>/dev/null"); }
    } unmount{state};
    mountDrive();
    service_.overrideStatus({"PUT", "", "/dav/"}, 503, localservice::FaultKnobs::kEveryCall);
    writeFile(folder() / "unsent.txt", "never sent bytes");
    ASSERT_TRUE(eventually([&] { return !davRequests("PUT").empty(); })) << describe();
    {
        // Every byte of the disk taken.
        std::ofstream filler(state / "filler", std::ios::binary);
        const std::string block(64 * 1024, 'f');
        while (filler.write(block.data(), static_cast<std::streamsize>(block.size())) && filler.flush()) {
        }
    }
    // Changes that the replica has to commit.
    for (int index = 0; index < 20; ++index) {
        std::ofstream(folder() / ("more-" + std::to_string(index) + ".txt")) << "";
    }
    ASSERT_EQ(::rename((folder() / "unsent.txt").c_str(), (folder() / "renamed.txt").c_str()), 0);
    daemon_->stop();
    daemon_.reset();
    std::filesystem::remove(state / "filler");
    service_.clearFaults();
    startDaemon();
    ASSERT_NE(mount(), nullptr);
    std::vector<std::string> found = keptBesideTheDrive(root_ / "home");
    std::error_code ignored;
    if (std::filesystem::exists(folder() / "renamed.txt", ignored)) found.push_back(readFile(folder() / "renamed.txt"));
    EXPECT_THAT(found, ::testing::Contains(std::string("never sent bytes"))) << describe();
    daemon_->stop();
    daemon_.reset();
}

// Removing the domain when an unsent file cannot be kept under its own
// name (a file of that name was kept there before, and a longer name does
// not fit): it is kept under a safe name, with a note of the original.
TEST_F(HostEndToEnd, RemovingTheDomainKeepsAnUnsentFileThatCannotKeepItsNameUnderASafeName) {
    mountDrive();
    service_.overrideStatus({"PUT", "", "/dav/"}, 503, localservice::FaultKnobs::kEveryCall);
    const std::string name = std::string(251, 'n') + ".txt";
    writeFile(folder() / name, "long-named bytes");
    ASSERT_TRUE(eventually([&] { return !davRequests("PUT").empty(); })) << describe();
    // The folders the next seconds' removals keep files in hold the name already.
    for (int second = 0; second < 20; ++second) {
        std::time_t when = std::time(nullptr) + second;
        std::tm local{};
        ::localtime_r(&when, &local);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H%M%S", &local);
        writeFile(root_ / "home" / ("Nimbuscrate (unsent files " + std::string(stamp) + ")") / name, "older");
    }
    ASSERT_EQ(fpctl("remove nimbuscrate").first, 0);
    EXPECT_THAT(keptBesideTheDrive(root_ / "home"), ::testing::Contains(std::string("long-named bytes")));
    EXPECT_THAT(keptBesideTheDrive(root_ / "home"), ::testing::Contains(name + "\n"));
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

// The program killed while the service holds the answer to a new file's
// upload (which it stored): at the restart the file is the server's item,
// and what is written next reaches it; one item, never a parked create.
// Also with a server that takes no notice of "If-None-Match".
TEST_F(ProgramEndToEnd, ACreateCutByAKillIsResolvedAtTheRestartAndLaterWritesReachTheServer) {
    startProgramWithDomain();
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(folder()); })) << describe();
    for (bool ignoring : {false, true}) {
        SCOPED_TRACE(ignoring ? "If-None-Match ignored" : "If-None-Match kept");
        const std::string name = ignoring ? "ignored.txt" : "kept.txt";
        service_.ignoreIfNoneMatch(ignoring);
        auto gate = service_.holdReply({"PUT", "", "/dav/"});
        writeFile(folder() / name, "first bytes");
        ASSERT_TRUE(gate->waitForArrivals(1, std::chrono::seconds(20))) << describe();
        stopProgram(SIGKILL);
        run("fusermount3 -uz '" + folder().string() + "' 2>/dev/null");
        gate->open();
        service_.clearFaults();
        ASSERT_EQ(readFile(drive_ / name), "first bytes");

        startProgram();
        ASSERT_TRUE(eventually([&] { return std::filesystem::exists(folder() / name); }, std::chrono::seconds(30)))
            << describe();
        EXPECT_EQ(readFile(folder() / name), "first bytes");
        writeFile(folder() / name, "second, longer bytes");
        EXPECT_TRUE(eventually([&] { return readFile(drive_ / name) == "second, longer bytes"; },
                               std::chrono::seconds(60)))
            << describe();
        std::size_t items = 0;
        for (const auto& entry : std::filesystem::directory_iterator(drive_)) {
            if (entry.path().filename().string().rfind(std::filesystem::path(name).stem().string(), 0) == 0) ++items;
        }
        EXPECT_EQ(items, 1u);
        EXPECT_EQ(readFile(folder() / name), "second, longer bytes");
    }
    service_.ignoreIfNoneMatch(false);
}

// A file removed right after it was made, with the program killed before
// its create was answered: the item that create made goes at the restart,
// and the name never comes back.
TEST_F(ProgramEndToEnd, AFileRemovedBeforeAKillThatCutItsCreateNeverComesBack) {
    startProgramWithDomain();
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(folder()); })) << describe();
    auto gate = service_.holdReply({"PUT", "", "/dav/"});
    writeFile(folder() / "fleeting.txt", "gone soon");
    ASSERT_TRUE(gate->waitForArrivals(1, std::chrono::seconds(20))) << describe();
    ASSERT_EQ(::unlink((folder() / "fleeting.txt").c_str()), 0) << std::strerror(errno);
    stopProgram(SIGKILL);
    run("fusermount3 -uz '" + folder().string() + "' 2>/dev/null");
    gate->open();
    service_.clearFaults();
    ASSERT_TRUE(std::filesystem::exists(drive_ / "fleeting.txt"));

    startProgram();
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(folder()); })) << describe();
    EXPECT_FALSE(std::filesystem::exists(folder() / "fleeting.txt"));
    EXPECT_TRUE(eventually([&] { return !std::filesystem::exists(drive_ / "fleeting.txt"); }, std::chrono::seconds(60)))
        << describe();
    EXPECT_FALSE(std::filesystem::exists(folder() / "fleeting.txt"));
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
