#include "platform/passkeys/SecurityKeyAuthenticator.h"

#include <openssl/evp.h>

#include <algorithm>
#include <stop_token>
#include <utility>

namespace nimbuscrate {

namespace {

using Kind = PasskeyAuthenticatorError::Kind;

constexpr std::string_view kHmacSecret = "hmac-secret";
constexpr std::size_t kPrfLength = 32;

[[noreturn]] void fail(Kind kind, const std::string& detail) { throw PasskeyAuthenticatorError(kind, detail); }

[[noreturn]] void failWithStatus(int status) {
    const std::string detail = std::string("The security key answered: ") + fido_strerr(status) + ".";
    switch (status) {
        case FIDO_ERR_KEEPALIVE_CANCEL:
        case FIDO_ERR_ACTION_TIMEOUT:
        case FIDO_ERR_USER_ACTION_TIMEOUT:
        case FIDO_ERR_OPERATION_DENIED:
            fail(Kind::cancelled, detail);
        case FIDO_ERR_NO_CREDENTIALS:
            fail(Kind::noCredential, detail);
        case FIDO_ERR_UNSUPPORTED_EXTENSION:
        case FIDO_ERR_UNSUPPORTED_OPTION:
        case FIDO_ERR_UNSUPPORTED_ALGORITHM:
        case FIDO_ERR_PIN_NOT_SET:
            fail(Kind::unsupported, detail);
        default:
            fail(Kind::failed, detail);
    }
}

// The client data hash of a ceremony. No one verifies the key's signature
// (only the PRF output is used), so the challenge's hash stands for the
// client data a browser would hash.
Bytes sha256(ByteView bytes) {
    Bytes digest(32);
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1) {
        fail(Kind::failed, "SHA-256 failed.");
    }
    return digest;
}

}  // namespace

class SecurityKeyAuthenticator::Operation final : public PasskeyAuthenticatorOperation {
public:
    void cancel() override {
        std::lock_guard lock(mutex_);
        stop_.request_stop();
        // fido_dev_cancel is meant to be sent while the ceremony blocks. A
        // cancel that lands just before the request is written is lost: the
        // key then waits for the user or its own time-out, and the caller's
        // time limit has already answered.
        if (device_ != nullptr) device_->cancel();
    }

    std::stop_token token() const { return stop_.get_token(); }
    bool stopped() const { return stop_.stop_requested(); }

    // Runs one blocking device call where cancel() can reach it.
    template <class Call>
    int onDevice(FidoDevice& device, Call call) {
        {
            std::lock_guard lock(mutex_);
            if (stop_.stop_requested()) fail(Kind::cancelled, "The security key request was cancelled.");
            device_ = &device;
        }
        const int status = call();
        std::lock_guard lock(mutex_);
        device_ = nullptr;
        return status;
    }

private:
    // Guards device_; the device's cancel is called under it, so the device
    // cannot be closed meanwhile (onDevice clears device_ before its caller
    // closes it).
    std::mutex mutex_;
    std::stop_source stop_;
    FidoDevice* device_ = nullptr;
};

// The work of one operation on its worker.
class SecurityKeyAuthenticator::Ceremony {
public:
    Ceremony(FidoLibrary& library, PasskeyPinPrompt& pinPrompt, Operation& operation)
        : library_(library), pinPrompt_(pinPrompt), operation_(operation) {}

    PasskeyAuthenticatorReply registration(const PasskeyRegistrationRequest& request) {
        openKeys();
        Key* key = firstUsable();

        FidoCredentialParameters parameters;
        parameters.clientDataHash = sha256(request.challenge);
        parameters.relyingPartyID = request.relyingPartyID;
        parameters.relyingPartyName = kRelyingPartyName;
        parameters.userID = request.userID;
        parameters.userName = request.userName;
        parameters.userDisplayName = request.userDisplayName;
        parameters.coseAlgorithm = COSE_ES256;
        parameters.excludedCredentials = request.excludedCredentials;
        parameters.extensions = FIDO_EXT_HMAC_SECRET;
        // Not discoverable: every assertion names its credentials, and a
        // security key has few slots for discoverable ones.
        parameters.residentKey = FIDO_OPT_OMIT;

        FidoCredentialResult result;
        const int status = verified(*key, [&](fido_opt_t userVerification, const char* pin) {
            parameters.userVerification = userVerification;
            result = {};
            return key->device->makeCredential(parameters, pin, result);
        });
        if (status != FIDO_OK) failWithStatus(status);
        if (result.credentialID.empty()) fail(Kind::failed, "The security key returned no credential id.");
        return {result.credentialID, true, {}, (result.flags & kFidoFlagUserVerified) != 0};
    }

    PasskeyAuthenticatorReply assertion(const PasskeyAssertionRequest& request) {
        // One salt per credential; a later entry for the same credential wins.
        std::vector<Bytes> allowed;
        std::vector<const Bytes*> salts;
        for (const auto& credential : request.allowedCredentials) {
            const auto seen = std::find(allowed.begin(), allowed.end(), credential.credentialID);
            if (seen == allowed.end()) {
                allowed.push_back(credential.credentialID);
                salts.push_back(&credential.salt);
            } else {
                salts[static_cast<std::size_t>(seen - allowed.begin())] = &credential.salt;
            }
        }
        if (allowed.empty()) fail(Kind::noCredential, "No credential is allowed.");
        openKeys();
        firstUsable();
        const Bytes clientDataHash = sha256(request.challenge);

        // Silent pre-flight: which key holds which of the credentials.
        Key* chosenKey = nullptr;
        Bytes chosen;
        int refusal = FIDO_ERR_NO_CREDENTIALS;
        for (auto& key : keys_) {
            if (!usable(key)) continue;
            FidoAssertionParameters probe;
            probe.clientDataHash = clientDataHash;
            probe.relyingPartyID = request.relyingPartyID;
            probe.allowedCredentials = allowed;
            probe.userPresence = FIDO_OPT_FALSE;
            FidoAssertionResult result;
            const int status =
                operation_.onDevice(*key.device, [&] { return key.device->getAssertion(probe, nullptr, result); });
            throwIfStopped();
            if (status == FIDO_OK) {
                // A key may leave out the id when one credential was allowed.
                Bytes id = result.credentialID.empty() && allowed.size() == 1 ? allowed.front() : result.credentialID;
                if (std::find(allowed.begin(), allowed.end(), id) == allowed.end()) {
                    fail(Kind::failed, "The security key answered with a credential that was not allowed.");
                }
                chosenKey = &key;
                chosen = std::move(id);
                break;
            }
            if (status == FIDO_ERR_NO_CREDENTIALS) continue;
            if (allowed.size() == 1) {
                // A key that refuses silent requests: with one credential
                // there is nothing to choose, the real assertion settles it.
                chosenKey = &key;
                chosen = allowed.front();
                break;
            }
            refusal = status;
        }
        if (chosenKey == nullptr) failWithStatus(refusal);

        const auto index =
            static_cast<std::size_t>(std::find(allowed.begin(), allowed.end(), chosen) - allowed.begin());
        FidoAssertionParameters parameters;
        parameters.clientDataHash = clientDataHash;
        parameters.relyingPartyID = request.relyingPartyID;
        parameters.allowedCredentials = {chosen};
        parameters.extensions = FIDO_EXT_HMAC_SECRET;
        parameters.hmacSalt = prfSaltInput(*salts[index]);
        FidoAssertionResult result;
        const int status = verified(*chosenKey, [&](fido_opt_t userVerification, const char* pin) {
            parameters.userVerification = userVerification;
            result = {};
            return chosenKey->device->getAssertion(parameters, pin, result);
        });
        if (status != FIDO_OK) failWithStatus(status);
        if (!result.credentialID.empty() && result.credentialID != chosen) {
            fail(Kind::failed, "The security key answered with another credential.");
        }
        PasskeyAuthenticatorReply reply{chosen, true, {}, (result.flags & kFidoFlagUserVerified) != 0};
        if (result.hmacSecret.size() == kPrfLength) reply.prf = std::move(result.hmacSecret);
        return reply;
    }

private:
    struct Key {
        std::unique_ptr<FidoDevice> device;
        FidoDeviceInfo info;
    };

    void throwIfStopped() const {
        if (operation_.stopped()) fail(Kind::cancelled, "The security key request was cancelled.");
    }

    // Opens the FIDO2 keys present; unavailable when there is none.
    void openKeys() {
        for (const auto& path : library_.devicePaths()) {
            throwIfStopped();
            auto device = library_.open(path);
            if (!device) continue;
            FidoDeviceInfo info = device->info();
            if (info.fido2) keys_.push_back({std::move(device), std::move(info)});
        }
        throwIfStopped();
        if (keys_.empty()) fail(Kind::unavailable, "No security key is present.");
    }

    // A key can give a verified PRF output: it lists "hmac-secret" and can
    // verify the user (built-in or by PIN).
    static bool canVerify(const Key& key) {
        return key.info.option("uv") == true || key.info.option("clientPin") == true;
    }
    static bool usable(const Key& key) { return key.info.hasExtension(kHmacSecret) && canVerify(key); }

    // The first usable key; unsupported when there is none.
    Key* firstUsable() {
        for (auto& key : keys_) {
            if (usable(key)) return &key;
        }
        for (const auto& key : keys_) {
            if (key.info.hasExtension(kHmacSecret)) {
                fail(Kind::unsupported, "The security key cannot verify the user: it has no PIN set.");
            }
        }
        fail(Kind::unsupported, "The security key does not support hmac-secret.");
    }

    // Runs a ceremony with user verification: the key's built-in
    // verification when configured, else its PIN (asked again while wrong).
    // Returns the last status.
    template <class Call>
    int verified(Key& key, Call call) {
        const bool hasPin = key.info.option("clientPin") == true;
        bool builtIn = key.info.option("uv") == true;
        bool wrongPin = false;
        for (;;) {
            SecretBytes pin;
            if (!builtIn) pin = askPin(key, wrongPin);
            const char* pinText = builtIn ? nullptr : reinterpret_cast<const char*>(pin.data());
            const int status = operation_.onDevice(
                *key.device, [&] { return call(builtIn ? FIDO_OPT_TRUE : FIDO_OPT_OMIT, pinText); });
            throwIfStopped();
            if (!builtIn && status == FIDO_ERR_PIN_INVALID) {
                wrongPin = true;
                continue;
            }
            if (builtIn && hasPin &&
                (status == FIDO_ERR_UV_BLOCKED || status == FIDO_ERR_UV_INVALID || status == FIDO_ERR_PIN_REQUIRED)) {
                // Built-in verification failed or is locked: the PIN still works.
                builtIn = false;
                continue;
            }
            return status;
        }
    }

    // The PIN, NUL-terminated; cancelled when the user gives none.
    SecretBytes askPin(Key& key, bool previousWasWrong) {
        std::optional<int> retries;
        operation_.onDevice(*key.device, [&] {
            retries = key.device->pinRetries();
            return FIDO_OK;
        });
        auto pin = pinPrompt_.pin({retries, previousWasWrong}, operation_.token());
        throwIfStopped();
        if (!pin) fail(Kind::cancelled, "No PIN was given.");
        if (std::find(pin->begin(), pin->end(), std::uint8_t{0}) != pin->end()) {
            fail(Kind::failed, "The PIN holds a NUL character.");
        }
        pin->push_back(0);
        return std::move(*pin);
    }

    FidoLibrary& library_;
    PasskeyPinPrompt& pinPrompt_;
    Operation& operation_;
    std::vector<Key> keys_;
};

SecurityKeyAuthenticator::SecurityKeyAuthenticator(FidoLibrary& library, PasskeyPinPrompt& pinPrompt, TaskPool& workers)
    : library_(library), pinPrompt_(pinPrompt), workers_(workers) {}

SecurityKeyAuthenticator::~SecurityKeyAuthenticator() {
    std::unique_lock lock(mutex_);
    for (Operation* operation : running_) operation->cancel();
    idle_.wait(lock, [&] { return running_.empty(); });
}

std::shared_ptr<PasskeyAuthenticatorOperation> SecurityKeyAuthenticator::registerCredential(
    PasskeyRegistrationRequest request, Completion completion) {
    return start([request = std::move(request)](Ceremony& ceremony) { return ceremony.registration(request); },
                 std::move(completion));
}

std::shared_ptr<PasskeyAuthenticatorOperation> SecurityKeyAuthenticator::assertCredential(
    PasskeyAssertionRequest request, Completion completion) {
    return start([request = std::move(request)](Ceremony& ceremony) { return ceremony.assertion(request); },
                 std::move(completion));
}

std::shared_ptr<PasskeyAuthenticatorOperation> SecurityKeyAuthenticator::start(
    std::function<PasskeyAuthenticatorReply(Ceremony&)> body, Completion completion) {
    auto operation = std::make_shared<Operation>();
    {
        std::lock_guard lock(mutex_);
        running_.push_back(operation.get());
    }
    auto finished = [this, raw = operation.get()] {
        std::lock_guard lock(mutex_);
        running_.erase(std::find(running_.begin(), running_.end(), raw));
        idle_.notify_all();
    };
    auto work = [this, operation, body = std::move(body), completion, finished](std::stop_token poolStop) {
        std::stop_callback onShutdown(poolStop, [&operation] { operation->cancel(); });
        std::optional<PasskeyAuthenticatorReply> reply;
        std::exception_ptr error;
        try {
            Ceremony ceremony(library_, pinPrompt_, *operation);
            reply = body(ceremony);
        } catch (...) {
            error = std::current_exception();
        }
        if (operation->stopped()) {
            // Whatever the key said after a cancel, the operation was cancelled.
            reply.reset();
            error = std::make_exception_ptr(
                PasskeyAuthenticatorError(Kind::cancelled, "The security key request was cancelled."));
        }
        completion(std::move(reply), error);
        // Last: the destructor may go on once the operation is gone.
        finished();
    };
    if (!workers_.submit(std::move(work))) {
        finished();
        completion(std::nullopt, std::make_exception_ptr(PasskeyAuthenticatorError(
                                     Kind::cancelled, "The security key request was cancelled.")));
    }
    return operation;
}

}  // namespace nimbuscrate
