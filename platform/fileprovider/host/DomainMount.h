#pragma once

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "platform/fileprovider/ReplicatedExtension.h"
#include "platform/fileprovider/host/ChangeRequests.h"
#include "platform/fileprovider/host/ContentCache.h"
#include "platform/fileprovider/host/KernelNotifier.h"
#include "platform/fileprovider/host/Replica.h"
#include "platform/fileprovider/host/SingleFlight.h"

struct fuse_session;

namespace nimbuscrate::fp::host {

// How the host is put together (one DomainMount per mounted domain):
// - the kernel adapter (KernelAdapter.h) turns FUSE calls into the requests
//   below and answers them;
// - the kernel notifier (KernelNotifier.h) tells the kernel what to forget;
// - change requests (ChangeRequests.h) run rounds of change enumerations per
//   container, and the listing side (list, refreshFolder) applies them;
// - the content cache (ContentCache.h) keeps the cached copies and the
//   files open on them; the mount brings copies into it (downloads) and
//   evicts them;
// - the write queue (WriteQueue.h) runs each item's steps one at a time,
//   with retries and parking; the steps that send local changes, and the
//   local changes themselves, are the mount's (DomainMountWrites.cpp);
// - the manager the extension is given answers at once the signals it sends
//   after answering a change sent from here (AnswerSignals below): that
//   answer is applied already, and lists nothing again.
//
// Errors: inside the host an error is a positive errno value. A function
// that can fail returns 0 or the errno (`int`), or a std::variant<T, int>
// whose int is the errno; an extension's Error becomes an errno once,
// through errnoFor, where a file-system call is answered.
//
// Locks, in the order they may be taken (an arrow: the right one may be
// taken while the left one is held; never the other way):
//   Writes::waitersMutex -> WriteQueue::mutex_, Writes::mutex (one at a time)
//   Writes::waitersMutex -> the replica's mutex (reads)
//   ContentCache::mutex_ -> the replica's mutex (reads)
// Writes::mutex (sizes and counts of files being written, the waiters) and
// WriteQueue::mutex_ are leaves otherwise.
// The mutexes of the kernel notifier, of the change requests, of the single
// flights (listings_, downloads_, refreshes_), loopMutex_ and foldersMutex_
// are leaves: nothing is taken under them (the notes of the signals an answer
// expects are per thread and take no lock). The replica's mutex is the last
// of all: a change the replica applies (Replica::update's callback) takes
// no lock and never calls the replica. No lock is held across a commit of
// the replica, a kernel notice, a reply to the kernel, or a wait for the
// extension; a change that must look atomic to opens marks its inode as
// changing instead (ContentCache::endChange), which only opens of that
// inode wait for.

// The errno a file-system call reports for an error of the extension.
int errnoFor(const Error& error);

// One registered domain served as a folder through FUSE: the extension made
// for it, the replica of what it listed, and a content cache of downloaded
// files. Folders are listed through the extension's enumerators on first use
// and refreshed with a change enumeration when stale or signalled; opening a
// file downloads it into the cache (concurrent opens share one download), and
// reads are served from the cached file.
class DomainMount {
public:
    struct Options {
        Domain domain;
        std::filesystem::path mountpoint;
        std::filesystem::path stateDirectory;  // cache and downloads of this domain
        ExtensionFactory factory;
        TaskPool* tasks = nullptr;
        Clock* clock = nullptr;
        // The manager handed to the extension (may give null).
        std::function<ManagerPtr()> manager;
        double staleAfterSeconds = 30;
        // Parked changes are tried again on their own after this pause,
        // doubled each time up to the cap (real time); a change sent, a
        // download or a listing that succeeds tries them again at once.
        double parkedRetrySeconds = 30;
        double parkedRetryCapSeconds = 300;
        // Where answers to waiters run that come after their call (the task
        // pool when null). Not the mount's own: an answer may hold the last
        // reference to the mount, which then goes on that pool's thread.
        TaskPool* answers = nullptr;
        // Runs at the start of every file-system call with the call's name
        // (tests use it to make a call fail in ways the code cannot).
        std::function<void(std::string_view operation)> beforeOperation;
        // Runs where the host records a change in the replica or tells the
        // kernel about one ("download", "make", "evict", "notify"), with the
        // inode concerned, outside every lock the file-system calls take
        // (tests hold it there to show that those calls are still answered).
        std::function<void(std::string_view step, Inode inode)> whileRecording;
    };

    explicit DomainMount(Options options);
    ~DomainMount();
    DomainMount(const DomainMount&) = delete;
    DomainMount& operator=(const DomainMount&) = delete;

    // Prepares the mount point (created 0700; a non-empty folder that is
    // not ours is refused), makes the extension and mounts. Throws on failure.
    void mount();
    // Unmounts and stops; safe to call twice.
    void unmount();
    bool mounted() const { return session_ != nullptr; }

    // A signal from the extension, the app or the channel: parked changes
    // are tried again, and the container's changes are asked for (see
    // requestChanges).
    void signal(const ItemId& container, std::function<void(std::optional<Error>)> done);
    std::optional<std::filesystem::path> userVisiblePath(const ItemId& item) const;

    const Domain& domain() const { return options_.domain; }
    // The test hook of the options (see beforeOperation).
    void beforeOperation(std::string_view operation) const {
        if (options_.beforeOperation) options_.beforeOperation(operation);
    }
    // The test hook of the options (see whileRecording).
    void recordingStep(std::string_view step, Inode inode) const {
        if (options_.whileRecording) options_.whileRecording(step, inode);
    }
    const std::filesystem::path& mountpoint() const { return options_.mountpoint; }
    const std::filesystem::path& stateDirectory() const { return options_.stateDirectory; }
    ReplicatedExtension& extension() { return *extension_; }
    Replica& replica() { return *replica_; }
    std::size_t changeEnumerations() const { return changeEnumerations_; }
    // Opens that waited for a download another open had started.
    std::size_t sharedDownloads() const { return downloads_.followers(); }

    // ---- called by the file-system callbacks
    std::optional<Error> ensureListed(Inode folder);
    // An open file of a cached copy (see ContentCache).
    using OpenFile = ContentCache::OpenFile;
    // Opens the current copy (downloading it when needed); an errno on failure.
    std::variant<OpenFile*, int> openCached(Inode inode);
    void release(OpenFile* file);
    // An open folder: its entries as they were when it was opened, which
    // reads of it page through.
    struct OpenFolder {
        std::vector<FolderEntry> entries;
    };
    OpenFolder* openFolder(Inode inode);
    void releaseFolder(OpenFolder* folder);
    void fillAttributes(const NodeAttributes& node, struct stat& attributes) const;
    void fillAttributes(const ReplicaNode& node, struct stat& attributes) const {
        fillAttributes(node.attributes(), attributes);
    }
    // An entry of an open folder is a copy taken when it was opened: the
    // node as it is now answers for it, while it is still there.
    NodeAttributes currentAttributes(const FolderEntry& entry) const;
    // The attributes of an inode that is gone from the folder (removed, or
    // replaced by a rename) while a file of it is still open; false when none is.
    bool openFileAttributes(Inode inode, struct stat& attributes) const;
    // A new size or modification time for such a file, through `file` (the
    // handle the call came with) or else an open file of the inode that can
    // take it; the file's attributes after. An errno on failure.
    int changeOpenFile(Inode inode, OpenFile* file, std::optional<off_t> size, std::optional<timespec> modified,
                       struct stat& attributes);

    // ---- changes made in the folder (DomainMountWrites.cpp). Each item has
    // a queue with one operation in flight; an errno on failure.
    std::variant<ReplicaNode, int> makeNode(Inode parent, const std::string& name, bool folder);
    // Opens a file for writing (downloaded first unless truncated), or a
    // file with local changes for reading.
    std::variant<OpenFile*, int> openLocal(Inode inode, int flags);
    // Writes into the cached copy; `written` gets the bytes written. 0 or an errno.
    int writeLocal(OpenFile* file, const char* data, std::size_t size, off_t offset, std::size_t& written);
    int truncateLocal(Inode inode, off_t size);
    int setModificationDate(Inode inode, Date modified);
    // A dirty file is snapshotted and queued for upload (release, fsync).
    void queueUpload(Inode inode);
    int renameLocal(Inode parent, const std::string& name, Inode newParent, const std::string& newName, unsigned flags);
    int removeLocal(Inode parent, const std::string& name, bool folder);
    // The size reads can reach while a file is written, when it differs from the replica's.
    std::optional<std::int64_t> liveSize(Inode inode) const;

    // Drops the cached copy of a known, closed, clean file with nothing
    // queued; fails (EBUSY) otherwise, and nothing is lost.
    std::optional<Error> evict(const ItemId& identifier);
    // Completes once no change below the item waits to be sent; fails with
    // the error of what is parked when all that is left below waits for a
    // signal (parked, or held up by something parked).
    void waitForChanges(const ItemId& identifier, std::function<void(std::optional<Error>)> done);
    // A page of the items with a cached copy, and the next page.
    std::pair<std::vector<ItemPtr>, std::optional<Page>> materializedPage(const Page& page, std::size_t size = 200);
    // Moves the cached copies of dirty and unsent files into `folder`
    // (under their paths; one that cannot stand there under a safe name,
    // with a note of its path); called before the domain's state is
    // removed. `lost` gets the number of copies that could not be kept at
    // all (they stay in the cache).
    std::size_t preserveLocalChanges(const std::filesystem::path& folder, std::size_t* lost = nullptr);
    // Where unsent files go that the drive can no longer show (beside the
    // mount point, named after the domain and the time).
    std::filesystem::path preservedFolder() const;
    // Queued or running operations (for tests and waiting).
    std::size_t pendingOperations() const;
    // Parked items are tried again (after a signal, or when the service is back).
    void resumeParked();

private:
    // The extension signals an item's folder after it answered a change of
    // it sent from here. That answer is applied here already (the node takes
    // the item it names), so such a signal lists nothing again: the answer
    // notes, on the thread that gives it, which folders the extension may
    // signal next for it, and the manager the extension is given answers
    // those signals at once. Any other signal (another folder, another
    // thread, the app or the channel) goes through and is listed.
    class AnswerSignals;
    static void expectAnswerSignals(const DomainMount* mount, std::vector<ItemId> folders);
    // A request of the domain succeeded: the pauses start small again, and
    // when a change had failed for want of the service, what is parked for
    // that reason goes again at once.
    void noteSuccess();
    struct Writes;
    struct WritesDeleter {
        void operator()(Writes* writes) const;
    };
    void startWrites();
    void stopWrites();
    void schedule(Inode inode);
    // The size and time a closed writer left go to the replica, with the
    // upload the file owes; false when it owes nothing.
    bool recordClosedWriter(Inode inode);
    // One step of an item's queue; true when it should run again at once.
    bool syncOnce(Inode inode, std::stop_token stop);
    void notifyWaiters();
    // The waiters whose wait is over, with their answers (Writes::waitersMutex held).
    void findAnsweredWaiters(
        std::vector<std::pair<std::function<void(std::optional<Error>)>, std::optional<Error>>>& ready);
    // A snapshot of a file's cached copy for an upload, in the staging
    // folder with the node's modification time; `writesAtSnapshot` gets the
    // count of writes it holds. The error when none could be made.
    std::variant<std::filesystem::path, Error> snapshotCopy(const ReplicaNode& node, std::uint64_t& writesAtSnapshot);
    // A rename over an existing name (the checks of `renameLocal` done).
    int replaceLocal(const ReplicaNode& source, const ReplicaNode& target);
    // A file renamed over a file of the server: the target's item gets the
    // source's bytes as a new version before the rename is answered.
    int replaceFile(const ReplicaNode& source, const ReplicaNode& target);
    // The target goes (its removal sent when the server has it) and the
    // source moves into its place.
    int moveInPlace(const ReplicaNode& source, const ReplicaNode& target);
    // Holds an item's queue (waits while an operation of it runs); false
    // when it stayed busy. `releaseQueue` lets it go.
    bool claimQueue(Inode inode);
    void releaseQueue(Inode inode);
    // Waits (a while at most) until no move of the node or of a folder
    // above it is being sent.
    void waitForMovesAbove(Inode inode);
    // An item the server made or kept for a node that stands for another
    // item now (replaced while its request ran) is removed.
    void removeOrphan(const ItemPtr& item, Inode parent);
    std::optional<Error> list(Inode folder, const ItemId& identifier);
    // Lists a folder; when the extension no longer knows it or the server
    // refuses it (a moved folder's rows go from the server client's
    // database), the folders above it are listed again first.
    std::optional<Error> listAgain(Inode folder, int depth = 0);
    // The items of a container as the extension lists them now (the replica
    // is not changed).
    std::variant<std::vector<ItemPtr>, Error> listItems(const ItemId& container);
    std::optional<Error> refreshFolder(Inode folder);
    // Asks for the container's changes again. Requests that arrive while an
    // enumeration of the container runs are answered together by the next one.
    void requestChanges(const ItemId& container, std::function<void(std::optional<Error>)> done);
    std::optional<Error> processSignal(const ItemId& container);
    std::optional<Error> download(Inode inode, const ItemId& identifier);
    // What the content cache calls to bring a file's current version: a
    // download (shared by concurrent opens), after which its folder is
    // listed again once when the extension does not know the item.
    ContentCache::BringCurrent bringCurrent();
    // Ends a changing mark of the cache (see ContentCache::endChange).
    struct ChangeDone {
        ContentCache& cache;
        Inode inode;
        ~ChangeDone() { cache.endChange(inode); }
    };
    void dispatch(std::vector<Invalidation> invalidations);
    // Deletes the cached copies of removed nodes, and keeps those of files
    // with local changes in the preserved folder.
    void dropCaches();
    // Moves (or copies) a cached copy to `target`, under a free name; false
    // when there was none or it could not be kept.
    static bool keepCopy(const std::filesystem::path& source, std::filesystem::path target);
    // keepCopy to `folder / relative`; when that fails (a name too long for
    // the file system there, say), to a safe name in `folder` with a note
    // of the path beside it. False when the copy could not be kept at all.
    static bool keepCopyOrSafe(const std::filesystem::path& source, const std::filesystem::path& folder,
                               const std::filesystem::path& relative, Inode inode);
    std::filesystem::path cachePath(Inode inode) const { return cache_.pathOf(inode); }
    void prepareMountpoint();
    void openReplica();
    // Unmounts; files and folders still open after a short grace lose their
    // connection, so that a stop never waits on another program.
    void endSession();
    bool abortConnection(unsigned long connection);
    static constexpr std::chrono::seconds kUnmountGrace{3};

    Options options_;
    ExtensionPtr extension_;
    std::unique_ptr<Replica> replica_ = std::make_unique<Replica>();
    ContentCache cache_;
    SingleFlight<Inode> listings_;
    SingleFlight<Inode> downloads_;
    SingleFlight<Inode> refreshes_;
    fuse_session* session_ = nullptr;
    std::optional<unsigned long> connection_;
    std::thread loop_;
    std::mutex loopMutex_;  // guards loopRunning_ (a leaf)
    std::condition_variable loopEnded_;
    bool loopRunning_ = false;
    std::unique_ptr<KernelNotifier> notifier_;
    std::atomic<std::size_t> changeEnumerations_{0};
    // Fires when the mount begins to stop: every blocking wait of the host
    // (downloads, listings, a rename's new version, a held queue) ends, and
    // the extension's work it waited for is cancelled.
    std::stop_source stop_;

    // Rounds of change enumerations, per container (see requestChanges).
    std::unique_ptr<ChangeRequests> changeRequests_;
    // Open folders, owned here: a session that ends while folders are open
    // never releases them (foldersMutex_ is a leaf).
    std::mutex foldersMutex_;
    std::map<OpenFolder*, std::unique_ptr<OpenFolder>> openFolders_;
    // Closes the files and folders left open when the session ends.
    void closeLeftOpenFiles();
    std::unique_ptr<Writes, WritesDeleter> writes_;
    // Gives a waiter its answer after the call that queued it (when nothing
    // more moves, or when the mount stops) on the answers pool of the
    // options: never under the mount's locks, never inside an unmount.
    void answerLater(std::function<void(std::optional<Error>)> done, std::optional<Error> result);
};

}  // namespace nimbuscrate::fp::host
