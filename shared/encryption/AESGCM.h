#pragma once

#include "shared/encryption/SecretBytes.h"

namespace nimbuscrate::aesgcm {

// AES-256-GCM with a 32-byte key, a 12-byte nonce and a 16-byte tag. The
// callers check the key and nonce lengths first (these throw CryptoError
// libraryFailure for a wrong length).

// Writes ciphertext followed by the tag into out (plaintext.size() + 16
// bytes). out may be the plaintext's own buffer (in-place conversion).
void seal(ByteView key, ByteView nonce, ByteView plaintext, ByteView associatedData, std::uint8_t* out);

// Opens ciphertext followed by its tag (input at least 16 bytes) into out
// (input.size() - 16 bytes); out may be input's own buffer. A tag that does
// not verify throws
// CryptoError(authenticationFailure); out is then zeroed.
void open(ByteView key, ByteView nonce, ByteView input, ByteView associatedData, std::uint8_t* out);

}  // namespace nimbuscrate::aesgcm
