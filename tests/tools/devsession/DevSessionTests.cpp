#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "shared/session/KeychainStore.h"
#include "tests/support/TemporaryDirectory.h"

namespace nimbuscrate {
namespace {

using testing::TemporaryDirectory;

int run(const TemporaryDirectory& home, const std::string& arguments) {
    const std::string command = "XDG_DATA_HOME=" + home.path().string() + " " DEV_SESSION_PROGRAM " " + arguments +
                                " >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(DevSession, ImportsIntoTheSharedStoreAndClears) {
    TemporaryDirectory home;
    const auto session = DesktopSession::create({"at", "rt", Date::fromUnixSeconds(2e9)});
    std::ofstream(home / "session.json") << session.toJSON();
    ASSERT_EQ(run(home, "import " + (home / "session.json").string()), 0);

    // What the programs read: the shared store under the data root.
    const KeychainStore store(KeychainStore::kSessionService, KeychainStore::kSessionAccount,
                              KeychainBackends::inDirectory(home / "nimbuscrate" / "shared" / "secrets"));
    EXPECT_EQ(store.loadSession(), session);
    EXPECT_EQ(run(home, "show"), 0);
    EXPECT_EQ(run(home, "clear"), 0);
    EXPECT_FALSE(store.read());
}

TEST(DevSession, RefusesWhatIsNotASession) {
    TemporaryDirectory home;
    std::ofstream(home / "bad.json") << R"({"tokens":{"accessToken":"a"}})";
    EXPECT_EQ(run(home, "import " + (home / "bad.json").string()), 1);
    EXPECT_EQ(run(home, "import " + (home / "missing.json").string()), 1);
    EXPECT_EQ(run(home, "bogus"), 2);
}

}  // namespace
}  // namespace nimbuscrate
