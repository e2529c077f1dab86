#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace nimbuscrate {

// A failure reported by the cryptography itself rather than by the record
// checks: an AES-GCM tag that does not verify, a public point that is not on
// the curve, a private scalar out of range, or a failure inside the library.
// These pass through the record operations unchanged (they are not turned
// into E2EEError); callers that must present every refusal alike treat them
// as an untrusted record.
class CryptoError : public std::runtime_error {
public:
    enum class Kind : std::uint8_t {
        authenticationFailure,  // AES-GCM open: the tag did not verify
        invalidPublicKey,       // a point that is not a valid P-256 public key
        invalidPrivateKey,      // a private scalar outside 1 ... n - 1
        invalidSignature,       // a signature that cannot be represented
        libraryFailure,         // an unexpected failure of the library
    };

    CryptoError(Kind kind, const std::string& description) : std::runtime_error(description), kind_(kind) {}

    static CryptoError authenticationFailure() {
        return CryptoError(Kind::authenticationFailure, "The data could not be authenticated.");
    }

    Kind kind() const noexcept { return kind_; }

private:
    Kind kind_;
};

}  // namespace nimbuscrate
