#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/Bytes.h"
#include "shared/encryption/E2EECrypto.h"
#include "shared/encryption/E2EEJSON.h"
#include "shared/encryption/P256SigningKey.h"

namespace nimbuscrate::testing {

// Builds signed node records, file records and accounts of one test account,
// straight from the record formats (without the checks of makeNodeRecord and
// prepareFile, so that records those would refuse can be built too).
class LibraryBuilder {
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
        std::int64_t previousGeneration = 0;
        std::string previousRevisionId;
        std::int64_t size = 10;
        std::string mime = "text/plain";
        E2EEJSON thumbnail = nullptr;
        // The generation of the embedded node record; none for a manifest without one.
        std::optional<std::int64_t> embeddedGeneration = 1;
        std::string driveId = "drive-1";
        bool current = true;
    };

    LibraryBuilder() {
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
        const E2EEJSON jwk = E2EEJSON::object({
            {"kty", "EC"},
            {"crv", "P-256"},
            {"ext", true},
            {"key_ops", E2EEJSON::array({"verify"})},
            {"x", E2EECrypto::base64URLEncode(ByteView(point).subspan(1, 32))},
            {"y", E2EECrypto::base64URLEncode(ByteView(point).subspan(33, 32))},
        });
        E2EEJSON signingKey = jwk;
        signingKey.setMember(E2EECrypto::base64URLEncode(scalar), "d");
        root_ = E2EECrypto::randomBytes(32);
        keys_ = E2EEJSON::object({
            {"version", 1},
            {"accountId", "acct_1"},
            {"publicKey", jwk},
            {"signingKey", signingKey},
            {"root", E2EECrypto::base64URLEncode(root_)},
        });
    }

    const E2EEJSON& keys() const { return keys_; }

    E2EEJSON nodeRecord(const NodeSpec& spec) const {
        E2EEJSON metadata = E2EEJSON::object({{"name", spec.name}});
        if (!spec.driveId.isNull()) metadata.setMember(spec.driveId, "driveId");
        const E2EEJSON envelope = E2EECrypto::sealEnvelope(
            E2EECrypto::deriveSubkey(root_, "node-metadata"), bytesOf(metadata.canonicalString()),
            E2EECrypto::associatedData("acct_1", spec.nodeId, std::to_string(spec.generation), "node-metadata"));
        const E2EEJSON value = E2EEJSON::object({
            {"purpose", "node"},
            {"accountId", "acct_1"},
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

    E2EEJSON fileRecord(const FileSpec& spec) const {
        const SecretBytes fileKey = E2EECrypto::randomBytes(32);
        E2EEJSON metadata = E2EEJSON::object(
            {{"name", spec.name}, {"size", spec.size}, {"mime", spec.mime}, {"modified", 1500}});
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
            {"format", "nimbuscrate-tink-aes256-v1"},
            {"accountId", "acct_1"},
            {"nodeId", spec.nodeId},
            {"revisionId", spec.revisionId},
            {"parentId", spec.parentId},
            {"previousGeneration", spec.previousGeneration},
            {"previousRevisionId", spec.previousRevisionId},
            {"ciphertextLength", length},
            {"keyEnvelope", E2EECrypto::sealEnvelope(E2EECrypto::deriveSubkey(root_, "file-key-wrap"), fileKey,
                                                     E2EECrypto::associatedData("acct_1", spec.nodeId,
                                                                                spec.revisionId, "file-key"))},
            {"metadata", E2EECrypto::sealEnvelope(E2EECrypto::deriveSubkey(fileKey, "file-metadata"),
                                                  bytesOf(metadata.canonicalString()),
                                                  E2EECrypto::associatedData("acct_1", spec.nodeId, spec.revisionId,
                                                                             "metadata"))},
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

    static E2EEJSON account(std::vector<E2EEJSON> owned = {"drive-1"}, const E2EEJSON& primary = "drive-1") {
        E2EEJSON account = E2EEJSON::object({{"accountId", "acct_1"}, {"ownedDriveIds", E2EEJSON::array(std::move(owned))}});
        if (!primary.isNull()) account.setMember(primary, "primaryDriveId");
        return account;
    }

private:
    SecretBytes root_;
    E2EEJSON keys_;
};

}  // namespace nimbuscrate::testing
