#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/core/CancellationError.h"
#include "platform/tasks/Executor.h"
#include "platform/websession/WebAuthenticationSession.h"

namespace nimbuscrate {
namespace {

// Records what it was asked to open; can refuse, and can report a failure later.
class RecordingOpener final : public UrlOpener {
public:
    bool open(const std::string& url, Failure failed) override {
        opened.push_back(url);
        lastFailure = std::move(failed);
        return startable;
    }
    std::vector<std::string> opened;
    Failure lastFailure;
    bool startable = true;
};

// What one session's completion received.
struct Ending {
    int calls = 0;
    std::optional<std::string> url;
    std::exception_ptr error;

    WebAuthenticationSession::Completion completion() {
        return [this](std::optional<std::string> callbackURL, std::exception_ptr e) {
            ++calls;
            url = std::move(callbackURL);
            error = e;
        };
    }
    template <class E>
    bool endedWith() const {
        try {
            if (error) std::rethrow_exception(error);
        } catch (const E&) {
            return true;
        } catch (...) {
        }
        return false;
    }
};

class WebAuthenticatorTest : public ::testing::Test {
protected:
    ManualExecutor ui;
    RecordingOpener opener;
    WebAuthenticator web{ui, opener};
};

TEST_F(WebAuthenticatorTest, TheFirstCallbackOfTheSchemeCompletesTheSessionOnce) {
    Ending ending;
    auto session = web.makeSession("https://login.example/auth", "app.nimbuscrate", ending.completion());
    ASSERT_TRUE(session->start());
    EXPECT_EQ(opener.opened, std::vector<std::string>{"https://login.example/auth"});

    web.deliverCallback("https://app.nimbuscrate/?code=x");  // another scheme
    web.deliverCallback("app.nimbuscrate:/oauthredirect?code=a");
    web.deliverCallback("app.nimbuscrate:/oauthredirect?code=b");
    EXPECT_EQ(ending.calls, 0) << "callbacks complete on the UI executor";
    ui.runPending();
    EXPECT_EQ(ending.calls, 1);
    EXPECT_EQ(ending.url, "app.nimbuscrate:/oauthredirect?code=a");
    EXPECT_FALSE(ending.error);
    EXPECT_FALSE(session->isRunning());
    EXPECT_EQ(web.droppedCallbacks(), 2u);
}

TEST_F(WebAuthenticatorTest, CallbacksWithNoSessionWaitingAreDropped) {
    web.deliverCallback("app.nimbuscrate:/oauthredirect?code=a");
    ui.runPending();
    EXPECT_EQ(web.droppedCallbacks(), 1u);

    Ending ending;
    auto session = web.makeSession("https://login.example/auth", "app.nimbuscrate", ending.completion());
    web.deliverCallback("app.nimbuscrate:/oauthredirect?code=early");  // made, not started
    ui.runPending();
    EXPECT_EQ(web.droppedCallbacks(), 2u);
    EXPECT_EQ(ending.calls, 0);
}

TEST_F(WebAuthenticatorTest, EndingsOtherThanACallback) {
    {
        SCOPED_TRACE("cancelled");
        Ending ending;
        auto session = web.makeSession("https://a/", "app.nimbuscrate", ending.completion());
        ASSERT_TRUE(session->start());
        session->cancel();
        session->cancel();
        EXPECT_EQ(ending.calls, 1);
        EXPECT_TRUE(ending.endedWith<CancellationError>());
    }
    {
        SCOPED_TRACE("a second session cancels the first");
        Ending first, second;
        auto one = web.makeSession("https://a/", "app.nimbuscrate", first.completion());
        auto two = web.makeSession("https://b/", "app.nimbuscrate", second.completion());
        ASSERT_TRUE(one->start());
        ASSERT_TRUE(two->start());
        EXPECT_TRUE(first.endedWith<CancellationError>());
        web.deliverCallback("app.nimbuscrate:/oauthredirect?code=b");
        ui.runPending();
        EXPECT_EQ(first.calls, 1);
        EXPECT_EQ(second.url, "app.nimbuscrate:/oauthredirect?code=b");
    }
    {
        SCOPED_TRACE("the browser cannot start");
        opener.startable = false;
        Ending ending;
        auto session = web.makeSession("https://a/", "app.nimbuscrate", ending.completion());
        EXPECT_FALSE(session->start());
        EXPECT_FALSE(session->isRunning());
        ui.runPending();
        EXPECT_EQ(ending.calls, 0);
        opener.startable = true;
    }
    {
        SCOPED_TRACE("the browser fails later");
        Ending ending;
        auto session = web.makeSession("https://a/", "app.nimbuscrate", ending.completion());
        ASSERT_TRUE(session->start());
        opener.lastFailure();
        EXPECT_EQ(ending.calls, 0);
        ui.runPending();
        EXPECT_EQ(ending.calls, 1);
        EXPECT_TRUE(ending.endedWith<WebAuthenticationError>());
    }
}

TEST(WebAuthenticatorLifetimeTest, TheAuthenticatorGoingCancelsItsSessionAndLateWorkDoesNothing) {
    ManualExecutor ui;
    RecordingOpener opener;
    Ending ending;
    std::shared_ptr<WebAuthenticationSession> session;
    {
        WebAuthenticator web(ui, opener);
        session = web.makeSession("https://a/", "app.nimbuscrate", ending.completion());
        ASSERT_TRUE(session->start());
        web.deliverCallback("app.nimbuscrate:/oauthredirect?code=late");
    }
    EXPECT_TRUE(ending.endedWith<CancellationError>());
    opener.lastFailure();
    ui.runPending();
    EXPECT_EQ(ending.calls, 1);
}

}  // namespace
}  // namespace nimbuscrate
