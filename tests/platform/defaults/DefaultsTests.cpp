#include "platform/defaults/Defaults.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/ChildProcess.h"
#include "tests/support/TemporaryDirectory.h"

namespace nimbuscrate {
namespace {

using testing::ChildProcess;
using testing::TemporaryDirectory;

TEST(Defaults, StoresIntegersBooleansAndStrings) {
    TemporaryDirectory dir;
    Defaults suite(dir / "suite.json");
    EXPECT_FALSE(suite.integer("n"));
    suite.setInteger("n", -7);
    suite.setBoolean("flag", true);
    suite.setString("name", "value");
    Defaults again(dir / "suite.json");  // another instance, as another process would see it
    EXPECT_EQ(again.integer("n"), -7);
    EXPECT_EQ(again.boolean("flag"), true);
    EXPECT_EQ(again.string("name"), "value");
    // A value of another type reads as absent.
    EXPECT_FALSE(again.integer("name"));
    again.remove("n");
    EXPECT_FALSE(suite.integer("n"));
}

TEST(Defaults, DamagedFileReadsAsEmptyAndIsReplacedOnWrite) {
    TemporaryDirectory dir;
    std::ofstream(dir / "suite.json") << "{not json";
    Defaults suite(dir / "suite.json");
    EXPECT_FALSE(suite.integer("n"));
    suite.setInteger("n", 1);
    EXPECT_EQ(suite.integer("n"), 1);
}

TEST(Defaults, ReadModifyWriteIsExactAcrossProcesses) {
    // Also for changes that do not wait for the disk: the lock is the same.
    for (FileSync sync : {FileSync::durable, FileSync::unsynced}) {
        SCOPED_TRACE(sync == FileSync::durable ? "durable" : "unsynced");
        TemporaryDirectory dir;
        const auto file = dir / "suite.json";
        auto increment = [&] {
            Defaults suite(file);
            for (int i = 0; i < 200; ++i) {
                suite.update([](nlohmann::json& values) { values["n"] = values.value("n", 0) + 1; }, sync);
            }
            return true;
        };
        ChildProcess first(increment), second(increment);
        increment();
        ASSERT_TRUE(first.wait());
        ASSERT_TRUE(second.wait());
        EXPECT_EQ(Defaults(file).integer("n"), 600);
    }
}

}  // namespace
}  // namespace nimbuscrate
