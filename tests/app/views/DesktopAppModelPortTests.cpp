// The real model seen through the views' port, headless against the local
// service: the state arrives whole with a change signal per write, and each
// action reaches the model's operation, which runs to its end on its own.

#include <gtest/gtest.h>

#include "app/views/DesktopAppModelPort.h"
#include "tests/app/model/AppModelFixture.h"

namespace nimbuscrate {
namespace {

class DesktopAppModelPortTest : public testing::AppModelFixture {
protected:
    void attach() {
        port = std::make_unique<DesktopAppModelPort>(*model);
        QObject::connect(port.get(), &AppModelPort::stateChanged, [this] { ++changes; });
    }
    ~DesktopAppModelPortTest() override {
        port.reset();
        finishModel();
    }

    std::unique_ptr<DesktopAppModelPort> port;
    int changes = 0;
};

TEST_F(DesktopAppModelPortTest, TheStateArrivesWholeAndEachWriteSignals) {
    migrationDone();
    storeSignedIn();
    startModel(/*waitForRestore=*/false);
    attach();
    ASSERT_TRUE(runUntil([&] { return model->restoreFinished(); }));
    EXPECT_GT(changes, 0);

    const AppViewState state = port->state();
    EXPECT_TRUE(state.isSignedIn);
    EXPECT_FALSE(state.isBusy);
    EXPECT_EQ(state.accountName, model->state().accountName);
    EXPECT_EQ(state.status, model->state().status);
    EXPECT_EQ(state.errorMessage, model->state().errorMessage);
    EXPECT_EQ(state.isMounted, model->state().isMounted);

    const int before = changes;
    model->setErrorMessage("shown in the window");
    EXPECT_EQ(changes, before + 1);
    EXPECT_EQ(port->state().errorMessage, "shown in the window");
}

TEST_F(DesktopAppModelPortTest, ActionsStartTheModelsOperations) {
    migrationDone();
    storeSignedIn(/*withDrive=*/false);
    startModel();
    attach();

    port->mount();
    EXPECT_TRUE(port->state().isBusy);  // started at once, inside the call
    ASSERT_TRUE(runUntil([&] { return !port->state().isBusy; }));
    EXPECT_TRUE(port->state().isMounted);
    EXPECT_EQ(port->state().status, DesktopAppModel::kAvailableStatus);

    port->signOut();
    ASSERT_TRUE(runUntil([&] { return !port->state().isBusy; }));
    EXPECT_FALSE(port->state().isSignedIn);
    EXPECT_FALSE(port->state().isMounted);
    EXPECT_FALSE(stored().has_value());
}

TEST_F(DesktopAppModelPortTest, AnAddThatFailsAnswersOnceWithFalse) {
    migrationDone();
    storeSignedIn();
    startModel();
    attach();
    std::vector<bool> answers;
    port->createPasskey("My Mac", [&](bool added) { answers.push_back(added); });
    ASSERT_TRUE(runUntil([&] { return !answers.empty(); }));
    ui.runPending();
    EXPECT_EQ(answers, std::vector<bool>{false});
}

}  // namespace
}  // namespace nimbuscrate
