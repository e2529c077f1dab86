#pragma once

// An encryption client against the local service: the compiled-in account
// API host routed to 127.0.0.1, the session and secret items in a private
// store, a manual clock for the snapshot throttle and a private state folder.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "shared/encryption-client/E2EEClient.h"
#include "shared/encryption/E2EEError.h"
#include "shared/session/DesktopError.h"
#include "shared/session/ServiceEndpoints.h"
#include "tests/support/LocalServiceFixture.h"

namespace nimbuscrate::testing {

const std::string kAccountHost = NIMBUSCRATE_ACCOUNT_API_HOST;

// The error case a call ends with; fails the test when it ends otherwise.
inline std::optional<E2EEError::Case> e2eeErrorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const E2EEError& error) {
        return error.kind();
    } catch (const std::exception& error) {
        ADD_FAILURE() << "another error: " << error.what();
        return std::nullopt;
    }
    ADD_FAILURE() << "no error";
    return std::nullopt;
}

inline std::optional<DesktopError> desktopErrorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const DesktopError& error) {
        return error;
    } catch (const std::exception& error) {
        ADD_FAILURE() << "another error: " << error.what();
        return std::nullopt;
    }
    ADD_FAILURE() << "no error";
    return std::nullopt;
}

class E2EEClientFixture : public LocalServiceFixture {
protected:
    E2EEClientFixture() : stateDirectory(makeTemporaryDirectory("nc-e2ee-state")), mapping(MappingStore::unavailable()) {}
    ~E2EEClientFixture() override {
        std::error_code ignored;
        std::filesystem::remove_all(stateDirectory, ignored);
    }

    // The secret-store item of a service and account, in the private store.
    std::shared_ptr<KeychainStore> secretItem(const std::string& service, const std::string& account) const {
        return std::make_shared<KeychainStore>(service, account, KeychainBackends::inDirectory(secrets));
    }

    E2EEClient::Credentials credentials() {
        E2EEClient::Credentials result;
        result.session = [this] { return store.loadSession(); };
        result.token = [this](std::stop_token) {
            std::function<void()> hook;
            {
                std::lock_guard lock(hookMutex);
                hook = onToken;
                ++tokenCalls;
            }
            const std::optional<DesktopSession> session = store.loadSession();
            if (!session) throw DesktopError::notAuthenticated();
            const std::string token = session->tokens.accessToken;
            if (hook) hook();
            return token;
        };
        result.secret = [this](const std::string& service, const std::string& account)
            -> std::shared_ptr<E2EESecretStore> { return secretItem(service, account); };
        return result;
    }

    std::unique_ptr<E2EEClient> makeClient(std::size_t snapshotThreads = 1) {
        return std::make_unique<E2EEClient>(E2EEClient::Services{HttpTransport::shared(), credentials(), *mapping, clock,
                                                                 accountAPIURL(), stateDirectory, snapshotThreads});
    }

    // Runs during every token fetch, after the token was read.
    void setTokenHook(std::function<void()> hook) {
        std::lock_guard lock(hookMutex);
        onToken = std::move(hook);
    }

    // The account record GET "e2ee/account" answers from now on (through the
    // service's account API when it is an object, else as a raw reply), and
    // another "userId" for the bootstrap when given. Removes every knob.
    void serveAccount(const E2EEJSON& account, std::optional<std::string> bootstrapUser = std::nullopt) {
        using localservice::ReplyOverride;
        using localservice::Route;
        service.clearFaults();
        if (account.isObject()) {
            setAccount(account.canonicalString());
        } else {
            service.overrideReply(Route{"GET", kAccountHost, "/api/v1/e2ee/account"},
                                  ReplyOverride{200, {{"Content-Type", "application/json"}}, account.canonicalString()},
                                  localservice::FaultKnobs::kEveryCall);
        }
        if (bootstrapUser) {
            service.overrideReply(Route{"POST", kAccountHost, "/api/v1/mobile/account/bootstrap"},
                                  ReplyOverride{200, {{"Content-Type", "application/json"}},
                                                E2EEJSON::object({{"userId", *bootstrapUser}}).canonicalString()},
                                  localservice::FaultKnobs::kEveryCall);
        }
    }

    // Requests that reached the account API host, in order.
    std::vector<localservice::RecordedRequest> accountRequests() {
        std::vector<localservice::RecordedRequest> result;
        for (auto& request : service.requests().all()) {
            if (request.host == kAccountHost) result.push_back(std::move(request));
        }
        return result;
    }
    std::size_t countRequests(const std::string& method, const std::string& path) {
        std::size_t count = 0;
        for (const auto& request : accountRequests()) count += request.method == method && request.path == path;
        return count;
    }

    std::filesystem::path stateDirectory;
    std::unique_ptr<MappingStore> mapping;
    std::mutex hookMutex;
    std::function<void()> onToken;
    int tokenCalls = 0;
};

}  // namespace nimbuscrate::testing
