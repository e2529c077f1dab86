#pragma once

#include <memory>

#include "platform/core/Bytes.h"
#include "shared/encryption/SecretBytes.h"

struct evp_pkey_st;

namespace nimbuscrate {

// A P-256 public key for ECDSA over SHA-256.
class P256PublicKey {
public:
    // From the 65-byte uncompressed X9.63 form (0x04, x, y). A point that is
    // not on the curve, or any other form, throws CryptoError(invalidPublicKey).
    static P256PublicKey fromX963Representation(ByteView point);

    // Whether signature (64 bytes: r then s, big-endian) is a valid ECDSA
    // signature of SHA-256(data). A signature of another length, or with r or
    // s zero or not below the group order, is simply not valid.
    bool isValidSignature(ByteView signature, ByteView data) const;

    // The 65-byte uncompressed X9.63 form.
    Bytes x963Representation() const;

private:
    struct Deleter {
        void operator()(evp_pkey_st* key) const noexcept;
    };
    explicit P256PublicKey(evp_pkey_st* key) : key_(key, Deleter{}) {}
    std::shared_ptr<evp_pkey_st> key_;
};

}  // namespace nimbuscrate
