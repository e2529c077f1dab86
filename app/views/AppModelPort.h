#pragma once

#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include <QObject>

#include "shared/encryption/E2EEJSON.h"

namespace nimbuscrate {

// What the app's views read of the model: one value, copied whole.
struct AppViewState {
    bool isSignedIn = false;
    bool isMounted = false;
    bool isBusy = false;
    bool isUploading = false;
    std::string accountName;
    std::string status = "Sign in to mount Nimbuscrate in Finder.";
    std::optional<std::string> errorMessage;
    bool encryptionNeedsUnlock = false;
    bool encryptionNeedsSetup = false;
    bool encryptionEnabled = false;
    bool encryptionPaused = false;
    std::vector<E2EEJSON> passkeyItems;
    std::optional<std::string> passkeyMessage;
    bool passkeyLoading = false;
};

// The one port between the views and the app model: the state, a signal
// when it changed, and the actions. Everything is called on the UI thread.
//
// Every action returns at once; its outcome reaches the views only through
// the state (the model reports failures in errorMessage and status).
// The views never call an action that their rules disable, but the model
// must still accept any call at any time.
class AppModelPort : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;
    ~AppModelPort() override = default;

    virtual AppViewState state() const = 0;

    virtual void signInAndMount() = 0;
    virtual void mount() = 0;
    virtual void unmount() = 0;
    virtual void refresh() = 0;
    virtual void openInFinder() = 0;
    virtual void freeUpSpace() = 0;
    virtual void signOut() = 0;
    virtual void unlockEncryption(std::string secret, bool useRecoveryKey) = 0;
    virtual void unlockEncryptionWithPasskey() = 0;

    // Loads the passkey list; a stop request (the sheet that asked went
    // away) ends the load early and leaves the list as it was.
    virtual void refreshPasskeys(std::stop_token cancel = {}) = 0;
    // done runs once on the UI thread with whether a passkey was added; it may
    // run after the view that asked is gone, so callers guard what they touch.
    virtual void createPasskey(std::string label, std::function<void(bool added)> done) = 0;
    virtual void deletePasskey(E2EEJSON item) = 0;

signals:
    // Emitted on the UI thread after any field of the state changed.
    void stateChanged();
};

// Where the views open web pages (the default browser); tests record them.
class LinkOpener {
public:
    virtual ~LinkOpener() = default;
    virtual void open(const std::string& url) = 0;
};

// The web pages the views link to.
struct AppLinks {
    std::string webApp;
    std::string signUp;
};

}  // namespace nimbuscrate
