#pragma once

// An encryption client for the unlock and passkey tests: the account of the
// committed unlock fixtures, and secret items that record every write (in
// order) and can run a hook when one is read.

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "shared/encryption-client/E2EEClient.h"
#include "tests/shared/encryption-client/E2EEClientFixture.h"
#include "tests/shared/encryption-client/UnlockFixtures.h"

namespace nimbuscrate::testing {

class UnlockClientFixture : public E2EEClientFixture {
protected:
    struct Write {
        std::string service;
        std::string account;
        bool operator==(const Write&) const = default;
    };

    void SetUp() override {
        LocalServiceFixture::SetUp();
        if (IsSkipped()) return;
        session = signIn();
        client = std::make_unique<E2EEClient>(E2EEClient::Services{
            HttpTransport::shared(), recordingCredentials(), *mapping, clock, accountAPIURL(), stateDirectory, 1});
    }

    const E2EEJSON& keySet(const char* which) const { return unlockFixtures().member(which); }
    std::string accountId() const { return *unlockFixtures().member("accountId").stringValue(); }

    // The account record of a key set ("first" or "second").
    E2EEJSON accountOf(const char* which, const std::string& mode = "required") const {
        return E2EEJSON::object({{"accountId", unlockFixtures().member("accountId")},
                                 {"format", "nimbuscrate-tink-aes256-v1"},
                                 {"mode", mode},
                                 {"onboardingRequired", false},
                                 {"keyRecord", keySet(which).member("keyRecord")},
                                 {"ownedDriveIds", E2EEJSON::array({"drive-1"})},
                                 {"primaryDriveId", "drive-1"}});
    }

    std::shared_ptr<KeychainStore> identityItem() const { return secretItem(E2EEClient::kIdentityService, accountId()); }
    std::shared_ptr<KeychainStore> keyItem() const { return secretItem(E2EEClient::kKeysService, *session.sessionID); }
    std::optional<std::string> read(const std::shared_ptr<KeychainStore>& item) const {
        const auto bytes = item->read();
        if (!bytes) return std::nullopt;
        return stringOf(*bytes);
    }
    void pinIdentity(const char* which, bool required) {
        identityItem()->save(bytesOf(
            E2EEJSON::object({{"publicKey", keySet(which).member("keys").member("publicKey")}, {"required", required}})
                .canonicalString()));
    }
    void storeKeys(const char* which) { keyItem()->save(bytesOf(keySet(which).member("keys").canonicalString())); }

    std::vector<Write> writes() {
        std::lock_guard lock(recordMutex);
        return writeLog;
    }
    void clearWrites() {
        std::lock_guard lock(recordMutex);
        writeLog.clear();
    }
    // Runs (once) when a secret item of the service is read next.
    void onNextRead(const std::string& service, std::function<void()> hook) {
        std::lock_guard lock(recordMutex);
        readHooks.emplace_back(service, std::move(hook));
    }

    DesktopSession session;
    std::unique_ptr<E2EEClient> client;

private:
    class RecordingStore : public E2EESecretStore {
    public:
        RecordingStore(UnlockClientFixture& owner, std::string service, std::string account)
            : owner_(owner), service_(std::move(service)), account_(std::move(account)) {}
        std::optional<Bytes> read() const override {
            std::function<void()> hook;
            {
                std::lock_guard lock(owner_.recordMutex);
                auto& hooks = owner_.readHooks;
                for (auto it = hooks.begin(); it != hooks.end(); ++it) {
                    if (it->first != service_) continue;
                    hook = std::move(it->second);
                    hooks.erase(it);
                    break;
                }
            }
            if (hook) hook();
            return owner_.secretItem(service_, account_)->read();
        }
        void save(const Bytes& bytes) const override {
            owner_.secretItem(service_, account_)->save(bytes);
            std::lock_guard lock(owner_.recordMutex);
            owner_.writeLog.push_back({service_, account_});
        }

    private:
        UnlockClientFixture& owner_;
        std::string service_;
        std::string account_;
    };

    E2EEClient::Credentials recordingCredentials() {
        E2EEClient::Credentials result = credentials();
        result.secret = [this](const std::string& service, const std::string& account)
            -> std::shared_ptr<E2EESecretStore> { return std::make_shared<RecordingStore>(*this, service, account); };
        return result;
    }

    std::mutex recordMutex;
    std::vector<Write> writeLog;
    std::vector<std::pair<std::string, std::function<void()>>> readHooks;
};

}  // namespace nimbuscrate::testing
