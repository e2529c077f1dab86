#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <thread>

#include "platform/fileprovider/host/ControlClient.h"
#include "platform/fileprovider/host/ControlProtocol.h"
#include "platform/fileprovider/host/HostDaemon.h"
#include "platform/fileprovider/testing/CompletionTracker.h"
#include "platform/fileprovider/testing/Gate.h"
#include "platform/fileprovider/testing/InMemoryExtension.h"
#include "tests/support/MountTestSupport.h"
#include "tests/support/Eventually.h"

namespace nimbuscrate::fp::host {
namespace {

using ::testing::HasSubstr;

std::filesystem::path freshFolder(const std::string& name) {
    auto path = std::filesystem::temp_directory_path() / ("fp-host-" + std::to_string(::getpid()) + "-" + name);
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
    return path;
}

HostDaemon::Options daemonOptions(const std::filesystem::path& root) {
    HostDaemon::Options options;
    options.home = root / "home";
    options.runtimeDirectory = root / "run";
    options.dataDirectory = root / "data";
    options.factory = [](ExtensionEnvironment environment) -> ExtensionPtr {
        auto scratch = environment.temporaryDirectory;
        return std::make_shared<testing::InMemoryExtension>(std::move(environment), scratch);
    };
    return options;
}

using nimbuscrate::testing::connectTo;

std::string readLine(int descriptor) {
    std::string line;
    char c;
    while (::recv(descriptor, &c, 1, 0) == 1) {
        if (c == '\n') return line;
        line.push_back(c);
    }
    return line;
}

// Sends one request line and returns the reply line.
std::string ask(int descriptor, const std::string& request) {
    std::string line = request + "\n";
    if (::send(descriptor, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) return {};
    return readLine(descriptor);
}

using nimbuscrate::testing::eventually;

// Asks for the domains; the future holds the call's error (none on success).
std::future<std::optional<Error>> askForDomains(ChannelDomainService& service, testing::CompletionTracker& tracker) {
    auto answer = std::make_shared<std::promise<std::optional<Error>>>();
    service.getDomains(tracker.wrap<std::vector<Domain>, std::optional<Error>>(
        "getDomains", [answer](std::vector<Domain>, std::optional<Error> error) { answer->set_value(error); }));
    return answer->get_future();
}

// A socket file that nobody serves, as a host that died leaves it.
void leaveStaleSocket(const std::filesystem::path& path) {
    std::filesystem::create_directories(path.parent_path());
    int descriptor = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(::bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ::close(descriptor);  // not unlinked
}

TEST(FileProviderHostControl, MalformedRequestsGetAnErrorReplyAndServingGoesOn) {
    auto root = freshFolder("malformed");
    HostDaemon daemon(daemonOptions(root));
    daemon.start();
    int connection = connectTo(daemon.socketPath());
    ASSERT_GE(connection, 0);

    struct Case {
        std::string line;
        nlohmann::json expectedId;
        std::string expectedText;  // in the error description; empty: success
    };
    std::vector<Case> cases = {
        {"this is not json", nullptr, "not valid JSON"},
        {"[1, 2, 3]", nullptr, "JSON object"},
        {R"({"op": "getDomains"})", nullptr, "integer \"id\""},
        {R"({"id": "7", "op": "getDomains"})", nullptr, "integer \"id\""},
        {std::string(kMaxLineLength + 10, 'x'), nullptr, "too long"},
        {R"({"id": 5, "op": "makeCoffee"})", 5, "Unknown operation"},
        {R"({"id": 6})", 6, "\"op\""},
        {R"({"id": 8, "op": "addDomain"})", 8, "\"domain\""},
        {R"({"id": 9, "op": "addDomain", "domain": {"identifier": "../escape", "displayName": "X"}})", 9, "identifier"},
        {R"({"id": 10, "op": "addDomain", "domain": {"identifier": "ok", "displayName": "a/b"}})", 10, "display name"},
        {R"({"id": 11, "op": "signal", "domain": {"identifier": "unknown"}})", 11, "No domain"},
        {R"({"id": 12, "op": "removeDomain", "domain": {"identifier": "unknown"}})", 12, "No domain"},
        {R"({"id": 13, "op": "signal", "domain": {"identifier": 4}})", 13, "identifier"},
        {R"({"id": 15, "op": "fetchThumbnail", "domain": {"identifier": "d"}, "item": "x", "file": "/tmp/t"})", 15, "\"size\""},
        {R"({"id": 16, "op": "fetchThumbnail", "domain": {"identifier": "d"}, "size": 0, "file": "/tmp/t"})", 16, "\"size\""},
        {R"({"id": 17, "op": "fetchThumbnail", "domain": {"identifier": "d"}, "size": 4097, "file": "/tmp/t"})", 17, "\"size\""},
        {R"({"id": 18, "op": "fetchThumbnail", "domain": {"identifier": "d"}, "size": 64})", 18, "\"file\""},
        {R"({"id": 19, "op": "fetchThumbnail", "domain": {"identifier": "d"}, "size": 64, "file": "t.jpg"})", 19, "absolute"},
        {R"({"id": 20, "op": "fetchThumbnail", "domain": {"identifier": "d"}, "size": 64, "file": "/tmp/t"})", 20, "No domain"},
        {R"({"id": 14, "op": "getDomains"})", 14, ""},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.line.substr(0, 80));
        std::string line = row.line + "\n";
        ASSERT_EQ(::send(connection, line.data(), line.size(), MSG_NOSIGNAL), static_cast<ssize_t>(line.size()));
        auto reply = nlohmann::json::parse(readLine(connection), nullptr, false);
        ASSERT_TRUE(reply.is_object());
        EXPECT_EQ(reply["id"], row.expectedId);
        if (row.expectedText.empty()) {
            EXPECT_TRUE(reply["ok"].get<bool>());
            EXPECT_EQ(reply["domains"], nlohmann::json::array());
        } else {
            EXPECT_FALSE(reply["ok"].get<bool>());
            EXPECT_THAT(reply["error"]["userInfo"]["description"].get<std::string>(), HasSubstr(row.expectedText));
        }
    }
    ::close(connection);
    daemon.stop();
    std::filesystem::remove_all(root);
}

TEST(FileProviderHostControl, ADroppedConnectionFailsEachPendingCallOnceWith4097) {
    auto root = freshFolder("dropped");
    auto socketPath = root / "fake.sock";
    int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(::listen(listener, 1), 0);

    // A host that reads three requests, answers none and hangs up.
    std::thread host([listener] {
        int client = ::accept(listener, nullptr, nullptr);
        for (int i = 0; i < 3; ++i) readLine(client);
        ::close(client);
    });

    TaskPool tasks(2);
    auto client = ControlClient::connect(socketPath, tasks);
    std::mutex mutex;
    std::map<int, std::vector<Error>> failures;
    std::atomic<int> answered{0};
    std::promise<void> allAnswered;
    for (int i = 0; i < 4; ++i) {
        if (i == 3) {
            host.join();  // the connection is gone before the fourth call
            while (client->connected()) std::this_thread::yield();
        }
        client->call({{"op", "getDomains"}}, [&, i](ControlClient::Reply reply) {
            {
                std::lock_guard lock(mutex);
                if (std::holds_alternative<Error>(reply)) failures[i].push_back(std::get<Error>(reply));
            }
            if (++answered == 4) allAnswered.set_value();
        });
    }
    allAnswered.get_future().wait();
    tasks.waitIdle();
    EXPECT_EQ(answered, 4);
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(failures[i].size(), 1u);
        EXPECT_EQ(failures[i][0].domain, kCocoaErrorDomain);
        EXPECT_EQ(failures[i][0].code, CocoaErrorCode::connectionInterrupted);
    }
    ::close(listener);
    std::filesystem::remove_all(root);
}

std::size_t threadsOfThisProcess() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++count;
    return count;
}

// A listening socket in `root`, served by `host` (given the accepted connection).
struct FakeHost {
    FakeHost(const std::filesystem::path& socketPath, std::function<void(int)> serve) {
        listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
        bound = ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 && ::listen(listener, 1) == 0;
        thread = std::thread([this, serve = std::move(serve)] {
            int connection = ::accept(listener, nullptr, nullptr);
            if (connection < 0) return;
            serve(connection);
            ::close(connection);
        });
    }
    ~FakeHost() {
        if (thread.joinable()) thread.join();
        ::close(listener);
    }
    int listener;
    bool bound = false;
    std::thread thread;
};

// Reads requests until the client hangs up.
void waitForHangUp(int connection) {
    char c;
    while (::recv(connection, &c, 1, 0) == 1) {
    }
}

TEST(FileProviderHostControl, AClientReleasedInItsOwnReplyHandlerEndsWithItsReaderJoined) {
    auto root = freshFolder("released");
    auto socketPath = root / "fake.sock";
    TaskPool tasks(2);
    const auto threadsBefore = threadsOfThisProcess();
    {
        // Answers the first of two requests, then waits for the client to hang up.
        FakeHost host(socketPath, [](int connection) {
            auto first = nlohmann::json::parse(readLine(connection));
            readLine(connection);
            std::string reply = nlohmann::json{{"id", first["id"]}, {"ok", true}, {"domains", nlohmann::json::array()}}.dump() + "\n";
            ::send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
            waitForHangUp(connection);
        });
        ASSERT_TRUE(host.bound);
        auto holder = std::make_shared<std::shared_ptr<ControlClient>>(ControlClient::connect(socketPath, tasks));
        std::weak_ptr<ControlClient> watch = *holder;
        testing::Gate secondAnswer;
        std::atomic<int> firstAnswers{0};
        std::atomic<bool> releasedOnReader{false};
        std::mutex mutex;
        std::vector<ControlClient::Reply> secondReplies;
        std::thread::id reader;
        auto client = *holder;
        client->call({{"op", "getDomains"}}, [&, holder](ControlClient::Reply reply) {
            ++firstAnswers;
            reader = std::this_thread::get_id();
            EXPECT_TRUE(std::holds_alternative<nlohmann::json>(ControlClient::check(std::move(reply))));
            holder->reset();  // the last reference goes, here on the reader thread
            releasedOnReader = watch.expired();
        });
        client->call({{"op", "getDomains"}}, [&](ControlClient::Reply reply) {
            {
                std::lock_guard lock(mutex);
                secondReplies.push_back(std::move(reply));
            }
            secondAnswer.pass();  // holds the reader thread after its client is gone
        });
        client.reset();
        ASSERT_TRUE(secondAnswer.waitForArrivals(1, std::chrono::seconds(30)));
        EXPECT_EQ(firstAnswers.load(), 1);
        EXPECT_TRUE(releasedOnReader) << "the client outlived its last reference";

        // The reader is still running, so its join is still owed: the pool is not idle.
        auto idle = std::async(std::launch::async, [&] { tasks.waitIdle(); });
        EXPECT_NE(idle.wait_for(std::chrono::milliseconds(200)), std::future_status::ready)
            << "nothing waits for the reader thread";
        secondAnswer.open();
        idle.get();
        std::lock_guard lock(mutex);
        ASSERT_EQ(secondReplies.size(), 1u);  // a dropped connection answers each pending call once
        ASSERT_TRUE(std::holds_alternative<Error>(secondReplies[0]));
        EXPECT_EQ(std::get<Error>(secondReplies[0]).code, CocoaErrorCode::connectionInterrupted);
    }
    EXPECT_EQ(threadsOfThisProcess(), threadsBefore);
    std::filesystem::remove_all(root);
}

TEST(FileProviderHostControl, DroppingTheLastReferenceEndsTheConnectionAndAnswersEachPendingCallFirst) {
    auto root = freshFolder("dropclient");
    auto socketPath = root / "fake.sock";
    TaskPool tasks(1);
    const auto threadsBefore = threadsOfThisProcess();
    std::atomic<bool> hungUp{false};
    {
        // Reads what comes, answers nothing.
        FakeHost host(socketPath, [&](int connection) {
            waitForHangUp(connection);
            hungUp = true;
        });
        ASSERT_TRUE(host.bound);
        auto client = ControlClient::connect(socketPath, tasks);
        std::mutex mutex;
        std::map<int, int> answers;
        std::map<int, long> codes;
        for (int i = 0; i < 3; ++i) {
            client->call({{"op", "getDomains"}}, [&, i](ControlClient::Reply reply) {
                std::lock_guard lock(mutex);
                ++answers[i];
                if (std::holds_alternative<Error>(reply)) codes[i] = std::get<Error>(reply).code;
            });
        }
        client.reset();  // returns once the reader has ended: every call is answered by then
        std::lock_guard lock(mutex);
        for (int i = 0; i < 3; ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(answers[i], 1);
            EXPECT_EQ(codes[i], CocoaErrorCode::connectionInterrupted);
        }
    }
    EXPECT_TRUE(hungUp);
    EXPECT_EQ(threadsOfThisProcess(), threadsBefore);
    std::filesystem::remove_all(root);
}

TEST(FileProviderHostControl, ADomainServiceReleasedInItsOwnCompletionLeavesNoThreadBehind) {
    auto root = freshFolder("servicereleased");
    TaskPool answers(1);
    TaskPool tasks(2);
    const auto threadsBefore = threadsOfThisProcess();
    auto daemon = std::make_unique<HostDaemon>(daemonOptions(root));
    daemon->start();
    auto holder = std::make_shared<std::shared_ptr<ChannelDomainService>>(
        std::make_shared<ChannelDomainService>(daemon->socketPath(), tasks, answers));
    std::weak_ptr<ChannelDomainService> watch = *holder;
    std::promise<bool> released;
    (*holder)->getDomains([holder, watch, &released, &tasks](std::vector<Domain>, std::optional<Error> error) {
        EXPECT_FALSE(error.has_value());
        tasks.waitIdle();  // the task that sent the call has let go of the service
        holder->reset();   // the service, and with it its connection, goes here on the reader thread
        released.set_value(watch.expired());
    });
    holder.reset();
    EXPECT_TRUE(released.get_future().get());
    tasks.waitIdle();  // the reader's join
    answers.waitIdle();
    daemon->stop();
    daemon.reset();
    EXPECT_EQ(threadsOfThisProcess(), threadsBefore);
    std::filesystem::remove_all(root);
}

TEST(FileProviderHostControl, TheDomainServiceStartsTheHostWhenTheSocketIsSilent) {
    auto root = freshFolder("launch");
    auto options = daemonOptions(root);
    std::unique_ptr<HostDaemon> daemon;
    std::atomic<int> launches{0};
    testing::Gate starting;  // the host starts only once the test opens it
    TaskPool answers(1);
    TaskPool tasks(2);
    auto service = std::make_shared<ChannelDomainService>(controlSocketPath(options.runtimeDirectory), tasks, answers, [&] {
        ++launches;
        starting.pass();
        daemon = std::make_unique<HostDaemon>(options);
        daemon->start();
    });
    testing::CompletionTracker tracker;

    // Two calls while nothing answers: both return at once, on a thread of
    // their own here so that a call that waits for the host cannot hang the test.
    std::promise<std::pair<std::vector<Domain>, std::optional<Error>>> listed;
    std::promise<std::optional<Error>> signalled;
    std::atomic<bool> calledBack{false};
    std::thread::id caller;
    auto calls = std::async(std::launch::async, [&] {
        caller = std::this_thread::get_id();
        service->getDomains(tracker.wrap<std::vector<Domain>, std::optional<Error>>(
            "getDomains", [&](std::vector<Domain> domains, std::optional<Error> error) {
                if (std::this_thread::get_id() == caller) calledBack = true;
                listed.set_value({std::move(domains), std::move(error)});
            }));
        // A manager's call for an unknown domain comes back as the host's error.
        service->managerFor(Domain{"missing", "Missing"})
            ->signalEnumerator(kRootContainer, tracker.wrap<std::optional<Error>>("signal", [&](std::optional<Error> error) {
                if (std::this_thread::get_id() == caller) calledBack = true;
                signalled.set_value(error);
            }));
    });
    bool returned = calls.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    EXPECT_TRUE(starting.waitForArrivals(1));
    auto listedFuture = listed.get_future();
    auto signalledFuture = signalled.get_future();
    // The host is not up: nothing can have answered yet.
    EXPECT_NE(listedFuture.wait_for(std::chrono::seconds(0)), std::future_status::ready);
    EXPECT_NE(signalledFuture.wait_for(std::chrono::seconds(0)), std::future_status::ready);
    starting.open();
    ASSERT_TRUE(returned) << "a call waited for the host to start";

    auto [domains, error] = listedFuture.get();
    EXPECT_FALSE(error.has_value());
    EXPECT_TRUE(domains.empty());
    auto failure = signalledFuture.get();
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->code, FileProviderErrorCode::noSuchItem);
    EXPECT_EQ(launches, 1);
    EXPECT_FALSE(calledBack) << "a completion ran inside its call";
    service.reset();
    tasks.waitIdle();
    daemon->stop();
    EXPECT_THAT(tracker.check(), ::testing::IsEmpty());
    std::filesystem::remove_all(root);
}

TEST(FileProviderHostControl, WithoutAHostEachCallFailsOnceAndALaterCallConnects) {
    auto root = freshFolder("nohost");
    auto options = daemonOptions(root);
    TaskPool answers(1);
    TaskPool tasks(2);
    // No start command: a silent socket fails the calls.
    auto service = std::make_shared<ChannelDomainService>(controlSocketPath(options.runtimeDirectory), tasks, answers);
    testing::CompletionTracker tracker;
    auto getDomains = [&] { return askForDomains(*service, tracker); };
    std::vector<std::future<std::optional<Error>>> failed;
    for (int i = 0; i < 3; ++i) failed.push_back(getDomains());
    for (auto& answer : failed) {
        auto error = answer.get();
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->domain, kCocoaErrorDomain);
        EXPECT_EQ(error->code, CocoaErrorCode::connectionInterrupted);
    }

    HostDaemon daemon(options);
    daemon.start();
    EXPECT_EQ(getDomains().get(), std::nullopt);
    service.reset();
    tasks.waitIdle();
    daemon.stop();
    EXPECT_THAT(tracker.check(), ::testing::IsEmpty());
    std::filesystem::remove_all(root);
}

TEST(FileProviderHostControl, CallsLeftQueuedWhenTheAppsTasksStopFailOnce) {
    auto root = freshFolder("stopped");
    auto options = daemonOptions(root);
    HostDaemon daemon(options);
    daemon.start();
    TaskPool answers(1);
    TaskPool tasks(1);
    auto service = std::make_shared<ChannelDomainService>(daemon.socketPath(), tasks, answers);
    testing::CompletionTracker tracker;
    auto getDomains = [&] { return askForDomains(*service, tracker); };
    // The one worker is busy: the call waits in the queue, and the pool shuts down before it runs.
    testing::Gate busy;
    tasks.submit([&](std::stop_token stop) { busy.pass(stop); });
    ASSERT_TRUE(busy.waitForArrivals(1));
    auto queued = getDomains();
    tasks.shutdown();
    // And a call after the shutdown.
    auto late = getDomains();
    for (auto* answer : {&queued, &late}) {
        ASSERT_EQ(answer->wait_for(std::chrono::seconds(30)), std::future_status::ready);
        auto error = answer->get();
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->code, CocoaErrorCode::connectionInterrupted);
    }
    service.reset();
    daemon.stop();
    EXPECT_THAT(tracker.check(), ::testing::IsEmpty());
    std::filesystem::remove_all(root);
}

TEST(FileProviderHostControl, ASecondHostForTheSameSocketIsRefused) {
    auto root = freshFolder("second");
    HostDaemon first(daemonOptions(root));
    first.start();
    HostDaemon second(daemonOptions(root));
    EXPECT_THROW(second.start(), std::runtime_error);
    // The first one still serves.
    int connection = connectTo(first.socketPath());
    ASSERT_GE(connection, 0);
    EXPECT_THAT(ask(connection, R"({"id": 1, "op": "getDomains"})"), HasSubstr("\"ok\":true"));
    ::close(connection);
    first.stop();
    EXPECT_FALSE(std::filesystem::exists(first.socketPath()));
    std::filesystem::remove_all(root);
}

TEST(FileProviderHostControl, AStaleSocketFileDoesNotStopANewHost) {
    auto root = freshFolder("stale");
    auto options = daemonOptions(root);
    auto socket = controlSocketPath(options.runtimeDirectory);
    ASSERT_NO_FATAL_FAILURE(leaveStaleSocket(socket));
    ASSERT_TRUE(std::filesystem::is_socket(socket));
    ASSERT_LT(connectTo(socket), 0) << "the stale socket must not answer";

    HostDaemon daemon(options);
    ASSERT_NO_THROW(daemon.start());
    int connection = connectTo(socket);
    ASSERT_GE(connection, 0);
    EXPECT_THAT(ask(connection, R"({"id": 1, "op": "getDomains"})"), HasSubstr("\"ok\":true"));
    ::close(connection);
    daemon.stop();
    std::filesystem::remove_all(root);
}

TEST(FileProviderHostControl, EndedConnectionsAreJoinedAndFreed) {
    auto root = freshFolder("reap");
    HostDaemon daemon(daemonOptions(root));
    daemon.start();
    // One call per connection, as the command-line client makes them.
    for (int i = 0; i < 50; ++i) {
        int connection = connectTo(daemon.socketPath());
        ASSERT_GE(connection, 0);
        ASSERT_THAT(ask(connection, R"({"id": 1, "op": "getDomains"})"), HasSubstr("\"ok\":true"));
        ::close(connection);
    }
    EXPECT_TRUE(eventually([&] { return daemon.connectionThreads() == 0; }))
        << daemon.connectionThreads() << " ended connections are still held";

    // One still open stays served and counted until it ends.
    int open = connectTo(daemon.socketPath());
    ASSERT_GE(open, 0);
    EXPECT_THAT(ask(open, R"({"id": 2, "op": "getDomains"})"), HasSubstr("\"ok\":true"));
    EXPECT_EQ(daemon.connectionThreads(), 1u);
    ::close(open);
    EXPECT_TRUE(eventually([&] { return daemon.connectionThreads() == 0; }));
    daemon.stop();
    std::filesystem::remove_all(root);
}


TEST(FileProviderHostControl, ASocketFolderOfAnotherUserIsRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to make a folder of another user";
    auto root = freshFolder("foreign");
    auto options = daemonOptions(root);
    auto folder = controlSocketPath(options.runtimeDirectory).parent_path();
    std::filesystem::create_directories(folder);
    ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
    HostDaemon daemon(options);
    EXPECT_THROW(daemon.start(), std::runtime_error);
    EXPECT_FALSE(std::filesystem::exists(controlSocketPath(options.runtimeDirectory)));
    std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace nimbuscrate::fp::host
