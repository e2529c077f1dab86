#pragma once

// Passkey records, the wrapping of the unlocked key set under a passkey's PRF
// output, the signed intents that change the service's passkey list, and the
// check of that list. Pure functions: they hold no state and may run on any
// thread. Every refusal is E2EEError::invalid unless said otherwise.
//
// A passkey record (what the app registers):
//
//   {"version": 1,
//    "id": lower-case UUID,
//    "rpId": relying party, at most 253 bytes of [a-z0-9] runs joined by "." or "-",
//    "label": 1 to 80 UTF-8 bytes, not padded with white space, no control character,
//    "credentialId": unpadded base64url of 1 to 1023 bytes,
//    "salt": unpadded base64url of 32 bytes (the PRF salt)}
//
// A stored passkey is the record plus "envelope": the unlocked key set (its
// canonical JSON) sealed with AES-256-GCM under
//
//   wrap key     = HKDF-SHA256(PRF output, "nimbuscrate-e2ee-v1", wrap context)
//   wrap context = canonical JSON of the six record members plus
//                  "purpose": "nimbuscrate-passkey-wrap-v1" and "accountId"
//
// with the wrap context also as associated data. "envelope" is never part of
// the context, so a stored passkey unwraps with the context of its record.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/Bytes.h"
#include "shared/encryption/E2EEJSON.h"
#include "shared/encryption/SecretBytes.h"

namespace nimbuscrate {

inline constexpr std::size_t kMaxPasskeys = 10;
inline constexpr std::size_t kMaxPasskeyEnvelopePlaintext = 16384;
inline constexpr std::string_view kPasskeyWrapPurpose = "nimbuscrate-passkey-wrap-v1";

// The record reduced to its six checked members ("envelope" and anything
// else dropped), in the order of the checks: the types of "id", "rpId",
// "label" and "version", then "id", "credentialId", "salt", "rpId", "label".
E2EEJSON validatePasskeyRecord(const E2EEJSON& record);

// The UTF-8 wrap context of a record for an account (accountId must be an
// identifier string).
Bytes passkeyWrapContext(const E2EEJSON& accountId, const E2EEJSON& record);

// The stored passkey: the checked record with "envelope" holding the key set
// sealed under a 32-byte PRF output (another length: E2EEError::invalid).
E2EEJSON wrapForPasskey(const E2EEJSON& keys, const E2EEJSON& record, ByteView prf);

// The key set in a stored passkey's envelope, opened with the PRF output and
// checked against the account's key record (as E2EECrypto::verifyKeyRecord
// checks it). A tag that does not verify is E2EEError::invalid; a plaintext
// that is not JSON is the reader's JSONReadError.
E2EEJSON unwrapPasskeyEnvelope(const E2EEJSON& keyRecord, const E2EEJSON& passkey, ByteView prf);

// A new record for the web app host: a fresh lower-case UUID, 32 random bytes
// of credential identifier and of salt, the label trimmed of white space.
E2EEJSON makePasskeyRecord(std::string_view label);
// The same for a given relying party (tests and other deployments).
E2EEJSON makePasskeyRecord(std::string_view label, std::string_view rpId);

// {"value": {"purpose": "passkey-" + purposeSuffix, "accountId": the key
// set's (null when none), "generation", memberName: memberValue}, "signature"},
// signed with the key set.
E2EEJSON signedPasskeyIntent(const E2EEJSON& keys, std::int64_t generation, const E2EEJSON& memberValue,
                             std::string_view purposeSuffix, std::string_view memberName);
// The add intent of a stored passkey.
E2EEJSON signedPasskeyAddIntent(const E2EEJSON& keys, std::int64_t generation, const E2EEJSON& storedPasskey);
// The remove intent of a passkey (its "id", null when none).
E2EEJSON signedPasskeyRemoveIntent(const E2EEJSON& keys, std::int64_t generation, const E2EEJSON& passkey);

// Whether a value is a JSON integer of a passkey list or intent generation:
// 1 ... 2^53 - 1.
bool isPasskeyGeneration(const E2EEJSON& value) noexcept;

// The stored passkeys of the service's list reply {"accountId", "generation",
// "items": [signed add intent...]}, in its order, each verified with the
// account's key record "publicKey": for this account, of a generation below
// the list's, a valid record with a well-formed envelope of 48 to 16,384
// ciphertext bytes, no "id" or "credentialId" twice, at most ten.
std::vector<E2EEJSON> verifyPasskeySnapshot(const E2EEJSON& account, const E2EEJSON& reply);

}  // namespace nimbuscrate
