#include "shared/encryption-client/E2EEPasskeyRecords.h"

#include <set>

#include "platform/core/PlatformError.h"
#include "platform/core/Random.h"
#include "platform/core/UnicodeText.h"
#include "shared/encryption/CryptoError.h"
#include "shared/encryption/E2EECrypto.h"
#include "shared/encryption/E2EEError.h"
#include "shared/session/ServiceEndpoints.h"

namespace nimbuscrate {

namespace {

constexpr std::size_t kMaxCredentialIdBytes = 1023;
constexpr std::size_t kSaltBytes = 32;
constexpr std::size_t kMaxRpIdBytes = 253;
constexpr std::size_t kMaxLabelBytes = 80;
constexpr std::size_t kMinEnvelopeCiphertext = 48;

bool isLowerHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// "^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"
bool isLowerUUID(std::string_view text) {
    if (text.size() != 36) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : !isLowerHex(text[i])) return false;
    }
    return true;
}

// "^[a-z0-9]+(?:[.-][a-z0-9]+)*$"
bool isRelyingParty(std::string_view text) {
    bool afterSeparator = true;  // the start counts as one: a run must follow
    for (const char c : text) {
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
            afterSeparator = false;
        } else if ((c == '.' || c == '-') && !afterSeparator) {
            afterSeparator = true;
        } else {
            return false;
        }
    }
    return !afterSeparator;
}

bool hasControlCharacter(std::string_view text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) return true;
    }
    return false;
}

bool isLabel(std::string_view text) {
    return !text.empty() && text.size() <= kMaxLabelBytes && isValidUTF8(text) && trimmedWhiteSpace(text) == text &&
           !hasControlCharacter(text);
}

std::string_view textOf(const SecretBytes& bytes) {
    return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// The canonical text of a value as secret bytes; the string it was written
// into is wiped.
SecretBytes canonicalSecret(const E2EEJSON& value) {
    std::string text = value.canonicalString();
    SecretBytes bytes(text.begin(), text.end());
    cleanse(reinterpret_cast<std::uint8_t*>(text.data()), text.size());
    return bytes;
}

// 12-byte nonce and 48 to 16,384 bytes of ciphertext with tag.
void checkStoredEnvelope(const E2EEJSON& envelope) {
    const std::optional<std::int64_t> version = envelope.member("version").integerValue();
    const std::string* cipher = envelope.member("cipher").stringValue();
    if (!envelope.isObject() || !envelope.member("version").isInteger() || version != 1 || !cipher ||
        *cipher != "A256GCM") {
        throw E2EEError::invalid();
    }
    E2EECrypto::base64URLDecode(envelope.member("iv"), E2EECrypto::kNonceLength, E2EECrypto::kNonceLength);
    const SecretBytes ciphertext =
        E2EECrypto::base64URLDecode(envelope.member("ciphertext"), kMaxPasskeyEnvelopePlaintext, std::nullopt);
    if (ciphertext.size() < kMinEnvelopeCiphertext) throw E2EEError::invalid();
}

}  // namespace

bool isPasskeyGeneration(const E2EEJSON& value) noexcept {
    const std::optional<std::int64_t> generation = value.integerValue();
    return value.isInteger() && generation && *generation >= 1 && *generation <= E2EEJSON::kMaxSafeInteger;
}

E2EEJSON validatePasskeyRecord(const E2EEJSON& record) {
    const std::string* id = record.member("id").stringValue();
    const std::string* rpId = record.member("rpId").stringValue();
    const std::string* label = record.member("label").stringValue();
    const E2EEJSON& version = record.member("version");
    if (!record.isObject() || !id || !rpId || !label || !version.isInteger() || version.integerValue() != 1) {
        throw E2EEError::invalid();
    }
    if (!isLowerUUID(*id)) throw E2EEError::invalid();
    const SecretBytes credential =
        E2EECrypto::base64URLDecode(record.member("credentialId"), kMaxCredentialIdBytes, std::nullopt);
    if (credential.empty()) throw E2EEError::invalid();
    E2EECrypto::base64URLDecode(record.member("salt"), kSaltBytes, kSaltBytes);
    if (rpId->size() > kMaxRpIdBytes || !isRelyingParty(*rpId)) throw E2EEError::invalid();
    if (!isLabel(*label)) throw E2EEError::invalid();
    return E2EEJSON::object({{"version", 1},
                             {"id", *id},
                             {"rpId", *rpId},
                             {"label", *label},
                             {"credentialId", record.member("credentialId")},
                             {"salt", record.member("salt")}});
}

Bytes passkeyWrapContext(const E2EEJSON& accountId, const E2EEJSON& record) {
    const std::string account = E2EECrypto::validatedIdentifier(accountId);
    E2EEJSON context = validatePasskeyRecord(record);
    context.setMember(kPasskeyWrapPurpose, "purpose");
    context.setMember(account, "accountId");
    return bytesOf(context.canonicalString());
}

E2EEJSON wrapForPasskey(const E2EEJSON& keys, const E2EEJSON& record, ByteView prf) {
    const Bytes context = passkeyWrapContext(keys.member("accountId"), record);
    const SecretBytes wrapKey = E2EECrypto::deriveSubkey(prf, std::string_view(reinterpret_cast<const char*>(
                                                                                    context.data()),
                                                                                context.size()));
    const SecretBytes plaintext = canonicalSecret(keys);
    E2EEJSON stored = validatePasskeyRecord(record);
    stored.setMember(E2EECrypto::sealEnvelope(wrapKey, plaintext, context), "envelope");
    return stored;
}

E2EEJSON unwrapPasskeyEnvelope(const E2EEJSON& keyRecord, const E2EEJSON& passkey, ByteView prf) {
    const Bytes context = passkeyWrapContext(keyRecord.member("accountId"), passkey);
    const SecretBytes wrapKey = E2EECrypto::deriveSubkey(prf, std::string_view(reinterpret_cast<const char*>(
                                                                                    context.data()),
                                                                                context.size()));
    SecretBytes plaintext;
    try {
        plaintext = E2EECrypto::openEnvelope(wrapKey, passkey.member("envelope"), context,
                                             kMaxPasskeyEnvelopePlaintext);
    } catch (const CryptoError&) {
        throw E2EEError::invalid();
    }
    E2EEJSON keys = E2EEJSON::parse(textOf(plaintext));
    E2EECrypto::verifyKeyRecord(keys, keyRecord);
    return keys;
}

E2EEJSON makePasskeyRecord(std::string_view label) { return makePasskeyRecord(label, webAppURL().host()); }

E2EEJSON makePasskeyRecord(std::string_view label, std::string_view rpId) {
    Bytes credential;
    Bytes salt;
    std::string id;
    try {
        id = Uuid::random().lowerString();
        credential = randomBytes(32);
        salt = randomBytes(kSaltBytes);
    } catch (const PlatformError&) {
        throw E2EEError::invalid();
    }
    return validatePasskeyRecord(E2EEJSON::object({{"version", 1},
                                                   {"id", id},
                                                   {"rpId", rpId},
                                                   {"label", trimmedWhiteSpace(label)},
                                                   {"credentialId", E2EECrypto::base64URLEncode(credential)},
                                                   {"salt", E2EECrypto::base64URLEncode(salt)}}));
}

E2EEJSON signedPasskeyIntent(const E2EEJSON& keys, std::int64_t generation, const E2EEJSON& memberValue,
                             std::string_view purposeSuffix, std::string_view memberName) {
    const E2EEJSON value = E2EEJSON::object({{"purpose", "passkey-" + std::string(purposeSuffix)},
                                             {"accountId", keys.member("accountId")},
                                             {"generation", generation},
                                             {std::string(memberName), memberValue}});
    return E2EECrypto::signRecord(keys, value);
}

E2EEJSON signedPasskeyAddIntent(const E2EEJSON& keys, std::int64_t generation, const E2EEJSON& storedPasskey) {
    return signedPasskeyIntent(keys, generation, storedPasskey, "add", "passkey");
}

E2EEJSON signedPasskeyRemoveIntent(const E2EEJSON& keys, std::int64_t generation, const E2EEJSON& passkey) {
    return signedPasskeyIntent(keys, generation, passkey.member("id"), "remove", "passkeyId");
}

std::vector<E2EEJSON> verifyPasskeySnapshot(const E2EEJSON& account, const E2EEJSON& reply) {
    const E2EEJSON::Array* items = reply.member("items").arrayValue();
    if (!reply.isObject() || !isPasskeyGeneration(reply.member("generation")) || !items ||
        items->size() > kMaxPasskeys || !(reply.member("accountId") == account.member("accountId"))) {
        throw E2EEError::invalid();
    }
    const std::int64_t listGeneration = *reply.member("generation").integerValue();
    const E2EEJSON& publicKey = account.member("keyRecord").member("publicKey");

    std::vector<E2EEJSON> passkeys;
    std::set<std::string> ids;
    std::set<std::string> credentials;
    for (const E2EEJSON& item : *items) {
        const E2EEJSON value = E2EECrypto::verifyRecord(publicKey, item);
        const std::string* purpose = value.member("purpose").stringValue();
        if (!value.isObject() || !purpose || *purpose != "passkey-add" ||
            !(value.member("accountId") == account.member("accountId")) ||
            !isPasskeyGeneration(value.member("generation")) ||
            *value.member("generation").integerValue() >= listGeneration) {
            throw E2EEError::invalid();
        }
        const E2EEJSON& passkey = value.member("passkey");
        const E2EEJSON checked = validatePasskeyRecord(passkey);
        checkStoredEnvelope(passkey.member("envelope"));
        // Both are strings once the record passed.
        const std::string& id = *checked.member("id").stringValue();
        const std::string* credential = checked.member("credentialId").stringValue();
        if (!credential || !ids.insert(E2EEJSON::equivalenceKey(id)).second ||
            !credentials.insert(E2EEJSON::equivalenceKey(*credential)).second) {
            throw E2EEError::invalid();
        }
        passkeys.push_back(passkey);
    }
    return passkeys;
}

}  // namespace nimbuscrate
