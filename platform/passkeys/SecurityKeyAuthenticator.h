#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/passkeys/FidoDevice.h"
#include "platform/passkeys/PasskeyAuthenticator.h"
#include "platform/passkeys/PasskeyPinPrompt.h"
#include "platform/tasks/TaskPool.h"

namespace nimbuscrate {

// Passkeys on FIDO2 security keys through libfido2 (the FidoLibrary seam).
// The PRF extension is the key's "hmac-secret": a key that does not list it
// is refused, and each PRF salt is sent hashed (prfSaltInput).
//
// User verification is always asked for: the key's built-in verification
// when it has one configured, else its PIN through the prompt; a key that
// can do neither is refused as unsupported. A wrong PIN asks again.
//
// Only FIDO2 keys that list "hmac-secret" and can verify the user take
// part. Registration uses the first of them, with the excluded credentials,
// "hmac-secret" asked for, not discoverable.
//
// Assertion: CTAP2 takes one salt per assertion, so a silent pre-flight
// (no user presence, no verification, no extension) with every allowed
// credential finds the key and the credential it holds; the real assertion
// then allows only that credential and sends its salt.
//
// Blocking device calls run on the worker pool; the completion is called
// there, exactly once per operation. cancel() stops the PIN prompt and
// cancels the device call in progress (fido_dev_cancel); the operation then
// answers cancelled. The destructor cancels running operations and waits
// for their workers.
class SecurityKeyAuthenticator final : public PasskeyAuthenticator {
public:
    static constexpr const char* kRelyingPartyName = "Nimbuscrate";

    SecurityKeyAuthenticator(FidoLibrary& library, PasskeyPinPrompt& pinPrompt, TaskPool& workers);
    ~SecurityKeyAuthenticator() override;
    SecurityKeyAuthenticator(const SecurityKeyAuthenticator&) = delete;
    SecurityKeyAuthenticator& operator=(const SecurityKeyAuthenticator&) = delete;

    std::shared_ptr<PasskeyAuthenticatorOperation> registerCredential(PasskeyRegistrationRequest request,
                                                                      Completion completion) override;
    std::shared_ptr<PasskeyAuthenticatorOperation> assertCredential(PasskeyAssertionRequest request,
                                                                    Completion completion) override;

private:
    class Operation;
    class Ceremony;

    std::shared_ptr<PasskeyAuthenticatorOperation> start(std::function<PasskeyAuthenticatorReply(Ceremony&)> body,
                                                         Completion completion);

    FidoLibrary& library_;
    PasskeyPinPrompt& pinPrompt_;
    TaskPool& workers_;

    // Guards running_; an operation's own mutex may be taken under it (the
    // destructor cancels them), never the other way round.
    std::mutex mutex_;
    std::condition_variable idle_;
    // Operations whose worker has not finished; each stays alive (its worker
    // holds it) until the worker removes it.
    std::vector<Operation*> running_;
};

}  // namespace nimbuscrate
