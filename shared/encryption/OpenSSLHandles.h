#pragma once

#include <memory>

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/param_build.h>

namespace nimbuscrate::openssl {

// Owning handles for the OpenSSL objects the encryption code uses.
struct Free {
    void operator()(EVP_PKEY* p) const noexcept { EVP_PKEY_free(p); }
    void operator()(EVP_PKEY_CTX* p) const noexcept { EVP_PKEY_CTX_free(p); }
    void operator()(EVP_MD_CTX* p) const noexcept { EVP_MD_CTX_free(p); }
    void operator()(EVP_CIPHER_CTX* p) const noexcept { EVP_CIPHER_CTX_free(p); }
    void operator()(EVP_KDF_CTX* p) const noexcept { EVP_KDF_CTX_free(p); }
    void operator()(BIGNUM* p) const noexcept { BN_clear_free(p); }
    void operator()(EC_GROUP* p) const noexcept { EC_GROUP_free(p); }
    void operator()(EC_POINT* p) const noexcept { EC_POINT_clear_free(p); }
    void operator()(ECDSA_SIG* p) const noexcept { ECDSA_SIG_free(p); }
    void operator()(OSSL_PARAM_BLD* p) const noexcept { OSSL_PARAM_BLD_free(p); }
    void operator()(OSSL_PARAM* p) const noexcept { OSSL_PARAM_free(p); }
};

template <typename T>
using Handle = std::unique_ptr<T, Free>;

}  // namespace nimbuscrate::openssl

namespace nimbuscrate::openssl {

// Algorithms fetched once for the life of the process. OpenSSL 3 looks an
// algorithm up in its provider store (under a lock) on every implicit use,
// which shows when many records are opened on several threads.
const EVP_MD* sha256();
const EVP_CIPHER* aes256GCM();
EVP_KDF* hkdf();

}  // namespace nimbuscrate::openssl
