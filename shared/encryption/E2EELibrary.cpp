#include "shared/encryption/E2EELibrary.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

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

// The kinds of node, built once so that comparing with them allocates nothing.
const E2EEJSON& folderKind() {
    static const E2EEJSON kind("folder");
    return kind;
}

const E2EEJSON& fileKind() {
    static const E2EEJSON kind("file");
    return kind;
}

// The threads of one snapshot: the calling thread as worker 0 and
// threads - 1 helpers. Each worker is the same thread in every phase, so the
// values a worker allocates while checking records it can also free at the
// end: glibc's allocator keeps memory per thread, and one thread freeing what
// many others allocated (or many freeing into another's memory) serializes
// on the allocator's locks.
class Workers {
public:
    using Task = std::function<void(std::size_t worker)>;

    explicit Workers(std::size_t threads) {
        helpers_.reserve(threads - 1);
        for (std::size_t worker = 1; worker < threads; ++worker) {
            helpers_.emplace_back([this, worker](std::stop_token stop) { serve(stop, worker); });
        }
    }

    std::size_t count() const { return helpers_.size() + 1; }

    // Runs job(worker, index) for every index below count and returns when all
    // have run. Indices are handed out one at a time, so a slow record holds
    // up no other. job must not throw.
    void forEach(std::size_t count, const std::function<void(std::size_t worker, std::size_t index)>& job) {
        std::atomic<std::size_t> next{0};
        run([&](std::size_t worker) {
            for (std::size_t i = next++; i < count; i = next++) job(worker, i);
        });
    }

    // Runs task(worker) once on every worker and returns when all have run.
    // task must not throw.
    void onEach(const Task& task) { run(task); }

private:
    void run(const Task& task) {
        {
            const std::lock_guard lock(mutex_);
            task_ = &task;
            running_ = helpers_.size();
            ++phase_;
        }
        wake_.notify_all();
        std::exception_ptr error;
        try {
            task(0);
        } catch (...) {
            error = std::current_exception();  // rethrown once no helper uses the task
        }
        {
            std::unique_lock lock(mutex_);
            done_.wait(lock, [&] { return running_ == 0; });
            task_ = nullptr;
        }
        if (error) std::rethrow_exception(error);
    }

    void serve(std::stop_token stop, std::size_t worker) {
        std::uint64_t seen = 0;
        for (;;) {
            const Task* task = nullptr;
            {
                std::unique_lock lock(mutex_);
                if (!wake_.wait(lock, stop, [&] { return phase_ != seen; })) return;  // stopped
                seen = phase_;
                task = task_;
            }
            (*task)(worker);
            const std::lock_guard lock(mutex_);
            if (--running_ == 0) done_.notify_one();
        }
    }

    // Guards task_, phase_ and running_; never held while a task runs.
    std::mutex mutex_;
    std::condition_variable_any wake_;  // a new phase (or a stop) for the helpers
    std::condition_variable done_;      // the last helper finished the phase
    const Task* task_ = nullptr;
    std::uint64_t phase_ = 0;
    std::size_t running_ = 0;
    // Last, so that the helpers are stopped and joined before the rest goes.
    std::vector<std::jthread> helpers_;
};

// The signature check of each worker. Every worker builds its own key from
// the key set's JWK: OpenSSL takes a reference on the key and reads its
// provider data on every verification, and a key shared by all workers makes
// them trade its cache lines for each record.
class Verifiers {
public:
    Verifiers(const E2EEJSON& publicKey, std::size_t threads) : publicKey_(publicKey), verifiers_(threads) {}

    // The verifier of one worker (built on first use), on that worker's thread.
    const RecordVerifier& of(std::size_t worker) {
        std::optional<RecordVerifier>& verifier = verifiers_.at(worker);
        if (!verifier) verifier.emplace(publicKey_);
        return *verifier;
    }

private:
    const E2EEJSON& publicKey_;
    std::vector<std::optional<RecordVerifier>> verifiers_;
};

// One receipt a record adds: its key, generation and the hash of its signed body.
struct ReceiptStep {
    std::string key;
    std::int64_t generation = 0;
    std::string hash;
    E2EEJSON receipt;  // {"generation", "hash"}
};

// The part of adding a receipt that depends only on the record: the hash,
// then the generation check.
ReceiptStep receiptStep(const std::string& key, std::int64_t generation, const E2EEJSON& value) {
    ReceiptStep step;
    step.hash = E2EECrypto::sha256Base64URL(bytesOf(value.canonicalString()));
    historyUnless(generation >= 1);
    step.key = key;
    step.generation = generation;
    step.receipt = E2EEJSON::object({{"generation", generation}, {"hash", step.hash}});
    return step;
}

// What checking one record gives: the receipts it adds in the order the
// record's steps add them, then either its result or the error that stopped
// it right after those receipts. Records are checked on the workers in any
// order; merging the outcomes in listing order reports exactly the error
// that checking the records one by one in that order would report.
template <typename T>
struct Outcome {
    std::size_t worker = 0;  // the worker that checked the record, and frees what it made
    std::vector<ReceiptStep> receipts;
    std::optional<T> value;
    std::exception_ptr error;

    // Frees what the record's check made (on the worker that made it).
    void release() {
        value.reset();
        std::vector<ReceiptStep>().swap(receipts);
        error = nullptr;
    }
};

template <typename T, typename Check>
void runCheck(Outcome<T>& outcome, std::size_t worker, Check&& check) {
    outcome.worker = worker;
    try {
        outcome.value.emplace(check(outcome.receipts));
    } catch (...) {
        outcome.error = std::current_exception();
    }
}

// The receipts of a snapshot while it is built: receipt key to the step
// that holds the receipt kept so far. The steps stay in their outcomes.
using WorkingReceipts = std::unordered_map<std::string_view, const ReceiptStep*>;

// Merges one outcome's receipts in order, then rethrows its error if it has
// one; returns its result otherwise.
template <typename T>
T& merge(Outcome<T>& outcome, WorkingReceipts& receipts) {
    for (const ReceiptStep& step : outcome.receipts) {
        const auto [found, added] = receipts.try_emplace(step.key, &step);
        if (added) continue;
        const ReceiptStep& stored = *found->second;
        // One generation of a record always has the same body.
        if (stored.generation == step.generation && stored.hash != step.hash) throw E2EEError::history();
        if (step.generation > stored.generation) found->second = &step;
    }
    if (outcome.error) std::rethrow_exception(outcome.error);
    return *outcome.value;
}

// The receipts object of the result, in the order of its keys.
E2EEJSON receiptsObject(const WorkingReceipts& receipts) {
    std::vector<const ReceiptStep*> steps;
    steps.reserve(receipts.size());
    for (const auto& [key, step] : receipts) steps.push_back(step);
    std::sort(steps.begin(), steps.end(), [](const ReceiptStep* a, const ReceiptStep* b) { return a->key < b->key; });
    E2EEJSON::Object object;
    for (const ReceiptStep* step : steps) {
        object.emplace_hint(object.end(), step->key, E2EEJSON::Member{step->key, step->receipt});
    }
    return E2EEJSON::fromMembers(std::move(object));
}

// Receipts as a mutable member map (checkHistory).
using Receipts = E2EEJSON::Object;

void addReceipt(Receipts& receipts, const std::string& key, std::int64_t generation, const E2EEJSON& value) {
    ReceiptStep step = receiptStep(key, generation, value);
    const auto found = receipts.find(key);
    if (found != receipts.end() && !found->second.value.isNull()) {
        const E2EEJSON& stored = found->second.value;
        if (stored.member("generation") == E2EEJSON(generation) && !(stored.member("hash") == E2EEJSON(step.hash))) {
            throw E2EEError::history();  // one generation of a record always has the same body
        }
        if (generation <= stored.member("generation").safeInteger()) return;
    }
    receipts.insert_or_assign(key, E2EEJSON::Member{key, std::move(step.receipt)});
}

// Sets a member in a member map as E2EEJSON::setMember does: a name
// equivalent to one already held replaces only the value.
void setMemberIn(E2EEJSON::Object& members, std::string_view name, const E2EEJSON& value) {
    const auto [position, added] =
        members.try_emplace(E2EEJSON::equivalenceKey(name), E2EEJSON::Member{std::string(name), value});
    if (!added) position->second.value = value;
}

bool isOwnedDrive(const E2EEJSON::Array& owned, const E2EEJSON& driveId) {
    return std::any_of(owned.begin(), owned.end(), [&](const E2EEJSON& candidate) { return candidate == driveId; });
}

const std::string& requireString(const E2EEJSON& value) {
    const std::string* text = value.stringValue();
    invalidUnless(text != nullptr);
    return *text;
}

// Node identifier to the opened node kept for it (held by its outcome).
using NodeTable = std::unordered_map<std::string_view, const E2EEJSON*>;

// Sets "effectiveDeleted", "path" and the inherited "driveId" of one item.
void place(const std::string& key, E2EEJSON& item, const NodeTable& nodes, const E2EEJSON& account,
           const E2EEJSON::Array& owned) {
    invalidUnless(item.member("parentId").isString() && item.member("name").isString());
    std::string parent = *item.member("parentId").stringValue();
    std::unordered_set<std::string> visited{key};
    std::deque<std::string> names{*item.member("name").stringValue()};
    bool deleted = isTrue(item.member("deleted")) || isTrue(item.member("purged")) || isTrue(item.member("erased"));
    E2EEJSON driveId = item.member("driveId");

    while (parent != "root") {
        const auto found = nodes.find(parent);
        historyUnless(found != nodes.end());
        const E2EEJSON& folder = *found->second;
        historyUnless(folder.member("kind") == folderKind());
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
    // One copy of the members for the three (the item is an object: its
    // members were read above).
    E2EEJSON::Object members = *item.objectValue();
    setMemberIn(members, "driveId", driveId);
    setMemberIn(members, "effectiveDeleted", deleted);
    setMemberIn(members, "path", path);
    item = E2EEJSON::fromMembers(std::move(members));
}

void attachThumbnails(std::map<std::string, E2EEJSON>& items) {
    for (auto& [key, thumbnailItem] : items) {
        if (thumbnailItem.member("thumbnail").isNull()) continue;
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
    // Every step that depends only on its record and on what earlier steps
    // finished (the signature checks and decryptions, the receipt hashes, the
    // checks and items of each record, the placement of each item) runs on
    // the workers; what links records to each other (the receipts, the node
    // and item tables) is merged on this thread in listing order, so the
    // result and the first error are those of checking the records one by
    // one.
    Workers workers(std::max<std::size_t>(1, std::min(threads, nodes.size() + files.size())));
    Verifiers verifiers(keys.member("publicKey"), workers.count());
    WorkingReceipts receipts;
    receipts.reserve(nodes.size() + 2 * files.size());

    // 1. Nodes, in listing order.
    std::vector<Outcome<E2EEJSON>> nodeOutcomes(nodes.size());
    workers.forEach(nodes.size(), [&](std::size_t worker, std::size_t i) {
        runCheck(nodeOutcomes[i], worker, [&](std::vector<ReceiptStep>& steps) {
            const E2EEJSON& listing = nodes[i];
            E2EEJSON node = E2EECrypto::openNode(keys, verifiers.of(worker), listing.member("state"));
            invalidUnless(node.isNonEmptyObject() && node.member("nodeId").isString());
            const std::int64_t generation = node.member("generation").safeInteger();
            const std::string& nodeId = *node.member("nodeId").stringValue();
            steps.push_back(receiptStep("node:" + nodeId, generation, listing.member("state").member("value")));
            const E2EEJSON& erased = listing.member("erased");
            invalidUnless(!isTrue(erased) || isTrue(node.member("purged")));  // only a purged node can be erased
            node.setMember(erased, "erased");
            return node;
        });
    });
    NodeTable nodeTable;
    nodeTable.reserve(nodes.size());
    for (Outcome<E2EEJSON>& outcome : nodeOutcomes) {
        const E2EEJSON& node = merge(outcome, receipts);
        const auto [stored, added] = nodeTable.try_emplace(*node.member("nodeId").stringValue(), &node);
        if (!added && stored->second->member("generation").safeInteger() < node.member("generation").safeInteger()) {
            stored->second = &node;
        }
    }

    // 2. The account.
    invalidUnless(account.isNonEmptyObject());
    const E2EEJSON::Array* owned = account.member("ownedDriveIds").arrayValue();
    invalidUnless(owned != nullptr);

    // 3. File records, in listing order.
    struct FileItem {
        std::string nodeId;
        std::int64_t generation = 0;
        E2EEJSON item;
    };
    const NodeTable& listedNodes = nodeTable;  // read-only from here on
    std::vector<Outcome<FileItem>> fileOutcomes(files.size());
    workers.forEach(files.size(), [&](std::size_t worker, std::size_t i) {
        runCheck(fileOutcomes[i], worker, [&](std::vector<ReceiptStep>& steps) {
            const RecordVerifier& verifier = verifiers.of(worker);
            const E2EEJSON& record = files[i];
            const E2EECrypto::File file = E2EECrypto::openFile(keys, verifier, record.member("manifest"));
            const E2EEJSON& manifest = file.value;
            const E2EEJSON& metadata = file.metadata;
            E2EECrypto::verifyCommit(record, file);
            invalidUnless(isTrue(record.member("current")));
            invalidUnless(isOwnedDrive(*owned, record.member("driveId")));
            invalidUnless(record.member("parentItemId") == record.member("driveId"));
            const std::string& nodeId = requireString(manifest.member("nodeId"));
            const auto listed = listedNodes.find(nodeId);
            const E2EEJSON* listedNode = listed == listedNodes.end() ? nullptr : listed->second;

            const std::int64_t generation = record.member("generation").safeInteger();
            steps.push_back(receiptStep("file:" + nodeId, generation, manifest));

            const E2EEJSON& embeddedRecord = manifest.member("node");
            if (!embeddedRecord.isNull()) {
                const E2EEJSON embedded = E2EECrypto::openNode(keys, verifier, embeddedRecord);
                invalidUnless(embedded.member("nodeId") == manifest.member("nodeId") &&
                              embedded.member("parentId") == manifest.member("parentId") &&
                              embedded.member("kind") == fileKind() &&
                              embedded.member("name") == metadata.member("name") &&
                              !isTrue(embedded.member("deleted")) && !isTrue(embedded.member("purged")));
                // The node listing may be ahead of a manifest, never behind it.
                historyUnless(listedNode != nullptr);
                const std::int64_t embeddedGeneration = embedded.member("generation").safeInteger();
                historyUnless(listedNode->member("generation").safeInteger() >= embeddedGeneration);
                steps.push_back(receiptStep("node:" + nodeId, embeddedGeneration, embeddedRecord.member("value")));
            }
            if (listedNode != nullptr) invalidUnless(listedNode->member("kind") == fileKind());

            // The item's members are set in one member map, not one copy of
            // the object per member.
            E2EEJSON::Object item;
            setMemberIn(item, "nodeId", manifest.member("nodeId"));
            setMemberIn(item, "parentId", manifest.member("parentId"));
            setMemberIn(item, "kind", fileKind());
            setMemberIn(item, "name", metadata.member("name"));
            setMemberIn(item, "generation", 0);
            setMemberIn(item, "deleted", false);
            setMemberIn(item, "purged", false);
            if (listedNode != nullptr) {
                invalidUnless(listedNode->isObject());
                for (const auto& [memberKey, member] : *listedNode->objectValue()) {
                    setMemberIn(item, member.name, member.value);
                }
            }
            for (const char* name : {"size", "mime", "modified", "thumbnail"}) {
                setMemberIn(item, name, metadata.member(name));
            }
            setMemberIn(item, "entry", record);
            setMemberIn(item, "driveId", record.member("driveId"));
            return FileItem{nodeId, generation, E2EEJSON::fromMembers(std::move(item))};
        });
    });
    std::map<std::string, E2EEJSON> itemTable;
    for (Outcome<FileItem>& outcome : fileOutcomes) {
        const FileItem& file = merge(outcome, receipts);
        const auto [stored, added] = itemTable.try_emplace(file.nodeId, file.item);
        if (!added && stored->second.member("entry").member("generation").safeInteger() < file.generation) {
            stored->second = file.item;
        }
    }

    // 4. Folders.
    for (const auto& [nodeId, node] : nodeTable) {
        if (node->member("kind") == folderKind()) itemTable.insert_or_assign(std::string(nodeId), *node);
    }

    // 5. Placement: path, drive and effective deletion from the ancestors.
    // Each item reads only the node table; the first failure in the item
    // table's order is reported.
    std::vector<std::pair<const std::string*, E2EEJSON*>> placed;
    placed.reserve(itemTable.size());
    for (auto& [key, item] : itemTable) placed.emplace_back(&key, &item);
    std::vector<std::exception_ptr> placementErrors(placed.size());
    workers.forEach(placed.size(), [&](std::size_t, std::size_t i) {
        try {
            place(*placed[i].first, *placed[i].second, nodeTable, account, *owned);
        } catch (...) {
            placementErrors[i] = std::current_exception();
        }
    });
    for (const std::exception_ptr& error : placementErrors) {
        if (error) std::rethrow_exception(error);
    }

    // 6. Thumbnail files attach to the file they depict.
    attachThumbnails(itemTable);

    // 7. Result.
    Snapshot result;
    result.items.reserve(itemTable.size());
    for (auto& [key, item] : itemTable) {
        if (item.member("thumbnail").isNull()) result.items.push_back(std::move(item));
    }
    result.receipts = receiptsObject(receipts);

    // What the checks made and the result does not keep is freed by the
    // worker that made it.
    receipts.clear();
    nodeTable.clear();
    workers.onEach([&](std::size_t worker) {
        for (Outcome<E2EEJSON>& outcome : nodeOutcomes) {
            if (outcome.worker == worker) outcome.release();
        }
        for (Outcome<FileItem>& outcome : fileOutcomes) {
            if (outcome.worker == worker) outcome.release();
        }
    });
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
