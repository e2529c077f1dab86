#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "shared/encryption/CryptoError.h"
#include "shared/encryption/E2EECrypto.h"
#include "shared/encryption/E2EEError.h"
#include "tests/shared/encryption/Fixtures.h"

namespace nimbuscrate {
namespace {

using testing::expectAuthenticationFailure;
using testing::expectInvalid;
using testing::fixture;
using testing::fromHex;
using testing::toE2EE;
using testing::toHex;

Bytes key32(std::uint8_t fill) { return Bytes(32, fill); }

TEST(encryption_Base64URL, MatchesTheStandardLibrary) {
    for (const auto& item : fixture("digests.json")) {
        const Bytes data = fromHex(item["data"]);
        const std::string text = item["base64url"];
        EXPECT_EQ(E2EECrypto::base64URLEncode(data), text);
        const auto decoded = E2EECrypto::base64URLDecode(E2EEJSON(text), data.size(), data.size());
        EXPECT_EQ(toHex(decoded), toHex(data));
    }
}

TEST(encryption_Base64URL, RefusesEveryNonCanonicalOrOversizedText) {
    const Bytes bytes32(32, 0xAB);
    const std::string text43 = E2EECrypto::base64URLEncode(bytes32);
    ASSERT_EQ(text43.size(), 43u);
    EXPECT_EQ(E2EECrypto::base64URLDecode(E2EEJSON(text43), 32, 32).size(), 32u);

    std::string nonZeroTrailingBits = text43;
    {
        // Set one of the two unused low bits of the last character.
        const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
        nonZeroTrailingBits.back() = alphabet[alphabet.find(nonZeroTrailingBits.back()) | 1];
    }
    struct Case {
        E2EEJSON value;
        std::size_t max;
        std::optional<std::size_t> exact;
        const char* label;
    };
    const std::vector<Case> refused = {
        {E2EEJSON(nonZeroTrailingBits), 32, 32, "trailing bits"},
        {E2EEJSON(text43 + "A"), 32, 32, "44 characters"},
        {E2EEJSON(text43 + "="), 33, std::nullopt, "padding"},
        {E2EEJSON("AAAA+AAA"), 6, std::nullopt, "plus"},
        {E2EEJSON("AAAA/AAA"), 6, std::nullopt, "slash"},
        {E2EEJSON("AAAA AAA"), 6, std::nullopt, "space"},
        {E2EEJSON("AAAA\n"), 6, std::nullopt, "line feed (five characters, refused by length)"},
        // Seven characters pass the length rule, so the character check refuses it.
        {E2EEJSON("AAAAAA\n"), 6, std::nullopt, "line feed after six characters"},
        {E2EEJSON("A"), 6, std::nullopt, "one character"},
        {E2EEJSON(""), 12, 12, "empty with exact length"},
        {E2EEJSON(E2EECrypto::base64URLEncode(Bytes(31, 1))), 32, 32, "31 bytes for 32"},
        {E2EEJSON(1), 32, std::nullopt, "integer"},
        {E2EEJSON(true), 32, std::nullopt, "bool"},
        {E2EEJSON(nullptr), 32, std::nullopt, "null"},
    };
    for (const auto& c : refused) {
        expectInvalid([&] { E2EECrypto::base64URLDecode(c.value, c.max, c.exact); }, c.label);
    }
    EXPECT_TRUE(E2EECrypto::base64URLDecode(E2EEJSON(""), 12, std::nullopt).empty());
}

TEST(encryption_Digest, SHA256MatchesTheStandardLibrary) {
    for (const auto& item : fixture("digests.json")) {
        const std::string digest = E2EECrypto::sha256Base64URL(fromHex(item["data"]));
        EXPECT_EQ(digest, item["sha256"]);
        EXPECT_EQ(digest.size(), 43u);
    }
}

TEST(encryption_KeyDerivation, HKDFMatchesRFC5869AndTheIndependentLibrary) {
    const auto vectors = fixture("hkdf.json");
    for (const auto& item : vectors["hkdf"]) {
        const auto okm = E2EECrypto::hkdfSHA256(fromHex(item["ikm"]), fromHex(item["salt"]), fromHex(item["info"]));
        EXPECT_EQ(toHex(okm), item["okm"]);
    }
    for (const auto& item : vectors["subkeys"]) {
        const auto subkey = E2EECrypto::deriveSubkey(fromHex(item["key"]), item["label"].get<std::string>());
        EXPECT_EQ(toHex(subkey), item["subkey"]);
    }
}

TEST(encryption_KeyDerivation, SubkeysNeedA32ByteKeyAndDifferByLabel) {
    expectInvalid([] { E2EECrypto::deriveSubkey(Bytes(31, 1), "file-key-wrap"); });
    expectInvalid([] { E2EECrypto::deriveSubkey(Bytes(33, 1), "file-key-wrap"); });
    const auto a = E2EECrypto::deriveSubkey(key32(1), "file-key-wrap");
    EXPECT_EQ(a, E2EECrypto::deriveSubkey(key32(1), "file-key-wrap"));
    EXPECT_NE(a, E2EECrypto::deriveSubkey(key32(1), "node-metadata"));
    EXPECT_EQ(a.size(), 32u);
}

TEST(encryption_AssociatedData, BuildsTheCanonicalArrayOfIdentifiers) {
    const Bytes aad = E2EECrypto::associatedData("a", "b", "c", "content");
    EXPECT_EQ(stringOf(aad), R"(["nimbuscrate-e2ee-v1","a","b","c","content"])");
    EXPECT_EQ(aad.size(), 45u);

    const std::vector<std::pair<E2EEJSON, const char*>> badIdentifiers = {
        {E2EEJSON(""), "empty"},
        {E2EEJSON(std::string(129, 'a')), "129 characters"},
        {E2EEJSON("a.b"), "dot"},
        {E2EEJSON("abc\n"), "trailing line feed"},
        {E2EEJSON(7), "integer"},
        {E2EEJSON(nullptr), "null"},
    };
    for (const auto& [bad, label] : badIdentifiers) {
        expectInvalid([&] { E2EECrypto::associatedData(bad, "b", "c", "content"); }, label);
        expectInvalid([&] { E2EECrypto::associatedData("a", bad, "c", "content"); }, label);
        expectInvalid([&] { E2EECrypto::associatedData("a", "b", bad, "content"); }, label);
    }
    expectInvalid([] { E2EECrypto::associatedData("a", "b", "c", "con tent"); });
}

TEST(encryption_AESGCM, PublishedVectorsOpenThroughEnvelopes) {
    const auto vectors = fixture("aes_gcm.json");
    for (const auto& item : vectors["gcm"]) {
        const Bytes sealed = fromHex(item["sealed"]);
        const E2EEJSON envelope = E2EEJSON::object({
            {"version", 1},
            {"cipher", "A256GCM"},
            {"iv", E2EECrypto::base64URLEncode(fromHex(item["iv"]))},
            {"ciphertext", E2EECrypto::base64URLEncode(sealed)},
        });
        const auto plaintext =
            E2EECrypto::openEnvelope(fromHex(item["key"]), envelope, fromHex(item["aad"]), sealed.size());
        EXPECT_EQ(toHex(plaintext), item["plaintext"]);
    }
}

TEST(encryption_Envelope, OpensEnvelopesOfAnotherWriterAndRoundTrips) {
    const auto vectors = fixture("aes_gcm.json");
    for (const auto& item : vectors["envelopes"]) {
        const Bytes key = fromHex(item["key"]);
        const Bytes aad = bytesOf(item["aad"].get<std::string>());
        const Bytes plaintext = fromHex(item["plaintext"]);
        const auto opened = E2EECrypto::openEnvelope(key, toE2EE(item["envelope"]), aad, plaintext.size());
        EXPECT_EQ(toHex(opened), item["plaintext"]);

        const E2EEJSON sealed = E2EECrypto::sealEnvelope(key, plaintext, aad);
        EXPECT_EQ(sealed.memberNames().size(), 4u);
        EXPECT_EQ(sealed.member("version"), E2EEJSON(1));
        EXPECT_EQ(sealed.member("cipher"), E2EEJSON("A256GCM"));
        EXPECT_EQ(sealed.member("iv").stringValue()->size(), 16u);
        EXPECT_EQ(toHex(E2EECrypto::openEnvelope(key, sealed, aad, plaintext.size())), item["plaintext"]);
    }
}

TEST(encryption_Envelope, EveryBitFlipInIvCiphertextOrTagFailsAuthentication) {
    const Bytes key = key32(7);
    const Bytes aad = E2EECrypto::associatedData("acct", "node", "rev", "metadata");
    const Bytes plaintext = bytesOf("a small metadata text");
    const E2EEJSON envelope = E2EECrypto::sealEnvelope(key, plaintext, aad);
    for (const char* member : {"iv", "ciphertext"}) {
        const auto original = E2EECrypto::base64URLDecode(envelope.member(member), 4096, std::nullopt);
        for (std::size_t bit = 0; bit < original.size() * 8; ++bit) {
            Bytes flipped(original.begin(), original.end());
            flipped[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
            E2EEJSON tampered = envelope;
            tampered.setMember(E2EECrypto::base64URLEncode(flipped), member);
            try {
                E2EECrypto::openEnvelope(key, tampered, aad, 8192);
                ADD_FAILURE() << member << " bit " << bit << " opened";
            } catch (const CryptoError& error) {
                EXPECT_EQ(error.kind(), CryptoError::Kind::authenticationFailure);
            }
        }
    }
}

TEST(encryption_Envelope, AnotherAssociatedDataOrKeyFailsAuthentication) {
    const Bytes aad = E2EECrypto::associatedData("acct", "node", "rev", "metadata");
    const Bytes other = E2EECrypto::associatedData("acct", "node", "rev", "file-key");
    const E2EEJSON envelope = E2EECrypto::sealEnvelope(key32(1), bytesOf("x"), aad);
    expectAuthenticationFailure([&] { E2EECrypto::openEnvelope(key32(1), envelope, other, 32); }, "other associated data");
    expectAuthenticationFailure([&] { E2EECrypto::openEnvelope(key32(2), envelope, aad, 32); }, "other key");
}

TEST(encryption_Envelope, MalformedEnvelopesAreRefusedBeforeDecryption) {
    const Bytes aad = E2EECrypto::associatedData("acct", "node", "rev", "file-key");
    const Bytes fileKey(32, 9);
    const E2EEJSON good = E2EECrypto::sealEnvelope(key32(1), fileKey, aad);
    EXPECT_EQ(E2EECrypto::openEnvelope(key32(1), good, aad, 32).size(), 32u);

    auto with = [&](const char* name, const E2EEJSON& value) {
        E2EEJSON copy = good;
        copy.setMember(value, name);
        return copy;
    };
    // Opened with a wrong key: reaching the cipher would fail authentication,
    // so E2EEError::invalid shows the refusal came first.
    const Bytes wrongKey = key32(2);
    const std::vector<std::pair<E2EEJSON, const char*>> cases = {
        {E2EEJSON::object(), "empty object"},
        {E2EEJSON::array(), "array"},
        {with("version", 2), "version 2"},
        {with("version", "1"), "version as text"},
        {with("version", nullptr), "no version"},
        {with("cipher", "A128GCM"), "other cipher"},
        {with("cipher", "a256gcm"), "cipher case"},
        {with("iv", E2EECrypto::base64URLEncode(Bytes(11, 0))), "11-byte iv"},
        {with("iv", E2EECrypto::base64URLEncode(Bytes(13, 0))), "13-byte iv"},
        {with("ciphertext", E2EECrypto::base64URLEncode(Bytes(49, 0))), "49 bytes for a bound of 32"},
        {with("ciphertext", E2EECrypto::base64URLEncode(Bytes(15, 0))), "shorter than a tag"},
        {with("ciphertext", ""), "empty ciphertext"},
    };
    for (const auto& [envelope, label] : cases) {
        expectInvalid([&] { E2EECrypto::openEnvelope(wrongKey, envelope, aad, 32); }, label);
    }
    expectInvalid([&] { E2EECrypto::openEnvelope(Bytes(31, 1), good, aad, 32); }, "31-byte key");
    expectInvalid([&] { E2EECrypto::sealEnvelope(Bytes(33, 1), fileKey, aad); }, "33-byte key");
}

TEST(encryption_Names, ValidatedNameFollowsTheItemNameRules) {
    const std::string bmp1024(1024, 'n');
    std::string astral1024(1022, 'n');
    astral1024 += "\U0001F600";  // counts two units
    const std::vector<std::string> accepted = {" leading and trailing ", bmp1024, astral1024, "a", "\xc3\xa9t\xc3\xa9",
                                               "...", ". x"};
    for (const auto& name : accepted) EXPECT_EQ(E2EECrypto::validatedName(E2EEJSON(name)), name);

    std::string astral1025(1023, 'n');
    astral1025 += "\U0001F600";
    const std::vector<E2EEJSON> refused = {
        E2EEJSON(""), E2EEJSON("   "), E2EEJSON("\xc2\xa0\xe2\x80\xa8"), E2EEJSON("."), E2EEJSON(".."),
        E2EEJSON("a/b"), E2EEJSON("a\\b"), E2EEJSON("a\tb"), E2EEJSON("a\nb"), E2EEJSON(std::string("a\0b", 3)),
        E2EEJSON("a\x1f"), E2EEJSON(std::string(1025, 'n')), E2EEJSON(astral1025), E2EEJSON("\xff"),
        E2EEJSON(1), E2EEJSON(true), E2EEJSON(nullptr),
    };
    for (const auto& value : refused) {
        expectInvalid([&] { E2EECrypto::validatedName(value); }, value.isString() ? *value.stringValue() : "");
    }
}

TEST(encryption_Names, ValidatedIdentifierChecksCharactersAndLength) {
    const std::string mixed = std::string(60, 'a') + std::string(60, 'Z') + "0189_-_-";
    ASSERT_EQ(mixed.size(), 128u);
    EXPECT_EQ(E2EECrypto::validatedIdentifier(E2EEJSON(mixed)), mixed);
    EXPECT_EQ(E2EECrypto::validatedIdentifier(E2EEJSON("e621e1f8-c36c-495a-93fc-0c247a3e6e5f")),
              "e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
    const std::vector<E2EEJSON> refused = {
        E2EEJSON(""), E2EEJSON("a.b"), E2EEJSON("a b"), E2EEJSON(std::string(129, 'a')), E2EEJSON("abc\n"),
        E2EEJSON("abc\r\n"), E2EEJSON("\nabc"), E2EEJSON("ab\xc3\xa9"), E2EEJSON(std::string("ab\0", 3)),
        E2EEJSON(1), E2EEJSON(false), E2EEJSON(nullptr),
    };
    for (const auto& value : refused) expectInvalid([&] { E2EECrypto::validatedIdentifier(value); });
}

TEST(encryption_Random, GivesFreshBytesOfTheRequestedLength) {
    EXPECT_EQ(E2EECrypto::randomBytes(39).size(), 39u);
    EXPECT_TRUE(E2EECrypto::randomBytes(0).empty());
    EXPECT_NE(E2EECrypto::randomBytes(32), E2EECrypto::randomBytes(32));
}

}  // namespace
}  // namespace nimbuscrate
