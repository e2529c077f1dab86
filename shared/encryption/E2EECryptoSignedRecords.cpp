// Signed records and account keys of E2EECrypto.
#include "platform/core/Bytes.h"
#include "shared/encryption/E2EECrypto.h"
#include "shared/encryption/E2EEError.h"
#include "shared/encryption/P256SigningKey.h"
#include "shared/encryption/RecordVerifier.h"

namespace nimbuscrate::E2EECrypto {

P256PublicKey publicKeyFromJWK(const E2EEJSON& jwk) {
    if (!jwk.isNonEmptyObject()) throw E2EEError::invalid();
    if (!(jwk.member("kty") == E2EEJSON("EC"))) throw E2EEError::invalid();
    if (!(jwk.member("crv") == E2EEJSON("P-256"))) throw E2EEError::invalid();
    if (!(jwk.member("ext") == E2EEJSON(true))) throw E2EEError::invalid();
    if (!(jwk.member("key_ops") == E2EEJSON::array({"verify"}))) throw E2EEError::invalid();
    // A public key never carries the private scalar.
    if (!jwk.member("d").isNull()) throw E2EEError::invalid();
    const SecretBytes x = base64URLDecode(jwk.member("x"), 32, 32);
    const SecretBytes y = base64URLDecode(jwk.member("y"), 32, 32);
    Bytes point;
    point.reserve(65);
    point.push_back(0x04);
    point.insert(point.end(), x.begin(), x.end());
    point.insert(point.end(), y.begin(), y.end());
    return P256PublicKey::fromX963Representation(point);
}

E2EEJSON signRecord(const E2EEJSON& keys, const E2EEJSON& value) {
    const E2EEJSON& signingKey = keys.member("signingKey");
    if (!signingKey.isNonEmptyObject()) throw E2EEError::invalid();
    const SecretBytes d = base64URLDecode(signingKey.member("d"), 32, 32);
    const P256SigningKey key = P256SigningKey::fromRawRepresentation(d);
    const Bytes bytes = bytesOf(value.canonicalString());
    const Bytes signature = key.signature(bytes);
    return E2EEJSON::object({{"value", value}, {"signature", base64URLEncode(signature)}});
}

E2EEJSON verifyRecord(const E2EEJSON& publicKey, const E2EEJSON& record) {
    const SecretBytes signature = base64URLDecode(record.member("signature"), 64, 64);
    const P256PublicKey key = publicKeyFromJWK(publicKey);
    const E2EEJSON& value = record.member("value");
    const Bytes bytes = bytesOf(value.canonicalString());
    if (!key.isValidSignature(signature, bytes)) throw E2EEError::invalid();
    return value;
}

}  // namespace nimbuscrate::E2EECrypto

namespace nimbuscrate {

RecordVerifier::RecordVerifier(const E2EEJSON& publicKey) {
    try {
        key_.emplace(E2EECrypto::publicKeyFromJWK(publicKey));
    } catch (...) {
        keyError_ = std::current_exception();
    }
}

E2EEJSON RecordVerifier::verify(const E2EEJSON& record) const {
    const SecretBytes signature = E2EECrypto::base64URLDecode(record.member("signature"), 64, 64);
    if (keyError_) std::rethrow_exception(keyError_);
    const E2EEJSON& value = record.member("value");
    const Bytes bytes = bytesOf(value.canonicalString());
    if (!key_->isValidSignature(signature, bytes)) throw E2EEError::invalid();
    return value;
}

}  // namespace nimbuscrate

namespace nimbuscrate::E2EECrypto {

void verifyKeyRecord(const E2EEJSON& keys, const E2EEJSON& keyRecord) {
    if (!keys.isNonEmptyObject() || !(keys.member("version") == E2EEJSON(1))) throw E2EEError::invalid();
    if (!keyRecord.isNonEmptyObject() || !(keyRecord.member("version") == E2EEJSON(1))) throw E2EEError::invalid();
    if (!(keys.member("accountId") == keyRecord.member("accountId"))) throw E2EEError::invalid();
    if (!(keys.member("publicKey") == keyRecord.member("publicKey"))) throw E2EEError::invalid();
    base64URLDecode(keys.member("root"), 32, 32);
    // A test signature proves that the private signing key matches the
    // public key that the account publishes.
    const E2EEJSON unlock = E2EEJSON::object({{"purpose", "unlock"}, {"accountId", keys.member("accountId")}});
    const E2EEJSON record = signRecord(keys, unlock);
    verifyRecord(keyRecord.member("publicKey"), record);
}

}  // namespace nimbuscrate::E2EECrypto
