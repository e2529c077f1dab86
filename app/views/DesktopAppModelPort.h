#pragma once

#include "app/model/DesktopAppModel.h"
#include "app/views/AppModelPort.h"

namespace nimbuscrate {

// The app model seen through the views' port: its state copied into the
// views' value, one stateChanged per field the model writes, and each action
// started as the model's operation with its handle dropped (the operation
// runs to its end on its own and reports through the state).
class DesktopAppModelPort final : public AppModelPort {
public:
    explicit DesktopAppModelPort(DesktopAppModel& model, QObject* parent = nullptr);

    AppViewState state() const override;

    void signInAndMount() override;
    void mount() override;
    void unmount() override;
    void refresh() override;
    void openInFinder() override;
    void freeUpSpace() override;
    void signOut() override;
    void unlockEncryption(std::string secret, bool useRecoveryKey) override;
    void unlockEncryptionWithPasskey() override;
    void refreshPasskeys(std::stop_token cancel) override;
    void createPasskey(std::string label, std::function<void(bool added)> done) override;
    void deletePasskey(E2EEJSON item) override;

    static AppViewState viewState(const DesktopAppModel::State& state);

private:
    DesktopAppModel& model_;
    DesktopAppModel::Subscription subscription_;
};

}  // namespace nimbuscrate
