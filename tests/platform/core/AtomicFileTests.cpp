#include "platform/core/AtomicFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "platform/core/PlatformError.h"
#include "tests/support/TemporaryDirectory.h"

namespace nimbuscrate {
namespace {

using testing::TemporaryDirectory;

TEST(AtomicFile, WritesReplacesAndReads) {
    TemporaryDirectory dir;
    const auto file = dir / "value";
    EXPECT_FALSE(readFileNoFollow(file));
    writeFileAtomically(file, bytesOf("first"));
    writeFileAtomically(file, bytesOf("second"));
    EXPECT_EQ(readFileNoFollow(file), bytesOf("second"));
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    // No temporary file is left beside it.
    int entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) ++entries;
    EXPECT_EQ(entries, 1);
}

TEST(AtomicFile, NeverFollowsALink) {
    TemporaryDirectory dir;
    const auto target = dir / "target";
    std::ofstream(target) << "secret elsewhere";
    const auto link = dir / "link";
    std::filesystem::create_symlink(target, link);
    EXPECT_THROW(readFileNoFollow(link), PlatformError);
    // Replacing the link replaces the link itself, never the file it points to.
    writeFileAtomically(link, bytesOf("new"));
    EXPECT_EQ(readFileNoFollow(target), bytesOf("secret elsewhere"));
    EXPECT_FALSE(std::filesystem::is_symlink(link));
}

TEST(AtomicFile, FailureLeavesTheTargetUntouched) {
    TemporaryDirectory dir;
    const auto file = dir / "missing-folder" / "value";
    EXPECT_THROW(writeFileAtomically(file, bytesOf("x")), PlatformError);
    EXPECT_FALSE(std::filesystem::exists(file));
}

TEST(AtomicFile, ReadingRefusesAnythingButARegularFileWithoutBlocking) {
    TemporaryDirectory dir;
    // A FIFO with no writer would block an ordinary open for ever.
    const auto fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_THROW(readFileNoFollow(fifo), PlatformError);
    const auto folder = dir / "folder";
    std::filesystem::create_directory(folder);
    EXPECT_THROW(readFileNoFollow(folder), PlatformError);
}

}  // namespace
}  // namespace nimbuscrate
