#pragma once

// Unlocking the account's key set with the user's encryption passphrase or
// recovery key. Pure and synchronous: no state, any thread. The passphrase
// derivation takes 64 MiB and about a second, so callers run it off the
// threads that must stay responsive.
//
// The account's key record carries the key set sealed twice (envelopes of
// AES-256-GCM, see E2EECrypto::sealEnvelope):
//
//   "passwordEnvelope"  under Argon2id(NFKC(passphrase), kdf "salt")
//   "recoveryEnvelope"  under the recovery key: 32 bytes written as 43
//                       characters of unpadded base64url
//
// each with the associated data ["nimbuscrate-e2ee-v1", accountId, "account",
// "v1", "password" or "recovery"]. The "kdf" member is exactly
// {"name": "argon2id", "memorySize": 65536, "iterations": 3,
//  "parallelism": 4, "salt": 16 bytes of unpadded base64url}; the Argon2id
// parameters are fixed here (version 0x13, 3 passes, 64 MiB, 4 lanes,
// 32 bytes out) and the record's values are only compared with them.

#include <cstddef>
#include <span>
#include <string>

#include "shared/encryption/E2EEJSON.h"
#include "shared/encryption/SecretBytes.h"

namespace nimbuscrate::E2EECrypto {

inline constexpr std::size_t kMinPassphraseUnits = 8;
inline constexpr std::size_t kMaxPassphraseUnits = 1024;
inline constexpr std::size_t kMaxKeySetPlaintext = 16384;

// The unlocked key set of a key record: opens the passphrase's envelope (or,
// with useRecoveryKey, the recovery key's) and checks the key set against the
// record (verifyKeyRecord). Every refusal, a wrong secret included, is
// E2EEError::invalid, given before any hashing wherever the input alone shows
// it; a plaintext that is not JSON is the reader's JSONReadError. Every
// buffer that held a secret is wiped before the call returns or throws.
E2EEJSON unlockAccountKeys(const E2EEJSON& keyRecord, const std::string& secret, bool useRecoveryKey);

// The 32-byte key of a passphrase under a "kdf" member: the passphrase must
// have 8 to 1024 UTF-16 code units and is used as typed (not trimmed), in its
// NFKC form. E2EEError::invalid for a kdf other than the fixed one, a salt
// that is not 16 bytes, a passphrase out of range or a failure of Argon2.
SecretBytes derivePassphraseKey(const std::string& passphrase, const E2EEJSON& kdf);

// Argon2id (version 0x13, 3 passes, 65536 KiB, 4 lanes, no secret, no
// associated data) of password and salt into output, in place; the status
// of libargon2 (0 is success).
int argon2id(std::span<std::uint8_t> output, ByteView password, ByteView salt) noexcept;

}  // namespace nimbuscrate::E2EECrypto
