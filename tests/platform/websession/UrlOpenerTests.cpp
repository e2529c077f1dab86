#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/websession/UrlOpener.h"
#include "tests/support/Eventually.h"
#include "tests/support/TemporaryDirectory.h"

namespace nimbuscrate {
namespace {

using testing::eventually;
using testing::TemporaryDirectory;

std::string contentsOf(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(CommandUrlOpenerTest, TheURLIsOneArgumentThatNoShellReads) {
    TemporaryDirectory folder;
    const auto out = folder / "argument";
    // The command writes its last argument as it received it.
    CommandUrlOpener opener({"sh", "-c", "printf %s \"$1\" > '" + out.string() + "'", "opener"});
    const std::string url = "https://login.example/auth?a=1&b=$(touch " + (folder / "ran").string() +
                            ");touch " + (folder / "ran").string() + " 'q' \"d\" `x` *";
    std::atomic<bool> failed{false};
    ASSERT_TRUE(opener.open(url, [&] { failed = true; }));
    ASSERT_TRUE(eventually([&] { return contentsOf(out) == url; })) << contentsOf(out);
    EXPECT_FALSE(std::filesystem::exists(folder / "ran"));
    EXPECT_FALSE(failed);
}

TEST(CommandUrlOpenerTest, ACommandThatCannotStartOrFailsIsReported) {
    CommandUrlOpener missing({"nimbuscrate-no-such-command"});
    EXPECT_FALSE(missing.open("https://example/", [] { ADD_FAILURE() << "no failure after a refused start"; }));

    struct Case {
        const char* what;
        std::vector<std::string> command;
        bool fails;
    };
    const Case cases[] = {
        {"exit 0", {"true"}, false},
        {"exit 1", {"false"}, true},
        {"exit 4", {"sh", "-c", "exit 4", "opener"}, true},
        {"killed", {"sh", "-c", "kill -9 $$", "opener"}, true},
    };
    for (const Case& c : cases) {
        std::atomic<int> failures{0};
        {
            CommandUrlOpener opener(c.command);
            ASSERT_TRUE(opener.open("https://example/", [&] { ++failures; })) << c.what;
            if (c.fails) {
                EXPECT_TRUE(eventually([&] { return failures == 1; })) << c.what;
            }
        }
        // The opener has reaped what it ran; nothing is reported twice.
        EXPECT_EQ(failures, c.fails ? 1 : 0) << c.what;
    }
}

}  // namespace
}  // namespace nimbuscrate
