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

TEST(DevSession, InstallsUnlockedKeysForTheStoredSessionAndClearRemovesThem) {
    TemporaryDirectory home;
    const auto backends = KeychainBackends::inDirectory(home / "nimbuscrate" / "shared" / "secrets");
    const std::string keys =
        R"({"accountId":"demo-user","publicKey":{"crv":"P-256"},"root":"cm9vdA","signingKey":{"d":"ZA"},"version":1})";
    std::ofstream(home / "keys.json") << keys;
    std::ofstream(home / "not-keys.json") << R"({"accountId":"demo-user","version":2})";

    // Keys belong to a session: none is stored yet.
    EXPECT_EQ(run(home, "install-keys " + (home / "keys.json").string()), 1);

    const auto session = DesktopSession::create({"at", "rt", Date::fromUnixSeconds(2e9)});
    std::ofstream(home / "session.json") << session.toJSON();
    ASSERT_EQ(run(home, "import " + (home / "session.json").string()), 0);
    EXPECT_EQ(run(home, "install-keys " + (home / "not-keys.json").string()), 1);
    EXPECT_EQ(run(home, "install-keys " + (home / "missing.json").string()), 1);
    const KeychainStore item("app.nimbuscrate.e2ee.keys", *session.sessionID, backends);
    EXPECT_FALSE(item.read());

    ASSERT_EQ(run(home, "install-keys " + (home / "keys.json").string()), 0);
    const auto stored = item.read();
    ASSERT_TRUE(stored);
    EXPECT_EQ(std::string(stored->begin(), stored->end()), keys);

    // Signing out takes the session's keys with it.
    EXPECT_EQ(run(home, "clear"), 0);
    EXPECT_FALSE(item.read());
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
