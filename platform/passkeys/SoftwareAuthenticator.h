#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/passkeys/PasskeyAuthenticator.h"

namespace nimbuscrate {

// An authenticator in memory, for tests and the demo. Each credential it
// makes has a random 32-byte id and a random 32-byte secret; its PRF output
// for a salt is HMAC-SHA-256(secret, prfSaltInput(salt)), as a security
// key's "hmac-secret" with user verification. Credentials live as long as
// the object.
//
// Tests script how the following ceremonies answer (setBehaviour) and read
// back the requests it was given. All members may be called from any thread.
class SoftwareAuthenticator final : public PasskeyAuthenticator {
public:
    enum class Behaviour {
        succeed,                  // answer at once, user verified
        withoutPRF,               // registration without PRF support, assertion without a PRF output
        withoutUserVerification,  // as succeed, but the user was not verified
        cancel,                   // the user cancels at once
        unavailable,              // no authenticator present
        silent,                   // compute the answer but hold it until answerHeld(); cancel() is only counted
    };

    void setBehaviour(Behaviour behaviour);

    // Adds a credential for the relying party (fixtures).
    void addCredential(const std::string& relyingPartyID, Bytes credentialID, SecretBytes secret);
    std::size_t credentialCount() const;

    // Delivers the answers held by silent ceremonies, oldest first; returns how many.
    std::size_t answerHeld();
    std::size_t heldAnswers() const;

    // Every request received so far, and how often an operation was cancelled.
    std::vector<PasskeyRegistrationRequest> registrations() const;
    std::vector<PasskeyAssertionRequest> assertions() const;
    std::size_t cancellations() const;

    std::shared_ptr<PasskeyAuthenticatorOperation> registerCredential(PasskeyRegistrationRequest request,
                                                                      Completion completion) override;
    std::shared_ptr<PasskeyAuthenticatorOperation> assertCredential(PasskeyAssertionRequest request,
                                                                    Completion completion) override;

    // HMAC-SHA-256(secret, prfSaltInput(salt)).
    static SecretBytes prf(ByteView secret, ByteView salt);

private:
    struct Credential {
        std::string relyingPartyID;
        Bytes id;
        SecretBytes secret;
    };
    class Operation;

    // Answers now, or holds the answer when silent. Called without mutex_.
    std::shared_ptr<PasskeyAuthenticatorOperation> answer(Behaviour behaviour, Completion completion,
                                                          std::optional<PasskeyAuthenticatorReply> reply,
                                                          std::exception_ptr error);

    // Guards every member below; completions are never called under it.
    mutable std::mutex mutex_;
    Behaviour behaviour_ = Behaviour::succeed;
    std::vector<Credential> credentials_;
    std::vector<PasskeyRegistrationRequest> registrations_;
    std::vector<PasskeyAssertionRequest> assertions_;
    std::vector<std::function<void()>> held_;
    // Shared with the operations, which may outlive this object.
    std::shared_ptr<std::atomic<std::size_t>> cancellations_ = std::make_shared<std::atomic<std::size_t>>(0);
};

}  // namespace nimbuscrate
