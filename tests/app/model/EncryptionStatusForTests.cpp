// Linked into the model's tests only while the app has no encryption-status
// operation of its own (tests/app/model/CMakeLists.txt drops this file as
// soon as app/model/DesktopAppModelEncryption.cpp exists). It reads the
// account's encryption state and sets the four flags and the status text as
// the app does; it starts no passkey list load.

#include "app/model/DesktopAppModel.h"
#include "shared/encryption/E2EEError.h"

namespace nimbuscrate {

UiTask<void> DesktopAppModel::refreshEncryptionStatus() {
    std::shared_ptr<E2EEClient> encryption = encryption_;
    const auto read = [encryption](std::stop_token stop) { return encryption->encryptionState(stop); };
    const E2EEClient::EncryptionState encryptionState = co_await runOnWorker(context(), read);
    assign(state_.encryptionEnabled, encryptionState.enabled, Field::encryptionEnabled);
    assign(state_.encryptionNeedsSetup, encryptionState.enabled && encryptionState.needsSetup,
           Field::encryptionNeedsSetup);
    assign(state_.encryptionNeedsUnlock,
           encryptionState.enabled && !encryptionState.unlocked && !encryptionState.needsSetup,
           Field::encryptionNeedsUnlock);
    assign(state_.encryptionPaused, encryptionState.writePaused, Field::encryptionPaused);
    if (state_.encryptionNeedsSetup) {
        assign(state_.status, std::string(E2EEError::setup().what()), Field::status);
    } else if (state_.encryptionNeedsUnlock) {
        assign(state_.status, std::string(kUnlockStatus), Field::status);
    } else if (state_.encryptionPaused) {
        assign(state_.status, std::string(kPausedStatus), Field::status);
    } else if (state_.encryptionEnabled) {
        assign(state_.status, std::string(kEncryptionReadyStatus), Field::status);
    }
}

}  // namespace nimbuscrate
