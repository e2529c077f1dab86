#include "app/views/DesktopAppModelPort.h"

#include <utility>

namespace nimbuscrate {

namespace {

// Awaits the add and hands its result on; an add that failed with an error
// (the model reports it in passkeyMessage) counts as not added.
UiTask<void> reportCreated(DesktopAppModel& model, std::string label, std::function<void(bool)> done) {
    bool added = false;
    try {
        // A named task: GCC 12 destroys some temporaries of a co_await
        // expression twice.
        UiTask<bool> adding = model.createPasskey(std::move(label));
        added = co_await adding;
    } catch (...) {
        added = false;
    }
    done(added);
}

}  // namespace

DesktopAppModelPort::DesktopAppModelPort(DesktopAppModel& model, QObject* parent)
    : AppModelPort(parent), model_(model) {
    subscription_ = model_.subscribe([this](DesktopAppModel::Field, const DesktopAppModel::State&) {
        emit stateChanged();
    });
}

AppViewState DesktopAppModelPort::viewState(const DesktopAppModel::State& s) {
    AppViewState v;
    v.isSignedIn = s.isSignedIn;
    v.isMounted = s.isMounted;
    v.isBusy = s.isBusy;
    v.isUploading = s.isUploading;
    v.accountName = s.accountName;
    v.status = s.status;
    v.errorMessage = s.errorMessage;
    v.encryptionNeedsUnlock = s.encryptionNeedsUnlock;
    v.encryptionNeedsSetup = s.encryptionNeedsSetup;
    v.encryptionEnabled = s.encryptionEnabled;
    v.encryptionPaused = s.encryptionPaused;
    v.passkeyItems = s.passkeyItems;
    v.passkeyMessage = s.passkeyMessage;
    v.passkeyLoading = s.passkeyLoading;
    return v;
}

AppViewState DesktopAppModelPort::state() const { return viewState(model_.state()); }

void DesktopAppModelPort::signInAndMount() { model_.signInAndMount().detach(); }
void DesktopAppModelPort::mount() { model_.mount().detach(); }
void DesktopAppModelPort::unmount() { model_.unmount().detach(); }
void DesktopAppModelPort::refresh() { model_.refresh().detach(); }
void DesktopAppModelPort::openInFinder() { model_.openInFinder().detach(); }
void DesktopAppModelPort::freeUpSpace() { model_.freeUpSpace().detach(); }
void DesktopAppModelPort::signOut() { model_.signOut().detach(); }

void DesktopAppModelPort::unlockEncryption(std::string secret, bool useRecoveryKey) {
    model_.unlockEncryption(std::move(secret), useRecoveryKey).detach();
}

void DesktopAppModelPort::unlockEncryptionWithPasskey() { model_.unlockEncryptionWithPasskey().detach(); }
void DesktopAppModelPort::refreshPasskeys(std::stop_token cancel) { model_.refreshPasskeys(cancel).detach(); }

void DesktopAppModelPort::createPasskey(std::string label, std::function<void(bool added)> done) {
    reportCreated(model_, std::move(label), std::move(done)).detach();
}

void DesktopAppModelPort::deletePasskey(E2EEJSON item) { model_.deletePasskey(std::move(item)).detach(); }

}  // namespace nimbuscrate
