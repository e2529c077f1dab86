#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <openssl/bn.h>
#include <openssl/ec.h>

#include "shared/encryption/CryptoError.h"
#include "shared/encryption/E2EECrypto.h"
#include "shared/encryption/E2EEError.h"
#include "shared/encryption/RecordVerifier.h"
#include "tests/shared/encryption/Fixtures.h"

namespace nimbuscrate {
namespace {

using testing::expectInvalid;
using testing::fixture;
using testing::toE2EE;

class encryption_SignedRecords : public ::testing::Test {
protected:
    void SetUp() override {
        vectors_ = fixture("ecdsa.json");
        jwk_ = toE2EE(vectors_["jwk"]);
        keys_ = toE2EE(vectors_["keys"]);
        keyRecord_ = toE2EE(vectors_["keyRecord"]);
    }

    nlohmann::json vectors_;
    E2EEJSON jwk_;
    E2EEJSON keys_;
    E2EEJSON keyRecord_;
};

TEST_F(encryption_SignedRecords, VerifiesSignaturesMadeByTheOpenSSLCommandLine) {
    for (const auto& item : vectors_["records"]) {
        const E2EEJSON record = toE2EE(item["record"]);
        EXPECT_EQ(record.member("value").canonicalString(), item["canonical"].get<std::string>());
        EXPECT_EQ(E2EECrypto::verifyRecord(jwk_, record), record.member("value"));

        // The high-S twin of the same signature is valid ECDSA as well.
        E2EEJSON twin = record;
        twin.setMember(item["highS"].get<std::string>(), "signature");
        EXPECT_EQ(E2EECrypto::verifyRecord(jwk_, twin), record.member("value"));
    }
}

TEST_F(encryption_SignedRecords, RecordWithoutValueIsVerifiedOverNull) {
    // The fixture signed the canonical text "null".
    const auto& item = vectors_["records"][1];
    ASSERT_EQ(item["canonical"], "null");
    E2EEJSON record = E2EEJSON::object({{"signature", item["record"]["signature"].get<std::string>()}});
    EXPECT_TRUE(E2EECrypto::verifyRecord(jwk_, record).isNull());
}

TEST_F(encryption_SignedRecords, OurSignaturesVerifyWithTheOpenSSLCommandLine) {
    const E2EEJSON value = E2EEJSON::parse(R"({"z":1,"a":"\u00e9","m":[true,null]})");
    const E2EEJSON record = E2EECrypto::signRecord(keys_, value);
    const auto raw = E2EECrypto::base64URLDecode(record.member("signature"), 64, 64);

    // Raw r || s to the DER form the command line reads.
    ECDSA_SIG* sig = ECDSA_SIG_new();
    ECDSA_SIG_set0(sig, BN_bin2bn(raw.data(), 32, nullptr), BN_bin2bn(raw.data() + 32, 32, nullptr));
    unsigned char* der = nullptr;
    const int derLength = i2d_ECDSA_SIG(sig, &der);
    ASSERT_GT(derLength, 0);

    const auto dir = std::filesystem::temp_directory_path() / ("nc-ecdsa-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "pub.pem") << vectors_["publicKeyPEM"].get<std::string>();
    std::ofstream(dir / "msg", std::ios::binary) << value.canonicalString();
    std::ofstream(dir / "sig.der", std::ios::binary).write(reinterpret_cast<const char*>(der), derLength);
    OPENSSL_free(der);
    ECDSA_SIG_free(sig);

    const std::string command = "openssl dgst -sha256 -verify " + (dir / "pub.pem").string() + " -signature " +
                                (dir / "sig.der").string() + " " + (dir / "msg").string() + " >/dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0);
    std::filesystem::remove_all(dir);
}

TEST_F(encryption_SignedRecords, SignatureCoversTheCanonicalTextNotTheMemberOrder) {
    const E2EEJSON value = E2EEJSON::parse(R"({"b":2,"a":1,"c":{"y":1,"x":2}})");
    const E2EEJSON record = E2EECrypto::signRecord(keys_, value);
    const std::string signature = *record.member("signature").stringValue();
    EXPECT_EQ(signature.size(), 86u);
    const E2EEJSON reordered = E2EEJSON::parse(R"({"signature":")" + signature +
                                               R"(","value":{"c":{"x":2,"y":1},"a":1,"b":2}})");
    EXPECT_EQ(E2EECrypto::verifyRecord(jwk_, reordered), value);

    for (const char* changed : {R"({"b":3,"a":1,"c":{"y":1,"x":2}})", R"({"b":2,"a":1,"c":{"y":1,"x":2},"d":0})",
                                R"({"b":2,"a":1,"c":{"y":1}})"}) {
        E2EEJSON tampered = record;
        tampered.setMember(E2EEJSON::parse(changed), "value");
        expectInvalid([&] { E2EECrypto::verifyRecord(jwk_, tampered); }, changed);
    }
}

TEST_F(encryption_SignedRecords, MalformedSignaturesAreRefusedBeforeAnyCryptography) {
    const E2EEJSON record = E2EECrypto::signRecord(keys_, E2EEJSON("x"));
    const auto raw = E2EECrypto::base64URLDecode(record.member("signature"), 64, 64);
    Bytes longer(raw.begin(), raw.end());
    longer.push_back(0);
    const Bytes shorter(raw.begin(), raw.end() - 1);
    const std::string text = *record.member("signature").stringValue();
    std::string withPlus = text;
    withPlus[0] = '+';
    for (const E2EEJSON& signature :
         {E2EEJSON(E2EECrypto::base64URLEncode(longer)), E2EEJSON(E2EECrypto::base64URLEncode(shorter)),
          E2EEJSON(text + "=="), E2EEJSON(withPlus), E2EEJSON(nullptr), E2EEJSON(64)}) {
        E2EEJSON bad = record;
        bad.setMember(signature, "signature");
        // An unusable public key shows that the signature was refused first.
        expectInvalid([&] { E2EECrypto::verifyRecord(E2EEJSON(nullptr), bad); });
    }
    E2EEJSON zero = record;
    zero.setMember(E2EECrypto::base64URLEncode(Bytes(64, 0)), "signature");
    expectInvalid([&] { E2EECrypto::verifyRecord(jwk_, zero); }, "r = s = 0");
}

TEST_F(encryption_SignedRecords, PublicKeyFromJWKChecksEveryMember) {
    EXPECT_NO_THROW(E2EECrypto::publicKeyFromJWK(jwk_));
    E2EEJSON withNullD = jwk_;
    withNullD.setMember(nullptr, "d");
    EXPECT_NO_THROW(E2EECrypto::publicKeyFromJWK(withNullD));
    E2EEJSON withExtra = jwk_;
    withExtra.setMember("sig", "use");
    EXPECT_NO_THROW(E2EECrypto::publicKeyFromJWK(withExtra));

    auto with = [&](const char* name, const E2EEJSON& value) {
        E2EEJSON copy = jwk_;
        copy.setMember(value, name);
        return copy;
    };
    auto without = [&](const char* name) {
        E2EEJSON copy = jwk_;
        copy.removeMember(name);
        return copy;
    };
    const std::vector<std::pair<E2EEJSON, const char*>> refused = {
        {E2EEJSON::object(), "empty"},
        {with("kty", "RSA"), "RSA"},
        {with("crv", "P-384"), "P-384"},
        {with("ext", false), "ext false"},
        {without("ext"), "ext missing"},
        {with("ext", "true"), "ext as text"},
        {with("key_ops", E2EEJSON::array({"verify", "sign"})), "verify and sign"},
        {with("key_ops", E2EEJSON::array({})), "no key_ops"},
        {with("key_ops", "verify"), "key_ops as text"},
        {with("d", keys_.member("signingKey").member("d")), "private scalar"},
        {with("x", E2EECrypto::base64URLEncode(Bytes(31, 1))), "31-byte x"},
        {without("y"), "y missing"},
    };
    for (const auto& [jwk, label] : refused) expectInvalid([&] { E2EECrypto::publicKeyFromJWK(jwk); }, label);

    // A point off the curve is refused by the key constructor.
    try {
        E2EECrypto::publicKeyFromJWK(toE2EE(vectors_["offCurveJWK"]));
        ADD_FAILURE() << "off-curve point accepted";
    } catch (const CryptoError& error) {
        EXPECT_EQ(error.kind(), CryptoError::Kind::invalidPublicKey);
    }
}

TEST_F(encryption_SignedRecords, SigningNeedsAPrivateScalarInRange) {
    auto withD = [&](const Bytes& d) {
        E2EEJSON keys = keys_;
        E2EEJSON signingKey = keys.member("signingKey");
        signingKey.setMember(E2EECrypto::base64URLEncode(d), "d");
        keys.setMember(signingKey, "signingKey");
        return keys;
    };
    const Bytes order = testing::fromHex("ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551");
    Bytes orderMinusOne = order;
    orderMinusOne.back() -= 1;
    Bytes one(32, 0);
    one.back() = 1;
    for (const Bytes& bad : {Bytes(32, 0), order, Bytes(32, 0xFF)}) {
        try {
            E2EECrypto::signRecord(withD(bad), E2EEJSON(1));
            ADD_FAILURE() << "scalar accepted";
        } catch (const CryptoError& error) {
            EXPECT_EQ(error.kind(), CryptoError::Kind::invalidPrivateKey);
        }
    }
    EXPECT_NO_THROW(E2EECrypto::signRecord(withD(one), E2EEJSON(1)));
    EXPECT_NO_THROW(E2EECrypto::signRecord(withD(orderMinusOne), E2EEJSON(1)));

    expectInvalid([&] { E2EECrypto::signRecord(E2EEJSON("keys"), E2EEJSON(1)); });
    E2EEJSON noSigningKey = keys_;
    noSigningKey.setMember(E2EEJSON::object(), "signingKey");
    expectInvalid([&] { E2EECrypto::signRecord(noSigningKey, E2EEJSON(1)); });
    expectInvalid([&] { E2EECrypto::signRecord(keys_, E2EEJSON(-1)); }, "no canonical text");
}

TEST_F(encryption_SignedRecords, PreparedVerifierDecidesExactlyLikeVerifyRecord) {
    // The outcome of one check: the value's canonical text, or which error.
    auto outcome = [](auto&& check) -> std::string {
        try {
            return "value " + check().canonicalString();
        } catch (const E2EEError& error) {
            return "E2EEError " + std::to_string(error.code());
        } catch (const CryptoError& error) {
            return "CryptoError " + std::to_string(static_cast<int>(error.kind()));
        }
    };
    const E2EEJSON good = E2EECrypto::signRecord(keys_, E2EEJSON::object({{"a", 1}}));
    E2EEJSON tampered = good;
    tampered.setMember(E2EEJSON::object({{"a", 2}}), "value");
    E2EEJSON badSignature = good;
    badSignature.setMember("short", "signature");
    E2EEJSON rsa = jwk_;
    rsa.setMember("RSA", "kty");
    for (const E2EEJSON& jwk : {jwk_, rsa, toE2EE(vectors_["offCurveJWK"]), E2EEJSON(nullptr)}) {
        const RecordVerifier verifier(jwk);
        for (const E2EEJSON& record : {good, tampered, badSignature, E2EEJSON::object()}) {
            EXPECT_EQ(outcome([&] { return verifier.verify(record); }),
                      outcome([&] { return E2EECrypto::verifyRecord(jwk, record); }))
                << jwk.canonicalString() << " " << record.canonicalString();
        }
    }
}

TEST_F(encryption_SignedRecords, VerifyKeyRecordAcceptsTheMatchingKeySet) {
    EXPECT_NO_THROW(E2EECrypto::verifyKeyRecord(keys_, keyRecord_));
}

TEST_F(encryption_SignedRecords, VerifyKeyRecordRefusesEveryMismatch) {
    auto set = [](E2EEJSON value, const char* name, const E2EEJSON& member) {
        value.setMember(member, name);
        return value;
    };
    auto drop = [](E2EEJSON value, const char* name) {
        value.removeMember(name);
        return value;
    };
    const E2EEJSON publicKey = keyRecord_.member("publicKey");
    // A signing key of another account: a valid scalar that does not match.
    Bytes otherD(32, 0);
    otherD.back() = 5;
    const E2EEJSON otherSigningKey =
        set(keys_.member("signingKey"), "d", E2EECrypto::base64URLEncode(otherD));

    struct Case {
        E2EEJSON keys;
        E2EEJSON record;
        const char* label;
    };
    const std::vector<Case> refused = {
        {keys_, E2EEJSON(nullptr), "no key record"},
        {keys_, E2EEJSON::object(), "empty key record"},
        {E2EEJSON::object(), keyRecord_, "empty key set"},
        {set(keys_, "version", 2), keyRecord_, "key set version 2"},
        {drop(keys_, "version"), keyRecord_, "key set without version"},
        {keys_, set(keyRecord_, "version", 2), "key record version 2"},
        {keys_, drop(keyRecord_, "version"), "key record without version"},
        {keys_, set(keyRecord_, "accountId", "acct_2"), "other account"},
        {keys_, set(keyRecord_, "publicKey", set(publicKey, "use", "sig")), "extra JWK member"},
        {keys_, set(keyRecord_, "publicKey", drop(publicKey, "ext")), "missing JWK member"},
        {keys_, set(keyRecord_, "publicKey", set(publicKey, "x", publicKey.member("y"))), "other x"},
        {set(keys_, "root", E2EECrypto::base64URLEncode(Bytes(31, 1))), keyRecord_, "31-byte root"},
        {drop(keys_, "root"), keyRecord_, "no root"},
        {set(keys_, "signingKey", otherSigningKey), keyRecord_, "signing key of another public key"},
    };
    for (const auto& c : refused) expectInvalid([&] { E2EECrypto::verifyKeyRecord(c.keys, c.record); }, c.label);
}

}  // namespace
}  // namespace nimbuscrate
