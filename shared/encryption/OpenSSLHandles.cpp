#include "shared/encryption/OpenSSLHandles.h"

namespace nimbuscrate::openssl {

const EVP_MD* sha256() {
    static EVP_MD* const algorithm = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return algorithm;
}

const EVP_CIPHER* aes256GCM() {
    static EVP_CIPHER* const algorithm = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    return algorithm;
}

EVP_KDF* hkdf() {
    static EVP_KDF* const algorithm = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
    return algorithm;
}

}  // namespace nimbuscrate::openssl
