#include "platform/secretstore/FileSecretStore.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "tests/support/ChildProcess.h"
#include "tests/support/TemporaryDirectory.h"

namespace nimbuscrate {
namespace {

using testing::ChildProcess;
using testing::TemporaryDirectory;

const SecretItemKey kItem{"group", "app.nimbuscrate.session", "default"};

mode_t modeOf(const std::filesystem::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return 0;
    return info.st_mode & 07777;
}

TEST(FileSecretStore, StatusOfEachOperation) {
    TemporaryDirectory dir;
    FileSecretStore store(dir / "secrets");
    EXPECT_EQ(store.copy(kItem).status, kSecretItemNotFound);
    EXPECT_EQ(store.update(kItem, bytesOf("a")), kSecretItemNotFound);
    EXPECT_EQ(store.remove(kItem), kSecretItemNotFound);
    EXPECT_EQ(store.add(kItem, bytesOf("a")), kSecretSuccess);
    EXPECT_EQ(store.add(kItem, bytesOf("b")), kSecretDuplicateItem);
    EXPECT_EQ(store.copy(kItem).data, bytesOf("a"));
    EXPECT_EQ(store.update(kItem, bytesOf("c")), kSecretSuccess);
    const auto copied = store.copy(kItem);
    EXPECT_EQ(copied.status, kSecretSuccess);
    EXPECT_EQ(copied.data, bytesOf("c"));
    EXPECT_EQ(store.remove(kItem), kSecretSuccess);
    EXPECT_EQ(store.copy(kItem).status, kSecretItemNotFound);
}

TEST(FileSecretStore, ItemsAreKeyedByGroupServiceAndAccount) {
    TemporaryDirectory dir;
    FileSecretStore store(dir / "secrets");
    ASSERT_EQ(store.add(kItem, bytesOf("session")), kSecretSuccess);
    for (const SecretItemKey& other : {SecretItemKey{"other", kItem.service, kItem.account},
                                       SecretItemKey{kItem.accessGroup, "app.nimbuscrate.e2ee.keys", kItem.account},
                                       SecretItemKey{kItem.accessGroup, kItem.service, "Default"}}) {
        EXPECT_EQ(store.copy(other).status, kSecretItemNotFound) << other.accessGroup << other.service << other.account;
    }
    // Empty bytes are a valid item.
    const SecretItemKey empty{"group", "s", "empty"};
    ASSERT_EQ(store.add(empty, {}), kSecretSuccess);
    EXPECT_EQ(store.copy(empty).data, Bytes{});
}

TEST(FileSecretStore, PrivatePermissionsAndNoEscapeFromTheFolder) {
    TemporaryDirectory dir;
    const auto folder = dir / "secrets";
    FileSecretStore store(folder);
    // The identity item's account comes from the server: path tricks must stay names.
    const SecretItemKey hostile{"group", "app.nimbuscrate.e2ee.identity", "../../escape/" + std::string(300, 'x')};
    ASSERT_EQ(store.add(hostile, bytesOf("x")), kSecretSuccess);
    EXPECT_EQ(store.copy(hostile).data, bytesOf("x"));
    EXPECT_EQ(modeOf(folder), 0700u);
    int items = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().extension() == ".item") {
            ++items;
            EXPECT_EQ(modeOf(entry.path()), 0600u);
        }
    }
    EXPECT_EQ(items, 1);
    EXPECT_FALSE(std::filesystem::exists(dir / "escape"));
}

TEST(FileSecretStore, TightensAFolderThatIsTooOpen) {
    TemporaryDirectory dir;
    const auto folder = dir / "secrets";
    std::filesystem::create_directory(folder);
    ::chmod(folder.c_str(), 0755);
    FileSecretStore store(folder);
    EXPECT_EQ(store.add(kItem, bytesOf("a")), kSecretSuccess);
    EXPECT_EQ(modeOf(folder), 0700u);
}

TEST(FileSecretStore, RefusesAFolderThatIsALink) {
    TemporaryDirectory dir;
    std::filesystem::create_directory(dir / "elsewhere");
    std::filesystem::create_directory_symlink(dir / "elsewhere", dir / "secrets");
    FileSecretStore store(dir / "secrets");
    EXPECT_EQ(store.add(kItem, bytesOf("a")), kSecretIOError);
    EXPECT_EQ(store.copy(kItem).status, kSecretIOError);
    EXPECT_TRUE(std::filesystem::is_empty(dir / "elsewhere"));
}

TEST(FileSecretStore, DamagedItemReadsAsDecodeError) {
    TemporaryDirectory dir;
    FileSecretStore store(dir / "secrets");
    ASSERT_EQ(store.add(kItem, bytesOf("a")), kSecretSuccess);
    for (const auto& entry : std::filesystem::directory_iterator(dir / "secrets")) {
        if (entry.path().extension() == ".item") std::ofstream(entry.path()) << "{\"truncated";
    }
    EXPECT_EQ(store.copy(kItem).status, kSecretDecode);
}

TEST(FileSecretStore, ReaderInAnotherProcessNeverSeesATornItem) {
    TemporaryDirectory dir;
    const auto folder = dir / "secrets";
    // Two large values that differ in every byte: a torn read would mix them.
    const Bytes first(64 * 1024, 'a'), second(64 * 1024, 'b');
    ASSERT_EQ(FileSecretStore(folder).add(kItem, first), kSecretSuccess);
    ChildProcess writer([&] {
        FileSecretStore store(folder);
        for (int i = 0; i < 300; ++i) {
            if (store.update(kItem, i % 2 ? first : second) != kSecretSuccess) return false;
        }
        return true;
    });
    ChildProcess reader([&] {
        FileSecretStore store(folder);
        for (int i = 0; i < 600; ++i) {
            const auto result = store.copy(kItem);
            if (result.status != kSecretSuccess || (result.data != first && result.data != second)) return false;
        }
        return true;
    });
    EXPECT_TRUE(writer.wait());
    EXPECT_TRUE(reader.wait());
}

TEST(FileSecretStore, ItemLockExcludesOtherProcesses) {
    TemporaryDirectory dir;
    const auto folder = dir / "secrets";
    const auto marker = dir / "inside";
    // Each process takes the lock, checks nobody else is inside, marks itself
    // inside, waits a little, and leaves. Overlap would find the marker.
    auto critical = [&] {
        FileSecretStore store(folder);
        for (int i = 0; i < 20; ++i) {
            auto lock = store.lockItem(kItem);
            if (std::filesystem::exists(marker)) return false;
            std::ofstream(marker) << "x";
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            std::filesystem::remove(marker);
        }
        return true;
    };
    ChildProcess a(critical), b(critical);
    EXPECT_TRUE(a.wait());
    EXPECT_TRUE(b.wait());
}

}  // namespace
}  // namespace nimbuscrate
