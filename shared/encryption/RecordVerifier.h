#pragma once

#include <exception>
#include <optional>

#include "shared/encryption/E2EECrypto.h"
#include "shared/encryption/P256PublicKey.h"

namespace nimbuscrate {

// The signature check of E2EECrypto::verifyRecord with the public key built
// from its JWK once, for opening many records of one key set (the library
// snapshot). It accepts and refuses exactly what verifyRecord does, in the
// same order: a malformed signature first, then the key's own error.
class RecordVerifier {
public:
    explicit RecordVerifier(const E2EEJSON& publicKey);

    // The record's "value" once its signature is valid.
    E2EEJSON verify(const E2EEJSON& record) const;

private:
    std::optional<P256PublicKey> key_;
    std::exception_ptr keyError_;
};

namespace E2EECrypto {

// openFile and openNode with a verifier made from keys."publicKey".
File openFile(const E2EEJSON& keys, const RecordVerifier& verifier, const E2EEJSON& record);
E2EEJSON openNode(const E2EEJSON& keys, const RecordVerifier& verifier, const E2EEJSON& record);

}  // namespace E2EECrypto

}  // namespace nimbuscrate
