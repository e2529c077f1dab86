#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/core/Bytes.h"
#include "shared/encryption/E2EECrypto.h"
#include "shared/encryption/E2EEJSON.h"
#include "shared/encryption/P256SigningKey.h"

namespace nimbuscrate::testing {

// The records of one test account, signed with a key set drawn afresh for
// each builder: the unlocked key set, the account key record, signed node
// records and file records (any generation, deleted, purged, erased), and the
// account record the account API answers.
//
// Records are built straight from the record formats, without the checks of
// makeNodeRecord and prepareFile, so that records those would refuse can be
// built too; every record built from a sound spec opens with the project's
// own openers. Each call draws fresh nonces and operation ids, so two records
// of one spec have the same generation and different bodies.
class E2EERecordBuilder {
public:
    struct NodeSpec {
        std::string nodeId;
        std::string kind = "folder";
        std::string parentId = "root";
        std::int64_t generation = 1;
        std::string name = "name";
        bool deleted = false;
        bool purged = false;
        E2EEJSON driveId = nullptr;
        std::string operationId = "op";
    };

    struct FileSpec {
        std::string nodeId;
        std::string parentId = "root";
        std::string name = "file.txt";
        std::string revisionId = "rev";
        // The generation of the revision before this one (0 for a file's
        // first revision); the file record's "generation" is one more.
        std::int64_t previousGeneration = 0;
        std::string previousRevisionId;
        std::int64_t size = 10;
        std::string mime = "text/plain";
        std::int64_t modified = 1500;  // milliseconds since 1970
        E2EEJSON thumbnail = nullptr;
        // The generation of the embedded node record; none for a manifest without one.
        std::optional<std::int64_t> embeddedGeneration = 1;
        std::string driveId = "drive-1";
        bool current = true;
    };

    // The account record of GET "e2ee/account".
    struct AccountSpec {
        std::string mode = "required";
        bool onboardingRequired = false;
        bool withKeyRecord = true;
        std::vector<E2EEJSON> ownedDriveIds = {"drive-1"};
        E2EEJSON primaryDriveId = "drive-1";  // null: the account names none
    };

    explicit E2EERecordBuilder(std::string accountId = "acct_1") : accountId_(std::move(accountId)) {
        SecretBytes scalar;
        Bytes point;
        for (;;) {
            scalar = E2EECrypto::randomBytes(32);
            try {
                point = P256SigningKey::fromRawRepresentation(scalar).publicKeyX963();
                break;
            } catch (...) {
                // Out of range (probability about 2^-32): draw again.
            }
        }
        publicKey_ = E2EEJSON::object({
            {"kty", "EC"},
            {"crv", "P-256"},
            {"ext", true},
            {"key_ops", E2EEJSON::array({"verify"})},
            {"x", E2EECrypto::base64URLEncode(ByteView(point).subspan(1, 32))},
            {"y", E2EECrypto::base64URLEncode(ByteView(point).subspan(33, 32))},
        });
        E2EEJSON signingKey = publicKey_;
        signingKey.setMember(E2EECrypto::base64URLEncode(scalar), "d");
        root_ = E2EECrypto::randomBytes(32);
        keys_ = E2EEJSON::object({
            {"version", 1},
            {"accountId", accountId_},
            {"publicKey", publicKey_},
            {"signingKey", signingKey},
            {"root", E2EECrypto::base64URLEncode(root_)},
        });
    }

    const std::string& accountId() const { return accountId_; }
    // The unlocked key set ("version", "accountId", "publicKey", "signingKey", "root").
    const E2EEJSON& keys() const { return keys_; }
    // The key set as the secret store holds it: its canonical text in UTF-8.
    Bytes keysBytes() const { return bytesOf(keys_.canonicalString()); }
    // The account's public key as a JSON Web Key.
    const E2EEJSON& publicKey() const { return publicKey_; }

    // The account key record {"version": 1, "accountId", "publicKey"}.
    E2EEJSON keyRecord() const {
        return E2EEJSON::object({{"version", 1}, {"accountId", accountId_}, {"publicKey", publicKey_}});
    }

    // The identity item the app keeps per account: {"publicKey"} and, when
    // required, "required": true.
    E2EEJSON identityRecord(bool required) const {
        E2EEJSON identity = E2EEJSON::object({{"publicKey", publicKey_}});
        if (required) identity.setMember(true, "required");
        return identity;
    }

    // The account record of GET "e2ee/account": "accountId", "format", "mode",
    // "onboardingRequired", "keyRecord" (null without one), "ownedDriveIds"
    // and "primaryDriveId" (null when none).
    E2EEJSON accountRecord() const { return accountRecord(AccountSpec()); }
    E2EEJSON accountRecord(const AccountSpec& spec) const {
        return E2EEJSON::object({
            {"accountId", accountId_},
            {"format", std::string(E2EECrypto::kFileFormat)},
            {"mode", spec.mode},
            {"onboardingRequired", spec.onboardingRequired},
            {"keyRecord", spec.withKeyRecord ? keyRecord() : E2EEJSON(nullptr)},
            {"ownedDriveIds", E2EEJSON::array(spec.ownedDriveIds)},
            {"primaryDriveId", spec.primaryDriveId},
        });
    }

    // The smallest account a snapshot accepts: "accountId" "acct_1",
    // "ownedDriveIds" and "primaryDriveId" when given.
    static E2EEJSON account(std::vector<E2EEJSON> owned = {"drive-1"}, const E2EEJSON& primary = "drive-1") {
        E2EEJSON account = E2EEJSON::object({{"accountId", "acct_1"}, {"ownedDriveIds", E2EEJSON::array(std::move(owned))}});
        if (!primary.isNull()) account.setMember(primary, "primaryDriveId");
        return account;
    }

    // A signed node record {"value", "signature"}.
    E2EEJSON nodeRecord(const NodeSpec& spec) const {
        E2EEJSON metadata = E2EEJSON::object({{"name", spec.name}});
        if (!spec.driveId.isNull()) metadata.setMember(spec.driveId, "driveId");
        const E2EEJSON envelope = E2EECrypto::sealEnvelope(
            E2EECrypto::deriveSubkey(root_, "node-metadata"), bytesOf(metadata.canonicalString()),
            E2EECrypto::associatedData(accountId_, spec.nodeId, std::to_string(spec.generation), "node-metadata"));
        const E2EEJSON value = E2EEJSON::object({
            {"purpose", "node"},
            {"accountId", accountId_},
            {"nodeId", spec.nodeId},
            {"kind", spec.kind},
            {"parentId", spec.parentId},
            {"generation", spec.generation},
            {"deleted", spec.deleted},
            {"purged", spec.purged},
            {"operationId", spec.operationId},
            {"metadata", envelope},
        });
        return E2EECrypto::signRecord(keys_, value);
    }

    // A node listing entry: {"state": record} and "erased" when given.
    static E2EEJSON listing(const E2EEJSON& record, const E2EEJSON& erased = nullptr) {
        E2EEJSON entry = E2EEJSON::object({{"state", record}});
        if (!erased.isNull()) entry.setMember(erased, "erased");
        return entry;
    }

    E2EEJSON nodeListing(const NodeSpec& spec, const E2EEJSON& erased = nullptr) const {
        return listing(nodeRecord(spec), erased);
    }

    // A file record of the "files" listing: the signed manifest under
    // "manifest" and the members the service keeps beside it ("opaqueName",
    // "revisionId", "ciphertextLength", "generation", "current", "driveId",
    // "parentItemId").
    E2EEJSON fileRecord(const FileSpec& spec) const {
        const SecretBytes fileKey = E2EECrypto::randomBytes(32);
        E2EEJSON metadata = E2EEJSON::object(
            {{"name", spec.name}, {"size", spec.size}, {"mime", spec.mime}, {"modified", spec.modified}});
        if (!spec.thumbnail.isNull()) metadata.setMember(spec.thumbnail, "thumbnail");
        E2EEJSON node = nullptr;
        if (spec.embeddedGeneration) {
            NodeSpec nodeSpec;
            nodeSpec.nodeId = spec.nodeId;
            nodeSpec.kind = "file";
            nodeSpec.parentId = spec.parentId;
            nodeSpec.generation = *spec.embeddedGeneration;
            nodeSpec.name = spec.name;
            node = nodeRecord(nodeSpec);
        }
        const std::int64_t length = E2EECrypto::ciphertextLength(spec.size);
        const E2EEJSON value = E2EEJSON::object({
            {"format", std::string(E2EECrypto::kFileFormat)},
            {"accountId", accountId_},
            {"nodeId", spec.nodeId},
            {"revisionId", spec.revisionId},
            {"parentId", spec.parentId},
            {"previousGeneration", spec.previousGeneration},
            {"previousRevisionId", spec.previousRevisionId},
            {"ciphertextLength", length},
            {"keyEnvelope", E2EECrypto::sealEnvelope(E2EECrypto::deriveSubkey(root_, "file-key-wrap"), fileKey,
                                                     E2EECrypto::associatedData(accountId_, spec.nodeId,
                                                                                spec.revisionId, "file-key"))},
            {"metadata", E2EECrypto::sealEnvelope(E2EECrypto::deriveSubkey(fileKey, "file-metadata"),
                                                  bytesOf(metadata.canonicalString()),
                                                  E2EECrypto::associatedData(accountId_, spec.nodeId,
                                                                             spec.revisionId, "metadata"))},
            {"node", node},
        });
        return E2EEJSON::object({
            {"manifest", E2EECrypto::signRecord(keys_, value)},
            {"opaqueName", spec.nodeId + "-" + spec.revisionId + ".nbenc"},
            {"revisionId", spec.revisionId},
            {"ciphertextLength", length},
            {"generation", spec.previousGeneration + 1},
            {"current", spec.current},
            {"driveId", spec.driveId},
            {"parentItemId", spec.driveId},
        });
    }

private:
    std::string accountId_;
    SecretBytes root_;
    E2EEJSON publicKey_;
    E2EEJSON keys_;
};

}  // namespace nimbuscrate::testing
