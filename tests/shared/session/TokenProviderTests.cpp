#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include "platform/core/CancellationError.h"
#include "platform/core/PlatformError.h"
#include "platform/http/ReplyDecodingError.h"
#include "platform/http/TransportError.h"
#include "shared/encryption/E2EEError.h"
#include "shared/session/DesktopError.h"
#include "shared/session/TokenProvider.h"
#include "tests/support/LocalServiceFixture.h"
#include "tests/support/Eventually.h"

extern char** environ;

namespace nimbuscrate {
namespace {

using localservice::Route;
using namespace std::chrono_literals;

const Route kTokenRoute{"POST", "", "/realms/nimbuscrate/protocol/openid-connect/token"};

class TokenProviderTest : public testing::LocalServiceFixture {
protected:
    OAuthClient oauth{HttpTransport::shared(), store, clock};
    TokenProvider provider{store, oauth, clock};
};

TEST_F(TokenProviderTest, WithoutASessionTheUserIsNotSignedIn) {
    try {
        provider.validAccessToken();
        FAIL();
    } catch (const DesktopError& error) {
        EXPECT_EQ(error.kind(), DesktopError::Kind::notAuthenticated);
    }
    store.save(bytesOf("{\"tokens\":1}"));
    EXPECT_THROW(provider.validAccessToken(), SessionDecodingError);
    EXPECT_EQ(service.grantCount(), 0u);
}

TEST_F(TokenProviderTest, ATokenWithNinetySecondsLeftIsUsedAsItIs) {
    const DesktopSession session = signIn(90.0);
    EXPECT_EQ(provider.validAccessToken(), session.tokens.accessToken);
    EXPECT_EQ(service.grantCount(), 0u);
    EXPECT_EQ(storedSession(), session);
}

TEST_F(TokenProviderTest, ATokenNearExpiryIsRefreshedAndStoredInTheSameSession) {
    const DriveSelection drive{"d1", "Nimbuscrate", *Url::parse("https://" NIMBUSCRATE_WEBAPP_HOST "/dav/spaces/d1")};
    const DesktopSession session = signIn(89.9, drive);
    const std::string token = provider.validAccessToken();
    EXPECT_NE(token, session.tokens.accessToken);
    EXPECT_TRUE(service.isAccessTokenLive(token));
    EXPECT_EQ(service.grantCount(), 1u);

    const auto stored = storedSession();
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->sessionID, session.sessionID);
    EXPECT_EQ(stored->drive, session.drive);
    EXPECT_EQ(stored->tokens.accessToken, token);
    EXPECT_TRUE(service.isRefreshTokenLive(stored->tokens.refreshToken));
    EXPECT_EQ(stored->tokens.expiresAt, clock.now().addingSeconds(3600));

    // Now fresh: no second grant.
    EXPECT_EQ(provider.validAccessToken(), token);
    EXPECT_EQ(service.grantCount(), 1u);
}

TEST_F(TokenProviderTest, AFailedRefreshWritesNothing) {
    enum class Expected { refused, undecodable, connectionLost };
    struct Case {
        const char* name;
        std::function<void()> arrange;
        Expected expected;
    };
    const std::string refusal = R"({"error":"invalid_grant"})";
    const Case cases[] = {
        {"provider refuses", [&] { service.overrideStatus(kTokenRoute, 400, 1, refusal); }, Expected::refused},
        {"malformed reply", [&] { service.overrideStatus(kTokenRoute, 200, 1, R"({"access_token":"x"})"); },
         Expected::undecodable},
        {"connection dropped", [&] { service.dropConnection(kTokenRoute, 1); }, Expected::connectionLost},
    };
    for (const Case& c : cases) {
        const DesktopSession session = signIn(10);
        c.arrange();
        // The refresh's own error reaches the caller unchanged.
        try {
            provider.validAccessToken();
            ADD_FAILURE() << c.name << ": no error";
        } catch (const DesktopError& error) {
            EXPECT_EQ(c.expected, Expected::refused) << c.name << ": " << error.what();
            EXPECT_EQ(error, DesktopError::server(400, refusal)) << c.name;
        } catch (const ReplyDecodingError& error) {
            EXPECT_EQ(c.expected, Expected::undecodable) << c.name << ": " << error.what();
        } catch (const TransportError& error) {
            EXPECT_EQ(c.expected, Expected::connectionLost) << c.name << ": " << error.what();
            EXPECT_EQ(error.kind(), TransportError::Kind::connectionLost) << c.name << ": " << error.what();
        } catch (const std::exception& error) {
            ADD_FAILURE() << c.name << ": " << error.what();
        }
        EXPECT_EQ(storedSession(), session) << c.name;
    }
    EXPECT_EQ(service.grantCount(), 0u);
}

// The grant's body holds the refresh token: a token endpoint that answers
// with a redirect must neither get it sent to another host nor have that
// host's answer taken for tokens.
TEST_F(TokenProviderTest, ARedirectFromTheTokenEndpointIsAFailedGrant) {
    const std::string elsewhere = "https://" NIMBUSCRATE_MEDIA_HOST "/collect";
    // Were the redirect followed, this host would hand out tokens.
    service.overrideReply(Route{"", NIMBUSCRATE_MEDIA_HOST, "/collect"},
                          {200, {{"Content-Type", "application/json"}},
                           R"({"access_token":"stolen","refresh_token":"stolen","expires_in":3600})"},
                          localservice::FaultKnobs::kEveryCall);
    for (const int status : {301, 302, 303, 307, 308}) {
        const DesktopSession session = signIn(10);
        service.overrideReply(kTokenRoute, {status, {{"Location", elsewhere}}, "moved"}, 1);
        try {
            provider.validAccessToken();
            ADD_FAILURE() << status << ": no error";
        } catch (const DesktopError& error) {
            EXPECT_EQ(error, DesktopError::server(status, "moved")) << status;
        } catch (const std::exception& error) {
            ADD_FAILURE() << status << ": " << error.what();
        }
        EXPECT_EQ(storedSession(), session) << status;
    }
    EXPECT_EQ(service.requests().matching("POST", kTokenRoute.pathPrefix).size(), 5u);
    for (const auto& request : service.requests().all()) {
        EXPECT_NE(request.host, NIMBUSCRATE_MEDIA_HOST) << request.method << " " << request.path;
    }
}

// The secret store of the fixture, with writes that fail while `failWrites` is set.
class FailingWrites final : public SecretBackend {
public:
    explicit FailingWrites(std::shared_ptr<FileSecretStore> store) : store_(std::move(store)) {}
    bool failWrites = false;
    SecretCopyResult copy(const SecretItemKey& key) override { return store_->copy(key); }
    SecretStatus update(const SecretItemKey& key, const Bytes& data) override {
        return failWrites ? kSecretIOError : store_->update(key, data);
    }
    SecretStatus add(const SecretItemKey& key, const Bytes& data) override {
        return failWrites ? kSecretIOError : store_->add(key, data);
    }
    SecretStatus remove(const SecretItemKey& key) override { return store_->remove(key); }

private:
    std::shared_ptr<FileSecretStore> store_;
};

TEST_F(TokenProviderTest, AStoreThatCannotSaveLosesTheRefreshAndTheNextCallRefreshesAgain) {
    const DesktopSession session = signIn(10);
    auto files = std::make_shared<FileSecretStore>(secrets);
    auto backend = std::make_shared<FailingWrites>(files);
    const KeychainStore failing(KeychainStore::kSessionService, KeychainStore::kSessionAccount,
                                KeychainBackends{backend, std::make_shared<UnavailableSecretBackend>(), files});
    OAuthClient failingOAuth(HttpTransport::shared(), failing, clock);
    TokenProvider failingProvider(failing, failingOAuth, clock);

    backend->failWrites = true;
    try {
        failingProvider.validAccessToken();
        FAIL();
    } catch (const PlatformError& error) {
        EXPECT_EQ(error.domain(), kOSStatusErrorDomain);
        EXPECT_EQ(error.code(), kSecretIOError);
    }
    EXPECT_EQ(storedSession(), session);
    EXPECT_EQ(service.grantCount(), 1u);

    backend->failWrites = false;
    const std::string token = failingProvider.validAccessToken();
    EXPECT_EQ(service.grantCount(), 2u);
    EXPECT_EQ(storedSession()->tokens.accessToken, token);
}

TEST_F(TokenProviderTest, ASessionWithoutIdentifierIsRefreshedWhileTheStoreHasNoneEither) {
    DesktopSession session = signIn(-5);  // already expired
    session.sessionID.reset();
    storeSession(session);
    const std::string token = provider.validAccessToken();
    const auto stored = storedSession();
    ASSERT_TRUE(stored);
    EXPECT_FALSE(stored->sessionID.has_value());
    EXPECT_EQ(stored->tokens.accessToken, token);
}

TEST_F(TokenProviderTest, ASessionReplacedDuringTheRefreshFailsAndIsLeftAlone) {
    struct Case {
        const char* name;
        bool replacementHasIdentifier;
        bool firstHasIdentifier;
    };
    const Case cases[] = {
        {"new sign-in with a new identifier", true, true},
        {"a session with an identifier replaces one without", true, false},
        {"sign-out", false, true},
    };
    for (const Case& c : cases) {
        DesktopSession session = signIn(30);
        if (!c.firstHasIdentifier) {
            session.sessionID.reset();
            storeSession(session);
        }
        auto gate = service.hold(kTokenRoute);
        std::exception_ptr outcome;
        std::thread caller([&] {
            try {
                provider.validAccessToken();
            } catch (...) {
                outcome = std::current_exception();
            }
        });
        ASSERT_TRUE(gate->waitForArrivals(1, 10s)) << c.name;
        std::optional<DesktopSession> replacement;
        if (std::string(c.name) == "sign-out") {
            store.deleteItem();
        } else {
            replacement = DesktopSession::create(OAuthTokens{"other", "other-refresh", clock.now().addingSeconds(3600)});
            storeSession(*replacement);
        }
        gate->open();
        caller.join();
        service.clearFaults();
        ASSERT_TRUE(outcome) << c.name;
        try {
            std::rethrow_exception(outcome);
        } catch (const E2EEError& error) {
            EXPECT_EQ(error.kind(), E2EEError::Case::sessionChanged) << c.name;
        } catch (const std::exception& error) {
            ADD_FAILURE() << c.name << ": " << error.what();
        }
        EXPECT_EQ(storedSession(), replacement) << c.name;
    }
}

TEST_F(TokenProviderTest, EightCallersNearExpiryShareOneGrant) {
    service.rotateRefreshTokens(true);
    signIn(20);
    auto gate = service.hold(kTokenRoute);
    std::vector<std::string> tokens(8);
    std::vector<std::exception_ptr> errors(8);
    std::vector<std::thread> callers;
    for (std::size_t i = 0; i < 8; ++i) {
        callers.emplace_back([&, i] {
            try {
                tokens[i] = provider.validAccessToken();
            } catch (...) {
                errors[i] = std::current_exception();
            }
        });
    }
    ASSERT_TRUE(gate->waitForArrivals(1, 10s));
    gate->open();
    for (auto& caller : callers) caller.join();

    EXPECT_EQ(service.grantCount(), 1u);
    EXPECT_EQ(gate->arrivals(), 1u);
    const auto stored = storedSession();
    ASSERT_TRUE(stored);
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_FALSE(errors[i]) << "caller " << i;
        EXPECT_EQ(tokens[i], stored->tokens.accessToken) << "caller " << i;
    }
    EXPECT_TRUE(service.isRefreshTokenLive(stored->tokens.refreshToken));
}

// The fixture's clock, noting which threads asked it for the time. A caller
// asks right after reading the session, before it decides to wait for
// another caller's refresh.
class WatchedClock final : public Clock {
public:
    explicit WatchedClock(Clock& inner) : inner_(inner) {}
    Date now() const override {
        {
            std::lock_guard lock(mutex_);
            askers_.insert(::gettid());
        }
        return inner_.now();
    }
    double monotonicSeconds() const override { return inner_.monotonicSeconds(); }
    bool sleepFor(Duration duration, std::stop_token stop) override { return inner_.sleepFor(duration, stop); }

    bool asked(pid_t thread) const {
        std::lock_guard lock(mutex_);
        return askers_.contains(thread);
    }

private:
    Clock& inner_;
    mutable std::mutex mutex_;
    mutable std::set<pid_t> askers_;
};

// Runs a function when it goes out of scope.
class AtExit {
public:
    explicit AtExit(std::function<void()> f) : f_(std::move(f)) {}
    ~AtExit() { f_(); }
    AtExit(const AtExit&) = delete;
    AtExit& operator=(const AtExit&) = delete;

private:
    std::function<void()> f_;
};

// Whether a thread of this process is asleep (blocked), from its /proc state.
bool isAsleep(pid_t thread) {
    std::ifstream stat("/proc/self/task/" + std::to_string(thread) + "/stat");
    std::string line;
    std::getline(stat, line);
    const std::size_t end = line.rfind(')');  // the state follows the command name
    return end != std::string::npos && end + 2 < line.size() && line[end + 2] == 'S';
}

using nimbuscrate::testing::eventually;

TEST_F(TokenProviderTest, AWaitingCallerCanBeCancelled) {
    signIn(20);
    WatchedClock watched(clock);
    TokenProvider watchedProvider(store, oauth, watched);
    auto gate = service.hold(kTokenRoute);
    std::stop_source stop;
    std::atomic<pid_t> waiterThread{0};

    auto refresher = std::async(std::launch::async, [&] { return watchedProvider.validAccessToken(); });
    ASSERT_TRUE(gate->waitForArrivals(1, 10s));
    // The second caller finds the token near expiry while the first one's
    // grant is held at the provider: it waits for that grant.
    auto waiter = std::async(std::launch::async, [&] {
        waiterThread = ::gettid();
        return watchedProvider.validAccessToken(stop.get_token());
    });
    // Whatever happens below, nothing is left blocked at the end.
    const AtExit release([&] {
        stop.request_stop();
        gate->open();
    });

    // Past its look at the session, and asleep: the only place it can sleep
    // then is the wait for the other caller's grant.
    ASSERT_TRUE(eventually([&] {
        const pid_t thread = waiterThread;
        return thread != 0 && watched.asked(thread) && isAsleep(thread);
    })) << "the second caller never blocked";
    EXPECT_EQ(waiter.wait_for(0s), std::future_status::timeout);

    stop.request_stop();
    ASSERT_EQ(waiter.wait_for(30s), std::future_status::ready) << "the stop request must end the wait";
    EXPECT_THROW(waiter.get(), CancellationError);
    EXPECT_EQ(gate->arrivals(), 1u) << "the waiter sent no grant of its own";

    // The first caller's grant is untouched by the other's stop.
    gate->open();
    const std::string token = refresher.get();
    EXPECT_EQ(service.grantCount(), 1u);
    const auto stored = storedSession();
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->tokens.accessToken, token);
}

// Once a grant is on its way the provider may already have spent the old
// refresh token; dropping the reply would leave a dead one stored and sign
// the user out. The grant runs to its end and its tokens are stored even
// when the caller that started it asked to stop.
TEST_F(TokenProviderTest, AStopRequestNeverDropsAGrantInFlight) {
    service.rotateRefreshTokens(true);
    signIn(20);
    auto gate = service.hold(kTokenRoute);
    std::stop_source stop;
    auto refresher = std::async(std::launch::async, [&] { return provider.validAccessToken(stop.get_token()); });
    ASSERT_TRUE(gate->waitForArrivals(1, 10s));
    stop.request_stop();
    // A refresher that gave up would be done by now; one that waits for the
    // reply is not.
    EXPECT_EQ(refresher.wait_for(3s), std::future_status::timeout);
    gate->open();
    std::string token;
    try {
        token = refresher.get();
    } catch (const CancellationError&) {
    }
    service.clearFaults();

    EXPECT_EQ(service.grantCount(), 1u);
    const auto stored = storedSession();
    ASSERT_TRUE(stored);
    EXPECT_TRUE(service.isRefreshTokenLive(stored->tokens.refreshToken));
    EXPECT_TRUE(service.isAccessTokenLive(stored->tokens.accessToken));
    if (!token.empty()) {
        EXPECT_EQ(token, stored->tokens.accessToken);
    }
    // The stored tokens are fresh: no second grant.
    EXPECT_EQ(provider.validAccessToken(), stored->tokens.accessToken);
    EXPECT_EQ(service.grantCount(), 1u);
}

// ---- Two programs refreshing the same stored session ----

constexpr const char* kChildSecretsVariable = "NIMBUSCRATE_TEST_TOKEN_CHILD_SECRETS";

// Runs only inside the child processes started below: one refresh over the
// shared secret store, with the real clock, like the app or the extension.
TEST(TokenProviderChildProcess, RefreshesTheSharedSession) {
    const char* secrets = std::getenv(kChildSecretsVariable);
    if (!secrets) GTEST_SKIP() << "runs only as a child of TwoProcessesLeaveALiveRefreshToken";
    KeychainStore store(KeychainStore::kSessionService, KeychainStore::kSessionAccount,
                        KeychainBackends::inDirectory(secrets));
    OAuthClient oauth(HttpTransport::shared(), store);
    TokenProvider provider(store, oauth);
    const std::string token = provider.validAccessToken();
    EXPECT_FALSE(token.empty());
}

pid_t startChild(const std::filesystem::path& secrets) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) environment.emplace_back(*entry);
    environment.push_back(std::string(kChildSecretsVariable) + "=" + secrets.string());
    std::vector<char*> envp;
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string program = std::filesystem::read_symlink("/proc/self/exe").string();
    std::string filter = "--gtest_filter=TokenProviderChildProcess.*";
    char* argv[] = {program.data(), filter.data(), nullptr};
    pid_t pid = 0;
    if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, envp.data()) != 0) return -1;
    return pid;
}

// True once the process waits for a file lock (a blocked waiter in
// /proc/locks) or a second grant reached the provider.
bool waitUntilBlockedOrArrived(pid_t pid, const localservice::HoldGate& gate) {
    const std::string waiter = " " + std::to_string(pid) + " ";
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (gate.arrivals() >= 2) return true;
        std::ifstream locks("/proc/locks");
        for (std::string line; std::getline(locks, line);) {
            if (line.find("->") != std::string::npos && line.find(waiter) != std::string::npos) return true;
        }
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

TEST_F(TokenProviderTest, TwoProcessesLeaveALiveRefreshToken) {
    service.rotateRefreshTokens(true);
    service.useForThisProcess();
    // The children use the real clock.
    const localservice::IssuedTokens issued = service.issueTokens();
    storeSession(DesktopSession::create(OAuthTokens{issued.accessToken, issued.refreshToken, Date::now().addingSeconds(30)}));

    // The first child's grant waits at the provider while the second child
    // tries to refresh as well: it must wait for the lock (or, were there
    // none, send a second grant with the same refresh token).
    auto gate = service.hold(kTokenRoute);
    const pid_t first = startChild(secrets);
    ASSERT_GT(first, 0);
    ASSERT_TRUE(gate->waitForArrivals(1, 30s));
    const pid_t second = startChild(secrets);
    ASSERT_GT(second, 0);
    EXPECT_TRUE(waitUntilBlockedOrArrived(second, *gate));
    gate->open();
    for (pid_t child : {first, second}) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child " << child << " status " << status;
    }
    ::unsetenv("NIMBUSCRATE_DEV_SERVICE");
    ::unsetenv("NIMBUSCRATE_DEV_CA_FILE");

    EXPECT_EQ(service.grantCount(), 1u);
    const auto stored = storedSession();
    ASSERT_TRUE(stored);
    EXPECT_TRUE(service.isRefreshTokenLive(stored->tokens.refreshToken));
    // And the provider really accepts it.
    const OAuthTokens next = oauth.refresh(stored->tokens.refreshToken);
    EXPECT_TRUE(service.isAccessTokenLive(next.accessToken));
}

}  // namespace
}  // namespace nimbuscrate
