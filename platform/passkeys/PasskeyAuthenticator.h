#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/core/Bytes.h"
#include "platform/core/SecretBytes.h"

namespace nimbuscrate {

// The platform authenticator that makes and uses passkeys with the PRF
// extension: a security key over USB (SecurityKeyAuthenticator) or the
// software authenticator of tests and the demo (SoftwareAuthenticator).
//
// The PRF output of a credential for a 32-byte salt is what a browser's PRF
// extension gives: the credential's CTAP2 "hmac-secret" output for the salt
// hashed as SHA-256("WebAuthn PRF" || 0x00 || salt) (prfSaltInput).

// A new credential for the relying party, with user verification required
// and the PRF extension asked for.
struct PasskeyRegistrationRequest {
    std::string relyingPartyID;
    Bytes challenge;                         // 32 random bytes
    Bytes userID;                            // the account id's UTF-8 bytes
    std::string userName;                    // "Nimbuscrate " followed by the account id
    std::string userDisplayName;             // "Nimbuscrate encrypted files"
    std::vector<Bytes> excludedCredentials;  // credentials the authenticator must not duplicate
};

// One credential the assertion may use, and the PRF salt (32 bytes, not yet
// hashed) to evaluate with it.
struct PasskeyAllowedCredential {
    Bytes credentialID;
    Bytes salt;
};

// An assertion with user verification required and the PRF extension: the
// authenticator uses one of the allowed credentials and evaluates the PRF
// with that credential's salt.
struct PasskeyAssertionRequest {
    std::string relyingPartyID;
    Bytes challenge;  // 32 random bytes
    std::vector<PasskeyAllowedCredential> allowedCredentials;
};

// What the authenticator answered. A registration carries the new credential
// id and whether the credential supports the PRF extension; an assertion the
// credential that was used and its PRF output, when it gave one.
struct PasskeyAuthenticatorReply {
    Bytes credentialID;
    bool prfSupported = false;
    SecretBytes prf;  // empty when there is none
    // The authenticator verified the user (PIN or built-in); the "hmac-secret"
    // output of a credential differs with and without verification.
    bool userVerified = false;
};

// How a ceremony failed.
class PasskeyAuthenticatorError : public std::runtime_error {
public:
    enum class Kind : std::uint8_t {
        cancelled,     // the user gave up (closed the PIN prompt, refused, did not touch) or cancel() was called
        unavailable,   // no authenticator is present
        unsupported,   // the authenticator cannot do what the request needs (no "hmac-secret", no user verification)
        noCredential,  // none of the allowed credentials is on the authenticator
        failed,        // any other failure of the authenticator or its connection
    };

    PasskeyAuthenticatorError(Kind kind, const std::string& detail) : std::runtime_error(detail), kind_(kind) {}
    Kind kind() const noexcept { return kind_; }

private:
    Kind kind_;
};

// One running ceremony.
class PasskeyAuthenticatorOperation {
public:
    virtual ~PasskeyAuthenticatorOperation() = default;
    // Any thread, any number of times: asks the authenticator to stop. An
    // operation that has not answered yet then answers with cancelled (an
    // authenticator that never answers may stay silent).
    virtual void cancel() = 0;
};

class PasskeyAuthenticator {
public:
    // Called at most once per operation, on any thread, possibly before the
    // starting call returns: with the reply, or with an error (normally a
    // PasskeyAuthenticatorError). Callers must not rely on an answer coming:
    // they keep their own time limit.
    using Completion = std::function<void(std::optional<PasskeyAuthenticatorReply> reply, std::exception_ptr error)>;

    virtual ~PasskeyAuthenticator() = default;

    // Start a ceremony and return at once with its handle.
    virtual std::shared_ptr<PasskeyAuthenticatorOperation> registerCredential(PasskeyRegistrationRequest request,
                                                                              Completion completion) = 0;
    virtual std::shared_ptr<PasskeyAuthenticatorOperation> assertCredential(PasskeyAssertionRequest request,
                                                                            Completion completion) = 0;
};

// SHA-256("WebAuthn PRF" || 0x00 || salt): the "hmac-secret" salt that gives
// the PRF output for a PRF salt.
Bytes prfSaltInput(ByteView salt);

}  // namespace nimbuscrate
