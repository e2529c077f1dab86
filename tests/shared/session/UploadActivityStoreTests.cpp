#include "shared/session/UploadActivityStore.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "platform/log/LogCapture.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Eventually.h"
#include "tests/support/TemporaryDirectory.h"

namespace nimbuscrate {
namespace {

using testing::ChildProcess;
using testing::eventually;
using testing::TemporaryDirectory;

struct Fixture {
    TemporaryDirectory dir;
    Defaults group{dir / "group.app.nimbuscrate.json"};
    std::shared_ptr<UploadActivityStore> store = std::make_shared<UploadActivityStore>(group);
    std::int64_t published() const { return group.integer("active-upload-count").value_or(-1); }
};

TEST(UploadActivityStore, OverlappingUploadsPublishInOrder) {
    Fixture f;
    std::vector<std::int64_t> seen;
    auto first = f.store->beginUpload();
    seen.push_back(f.published());
    auto second = f.store->beginUpload();
    seen.push_back(f.published());
    first->finish();
    seen.push_back(f.published());
    second->finish();
    seen.push_back(f.published());
    EXPECT_EQ(seen, (std::vector<std::int64_t>{1, 2, 1, 0}));
}

TEST(UploadActivityStore, ATokenCountsOnceHoweverItEnds) {
    Fixture f;
    auto kept = f.store->beginUpload();
    {
        auto twice = f.store->beginUpload();
        EXPECT_EQ(f.published(), 2);
        twice->finish();
        twice->finish();
        EXPECT_EQ(f.published(), 1);
    }  // dropped after finishing: no second decrement
    EXPECT_EQ(f.published(), 1);
    { auto dropped = f.store->beginUpload(); }  // dropped unfinished
    EXPECT_EQ(f.published(), 1);
    kept->finish();
    EXPECT_EQ(f.published(), 0);
    EXPECT_EQ(f.store->activeOperations(), 0u);
}

TEST(UploadActivityStore, ResetWhileUploadingWritesZeroAndStaysExact) {
    Fixture f;
    auto running = f.store->beginUpload();
    f.store->beginUpload();  // the returned token is dropped at once
    auto other = f.store->beginUpload();
    EXPECT_EQ(f.published(), 2);
    f.store->resetCount();
    EXPECT_EQ(f.published(), 0);
    auto fresh = f.store->beginUpload();
    EXPECT_EQ(f.published(), 1);
    running->finish();  // forgotten by the reset: the count stays exact and never negative
    EXPECT_EQ(f.published(), 1);
    fresh->finish();
    other->finish();
    EXPECT_EQ(f.published(), 0);
}

TEST(UploadActivityStore, TokenOutlivingItsStoreFinishesQuietly) {
    Fixture f;
    auto token = f.store->beginUpload();
    f.store.reset();
    token->finish();
    EXPECT_EQ(f.published(), 1);  // nobody left to lower it; the token did not crash
}

TEST(UploadActivityStore, ConcurrentThreadsNeverLoseACount) {
    Fixture f;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 25; ++i) f.store->beginUpload()->finish();
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(f.published(), 0);
}

TEST(UploadActivityStore, AnUnwritableSuiteNeverFailsAnUploadAndTheNextWriteIsExact) {
    // A regular file where the suite's folder should be: no write can
    // succeed, not even as root.
    TemporaryDirectory dir;
    const auto folder = dir / "suite";
    auto block = [&] {
        std::filesystem::remove_all(folder);
        std::ofstream(folder) << "not a folder";
    };
    auto unblock = [&] {
        std::filesystem::remove_all(folder);
        std::filesystem::create_directory(folder);
    };
    Defaults group(folder / "group.app.nimbuscrate.json");
    auto store = std::make_shared<UploadActivityStore>(group);
    LogCapture capture;
    block();

    std::shared_ptr<UploadActivityToken> first, second;
    ASSERT_NO_THROW(first = store->beginUpload());
    ASSERT_NO_THROW(second = store->beginUpload());
    ASSERT_TRUE(first && second);
    EXPECT_EQ(store->activeOperations(), 2u);
    EXPECT_NO_THROW(first->finish());
    EXPECT_NO_THROW({ auto dropped = store->beginUpload(); });  // finished by its destructor
    EXPECT_NO_THROW(store->resetCount());
    EXPECT_EQ(store->activeOperations(), 0u);
    EXPECT_FALSE(capture.matching("uploads", "could not be published").empty());

    unblock();
    auto third = store->beginUpload();
    EXPECT_EQ(group.integer("active-upload-count"), 1);
    second->finish();  // forgotten by the reset: the count stays exact
    EXPECT_EQ(group.integer("active-upload-count"), 1);

    block();
    auto fourth = store->beginUpload();
    EXPECT_EQ(store->activeOperations(), 2u);
    unblock();
    third->finish();
    EXPECT_EQ(group.integer("active-upload-count"), 1);  // the fourth, counted while the suite was unwritable
    fourth->finish();
    EXPECT_EQ(group.integer("active-upload-count"), 0);
}

TEST(UploadActivityStore, CountsFromTwoProcessesAddUp) {
    TemporaryDirectory dir;
    const auto file = dir / "group.json";
    // Each child begins three uploads, waits for the parent to see them, then
    // finishes two and waits again until the parent has checked the total.
    const auto seenAll = dir / "seen-all";
    const auto checked = dir / "checked";
    auto child = [&] {
        Defaults group(file);
        auto store = std::make_shared<UploadActivityStore>(group);
        auto a = store->beginUpload(), b = store->beginUpload(), c = store->beginUpload();
        while (!std::filesystem::exists(seenAll)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        a->finish();
        b->finish();
        while (!std::filesystem::exists(checked)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        // Keep c: the process exits with it unfinished, as a crash would.
        ::_exit(0);
        return true;
    };
    Defaults group(file);
    auto store = std::make_shared<UploadActivityStore>(group);
    auto mine = store->beginUpload();
    ChildProcess first(child), second(child);
    for (int i = 0; i < 2000 && group.integer("active-upload-count") != 7; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(group.integer("active-upload-count"), 7);
    std::ofstream(seenAll) << "x";
    for (int i = 0; i < 2000 && group.integer("active-upload-count") != 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(group.integer("active-upload-count"), 3);  // one left in each process
    std::ofstream(checked) << "x";
    EXPECT_TRUE(first.wait());
    EXPECT_TRUE(second.wait());
    // Both children are gone: the next write drops their shares.
    mine->finish();
    EXPECT_EQ(group.integer("active-upload-count"), 0);
}

// Counts the publications of a suite as the kernel sees them: each one
// creates a fresh file under a name of its own (which the kernel never
// merges with another event), then renames it over the suite's.
class SuiteWrites {
public:
    explicit SuiteWrites(const std::filesystem::path& file) : prefix_("." + file.filename().string() + ".tmp-") {
        descriptor_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (descriptor_ < 0 || ::inotify_add_watch(descriptor_, file.parent_path().c_str(), IN_CREATE) < 0) {
            ADD_FAILURE() << "cannot watch " << file.parent_path();
        }
    }
    ~SuiteWrites() { ::close(descriptor_); }
    int count() {
        alignas(inotify_event) char buffer[64 * 1024];
        ssize_t length;
        while ((length = ::read(descriptor_, buffer, sizeof buffer)) > 0) {
            for (char* at = buffer; at < buffer + length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(at);
                if (event->len > 0 && std::string(event->name).rfind(prefix_, 0) == 0) ++count_;
                at += sizeof(inotify_event) + event->len;
            }
        }
        return count_;
    }

private:
    std::string prefix_;
    int descriptor_ = -1;
    int count_ = 0;
};

TEST(UploadActivityStore, WithAnIntervalABurstIsPublishedAFewTimesAndTheLastCountAlways) {
    TemporaryDirectory dir;
    Defaults group(dir / "group.app.nimbuscrate.json");
    SuiteWrites writes(group.file());
    const auto interval = std::chrono::milliseconds(100);
    auto store = std::make_shared<UploadActivityStore>(group, interval);
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::shared_ptr<UploadActivityToken>> running;
    for (int index = 0; index < 300; ++index) {
        auto token = store->beginUpload();
        if (index % 100 == 0) {
            running.push_back(token);
        } else {
            token->finish();
        }
    }
    EXPECT_EQ(store->activeOperations(), 3u);
    ASSERT_TRUE(eventually([&] { return group.integer("active-upload-count") == 3; }));
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // 600 changes: one publication at once, then at most one an interval.
    EXPECT_GE(writes.count(), 1);
    EXPECT_LE(writes.count(), 2 + static_cast<int>(elapsed / 0.1)) << "in " << elapsed << " s";
    for (auto& token : running) token->finish();
    EXPECT_TRUE(eventually([&] { return group.integer("active-upload-count") == 0; }));
}

TEST(UploadActivityStore, WithAnIntervalTheFirstChangeGoesOutAtOnceAndTheLastWhenTheStoreGoes) {
    TemporaryDirectory dir;
    Defaults group(dir / "group.app.nimbuscrate.json");
    auto store = std::make_shared<UploadActivityStore>(group, std::chrono::seconds(60));
    auto first = store->beginUpload();
    // Far sooner than the interval: nothing was published before.
    EXPECT_TRUE(eventually([&] { return group.integer("active-upload-count") == 1; }, std::chrono::seconds(10)));
    auto second = store->beginUpload();
    auto third = store->beginUpload();
    first->finish();
    EXPECT_EQ(group.integer("active-upload-count"), 1);  // gathered until the interval ends
    store.reset();
    EXPECT_EQ(group.integer("active-upload-count"), 2);
    second->finish();  // the store is gone: nothing to lower
    EXPECT_EQ(group.integer("active-upload-count"), 2);
}

}  // namespace
}  // namespace nimbuscrate
