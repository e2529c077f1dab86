// The app's manager of a domain over the control channel, against a running
// host with the in-memory extension: eviction, waiting for changes, where an
// item is shown, and the materialized items page by page. Each completion
// must come exactly once. Real mounts: they need root and /dev/fuse, else skipped.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <future>
#include <set>
#include <string>

#include "platform/core/PlatformError.h"
#include "platform/fileprovider/host/ControlClient.h"
#include "platform/fileprovider/host/ControlProtocol.h"
#include "platform/fileprovider/host/HostDaemon.h"
#include "platform/fileprovider/testing/CompletionTracker.h"
#include "platform/fileprovider/testing/Gate.h"
#include "platform/fileprovider/testing/InMemoryExtension.h"
#include "platform/tasks/TaskPool.h"
#include "tests/support/MountTestSupport.h"

namespace nimbuscrate::fp::host {
namespace {

using ::testing::IsEmpty;
using testing::CompletionTracker;
using testing::InMemoryExtension;

using nimbuscrate::testing::canMount;
using nimbuscrate::testing::freshMountRoot;
using nimbuscrate::testing::readAll;

constexpr auto kPatience = std::chrono::seconds(30);
const Domain kDomain{"d", "Drive"};
// More than one page of materialized items (the host sends 200 a page).
constexpr int kManyFiles = 250;

std::string manyName(int i) { return "file-" + std::to_string(1000 + i) + ".txt"; }

// One page of an enumeration: what it delivered and its one finishing call.
class PageObserver final : public EnumerationObserver {
public:
    struct Finish {
        std::optional<Page> next;
        std::optional<Error> error;
    };

    explicit PageObserver(CompletionTracker::SlotPtr slot) : slot_(std::move(slot)) {}

    void didEnumerate(std::vector<ItemPtr> items) override {
        std::lock_guard lock(mutex_);
        for (auto& item : items) items_.push_back(std::move(item));
    }
    void finishUpTo(std::optional<Page> next) override {
        if (slot_->hit()) finished_.set_value(Finish{std::move(next), std::nullopt});
    }
    void finishWithError(Error error) override {
        if (slot_->hit()) finished_.set_value(Finish{std::nullopt, std::move(error)});
    }

    // The finish, or none when it did not come in time.
    std::optional<Finish> wait() {
        auto future = finished_.get_future();
        if (future.wait_for(kPatience) != std::future_status::ready) return std::nullopt;
        return future.get();
    }
    std::vector<ItemPtr> items() const {
        std::lock_guard lock(mutex_);
        return items_;
    }

private:
    CompletionTracker::SlotPtr slot_;
    std::promise<Finish> finished_;
    mutable std::mutex mutex_;
    std::vector<ItemPtr> items_;
};

class FileProviderHostChannelManager : public ::testing::Test {
protected:
    void SetUp() override {
        if (!canMount()) GTEST_SKIP() << "needs root and /dev/fuse to mount";
        root_ = freshMountRoot("/tmp", "fpcm");
        HostDaemon::Options options;
        options.home = root_ / "home";
        options.runtimeDirectory = root_ / "run";
        options.dataDirectory = root_ / "data";
        options.factory = [this](ExtensionEnvironment environment) -> ExtensionPtr {
            auto scratch = environment.temporaryDirectory;
            auto tree = std::make_shared<InMemoryExtension>(std::move(environment), scratch);
            auto docs = tree->addFolder(kRootContainer, "Docs");
            tree->addFile(docs, "inner.txt", "inner");
            tree->addFile(kRootContainer, "hello.txt", "Hello");
            auto many = tree->addFolder(kRootContainer, "Many");
            for (int i = 0; i < kManyFiles; ++i) tree->addFile(many, manyName(i), "file " + std::to_string(i));
            std::lock_guard lock(treeMutex_);
            tree_ = tree;
            many_ = many;
            return tree;
        };
        daemon_ = std::make_unique<HostDaemon>(options);
        daemon_->start();
        service_ = std::make_shared<ChannelDomainService>(daemon_->socketPath(), tasks_, answers_);
        ASSERT_EQ(await("addDomain", [&](auto done) { service_->addDomain(kDomain, done); }), std::nullopt);
        manager_ = service_->managerFor(kDomain);
    }

    void TearDown() override {
        manager_.reset();
        service_.reset();
        tasks_.waitIdle();
        if (daemon_) daemon_->stop();
        daemon_.reset();
        EXPECT_THAT(tracker_.check(), IsEmpty());
        std::error_code ignored;
        if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
    }

    // Starts a call whose completion must run exactly once; its result comes through the future.
    std::future<std::optional<Error>> start(const std::string& entry, const std::function<void(Manager::Completion)>& call) {
        auto answer = std::make_shared<std::promise<std::optional<Error>>>();
        auto slot = tracker_.open(entry);
        call([slot, answer](std::optional<Error> error) {
            if (slot->hit()) answer->set_value(std::move(error));
        });
        return answer->get_future();
    }

    // Makes the call and waits for its completion.
    std::optional<Error> await(const std::string& entry, const std::function<void(Manager::Completion)>& call) {
        auto answer = start(entry, call);
        if (answer.wait_for(kPatience) != std::future_status::ready) {
            ADD_FAILURE() << entry << " never completed";
            return channelError("never completed");
        }
        return answer.get();
    }

    std::shared_ptr<InMemoryExtension> tree() {
        std::lock_guard lock(treeMutex_);
        return tree_;
    }
    ItemId manyFolder() {
        std::lock_guard lock(treeMutex_);
        return many_;
    }
    DomainMount& mount() { return *daemon_->mountFor(kDomain.identifier); }
    // A shown item's node (its folder must have been listed).
    std::optional<ReplicaNode> shown(const std::filesystem::path& relative) {
        Inode inode = kRootInode;
        std::optional<ReplicaNode> node;
        for (const auto& name : relative) {
            node = mount().replica().child(inode, name.string());
            if (!node) return std::nullopt;
            inode = node->inode;
        }
        return node;
    }
    ItemId idOf(const std::filesystem::path& relative) {
        auto node = shown(relative);
        return node ? node->identifier : ItemId();
    }
    std::filesystem::path folder() const { return root_ / "home" / kDomain.displayName; }

    std::filesystem::path root_;
    TaskPool answers_{1};
    TaskPool tasks_{4};
    std::unique_ptr<HostDaemon> daemon_;
    std::shared_ptr<ChannelDomainService> service_;
    ManagerPtr manager_;
    CompletionTracker tracker_;
    std::mutex treeMutex_;
    std::shared_ptr<InMemoryExtension> tree_;
    ItemId many_;
};

TEST_F(FileProviderHostChannelManager, EvictionDropsAClosedCleanCopyAndRefusesOneInUse) {
    ASSERT_EQ(readAll(folder() / "hello.txt"), "Hello");
    // Held open: its copy cannot go.
    int held = ::open((folder() / "Docs" / "inner.txt").c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    auto hello = idOf("hello.txt");
    auto inner = idOf("Docs/inner.txt");
    ASSERT_FALSE(hello.empty());
    ASSERT_FALSE(inner.empty());

    struct Case {
        std::string what;
        ItemId item;
        std::optional<std::pair<std::string, long>> refusal;  // error domain and code; none: evicted
    };
    for (const auto& row : std::vector<Case>{
             {"a closed, clean copy", hello, std::nullopt},
             {"an open file", inner, std::pair<std::string, long>{kPOSIXErrorDomain, EBUSY}},
             {"a folder", idOf("Docs"), std::pair<std::string, long>{kPOSIXErrorDomain, EISDIR}},
             {"an unknown item", "no-such-item",
              std::pair<std::string, long>{kFileProviderErrorDomain, FileProviderErrorCode::noSuchItem}},
         }) {
        SCOPED_TRACE(row.what);
        auto error = await("evict " + row.what, [&](auto done) { manager_->evictItem(row.item, done); });
        if (!row.refusal) {
            EXPECT_EQ(error, std::nullopt);
        } else {
            ASSERT_TRUE(error.has_value());
            EXPECT_EQ(error->domain, row.refusal->first);
            EXPECT_EQ(error->code, row.refusal->second);
        }
    }
    // The evicted copy is gone and is downloaded again; the refused one stays.
    EXPECT_FALSE(shown("hello.txt")->materializedVersion.has_value());
    EXPECT_TRUE(shown("Docs/inner.txt")->materializedVersion.has_value());
    char first[5];
    EXPECT_EQ(::read(held, first, sizeof first), 5);
    EXPECT_EQ(std::string(first, 5), "inner");
    ::close(held);
    EXPECT_EQ(readAll(folder() / "hello.txt"), "Hello");
    EXPECT_EQ(tree()->fetches(hello), 2u);
    EXPECT_EQ(tree()->fetches(inner), 1u);
}

TEST_F(FileProviderHostChannelManager, WaitingForChangesEndsOnceTheyAreSent) {
    EXPECT_EQ(await("wait with nothing pending", [&](auto done) { manager_->waitForChangesBelow(kRootContainer, done); }),
              std::nullopt);

    auto gate = std::make_shared<testing::Gate>();
    tree()->holdAt("create", gate);
    std::ofstream(folder() / "new.txt") << "new";  // closed: its upload is queued
    ASSERT_TRUE(gate->waitForArrivals(1));
    auto waiting = start("wait for the new file", [&](auto done) { manager_->waitForChangesBelow(kRootContainer, done); });

    // A folder with nothing pending below it does not wait for the root's change.
    ASSERT_TRUE(std::filesystem::is_directory(folder() / "Docs"));
    EXPECT_EQ(await("wait below Docs", [&](auto done) { manager_->waitForChangesBelow(idOf("Docs"), done); }),
              std::nullopt);
    // Not sent yet: its copy is the only one and is not evicted.
    auto refused = await("evict the unsent file", [&](auto done) { manager_->evictItem(idOf("new.txt"), done); });
    ASSERT_TRUE(refused.has_value());
    EXPECT_EQ(refused->code, EBUSY);
    EXPECT_NE(waiting.wait_for(std::chrono::seconds(0)), std::future_status::ready);

    gate->open();
    ASSERT_EQ(waiting.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(waiting.get(), std::nullopt);
    auto created = shown("new.txt");
    ASSERT_TRUE(created.has_value());
    EXPECT_FALSE(isLocalIdentifier(created->identifier));
    EXPECT_EQ(tree()->contents(created->identifier), "new");
}

TEST_F(FileProviderHostChannelManager, UserVisiblePathsAreUnderTheMountFolder) {
    ASSERT_TRUE(std::filesystem::exists(folder() / "Docs" / "inner.txt"));  // listed
    struct Case {
        std::string what;
        ItemId item;
        std::optional<std::filesystem::path> path;  // none: no such item
    };
    for (const auto& row : std::vector<Case>{
             {"the root", kRootContainer, folder()},
             {"a folder", idOf("Docs"), folder() / "Docs"},
             {"a file in a folder", idOf("Docs/inner.txt"), folder() / "Docs" / "inner.txt"},
             {"an unknown item", "no-such-item", std::nullopt},
         }) {
        SCOPED_TRACE(row.what);
        std::optional<std::filesystem::path> path;
        auto error = await("path of " + row.what, [&](auto done) {
            manager_->userVisiblePath(row.item, [&path, done](std::optional<std::filesystem::path> shownAt,
                                                              std::optional<Error> failure) {
                path = std::move(shownAt);
                done(std::move(failure));
            });
        });
        EXPECT_EQ(path, row.path);
        if (row.path) {
            EXPECT_EQ(error, std::nullopt);
        } else {
            ASSERT_TRUE(error.has_value());
            EXPECT_EQ(error->code, FileProviderErrorCode::noSuchItem);
        }
    }
}

TEST_F(FileProviderHostChannelManager, MaterializedItemsComeInPagesToTheLast) {
    // Every file of the big folder is read, so cached; the folders are not listed.
    std::set<ItemId> expected;
    for (const auto& id : tree()->children(manyFolder())) expected.insert(id);
    ASSERT_EQ(expected.size(), static_cast<std::size_t>(kManyFiles));
    for (int i = 0; i < kManyFiles; ++i) {
        ASSERT_EQ(readAll(folder() / "Many" / manyName(i)), "file " + std::to_string(i));
    }

    auto enumerator = manager_->materializedItems();
    std::set<ItemId> found;
    int pages = 0;
    Page page;
    for (;;) {
        ++pages;
        ASSERT_LE(pages, 10) << "the pages never end";
        auto observer = std::make_shared<PageObserver>(tracker_.open("page " + std::to_string(pages)));
        enumerator->enumerateItems(observer, page);
        auto finish = observer->wait();
        ASSERT_TRUE(finish.has_value()) << "page " << pages << " never finished";
        ASSERT_EQ(finish->error, std::nullopt);
        for (const auto& item : observer->items()) {
            EXPECT_TRUE(found.insert(item->itemIdentifier()).second) << item->filename() << " came twice";
        }
        if (!finish->next) break;
        page = *finish->next;
    }
    EXPECT_EQ(pages, 2);
    EXPECT_EQ(found, expected);
}

}  // namespace
}  // namespace nimbuscrate::fp::host
