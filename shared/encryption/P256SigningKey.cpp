#include "shared/encryption/P256SigningKey.h"

#include <algorithm>
#include <array>

#include <openssl/core_names.h>
#include <openssl/obj_mac.h>

#include "shared/encryption/CryptoError.h"
#include "shared/encryption/OpenSSLHandles.h"

namespace nimbuscrate {

using openssl::Handle;

namespace {

// The order n of the P-256 group, big-endian.
constexpr std::array<std::uint8_t, 32> kGroupOrder = {
    0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xBC, 0xE6, 0xFA, 0xAD, 0xA7, 0x17, 0x9E, 0x84, 0xF3, 0xB9, 0xCA, 0xC2, 0xFC, 0x63, 0x25, 0x51,
};

CryptoError libraryFailure(const char* what) { return CryptoError(CryptoError::Kind::libraryFailure, what); }

}  // namespace

void P256SigningKey::Deleter::operator()(evp_pkey_st* key) const noexcept { EVP_PKEY_free(key); }

P256SigningKey P256SigningKey::fromRawRepresentation(ByteView scalar) {
    const CryptoError refused(CryptoError::Kind::invalidPrivateKey, "The private key is not a valid P-256 scalar.");
    if (scalar.size() != 32) throw refused;
    const bool isZero = std::all_of(scalar.begin(), scalar.end(), [](std::uint8_t b) { return b == 0; });
    const bool belowOrder = std::lexicographical_compare(scalar.begin(), scalar.end(), kGroupOrder.begin(),
                                                         kGroupOrder.end());
    if (isZero || !belowOrder) throw refused;

    Handle<BIGNUM> d(BN_secure_new());
    if (!d || BN_bin2bn(scalar.data(), 32, d.get()) == nullptr) throw libraryFailure("The private key could not be read.");

    // The public point d x G.
    Handle<EC_GROUP> group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
    if (!group) throw libraryFailure("The curve is unavailable.");
    Handle<EC_POINT> point(EC_POINT_new(group.get()));
    if (!point || EC_POINT_mul(group.get(), point.get(), d.get(), nullptr, nullptr, nullptr) != 1) {
        throw libraryFailure("The public key could not be computed.");
    }
    Bytes publicPoint(65);
    if (EC_POINT_point2oct(group.get(), point.get(), POINT_CONVERSION_UNCOMPRESSED, publicPoint.data(),
                           publicPoint.size(), nullptr) != 65) {
        throw libraryFailure("The public key could not be encoded.");
    }

    Handle<OSSL_PARAM_BLD> builder(OSSL_PARAM_BLD_new());
    if (!builder || OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, "P-256", 0) != 1 ||
        OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_PRIV_KEY, d.get()) != 1 ||
        OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, publicPoint.data(),
                                         publicPoint.size()) != 1) {
        throw libraryFailure("The key parameters could not be built.");
    }
    Handle<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(builder.get()));
    Handle<EVP_PKEY_CTX> context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1) {
        throw libraryFailure("The key could not be made.");
    }
    EVP_PKEY* raw = nullptr;
    if (EVP_PKEY_fromdata(context.get(), &raw, EVP_PKEY_KEYPAIR, params.get()) != 1 || raw == nullptr) throw refused;
    return P256SigningKey(raw, std::move(publicPoint));
}

Bytes P256SigningKey::signature(ByteView data) const {
    Handle<EVP_MD_CTX> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestSignInit(context.get(), nullptr, openssl::sha256(), nullptr, key_.get()) != 1) {
        throw libraryFailure("Signing could not start.");
    }
    std::size_t length = 0;
    if (EVP_DigestSign(context.get(), nullptr, &length, data.data(), data.size()) != 1) {
        throw libraryFailure("Signing failed.");
    }
    Bytes der(length);
    if (EVP_DigestSign(context.get(), der.data(), &length, data.data(), data.size()) != 1) {
        throw libraryFailure("Signing failed.");
    }
    const unsigned char* cursor = der.data();
    Handle<ECDSA_SIG> sig(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(length)));
    if (!sig) throw libraryFailure("The signature could not be decoded.");
    Bytes raw(64);
    if (BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), raw.data(), 32) != 32 ||
        BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), raw.data() + 32, 32) != 32) {
        throw libraryFailure("The signature could not be encoded.");
    }
    return raw;
}

Bytes P256SigningKey::publicKeyX963() const { return publicPoint_; }

}  // namespace nimbuscrate
