#include "shared/encryption/E2EELibrary.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
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
    std::size_t keyHash = 0;  // spreads the keys over the workers
    std::int64_t generation = 0;
    std::string hash;
    E2EEJSON receipt;  // {"generation", "hash"}
};

std::size_t hashOf(std::string_view text) { return std::hash<std::string_view>{}(text); }

// The part of adding a receipt that depends only on the record: the hash,
// then the generation check.
ReceiptStep receiptStep(const std::string& key, std::int64_t generation, const E2EEJSON& value) {
    ReceiptStep step;
    step.hash = E2EECrypto::sha256Base64URL(bytesOf(value.canonicalString()));
    historyUnless(generation >= 1);
    step.key = key;
    step.keyHash = hashOf(key);
    step.generation = generation;
    step.receipt = E2EEJSON::object({{"generation", generation}, {"hash", step.hash}});
    return step;
}

// What checking one record gives: the receipts it adds in the order the
// record's steps add them, then either its result or the error that stopped
// it right after those receipts.
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

// Where taking the records one by one would fail: at receipt step `step`
// of record `record` (numbered through the node listing, then the file
// listing). A failure of a record's own checks comes after the receipts it
// added: step is their number. The default position is after every record.
struct Position {
    std::size_t record = SIZE_MAX;
    std::size_t step = SIZE_MAX;
    auto operator<=>(const Position&) const = default;
};

// The first failure found so far, and its error.
struct FirstFailure {
    Position position;
    std::exception_ptr error;

    void offer(Position at, const std::exception_ptr& failure) {
        if (at < position) {
            position = at;
            error = failure;
        }
    }
    void throwIfAny() const {
        if (error) std::rethrow_exception(error);
    }
};

// The checks of a listing's records, run on the workers; the first record
// whose checks failed is noted as the checks finish.
template <typename T>
class Checks {
public:
    explicit Checks(std::size_t count) : outcomes_(count) {}

    std::vector<Outcome<T>>& outcomes() { return outcomes_; }

    template <typename Check>
    void run(std::size_t worker, std::size_t index, Check&& check) {
        Outcome<T>& outcome = outcomes_[index];
        outcome.worker = worker;
        try {
            outcome.value.emplace(check(outcome.receipts));
        } catch (...) {
            outcome.error = std::current_exception();
            std::size_t first = firstFailed_.load();
            while (index < first && !firstFailed_.compare_exchange_weak(first, index)) {
            }
        }
    }

    // Offers the failure of the first failed record (numbered from offset).
    void offerFirstFailure(FirstFailure& failure, std::size_t offset) const {
        const std::size_t index = firstFailed_.load();
        if (index >= outcomes_.size()) return;
        const Outcome<T>& outcome = outcomes_[index];
        failure.offer(Position{offset + index, outcome.receipts.size()}, outcome.error);
    }

private:
    std::vector<Outcome<T>> outcomes_;
    std::atomic<std::size_t> firstFailed_{SIZE_MAX};
};

// A node record once checked.
struct CheckedNode {
    E2EEJSON node;  // the opened node with the listing's "erased"
    std::string_view nodeId;  // in node
    std::size_t nodeIdHash = 0;
    std::int64_t generation = 0;
    bool isFolder = false;
};

// A file record once checked.
struct CheckedFile {
    std::string nodeId;
    std::size_t nodeIdHash = 0;
    std::int64_t generation = 0;  // the record's
    E2EEJSON item;
};

// One worker's share of the snapshot's tables: the keys whose hash falls to
// it. The worker builds its share by reading the checked records in listing
// order, so every key sees the records in the order that taking them one by
// one would, and frees it at the end.
struct alignas(64) Partition {
    // Receipt key to the step that holds the receipt kept so far.
    std::unordered_map<std::string_view, const ReceiptStep*> receipts;
    // Node identifier to the node kept for it.
    std::unordered_map<std::string_view, const CheckedNode*> nodes;
    // Node identifier to item, in identifier order.
    std::map<std::string_view, E2EEJSON> items;
    // The first receipt of another body at a held generation (if any).
    Position conflict;
    // The first item (in identifier order) that this worker could not place.
    std::optional<std::string_view> unplacedKey;
    std::exception_ptr placementError;
    // The thumbnail files among the items this worker placed.
    std::vector<std::pair<std::string_view, const E2EEJSON*>> thumbnailFiles;
    // The receipts as members of the result's receipts object.
    E2EEJSON::Object receiptMembers;
};

// The workers' shares of the tables, and which share holds a key.
class Partitions {
public:
    explicit Partitions(std::size_t count) : partitions_(count) {}

    std::size_t size() const { return partitions_.size(); }
    Partition& operator[](std::size_t index) { return partitions_[index]; }
    const Partition& operator[](std::size_t index) const { return partitions_[index]; }
    bool owns(std::size_t worker, std::size_t keyHash) const { return keyHash % partitions_.size() == worker; }
    const Partition& owner(std::string_view key) const { return partitions_[hashOf(key) % partitions_.size()]; }
    Partition& owner(std::string_view key) { return partitions_[hashOf(key) % partitions_.size()]; }

    // The node kept for an identifier, or nullptr.
    const E2EEJSON* node(std::string_view nodeId) const {
        const Partition& partition = owner(nodeId);
        const auto found = partition.nodes.find(nodeId);
        return found == partition.nodes.end() ? nullptr : &found->second->node;
    }

    // Offers the first receipt conflict of any partition (history).
    void offerConflicts(FirstFailure& failure) const {
        for (const Partition& partition : partitions_) {
            if (partition.conflict < Position()) {
                failure.offer(partition.conflict, std::make_exception_ptr(E2EEError::history()));
            }
        }
    }

private:
    std::vector<Partition> partitions_;
};

// Merges the receipts of one listing's checked records (numbered from
// offset) whose keys worker owns, in listing order; notes the first receipt
// of another body at a generation already held (later ones cannot matter).
template <typename T>
void mergeReceipts(Partitions& partitions, std::size_t worker, const std::vector<Outcome<T>>& outcomes,
                   std::size_t offset) {
    Partition& partition = partitions[worker];
    if (partition.conflict < Position()) return;
    for (std::size_t record = 0; record < outcomes.size(); ++record) {
        const std::vector<ReceiptStep>& steps = outcomes[record].receipts;
        for (std::size_t step = 0; step < steps.size(); ++step) {
            if (!partitions.owns(worker, steps[step].keyHash)) continue;
            const ReceiptStep& receipt = steps[step];
            const auto [found, added] = partition.receipts.try_emplace(receipt.key, &receipt);
            if (added) continue;
            const ReceiptStep& stored = *found->second;
            // One generation of a record always has the same body.
            if (stored.generation == receipt.generation && stored.hash != receipt.hash) {
                partition.conflict = Position{offset + record, step};
                return;
            }
            if (receipt.generation > stored.generation) found->second = &receipt;
        }
    }
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

// Visits the entries of every partition's sorted sequence in key order:
// sequence(partition) gives a partition's [begin, end) iterators over pairs
// whose first is the key; visit(entry) is called once per entry.
template <typename Iterator, typename Sequence, typename Visit>
void inKeyOrder(Partitions& partitions, Sequence&& sequence, Visit&& visit) {
    using Head = std::pair<Iterator, Iterator>;
    auto later = [](const Head& a, const Head& b) { return a.first->first > b.first->first; };
    std::vector<Head> heads;
    for (std::size_t index = 0; index < partitions.size(); ++index) {
        Head head = sequence(partitions[index]);
        if (head.first != head.second) heads.push_back(head);
    }
    std::make_heap(heads.begin(), heads.end(), later);
    while (!heads.empty()) {
        std::pop_heap(heads.begin(), heads.end(), later);
        Head& head = heads.back();
        visit(*head.first);
        if (++head.first == head.second) {
            heads.pop_back();
        } else {
            std::push_heap(heads.begin(), heads.end(), later);
        }
    }
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

// Sets "effectiveDeleted", "path" and the inherited "driveId" of one item.
void place(std::string_view key, E2EEJSON& item, const Partitions& nodes, const E2EEJSON& account,
           const E2EEJSON::Array& owned) {
    invalidUnless(item.member("parentId").isString() && item.member("name").isString());
    std::string parent = *item.member("parentId").stringValue();
    std::unordered_set<std::string> visited{std::string(key)};
    std::deque<std::string> names{*item.member("name").stringValue()};
    bool deleted = isTrue(item.member("deleted")) || isTrue(item.member("purged")) || isTrue(item.member("erased"));
    E2EEJSON driveId = item.member("driveId");

    while (parent != "root") {
        const E2EEJSON* found = nodes.node(parent);
        historyUnless(found != nullptr);
        const E2EEJSON& folder = *found;
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

// Attaches the thumbnail files (items with a "thumbnail" descriptor, by
// identifier in identifier order) to the items they depict; item(id) finds
// an item or gives nullptr.
template <typename Find>
void attachThumbnails(const std::vector<std::pair<std::string_view, const E2EEJSON*>>& thumbnailFiles, Find&& item) {
    for (const auto& [key, thumbnailFile] : thumbnailFiles) {
        const E2EEJSON& descriptor = thumbnailFile->member("thumbnail");
        if (descriptor.isNull() || isTrue(thumbnailFile->member("effectiveDeleted"))) continue;
        invalidUnless(descriptor.isNonEmptyObject() && descriptor.member("sourceNodeId").isString());
        E2EEJSON* found = item(*descriptor.member("sourceNodeId").stringValue());
        if (found == nullptr) continue;
        // A thumbnail file is never a source (it has a descriptor), so the
        // files attached here are never changed themselves.
        E2EEJSON& source = *found;
        if (isTrue(source.member("effectiveDeleted")) || !source.member("thumbnail").isNull() ||
            !(source.member("entry").member("revisionId") == descriptor.member("sourceRevisionId")) ||
            !(source.member("driveId") == thumbnailFile->member("driveId"))) {
            continue;
        }
        E2EEJSON::Array list;
        if (const E2EEJSON::Array* existing = source.member("thumbnailEntries").arrayValue()) list = *existing;
        list.push_back(thumbnailFile->member("entry"));
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
    // The steps run on the workers, in four kinds:
    // - each record's checks (signature, decryption, the record's own rules,
    //   its receipt hashes and its item), in any order;
    // - the tables linking records (receipts, nodes, items), each worker
    //   building the share of the keys it owns by reading the checked records
    //   in listing order;
    // - each item's placement;
    // - freeing what each worker made.
    // The failure reported is the one that taking the records one by one in
    // listing order meets first: of the failed records and the receipt
    // conflicts, the earliest in listing order; of the unplaceable items, the
    // first in identifier order.
    Workers workers(std::max<std::size_t>(1, std::min(threads, nodes.size() + files.size())));
    Verifiers verifiers(keys.member("publicKey"), workers.count());
    Partitions partitions(workers.count());

    // 1. Nodes, in listing order.
    Checks<CheckedNode> nodeChecks(nodes.size());
    workers.forEach(nodes.size(), [&](std::size_t worker, std::size_t i) {
        nodeChecks.run(worker, i, [&](std::vector<ReceiptStep>& steps) {
            const E2EEJSON& listing = nodes[i];
            CheckedNode checked;
            checked.node = E2EECrypto::openNode(keys, verifiers.of(worker), listing.member("state"));
            E2EEJSON& node = checked.node;
            invalidUnless(node.isNonEmptyObject() && node.member("nodeId").isString());
            checked.generation = node.member("generation").safeInteger();
            const std::string nodeId = *node.member("nodeId").stringValue();
            steps.push_back(receiptStep("node:" + nodeId, checked.generation, listing.member("state").member("value")));
            const E2EEJSON& erased = listing.member("erased");
            invalidUnless(!isTrue(erased) || isTrue(node.member("purged")));  // only a purged node can be erased
            node.setMember(erased, "erased");
            checked.nodeId = *node.member("nodeId").stringValue();  // held by the node from here on
            checked.nodeIdHash = hashOf(checked.nodeId);
            checked.isFolder = node.member("kind") == folderKind();
            return checked;
        });
    });
    workers.onEach([&](std::size_t worker) {
        mergeReceipts(partitions, worker, nodeChecks.outcomes(), 0);
        // Of two listings of one node the higher generation wins; at equal
        // generations the first listed stays.
        Partition& partition = partitions[worker];
        for (const Outcome<CheckedNode>& outcome : nodeChecks.outcomes()) {
            if (!outcome.value || !partitions.owns(worker, outcome.value->nodeIdHash)) continue;
            const CheckedNode& node = *outcome.value;
            const auto [stored, added] = partition.nodes.try_emplace(node.nodeId, &node);
            if (!added && stored->second->generation < node.generation) stored->second = &node;
        }
    });
    {
        FirstFailure failure;
        nodeChecks.offerFirstFailure(failure, 0);
        partitions.offerConflicts(failure);
        failure.throwIfAny();
    }

    // 2. The account.
    invalidUnless(account.isNonEmptyObject());
    const E2EEJSON::Array* owned = account.member("ownedDriveIds").arrayValue();
    invalidUnless(owned != nullptr);

    // 3. File records, in listing order.
    const Partitions& listedNodes = partitions;  // the nodes are read-only from here on
    Checks<CheckedFile> fileChecks(files.size());
    workers.forEach(files.size(), [&](std::size_t worker, std::size_t i) {
        fileChecks.run(worker, i, [&](std::vector<ReceiptStep>& steps) {
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
            const E2EEJSON* listedNode = listedNodes.node(nodeId);

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
            return CheckedFile{nodeId, hashOf(nodeId), generation, E2EEJSON::fromMembers(std::move(item))};
        });
    });
    workers.onEach([&](std::size_t worker) {
        mergeReceipts(partitions, worker, fileChecks.outcomes(), nodes.size());
        // Of two current records of one file the higher file generation
        // wins; at equal generations the first listed stays.
        Partition& partition = partitions[worker];
        for (const Outcome<CheckedFile>& outcome : fileChecks.outcomes()) {
            if (!outcome.value || !partitions.owns(worker, outcome.value->nodeIdHash)) continue;
            const CheckedFile& file = *outcome.value;
            const auto [stored, added] = partition.items.try_emplace(file.nodeId, file.item);
            if (!added && stored->second.member("entry").member("generation").safeInteger() < file.generation) {
                stored->second = file.item;
            }
        }
        // 4. Folders (owned by the same worker as their items).
        for (const auto& [nodeId, node] : partition.nodes) {
            if (node->isFolder) partition.items.insert_or_assign(nodeId, node->node);
        }
        // The receipts are complete: the worker makes their members for the
        // result (of no use when a record failed).
        for (const auto& [key, step] : partition.receipts) {
            partition.receiptMembers.emplace(step->key, E2EEJSON::Member{step->key, step->receipt});
        }
    });
    {
        FirstFailure failure;
        fileChecks.offerFirstFailure(failure, nodes.size());
        partitions.offerConflicts(failure);
        failure.throwIfAny();
    }

    // 5. Placement: path, drive and effective deletion from the ancestors.
    // Each item reads only the nodes, so the items are handed out one at a
    // time; the first failure in identifier order is reported.
    std::vector<std::pair<std::string_view, E2EEJSON*>> items;
    for (std::size_t index = 0; index < partitions.size(); ++index) {
        for (auto& [key, item] : partitions[index].items) items.emplace_back(key, &item);
    }
    workers.forEach(items.size(), [&](std::size_t worker, std::size_t i) {
        Partition& notes = partitions[worker];  // this worker's notes
        const auto& [key, item] = items[i];
        try {
            place(key, *item, listedNodes, account, *owned);
        } catch (...) {
            if (!notes.unplacedKey || key < *notes.unplacedKey) {
                notes.unplacedKey = key;
                notes.placementError = std::current_exception();
            }
            return;
        }
        if (!item->member("thumbnail").isNull()) notes.thumbnailFiles.emplace_back(key, item);
    });
    {
        const Partition* first = nullptr;
        for (std::size_t index = 0; index < partitions.size(); ++index) {
            const Partition& partition = partitions[index];
            if (partition.unplacedKey && (first == nullptr || *partition.unplacedKey < *first->unplacedKey)) {
                first = &partition;
            }
        }
        if (first != nullptr) std::rethrow_exception(first->placementError);
    }

    // 6. Thumbnail files attach to the file they depict.
    std::vector<std::pair<std::string_view, const E2EEJSON*>> thumbnailFiles;
    for (std::size_t index = 0; index < partitions.size(); ++index) {
        const auto& own = partitions[index].thumbnailFiles;
        thumbnailFiles.insert(thumbnailFiles.end(), own.begin(), own.end());
    }
    std::sort(thumbnailFiles.begin(), thumbnailFiles.end());
    attachThumbnails(thumbnailFiles, [&](std::string_view nodeId) -> E2EEJSON* {
        Partition& partition = partitions.owner(nodeId);
        const auto found = partition.items.find(nodeId);
        return found == partition.items.end() ? nullptr : &found->second;
    });

    // 7. Result, items and receipts in key order.
    Snapshot result;
    using ItemIterator = std::map<std::string_view, E2EEJSON>::iterator;
    inKeyOrder<ItemIterator>(
        partitions, [](Partition& partition) { return std::pair(partition.items.begin(), partition.items.end()); },
        [&](auto& entry) {
            if (entry.second.member("thumbnail").isNull()) result.items.push_back(std::move(entry.second));
        });
    // The receipt members the workers made move, in key order, into one object.
    E2EEJSON::Object receipts;
    std::vector<E2EEJSON::Object*> runs;
    for (std::size_t index = 0; index < partitions.size(); ++index) {
        if (!partitions[index].receiptMembers.empty()) runs.push_back(&partitions[index].receiptMembers);
    }
    auto later = [](const E2EEJSON::Object* a, const E2EEJSON::Object* b) {
        return a->begin()->first > b->begin()->first;
    };
    std::make_heap(runs.begin(), runs.end(), later);
    while (!runs.empty()) {
        std::pop_heap(runs.begin(), runs.end(), later);
        E2EEJSON::Object& run = *runs.back();
        receipts.insert(receipts.end(), run.extract(run.begin()));
        if (run.empty()) {
            runs.pop_back();
        } else {
            std::push_heap(runs.begin(), runs.end(), later);
        }
    }
    result.receipts = E2EEJSON::fromMembers(std::move(receipts));

    // What the checks made and the result does not keep is freed by the
    // worker that made it.
    workers.onEach([&](std::size_t worker) {
        partitions[worker] = Partition();
        for (Outcome<CheckedNode>& outcome : nodeChecks.outcomes()) {
            if (outcome.worker == worker) outcome.release();
        }
        for (Outcome<CheckedFile>& outcome : fileChecks.outcomes()) {
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
