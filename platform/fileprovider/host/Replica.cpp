#include "platform/fileprovider/host/Replica.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <set>
#include <stdexcept>
#include <unordered_set>

#include "platform/core/Random.h"
#include "platform/log/Logger.h"

namespace nimbuscrate::fp::host {

namespace {

const Logger& logger() {
    static const Logger instance("app.nimbuscrate.fileprovider", "host");
    return instance;
}

const char* kSchema =
    "CREATE TABLE IF NOT EXISTS nodes ("
    " inode INTEGER PRIMARY KEY, identifier TEXT NOT NULL UNIQUE, parent INTEGER NOT NULL, name TEXT NOT NULL,"
    " folder INTEGER NOT NULL, size INTEGER NOT NULL, created REAL NOT NULL, modified REAL NOT NULL,"
    " capabilities INTEGER NOT NULL, content_type TEXT, version_content BLOB, version_metadata BLOB,"
    " materialized_content BLOB, materialized_metadata BLOB, listed INTEGER NOT NULL, anchor BLOB,"
    " dirty INTEGER NOT NULL DEFAULT 0, pending_operation TEXT);"
    "CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value INTEGER NOT NULL);"
    // Removals not sent yet. A replica file written before they were kept
    // gains the (empty) table when it is opened.
    "CREATE TABLE IF NOT EXISTS removals ("
    " inode INTEGER PRIMARY KEY, identifier TEXT NOT NULL, version_content BLOB, version_metadata BLOB,"
    " parent INTEGER NOT NULL);"
    // Creates sent and not answered yet (see SentCreate).
    "CREATE TABLE IF NOT EXISTS sent_creates ("
    " inode INTEGER PRIMARY KEY, parent INTEGER NOT NULL, name TEXT NOT NULL, folder INTEGER NOT NULL,"
    " size INTEGER NOT NULL, modified REAL NOT NULL);";

void bindBytes(sqlite3_stmt* statement, int index, const std::optional<Bytes>& bytes) {
    if (!bytes) {
        sqlite3_bind_null(statement, index);
    } else if (bytes->empty()) {
        sqlite3_bind_zeroblob(statement, index, 0);
    } else {
        sqlite3_bind_blob(statement, index, bytes->data(), static_cast<int>(bytes->size()), SQLITE_TRANSIENT);
    }
}

std::optional<Bytes> columnBytes(sqlite3_stmt* statement, int index) {
    if (sqlite3_column_type(statement, index) == SQLITE_NULL) return std::nullopt;
    auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(statement, index));
    int size = sqlite3_column_bytes(statement, index);
    return data ? Bytes(data, data + size) : Bytes();
}

std::optional<ItemVersion> columnVersion(sqlite3_stmt* statement, int content, int metadata) {
    auto contentBytes = columnBytes(statement, content);
    auto metadataBytes = columnBytes(statement, metadata);
    if (!contentBytes || !metadataBytes) return std::nullopt;
    return ItemVersion{*contentBytes, *metadataBytes};
}

void execute(sqlite3* database, const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(database, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        std::string text = message ? message : "unknown error";
        sqlite3_free(message);
        throw std::runtime_error(text);
    }
}

// Whether the item may enter the replica; an item whose name no folder can
// show is logged and left out.
bool acceptsName(const Item& item) {
    if (isShowableName(item.filename())) return true;
    logger().error("Left out " + item.itemIdentifier() + ": its name (" + std::to_string(item.filename().size()) +
                   " bytes) cannot stand in a folder");
    return false;
}

}  // namespace

bool isShowableName(std::string_view name) {
    if (name.empty() || name == "." || name == ".." || name.size() > kMaxNameBytes) return false;
    return name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

Replica::Replica() { addRootLocked(); }

Replica::Replica(const std::filesystem::path& database) : databasePath_(database) {
    if (sqlite3_open_v2(database.c_str(), &database_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr) != SQLITE_OK) {
        std::string message = database_ ? sqlite3_errmsg(database_) : "cannot open";
        sqlite3_close(database_);
        throw std::runtime_error("Cannot open the replica database " + database.string() + ": " + message);
    }
    std::uint64_t change = 0;
    try {
        // A cache that can be rebuilt: a commit is durable at the next
        // checkpoint, and a power cut may lose the last few, never corrupt it.
        execute(database_, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA busy_timeout=10000;");
        execute(database_, kSchema);
        persistent_.store(true);
        std::lock_guard lock(mutex_);
        loadLocked();
        change = markLocked();
    } catch (const std::exception& error) {
        persistent_.store(false);
        sqlite3_close(database_);
        database_ = nullptr;
        throw std::runtime_error("Cannot read the replica database " + database.string() + ": " + error.what());
    }
    commit(change);
}

Replica::~Replica() {
    if (laterWriter_.joinable()) {
        laterWriter_.request_stop();
        laterWriter_.join();
    }
    if (database_) closeLocked();
}

void Replica::addRootLocked() {
    ReplicaNode root;
    root.inode = kRootInode;
    root.identifier = kRootContainer;
    root.parent = kRootInode;
    root.folder = true;
    root.capabilities = Capability::allowsReading | Capability::allowsWriting;
    root.created = Date::now();
    root.modified = root.created;
    nodes_[kRootInode] = root;
    byIdentifier_[kRootContainer] = kRootInode;
    children_[kRootInode];
    touchLocked(kRootInode);
}

void Replica::loadLocked() {
    sqlite3_stmt* statement = nullptr;
    const char* select =
        "SELECT inode, identifier, parent, name, folder, size, created, modified, capabilities, content_type,"
        " version_content, version_metadata, materialized_content, materialized_metadata, listed, anchor, dirty, pending_operation FROM nodes";
    if (sqlite3_prepare_v2(database_, select, -1, &statement, nullptr) != SQLITE_OK) {
        throw std::runtime_error(sqlite3_errmsg(database_));
    }
    int step;
    while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
        ReplicaNode node;
        node.inode = static_cast<Inode>(sqlite3_column_int64(statement, 0));
        node.identifier = reinterpret_cast<const char*>(sqlite3_column_text(statement, 1));
        node.parent = static_cast<Inode>(sqlite3_column_int64(statement, 2));
        node.name = reinterpret_cast<const char*>(sqlite3_column_text(statement, 3));
        node.folder = sqlite3_column_int(statement, 4) != 0;
        node.size = sqlite3_column_int64(statement, 5);
        node.created = Date::fromReferenceSeconds(sqlite3_column_double(statement, 6));
        node.modified = Date::fromReferenceSeconds(sqlite3_column_double(statement, 7));
        node.capabilities = static_cast<Capabilities>(sqlite3_column_int64(statement, 8));
        if (sqlite3_column_type(statement, 9) != SQLITE_NULL) {
            node.contentType = ContentType::withIdentifier(reinterpret_cast<const char*>(sqlite3_column_text(statement, 9)));
        }
        node.version = columnVersion(statement, 10, 11);
        node.materializedVersion = columnVersion(statement, 12, 13);
        node.listed = sqlite3_column_int(statement, 14) != 0;
        auto anchor = columnBytes(statement, 15);
        if (anchor) node.anchor = *anchor;
        node.dirty = sqlite3_column_int(statement, 16) != 0;
        if (sqlite3_column_type(statement, 17) != SQLITE_NULL) {
            node.pending = static_cast<std::uint32_t>(std::strtoul(
                reinterpret_cast<const char*>(sqlite3_column_text(statement, 17)), nullptr, 10));
        }
        nodes_[node.inode] = node;
        byIdentifier_[node.identifier] = node.inode;
        if (node.folder) children_[node.inode];
        nextInode_ = std::max(nextInode_, node.inode + 1);
    }
    sqlite3_finalize(statement);
    if (step != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(database_));
    if (!nodes_.count(kRootInode)) addRootLocked();
    for (const auto& [inode, node] : nodes_) {
        if (inode == kRootInode) continue;
        if (!nodes_.count(node.parent)) continue;  // an orphan, reachable by identifier only
        children_[node.parent][node.name] = inode;
    }
    sqlite3_stmt* meta = nullptr;
    if (sqlite3_prepare_v2(database_, "SELECT value FROM meta WHERE key='next_inode'", -1, &meta, nullptr) == SQLITE_OK) {
        if (sqlite3_step(meta) == SQLITE_ROW) {
            nextInode_ = std::max(nextInode_, static_cast<Inode>(sqlite3_column_int64(meta, 0)));
        }
        sqlite3_finalize(meta);
    }
    loadRemovalsLocked();
    loadSentCreatesLocked();
}

bool isSentCreate(const Item& item, const SentCreate& create) {
    if (item.isFolder() || create.folder || item.filename() != create.name) return false;
    auto size = item.documentSize();
    auto modified = item.contentModificationDate();
    if (!size || !*size || **size != create.size) return false;
    if (!modified || !*modified) return false;
    return std::abs((*modified)->unixSeconds() - create.modified.unixSeconds()) < 1.0;
}

void Replica::loadSentCreatesLocked() {
    sqlite3_stmt* statement = nullptr;
    const char* select = "SELECT inode, parent, name, folder, size, modified FROM sent_creates";
    if (sqlite3_prepare_v2(database_, select, -1, &statement, nullptr) != SQLITE_OK) {
        throw std::runtime_error(sqlite3_errmsg(database_));
    }
    int step;
    while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
        SentCreate create;
        create.inode = static_cast<Inode>(sqlite3_column_int64(statement, 0));
        create.parent = static_cast<Inode>(sqlite3_column_int64(statement, 1));
        create.name = reinterpret_cast<const char*>(sqlite3_column_text(statement, 2));
        create.folder = sqlite3_column_int(statement, 3) != 0;
        create.size = sqlite3_column_int64(statement, 4);
        create.modified = Date::fromReferenceSeconds(sqlite3_column_double(statement, 5));
        nextInode_ = std::max(nextInode_, create.inode + 1);
        sentCreates_[create.inode] = std::move(create);
    }
    sqlite3_finalize(statement);
    if (step != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(database_));
}

void Replica::recordSentCreate(const SentCreate& create) {
    Committer committer(*this);
    std::lock_guard lock(mutex_);
    sentCreates_[create.inode] = create;
    sentCreatesTouched_.insert(create.inode);
    committer.mark();
}

void Replica::finishSentCreate(Inode inode) {
    Committer committer(*this);
    std::lock_guard lock(mutex_);
    if (!sentCreates_.erase(inode)) return;
    sentCreatesTouched_.insert(inode);
    committer.mark();
}

std::optional<SentCreate> Replica::sentCreate(Inode inode) const {
    std::lock_guard lock(mutex_);
    auto found = sentCreates_.find(inode);
    if (found == sentCreates_.end()) return std::nullopt;
    return found->second;
}

std::vector<SentCreate> Replica::sentCreates() const {
    std::lock_guard lock(mutex_);
    std::vector<SentCreate> out;
    for (const auto& [inode, create] : sentCreates_) out.push_back(create);
    return out;
}

void Replica::loadRemovalsLocked() {
    sqlite3_stmt* statement = nullptr;
    const char* select = "SELECT inode, identifier, version_content, version_metadata, parent FROM removals";
    if (sqlite3_prepare_v2(database_, select, -1, &statement, nullptr) != SQLITE_OK) {
        throw std::runtime_error(sqlite3_errmsg(database_));
    }
    int step;
    while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
        PendingRemoval removal;
        removal.inode = static_cast<Inode>(sqlite3_column_int64(statement, 0));
        removal.identifier = reinterpret_cast<const char*>(sqlite3_column_text(statement, 1));
        removal.version = columnVersion(statement, 2, 3);
        removal.parent = static_cast<Inode>(sqlite3_column_int64(statement, 4));
        hidden_.insert(removal.identifier);
        nextInode_ = std::max(nextInode_, removal.inode + 1);
        removals_[removal.inode] = std::move(removal);
    }
    sqlite3_finalize(statement);
    if (step != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(database_));
}

// What one commit writes: copies of the rows changed since the last batch,
// taken under `mutex_` and written without it.
struct Replica::Batch {
    std::uint64_t upTo = 0;  // the last change it carries
    std::vector<Inode> erased;
    std::vector<ReplicaNode> nodes;
    std::vector<Inode> removalsErased;
    std::vector<PendingRemoval> removals;
    std::vector<Inode> createsErased;
    std::vector<SentCreate> creates;
    Inode nextInode = 0;
};

std::uint64_t Replica::markLocked() {
    if (!persistent_.load()) {
        touched_.clear();
        erased_.clear();
        removalsTouched_.clear();
        sentCreatesTouched_.clear();
        return 0;
    }
    if (touched_.empty() && erased_.empty() && removalsTouched_.empty() && sentCreatesTouched_.empty()) return 0;
    return ++changes_;
}

Replica::Batch Replica::takeBatchLocked() {
    Batch batch;
    batch.upTo = changes_;
    batch.nextInode = nextInode_;
    batch.erased.assign(erased_.begin(), erased_.end());
    batch.nodes.reserve(touched_.size());
    for (Inode inode : touched_) {
        auto found = nodes_.find(inode);
        if (found != nodes_.end()) batch.nodes.push_back(found->second);
    }
    for (Inode inode : removalsTouched_) {
        auto found = removals_.find(inode);
        if (found == removals_.end()) {
            batch.removalsErased.push_back(inode);
        } else {
            batch.removals.push_back(found->second);
        }
    }
    for (Inode inode : sentCreatesTouched_) {
        auto found = sentCreates_.find(inode);
        if (found == sentCreates_.end()) {
            batch.createsErased.push_back(inode);
        } else {
            batch.creates.push_back(found->second);
        }
    }
    touched_.clear();
    erased_.clear();
    removalsTouched_.clear();
    sentCreatesTouched_.clear();
    return batch;
}

void Replica::commitLater(std::uint64_t change) {
    if (change == 0) return;
    {
        std::lock_guard lock(laterMutex_);
        later_ = std::max(later_, change);
        if (!laterWriter_.joinable()) {
            laterWriter_ = std::jthread([this](std::stop_token stop) { writeLaterLoop(stop); });
        }
    }
    laterWanted_.notify_all();
}

void Replica::writeLaterLoop(std::stop_token stop) {
    std::uint64_t done = 0;
    for (;;) {
        std::uint64_t wanted = 0;
        {
            std::unique_lock lock(laterMutex_);
            laterWanted_.wait(lock, stop, [&] { return later_ > done; });
            wanted = later_;
        }
        // At the stop too, so that nothing handed over is left unwritten.
        if (wanted > done) commit(wanted);
        done = wanted;
        if (stop.stop_requested()) return;
    }
}

void Replica::commitAll() {
    std::uint64_t change = 0;
    {
        std::lock_guard lock(mutex_);
        change = changes_;
    }
    commit(change);
}

void Replica::commit(std::uint64_t change) {
    if (change == 0) return;
    std::lock_guard writer(writerMutex_);
    // A commit of another call may have carried this change already.
    if (committed_ >= change) return;
    Batch batch;
    {
        std::lock_guard lock(mutex_);
        batch = takeBatchLocked();
    }
    if (database_) writeBatch(batch);
    committed_ = batch.upTo;
}

namespace {

// The statements a batch runs (each prepared once per connection).
const char* const kEraseNode = "DELETE FROM nodes WHERE inode=?";
const char* const kWriteNode =
    "INSERT OR REPLACE INTO nodes (inode, identifier, parent, name, folder, size, created, modified, capabilities,"
    " content_type, version_content, version_metadata, materialized_content, materialized_metadata, listed, anchor,"
    " dirty, pending_operation) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)";
const char* const kWriteNextInode = "INSERT OR REPLACE INTO meta (key, value) VALUES ('next_inode', ?)";
const char* const kEraseRemoval = "DELETE FROM removals WHERE inode=?";
const char* const kWriteRemoval =
    "INSERT OR REPLACE INTO removals (inode, identifier, version_content, version_metadata, parent) VALUES (?,?,?,?,?)";
const char* const kEraseSentCreate = "DELETE FROM sent_creates WHERE inode=?";
const char* const kWriteSentCreate =
    "INSERT OR REPLACE INTO sent_creates (inode, parent, name, folder, size, modified) VALUES (?,?,?,?,?,?)";

// A statement of the connection's cache, used by one batch.
class BatchStatement {
public:
    explicit BatchStatement(sqlite3_stmt* statement) : statement_(statement) {}
    BatchStatement(const BatchStatement&) = delete;
    BatchStatement& operator=(const BatchStatement&) = delete;
    sqlite3_stmt* get() const { return statement_; }
    // Runs the bound statement and resets it; false when it failed.
    bool run() {
        const bool done = sqlite3_step(statement_) == SQLITE_DONE;
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
        return done;
    }

private:
    sqlite3_stmt* statement_ = nullptr;
};

void bindNode(sqlite3_stmt* write, const ReplicaNode& node) {
    sqlite3_bind_int64(write, 1, static_cast<sqlite3_int64>(node.inode));
    sqlite3_bind_text(write, 2, node.identifier.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(write, 3, static_cast<sqlite3_int64>(node.parent));
    sqlite3_bind_text(write, 4, node.name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(write, 5, node.folder ? 1 : 0);
    sqlite3_bind_int64(write, 6, node.size);
    sqlite3_bind_double(write, 7, node.created.referenceSeconds());
    sqlite3_bind_double(write, 8, node.modified.referenceSeconds());
    sqlite3_bind_int64(write, 9, node.capabilities);
    if (node.contentType) {
        sqlite3_bind_text(write, 10, node.contentType->identifier().c_str(), -1, SQLITE_TRANSIENT);
    } else {
        sqlite3_bind_null(write, 10);
    }
    bindBytes(write, 11, node.version ? std::optional<Bytes>(node.version->content) : std::nullopt);
    bindBytes(write, 12, node.version ? std::optional<Bytes>(node.version->metadata) : std::nullopt);
    bindBytes(write, 13, node.materializedVersion ? std::optional<Bytes>(node.materializedVersion->content) : std::nullopt);
    bindBytes(write, 14, node.materializedVersion ? std::optional<Bytes>(node.materializedVersion->metadata) : std::nullopt);
    sqlite3_bind_int(write, 15, node.listed ? 1 : 0);
    bindBytes(write, 16, node.anchor);
    sqlite3_bind_int(write, 17, node.dirty ? 1 : 0);
    if (node.pending != 0) {
        sqlite3_bind_text(write, 18, std::to_string(node.pending).c_str(), -1, SQLITE_TRANSIENT);
    } else {
        sqlite3_bind_null(write, 18);
    }
}

}  // namespace

sqlite3_stmt* Replica::statementLocked(const char* sql, bool& ok) {
    auto& statement = statements_[sql];
    if (!statement && ok) {
        ok = sqlite3_prepare_v3(database_, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) == SQLITE_OK;
    }
    return ok ? statement : nullptr;
}

void Replica::closeLocked() {
    for (auto& [sql, statement] : statements_) sqlite3_finalize(statement);
    statements_.clear();
    sqlite3_close(database_);
    database_ = nullptr;
}

void Replica::writeBatch(const Batch& batch) {
    bool ok = sqlite3_exec(database_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    {
        BatchStatement erase(statementLocked(kEraseNode, ok));
        BatchStatement write(statementLocked(kWriteNode, ok));
        BatchStatement meta(statementLocked(kWriteNextInode, ok));
        BatchStatement eraseRemoval(statementLocked(kEraseRemoval, ok));
        BatchStatement writeRemoval(statementLocked(kWriteRemoval, ok));
        BatchStatement eraseCreate(statementLocked(kEraseSentCreate, ok));
        BatchStatement writeCreate(statementLocked(kWriteSentCreate, ok));
        // Deletions first: an inode erased and made again in one batch ends written.
        for (Inode inode : batch.erased) {
            if (!ok) break;
            sqlite3_bind_int64(erase.get(), 1, static_cast<sqlite3_int64>(inode));
            ok = erase.run();
        }
        for (const auto& node : batch.nodes) {
            if (!ok) break;
            bindNode(write.get(), node);
            ok = write.run();
        }
        if (ok) {
            sqlite3_bind_int64(meta.get(), 1, static_cast<sqlite3_int64>(batch.nextInode));
            ok = meta.run();
        }
        for (Inode inode : batch.removalsErased) {
            if (!ok) break;
            sqlite3_bind_int64(eraseRemoval.get(), 1, static_cast<sqlite3_int64>(inode));
            ok = eraseRemoval.run();
        }
        for (const auto& removal : batch.removals) {
            if (!ok) break;
            sqlite3_stmt* statement = writeRemoval.get();
            sqlite3_bind_int64(statement, 1, static_cast<sqlite3_int64>(removal.inode));
            sqlite3_bind_text(statement, 2, removal.identifier.c_str(), -1, SQLITE_TRANSIENT);
            bindBytes(statement, 3, removal.version ? std::optional<Bytes>(removal.version->content) : std::nullopt);
            bindBytes(statement, 4, removal.version ? std::optional<Bytes>(removal.version->metadata) : std::nullopt);
            sqlite3_bind_int64(statement, 5, static_cast<sqlite3_int64>(removal.parent));
            ok = writeRemoval.run();
        }
        for (Inode inode : batch.createsErased) {
            if (!ok) break;
            sqlite3_bind_int64(eraseCreate.get(), 1, static_cast<sqlite3_int64>(inode));
            ok = eraseCreate.run();
        }
        for (const auto& create : batch.creates) {
            if (!ok) break;
            sqlite3_stmt* statement = writeCreate.get();
            sqlite3_bind_int64(statement, 1, static_cast<sqlite3_int64>(create.inode));
            sqlite3_bind_int64(statement, 2, static_cast<sqlite3_int64>(create.parent));
            sqlite3_bind_text(statement, 3, create.name.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int(statement, 4, create.folder ? 1 : 0);
            sqlite3_bind_int64(statement, 5, create.size);
            sqlite3_bind_double(statement, 6, create.modified.referenceSeconds());
            ok = writeCreate.run();
        }
    }
    if (ok && sqlite3_exec(database_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK) return;
    // The file no longer matches what is shown: drop it, so that the next
    // start begins afresh instead of from a wrong state.
    logger().error(std::string("The replica database failed and is dropped: ") + sqlite3_errmsg(database_));
    sqlite3_exec(database_, "ROLLBACK", nullptr, nullptr, nullptr);
    closeLocked();
    persistent_.store(false);
    std::error_code ignored;
    std::filesystem::remove(databasePath_, ignored);
    // Its journal would be applied to the next file of the name.
    std::filesystem::remove(databasePath_.string() + "-wal", ignored);
    std::filesystem::remove(databasePath_.string() + "-shm", ignored);
}

std::optional<ReplicaNode> Replica::node(Inode inode) const {
    std::lock_guard lock(mutex_);
    auto found = nodes_.find(inode);
    if (found == nodes_.end()) return std::nullopt;
    return found->second;
}

std::optional<Inode> Replica::inodeOf(const ItemId& identifier) const {
    std::lock_guard lock(mutex_);
    auto found = byIdentifier_.find(identifier);
    if (found == byIdentifier_.end()) return std::nullopt;
    return found->second;
}

std::optional<ReplicaNode> Replica::child(Inode parent, const std::string& name) const {
    std::lock_guard lock(mutex_);
    auto folder = children_.find(parent);
    if (folder == children_.end()) return std::nullopt;
    auto found = folder->second.find(name);
    if (found == folder->second.end()) return std::nullopt;
    return nodes_.at(found->second);
}

std::vector<ReplicaNode> Replica::children(Inode parent) const {
    std::lock_guard lock(mutex_);
    std::vector<ReplicaNode> out;
    auto folder = children_.find(parent);
    if (folder == children_.end()) return out;
    for (const auto& [name, inode] : folder->second) out.push_back(nodes_.at(inode));
    return out;
}

std::vector<FolderEntry> Replica::entries(Inode parent) const {
    std::lock_guard lock(mutex_);
    std::vector<FolderEntry> out;
    auto folder = children_.find(parent);
    if (folder == children_.end()) return out;
    out.reserve(folder->second.size());
    for (const auto& [name, inode] : folder->second) out.push_back({name, nodes_.at(inode).attributes()});
    return out;
}

bool Replica::hasChildren(Inode parent) const {
    std::lock_guard lock(mutex_);
    auto folder = children_.find(parent);
    return folder != children_.end() && !folder->second.empty();
}

std::optional<NodeAttributes> Replica::attributes(Inode inode) const {
    std::lock_guard lock(mutex_);
    auto found = nodes_.find(inode);
    if (found == nodes_.end()) return std::nullopt;
    return found->second.attributes();
}

std::vector<Inode> Replica::listedFolders() const {
    std::lock_guard lock(mutex_);
    std::vector<Inode> out;
    for (const auto& [inode, node] : nodes_) {
        if (node.folder && node.listed) out.push_back(inode);
    }
    return out;
}

std::optional<std::filesystem::path> Replica::relativePath(Inode inode) const {
    std::lock_guard lock(mutex_);
    return relativePathLocked(inode);
}

std::optional<std::filesystem::path> Replica::relativePathLocked(Inode inode) const {
    std::vector<std::string> names;
    Inode current = inode;
    for (int depth = 0; current != kRootInode; ++depth) {
        auto found = nodes_.find(current);
        if (found == nodes_.end() || depth > 4096) return std::nullopt;
        names.push_back(found->second.name);
        current = found->second.parent;
    }
    std::filesystem::path path;
    for (auto name = names.rbegin(); name != names.rend(); ++name) path /= *name;
    return path;
}

Inode Replica::parentInodeLocked(const ItemId& parentIdentifier) const {
    auto found = byIdentifier_.find(parentIdentifier);
    return found == byIdentifier_.end() ? 0 : found->second;
}

std::vector<Invalidation> Replica::upsertLocked(const Item& item, Inode parent, std::uint64_t startedAt) {
    std::vector<Invalidation> out;
    const ItemId identifier = item.itemIdentifier();
    if (identifier == kRootContainer || hidden_.count(identifier)) return out;
    if (auto removed = removedAt_.find(identifier); removed != removedAt_.end() && removed->second > startedAt) return out;
    auto size = item.documentSize();
    auto created = item.creationDate();
    auto modified = item.contentModificationDate();
    // What the node is to show of the item.
    const bool folder = item.isFolder();
    const std::int64_t shownSize = size && *size ? **size : 0;
    const Date shownCreated = created && *created ? **created : Date();
    const Date shownModified = modified && *modified ? **modified : shownCreated;
    const Capabilities capabilities = item.capabilities().value_or(Capability::allowsReading);
    std::optional<ContentType> contentType = item.contentType();
    std::optional<ItemVersion> version = item.itemVersion();
    std::string filename = item.filename();

    auto known = byIdentifier_.find(identifier);
    const bool isNew = known == byIdentifier_.end();
    if (isNew) {
        // The item a create made for a node removed here before its answer
        // came (or before a crash): it is to be removed, never shown.
        for (const auto& [createdInode, create] : sentCreates_) {
            if (create.parent == parent && !nodes_.count(createdInode) && isSentCreate(item, create)) return out;
        }
    }
    bool placed = false;  // a known node under another name or in another folder
    Inode inode;
    if (isNew) {
        // An item seen before keeps its inode: a move reported as a deletion
        // from one folder and an addition to another stays the same file.
        auto retired = retired_.find(identifier);
        if (retired != retired_.end()) {
            inode = retired->second;
            retired_.erase(retired);
        } else {
            inode = nextInode_++;
        }
        auto& node = nodes_[inode];
        node.inode = inode;
        node.identifier = identifier;
        byIdentifier_.emplace(identifier, inode);
    } else {
        inode = known->second;
        auto& node = nodes_.at(inode);
        // Local changes win until they are sent: the server's word on the
        // item comes with the answer to them.
        if (node.hasLocalChanges() || node.localChangedAt > startedAt) return out;
        // A node that already shows the item as it is stays as it is: not
        // written again, and nothing for the kernel to forget (its pages
        // and attributes are still right).
        auto entry = children_.find(parent);
        const bool inPlace = node.parent == parent && node.name == filename && entry != children_.end() &&
                             [&] {
                                 auto named = entry->second.find(node.name);
                                 return named != entry->second.end() && named->second == inode;
                             }();
        if (inPlace && node.folder == folder && node.size == shownSize && node.created == shownCreated &&
            node.modified == shownModified && node.capabilities == capabilities && node.contentType == contentType &&
            node.version == version) {
            return out;
        }
        if (node.parent != parent || node.name != filename) {
            placed = true;
            auto& oldSiblings = children_[node.parent];
            auto entry = oldSiblings.find(node.name);
            if (entry != oldSiblings.end() && entry->second == inode) oldSiblings.erase(entry);
            out.push_back({Invalidation::Kind::entry, node.parent, node.name, 0});
        }
    }
    auto& node = nodes_.at(inode);
    node.parent = parent;
    node.name = std::move(filename);
    node.folder = folder;
    node.size = shownSize;
    node.created = shownCreated;
    node.modified = shownModified;
    node.capabilities = capabilities;
    node.contentType = std::move(contentType);
    node.version = std::move(version);
    // A copy of an older version stays until a download replaces it: it no
    // longer counts as current (its version differs), and it can still be
    // served when the item keeps changing under every download.
    if (node.folder) children_[inode];

    auto& siblings = children_[parent];
    auto clash = siblings.find(node.name);
    if (clash != siblings.end() && clash->second != inode && nodes_.at(clash->second).hasLocalChanges()) {
        // A local item holds the name; the server's stays out of the folder
        // until the local one is sent (its create then reports the clash).
        node.parent = 0;
        touchLocked(inode);
        return out;
    }
    if (clash != siblings.end() && clash->second != inode) {
        // Another item held the name; it is gone from this folder (its
        // deletion may follow in the same batch).
        nodes_.at(clash->second).parent = 0;
        touchLocked(clash->second);
    }
    siblings[node.name] = inode;
    // The kernel can know nothing of a node that is new to a folder never
    // listed before (lookups there wait for the listing); elsewhere it may
    // hold a negative entry for the name, and it may hold a known node's
    // attributes and pages. A known node that stays where it was keeps its
    // entry: dropping it would also cut off programs working inside a
    // folder (their current directory becomes unreachable).
    const auto& parentNode = nodes_.at(parent);
    if ((isNew && parentNode.listed) || placed) out.push_back({Invalidation::Kind::entry, parent, node.name, 0});
    if (!isNew) out.push_back({Invalidation::Kind::inode, 0, {}, inode});
    touchLocked(inode);
    return out;
}

void Replica::removeLocked(Inode inode, std::vector<Invalidation>& out, bool below) {
    auto found = nodes_.find(inode);
    if (found == nodes_.end() || inode == kRootInode) return;
    ReplicaNode node = found->second;
    // A file changed here is not lost with its folder: its copy is kept
    // (a removal of the node itself is what the caller decided on).
    const bool keep = below && !node.folder && node.hasLocalChanges();
    if (keep) unsentCopies_.push_back({inode, relativePathLocked(inode).value_or(std::filesystem::path(node.name))});
    auto folder = children_.find(inode);
    if (folder != children_.end()) {
        std::vector<Inode> inside;
        for (const auto& [name, child] : folder->second) inside.push_back(child);
        for (Inode child : inside) removeLocked(child, out, true);
        children_.erase(inode);
    }
    auto siblings = children_.find(node.parent);
    if (siblings != children_.end()) {
        auto entry = siblings->second.find(node.name);
        if (entry != siblings->second.end() && entry->second == inode) {
            siblings->second.erase(entry);
            out.push_back({Invalidation::Kind::deleted, node.parent, node.name, inode});
        }
    }
    if (node.materializedVersion && !keep) droppedCaches_.push_back(inode);
    if (retired_.size() >= kMaxRetired) retired_.clear();
    retired_[node.identifier] = inode;
    touched_.erase(inode);
    erased_.insert(inode);
    byIdentifier_.erase(node.identifier);
    nodes_.erase(found);
}

std::vector<Invalidation> Replica::replaceChildren(Inode folder, const std::vector<ItemPtr>& items,
                                                   std::optional<SyncAnchor> anchor, double now, std::uint64_t startedAt,
                                                   Commit when) {
    Committer committer(*this);
    std::lock_guard lock(mutex_);
    std::vector<Invalidation> out;
    if (!nodes_.count(folder)) return out;
    const std::size_t erasedBefore = erased_.size();
    std::unordered_set<ItemId> listed;
    listed.reserve(items.size());
    for (const auto& item : items) {
        // An item left out is as good as not listed: a node of it goes.
        if (!item || !acceptsName(*item)) continue;
        listed.insert(item->itemIdentifier());
        auto changes = upsertLocked(*item, folder, startedAt);
        out.insert(out.end(), changes.begin(), changes.end());
    }
    std::vector<Inode> stale;
    for (const auto& [name, child] : children_[folder]) {
        const auto& known = nodes_.at(child);
        // Items made or changed here stay until they are sent.
        if (!listed.count(known.identifier) && !known.hasLocalChanges() && known.localChangedAt <= startedAt) {
            stale.push_back(child);
        }
    }
    for (Inode child : stale) removeLocked(child, out);
    auto& node = nodes_.at(folder);
    node.listed = true;
    node.anchor = std::move(anchor);
    node.listedAt = now;
    touchLocked(folder);
    committer.mark();
    // A removal is written at once: the caller moves the copies it dropped.
    if (when == Commit::later && erased_.size() == erasedBefore) committer.later();
    return out;
}

std::vector<Invalidation> Replica::applyChanges(Inode folder, const std::vector<ItemPtr>& updated,
                                                const std::vector<ItemId>& deleted, std::optional<SyncAnchor> anchor,
                                                double now, std::uint64_t startedAt) {
    Committer committer(*this);
    std::lock_guard lock(mutex_);
    std::vector<Invalidation> out;
    for (const auto& item : updated) {
        if (!item) continue;
        Inode parent = parentInodeLocked(item->parentItemIdentifier());
        if (parent == 0 || !nodes_.at(parent).folder || !acceptsName(*item)) {
            // It went somewhere this replica does not show, or took a name
            // that no folder can show.
            auto known = byIdentifier_.find(item->itemIdentifier());
            if (known != byIdentifier_.end() && !nodes_.at(known->second).hasLocalChanges()) {
                removeLocked(known->second, out);
            }
            continue;
        }
        auto changes = upsertLocked(*item, parent, startedAt);
        out.insert(out.end(), changes.begin(), changes.end());
    }
    for (const auto& identifier : deleted) {
        auto known = byIdentifier_.find(identifier);
        if (known == byIdentifier_.end()) continue;
        // A deletion reported by this folder concerns only a child of it:
        // an item that moved elsewhere in the same batch stays.
        if (nodes_.at(known->second).parent != folder) continue;
        // Changed here after the enumeration began: newer than its word.
        if (nodes_.at(known->second).localChangedAt > startedAt) continue;
        // A copy changed here is not dropped: it is sent again as a new item.
        if (nodes_.at(known->second).hasLocalChanges()) {
            auto& kept = nodes_.at(known->second);
            if (!kept.folder) {
                kept.pending = PendingWork::create | PendingWork::contents;
                kept.dirty = true;
                kept.version.reset();
                touchLocked(kept.inode);
            }
            continue;
        }
        removeLocked(known->second, out);
    }
    auto found = nodes_.find(folder);
    if (found != nodes_.end()) {
        found->second.anchor = std::move(anchor);
        found->second.listedAt = now;
        touchLocked(folder);
    }
    committer.mark();
    return out;
}

std::vector<Inode> Replica::takeDroppedCaches() {
    std::lock_guard lock(mutex_);
    std::vector<Inode> out;
    out.swap(droppedCaches_);
    return out;
}

std::vector<UnsentCopy> Replica::takeUnsentCopies() {
    std::lock_guard lock(mutex_);
    std::vector<UnsentCopy> out;
    out.swap(unsentCopies_);
    return out;
}

void Replica::setMaterialized(Inode inode, const ItemVersion& version) {
    Committer committer(*this);
    std::lock_guard lock(mutex_);
    auto found = nodes_.find(inode);
    if (found == nodes_.end()) return;
    found->second.materializedVersion = version;
    touchLocked(inode);
    committer.mark();
}

void Replica::clearMaterialized(Inode inode) {
    Committer committer(*this);
    std::lock_guard lock(mutex_);
    auto found = nodes_.find(inode);
    if (found == nodes_.end() || !found->second.materializedVersion) return;
    found->second.materializedVersion.reset();
    touchLocked(inode);
    committer.mark();
}

std::vector<Inode> Replica::materializedNodes() const {
    std::lock_guard lock(mutex_);
    std::vector<Inode> out;
    for (const auto& [inode, node] : nodes_) {
        if (node.materializedVersion) out.push_back(inode);
    }
    return out;
}

std::vector<Invalidation> Replica::adopt(Inode inode, const ItemVersion& version, std::int64_t size) {
    Committer committer(*this);
    std::lock_guard lock(mutex_);
    std::vector<Invalidation> out;
    auto found = nodes_.find(inode);
    if (found == nodes_.end()) return out;
    auto& node = found->second;
    if (node.version == version && node.size == size) return out;
    node.version = version;
    node.size = size;
    out.push_back({Invalidation::Kind::inode, 0, {}, inode});
    touchLocked(inode);
    committer.mark();
    return out;
}

std::optional<ReplicaNode> Replica::addLocal(Inode parent, const std::string& name, bool folder, Date now,
                                             std::vector<Invalidation>& out) {
    Committer committer(*this);
    std::lock_guard lock(mutex_);
    auto parentNode = nodes_.find(parent);
    if (parentNode == nodes_.end() || !parentNode->second.folder) return std::nullopt;
    auto& siblings = children_[parent];
    if (siblings.count(name)) return std::nullopt;
    ReplicaNode node;
    node.inode = nextInode_++;
    node.identifier = kLocalIdentifierPrefix + Uuid::random().lowerString();
    node.parent = parent;
    node.name = name;
    node.folder = folder;
    node.created = now;
    node.modified = now;
    node.capabilities = Capability::allowsReading | Capability::allowsWriting | Capability::allowsRenaming |
                        Capability::allowsReparenting | Capability::allowsDeleting;
    node.contentType = folder ? ContentType::folder() : ContentType::data();
    node.pending = PendingWork::create;
    if (folder) {
        // Nothing on the server to list: it is known to be empty.
        node.listed = true;
        children_[node.inode];
    } else {
        node.dirty = true;
        node.materializedVersion = ItemVersion{};
    }
    node.localChangedAt = ++localEpoch_;
    nodes_[node.inode] = node;
    byIdentifier_[node.identifier] = node.inode;
    siblings[name] = node.inode;
    out.push_back({Invalidation::Kind::entry, parent, name, 0});
    touchLocked(node.inode);
    committer.mark();
    return node;
}

bool Replica::update(Inode inode, const std::function<void(ReplicaNode&)>& change, std::vector<Invalidation>& out) {
    Committer committer(*this);
    std::lock_guard lock(mutex_);
    auto found = nodes_.find(inode);
    if (found == nodes_.end()) return false;
    ReplicaNode changed = found->second;
    change(changed);
    ReplicaNode& node = found->second;
    const bool placed = changed.parent != node.parent || changed.name != node.name;
    if (placed) {
        auto target = nodes_.find(changed.parent);
        if (target == nodes_.end() || !target->second.folder) return false;
        auto& siblings = children_[changed.parent];
        auto clash = siblings.find(changed.name);
        if (clash != siblings.end() && clash->second != inode) return false;
        auto& old = children_[node.parent];
        auto entry = old.find(node.name);
        if (entry != old.end() && entry->second == inode) old.erase(entry);
        out.push_back({Invalidation::Kind::entry, node.parent, node.name, 0});
        siblings[changed.name] = inode;
        out.push_back({Invalidation::Kind::entry, changed.parent, changed.name, 0});
    }
    if (changed.identifier != node.identifier) {
        auto other = byIdentifier_.find(changed.identifier);
        if (other != byIdentifier_.end() && other->second != inode) {
            // The server's listing met the item before its answer came: the
            // listed node gives way to this one (same item, the inode in use).
            std::vector<Invalidation> ignored;
            Inode stale = other->second;
            removeLocked(stale, out);
        }
        byIdentifier_.erase(node.identifier);
        byIdentifier_[changed.identifier] = inode;
    }
    changed.inode = inode;
    changed.localChangedAt = ++localEpoch_;
    node = changed;
    out.push_back({Invalidation::Kind::inode, 0, {}, inode});
    touchLocked(inode);
    committer.mark();
    return true;
}

void Replica::erase(Inode inode, std::vector<Invalidation>& out, bool sendRemoval) {
    Committer committer(*this);
    std::lock_guard lock(mutex_);
    auto found = nodes_.find(inode);
    if (sendRemoval && found != nodes_.end() && inode != kRootInode && !isLocalIdentifier(found->second.identifier)) {
        const auto& node = found->second;
        setRemovalLocked(PendingRemoval{inode, node.identifier, node.version, node.parent});
    }
    removeLocked(inode, out);
    committer.mark();
}

bool Replica::replace(Inode source, Inode target, const std::function<void(ReplicaNode&)>& change,
                      bool sendTargetRemoval, bool sendSourceRemoval, std::optional<Inode>& sourceRemoval,
                      std::vector<Invalidation>& out) {
    sourceRemoval.reset();
    Committer committer(*this);
    std::lock_guard lock(mutex_);
    auto sourceNode = nodes_.find(source);
    auto targetNode = nodes_.find(target);
    if (sourceNode == nodes_.end() || targetNode == nodes_.end() || source == target || source == kRootInode ||
        target == kRootInode) {
        return false;
    }
    const ReplicaNode gone = targetNode->second;
    if (sendTargetRemoval && !isLocalIdentifier(gone.identifier)) {
        setRemovalLocked(PendingRemoval{target, gone.identifier, gone.version, gone.parent});
    }
    removeLocked(target, out);

    ReplicaNode& node = nodes_.at(source);
    ReplicaNode changed = node;
    change(changed);
    changed.parent = gone.parent;
    changed.name = gone.name;
    auto& old = children_[node.parent];
    auto entry = old.find(node.name);
    if (entry != old.end() && entry->second == source) old.erase(entry);
    out.push_back({Invalidation::Kind::entry, node.parent, node.name, 0});
    children_[changed.parent][changed.name] = source;
    out.push_back({Invalidation::Kind::entry, changed.parent, changed.name, 0});
    if (changed.identifier != node.identifier) {
        // The source may take the target's item: that item lives on here.
        retired_.erase(changed.identifier);
        auto other = byIdentifier_.find(changed.identifier);
        if (other != byIdentifier_.end() && other->second != source) removeLocked(other->second, out);
        byIdentifier_.erase(node.identifier);
        byIdentifier_[changed.identifier] = source;
    }
    // The item the source named until now (as its last answer left it).
    if (sendSourceRemoval && !isLocalIdentifier(node.identifier) && node.identifier != changed.identifier) {
        sourceRemoval = nextInode_++;
        setRemovalLocked(PendingRemoval{*sourceRemoval, node.identifier, node.version, node.parent});
    }
    changed.inode = source;
    changed.localChangedAt = ++localEpoch_;
    node = changed;
    out.push_back({Invalidation::Kind::inode, 0, {}, source});
    touchLocked(source);
    committer.mark();
    return true;
}

void Replica::forgetListings(Inode folder) {
    Committer committer(*this);
    std::lock_guard lock(mutex_);
    std::vector<Inode> pending{folder};
    while (!pending.empty()) {
        Inode current = pending.back();
        pending.pop_back();
        auto found = nodes_.find(current);
        // A folder not created on the server yet has nothing there to list.
        if (found == nodes_.end() || !found->second.folder || isLocalIdentifier(found->second.identifier)) continue;
        found->second.listed = false;
        found->second.anchor.reset();
        touchLocked(current);
        auto inside = children_.find(current);
        if (inside == children_.end()) continue;
        for (const auto& [name, child] : inside->second) pending.push_back(child);
    }
    committer.mark();
}

Inode Replica::newInode() {
    std::lock_guard lock(mutex_);
    return nextInode_++;
}

std::vector<ReplicaNode> Replica::nodesWithLocalChanges() const {
    std::lock_guard lock(mutex_);
    std::vector<ReplicaNode> out;
    for (const auto& [inode, node] : nodes_) {
        if (node.hasLocalChanges()) out.push_back(node);
    }
    return out;
}

std::uint64_t Replica::localEpoch() const {
    std::lock_guard lock(mutex_);
    return localEpoch_;
}

std::optional<PendingRemoval> Replica::removal(Inode inode) const {
    std::lock_guard lock(mutex_);
    auto found = removals_.find(inode);
    if (found == removals_.end()) return std::nullopt;
    return found->second;
}

std::vector<PendingRemoval> Replica::removals() const {
    std::lock_guard lock(mutex_);
    std::vector<PendingRemoval> out;
    for (const auto& [inode, removal] : removals_) out.push_back(removal);
    return out;
}

void Replica::setRemoval(const PendingRemoval& removal) {
    Committer committer(*this);
    std::lock_guard lock(mutex_);
    setRemovalLocked(removal);
    committer.mark();
}

void Replica::setRemovalLocked(const PendingRemoval& removal) {
    auto found = removals_.find(removal.inode);
    if (found != removals_.end()) hidden_.erase(hidden_.find(found->second.identifier));
    removals_[removal.inode] = removal;
    hidden_.insert(removal.identifier);
    removalsTouched_.insert(removal.inode);
}

void Replica::finishRemoval(Inode inode) {
    Committer committer(*this);
    std::lock_guard lock(mutex_);
    auto found = removals_.find(inode);
    if (found == removals_.end()) return;
    hidden_.erase(hidden_.find(found->second.identifier));
    if (removedAt_.size() >= kMaxRetired) removedAt_.clear();
    removedAt_[found->second.identifier] = ++localEpoch_;
    removals_.erase(found);
    removalsTouched_.insert(inode);
    committer.mark();
}

}  // namespace nimbuscrate::fp::host
