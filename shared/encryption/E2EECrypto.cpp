#include "shared/encryption/E2EECrypto.h"

#include <array>

#include <openssl/core_names.h>
#include <openssl/kdf.h>
#include <openssl/sha.h>
#include <utf8proc.h>

#include "platform/core/PlatformError.h"
#include "platform/core/Random.h"
#include "platform/core/UnicodeText.h"
#include "shared/encryption/AESGCM.h"
#include "shared/encryption/CryptoError.h"
#include "shared/encryption/E2EEError.h"
#include "shared/encryption/OpenSSLHandles.h"

namespace nimbuscrate::E2EECrypto {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

// The 6-bit value of a base64url character, or -1.
int sextet(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '-') return 62;
    if (c == '_') return 63;
    return -1;
}

// White space and line breaks, for the emptiness test of item names.
bool isWhiteSpaceOrNewline(utf8proc_int32_t codePoint) {
    if ((codePoint >= 0x09 && codePoint <= 0x0D) || codePoint == 0x85) return true;
    const utf8proc_category_t category = utf8proc_category(codePoint);
    return category == UTF8PROC_CATEGORY_ZS || category == UTF8PROC_CATEGORY_ZL || category == UTF8PROC_CATEGORY_ZP;
}

}  // namespace

SecretBytes randomBytes(std::size_t count) {
    SecretBytes bytes(count);
    try {
        if (count > 0) fillRandom(bytes.data(), count);
    } catch (const PlatformError&) {
        throw E2EEError::invalid();
    }
    return bytes;
}

std::string base64URLEncode(ByteView bytes) {
    std::string text;
    text.reserve((bytes.size() * 4 + 2) / 3);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t group = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        text.push_back(kAlphabet[(group >> 18) & 63]);
        text.push_back(kAlphabet[(group >> 12) & 63]);
        text.push_back(kAlphabet[(group >> 6) & 63]);
        text.push_back(kAlphabet[group & 63]);
    }
    const std::size_t rest = bytes.size() - i;
    if (rest == 1) {
        const std::uint32_t group = bytes[i] << 16;
        text.push_back(kAlphabet[(group >> 18) & 63]);
        text.push_back(kAlphabet[(group >> 12) & 63]);
    } else if (rest == 2) {
        const std::uint32_t group = (bytes[i] << 16) | (bytes[i + 1] << 8);
        text.push_back(kAlphabet[(group >> 18) & 63]);
        text.push_back(kAlphabet[(group >> 12) & 63]);
        text.push_back(kAlphabet[(group >> 6) & 63]);
    }
    return text;
}

SecretBytes base64URLDecode(const E2EEJSON& value, std::size_t maxLength, std::optional<std::size_t> exactLength) {
    const std::string* text = value.stringValue();
    if (text == nullptr) throw E2EEError::invalid();
    // The length limit comes before any decoding.
    if (text->size() > (4 * maxLength + 2) / 3) throw E2EEError::invalid();
    if (text->size() % 4 == 1) throw E2EEError::invalid();

    SecretBytes bytes;
    bytes.reserve(text->size() * 3 / 4);
    std::uint32_t group = 0;
    int bits = 0;
    for (const char c : *text) {
        const int v = sextet(c);
        if (v < 0) throw E2EEError::invalid();
        group = (group << 6) | static_cast<std::uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes.push_back(static_cast<std::uint8_t>((group >> bits) & 0xFF));
        }
    }
    if (bytes.size() > maxLength) throw E2EEError::invalid();
    if (exactLength && bytes.size() != *exactLength) throw E2EEError::invalid();
    // Only the canonical encoding of the bytes is accepted (the unused
    // trailing bits must be zero).
    if (base64URLEncode(bytes) != *text) throw E2EEError::invalid();
    return bytes;
}

std::string sha256Base64URL(ByteView bytes) {
    std::array<std::uint8_t, SHA256_DIGEST_LENGTH> digest{};
    unsigned int length = 0;
    const EVP_MD* md = openssl::sha256();
    if (md == nullptr || EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, md, nullptr) != 1) {
        throw CryptoError(CryptoError::Kind::libraryFailure, "SHA-256 failed.");
    }
    return base64URLEncode(digest);
}

SecretBytes hkdfSHA256(ByteView inputKey, ByteView salt, ByteView info) {
    EVP_KDF* algorithm = openssl::hkdf();
    openssl::Handle<EVP_KDF_CTX> context(algorithm == nullptr ? nullptr : EVP_KDF_CTX_new(algorithm));
    if (!context) throw CryptoError(CryptoError::Kind::libraryFailure, "HKDF is unavailable.");
    char digest[] = "SHA256";
    std::uint8_t empty = 0;
    auto octets = [&](const char* name, ByteView bytes) {
        return OSSL_PARAM_construct_octet_string(
            name, bytes.empty() ? &empty : const_cast<std::uint8_t*>(bytes.data()), bytes.size());
    };
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        octets(OSSL_KDF_PARAM_KEY, inputKey),
        octets(OSSL_KDF_PARAM_SALT, salt),
        octets(OSSL_KDF_PARAM_INFO, info),
        OSSL_PARAM_construct_end(),
    };
    SecretBytes out(32);
    if (EVP_KDF_derive(context.get(), out.data(), out.size(), params) != 1) {
        throw CryptoError(CryptoError::Kind::libraryFailure, "HKDF failed.");
    }
    return out;
}

SecretBytes deriveSubkey(ByteView key, std::string_view label) {
    if (key.size() != kKeyLength) throw E2EEError::invalid();
    const Bytes salt = bytesOf(kDomain);
    const Bytes info = bytesOf(label);
    return hkdfSHA256(key, salt, info);
}

bool isIdentifier(std::string_view text) noexcept {
    // Checked character by character: an anchored regular expression would
    // also let a trailing line break through.
    if (text.empty() || text.size() > 128) return false;
    for (const char c : text) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                             c == '_' || c == '-';
        if (!allowed) return false;
    }
    return true;
}

std::optional<std::size_t> utf16Length(std::string_view text) noexcept { return nimbuscrate::utf16Length(text); }

Bytes associatedData(const E2EEJSON& accountId, const E2EEJSON& nodeId, const E2EEJSON& revision,
                     std::string_view purpose) {
    for (const E2EEJSON* value : {&accountId, &nodeId, &revision}) {
        const std::string* text = value->stringValue();
        if (text == nullptr || !isIdentifier(*text)) throw E2EEError::invalid();
    }
    if (!isIdentifier(purpose)) throw E2EEError::invalid();
    const E2EEJSON array = E2EEJSON::array({E2EEJSON(kDomain), accountId, nodeId, revision, E2EEJSON(purpose)});
    return bytesOf(array.canonicalString());
}

E2EEJSON sealEnvelope(ByteView key, ByteView plaintext, ByteView associatedData) {
    const SecretBytes nonce = randomBytes(kNonceLength);
    if (key.size() != kKeyLength || nonce.size() != kNonceLength) throw E2EEError::invalid();
    Bytes sealed(plaintext.size() + kTagLength);
    aesgcm::seal(key, nonce, plaintext, associatedData, sealed.data());
    return E2EEJSON::object({
        {"version", 1},
        {"cipher", "A256GCM"},
        {"iv", base64URLEncode(nonce)},
        {"ciphertext", base64URLEncode(sealed)},
    });
}

SecretBytes openEnvelope(ByteView key, const E2EEJSON& envelope, ByteView associatedData, std::size_t maxPlaintext) {
    if (!envelope.isNonEmptyObject()) throw E2EEError::invalid();
    if (!(envelope.member("version") == E2EEJSON(1))) throw E2EEError::invalid();
    const std::string* cipher = envelope.member("cipher").stringValue();
    if (cipher == nullptr || *cipher != "A256GCM") throw E2EEError::invalid();
    const SecretBytes iv = base64URLDecode(envelope.member("iv"), kNonceLength, kNonceLength);
    const SecretBytes data = base64URLDecode(envelope.member("ciphertext"), maxPlaintext + kTagLength, std::nullopt);
    if (key.size() != kKeyLength || data.size() < kTagLength) throw E2EEError::invalid();
    SecretBytes plaintext(data.size() - kTagLength);
    aesgcm::open(key, iv, data, associatedData, plaintext.data());
    return plaintext;
}

std::string validatedName(const E2EEJSON& value) {
    const std::string* name = value.stringValue();
    if (name == nullptr) throw E2EEError::invalid();
    const auto units = utf16Length(*name);
    if (!units) throw E2EEError::invalid();  // not well-formed text

    bool onlyWhiteSpace = true;
    const auto* p = reinterpret_cast<const utf8proc_uint8_t*>(name->data());
    utf8proc_ssize_t remaining = static_cast<utf8proc_ssize_t>(name->size());
    while (remaining > 0) {
        utf8proc_int32_t codePoint = 0;
        const utf8proc_ssize_t used = utf8proc_iterate(p, remaining, &codePoint);
        if (!isWhiteSpaceOrNewline(codePoint)) onlyWhiteSpace = false;
        p += used;
        remaining -= used;
    }
    if (onlyWhiteSpace) throw E2EEError::invalid();  // also the empty name
    if (*units > 1024) throw E2EEError::invalid();
    if (*name == "." || *name == "..") throw E2EEError::invalid();
    for (const char c : *name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || c == '/' || c == '\\') throw E2EEError::invalid();
    }
    return *name;
}

std::string validatedIdentifier(const E2EEJSON& value) {
    const std::string* text = value.stringValue();
    if (text == nullptr || !isIdentifier(*text)) throw E2EEError::invalid();
    return *text;
}

}  // namespace nimbuscrate::E2EECrypto
