#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/core/Date.h"
#include "platform/fileprovider/Item.h"

struct sqlite3;
struct sqlite3_stmt;

namespace nimbuscrate::fp::host {

using Inode = std::uint64_t;
inline constexpr Inode kRootInode = 1;

// What a node shows in its file attributes.
struct NodeAttributes {
    Inode inode = 0;
    bool folder = false;
    std::int64_t size = 0;
    Date modified;
    Capabilities capabilities = 0;
    bool dirty = false;
};

// A child as a read of its folder shows it.
struct FolderEntry {
    std::string name;
    NodeAttributes attributes;
};

// One node of the host's replica of a domain: what the file system shows.
struct ReplicaNode {
    Inode inode = 0;
    ItemId identifier;
    Inode parent = 0;
    std::string name;
    bool folder = false;
    std::int64_t size = 0;
    Date created;
    Date modified;
    Capabilities capabilities = 0;
    std::optional<ContentType> contentType;
    std::optional<ItemVersion> version;
    // The version of the cached copy, when there is one (older than
    // `version` when the item changed since it was downloaded).
    std::optional<ItemVersion> materializedVersion;
    // Folders: listed once, and the anchor of that listing or the last change enumeration.
    bool listed = false;
    std::optional<SyncAnchor> anchor;
    double listedAt = 0;  // monotonic seconds
    // Local changes not yet on the server: the cached copy holds data the
    // server lacks (dirty), and the operations still to send (PendingWork).
    bool dirty = false;
    std::uint32_t pending = 0;
    // When a local change last touched the node (Replica::localEpoch; not stored).
    std::uint64_t localChangedAt = 0;

    bool hasLocalChanges() const { return dirty || pending != 0; }
    NodeAttributes attributes() const { return {inode, folder, size, modified, capabilities, dirty}; }
};

// The operations a node still owes the server; kept in the replica so that
// they survive a restart.
namespace PendingWork {
inline constexpr std::uint32_t create = 1;    // the item is new here (a local identifier)
inline constexpr std::uint32_t contents = 2;  // the cached copy is to be uploaded
inline constexpr std::uint32_t move = 4;      // the name or the folder changed
}  // namespace PendingWork

// A removal made here and not sent yet. It is kept in the replica, so that
// a restarted host still sends it, and its item stays hidden from listings
// of the server until then.
struct PendingRemoval {
    Inode inode = 0;  // of the removed node: the key of its queue
    ItemId identifier;
    std::optional<ItemVersion> version;
    Inode parent = 0;  // the folder it was removed from
};

// A create this host sent and whose answer it has not applied yet: at a
// restart (or when the server answers that the name is taken) it tells
// whether the item of that name on the server is the one it made. Kept in
// the replica, so that it survives a crash.
struct SentCreate {
    Inode inode = 0;   // of the node created
    Inode parent = 0;  // its folder and name when it was sent
    std::string name;
    bool folder = false;
    std::int64_t size = 0;  // what was sent: the bytes' size and modification time
    Date modified;
};

// Whether a file item of the server is the one a create sent: its name,
// size and modification time (to the second servers keep) are the create's.
bool isSentCreate(const Item& item, const SentCreate& create);

// Identifiers the host makes for items created in the folder, until the
// extension names them.
inline const std::string kLocalIdentifierPrefix = "local:";
inline bool isLocalIdentifier(const ItemId& identifier) { return identifier.rfind(kLocalIdentifierPrefix, 0) == 0; }

// A file with local changes that went with a folder the server removed:
// its cached copy is kept, under its path at the time, not deleted.
struct UnsentCopy {
    Inode inode = 0;
    std::filesystem::path path;  // below the root
};

// The longest name a folder shows, in bytes (what POSIX programs expect of
// a file system: NAME_MAX).
inline constexpr std::size_t kMaxNameBytes = 255;

// Whether a name can stand in a folder: one path component ("", ".", "..",
// names holding "/" or NUL are not) of at most kMaxNameBytes bytes. Items
// the extension names otherwise are left out of the replica, so that such a
// name never breaks a listing, and never reaches outside a folder where
// paths are made of names (the kept copies of unsent files).
bool isShowableName(std::string_view name);

// What the kernel must forget after a change of the replica.
struct Invalidation {
    enum class Kind { entry, inode, attributes, deleted };  // attributes: the inode's, not its pages
    Kind kind;
    Inode parent = 0;  // entry, deleted
    std::string name;  // entry, deleted
    Inode inode = 0;   // inode, attributes, deleted
};

// The host's view of one domain: nodes by inode and by identifier, each
// folder's children by name. Items are applied by identifier, so a rename
// or a move keeps the node's inode, also when the move arrives as a deletion
// in one folder's changes and an addition in another's. Thread-safe.
//
// With a database file, every change is written through to it, and a new
// replica starts from what it holds: the nodes, their versions, what was
// listed and which copies are cached. Each call that changes the replica
// writes its changes in one transaction, and returns once they are
// committed (so what a caller did before, for instance recording a create
// before sending it, is on disk when it goes on). A listing writes only the
// nodes it changed: an item whose node already shows it as it is (same
// version, name, folder, size, dates, kind) is neither written nor reported
// to the kernel again.
//
// Locks: `mutex_` guards the nodes and is held only while they are read or
// changed in memory, never across a disk write, so lookups and reads never
// wait for a commit. `writerMutex_` guards the database connection and is
// held across a commit; it is taken before `mutex_` (which it takes briefly,
// to take the changes to write), never while `mutex_` is held. Commits happen
// in the order of the changes: a committer takes every change made so far,
// so that one commit may carry the changes of several calls.
class Replica {
public:
    // In memory only.
    Replica();
    // Kept in the SQLite database at `database`; throws std::runtime_error
    // when it cannot be opened or read (the caller starts over without it).
    explicit Replica(const std::filesystem::path& database);
    ~Replica();
    Replica(const Replica&) = delete;
    Replica& operator=(const Replica&) = delete;

    std::optional<ReplicaNode> node(Inode inode) const;
    std::optional<Inode> inodeOf(const ItemId& identifier) const;
    std::optional<ReplicaNode> child(Inode parent, const std::string& name) const;
    // Children sorted by name.
    std::vector<ReplicaNode> children(Inode parent) const;
    // The same, only as far as a folder read needs them (no copies of whole nodes).
    std::vector<FolderEntry> entries(Inode parent) const;
    bool hasChildren(Inode parent) const;
    std::optional<NodeAttributes> attributes(Inode inode) const;
    // Every folder listed so far.
    std::vector<Inode> listedFolders() const;
    // The node's path below the root ("" for the root); none when unreachable.
    std::optional<std::filesystem::path> relativePath(Inode inode) const;

    // A full listing of a folder: its children become exactly `items`.
    // `startedAt` is the local epoch when the listing began: nodes changed
    // here since are newer than what it says, and keep their state.
    // With `Commit::later`, a listing that removed no node returns before
    // it is written: a listing can be taken again, so its commit goes to a
    // background writer (or with the next call's commit, whichever comes
    // first), ahead of every later change.
    enum class Commit { now, later };
    std::vector<Invalidation> replaceChildren(Inode folder, const std::vector<ItemPtr>& items,
                                              std::optional<SyncAnchor> anchor, double now,
                                              std::uint64_t startedAt = UINT64_MAX, Commit when = Commit::now);
    // Returns once everything changed so far is committed.
    void commitAll();
    // Changes of a folder: items updated or added (placed by their own
    // parent identifier), identifiers deleted.
    std::vector<Invalidation> applyChanges(Inode folder, const std::vector<ItemPtr>& updated,
                                           const std::vector<ItemId>& deleted, std::optional<SyncAnchor> anchor,
                                           double now, std::uint64_t startedAt = UINT64_MAX);
    // Nodes removed with a cached copy; the caller deletes their cache files.
    std::vector<Inode> takeDroppedCaches();
    // Files with local changes removed with a folder (never dropped); the
    // caller keeps their cached copies elsewhere.
    std::vector<UnsentCopy> takeUnsentCopies();

    void setMaterialized(Inode inode, const ItemVersion& version);
    // The node takes the version and size of a fresh download (what reads
    // can reach); the kernel is told when that changed what it shows.
    std::vector<Invalidation> adopt(Inode inode, const ItemVersion& version, std::int64_t size);

    // Forgets the cached copy of a node (its file is missing).
    void clearMaterialized(Inode inode);
    // Nodes that have a cached copy.
    std::vector<Inode> materializedNodes() const;

    // ---- local changes
    // A new node made in the folder, under a fresh local identifier; none
    // when the name is taken. Files start dirty with an empty cached copy.
    std::optional<ReplicaNode> addLocal(Inode parent, const std::string& name, bool folder, Date now,
                                        std::vector<Invalidation>& out);
    // Changes a node in place: its identifier, parent and name may change
    // too (the indexes follow; the inode stays). False when it is gone, or
    // when the new name is taken in the new folder (nothing changes then).
    bool update(Inode inode, const std::function<void(ReplicaNode&)>& change, std::vector<Invalidation>& out);
    // Removes a node and everything below it. With `sendRemoval`, the
    // removal of the node's item is recorded in the same step, to be sent,
    // when the node names an item of the server at that moment.
    void erase(Inode inode, std::vector<Invalidation>& out, bool sendRemoval = false);
    // Puts `source` in the place of `target` (a rename over an existing
    // name), in one step, so that the name never goes missing: the target
    // and everything below it leave, and the source takes the target's
    // folder and name after `change` was applied to it. With
    // `sendTargetRemoval`, the removal of the target's item is recorded to
    // be sent (when it names an item of the server). With
    // `sendSourceRemoval`, so is the removal of the item the source named
    // until then, under a fresh inode that `sourceRemoval` receives. False
    // when either node is gone (nothing changes then).
    bool replace(Inode source, Inode target, const std::function<void(ReplicaNode&)>& change, bool sendTargetRemoval,
                 bool sendSourceRemoval, std::optional<Inode>& sourceRemoval, std::vector<Invalidation>& out);
    // The folder and every folder below it count as never listed: each is
    // listed afresh when it is next used.
    void forgetListings(Inode folder);
    // A fresh inode number for a removal whose node is gone or stays.
    Inode newInode();
    // Nodes with local changes.
    std::vector<ReplicaNode> nodesWithLocalChanges() const;
    // Removals not sent yet (their items are hidden from listings meanwhile).
    std::optional<PendingRemoval> removal(Inode inode) const;
    std::vector<PendingRemoval> removals() const;
    // Records a removal, or replaces the one of the same inode (an answer
    // that came after its node was removed names the item to remove).
    void setRemoval(const PendingRemoval& removal);
    // The removal was sent (or needs no sending).
    void finishRemoval(Inode inode);
    // Creates sent and not answered yet (written through at once).
    void recordSentCreate(const SentCreate& create);
    void finishSentCreate(Inode inode);
    std::optional<SentCreate> sentCreate(Inode inode) const;
    std::vector<SentCreate> sentCreates() const;
    // Counts local changes (addLocal, update).
    std::uint64_t localEpoch() const;
    // Whether changes are written to a database (false in memory, and after
    // a commit failed: the database was dropped then).
    bool persistent() const { return persistent_.load(); }

private:
    struct Batch;
    // Commits what a call changed once the call has let go of `mutex_`:
    // declared before the call's lock, so that it runs after the lock is
    // released, when the call returns.
    class Committer {
    public:
        explicit Committer(Replica& replica) : replica_(replica) {}
        ~Committer() {
            if (later_) {
                replica_.commitLater(change_);
            } else {
                replica_.commit(change_);
            }
        }
        // The changes are written by the background writer.
        void later() { later_ = true; }
        Committer(const Committer&) = delete;
        Committer& operator=(const Committer&) = delete;
        // Counts the call's changes (under `mutex_`).
        void mark() { change_ = replica_.markLocked(); }

    private:
        Replica& replica_;
        std::uint64_t change_ = 0;
        bool later_ = false;
    };
    void addRootLocked();
    void loadLocked();
    void loadRemovalsLocked();
    void setRemovalLocked(const PendingRemoval& removal);
    void touchLocked(Inode inode) { touched_.insert(inode); }
    // Counts the changes made under the lock since the last mark as one;
    // returns the number that `commit` waits for, or 0 when nothing is to
    // be written. Requires `mutex_`.
    std::uint64_t markLocked();
    // Returns once every change up to `change` is committed (or the
    // database is dropped). Takes `writerMutex_`, then `mutex_` briefly;
    // requires that neither is held.
    void commit(std::uint64_t change);
    // Hands every change up to `change` to the background writer. Requires
    // that neither lock is held.
    void commitLater(std::uint64_t change);
    void writeLaterLoop(std::stop_token stop);
    // Copies what changed since the last batch and clears the change sets.
    // Requires `mutex_`.
    Batch takeBatchLocked();
    // Writes a batch in one transaction; on failure the database is dropped
    // (the next start begins afresh). Requires `writerMutex_`.
    void writeBatch(const Batch& batch);
    // The connection's statement for `sql`, prepared once (none when `ok` is
    // false, or becomes false because it cannot be prepared). Requires
    // `writerMutex_`.
    ::sqlite3_stmt* statementLocked(const char* sql, bool& ok);
    // Finalizes the statements and closes the connection. Requires
    // `writerMutex_` (or no other user).
    void closeLocked();
    Inode parentInodeLocked(const ItemId& parentIdentifier) const;
    std::vector<Invalidation> upsertLocked(const Item& item, Inode parent, std::uint64_t startedAt = UINT64_MAX);
    // Removes a node and everything below it; `below` for a node removed
    // because a folder above it went.
    void removeLocked(Inode inode, std::vector<Invalidation>& out, bool below = false);
    std::optional<std::filesystem::path> relativePathLocked(Inode inode) const;

    // Guards everything below but the connection; see the class comment.
    mutable std::mutex mutex_;
    std::map<Inode, ReplicaNode> nodes_;
    std::unordered_map<ItemId, Inode> byIdentifier_;
    std::map<Inode, std::map<std::string, Inode>> children_;
    std::vector<Inode> droppedCaches_;
    std::vector<UnsentCopy> unsentCopies_;
    // Inodes of removed items, by identifier, for when they come back.
    static constexpr std::size_t kMaxRetired = 65536;
    std::map<ItemId, Inode> retired_;
    Inode nextInode_ = kRootInode + 1;
    // Changes not written yet: nodes, removals and sent creates to write
    // (or delete, when gone), counted by markLocked.
    std::set<Inode> touched_;
    std::set<Inode> erased_;
    std::map<Inode, PendingRemoval> removals_;
    std::map<Inode, SentCreate> sentCreates_;
    void loadSentCreatesLocked();
    std::set<Inode> sentCreatesTouched_;
    std::set<Inode> removalsTouched_;
    std::uint64_t changes_ = 0;  // the number of the last mark
    std::multiset<ItemId> hidden_;      // the identifiers of removals_
    // When removals were sent (local epoch), by identifier: a listing that
    // began before may still hold the item, and must not bring it back.
    std::map<ItemId, std::uint64_t> removedAt_;
    std::uint64_t localEpoch_ = 0;

    // Taken before `mutex_`, never under it; guards the connection and
    // `committed_`, and is held across a commit.
    std::mutex writerMutex_;
    ::sqlite3* database_ = nullptr;
    std::map<const char*, ::sqlite3_stmt*> statements_;  // by the address of their text (constants)
    std::filesystem::path databasePath_;
    std::uint64_t committed_ = 0;  // the last change committed
    std::atomic<bool> persistent_{false};

    // The background writer of listings: what it is to commit (guarded by
    // `laterMutex_`, taken alone). Started on first use; it commits what is
    // left when it stops.
    std::mutex laterMutex_;
    std::condition_variable_any laterWanted_;
    std::uint64_t later_ = 0;
    std::jthread laterWriter_;
};

}  // namespace nimbuscrate::fp::host
