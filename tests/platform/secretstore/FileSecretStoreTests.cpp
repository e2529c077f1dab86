#include "platform/secretstore/FileSecretStore.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <vector>

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
    { auto held = store.lockItem(hostile); }  // leaves the item's lock file behind
    EXPECT_EQ(modeOf(folder), 0700u);
    int items = 0, locks = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const auto extension = entry.path().extension();
        if (extension == ".item") ++items;
        if (extension == ".lock") ++locks;
        EXPECT_EQ(modeOf(entry.path()), 0600u) << entry.path();
    }
    EXPECT_EQ(items, 1);
    EXPECT_EQ(locks, 2);  // the store's lock and the item's lock
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

TEST(FileSecretStore, ReadingChangesNothingOnDisk) {
    TemporaryDirectory dir;
    const auto folder = dir / "secrets";
    FileSecretStore store(folder);
    // No folder yet: no item, and no folder made by looking.
    EXPECT_EQ(store.copy(kItem).status, kSecretItemNotFound);
    EXPECT_FALSE(std::filesystem::exists(folder));
    // A folder that is too open is read as it is; only a save tightens it.
    std::filesystem::create_directory(folder);
    ::chmod(folder.c_str(), 0755);
    EXPECT_EQ(store.copy(kItem).status, kSecretItemNotFound);
    EXPECT_EQ(modeOf(folder), 0755u);
    EXPECT_TRUE(std::filesystem::is_empty(folder));
}

// The one file of the store's folder whose name ends with the extension.
std::filesystem::path onlyFileWithExtension(const std::filesystem::path& folder, const std::string& extension) {
    std::vector<std::filesystem::path> found;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().extension() == extension) found.push_back(entry.path());
    }
    if (found.size() != 1) throw std::runtime_error("expected one " + extension + " file");
    return found.front();
}

TEST(FileSecretStore, AnythingButARegularFileInAnItemsPlaceIsRefusedWithoutBlocking) {
    TemporaryDirectory dir;
    const auto folder = dir / "secrets";
    FileSecretStore store(folder);
    ASSERT_EQ(store.add(kItem, bytesOf("a")), kSecretSuccess);
    const auto itemFile = onlyFileWithExtension(folder, ".item");
    // A FIFO with no writer: an ordinary open would wait for ever.
    std::filesystem::remove(itemFile);
    ASSERT_EQ(::mkfifo(itemFile.c_str(), 0600), 0);
    EXPECT_EQ(store.copy(kItem).status, kSecretIOError);
    // A folder and a link are refused the same way.
    std::filesystem::remove(itemFile);
    std::filesystem::create_directory(itemFile);
    EXPECT_EQ(store.copy(kItem).status, kSecretIOError);
    std::filesystem::remove(itemFile);
    std::ofstream(dir / "elsewhere") << "{}";
    std::filesystem::create_symlink(dir / "elsewhere", itemFile);
    EXPECT_EQ(store.copy(kItem).status, kSecretIOError);
}

TEST(FileSecretStore, ASaveRemovesWhatACrashedSaveLeftBehind) {
    TemporaryDirectory dir;
    const auto folder = dir / "secrets";
    FileSecretStore store(folder);
    ASSERT_EQ(store.add(kItem, bytesOf("a")), kSecretSuccess);
    // What a save that died between writing and renaming leaves.
    const auto itemName = onlyFileWithExtension(folder, ".item").filename().string();
    const auto leftover = folder / ("." + itemName + ".tmp-00112233aabbccdd");
    std::ofstream(leftover) << "half a secret";
    EXPECT_EQ(store.copy(kItem).data, bytesOf("a"));
    EXPECT_TRUE(std::filesystem::exists(leftover));  // reading changes nothing
    ASSERT_EQ(store.update(kItem, bytesOf("b")), kSecretSuccess);
    EXPECT_FALSE(std::filesystem::exists(leftover));
    EXPECT_EQ(store.copy(kItem).data, bytesOf("b"));
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos) << entry.path();
    }
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
    const auto readerDone = dir / "reader-done";
    const auto writerDone = dir / "writer-done";
    // Two large values that differ in every byte: a torn read would mix them.
    const Bytes first(64 * 1024, 'a'), second(64 * 1024, 'b');
    constexpr int kChangesToSee = 6;
    ASSERT_EQ(FileSecretStore(folder).add(kItem, first), kSecretSuccess);
    // The writer alternates the two values until the reader has seen enough
    // changes (at most a fixed number of saves).
    ChildProcess writer([&] {
        FileSecretStore store(folder);
        bool ok = true;
        for (int i = 0; i < 5000 && ok && !std::filesystem::exists(readerDone); ++i) {
            ok = store.update(kItem, i % 2 ? first : second) == kSecretSuccess;
        }
        std::ofstream(writerDone) << "x";
        return ok;
    });
    // The reader reads while the writer runs and counts how often the value
    // it sees changed; both values seen several times proves the two overlapped.
    ChildProcess reader([&] {
        FileSecretStore store(folder);
        int changes = 0;
        char last = 'a';
        bool ok = true;
        while (ok && changes < kChangesToSee) {
            const bool writerFinished = std::filesystem::exists(writerDone);
            const auto result = store.copy(kItem);
            ok = result.status == kSecretSuccess && (result.data == first || result.data == second);
            if (ok && result.data->front() != last) {
                last = static_cast<char>(result.data->front());
                ++changes;
            }
            if (writerFinished) break;  // its last value has been read
        }
        std::ofstream(readerDone) << "x";
        return ok && changes >= kChangesToSee;
    });
    EXPECT_TRUE(writer.wait());
    EXPECT_TRUE(reader.wait()) << "a torn or failed read, or the reader saw fewer than " << kChangesToSee
                               << " changes";
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
