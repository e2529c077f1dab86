#pragma once

#include <functional>
#include <string>
#include <vector>

#include "app/views/AppModelPort.h"

namespace nimbuscrate::testing {

// A model the views are tested against: a state the test sets and a record
// of every action called, with its arguments.
class FakeAppModel final : public AppModelPort {
public:
    AppViewState current;
    std::vector<std::string> calls;
    std::vector<E2EEJSON> deleted;
    std::vector<std::function<void(bool)>> pendingCreates;
    // Runs inside each call, before it is recorded (to look at the views then).
    std::function<void(const std::string& call)> onCall;

    AppViewState state() const override { return current; }
    void set(AppViewState state) {
        current = std::move(state);
        emit stateChanged();
    }
    template <typename Change>
    void change(Change&& change) {
        change(current);
        emit stateChanged();
    }

    void signInAndMount() override { record("signInAndMount"); }
    void mount() override { record("mount"); }
    void unmount() override { record("unmount"); }
    void refresh() override { record("refresh"); }
    void openInFinder() override { record("openInFinder"); }
    void freeUpSpace() override { record("freeUpSpace"); }
    void signOut() override { record("signOut"); }
    void unlockEncryption(std::string secret, bool useRecoveryKey) override {
        record("unlockEncryption(" + secret + "," + (useRecoveryKey ? "recoveryKey" : "passphrase") + ")");
    }
    void unlockEncryptionWithPasskey() override { record("unlockEncryptionWithPasskey"); }
    std::vector<std::stop_token> passkeyLoads;
    void refreshPasskeys(std::stop_token cancel) override {
        record("refreshPasskeys");
        passkeyLoads.push_back(cancel);
    }
    void createPasskey(std::string label, std::function<void(bool)> done) override {
        record("createPasskey(" + label + ")");
        pendingCreates.push_back(std::move(done));
    }
    void deletePasskey(E2EEJSON item) override {
        record("deletePasskey");
        deleted.push_back(std::move(item));
    }

private:
    void record(std::string call) {
        if (onCall) onCall(call);
        calls.push_back(std::move(call));
    }
};

class RecordingLinkOpener final : public LinkOpener {
public:
    std::vector<std::string> opened;
    void open(const std::string& url) override { opened.push_back(url); }
};

}  // namespace nimbuscrate::testing
