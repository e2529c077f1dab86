#include "platform/fileprovider/Progress.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace nimbuscrate::fp {
namespace {

TEST(FileProviderProgress, CancelRunsTheHandlerOnceAndFiresTheStopToken) {
    Progress progress(100);
    int runs = 0;
    progress.setCancellationHandler([&] { ++runs; });
    auto token = progress.stopToken();
    EXPECT_FALSE(token.stop_requested());
    progress.cancel();
    progress.cancel();
    EXPECT_TRUE(progress.isCancelled());
    EXPECT_TRUE(token.stop_requested());
    EXPECT_EQ(runs, 1);
}

TEST(FileProviderProgress, AHandlerSetAfterCancellationRunsAtOnce) {
    Progress progress(1);
    progress.cancel();
    int runs = 0;
    progress.setCancellationHandler([&] { ++runs; });
    EXPECT_EQ(runs, 1);
}

TEST(FileProviderProgress, ConcurrentUnitsAllCount) {
    Progress progress(8000);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 1000; ++i) progress.addCompletedUnits(1);
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(progress.completedUnitCount(), 8000);
    EXPECT_TRUE(progress.isFinished());
}

TEST(FileProviderProgress, AnEmptyTotalIsNeverFinished) {
    Progress progress(0);
    EXPECT_FALSE(progress.isFinished());
    progress.setTotalUnitCount(1);
    progress.setCompletedUnitCount(1);
    EXPECT_TRUE(progress.isFinished());
}

}  // namespace
}  // namespace nimbuscrate::fp
