#pragma once

#include <memory>

#include "platform/core/Bytes.h"
#include "shared/encryption/SecretBytes.h"

struct evp_pkey_st;

namespace nimbuscrate {

// A P-256 private key for ECDSA over SHA-256.
class P256SigningKey {
public:
    // From the 32-byte big-endian private scalar, which must lie in 1 ... n - 1
    // (n the group order); otherwise CryptoError(invalidPrivateKey).
    static P256SigningKey fromRawRepresentation(ByteView scalar);

    // The 64-byte raw ECDSA signature (r then s, 32 bytes each, big-endian)
    // of SHA-256(data), with a random nonce.
    Bytes signature(ByteView data) const;

    // The 65-byte uncompressed X9.63 form of the matching public key.
    Bytes publicKeyX963() const;

private:
    struct Deleter {
        void operator()(evp_pkey_st* key) const noexcept;
    };
    explicit P256SigningKey(evp_pkey_st* key, Bytes publicPoint) : key_(key, Deleter{}), publicPoint_(std::move(publicPoint)) {}
    std::shared_ptr<evp_pkey_st> key_;
    Bytes publicPoint_;
};

}  // namespace nimbuscrate
