// File manifests and node records of E2EECrypto.
#include <algorithm>
#include <array>

#include "platform/core/PlatformError.h"
#include "platform/core/Random.h"
#include "shared/encryption/E2EECrypto.h"
#include "shared/encryption/E2EEError.h"
#include "shared/encryption/JSONReadError.h"
#include "shared/encryption/RecordVerifier.h"

namespace nimbuscrate::E2EECrypto {

namespace {

constexpr std::array<const char*, 5> kMetadataMembers = {"name", "size", "mime", "modified", "thumbnail"};
constexpr std::array<const char*, 5> kThumbnailMembers = {"version", "sourceNodeId", "sourceRevisionId", "width",
                                                          "height"};

void require(bool condition) {
    if (!condition) throw E2EEError::invalid();
}

std::string newLowercaseUUID() {
    try {
        return Uuid::random().lowerString();
    } catch (const PlatformError&) {
        throw E2EEError::invalid();  // the secure random source failed
    }
}

// A safe integer within [low, high].
std::int64_t integerIn(const E2EEJSON& value, std::int64_t low, std::int64_t high) {
    const std::int64_t number = value.safeInteger();
    require(number >= low && number <= high);
    return number;
}

bool isIdentifierValue(const E2EEJSON& value) {
    const std::string* text = value.stringValue();
    return text != nullptr && isIdentifier(*text);
}

// "^[A-Za-z0-9_$-]{1,512}$", checked character by character.
bool isDriveIdentifier(const std::string& text) {
    if (text.empty() || text.size() > 512) return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '$' ||
               c == '-';
    });
}

bool hasMemberNamesWithin(const E2EEJSON& object, const std::array<const char*, 5>& allowed) {
    for (const std::string& name : object.memberNames()) {
        const bool known = std::any_of(allowed.begin(), allowed.end(),
                                       [&](const char* candidate) { return E2EEJSON(name) == E2EEJSON(candidate); });
        if (!known) return false;
    }
    return true;
}

bool isMimeText(const E2EEJSON& value) {
    const std::string* text = value.stringValue();
    if (text == nullptr) return false;
    const auto units = utf16Length(*text);
    return units && *units <= 255;
}

E2EEJSON decodeMetadata(const SecretBytes& plaintext) {
    return E2EEJSON::parse(std::string_view(reinterpret_cast<const char*>(plaintext.data()), plaintext.size()));
}

SecretBytes rootKey(const E2EEJSON& keys) { return base64URLDecode(keys.member("root"), 32, 32); }

}  // namespace

File openFile(const E2EEJSON& keys, const E2EEJSON& record) {
    return openFile(keys, RecordVerifier(keys.member("publicKey")), record);
}

File openFile(const E2EEJSON& keys, const RecordVerifier& verifier, const E2EEJSON& record) {
    const E2EEJSON manifest = verifier.verify(record);
    require(manifest.isNonEmptyObject() && manifest.member("format") == E2EEJSON(kFileFormat));
    require(manifest.member("accountId") == keys.member("accountId"));
    const E2EEJSON& nodeId = manifest.member("nodeId");
    const E2EEJSON& revisionId = manifest.member("revisionId");
    require(isIdentifierValue(nodeId) && isIdentifierValue(revisionId) && isIdentifierValue(manifest.member("parentId")));
    const std::int64_t previousGeneration = manifest.member("previousGeneration").safeInteger();
    const std::string* previousRevisionId = manifest.member("previousRevisionId").stringValue();
    require(previousRevisionId != nullptr);
    if (previousGeneration == 0) {
        require(previousRevisionId->empty());
    } else {
        require(isIdentifier(*previousRevisionId));
    }

    const E2EEJSON& accountId = keys.member("accountId");
    const SecretBytes wrapKey = deriveSubkey(rootKey(keys), "file-key-wrap");
    SecretBytes fileKey = openEnvelope(wrapKey, manifest.member("keyEnvelope"),
                                       associatedData(accountId, nodeId, revisionId, "file-key"), kKeyLength);
    const SecretBytes metadataKey = deriveSubkey(fileKey, "file-metadata");
    const SecretBytes plaintext = openEnvelope(metadataKey, manifest.member("metadata"),
                                               associatedData(accountId, nodeId, revisionId, "metadata"),
                                               kMaxMetadataPlaintext);
    const E2EEJSON metadata = decodeMetadata(plaintext);

    validatedName(metadata.member("name"));
    const std::int64_t size = metadata.member("size").safeInteger();
    const std::int64_t expected = ciphertextLength(size);
    require(manifest.member("ciphertextLength").safeInteger() == expected);
    require(isMimeText(metadata.member("mime")));
    metadata.member("modified").safeInteger();
    require(hasMemberNamesWithin(metadata, kMetadataMembers));

    const E2EEJSON& thumbnail = metadata.member("thumbnail");
    if (!thumbnail.isNull()) {
        require(thumbnail.isObject() && thumbnail.memberNames().size() == kThumbnailMembers.size() &&
                hasMemberNamesWithin(thumbnail, kThumbnailMembers));
        require(thumbnail.member("version") == E2EEJSON(1));
        require(metadata.member("mime") == E2EEJSON("image/jpeg"));
        require(size >= 1 && size <= kMaxSmallPayload);
        integerIn(thumbnail.member("width"), 1, 512);
        integerIn(thumbnail.member("height"), 1, 512);
        require(isIdentifierValue(thumbnail.member("sourceNodeId")) &&
                isIdentifierValue(thumbnail.member("sourceRevisionId")));
    }

    File file;
    file.aad = associatedData(accountId, nodeId, revisionId, "content");
    file.value = manifest;
    file.metadata = metadata;
    file.key = std::move(fileKey);
    return file;
}

void verifyCommit(const E2EEJSON& entry, const File& file) {
    require(entry.isNonEmptyObject());
    const std::string* opaqueName = entry.member("opaqueName").stringValue();
    require(opaqueName != nullptr);
    const std::string* nodeId = file.value.member("nodeId").stringValue();
    const std::string* revisionId = file.value.member("revisionId").stringValue();
    require(file.value.isObject() && nodeId != nullptr && revisionId != nullptr);
    require(*opaqueName == *nodeId + "-" + *revisionId + ".nbenc");
    require(entry.member("revisionId") == file.value.member("revisionId"));
    require(entry.member("ciphertextLength") == file.value.member("ciphertextLength"));
    const std::int64_t generation = entry.member("generation").safeInteger();
    const std::int64_t previousGeneration = file.value.member("previousGeneration").safeInteger();
    require(generation == previousGeneration + 1);
}

E2EEJSON openNode(const E2EEJSON& keys, const E2EEJSON& record) {
    return openNode(keys, RecordVerifier(keys.member("publicKey")), record);
}

E2EEJSON openNode(const E2EEJSON& keys, const RecordVerifier& verifier, const E2EEJSON& record) {
    E2EEJSON node = verifier.verify(record);
    require(node.isNonEmptyObject() && node.member("purpose") == E2EEJSON("node"));
    require(node.member("accountId") == keys.member("accountId"));
    const E2EEJSON& kind = node.member("kind");
    require(kind == E2EEJSON("file") || kind == E2EEJSON("folder"));
    const std::int64_t generation = integerIn(node.member("generation"), 1, E2EEJSON::kMaxSafeInteger);
    require(node.member("deleted").isBool() && node.member("purged").isBool());
    require(!node.member("purged").boolValue() || node.member("deleted").boolValue());
    require(isIdentifierValue(node.member("nodeId")) && isIdentifierValue(node.member("parentId")) &&
            isIdentifierValue(node.member("operationId")));

    const SecretBytes nodeKey = deriveSubkey(rootKey(keys), "node-metadata");
    const SecretBytes plaintext =
        openEnvelope(nodeKey, node.member("metadata"),
                     associatedData(keys.member("accountId"), node.member("nodeId"), E2EEJSON(std::to_string(generation)),
                                    "node-metadata"),
                     kMaxMetadataPlaintext);
    const E2EEJSON metadata = decodeMetadata(plaintext);
    validatedName(metadata.member("name"));
    const E2EEJSON& driveId = metadata.member("driveId");
    if (!driveId.isNull()) require(driveId.isString() && isDriveIdentifier(*driveId.stringValue()));

    node.setMember(metadata.member("name"), "name");
    node.setMember(driveId, "driveId");
    return node;
}

E2EEJSON makeNodeRecord(const E2EEJSON& keys, const E2EEJSON& nodeId, const E2EEJSON& kind, const E2EEJSON& parentId,
                        std::int64_t generation, bool deleted, const std::string& name, const E2EEJSON& driveId) {
    validatedName(E2EEJSON(name));
    validatedIdentifier(nodeId);
    validatedIdentifier(parentId);
    require(generation >= 1);
    require(kind.isString() && (*kind.stringValue() == "folder" || *kind.stringValue() == "file"));

    E2EEJSON metadata = E2EEJSON::object({{"name", name}});
    if (!driveId.isNull()) metadata.setMember(driveId, "driveId");
    const SecretBytes nodeKey = deriveSubkey(rootKey(keys), "node-metadata");
    const E2EEJSON envelope =
        sealEnvelope(nodeKey, bytesOf(metadata.canonicalString()),
                     associatedData(keys.member("accountId"), nodeId, E2EEJSON(std::to_string(generation)),
                                    "node-metadata"));
    const E2EEJSON value = E2EEJSON::object({
        {"purpose", "node"},
        {"accountId", keys.member("accountId")},
        {"nodeId", nodeId},
        {"kind", kind},
        {"parentId", parentId},
        {"generation", generation},
        {"deleted", deleted},
        {"purged", false},
        {"operationId", newLowercaseUUID()},
        {"metadata", envelope},
    });
    const E2EEJSON record = signRecord(keys, value);

    // A record that its readers would refuse must never be sent: it would
    // fail the library snapshot of every device of the account.
    try {
        const E2EEJSON opened = openNode(keys, record);
        require(opened.member("name") == E2EEJSON(name) && opened.member("driveId") == driveId);
    } catch (...) {
        throw E2EEError::invalid();
    }
    return record;
}

Prepared prepareFile(const E2EEJSON& keys, const std::string& name, std::int64_t size, const std::string& mime,
                     std::int64_t modified, const E2EEJSON& parentId, const std::optional<E2EEJSON>& existing,
                     const E2EEJSON& thumbnail) {
    validatedName(E2EEJSON(name));
    require(modified >= 0);
    require(isMimeText(E2EEJSON(mime)));

    const E2EEJSON nodeId = existing ? existing->member("nodeId") : E2EEJSON(newLowercaseUUID());
    const std::string revisionId = newLowercaseUUID();
    const SecretBytes fileKey = randomBytes(kKeyLength);

    E2EEJSON metadata = E2EEJSON::object({{"name", name}, {"size", size}, {"mime", mime}, {"modified", modified}});
    if (!thumbnail.isNull()) metadata.setMember(thumbnail, "thumbnail");

    std::int64_t previousGeneration = 0;
    E2EEJSON previousRevisionId("");
    std::int64_t nodeGeneration = 1;
    if (existing) {
        const E2EEJSON& entry = existing->member("entry");
        require(existing->isObject() && entry.isNonEmptyObject());
        previousGeneration = entry.member("generation").safeInteger();
        nodeGeneration = existing->member("generation").safeInteger() + 1;
        previousRevisionId = entry.member("revisionId");
    }
    const std::int64_t length = ciphertextLength(size);

    const E2EEJSON& accountId = keys.member("accountId");
    const E2EEJSON revision(revisionId);
    const E2EEJSON keyEnvelope = sealEnvelope(deriveSubkey(rootKey(keys), "file-key-wrap"), fileKey,
                                              associatedData(accountId, nodeId, revision, "file-key"));
    const E2EEJSON metadataEnvelope = sealEnvelope(deriveSubkey(fileKey, "file-metadata"),
                                                   bytesOf(metadata.canonicalString()),
                                                   associatedData(accountId, nodeId, revision, "metadata"));
    const E2EEJSON node = makeNodeRecord(keys, nodeId, "file", parentId, nodeGeneration, false, name, nullptr);
    const E2EEJSON manifest = E2EEJSON::object({
        {"format", kFileFormat},
        {"accountId", accountId},
        {"nodeId", nodeId},
        {"revisionId", revision},
        {"parentId", parentId},
        {"previousGeneration", previousGeneration},
        {"previousRevisionId", previousRevisionId},
        {"ciphertextLength", length},
        {"keyEnvelope", keyEnvelope},
        {"metadata", metadataEnvelope},
        {"node", node},
    });
    const E2EEJSON signedManifest = signRecord(keys, manifest);
    const Bytes aad = associatedData(accountId, nodeId, revision, "content");
    require(nodeId.isString());

    // Open the new revision as every reader will, and check its embedded node
    // the way the library snapshot does, before anything is signed away.
    try {
        const File opened = openFile(keys, signedManifest);
        require(opened.metadata == metadata && opened.key == fileKey);
        const E2EEJSON embedded = openNode(keys, node);
        require(embedded.member("nodeId") == nodeId && embedded.member("parentId") == parentId &&
                embedded.member("kind") == E2EEJSON("file") && embedded.member("name") == E2EEJSON(name) &&
                !embedded.member("deleted").boolValue() && !embedded.member("purged").boolValue());
    } catch (...) {
        throw E2EEError::invalid();
    }

    Prepared prepared;
    prepared.manifest = signedManifest;
    prepared.file.value = manifest;
    prepared.file.metadata = metadata;
    prepared.file.key = fileKey;
    prepared.file.aad = aad;
    prepared.opaqueName = *nodeId.stringValue() + "-" + revisionId + ".nbenc";
    return prepared;
}

}  // namespace nimbuscrate::E2EECrypto
