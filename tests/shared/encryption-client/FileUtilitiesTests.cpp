// The file utilities the encryption client's create and transfer paths share.
#include <gtest/gtest.h>

#include <fstream>

#include "platform/core/PlatformError.h"
#include "shared/encryption-client/FileUtilities.h"
#include "tests/support/TemporaryDirectory.h"

namespace nimbuscrate {
namespace {

TEST(E2EEFileUtilities, RemoveItemIfPresentRemovesFilesAndFoldersAndNeverFails) {
    testing::TemporaryDirectory dir;
    std::ofstream(dir / "file") << "data";
    std::filesystem::create_directories(dir / "folder" / "inner");
    std::ofstream(dir / "folder" / "inner" / "deep") << "data";
    std::ofstream(dir / "kept") << "data";
    std::filesystem::create_directories(dir / "keptFolder");
    std::ofstream(dir / "keptFolder" / "inside") << "data";
    std::filesystem::create_symlink(dir / "kept", dir / "link");
    std::filesystem::create_directory_symlink(dir / "keptFolder", dir / "folderLink");

    removeItemIfPresent(dir / "file");
    EXPECT_FALSE(std::filesystem::exists(dir / "file"));
    removeItemIfPresent(dir / "folder");
    EXPECT_FALSE(std::filesystem::exists(dir / "folder"));
    // A link goes, never what it points to.
    removeItemIfPresent(dir / "link");
    removeItemIfPresent(dir / "folderLink");
    EXPECT_FALSE(std::filesystem::is_symlink(dir / "link"));
    EXPECT_FALSE(std::filesystem::is_symlink(dir / "folderLink"));
    EXPECT_TRUE(std::filesystem::exists(dir / "kept"));
    EXPECT_TRUE(std::filesystem::exists(dir / "keptFolder" / "inside"));

    removeItemIfPresent(dir / "missing");
    removeItemIfPresent(dir / "missing" / "below");
    removeItemIfPresent({});
}

TEST(E2EEFileUtilities, OpenFileForWritingNeedsAnExistingFile) {
    testing::TemporaryDirectory dir;
    EXPECT_THROW(openFileForWriting(dir / "missing"), PlatformError);
    EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
    std::ofstream(dir / "made") << "";
    FileHandle handle = openFileForWriting(dir / "made");
    EXPECT_TRUE(handle.isOpen());
    closeFileHandle(handle);
    EXPECT_FALSE(handle.isOpen());
}

}  // namespace
}  // namespace nimbuscrate
