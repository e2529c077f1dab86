#include "platform/log/LogCapture.h"

#include <gtest/gtest.h>

#include <thread>

namespace nimbuscrate {
namespace {

TEST(Logger, CaptureRecordsLinesWhileAlive) {
    const Logger eviction("app.nimbuscrate.fileprovider", "eviction");
    const Logger network("app.nimbuscrate.fileprovider", "network");
    eviction.info("before any capture");
    {
        LogCapture capture;
        eviction.notice("evicted path:/a.txt");
        network.error("request failed: 503");
        const auto entries = capture.entries();
        ASSERT_EQ(entries.size(), 2u);
        EXPECT_EQ(entries[0].subsystem, "app.nimbuscrate.fileprovider");
        EXPECT_EQ(entries[0].category, "eviction");
        EXPECT_EQ(entries[0].level, LogLevel::notice);
        EXPECT_EQ(entries[1].message, "request failed: 503");
        EXPECT_EQ(capture.matching("eviction", "path:/a.txt").size(), 1u);
        EXPECT_TRUE(capture.matching("network", "path:/a.txt").empty());
        EXPECT_FALSE(capture.contains("before any capture"));
    }
    LogCapture later;
    eviction.info("after");
    EXPECT_EQ(later.entries().size(), 1u);
}

TEST(Logger, CaptureIsSafeFromManyThreads) {
    LogCapture capture;
    const Logger logger("app.nimbuscrate.fileprovider", "enumeration");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 100; ++i) logger.debug("line");
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(capture.entries().size(), 400u);
}

}  // namespace
}  // namespace nimbuscrate
