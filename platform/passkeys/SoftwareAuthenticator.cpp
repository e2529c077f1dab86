#include "platform/passkeys/SoftwareAuthenticator.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <atomic>
#include <utility>

#include "platform/core/Random.h"

namespace nimbuscrate {

namespace {

constexpr std::size_t kCredentialLength = 32;
constexpr std::size_t kSecretLength = 32;

std::exception_ptr errorOf(PasskeyAuthenticatorError::Kind kind, const char* detail) {
    return std::make_exception_ptr(PasskeyAuthenticatorError(kind, detail));
}

}  // namespace

class SoftwareAuthenticator::Operation final : public PasskeyAuthenticatorOperation {
public:
    explicit Operation(std::shared_ptr<std::atomic<std::size_t>> cancellations)
        : cancellations_(std::move(cancellations)) {}
    // The software authenticator has nothing to stop: an answer is given at
    // once or held for the test, so a cancel is only counted.
    void cancel() override { ++*cancellations_; }

private:
    std::shared_ptr<std::atomic<std::size_t>> cancellations_;
};

SecretBytes SoftwareAuthenticator::prf(ByteView secret, ByteView salt) {
    const Bytes input = prfSaltInput(salt);
    SecretBytes out(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()), input.data(), input.size(), out.data(),
             &length) == nullptr) {
        throw PasskeyAuthenticatorError(PasskeyAuthenticatorError::Kind::failed, "HMAC-SHA-256 failed.");
    }
    out.resize(length);
    return out;
}

void SoftwareAuthenticator::setBehaviour(Behaviour behaviour) {
    std::lock_guard lock(mutex_);
    behaviour_ = behaviour;
}

void SoftwareAuthenticator::addCredential(const std::string& relyingPartyID, Bytes credentialID, SecretBytes secret) {
    std::lock_guard lock(mutex_);
    credentials_.push_back({relyingPartyID, std::move(credentialID), std::move(secret)});
}

std::size_t SoftwareAuthenticator::credentialCount() const {
    std::lock_guard lock(mutex_);
    return credentials_.size();
}

std::size_t SoftwareAuthenticator::answerHeld() {
    std::vector<std::function<void()>> held;
    {
        std::lock_guard lock(mutex_);
        held.swap(held_);
    }
    for (auto& deliver : held) deliver();
    return held.size();
}

std::size_t SoftwareAuthenticator::heldAnswers() const {
    std::lock_guard lock(mutex_);
    return held_.size();
}

std::vector<PasskeyRegistrationRequest> SoftwareAuthenticator::registrations() const {
    std::lock_guard lock(mutex_);
    return registrations_;
}

std::vector<PasskeyAssertionRequest> SoftwareAuthenticator::assertions() const {
    std::lock_guard lock(mutex_);
    return assertions_;
}

std::size_t SoftwareAuthenticator::cancellations() const { return *cancellations_; }

std::shared_ptr<PasskeyAuthenticatorOperation> SoftwareAuthenticator::registerCredential(
    PasskeyRegistrationRequest request, Completion completion) {
    Behaviour behaviour;
    std::optional<PasskeyAuthenticatorReply> reply;
    {
        std::lock_guard lock(mutex_);
        behaviour = behaviour_;
        registrations_.push_back(request);
        if (behaviour == Behaviour::succeed || behaviour == Behaviour::withoutPRF ||
            behaviour == Behaviour::withoutUserVerification || behaviour == Behaviour::silent) {
            const bool excluded = std::any_of(credentials_.begin(), credentials_.end(), [&](const Credential& c) {
                return c.relyingPartyID == request.relyingPartyID &&
                       std::find(request.excludedCredentials.begin(), request.excludedCredentials.end(), c.id) !=
                           request.excludedCredentials.end();
            });
            if (!excluded) {
                Credential credential{request.relyingPartyID, randomBytes(kCredentialLength),
                                      SecretBytes(kSecretLength)};
                fillRandom(credential.secret.data(), credential.secret.size());
                reply.emplace();
                reply->credentialID = credential.id;
                reply->prfSupported = behaviour != Behaviour::withoutPRF;
                reply->userVerified = behaviour != Behaviour::withoutUserVerification;
                credentials_.push_back(std::move(credential));
            }
        }
    }
    if (!reply && (behaviour != Behaviour::cancel && behaviour != Behaviour::unavailable)) {
        return answer(behaviour, std::move(completion), std::nullopt,
                      errorOf(PasskeyAuthenticatorError::Kind::failed,
                              "The authenticator already holds one of the excluded credentials."));
    }
    return answer(behaviour, std::move(completion), std::move(reply), nullptr);
}

std::shared_ptr<PasskeyAuthenticatorOperation> SoftwareAuthenticator::assertCredential(PasskeyAssertionRequest request,
                                                                                       Completion completion) {
    Behaviour behaviour;
    std::optional<PasskeyAuthenticatorReply> reply;
    {
        std::lock_guard lock(mutex_);
        behaviour = behaviour_;
        assertions_.push_back(request);
        // The first allowed credential this authenticator holds, as a
        // security key answers an allow list.
        for (const auto& allowed : request.allowedCredentials) {
            const auto held = std::find_if(credentials_.begin(), credentials_.end(), [&](const Credential& c) {
                return c.relyingPartyID == request.relyingPartyID && c.id == allowed.credentialID;
            });
            if (held == credentials_.end()) continue;
            reply.emplace();
            reply->credentialID = held->id;
            reply->prfSupported = behaviour != Behaviour::withoutPRF;
            reply->userVerified = behaviour != Behaviour::withoutUserVerification;
            if (behaviour != Behaviour::withoutPRF) reply->prf = prf(held->secret, allowed.salt);
            break;
        }
    }
    if (!reply && (behaviour != Behaviour::cancel && behaviour != Behaviour::unavailable)) {
        return answer(behaviour, std::move(completion), std::nullopt,
                      errorOf(PasskeyAuthenticatorError::Kind::noCredential,
                              "None of the allowed credentials is on the authenticator."));
    }
    return answer(behaviour, std::move(completion), std::move(reply), nullptr);
}

std::shared_ptr<PasskeyAuthenticatorOperation> SoftwareAuthenticator::answer(
    Behaviour behaviour, Completion completion, std::optional<PasskeyAuthenticatorReply> reply,
    std::exception_ptr error) {
    auto operation = std::make_shared<Operation>(cancellations_);
    switch (behaviour) {
        case Behaviour::cancel:
            completion(std::nullopt, errorOf(PasskeyAuthenticatorError::Kind::cancelled, "The user cancelled."));
            break;
        case Behaviour::unavailable:
            completion(std::nullopt,
                       errorOf(PasskeyAuthenticatorError::Kind::unavailable, "No authenticator is present."));
            break;
        case Behaviour::silent: {
            std::lock_guard lock(mutex_);
            held_.push_back([completion = std::move(completion), reply = std::move(reply), error]() mutable {
                completion(std::move(reply), error);
            });
            break;
        }
        default:
            completion(std::move(reply), error);
            break;
    }
    return operation;
}

}  // namespace nimbuscrate
