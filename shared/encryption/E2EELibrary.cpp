#include "shared/encryption/E2EELibrary.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <optional>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "platform/core/Bytes.h"
#include "platform/core/Date.h"
#include "shared/encryption/E2EECrypto.h"
#include "shared/encryption/E2EEError.h"
#include "shared/encryption/RecordVerifier.h"

namespace nimbuscrate::E2EELibrary {

namespace {

// More than this many folders above an item is a history failure (the
// visited set then holds more than 128 identifiers).
constexpr std::size_t kMaxVisited = 128;

void invalidUnless(bool condition) {
    if (!condition) throw E2EEError::invalid();
}

void historyUnless(bool condition) {
    if (!condition) throw E2EEError::history();
}

bool isTrue(const E2EEJSON& value) { return value == E2EEJSON(true); }

// The result of one record opener, computed ahead (possibly on another
// thread) and consumed in listing order: the value, or the error the opener
// threw, rethrown exactly where the opener would have been called.
template <typename T>
struct Opened {
    std::optional<T> value;
    std::exception_ptr error;

    const T& get() const {
        if (error) std::rethrow_exception(error);
        return *value;
    }
};

template <typename T, typename Open>
void runOpener(Opened<T>& slot, Open&& open) {
    try {
        slot.value.emplace(open());
    } catch (...) {
        slot.error = std::current_exception();
    }
}

// Runs count independent jobs on up to threads threads (the calling thread included).
void parallelFor(std::size_t count, std::size_t threads, const std::function<void(std::size_t)>& job) {
    threads = std::max<std::size_t>(1, std::min(threads, count));
    std::atomic<std::size_t> next{0};
    auto worker = [&] {
        for (std::size_t i = next++; i < count; i = next++) job(i);
    };
    std::vector<std::jthread> helpers;
    for (std::size_t t = 1; t < threads; ++t) helpers.emplace_back(worker);
    worker();
}

// Receipts as a mutable member map while a snapshot is built.
using Receipts = E2EEJSON::Object;

void addReceipt(Receipts& receipts, const std::string& key, std::int64_t generation, const E2EEJSON& value) {
    const std::string hash = E2EECrypto::sha256Base64URL(bytesOf(value.canonicalString()));
    historyUnless(generation >= 1);
    const auto found = receipts.find(key);
    if (found != receipts.end() && !found->second.value.isNull()) {
        const E2EEJSON& stored = found->second.value;
        if (stored.member("generation") == E2EEJSON(generation) && !(stored.member("hash") == E2EEJSON(hash))) {
            throw E2EEError::history();  // one generation of a record always has the same body
        }
        if (generation <= stored.member("generation").safeInteger()) return;
    }
    receipts.insert_or_assign(key, E2EEJSON::Member{key, E2EEJSON::object({{"generation", generation}, {"hash", hash}})});
}

bool isOwnedDrive(const E2EEJSON::Array& owned, const E2EEJSON& driveId) {
    return std::any_of(owned.begin(), owned.end(), [&](const E2EEJSON& candidate) { return candidate == driveId; });
}

const std::string& requireString(const E2EEJSON& value) {
    const std::string* text = value.stringValue();
    invalidUnless(text != nullptr);
    return *text;
}

// Sets "effectiveDeleted", "path" and the inherited "driveId" of one item.
void place(const std::string& key, E2EEJSON& item, const std::unordered_map<std::string, E2EEJSON>& nodes,
           const E2EEJSON& account, const E2EEJSON::Array& owned) {
    invalidUnless(item.member("parentId").isString() && item.member("name").isString());
    std::string parent = *item.member("parentId").stringValue();
    std::unordered_set<std::string> visited{key};
    std::deque<std::string> names{*item.member("name").stringValue()};
    bool deleted = isTrue(item.member("deleted")) || isTrue(item.member("purged")) || isTrue(item.member("erased"));
    E2EEJSON driveId = item.member("driveId");

    while (parent != "root") {
        const auto found = nodes.find(parent);
        historyUnless(found != nodes.end());
        const E2EEJSON& folder = found->second;
        historyUnless(folder.member("kind") == E2EEJSON("folder"));
        historyUnless(visited.insert(parent).second);  // a cycle
        historyUnless(visited.size() <= kMaxVisited);
        const E2EEJSON& folderDrive = folder.member("driveId");
        invalidUnless(folderDrive.isNull() || driveId.isNull() || folderDrive == driveId);
        if (driveId.isNull()) driveId = folderDrive;
        if (!deleted) {
            deleted = isTrue(folder.member("deleted")) || isTrue(folder.member("purged")) ||
                      isTrue(folder.member("erased"));
        }
        names.push_front(requireString(folder.member("name")));
        parent = requireString(folder.member("parentId"));
    }
    if (driveId.isNull()) driveId = account.member("primaryDriveId");
    invalidUnless(isOwnedDrive(owned, driveId));

    std::string path;
    for (const std::string& name : names) path += "/" + name;
    item.setMember(driveId, "driveId");
    item.setMember(deleted, "effectiveDeleted");
    item.setMember(path, "path");
}

void attachThumbnails(std::map<std::string, E2EEJSON>& items) {
    for (auto& [key, thumbnailItem] : items) {
        const E2EEJSON thumbnailFile = thumbnailItem;  // unchanged by attaching it elsewhere
        const E2EEJSON& descriptor = thumbnailFile.member("thumbnail");
        if (descriptor.isNull() || isTrue(thumbnailFile.member("effectiveDeleted"))) continue;
        invalidUnless(descriptor.isNonEmptyObject() && descriptor.member("sourceNodeId").isString());
        const auto found = items.find(*descriptor.member("sourceNodeId").stringValue());
        if (found == items.end()) continue;
        E2EEJSON& source = found->second;
        if (isTrue(source.member("effectiveDeleted")) || !source.member("thumbnail").isNull() ||
            !(source.member("entry").member("revisionId") == descriptor.member("sourceRevisionId")) ||
            !(source.member("driveId") == thumbnailFile.member("driveId"))) {
            continue;
        }
        E2EEJSON::Array list;
        if (const E2EEJSON::Array* existing = source.member("thumbnailEntries").arrayValue()) list = *existing;
        list.push_back(thumbnailFile.member("entry"));
        if (list.size() > 1) {
            for (const E2EEJSON& entry : list) invalidUnless(entry.member("revisionId").isString());
        }
        std::stable_sort(list.begin(), list.end(), [](const E2EEJSON& a, const E2EEJSON& b) {
            return *a.member("revisionId").stringValue() > *b.member("revisionId").stringValue();
        });
        const E2EEJSON first = list.front();
        source.setMember(E2EEJSON::array(std::move(list)), "thumbnailEntries");
        source.setMember(first, "thumbnailEntry");
    }
}

}  // namespace

void checkHistory(const std::string& key, std::int64_t generation, const E2EEJSON& value, E2EEJSON& receipts) {
    const E2EEJSON::Object* object = receipts.objectValue();
    invalidUnless(object != nullptr);
    Receipts working = *object;
    addReceipt(working, key, generation, value);
    receipts = E2EEJSON::fromMembers(std::move(working));
}

Snapshot snapshot(const E2EEJSON& keys, const std::vector<E2EEJSON>& files, const std::vector<E2EEJSON>& nodes,
                  const E2EEJSON& account, std::size_t threads) {
    // The openers (signature checks and decryptions) dominate the cost and
    // depend on nothing but their record, so they run first, in parallel,
    // all with one verifier built from the key set's public key.
    const RecordVerifier verifier(keys.member("publicKey"));
    std::vector<Opened<E2EEJSON>> openedNodes(nodes.size());
    std::vector<Opened<E2EECrypto::File>> openedFiles(files.size());
    std::vector<Opened<E2EEJSON>> embeddedNodes(files.size());
    parallelFor(nodes.size() + files.size(), threads, [&](std::size_t i) {
        if (i < nodes.size()) {
            runOpener(openedNodes[i], [&] { return E2EECrypto::openNode(keys, verifier, nodes[i].member("state")); });
            return;
        }
        const std::size_t f = i - nodes.size();
        runOpener(openedFiles[f], [&] { return E2EECrypto::openFile(keys, verifier, files[f].member("manifest")); });
        if (openedFiles[f].value && !openedFiles[f].value->value.member("node").isNull()) {
            runOpener(embeddedNodes[f],
                      [&] { return E2EECrypto::openNode(keys, verifier, openedFiles[f].value->value.member("node")); });
        }
    });

    Receipts receipts;
    std::unordered_map<std::string, E2EEJSON> nodeTable;
    std::map<std::string, E2EEJSON> itemTable;

    // 1. Nodes, in listing order.
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const E2EEJSON& listing = nodes[i];
        E2EEJSON node = openedNodes[i].get();
        invalidUnless(node.isNonEmptyObject() && node.member("nodeId").isString());
        const std::int64_t generation = node.member("generation").safeInteger();
        const std::string nodeId = *node.member("nodeId").stringValue();
        addReceipt(receipts, "node:" + nodeId, generation, listing.member("state").member("value"));
        const E2EEJSON& erased = listing.member("erased");
        invalidUnless(!isTrue(erased) || isTrue(node.member("purged")));  // only a purged node can be erased
        node.setMember(erased, "erased");
        const auto stored = nodeTable.find(nodeId);
        if (stored == nodeTable.end()) {
            nodeTable.emplace(nodeId, std::move(node));
        } else if (stored->second.member("generation").safeInteger() < generation) {
            stored->second = std::move(node);
        }
    }

    // 2. The account.
    invalidUnless(account.isNonEmptyObject());
    const E2EEJSON::Array* owned = account.member("ownedDriveIds").arrayValue();
    invalidUnless(owned != nullptr);

    // 3. File records, in listing order.
    for (std::size_t i = 0; i < files.size(); ++i) {
        const E2EEJSON& record = files[i];
        const E2EECrypto::File& file = openedFiles[i].get();
        const E2EEJSON& manifest = file.value;
        const E2EEJSON& metadata = file.metadata;
        E2EECrypto::verifyCommit(record, file);
        invalidUnless(isTrue(record.member("current")));
        invalidUnless(isOwnedDrive(*owned, record.member("driveId")));
        invalidUnless(record.member("parentItemId") == record.member("driveId"));
        const std::string nodeId = requireString(manifest.member("nodeId"));
        const auto listed = nodeTable.find(nodeId);
        const E2EEJSON* listedNode = listed == nodeTable.end() ? nullptr : &listed->second;

        const std::int64_t generation = record.member("generation").safeInteger();
        addReceipt(receipts, "file:" + nodeId, generation, manifest);

        const E2EEJSON& embeddedRecord = manifest.member("node");
        if (!embeddedRecord.isNull()) {
            const E2EEJSON& embedded = embeddedNodes[i].get();
            invalidUnless(embedded.member("nodeId") == manifest.member("nodeId") &&
                          embedded.member("parentId") == manifest.member("parentId") &&
                          embedded.member("kind") == E2EEJSON("file") &&
                          embedded.member("name") == metadata.member("name") &&
                          !isTrue(embedded.member("deleted")) && !isTrue(embedded.member("purged")));
            // The node listing may be ahead of a manifest, never behind it.
            historyUnless(listedNode != nullptr);
            const std::int64_t embeddedGeneration = embedded.member("generation").safeInteger();
            historyUnless(listedNode->member("generation").safeInteger() >= embeddedGeneration);
            addReceipt(receipts, "node:" + nodeId, embeddedGeneration, embeddedRecord.member("value"));
        }
        if (listedNode != nullptr) invalidUnless(listedNode->member("kind") == E2EEJSON("file"));

        E2EEJSON item = E2EEJSON::object({
            {"nodeId", manifest.member("nodeId")},
            {"parentId", manifest.member("parentId")},
            {"kind", "file"},
            {"name", metadata.member("name")},
            {"generation", 0},
            {"deleted", false},
            {"purged", false},
        });
        if (listedNode != nullptr) {
            invalidUnless(listedNode->isObject());
            for (const auto& [memberKey, member] : *listedNode->objectValue()) item.setMember(member.value, member.name);
        }
        for (const char* name : {"size", "mime", "modified", "thumbnail"}) item.setMember(metadata.member(name), name);
        item.setMember(record, "entry");
        item.setMember(record.member("driveId"), "driveId");

        const auto stored = itemTable.find(nodeId);
        if (stored == itemTable.end()) {
            itemTable.emplace(nodeId, std::move(item));
        } else if (stored->second.member("entry").member("generation").safeInteger() < generation) {
            stored->second = std::move(item);
        }
    }

    // 4. Folders.
    for (const auto& [nodeId, node] : nodeTable) {
        if (node.member("kind") == E2EEJSON("folder")) itemTable.insert_or_assign(nodeId, node);
    }

    // 5. Placement: path, drive and effective deletion from the ancestors.
    for (auto& [key, item] : itemTable) place(key, item, nodeTable, account, *owned);

    // 6. Thumbnail files attach to the file they depict.
    attachThumbnails(itemTable);

    // 7. Result.
    Snapshot result;
    for (auto& [key, item] : itemTable) {
        if (item.member("thumbnail").isNull()) result.items.push_back(std::move(item));
    }
    result.receipts = E2EEJSON::fromMembers(std::move(receipts));
    return result;
}

void verifyReceipts(const E2EEJSON& stored, const E2EEJSON& current) {
    const E2EEJSON::Object* storedObject = stored.objectValue();
    invalidUnless(storedObject != nullptr);
    for (const auto& [key, member] : *storedObject) {
        // A record the client has seen is no longer listed.
        historyUnless(current.isObject());
        const E2EEJSON& now = current.member(member.name);
        historyUnless(!now.isNull());
        invalidUnless(now.isObject());
        const std::int64_t currentGeneration = now.member("generation").safeInteger();
        invalidUnless(member.value.isNonEmptyObject());
        const std::int64_t storedGeneration = member.value.member("generation").safeInteger();
        historyUnless(currentGeneration >= storedGeneration);
        if (currentGeneration == storedGeneration) {
            historyUnless(now.member("hash") == member.value.member("hash"));
        }
    }
}

RemoteItem remoteItem(const E2EEJSON& item, const std::string& accountId) {
    invalidUnless(item.isNonEmptyObject());
    const std::string& nodeId = requireString(item.member("nodeId"));
    const std::string& parentId = requireString(item.member("parentId"));
    const E2EEJSON& modified = item.member("modified");
    const std::int64_t milliseconds = modified.isNull() ? 0 : modified.safeInteger();

    RemoteItem remote;
    remote.id = "e2ee:" + accountId + ":" + nodeId;
    remote.parentID = parentId == "root" ? "root" : "e2ee:" + accountId + ":" + parentId;
    remote.path = requireString(item.member("path"));
    remote.name = requireString(item.member("name"));
    remote.isDirectory = item.member("kind") == E2EEJSON("folder");
    remote.size = item.member("size").isNull() ? 0 : item.member("size").safeInteger();
    remote.modifiedAt = Date::fromUnixSeconds(static_cast<double>(milliseconds) / 1000.0);
    const E2EEJSON version = E2EEJSON::array({item.member("entry").member("revisionId"), item.member("generation"),
                                              item.member("thumbnailEntry").member("revisionId")});
    remote.etag = E2EECrypto::sha256Base64URL(bytesOf(version.canonicalString()));
    const E2EEJSON& mime = item.member("mime");
    if (!mime.isNull()) remote.contentType = requireString(mime);
    return remote;
}

}  // namespace nimbuscrate::E2EELibrary
