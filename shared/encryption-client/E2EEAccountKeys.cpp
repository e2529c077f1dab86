#include "shared/encryption-client/E2EEAccountKeys.h"

#include <argon2.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/core/UnicodeText.h"
#include "shared/encryption/CryptoError.h"
#include "shared/encryption/E2EECrypto.h"
#include "shared/encryption/E2EEError.h"

namespace nimbuscrate::E2EECrypto {

static_assert(ARGON2_VERSION_NUMBER == 0x13, "argon2id_hash_raw must run Argon2 version 1.3");

namespace {

constexpr std::uint32_t kArgon2Passes = 3;
constexpr std::uint32_t kArgon2MemoryKiB = 65536;
constexpr std::uint32_t kArgon2Lanes = 4;
constexpr std::size_t kSaltLength = 16;

// The kdf member without its salt, as it must stand.
const E2EEJSON& fixedKdf() {
    static const E2EEJSON kdf = E2EEJSON::object({{"name", "argon2id"},
                                                  {"memorySize", static_cast<std::int64_t>(kArgon2MemoryKiB)},
                                                  {"iterations", static_cast<std::int64_t>(kArgon2Passes)},
                                                  {"parallelism", static_cast<std::int64_t>(kArgon2Lanes)}});
    return kdf;
}

std::string_view textOf(const SecretBytes& bytes) {
    return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// The envelope's plaintext; a tag that does not verify (a wrong secret, a
// changed envelope) is an invalid record like any other refusal.
SecretBytes openKeySetEnvelope(ByteView key, const E2EEJSON& envelope, ByteView aad) {
    try {
        return openEnvelope(key, envelope, aad, kMaxKeySetPlaintext);
    } catch (const CryptoError&) {
        throw E2EEError::invalid();
    }
}

}  // namespace

int argon2id(std::span<std::uint8_t> output, ByteView password, ByteView salt) noexcept {
    return argon2id_hash_raw(kArgon2Passes, kArgon2MemoryKiB, kArgon2Lanes, password.data(), password.size(),
                             salt.data(), salt.size(), output.data(), output.size());
}

SecretBytes derivePassphraseKey(const std::string& passphrase, const E2EEJSON& kdf) {
    if (!kdf.isObject()) throw E2EEError::invalid();
    E2EEJSON parameters = kdf;
    parameters.removeMember("salt");
    const std::optional<std::size_t> units = utf16Length(passphrase);
    if (!(parameters == fixedKdf()) || !units || *units < kMinPassphraseUnits || *units > kMaxPassphraseUnits) {
        throw E2EEError::invalid();
    }

    // The normalised passphrase lives only in this buffer, wiped when freed.
    SecretBytes workspace;
    const std::optional<std::size_t> length =
        compatibilityComposition(passphrase, [&workspace](std::size_t count) {
            workspace.assign(count * sizeof(std::int32_t), 0);
            return std::span<std::int32_t>(reinterpret_cast<std::int32_t*>(workspace.data()), count);
        });
    if (!length) throw E2EEError::invalid();
    const SecretBytes salt = base64URLDecode(kdf.member("salt"), kSaltLength, kSaltLength);

    SecretBytes key(kKeyLength, 0);
    const int status = argon2id(key, ByteView(workspace.data(), *length), salt);
    cleanse(workspace.data(), workspace.size());
    if (status != ARGON2_OK) throw E2EEError::invalid();
    return key;
}

E2EEJSON unlockAccountKeys(const E2EEJSON& keyRecord, const std::string& secret, bool useRecoveryKey) {
    const E2EEJSON& accountId = keyRecord.member("accountId");
    validatedIdentifier(accountId);
    const std::string label = useRecoveryKey ? "recovery" : "password";

    const SecretBytes wrappingKey =
        useRecoveryKey ? base64URLDecode(E2EEJSON(trimmedWhiteSpace(secret)), kKeyLength, kKeyLength)
                       : derivePassphraseKey(secret, keyRecord.member("kdf"));

    const E2EEJSON& envelope = keyRecord.member(label + "Envelope");
    const Bytes aad = associatedData(accountId, "account", "v1", label);
    const SecretBytes plaintext = openKeySetEnvelope(wrappingKey, envelope, aad);
    E2EEJSON keys = E2EEJSON::parse(textOf(plaintext));
    verifyKeyRecord(keys, keyRecord);
    return keys;
}

}  // namespace nimbuscrate::E2EECrypto
