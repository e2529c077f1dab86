// The write side of a mounted domain: changes made in the folder are applied
// to the replica and the content cache at once, and sent to the extension
// through a queue per item (one operation in flight per item). Pending work
// is kept in the replica, so that what was not sent goes out after a restart.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <future>
#include <set>
#include <utility>

#include "platform/core/PlatformError.h"
#include "platform/fileprovider/host/DomainMount.h"
#include "platform/fileprovider/host/WriteQueue.h"
#include "platform/log/Logger.h"
#include "platform/tasks/Clock.h"
#include "platform/tasks/OneAnswer.h"
#include "platform/tasks/TaskPool.h"

namespace nimbuscrate::fp::host {
namespace {

const Logger& logger() {
    static const Logger instance("app.nimbuscrate.fileprovider", "host");
    return instance;
}

constexpr auto kWriteTimeout = std::chrono::hours(6);
// How long a rename over a file waits for the target's new version to be
// answered (and for an operation of the target to end) before it goes on
// and lets the queue send it.
constexpr auto kReplaceWait = std::chrono::seconds(60);

Error busy(const std::string& why) { return Error{kPOSIXErrorDomain, EBUSY, ErrorUserInfo{why, nullptr}}; }

struct WriteResult {
    ItemPtr item;
    std::optional<Error> error;
};

bool writable(int flags) { return (flags & O_ACCMODE) != O_RDONLY || (flags & O_TRUNC); }

}  // namespace

struct DomainMount::Writes {
    struct Waiter {
        ItemId item;
        std::function<void(std::optional<Error>)> done;
    };

    // Taken by one waiter check at a time, before `mutex` (and the replica's).
    std::mutex waitersMutex;
    // Guards the state below (a leaf: nothing else is taken under it).
    mutable std::mutex mutex;
    std::map<Inode, std::int64_t> liveSizes;
    std::map<Inode, std::uint64_t> writeCounts;
    std::set<Inode> timeSet;  // the writer set the modification time after its last write
    std::vector<Waiter> waiters;
    std::uint64_t snapshots = 0;
    bool stopped = false;  // the writes stopped: waiters are answered at once
    // The queue of each item's changes (its own lock; not under `mutex`).
    std::unique_ptr<WriteQueue> queue;
};

void DomainMount::WritesDeleter::operator()(Writes* writes) const { delete writes; }

void DomainMount::startWrites() {
    writes_.reset(new Writes);
    WriteQueue::Options queue;
    queue.step = [this](Inode inode, std::stop_token stop) { return syncOnce(inode, stop); };
    queue.afterRun = [this] { notifyWaiters(); };
    queue.clock = options_.clock;
    queue.parkedRetrySeconds = options_.parkedRetrySeconds;
    queue.parkedRetryCapSeconds = options_.parkedRetryCapSeconds;
    writes_->queue = std::make_unique<WriteQueue>(std::move(queue));
    std::filesystem::remove_all(options_.stateDirectory / "staging");
    std::filesystem::create_directories(options_.stateDirectory / "staging");
    // What a previous run did not send goes out now, with the size of the
    // cached copy (a writer open when that run ended never recorded its own).
    for (const auto& node : replica_->nodesWithLocalChanges()) {
        if (node.dirty && !node.folder) {
            struct stat attributes{};
            const bool sized = ::stat(cachePath(node.inode).c_str(), &attributes) == 0;
            std::vector<Invalidation> ignored;
            replica_->update(node.inode, [&](ReplicaNode& changed) {
                changed.pending |= PendingWork::contents;
                if (sized) changed.size = attributes.st_size;
            }, ignored);
        }
        schedule(node.inode);
    }
    for (const auto& removal : replica_->removals()) schedule(removal.inode);
    // Creates a previous run sent without applying their answer: a node
    // still there sends its create again (which finds what the first one
    // made); the item of a node removed meanwhile is found and removed.
    for (const auto& sent : replica_->sentCreates()) {
        auto node = replica_->node(sent.inode);
        if (!node) {
            schedule(sent.inode);
        } else if (!(node->pending & PendingWork::create)) {
            replica_->finishSentCreate(sent.inode);
        }
    }
}

void DomainMount::stopWrites() {
    if (!writes_) return;
    // Running operations are cancelled; their work stays recorded.
    writes_->queue->stop();
    std::vector<Writes::Waiter> waiters;
    {
        std::lock_guard lock(writes_->mutex);
        writes_->stopped = true;
        waiters.swap(writes_->waiters);
    }
    for (auto& waiter : waiters) answerLater(std::move(waiter.done), Error::connectionInterrupted());
}

void DomainMount::schedule(Inode inode) {
    if (writes_) writes_->queue->schedule(inode);
}

std::variant<std::filesystem::path, Error> DomainMount::snapshotCopy(const ReplicaNode& node,
                                                                    std::uint64_t& writesAtSnapshot) {
    const Inode inode = node.inode;
    // The upload reads a snapshot, so that writes go on meanwhile; the
    // node stays dirty when it was written after the snapshot.
    std::uint64_t number = 0;
    {
        std::lock_guard lock(writes_->mutex);
        writesAtSnapshot = writes_->writeCounts[inode];
        number = ++writes_->snapshots;
    }
    auto target = options_.stateDirectory / "staging" / (std::to_string(inode) + "-" + std::to_string(number));
    std::error_code error;
    // With no writer open, the snapshot is a second name of the cached
    // copy (the next writer separates the two first); else a copy.
    if (!cache_.linkSnapshot(inode, target)) {
        std::filesystem::copy_file(cachePath(inode), target, std::filesystem::copy_options::overwrite_existing, error);
    }
    if (error) {
        logger().error("No snapshot of " + node.name + ": " + error.message());
        return Error{kPOSIXErrorDomain, EIO, ErrorUserInfo{"No snapshot of \"" + node.name + "\": " + error.message(), nullptr}};
    }
    // The file's own modification time is the one the folder shows.
    auto unix = node.modified.unixSeconds();
    timespec times[2];
    times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(unix);
    times[0].tv_nsec = times[1].tv_nsec = static_cast<long>((unix - static_cast<double>(static_cast<time_t>(unix))) * 1e9);
    ::utimensat(AT_FDCWD, target.c_str(), times, 0);
    return target;
}

bool DomainMount::syncOnce(Inode inode, std::stop_token stop) {
    // A failure that keeps the work for later: retried after a pause, or
    // parked until a signal.
    auto failed = [&](const Error& error) { return writes_->queue->failed(inode, error, stop); };
    auto succeeded = [&] { writes_->queue->succeeded(inode); };

    // A removal first: the node is gone from the folder already.
    if (auto removal = replica_->removal(inode)) {
        // A folder goes after what was removed inside it (its removal
        // would take their items along and leave their requests failing).
        for (const auto& inside : replica_->removals()) {
            if (inside.inode != inode && inside.parent == inode) return false;
        }
        if (isLocalIdentifier(removal->identifier)) {
            // Never created on the server: nothing to send.
            replica_->finishRemoval(inode);
            return false;
        }
        // The extension signals the folder after it answered; the removal
        // is applied here already, so that signal lists nothing again.
        std::vector<ItemId> answerSignals;
        if (auto folder = replica_->node(removal->parent)) answerSignals.push_back(folder->identifier);
        auto send = [&]() -> std::optional<std::optional<Error>> {
            auto answer = std::make_shared<OneAnswer<std::optional<Error>>>();
            auto progress = extension_->remove(removal->identifier, removal->version.value_or(ItemVersion{}),
                                               [this, answer, answerSignals](std::optional<Error> error) {
                                                   if (!error && !answerSignals.empty()) expectAnswerSignals(this, answerSignals);
                                                   answer->set(std::move(error));
                                               });
            auto result = answer->wait(stop, kWriteTimeout);
            if (!result && progress) progress->cancel();
            return result;
        };
        auto result = send();
        if (!result) return false;
        if (*result && result->value().is(kFileProviderErrorDomain, FileProviderErrorCode::noSuchItem)) {
            // The extension may have lost the item while the server still
            // holds it (a listing stored just before it was made): its
            // folder is listed again once, and the removal sent again.
            auto folder = replica_->node(removal->parent);
            if (folder && !isLocalIdentifier(folder->identifier) &&
                std::holds_alternative<std::vector<ItemPtr>>(listItems(folder->identifier))) {
                result = send();
                if (!result) return false;
            }
        }
        if (*result && !result->value().is(kFileProviderErrorDomain, FileProviderErrorCode::noSuchItem)) {
            return failed(**result);
        }
        succeeded();
        replica_->finishRemoval(inode);
        // The folder it was in may wait for it.
        if (replica_->removal(removal->parent)) schedule(removal->parent);
        return false;
    }

    auto node = replica_->node(inode);
    if (!node) {
        // A file removed here while (or before a crash, after) its create
        // was sent: the item that create made goes too, once it is found.
        auto sent = replica_->sentCreate(inode);
        if (!sent) return false;
        auto folder = replica_->node(sent->parent);
        if (!folder || isLocalIdentifier(folder->identifier)) {
            replica_->finishSentCreate(inode);
            return false;
        }
        auto listed = listItems(folder->identifier);
        if (auto* error = std::get_if<Error>(&listed)) return failed(*error);
        succeeded();
        std::optional<PendingRemoval> removal;
        for (const auto& item : std::get<std::vector<ItemPtr>>(listed)) {
            if (item && isSentCreate(*item, *sent)) {
                removal = PendingRemoval{inode, item->itemIdentifier(), item->itemVersion(), sent->parent};
            }
        }
        if (removal) {
            if (auto shown = replica_->inodeOf(removal->identifier)) {
                std::vector<Invalidation> gone;
                replica_->erase(*shown, gone);
                dispatch(std::move(gone));
                dropCaches();
            }
            replica_->setRemoval(*removal);
        }
        replica_->finishSentCreate(inode);
        return removal.has_value();
    }
    if (!node->hasLocalChanges()) return false;
    {
        // In the place of an item whose removal (or create, to be removed
        // when answered) is still under way: its queue starts this one
        // when it is done.
        if (auto blocker = writes_->queue->blockerOf(inode)) {
            if (writes_->queue->isRunning(*blocker) || replica_->removal(*blocker)) return false;
            if (!writes_->queue->endWait(inode, *blocker)) return false;
        }
    }
    auto parent = replica_->node(node->parent);
    if (!parent) return false;
    // Inside a folder that is not created yet: its creation schedules this one.
    if (isLocalIdentifier(parent->identifier)) return false;

    const bool creating = (node->pending & PendingWork::create) != 0;
    const bool sendContents = !node->folder && (creating || node->dirty || (node->pending & PendingWork::contents));
    std::optional<std::filesystem::path> snapshot;
    std::uint64_t writesAtSnapshot = 0;
    if (sendContents && !node->dirty) {
        // Only the time changed: the extension takes a new time only with
        // contents, so the server's own go with it (downloaded first when
        // the current version is not cached; nothing evicts it meanwhile,
        // as the node has work pending).
        auto error = downloads_.run(inode, [&]() -> std::optional<Error> {
            if (auto now = replica_->node(inode); now && cache_.isCurrent(*now)) return std::nullopt;
            return download(inode, node->identifier);
        });
        if (error) return failed(*error);
        // The download may have brought a newer version (and size).
        node = replica_->node(inode);
        if (!node) return false;
    }
    if (sendContents) {
        auto taken = snapshotCopy(*node, writesAtSnapshot);
        if (auto* error = std::get_if<Error>(&taken)) {
            writes_->queue->park(inode, *error);
            return false;
        }
        snapshot = std::get<std::filesystem::path>(taken);
    }

    ItemProperties properties;
    properties.identifier = node->identifier;
    properties.parent = parent->identifier;
    properties.filename = node->name;
    properties.contentType = node->contentType ? node->contentType : (node->folder ? ContentType::folder() : ContentType::data());
    properties.capabilities = node->capabilities;
    if (node->folder) {
        properties.documentSize = std::optional<std::int64_t>();
    } else {
        properties.documentSize = std::optional<std::int64_t>(node->size);
    }
    properties.creationDate = std::optional<Date>(node->created);
    properties.contentModificationDate = std::optional<Date>(node->modified);
    properties.version = node->version;
    auto itemTemplate = ItemSnapshot::make(properties);

    // The extension signals the item's folder after it answered (twice
    // for a change that moves nothing: its old folder and its new one);
    // the answer is applied here, so those signals list nothing again. A
    // move's old folder is listed.
    std::vector<ItemId> answerSignals{parent->identifier};
    if (!creating && !(node->pending & PendingWork::move)) answerSignals.push_back(parent->identifier);
    auto answer = std::make_shared<OneAnswer<WriteResult>>();
    auto done = [this, answer, answerSignals](ItemPtr item, ItemFields, bool, std::optional<Error> error) {
        if (item && !error) expectAnswerSignals(this, answerSignals);
        answer->set(WriteResult{std::move(item), std::move(error)});
    };
    ProgressPtr progress;
    // A create sent before (by this run, or by one that ended before its
    // answer came) may have made the item already: what it sent is kept,
    // to tell that item from another of the same name.
    std::optional<SentCreate> sentBefore;
    std::optional<SentCreate> sentNow;
    if (creating && !node->folder) {
        sentBefore = replica_->sentCreate(inode);
        std::error_code sizeError;
        const auto sentSize = snapshot ? std::filesystem::file_size(*snapshot, sizeError) : 0;
        sentNow = SentCreate{inode, node->parent, node->name, false, sizeError ? node->size : static_cast<std::int64_t>(sentSize),
                             node->modified};
        replica_->recordSentCreate(*sentNow);
    }
    if (creating) {
        ItemFields fields = ItemField::filename | ItemField::parentItemIdentifier | ItemField::creationDate |
                            ItemField::contentModificationDate | (snapshot ? ItemField::contents : 0);
        progress = extension_->create(itemTemplate, fields, snapshot, done);
    } else {
        ItemFields fields = 0;
        if (node->pending & PendingWork::move) fields |= ItemField::filename | ItemField::parentItemIdentifier;
        if (snapshot) fields |= ItemField::contents | ItemField::contentModificationDate;
        progress = extension_->modify(itemTemplate, node->version.value_or(ItemVersion{}), fields, snapshot, done);
    }
    auto result = answer->wait(stop, kWriteTimeout);
    if (snapshot) {
        std::error_code ignored;
        std::filesystem::remove(*snapshot, ignored);
    }
    if (!result) {
        if (progress) progress->cancel();
        return false;
    }
    // A rename over another file gave the node that file's item while the
    // request ran: the answer is about an item the node no longer stands
    // for. What it made on the server goes; the node's own work goes on.
    if (auto now = replica_->node(inode); now && now->identifier != node->identifier) {
        succeeded();
        if (creating) replica_->finishSentCreate(inode);
        if (!result->error) removeOrphan(result->item, node->parent);
        return now->hasLocalChanges();
    }
    // A folder whose name is taken by a folder on the server (its own create
    // answered as the host died, or one made elsewhere) becomes that folder,
    // and what waits inside it goes there. A file keeps its local copy and
    // waits (parked) instead: the server's file is never overwritten.
    bool adopted = false;
    if (creating && node->folder && result->error &&
        result->error->is(kFileProviderErrorDomain, FileProviderErrorCode::filenameCollision)) {
        auto listed = listItems(parent->identifier);
        if (auto* error = std::get_if<Error>(&listed)) return failed(*error);
        for (const auto& item : std::get<std::vector<ItemPtr>>(listed)) {
            if (item && item->isFolder() && item->filename() == properties.filename) {
                logger().info("The folder \"" + node->name + "\" is there already; the one on the server is used");
                result = WriteResult{item, std::nullopt};
                adopted = true;
                break;
            }
        }
    }
    // A file whose name is taken, when a create of it may have gone out
    // before: the server's file is the one made here when it has the size
    // and time a create sent (the node takes it, and bytes written since go
    // up as a change of it); otherwise the file made here is not lost to
    // a parked create: it takes a name of its own beside the other file.
    bool keepDirty = false;
    if (creating && !node->folder && sentBefore && result->error &&
        result->error->is(kFileProviderErrorDomain, FileProviderErrorCode::filenameCollision)) {
        auto listed = listItems(parent->identifier);
        if (auto* error = std::get_if<Error>(&listed)) return failed(*error);
        ItemPtr same;
        for (const auto& item : std::get<std::vector<ItemPtr>>(listed)) {
            if (item && !item->isFolder() && item->filename() == properties.filename) same = item;
        }
        const bool ofThisRound = same && isSentCreate(*same, *sentNow);
        if (same && (ofThisRound || isSentCreate(*same, *sentBefore))) {
            logger().info("\"" + node->name + "\" was created on the server before; it takes that item");
            result = WriteResult{same, std::nullopt};
            keepDirty = !ofThisRound;
        } else {
            std::vector<std::string> taken;
            for (const auto& item : std::get<std::vector<ItemPtr>>(listed)) {
                if (item) taken.push_back(item->filename());
            }
            const std::filesystem::path original(node->name);
            const auto stem = original.stem().string();
            const auto extension = original.extension().string();
            for (int number = 1; number < 1000; ++number) {
                auto name = stem + " (conflict" + (number == 1 ? std::string() : " " + std::to_string(number)) + ")" + extension;
                if (name.size() > kMaxNameBytes || std::find(taken.begin(), taken.end(), name) != taken.end()) continue;
                std::vector<Invalidation> changes;
                const bool renamed = replica_->update(inode, [&](ReplicaNode& changed) {
                    if (changed.identifier == node->identifier) changed.name = name;
                }, changes);
                if (!renamed) continue;
                dispatch(std::move(changes));
                replica_->finishSentCreate(inode);
                logger().info("\"" + node->name + "\" on the server is another file: the one made here goes up as \"" +
                              name + "\"");
                return true;
            }
        }
    }
    if (result->error || !result->item) {
        Error error = result->error.value_or(Error::fileProvider(FileProviderErrorCode::noSuchItem));
        if (!creating && error.is(kFileProviderErrorDomain, FileProviderErrorCode::noSuchItem)) {
            // Gone on the server meanwhile: what is here is created again.
            std::vector<Invalidation> ignored;
            replica_->update(inode, [&](ReplicaNode& changed) {
                if (changed.identifier != node->identifier) return;  // replaced meanwhile
                changed.pending = PendingWork::create | (changed.folder ? 0 : PendingWork::contents);
                if (!changed.folder) changed.dirty = true;
                changed.version.reset();
            }, ignored);
            return true;
        }
        return failed(error);
    }
    succeeded();
    if (creating) replica_->finishSentCreate(inode);

    // The answer re-keys the node; it stays dirty when written meanwhile,
    // and keeps a move made while the request ran.
    const ItemPtr item = result->item;
    const auto answered = ItemProperties::of(*item);
    std::uint64_t writesNow = 0;
    {
        std::lock_guard lock(writes_->mutex);
        writesNow = writes_->writeCounts[inode];
    }
    std::vector<Invalidation> changes;
    bool replacedMeanwhile = false;
    const bool movedFolder = node->folder && !creating && (node->pending & PendingWork::move);
    bool stillThere = replica_->update(inode, [&](ReplicaNode& changed) {
        if (changed.identifier != node->identifier) {
            replacedMeanwhile = true;
            return;
        }
        changed.identifier = answered.identifier;
        changed.version = answered.version;
        if (answered.capabilities) changed.capabilities = *answered.capabilities;
        if (answered.contentType) changed.contentType = answered.contentType;
        changed.pending &= ~PendingWork::create;
        if (changed.name == properties.filename && changed.parent == node->parent) changed.pending &= ~PendingWork::move;
        // What the server's folder holds already is listed on the next visit.
        if (adopted) {
            changed.listed = false;
            changed.anchor.reset();
        }
        if (!changed.folder && keepDirty) {
            // The server has what an earlier create sent: the copy goes up as a change.
            changed.dirty = true;
            changed.pending |= PendingWork::contents;
        } else if (!changed.folder && writesNow == writesAtSnapshot) {
            changed.dirty = false;
            changed.pending &= ~PendingWork::contents;
            // The cached copy is what was sent.
            if (answered.version) changed.materializedVersion = answered.version;
            if (answered.documentSize && *answered.documentSize) changed.size = **answered.documentSize;
        }
    }, changes);
    // The kernel forgets what the answer changed (and a listed node of the
    // same item that gave way to this one).
    dispatch(std::move(changes));
    dropCaches();
    if (replacedMeanwhile) {
        removeOrphan(item, node->parent);
        auto now = replica_->node(inode);
        return now && now->hasLocalChanges();
    }
    // The server's client forgets what was below a moved folder: it is
    // listed again before it is used.
    if (stillThere && movedFolder) replica_->forgetListings(inode);
    if (!stillThere) {
        // Removed while its request ran: the item as answered is removed
        // (also one just created, whose node had nothing to remove yet).
        auto removal = replica_->removal(inode);
        if (!removal && !creating) return false;
        // The unlink wins over its create's answer: a listing that ran
        // while the request did may have shown the new item under a node
        // of its own, which goes too.
        if (auto listed = replica_->inodeOf(answered.identifier); creating && listed && *listed != inode) {
            std::vector<Invalidation> gone;
            replica_->erase(*listed, gone);
            dispatch(std::move(gone));
            dropCaches();
        }
        replica_->setRemoval(PendingRemoval{inode, answered.identifier, answered.version,
                                            removal ? removal->parent : node->parent});
        return true;
    }
    // Items made inside a folder just created go next.
    if (node->folder && creating) {
        for (const auto& waiting : replica_->nodesWithLocalChanges()) {
            if (waiting.parent == inode) schedule(waiting.inode);
        }
    }
    auto now = replica_->node(inode);
    return now && now->hasLocalChanges();
}

void DomainMount::resumeParked() {
    if (writes_) writes_->queue->resumeParked();
}

void DomainMount::noteSuccess() {
    if (writes_) writes_->queue->noteSuccess();
}

std::size_t DomainMount::pendingOperations() const {
    if (!writes_) return 0;
    std::size_t count = 0;
    for (const auto& node : replica_->nodesWithLocalChanges()) {
        if (node.pending != 0) ++count;
    }
    return count + replica_->removals().size();
}

// ---- the file-system side

std::variant<ReplicaNode, int> DomainMount::makeNode(Inode parent, const std::string& name, bool folder) {
    if (auto error = ensureListed(parent)) return errnoFor(*error);
    auto parentNode = replica_->node(parent);
    if (!parentNode) return ENOENT;
    if (!parentNode->folder) return ENOTDIR;
    if (replica_->child(parent, name)) return EEXIST;
    std::vector<Invalidation> ignored;
    if (!folder) {
        // The node is recorded outside the files lock; until its empty
        // cached copy is there, what uses copies (an open of the new name, an
        // upload the folder's create starts at once) waits for the make to end.
        cache_.beginMake();
        struct MakeDone {
            ContentCache& cache;
            ~MakeDone() { cache.endMake(); }
        } done{cache_};
        auto made = replica_->addLocal(parent, name, folder, options_.clock->now(), ignored);
        if (!made) return EEXIST;
        recordingStep("make", made->inode);
        int descriptor = ::open(cachePath(made->inode).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (descriptor < 0) {
            int error = errno;
            replica_->erase(made->inode, ignored);
            return error;
        }
        ::close(descriptor);
        return *made;
    }
    auto made = replica_->addLocal(parent, name, folder, options_.clock->now(), ignored);
    if (!made) return EEXIST;
    schedule(made->inode);
    return *made;
}

std::variant<DomainMount::OpenFile*, int> DomainMount::openLocal(Inode inode, int flags) {
    const bool forWriting = writable(flags);
    const bool truncate = (flags & O_TRUNC) != 0;
    // The copy is checked (and downloaded first, unless it was changed here
    // or is emptied) and opened in one step under the lock evictions take,
    // so an eviction can never leave a writer an empty file to fill.
    auto opened = cache_.open(inode, true, forWriting, truncate, bringCurrent());
    if (auto* error = std::get_if<int>(&opened)) return *error;
    auto* file = std::get<OpenFile*>(opened);
    // An open of a file a rename replaced opens the file in its place.
    inode = file->inode;
    if (truncate) {
        {
            std::lock_guard writesLock(writes_->mutex);
            ++writes_->writeCounts[inode];
            writes_->liveSizes[inode] = 0;
        }
        std::vector<Invalidation> ignored;
        replica_->update(inode, [](ReplicaNode& changed) {
            changed.dirty = true;
            changed.size = 0;
            if (!changed.materializedVersion) changed.materializedVersion = ItemVersion{};
        }, ignored);
    }
    return file;
}

int DomainMount::writeLocal(OpenFile* file, const char* data, std::size_t size, off_t offset, std::size_t& count) {
    ssize_t written = ::pwrite(file->descriptor, data, size, offset);
    if (written < 0) return errno;
    count = static_cast<std::size_t>(written);
    bool markDirty = false;
    {
        std::lock_guard lock(writes_->mutex);
        ++writes_->writeCounts[file->inode];
        writes_->timeSet.erase(file->inode);
        auto& live = writes_->liveSizes[file->inode];
        if (live == 0) {
            struct stat attributes{};
            if (::fstat(file->descriptor, &attributes) == 0) live = attributes.st_size;
        }
        live = std::max<std::int64_t>(live, offset + written);
    }
    auto node = replica_->node(file->inode);
    markDirty = node && !node->dirty;
    if (markDirty) {
        std::vector<Invalidation> ignored;
        replica_->update(file->inode, [](ReplicaNode& changed) {
            changed.dirty = true;
            if (!changed.materializedVersion) changed.materializedVersion = ItemVersion{};
        }, ignored);
    }
    return 0;
}

int DomainMount::truncateLocal(Inode inode, off_t size) {
    // As for an open, and the file counts as changed before the lock goes:
    // an eviction never drops the copy between the check and the change.
    if (int error = cache_.truncate(inode, size, bringCurrent())) return error;
    {
        ChangeDone changed{cache_, inode};
        {
            std::lock_guard writesLock(writes_->mutex);
            ++writes_->writeCounts[inode];
            writes_->liveSizes[inode] = size;
        }
        std::vector<Invalidation> ignored;
        replica_->update(inode, [&](ReplicaNode& changed) {
            changed.dirty = true;
            changed.size = size;
            changed.modified = options_.clock->now();
            if (!changed.materializedVersion) changed.materializedVersion = ItemVersion{};
        }, ignored);
    }
    const bool open = cache_.isOpen(inode);
    // Without an open file nothing else queues it.
    if (!open) queueUpload(inode);
    return 0;
}

int DomainMount::setModificationDate(Inode inode, Date modified) {
    std::vector<Invalidation> ignored;
    bool owesUpload = false;
    bool known = replica_->update(inode, [&](ReplicaNode& changed) {
        changed.modified = modified;
        // A server item's new time is sent as a change of its contents' date.
        if (!changed.folder && !isLocalIdentifier(changed.identifier)) {
            changed.pending |= PendingWork::contents;
            owesUpload = true;
        }
    }, ignored);
    if (!known) return ENOENT;
    if (!writes_) return 0;
    {
        std::lock_guard lock(writes_->mutex);
        writes_->timeSet.insert(inode);
    }
    // Sent now, unless a writer is open: closing it sends the file, time and all.
    if (owesUpload && !cache_.hasWriter(inode)) schedule(inode);
    return 0;
}

std::optional<std::int64_t> DomainMount::liveSize(Inode inode) const {
    if (!writes_) return std::nullopt;
    std::lock_guard lock(writes_->mutex);
    auto found = writes_->liveSizes.find(inode);
    if (found == writes_->liveSizes.end()) return std::nullopt;
    return found->second;
}

void DomainMount::queueUpload(Inode inode) {
    const bool owed = recordClosedWriter(inode);
    // The write ended: what the kernel keeps of the file's attributes (a
    // listing read meanwhile may have given it older ones) is asked again.
    dispatch({Invalidation{Invalidation::Kind::attributes, 0, {}, inode}});
    if (owed) schedule(inode);
}

bool DomainMount::recordClosedWriter(Inode inode) {
    auto node = replica_->node(inode);
    if (!node || node->folder || !node->hasLocalChanges()) {
        // Nothing owed (a rename over a file sent what it wrote already):
        // the replica has its size.
        std::lock_guard lock(writes_->mutex);
        writes_->liveSizes.erase(inode);
        writes_->timeSet.erase(inode);
        return false;
    }
    bool written = false;
    {
        std::lock_guard lock(writes_->mutex);
        written = writes_->liveSizes.count(inode) > 0;
        // Written now, unless the writer set a time of its own afterwards.
        if (writes_->timeSet.erase(inode)) written = false;
    }
    std::optional<std::int64_t> size;
    struct stat attributes{};
    if (!node->folder && ::stat(cachePath(inode).c_str(), &attributes) == 0) size = attributes.st_size;
    const Date now = options_.clock->now();
    std::vector<Invalidation> ignored;
    replica_->update(inode, [&](ReplicaNode& changed) {
        if (changed.dirty) changed.pending |= PendingWork::contents;
        if (size) changed.size = *size;
        if (written) changed.modified = now;
    }, ignored);
    {
        // Only now: until the replica has the size, attributes show the live one.
        std::lock_guard lock(writes_->mutex);
        writes_->liveSizes.erase(inode);
    }
    return true;
}

int DomainMount::renameLocal(Inode parent, const std::string& name, Inode newParent, const std::string& newName,
                             unsigned flags) {
#ifndef RENAME_NOREPLACE
    constexpr unsigned RENAME_NOREPLACE = 1;
#endif
    // Exchanging two names (and whiteouts) the server cannot carry.
    if (flags & ~RENAME_NOREPLACE) return EINVAL;
    if (auto error = ensureListed(newParent)) return errnoFor(*error);
    auto node = replica_->child(parent, name);
    if (!node) return ENOENT;
    auto target = replica_->node(newParent);
    if (!target) return ENOENT;
    if (!target->folder) return ENOTDIR;
    auto existing = replica_->child(newParent, newName);
    if (existing && existing->inode == node->inode) return 0;
    if (existing) {
        if (flags & RENAME_NOREPLACE) return EEXIST;
        return replaceLocal(*node, *existing);
    }
    std::vector<Invalidation> ignored;
    bool moved = replica_->update(node->inode, [&](ReplicaNode& changed) {
        changed.parent = newParent;
        changed.name = newName;
        // Also during a create: its answer keeps the move when the name or
        // folder it was sent with is no longer the node's.
        changed.pending |= PendingWork::move;
    }, ignored);
    if (!moved) return EEXIST;
    schedule(node->inode);
    return 0;
}

int DomainMount::replaceLocal(const ReplicaNode& source, const ReplicaNode& target) {
    if (source.folder && !target.folder) return ENOTDIR;
    if (!source.folder && target.folder) return EISDIR;
    if (target.folder) {
        // Emptiness is known only from a listing.
        if (auto error = ensureListed(target.inode)) return errnoFor(*error);
        if (replica_->hasChildren(target.inode)) return ENOTEMPTY;
    }
    if (!target.folder && !isLocalIdentifier(target.identifier)) return replaceFile(source, target);
    return moveInPlace(source, target);
}

int DomainMount::moveInPlace(const ReplicaNode& source, const ReplicaNode& target) {
    // The target is removed (on the server too, once it is there) and the
    // source moves into its place. Should the server still hold the old
    // item when the move arrives, the move waits for the removal.
    {
        std::lock_guard lock(writes_->mutex);
        writes_->liveSizes.erase(target.inode);
    }
    writes_->queue->waitFor(source.inode, target.inode);
    cache_.noteReplacement(target.inode, source.inode);
    std::vector<Invalidation> ignored;
    std::optional<Inode> noRemoval;
    const bool replaced = replica_->replace(
        source.inode, target.inode, [](ReplicaNode& changed) { changed.pending |= PendingWork::move; }, true, false,
        noRemoval, ignored);
    if (!replaced) return ENOENT;
    dropCaches();
    if (replica_->removal(target.inode)) schedule(target.inode);
    schedule(source.inode);
    return 0;
}

bool DomainMount::claimQueue(Inode inode) { return writes_->queue->claim(inode, stop_.get_token(), kReplaceWait); }

void DomainMount::releaseQueue(Inode inode) { writes_->queue->release(inode); }

int DomainMount::replaceFile(const ReplicaNode& source, const ReplicaNode& target) {
    // One operation in flight per item: the target's queue is held while
    // its new version goes out.
    if (!claimQueue(target.inode)) return EBUSY;
    struct Release {
        DomainMount& mount;
        Inode inode;
        ~Release() { mount.releaseQueue(inode); }
    } release{*this, target.inode};

    // The source's bytes: its cached copy (downloaded first when it is not current).
    auto node = replica_->node(source.inode);
    if (!node) return ENOENT;
    const bool beingWritten = cache_.hasWriter(source.inode);
    if (!node->dirty && !beingWritten && !cache_.isCurrent(*node)) {
        auto error = downloads_.run(source.inode, [&]() -> std::optional<Error> {
            if (auto now = replica_->node(source.inode); now && cache_.isCurrent(*now)) return std::nullopt;
            return download(source.inode, node->identifier);
        });
        if (error) return errnoFor(*error);
        node = replica_->node(source.inode);
        if (!node) return ENOENT;
    }
    auto folder = replica_->node(target.parent);
    if (!folder) return ENOENT;
    std::uint64_t writesAtSnapshot = 0;
    auto taken = snapshotCopy(*node, writesAtSnapshot);
    if (auto* error = std::get_if<Error>(&taken)) return errnoFor(*error);
    const auto snapshot = std::get<std::filesystem::path>(taken);

    ItemProperties properties;
    properties.identifier = target.identifier;
    properties.parent = folder->identifier;
    properties.filename = target.name;
    properties.contentType = target.contentType ? target.contentType : ContentType::data();
    properties.capabilities = target.capabilities;
    properties.documentSize = std::optional<std::int64_t>(node->size);
    properties.creationDate = std::optional<Date>(target.created);
    properties.contentModificationDate = std::optional<Date>(node->modified);
    properties.version = target.version;
    auto answer = std::make_shared<OneAnswer<WriteResult>>();
    auto progress = extension_->modify(ItemSnapshot::make(properties), target.version.value_or(ItemVersion{}),
                                       ItemField::contents | ItemField::contentModificationDate, snapshot,
                                       [answer](ItemPtr item, ItemFields, bool, std::optional<Error> error) {
                                           answer->set(WriteResult{std::move(item), std::move(error)});
                                       });
    // A stop of the mount ends the wait too: the new version then goes
    // out from the queue after the next start.
    auto result = answer->wait(stop_.get_token(), kReplaceWait);
    {
        std::error_code ignored;
        std::filesystem::remove(snapshot, ignored);
    }
    if (result && result->error && result->error->is(kFileProviderErrorDomain, FileProviderErrorCode::noSuchItem)) {
        // The target is gone on the server: the source simply takes its place.
        return moveInPlace(source, target);
    }
    if (result && result->error &&
        !result->error->is(kFileProviderErrorDomain, FileProviderErrorCode::serverUnreachable)) {
        // Refused: the source stays where it was, with its data.
        logger().error("\"" + target.name + "\" could not take the place of \"" + source.name +
                       "\": " + result->error->localizedDescription());
        return errnoFor(*result->error);
    }
    const bool answered = result && !result->error && result->item;
    if (!answered) {
        // Not answered (in time), or the server is out of reach: the new
        // version is sent from the queue.
        if (progress && !result) progress->cancel();
        logger().info("The new version of \"" + target.name + "\" is sent later");
    }
    std::optional<ItemProperties> item;
    if (answered) item = ItemProperties::of(*result->item);
    std::uint64_t writesNow = 0;
    {
        std::lock_guard lock(writes_->mutex);
        writesNow = writes_->writeCounts[source.inode];
        writes_->liveSizes.erase(target.inode);
    }
    // The source's own item goes from the server (one never sent has none;
    // one whose create is under way goes when it is answered).
    std::optional<Inode> removal;
    cache_.noteReplacement(target.inode, source.inode);
    std::vector<Invalidation> ignored;
    const bool replaced = replica_->replace(source.inode, target.inode, [&](ReplicaNode& changed) {
        changed.identifier = item ? item->identifier : target.identifier;
        changed.version = item ? item->version : target.version;
        changed.capabilities = item && item->capabilities ? *item->capabilities : target.capabilities;
        if (item && item->contentType) {
            changed.contentType = item->contentType;
        } else if (target.contentType) {
            changed.contentType = target.contentType;
        }
        changed.created = target.created;
        changed.pending = 0;
        if (answered && writesNow == writesAtSnapshot) {
            changed.dirty = false;
            if (item->version) changed.materializedVersion = item->version;
            if (item->documentSize && *item->documentSize) changed.size = **item->documentSize;
        } else {
            // Written meanwhile, or not answered: the copy goes out from the queue.
            changed.dirty = true;
            changed.pending = PendingWork::contents;
            if (!changed.materializedVersion) changed.materializedVersion = ItemVersion{};
        }
    }, false, true, removal, ignored);
    if (!replaced) return ENOENT;
    dropCaches();
    if (removal) schedule(*removal);
    if (auto now = replica_->node(source.inode); now && now->hasLocalChanges()) schedule(source.inode);
    return 0;
}

void DomainMount::waitForMovesAbove(Inode inode) {
    if (!writes_) return;
    std::vector<Inode> moving;
    auto node = replica_->node(inode);
    for (int depth = 0; node && depth < 4096; ++depth) {
        if (node->pending & PendingWork::move) moving.push_back(node->inode);
        if (node->inode == kRootInode) break;
        node = replica_->node(node->parent);
    }
    writes_->queue->waitWhileRunning(moving, stop_.get_token(), kReplaceWait);
}

void DomainMount::removeOrphan(const ItemPtr& item, Inode parent) {
    if (!item) return;
    const ItemId identifier = item->itemIdentifier();
    if (isLocalIdentifier(identifier)) return;
    if (auto listed = replica_->inodeOf(identifier)) {
        // A listing met it before its answer came: that node goes, and the
        // item with it (unless something was written to it meanwhile).
        auto node = replica_->node(*listed);
        if (!node || node->hasLocalChanges()) return;
        std::vector<Invalidation> changes;
        replica_->erase(*listed, changes, true);
        dispatch(std::move(changes));
        dropCaches();
        if (replica_->removal(*listed)) schedule(*listed);
        return;
    }
    const Inode inode = replica_->newInode();
    replica_->setRemoval(PendingRemoval{inode, identifier, item->itemVersion(), parent});
    schedule(inode);
}

int DomainMount::removeLocal(Inode parent, const std::string& name, bool folder) {
    auto node = replica_->child(parent, name);
    if (!node) return ENOENT;
    if (folder && !node->folder) return ENOTDIR;
    if (!folder && node->folder) return EISDIR;
    if (folder) {
        // Emptiness is known only from a listing.
        if (auto error = ensureListed(node->inode)) return errnoFor(*error);
        if (replica_->hasChildren(node->inode)) return ENOTEMPTY;
    }
    {
        std::lock_guard lock(writes_->mutex);
        writes_->liveSizes.erase(node->inode);
    }
    // An item on the server is removed there: the removal is recorded with
    // the node's, so that it survives a restart. (A create in flight has
    // its item removed once it is answered.)
    std::vector<Invalidation> ignored;
    replica_->erase(node->inode, ignored, true);
    dropCaches();
    if (replica_->removal(node->inode)) schedule(node->inode);
    return 0;
}

// ---- eviction, waiting and the materialized items

std::optional<Error> DomainMount::evict(const ItemId& identifier) {
    auto inode = replica_->inodeOf(identifier);
    if (!inode) return Error::fileProvider(FileProviderErrorCode::noSuchItem);
    auto node = replica_->node(*inode);
    if (!node) return Error::fileProvider(FileProviderErrorCode::noSuchItem);
    if (node->folder) return Error{kPOSIXErrorDomain, EISDIR, ErrorUserInfo{"Folders have no cached copy.", nullptr}};
    if (node->hasLocalChanges()) return busy("\"" + node->name + "\" has changes not yet sent.");
    if (writes_) {
        if (writes_->queue->isRunning(*inode) || replica_->removal(*inode)) return busy("\"" + node->name + "\" has an operation in flight.");
    }
    std::string failure;
    switch (cache_.drop(*inode, node->materializedVersion.has_value(), failure)) {
        case ContentCache::Drop::inUse:
            return busy("\"" + node->name + "\" is open.");
        case ContentCache::Drop::nothingCached:
            return std::nullopt;
        case ContentCache::Drop::changed:
            return busy("\"" + node->name + "\" has changes not yet sent.");
        case ContentCache::Drop::failed:
            return Error{kPOSIXErrorDomain, EIO, ErrorUserInfo{failure, nullptr}};
        case ContentCache::Drop::dropped:
            break;
    }
    {
        ChangeDone changed{cache_, *inode};
        recordingStep("evict", *inode);
        replica_->clearMaterialized(*inode);
    }
    dispatch({Invalidation{Invalidation::Kind::inode, 0, {}, *inode}});
    return std::nullopt;
}

void DomainMount::notifyWaiters() {
    if (!writes_) return;
    std::vector<std::pair<std::function<void(std::optional<Error>)>, std::optional<Error>>> ready;
    {
        // One at a time: a call that took the waiters out puts back those
        // still waiting before the next one looks, so no news is missed.
        std::lock_guard serial(writes_->waitersMutex);
        findAnsweredWaiters(ready);
    }
    for (auto& [done, result] : ready) answerLater(std::move(done), result);
}

void DomainMount::findAnsweredWaiters(
    std::vector<std::pair<std::function<void(std::optional<Error>)>, std::optional<Error>>>& ready) {
    {
        std::lock_guard lock(writes_->mutex);
        if (writes_->waiters.empty()) return;
    }
    // The work still owed: nodes with local changes, removals not sent, and
    // whatever a task runs now.
    std::set<Inode> work;
    for (const auto& node : replica_->nodesWithLocalChanges()) work.insert(node.inode);
    std::map<Inode, PendingRemoval> removals;
    for (auto& removal : replica_->removals()) {
        work.insert(removal.inode);
        removals.emplace(removal.inode, std::move(removal));
    }
    // What the queues do now, taken under their lock; the replica is read
    // after it is released.
    std::vector<Writes::Waiter> waiters;
    {
        std::lock_guard lock(writes_->mutex);
        waiters.swap(writes_->waiters);
    }
    const auto [running, parked] = writes_->queue->snapshot();
    work.insert(running.begin(), running.end());

    // Where work sits: a node's folder, or the folder a removed node was in.
    auto parentOf = [&](Inode inode) -> Inode {
        if (auto node = replica_->node(inode)) return node->parent;
        auto removal = removals.find(inode);
        return removal != removals.end() ? removal->second.parent : 0;
    };
    // Work that nothing but a signal moves on: parked, or waiting for what
    // is parked (the create of the folder it is in, the removals inside a
    // folder to be removed). The error that stopped it; none while it can
    // still move (it runs, or waits for a writer to close, for instance).
    std::function<std::optional<Error>(Inode, int)> stuck = [&](Inode inode, int depth) -> std::optional<Error> {
        if (depth > 4096 || running.count(inode)) return std::nullopt;
        if (auto found = parked.find(inode); found != parked.end()) return found->second;
        if (removals.count(inode)) {
            std::optional<Error> inside;
            for (const auto& [other, removal] : removals) {
                if (removal.parent != inode) continue;
                auto error = stuck(other, depth + 1);
                if (!error) return std::nullopt;
                inside = inside.value_or(*error);
            }
            return inside;
        }
        auto node = replica_->node(inode);
        if (!node) return std::nullopt;
        auto parent = replica_->node(node->parent);
        if (!parent || !isLocalIdentifier(parent->identifier) || !parent->hasLocalChanges()) return std::nullopt;
        return stuck(parent->inode, depth + 1);
    };
    // Everything is below the root (also a node removed while its request runs).
    auto below = [&](Inode inode, Inode top) {
        if (top == kRootInode) return true;
        for (int depth = 0; depth < 4096 && inode != 0; ++depth) {
            if (inode == top) return true;
            if (inode == kRootInode) return false;
            inode = parentOf(inode);
        }
        return false;
    };

    for (auto waiter = waiters.begin(); waiter != waiters.end();) {
        std::optional<Inode> top = kRootInode;
        if (waiter->item != kRootContainer && waiter->item != kWorkingSet) top = replica_->inodeOf(waiter->item);
        bool moving = false;
        std::optional<Error> stoppedBy;
        for (Inode inode : work) {
            if (!top || !below(inode, *top)) continue;
            auto error = stuck(inode, 0);
            if (!error) {
                moving = true;
                break;
            }
            if (!stoppedBy) stoppedBy = error;
        }
        if (moving) {
            ++waiter;
            continue;
        }
        // Done, or nothing more goes out until a signal: then the wait
        // fails with what stopped it.
        ready.emplace_back(std::move(waiter->done), stoppedBy);
        waiter = waiters.erase(waiter);
    }
    if (!waiters.empty()) {
        // Those still waiting go back (after any that came meanwhile), unless
        // the writes stopped meanwhile: then they are answered as at the stop.
        std::lock_guard lock(writes_->mutex);
        for (auto& waiter : waiters) {
            if (writes_->stopped) {
                ready.emplace_back(std::move(waiter.done), Error::connectionInterrupted());
            } else {
                writes_->waiters.push_back(std::move(waiter));
            }
        }
    }
}

void DomainMount::waitForChanges(const ItemId& identifier, std::function<void(std::optional<Error>)> done) {
    if (!writes_) {
        answerLater(std::move(done), Error::connectionInterrupted());
        return;
    }
    {
        std::lock_guard lock(writes_->mutex);
        if (!writes_->stopped) {
            writes_->waiters.push_back(Writes::Waiter{identifier, std::move(done)});
            done = nullptr;
        }
    }
    if (done) return answerLater(std::move(done), Error::connectionInterrupted());
    notifyWaiters();
}

std::pair<std::vector<ItemPtr>, std::optional<Page>> DomainMount::materializedPage(const Page& page, std::size_t size) {
    Inode start = 0;
    if (!page.empty()) start = std::strtoull(std::string(page.begin(), page.end()).c_str(), nullptr, 10);
    auto inodes = replica_->materializedNodes();
    std::sort(inodes.begin(), inodes.end());
    std::vector<ItemPtr> items;
    std::optional<Page> next;
    for (Inode inode : inodes) {
        if (inode < start) continue;
        auto node = replica_->node(inode);
        if (!node || node->folder || isLocalIdentifier(node->identifier)) continue;
        if (items.size() == size) {
            auto text = std::to_string(inode);
            next = Page(text.begin(), text.end());
            break;
        }
        auto parent = replica_->node(node->parent);
        ItemProperties properties;
        properties.identifier = node->identifier;
        properties.parent = parent ? parent->identifier : kRootContainer;
        properties.filename = node->name;
        properties.contentType = node->contentType;
        properties.capabilities = node->capabilities;
        properties.documentSize = std::optional<std::int64_t>(node->size);
        properties.creationDate = std::optional<Date>(node->created);
        properties.contentModificationDate = std::optional<Date>(node->modified);
        properties.version = node->version;
        items.push_back(ItemSnapshot::make(std::move(properties)));
    }
    return {std::move(items), std::move(next)};
}

std::size_t DomainMount::preserveLocalChanges(const std::filesystem::path& folder, std::size_t* lost) {
    std::size_t kept = 0;
    std::size_t failed = 0;
    for (const auto& node : replica_->nodesWithLocalChanges()) {
        if (node.folder) continue;
        auto relative = replica_->relativePath(node.inode).value_or(std::filesystem::path(node.name));
        std::error_code error;
        if (keepCopyOrSafe(cachePath(node.inode), folder, relative, node.inode)) {
            ++kept;
        } else if (std::filesystem::exists(cachePath(node.inode), error)) {
            ++failed;
            logger().error("Could not keep the unsent file \"" + relative.string() + "\" in " + folder.string());
        }
    }
    if (kept) logger().info("Kept " + std::to_string(kept) + " unsent files in " + folder.string());
    if (lost) *lost = failed;
    return kept;
}

}  // namespace nimbuscrate::fp::host
