#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/passkeys/FidoDevice.h"
#include "platform/passkeys/PasskeyPinPrompt.h"

namespace nimbuscrate::testing {

// Security keys in memory behind the libfido2 seam. Each key records every
// call it gets; the tests read the requests the adapter built.
struct FakeKey {
    std::string path;
    FidoDeviceInfo info;
    std::vector<Bytes> held;    // credentials on the key (answered by the silent pre-flight)
    std::string pin;            // the PIN a PIN-verified ceremony needs
    std::optional<int> status;  // when set, every ceremony answers this status
    bool blockUntilCancelled = false;
    bool answerWithoutUserVerification = false;
    Bytes newCredential = Bytes(20, 0xc1);

    struct Call {
        std::optional<FidoCredentialParameters> credential;
        std::optional<FidoAssertionParameters> assertion;
        std::optional<std::string> pin;
    };
    std::vector<Call> calls;
    int cancels = 0;
    int opened = 0;
};

class FakeFidoLibrary final : public FidoLibrary {
public:
    std::vector<FakeKey> keys;

    std::vector<std::string> devicePaths() override {
        std::lock_guard lock(mutex_);
        std::vector<std::string> paths;
        for (const auto& key : keys) paths.push_back(key.path);
        return paths;
    }

    std::unique_ptr<FidoDevice> open(const std::string& path) override;

    // Blocks until some key has a ceremony blocked in it.
    bool waitForBlockedCall() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return blocked_ > 0; });
    }

    FakeKey& key(std::size_t index) { return keys.at(index); }
    std::mutex& mutex() { return mutex_; }

private:
    class FakeDevice;
    std::mutex mutex_;
    std::condition_variable changed_;
    int blocked_ = 0;
};

class FakeFidoLibrary::FakeDevice final : public FidoDevice {
public:
    FakeDevice(FakeFidoLibrary& library, std::size_t index) : library_(library), index_(index) {}

    FidoDeviceInfo info() override {
        std::lock_guard lock(library_.mutex_);
        return key().info;
    }

    int makeCredential(const FidoCredentialParameters& parameters, const char* pin,
                       FidoCredentialResult& result) override {
        std::unique_lock lock(library_.mutex_);
        key().calls.push_back({parameters, std::nullopt, pin ? std::optional<std::string>(pin) : std::nullopt});
        if (const int status = common(lock, pin, parameters.userVerification); status != FIDO_OK) return status;
        result.credentialID = key().newCredential;
        result.flags = flags(pin, parameters.userVerification);
        return FIDO_OK;
    }

    int getAssertion(const FidoAssertionParameters& parameters, const char* pin, FidoAssertionResult& result) override {
        std::unique_lock lock(library_.mutex_);
        key().calls.push_back({std::nullopt, parameters, pin ? std::optional<std::string>(pin) : std::nullopt});
        if (parameters.userPresence == FIDO_OPT_FALSE) {
            // The silent pre-flight: the first allowed credential the key holds.
            for (const auto& allowed : parameters.allowedCredentials) {
                if (std::find(key().held.begin(), key().held.end(), allowed) != key().held.end()) {
                    result.credentialID = allowed;
                    return FIDO_OK;
                }
            }
            return FIDO_ERR_NO_CREDENTIALS;
        }
        if (const int status = common(lock, pin, parameters.userVerification); status != FIDO_OK) return status;
        result.credentialID = parameters.allowedCredentials.front();
        result.flags = flags(pin, parameters.userVerification);
        // The key echoes the salt it was sent as its output, so the test sees
        // which salt reached the key in the PRF the adapter returns.
        result.hmacSecret = SecretBytes(parameters.hmacSalt.begin(), parameters.hmacSalt.end());
        return FIDO_OK;
    }

    std::optional<int> pinRetries() override { return 7; }

    void cancel() override {
        std::lock_guard lock(library_.mutex_);
        ++key().cancels;
        cancelled_ = true;
        library_.changed_.notify_all();
    }

private:
    FakeKey& key() { return library_.keys.at(index_); }

    int common(std::unique_lock<std::mutex>& lock, const char* pin, fido_opt_t userVerification) {
        if (key().blockUntilCancelled) {
            ++library_.blocked_;
            library_.changed_.notify_all();
            library_.changed_.wait(lock, [&] { return cancelled_; });
            --library_.blocked_;
            return FIDO_ERR_KEEPALIVE_CANCEL;
        }
        if (key().status) return *key().status;
        if (userVerification != FIDO_OPT_TRUE && pin != nullptr && key().pin != pin) return FIDO_ERR_PIN_INVALID;
        return FIDO_OK;
    }

    std::uint8_t flags(const char* pin, fido_opt_t userVerification) {
        const bool verified = pin != nullptr || userVerification == FIDO_OPT_TRUE;
        return 0x01 | (verified && !key().answerWithoutUserVerification ? kFidoFlagUserVerified : 0);
    }

    FakeFidoLibrary& library_;
    std::size_t index_;
    bool cancelled_ = false;
};

inline std::unique_ptr<FidoDevice> FakeFidoLibrary::open(const std::string& path) {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (keys[i].path == path) {
            ++keys[i].opened;
            return std::make_unique<FakeDevice>(*this, i);
        }
    }
    return nullptr;
}

// Answers the PIN prompt from a list, recording the requests.
class ScriptedPinPrompt final : public PasskeyPinPrompt {
public:
    std::vector<std::optional<std::string>> answers;
    std::vector<Request> requests;

    std::optional<SecretBytes> pin(const Request& request, std::stop_token) override {
        std::lock_guard lock(mutex_);
        requests.push_back(request);
        if (requests.size() > answers.size() || !answers[requests.size() - 1]) return std::nullopt;
        const std::string& text = *answers[requests.size() - 1];
        return SecretBytes(text.begin(), text.end());
    }

private:
    std::mutex mutex_;
};

inline FidoDeviceInfo keyInfo(std::vector<std::string> extensions, std::vector<std::pair<std::string, bool>> options) {
    return {true, std::move(extensions), std::move(options)};
}

}  // namespace nimbuscrate::testing
