#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shared/encryption/CryptoError.h"
#include "shared/encryption/E2EECrypto.h"
#include "shared/encryption/E2EEError.h"
#include "shared/encryption/JSONReadError.h"
#include "tests/shared/encryption/Fixtures.h"

namespace nimbuscrate {
namespace {

using testing::expectAuthenticationFailure;
using testing::expectInvalid;
using testing::fixture;
using testing::toE2EE;
using testing::toHex;

class encryption_Manifests : public ::testing::Test {
protected:
    void SetUp() override {
        vectors_ = fixture("records.json");
        keys_ = toE2EE(vectors_["keys"]);
    }

    E2EEJSON root() const { return keys_.member("root"); }

    // A manifest value signed as it stands, with its metadata envelope
    // resealed from metadata under the revision's file key.
    E2EEJSON signManifest(E2EEJSON value, const E2EEJSON& metadata, const SecretBytes& fileKey) const {
        const Bytes aad = E2EECrypto::associatedData(keys_.member("accountId"), value.member("nodeId"),
                                                     value.member("revisionId"), "metadata");
        value.setMember(E2EECrypto::sealEnvelope(E2EECrypto::deriveSubkey(fileKey, "file-metadata"),
                                                 bytesOf(metadata.canonicalString()), aad),
                        "metadata");
        return E2EECrypto::signRecord(keys_, value);
    }

    // A node record value with metadata sealed for sealedGeneration, signed
    // without the checks of makeNodeRecord.
    E2EEJSON signNode(const E2EEJSON& metadata, std::int64_t sealedGeneration,
                      std::vector<std::pair<std::string, E2EEJSON>> overrides = {}) const {
        const SecretBytes nodeKey =
            E2EECrypto::deriveSubkey(E2EECrypto::base64URLDecode(root(), 32, 32), "node-metadata");
        E2EEJSON value = E2EEJSON::object({
            {"purpose", "node"},
            {"accountId", keys_.member("accountId")},
            {"nodeId", "n1"},
            {"kind", "folder"},
            {"parentId", "root"},
            {"generation", sealedGeneration},
            {"deleted", false},
            {"purged", false},
            {"operationId", "op1"},
        });
        value.setMember(E2EECrypto::sealEnvelope(nodeKey, bytesOf(metadata.canonicalString()),
                                                 E2EECrypto::associatedData(keys_.member("accountId"), "n1",
                                                                            std::to_string(sealedGeneration),
                                                                            "node-metadata")),
                        "metadata");
        for (const auto& [name, member] : overrides) value.setMember(member, name);
        return E2EECrypto::signRecord(keys_, value);
    }

    E2EECrypto::Prepared prepared(const std::string& mime = "text/plain", std::int64_t size = 10) const {
        return E2EECrypto::prepareFile(keys_, "notes.txt", size, mime, 1500, "folder-1", std::nullopt, nullptr);
    }

    nlohmann::json vectors_;
    E2EEJSON keys_;
};

TEST_F(encryption_Manifests, OpensReferenceManifestsAndChecksTheirEntries) {
    for (const auto& item : vectors_["manifests"]) {
        const std::string label = item["label"];
        const E2EECrypto::File file = E2EECrypto::openFile(keys_, toE2EE(item["record"]));
        EXPECT_EQ(file.metadata, toE2EE(item["metadata"])) << label;
        EXPECT_EQ(toHex(file.key), item["fileKey"]) << label;
        EXPECT_EQ(stringOf(file.aad), item["contentAAD"]) << label;
        EXPECT_EQ(file.value, toE2EE(item["record"]["value"])) << label;

        const E2EEJSON entry = toE2EE(item["entry"]);
        EXPECT_NO_THROW(E2EECrypto::verifyCommit(entry, file)) << label;
        const std::int64_t generation = entry.member("generation").safeInteger();
        std::string upper = *entry.member("opaqueName").stringValue();
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        const std::vector<std::pair<const char*, E2EEJSON>> changes = {
            {"generation", generation + 1},
            {"generation", generation - 1},
            {"opaqueName", upper},
            {"opaqueName", nullptr},
            {"revisionId", "other"},
            {"ciphertextLength", entry.member("ciphertextLength").safeInteger() + 16},
        };
        for (const auto& [member, value] : changes) {
            E2EEJSON bad = entry;
            bad.setMember(value, member);
            expectInvalid([&] { E2EECrypto::verifyCommit(bad, file); }, label + " " + member);
        }
        expectInvalid([&] { E2EECrypto::verifyCommit(E2EEJSON::object(), file); }, label);
    }
}

TEST_F(encryption_Manifests, OpensReferenceNodeRecords) {
    for (const auto& item : vectors_["nodes"]) {
        const E2EEJSON record = toE2EE(item["record"]);
        const E2EEJSON node = E2EECrypto::openNode(keys_, record);
        EXPECT_EQ(node.member("name"), toE2EE(item["name"])) << item["label"];
        EXPECT_EQ(node.member("driveId"), toE2EE(item["driveId"])) << item["label"];
        for (const char* member : {"nodeId", "parentId", "kind", "generation", "deleted", "purged", "operationId"}) {
            EXPECT_EQ(node.member(member), record.member("value").member(member)) << item["label"] << member;
        }
    }
}

TEST_F(encryption_Manifests, PreparedRevisionOpensToTheSameRevision) {
    const E2EECrypto::Prepared prepared = this->prepared();
    const E2EECrypto::File opened = E2EECrypto::openFile(keys_, prepared.manifest);
    EXPECT_EQ(opened.metadata, prepared.file.metadata);
    EXPECT_EQ(opened.key, prepared.file.key);
    EXPECT_EQ(opened.aad, prepared.file.aad);
    EXPECT_EQ(opened.value, prepared.file.value);
    EXPECT_EQ(prepared.opaqueName.size(), 79u);
    EXPECT_EQ(prepared.opaqueName, *opened.value.member("nodeId").stringValue() + "-" +
                                       *opened.value.member("revisionId").stringValue() + ".nbenc");
    EXPECT_EQ(opened.value.member("previousGeneration"), E2EEJSON(0));
    EXPECT_EQ(opened.value.member("previousRevisionId"), E2EEJSON(""));
    EXPECT_EQ(opened.value.memberNames().size(), 11u);
    EXPECT_EQ(opened.metadata.canonicalString(), R"({"mime":"text/plain","modified":1500,"name":"notes.txt","size":10})");
    const E2EEJSON node = E2EECrypto::openNode(keys_, opened.value.member("node"));
    EXPECT_EQ(node.member("generation"), E2EEJSON(1));
    EXPECT_EQ(node.member("kind"), E2EEJSON("file"));
    EXPECT_EQ(node.member("name"), E2EEJSON("notes.txt"));
}

TEST_F(encryption_Manifests, NewRevisionOfAnExistingFileContinuesBothChains) {
    const E2EEJSON existing = E2EEJSON::object({
        {"nodeId", "node_A-2"},
        {"generation", 6},
        {"entry", E2EEJSON::object({{"generation", 3}, {"revisionId", "rev-6"}})},
    });
    const auto prepared = E2EECrypto::prepareFile(keys_, "b.txt", 0, "", 0, "folder-1", existing, nullptr);
    const E2EEJSON& value = prepared.file.value;
    EXPECT_EQ(value.member("nodeId"), E2EEJSON("node_A-2"));
    EXPECT_EQ(value.member("previousGeneration"), E2EEJSON(3));
    EXPECT_EQ(value.member("previousRevisionId"), E2EEJSON("rev-6"));
    EXPECT_EQ(E2EECrypto::openNode(keys_, value.member("node")).member("generation"), E2EEJSON(7));

    // Shapes that cannot continue a chain, or would give a manifest no reader opens.
    const std::vector<std::pair<E2EEJSON, const char*>> refused = {
        {E2EEJSON::object({{"nodeId", "n"}, {"generation", 1}}), "no entry"},
        {E2EEJSON::object({{"nodeId", "n"}, {"generation", 1}, {"entry", E2EEJSON::object({{"generation", "1"}})}}),
         "generation as text"},
        {E2EEJSON::object({{"nodeId", "n"}, {"entry", E2EEJSON::object({{"generation", 1}, {"revisionId", "r"}})}}),
         "no node generation"},
        {E2EEJSON::object({{"nodeId", "n"}, {"generation", 1}, {"entry", E2EEJSON::object({{"generation", 1}})}}),
         "no previous revision"},
        {E2EEJSON::object({{"generation", 1}, {"entry", E2EEJSON::object({{"generation", 1}, {"revisionId", "r"}})}}),
         "no node id"},
        {E2EEJSON::object({{"nodeId", "a.b"}, {"generation", 1}, {"entry", E2EEJSON::object({{"generation", 1}, {"revisionId", "r"}})}}),
         "bad node id"},
    };
    for (const auto& [bad, label] : refused) {
        expectInvalid([&] { E2EECrypto::prepareFile(keys_, "b.txt", 0, "", 0, "folder-1", bad, nullptr); }, label);
    }
}

TEST_F(encryption_Manifests, PrepareFileRefusesWhatNoReaderWouldOpen) {
    expectInvalid([&] { E2EECrypto::prepareFile(keys_, "..", 1, "", 0, "folder-1", std::nullopt, nullptr); }, "name");
    expectInvalid([&] { E2EECrypto::prepareFile(keys_, "a", 1, "", -1, "folder-1", std::nullopt, nullptr); }, "modified");
    expectInvalid([&] { E2EECrypto::prepareFile(keys_, "a", -1, "", 0, "folder-1", std::nullopt, nullptr); }, "size");
    expectInvalid([&] { prepared(std::string(256, 'm')); }, "mime of 256 units");
    EXPECT_NO_THROW(prepared(std::string(255, 'm')));
    expectInvalid([&] { E2EECrypto::prepareFile(keys_, "a", 1, "", 0, "a b", std::nullopt, nullptr); }, "parent");
    const E2EEJSON badThumbnail = E2EEJSON::object({{"version", 1}, {"sourceNodeId", "n"}, {"sourceRevisionId", "r"},
                                                    {"width", 0}, {"height", 10}});
    expectInvalid([&] {
        E2EECrypto::prepareFile(keys_, "t.jpg", 100, "image/jpeg", 0, "folder-1", std::nullopt, badThumbnail);
    }, "thumbnail width 0");
    E2EEJSON goodThumbnail = badThumbnail;
    goodThumbnail.setMember(512, "width");
    EXPECT_NO_THROW(
        E2EECrypto::prepareFile(keys_, "t.jpg", 100, "image/jpeg", 0, "folder-1", std::nullopt, goodThumbnail));
    expectInvalid([&] {
        E2EECrypto::prepareFile(keys_, "t.jpg", 100, "image/png", 0, "folder-1", std::nullopt, goodThumbnail);
    }, "thumbnail not a JPEG");
    E2EEJSON otherAccount = keys_;
    otherAccount.setMember("acct.1", "accountId");
    expectInvalid([&] { E2EECrypto::prepareFile(otherAccount, "a", 1, "", 0, "f", std::nullopt, nullptr); },
                  "account id");
    E2EEJSON wrongPublicKey = keys_;
    E2EEJSON jwk = keys_.member("publicKey");
    jwk.setMember(keys_.member("publicKey").member("y"), "x");
    wrongPublicKey.setMember(jwk, "publicKey");
    expectInvalid([&] { E2EECrypto::prepareFile(wrongPublicKey, "a", 1, "", 0, "f", std::nullopt, nullptr); },
                  "signing key that does not match the public key");
}

TEST_F(encryption_Manifests, OpenFileRefusesMalformedManifests) {
    const E2EECrypto::Prepared base = prepared("image/jpeg", 100);
    const E2EEJSON& value = base.file.value;
    const E2EEJSON& metadata = base.file.metadata;
    auto valueWith = [&](const char* name, const E2EEJSON& member) {
        E2EEJSON copy = value;
        copy.setMember(member, name);
        return copy;
    };
    auto metadataWith = [&](const char* name, const E2EEJSON& member) {
        E2EEJSON copy = metadata;
        copy.setMember(member, name);
        return copy;
    };
    const E2EEJSON thumbnail = E2EEJSON::object({{"version", 1}, {"sourceNodeId", "n"}, {"sourceRevisionId", "r"},
                                                 {"width", 10}, {"height", 10}});
    auto thumbnailWith = [&](const char* name, const E2EEJSON& member) {
        E2EEJSON copy = thumbnail;
        if (member.isNull()) {
            copy.removeMember(name);
        } else {
            copy.setMember(member, name);
        }
        return metadataWith("thumbnail", copy);
    };

    // Accepted variants.
    EXPECT_NO_THROW(E2EECrypto::openFile(keys_, signManifest(value, metadataWith("thumbnail", nullptr), base.file.key)));
    EXPECT_NO_THROW(E2EECrypto::openFile(keys_, signManifest(value, metadataWith("thumbnail", thumbnail), base.file.key)));
    EXPECT_NO_THROW(E2EECrypto::openFile(keys_, signManifest(value, metadataWith("mime", std::string(255, 'm')), base.file.key)));

    const std::int64_t length = value.member("ciphertextLength").safeInteger();
    struct Case {
        E2EEJSON value;
        E2EEJSON metadata;
        const char* label;
    };
    const std::vector<Case> refused = {
        {valueWith("format", "nimbuscrate-tink-aes128-v1"), metadata, "format"},
        {valueWith("accountId", "acct_2"), metadata, "account"},
        {valueWith("parentId", "a b"), metadata, "parent"},
        {valueWith("previousRevisionId", "rev-1"), metadata, "generation 0 with a previous revision"},
        {valueWith("previousGeneration", 3), metadata, "generation 3 without a previous revision"},
        {valueWith("previousRevisionId", nullptr), metadata, "no previous revision member"},
        {valueWith("previousGeneration", "0"), metadata, "generation as text"},
        {valueWith("ciphertextLength", length + 1), metadata, "ciphertext length"},
        {valueWith("ciphertextLength", std::to_string(length)), metadata, "ciphertext length as text"},
        {value, metadataWith("extra", 1), "a sixth metadata member"},
        {value, metadataWith("mime", std::string(256, 'm')), "mime of 256 units"},
        {value, metadataWith("mime", nullptr), "no mime"},
        {value, metadataWith("modified", "5"), "modified as text"},
        {value, metadataWith("name", "a/b"), "name"},
        {value, metadataWith("size", 1000000000001LL), "size above 10^12"},
        {value, thumbnailWith("version", 2), "thumbnail version"},
        {value, thumbnailWith("width", 0), "width 0"},
        {value, thumbnailWith("width", 513), "width 513"},
        {value, thumbnailWith("height", nullptr), "no height"},
        {value, thumbnailWith("extra", 1), "a sixth descriptor member"},
        {value, thumbnailWith("sourceNodeId", "a.b"), "source node"},
        {value, metadataWith("thumbnail", "x"), "descriptor not an object"},
    };
    for (const auto& c : refused) {
        const E2EEJSON record = signManifest(c.value, c.metadata, base.file.key);
        expectInvalid([&] { E2EECrypto::openFile(keys_, record); }, c.label);
    }

    // A preview above 262,144 bytes or of another type.
    {
        const auto big = prepared("image/jpeg", 262145);
        E2EEJSON bigMetadata = big.file.metadata;
        bigMetadata.setMember(thumbnail, "thumbnail");
        expectInvalid([&] { E2EECrypto::openFile(keys_, signManifest(big.file.value, bigMetadata, big.file.key)); },
                      "preview of 262,145 bytes");
        E2EEJSON png = metadataWith("mime", "image/png");
        png.setMember(thumbnail, "thumbnail");
        expectInvalid([&] { E2EECrypto::openFile(keys_, signManifest(value, png, base.file.key)); },
                      "preview that is not a JPEG");
    }

    // Metadata that is not JSON passes the reader's error through.
    {
        E2EEJSON notJSON = value;
        notJSON.setMember(E2EECrypto::sealEnvelope(E2EECrypto::deriveSubkey(base.file.key, "file-metadata"),
                                                   bytesOf("{not json"),
                                                   E2EECrypto::associatedData(keys_.member("accountId"),
                                                                              value.member("nodeId"),
                                                                              value.member("revisionId"), "metadata")),
                          "metadata");
        EXPECT_THROW(E2EECrypto::openFile(keys_, E2EECrypto::signRecord(keys_, notJSON)), JSONReadError);
    }

    // A changed member without a new signature fails the signature check.
    E2EEJSON unsigned_ = base.manifest;
    unsigned_.setMember(valueWith("parentId", "other"), "value");
    expectInvalid([&] { E2EECrypto::openFile(keys_, unsigned_); }, "signature");

    // A key envelope bound to another revision fails authentication.
    E2EEJSON moved = value;
    moved.setMember("another-revision", "revisionId");
    expectAuthenticationFailure([&] { E2EECrypto::openFile(keys_, signManifest(moved, metadata, base.file.key)); },
                                "key envelope of another revision");
}

TEST_F(encryption_Manifests, OpenNodeRefusesMalformedNodes) {
    const E2EEJSON metadata = E2EEJSON::object({{"name", "Docs"}});
    EXPECT_EQ(E2EECrypto::openNode(keys_, signNode(metadata, 4)).member("name"), E2EEJSON("Docs"));
    const E2EEJSON withNullDrive = E2EECrypto::openNode(keys_, signNode(E2EEJSON::object({{"name", "D"}, {"driveId", nullptr}}), 4));
    EXPECT_TRUE(withNullDrive.member("driveId").isNull());
    EXPECT_EQ(E2EECrypto::openNode(keys_, signNode(E2EEJSON::object({{"name", "D"}, {"driveId", "a$b-c_9"}}), 4))
                  .member("driveId"),
              E2EEJSON("a$b-c_9"));
    // Other metadata members are neither written nor refused.
    EXPECT_NO_THROW(E2EECrypto::openNode(keys_, signNode(E2EEJSON::object({{"name", "D"}, {"color", "red"}}), 4)));

    struct Case {
        E2EEJSON record;
        const char* label;
    };
    const std::vector<Case> refused = {
        {signNode(metadata, 4, {{"generation", 0}}), "generation 0"},
        {signNode(metadata, 4, {{"kind", "link"}}), "kind"},
        {signNode(metadata, 4, {{"purged", true}}), "purged but not deleted"},
        {signNode(metadata, 4, {{"deleted", 1}}), "deleted as an integer"},
        {signNode(metadata, 4, {{"purpose", "file"}}), "purpose"},
        {signNode(metadata, 4, {{"accountId", "acct_2"}}), "account"},
        {signNode(metadata, 4, {{"operationId", ""}}), "operation id"},
        {signNode(metadata, 4, {{"parentId", nullptr}}), "parent"},
        {signNode(E2EEJSON::object({{"name", "."}}), 4), "name"},
        {signNode(E2EEJSON::object({{"name", "D"}, {"driveId", "a/b"}}), 4), "drive identifier"},
        {signNode(E2EEJSON::object({{"name", "D"}, {"driveId", "drive-1\n"}}), 4), "drive with a trailing line feed"},
        {signNode(E2EEJSON::object({{"name", "D"}, {"driveId", std::string(513, 'd')}}), 4), "drive of 513"},
        {signNode(E2EEJSON::object({{"name", "D"}, {"driveId", 5}}), 4), "drive as a number"},
    };
    for (const auto& c : refused) expectInvalid([&] { E2EECrypto::openNode(keys_, c.record); }, c.label);

    // Node metadata sealed for generation 4 does not open as generation 5.
    expectAuthenticationFailure([&] { E2EECrypto::openNode(keys_, signNode(metadata, 4, {{"generation", 5}})); },
                                "metadata of generation 4 as generation 5");
    EXPECT_NO_THROW(E2EECrypto::openNode(keys_, signNode(E2EEJSON::object({{"name", "D"}, {"driveId", std::string(512, 'd')}}), 4)));
}

TEST_F(encryption_Manifests, MakeNodeRecordChecksItsArgumentsAndItsResult) {
    const E2EEJSON record = E2EECrypto::makeNodeRecord(keys_, "n1", "folder", "root", 3, false, "Docs", "drive-1");
    const E2EEJSON node = E2EECrypto::openNode(keys_, record);
    EXPECT_EQ(node.member("driveId"), E2EEJSON("drive-1"));
    EXPECT_EQ(node.member("generation"), E2EEJSON(3));
    EXPECT_EQ(record.member("value").memberNames().size(), 10u);
    EXPECT_EQ(record.member("value").member("operationId").stringValue()->size(), 36u);

    const E2EEJSON again = E2EECrypto::makeNodeRecord(keys_, "n1", "folder", "root", 3, false, "Docs", "drive-1");
    for (const char* member : {"operationId", "metadata"}) {
        EXPECT_FALSE(again.member("value").member(member) == record.member("value").member(member)) << member;
    }
    EXPECT_FALSE(again.member("signature") == record.member("signature"));

    struct Case {
        E2EEJSON nodeId, kind, parentId;
        std::int64_t generation;
        std::string name;
        E2EEJSON driveId;
        const char* label;
    };
    const std::vector<Case> refused = {
        {"n1", "folder", "root", 0, "Docs", nullptr, "generation 0"},
        {"n1", "Folder", "root", 1, "Docs", nullptr, "kind in another letter case"},
        {"n1", "folder", "root", 1, "..", nullptr, "name"},
        {"n.1", "folder", "root", 1, "Docs", nullptr, "node id"},
        {"n1", "folder", "", 1, "Docs", nullptr, "parent id"},
        // Refused by the check of the result: no reader would accept the drive.
        {"n1", "folder", "root", 1, "Docs", "bad/drive", "drive identifier"},
        {"n1", "folder", "root", 1, "Docs", "drive-1\n", "drive with a trailing line feed"},
        {"n1", "folder", "root", 1, "Docs", 7, "drive as a number"},
        {"n1", "folder", "root", E2EEJSON::kMaxSafeInteger + 1, "Docs", nullptr, "generation above 2^53 - 1"},
    };
    for (const auto& c : refused) {
        expectInvalid([&] { E2EECrypto::makeNodeRecord(keys_, c.nodeId, c.kind, c.parentId, c.generation, false, c.name, c.driveId); },
                      c.label);
    }
}

}  // namespace
}  // namespace nimbuscrate
