#include "shared/encryption/P256PublicKey.h"

#include <openssl/core_names.h>

#include "shared/encryption/CryptoError.h"
#include "shared/encryption/OpenSSLHandles.h"

namespace nimbuscrate {

using openssl::Handle;

void P256PublicKey::Deleter::operator()(evp_pkey_st* key) const noexcept { EVP_PKEY_free(key); }

P256PublicKey P256PublicKey::fromX963Representation(ByteView point) {
    const CryptoError refused(CryptoError::Kind::invalidPublicKey, "The public key is not a valid P-256 point.");
    if (point.size() != 65 || point[0] != 0x04) throw refused;

    Handle<EVP_PKEY_CTX> context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    if (!context || EVP_PKEY_fromdata_init(context.get()) != 1) {
        throw CryptoError(CryptoError::Kind::libraryFailure, "The key could not be made.");
    }
    char group[] = "P-256";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, const_cast<std::uint8_t*>(point.data()),
                                          point.size()),
        OSSL_PARAM_construct_end(),
    };
    EVP_PKEY* raw = nullptr;
    if (EVP_PKEY_fromdata(context.get(), &raw, EVP_PKEY_PUBLIC_KEY, params) != 1 || raw == nullptr) throw refused;
    Handle<EVP_PKEY> key(raw);

    // The point must lie on the curve (P-256 has cofactor 1, so that also
    // puts it in the group).
    Handle<EVP_PKEY_CTX> check(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    if (!check || EVP_PKEY_public_check_quick(check.get()) != 1) throw refused;
    return P256PublicKey(key.release());
}

bool P256PublicKey::isValidSignature(ByteView signature, ByteView data) const {
    if (signature.size() != 64) return false;
    Handle<ECDSA_SIG> sig(ECDSA_SIG_new());
    BIGNUM* r = BN_bin2bn(signature.data(), 32, nullptr);
    BIGNUM* s = BN_bin2bn(signature.data() + 32, 32, nullptr);
    if (!sig || r == nullptr || s == nullptr || ECDSA_SIG_set0(sig.get(), r, s) != 1) {
        BN_free(r);
        BN_free(s);
        throw CryptoError(CryptoError::Kind::libraryFailure, "The signature could not be represented.");
    }
    unsigned char* der = nullptr;
    const int derLength = i2d_ECDSA_SIG(sig.get(), &der);
    if (derLength <= 0) throw CryptoError(CryptoError::Kind::invalidSignature, "The signature could not be encoded.");
    std::unique_ptr<unsigned char, void (*)(unsigned char*)> derOwner(der, [](unsigned char* p) { OPENSSL_free(p); });

    Handle<EVP_MD_CTX> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestVerifyInit(context.get(), nullptr, openssl::sha256(), nullptr, key_.get()) != 1) {
        throw CryptoError(CryptoError::Kind::libraryFailure, "The signature check could not start.");
    }
    // 1 is a valid signature; 0 an invalid one; below 0 a signature the
    // library could not use (for example r or s out of range): also invalid.
    return EVP_DigestVerify(context.get(), der, static_cast<std::size_t>(derLength), data.data(), data.size()) == 1;
}

Bytes P256PublicKey::x963Representation() const {
    Bytes point(65);
    std::size_t length = 0;
    if (EVP_PKEY_get_octet_string_param(key_.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(), &length) !=
            1 ||
        length != 65) {
        throw CryptoError(CryptoError::Kind::libraryFailure, "The public key could not be read.");
    }
    return point;
}

}  // namespace nimbuscrate
