#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "platform/core/Bytes.h"
#include "shared/encryption/E2EEJSON.h"
#include "shared/encryption/P256PublicKey.h"
#include "shared/encryption/SecretBytes.h"

namespace nimbuscrate::E2EECrypto {

// The building blocks of every end-to-end-encrypted record. Every refusal
// these operations detect themselves is E2EEError::invalid; failures of the
// cryptography itself (an AES-GCM tag that does not verify, an unusable key)
// are CryptoError and pass through unchanged.

inline constexpr std::size_t kKeyLength = 32;
inline constexpr std::size_t kNonceLength = 12;
inline constexpr std::size_t kTagLength = 16;
// Salt of every subkey and first element of every associated-data array.
inline constexpr std::string_view kDomain = "nimbuscrate-e2ee-v1";

// One revision of a file in opened form.
struct File {
    E2EEJSON value;     // the manifest (the signed record's "value")
    E2EEJSON metadata;  // the decrypted metadata object
    SecretBytes key;    // the 32-byte file key
    Bytes aad;          // the associated data of purpose "content"
};

// A new revision ready to upload.
struct Prepared {
    E2EEJSON manifest;       // the signed manifest record {"value", "signature"}
    File file;               // the same revision opened (value is the unsigned manifest)
    std::string opaqueName;  // node id, "-", revision id, ".nbenc"
};

// The plaintext bytes start ... end - 1 of one segment, and whether it is the last.
struct SegmentRange {
    std::int64_t start = 0;
    std::int64_t end = 0;
    bool isLast = false;
    bool operator==(const SegmentRange&) const = default;
};

// Envelopes, key derivation and associated data ---------------------------

// count bytes from the secure random source; E2EEError::invalid when it fails.
SecretBytes randomBytes(std::size_t count);

// Unpadded base64url (RFC 4648 alphabet "-" and "_", no "=").
std::string base64URLEncode(ByteView bytes);

// Decodes a record member holding unpadded base64url of at most maxLength
// bytes (and exactly exactLength when given). The text must be the canonical
// encoding of its bytes. E2EEError::invalid otherwise (also for a non-string).
SecretBytes base64URLDecode(const E2EEJSON& value, std::size_t maxLength, std::optional<std::size_t> exactLength);

// SHA-256 of the bytes as unpadded base64url (43 characters).
std::string sha256Base64URL(ByteView bytes);

// HKDF (RFC 5869) with SHA-256; 32 output bytes.
SecretBytes hkdfSHA256(ByteView inputKey, ByteView salt, ByteView info);

// The 32-byte subkey of a 32-byte key for one label.
SecretBytes deriveSubkey(ByteView key, std::string_view label);

// The UTF-8 canonical text of ["nimbuscrate-e2ee-v1", accountId, nodeId,
// revision, purpose]; each member must be an identifier string.
Bytes associatedData(const E2EEJSON& accountId, const E2EEJSON& nodeId, const E2EEJSON& revision,
                     std::string_view purpose);

// A new envelope {"version": 1, "cipher": "A256GCM", "iv", "ciphertext"}:
// AES-256-GCM under a 32-byte key with a fresh 12-byte nonce.
E2EEJSON sealEnvelope(ByteView key, ByteView plaintext, ByteView associatedData);

// The plaintext of an envelope of at most maxPlaintext bytes. Malformed
// envelopes are refused before any decryption; a tag that does not verify is
// CryptoError(authenticationFailure).
SecretBytes openEnvelope(ByteView key, const E2EEJSON& envelope, ByteView associatedData, std::size_t maxPlaintext);

// The name, unchanged, when it is an acceptable item name: not empty or only
// white space, at most 1024 UTF-16 code units, not "." or "..", no U+0000 to
// U+001F, "/" or "\".
std::string validatedName(const E2EEJSON& value);

// The string, unchanged, when it is an identifier: 1 to 128 characters, each
// an ASCII letter, digit, "_" or "-".
std::string validatedIdentifier(const E2EEJSON& value);

// Whether text is an identifier (the rule of validatedIdentifier).
bool isIdentifier(std::string_view text) noexcept;

// The number of UTF-16 code units of UTF-8 text (nothing when it is not
// well-formed UTF-8).
std::optional<std::size_t> utf16Length(std::string_view text) noexcept;

// Signed records and account keys -------------------------------------------

// The public key of a JSON Web Key {"kty": "EC", "crv": "P-256", "ext": true,
// "key_ops": ["verify"], "x", "y"} without a private "d".
P256PublicKey publicKeyFromJWK(const E2EEJSON& jwk);

// {"value": value, "signature": base64url of the raw 64-byte ECDSA P-256
// signature over the UTF-8 canonical text of value}, signed with the key
// set's "signingKey"."d".
E2EEJSON signRecord(const E2EEJSON& keys, const E2EEJSON& value);

// The record's "value" once its signature verifies under publicKey (a JWK).
E2EEJSON verifyRecord(const E2EEJSON& publicKey, const E2EEJSON& record);

// Returns when the unlocked key set belongs to the account that keyRecord
// describes (same version, account and public key, a 32-byte root key, and a
// signing key that matches the public key).
void verifyKeyRecord(const E2EEJSON& keys, const E2EEJSON& keyRecord);

// File manifests and node records ------------------------------------------

inline constexpr std::string_view kFileFormat = "nimbuscrate-tink-aes256-v1";
inline constexpr std::size_t kMaxMetadataPlaintext = 8192;

// Verifies and opens a signed file manifest with the unlocked key set.
File openFile(const E2EEJSON& keys, const E2EEJSON& record);

// Builds a new revision: of a new file when existing is nothing, else of the
// existing node (its snapshot item, with "nodeId", "generation" and "entry").
// thumbnail is a thumbnail descriptor or null. The new manifest is opened
// again before it is returned, so a revision that no reader would accept is
// never signed away (E2EEError::invalid).
Prepared prepareFile(const E2EEJSON& keys, const std::string& name, std::int64_t size, const std::string& mime,
                     std::int64_t modified, const E2EEJSON& parentId, const std::optional<E2EEJSON>& existing,
                     const E2EEJSON& thumbnail);

// Returns when the service's file entry describes exactly the opened revision.
void verifyCommit(const E2EEJSON& entry, const File& file);

// Verifies and opens a signed node record; returns its value with "name" and
// "driveId" (null when none) set from the decrypted metadata.
E2EEJSON openNode(const E2EEJSON& keys, const E2EEJSON& record);

// A new signed node record (driveId null for none). The record is opened
// again before it is returned (E2EEError::invalid when it would not open).
E2EEJSON makeNodeRecord(const E2EEJSON& keys, const E2EEJSON& nodeId, const E2EEJSON& kind, const E2EEJSON& parentId,
                        std::int64_t generation, bool deleted, const std::string& name, const E2EEJSON& driveId);

// Segmented file format --------------------------------------------------
//
// A 40-byte header (0x28, a 32-byte salt, a 7-byte nonce prefix), then
// segments of 1,048,576 bytes (segment 0 shares them with the header), each
// AES-256-GCM under one key derived with HKDF-SHA256 from the file key, the
// salt and the content associated data.

inline constexpr std::int64_t kHeaderLength = 40;
inline constexpr std::int64_t kSegmentLength = 1048576;
inline constexpr std::int64_t kFirstSegmentPlaintext = 1048520;
inline constexpr std::int64_t kSegmentPlaintext = 1048560;
inline constexpr std::int64_t kMaxPlaintext = 1000000000000;  // 10^12
inline constexpr std::int64_t kMaxSmallPayload = 262144;

// The stream length for a plaintext size (E2EEError::invalid outside 0 ... 10^12).
std::int64_t ciphertextLength(std::int64_t size);

// The plaintext bounds of segment index of a plaintext of size bytes.
SegmentRange segmentRange(std::int64_t index, std::int64_t size);

// The 12-byte nonce of a segment: the last 7 bytes of header (the whole
// header or the prefix alone), the index as 4 bytes big-endian, then 0x01
// for the last segment and 0x00 otherwise.
Bytes segmentNonce(ByteView header, std::int64_t index, bool isLast);

// Seals (ciphertext followed by tag) or opens one segment.
SecretBytes transformSegment(bool seal, ByteView key, ByteView nonce, ByteView input, ByteView associatedData);

// Converts a whole file between plaintext and the segmented stream, one
// segment at a time. The destination is always a new file with permissions
// 0600: an existing file (or link) at the path is removed, never followed or
// truncated, and a destination that is the source itself is refused. On any
// failure or cancellation (CancellationError) no output remains.
void transformFile(const std::filesystem::path& source, const std::filesystem::path& destination, const File& file,
                   bool encrypt, std::stop_token stop = {});

// Seals 1 ... 262,144 bytes as a one-segment stream (plaintext length + 56).
Bytes sealSmallPayload(ByteView plaintext, const File& file);

// Opens a one-segment stream whose plaintext size is the metadata "size".
SecretBytes openSmallPayload(ByteView payload, const File& file);

}  // namespace nimbuscrate::E2EECrypto
