#define FUSE_USE_VERSION 312
#include "platform/fileprovider/host/DomainMount.h"
#include "platform/fileprovider/host/KernelAdapter.h"

#include <fuse_lowlevel.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <future>
#include <set>
#include <stdexcept>
#include <variant>

#include "platform/core/PlatformError.h"
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

// The folders the extension may signal for the answer this thread gave
// last, and the mount it gave it to.
struct ExpectedSignals {
    const DomainMount* mount = nullptr;
    std::vector<ItemId> folders;
};
thread_local ExpectedSignals expectedSignals;

constexpr auto kListingTimeout = std::chrono::seconds(120);

Error timedOut(const std::string& what) {
    return Error{kCocoaErrorDomain, CocoaErrorCode::connectionReplyInvalid,
                 ErrorUserInfo{"The extension did not answer " + what + " in time.", nullptr}};
}

// The error of a wait that the mount's stop ended.
Error stopped() {
    return Error{kCocoaErrorDomain, CocoaErrorCode::userCancelled,
                 ErrorUserInfo{"The domain is being stopped.", nullptr}};
}

// Answers a collector's result that carries only the error.
template <class Result>
void answerWithError(OneAnswer<Result>& answer, Error error) {
    Result result;
    result.error = std::move(error);
    answer.set(std::move(result));
}

struct PageResult {
    std::vector<ItemPtr> items;
    std::optional<Page> next;
    std::optional<Error> error;
};

class PageCollector final : public EnumerationObserver {
public:
    void didEnumerate(std::vector<ItemPtr> items) override {
        std::lock_guard lock(mutex_);
        for (auto& item : items) items_.push_back(std::move(item));
    }
    void finishUpTo(std::optional<Page> nextPage) override {
        PageResult result;
        {
            std::lock_guard lock(mutex_);
            result.items = std::move(items_);
        }
        result.next = std::move(nextPage);
        answer.set(std::move(result));
    }
    void finishWithError(Error error) override { answerWithError(answer, std::move(error)); }
    OneAnswer<PageResult> answer;

private:
    std::mutex mutex_;
    std::vector<ItemPtr> items_;
};

// Every page of an enumerator's items; the enumerator is invalidated after.
std::variant<std::vector<ItemPtr>, Error> allItems(Enumerator& enumerator, std::stop_token stop) {
    std::vector<ItemPtr> items;
    Page page = kInitialPage;
    for (;;) {
        auto collector = std::make_shared<PageCollector>();
        enumerator.enumerateItems(collector, page);
        auto result = collector->answer.wait(stop, kListingTimeout);
        if (!result || result->error) {
            enumerator.invalidate();
            if (result) return *result->error;
            return stop.stop_requested() ? stopped() : timedOut("a listing");
        }
        for (auto& item : result->items) items.push_back(std::move(item));
        if (!result->next) break;
        page = std::move(*result->next);
    }
    enumerator.invalidate();
    return items;
}

struct ChangeResult {
    std::vector<ItemPtr> updated;
    std::vector<ItemId> deleted;
    SyncAnchor anchor;
    bool moreComing = false;
    std::optional<Error> error;
};

class ChangeCollector final : public ChangeObserver {
public:
    void didUpdate(std::vector<ItemPtr> items) override {
        std::lock_guard lock(mutex_);
        for (auto& item : items) result_.updated.push_back(std::move(item));
    }
    void didDelete(std::vector<ItemId> identifiers) override {
        std::lock_guard lock(mutex_);
        for (auto& id : identifiers) result_.deleted.push_back(std::move(id));
    }
    void finishChangesUpTo(SyncAnchor anchor, bool moreComing) override {
        ChangeResult result;
        {
            std::lock_guard lock(mutex_);
            result = std::move(result_);
        }
        result.anchor = std::move(anchor);
        result.moreComing = moreComing;
        answer.set(std::move(result));
    }
    void finishWithError(Error error) override { answerWithError(answer, std::move(error)); }
    OneAnswer<ChangeResult> answer;

private:
    std::mutex mutex_;
    ChangeResult result_;
};

bool isEmptyDirectory(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::is_empty(path, error) && !error;
}

// The extension may hand a download in a folder of its own: once the file
// has left it, the folder goes if it is empty (never anything inside it, and
// never the temporary folders that downloads share).
void removeEmptyDownloadFolder(const std::filesystem::path& folder, const std::filesystem::path& sharedDownloads) {
    std::error_code error;
    if (folder.empty() || std::filesystem::equivalent(folder, sharedDownloads, error)) return;
    error.clear();
    if (std::filesystem::equivalent(folder, std::filesystem::temp_directory_path(error), error)) return;
    std::filesystem::remove(folder, error);  // fails, and removes nothing, when not empty
}

}  // namespace

int errnoFor(const Error& error) {
    if (error.domain == kFileProviderErrorDomain) {
        switch (error.code) {
            case FileProviderErrorCode::noSuchItem:
                return ENOENT;
            case FileProviderErrorCode::notAuthenticated:
                return EACCES;
            case FileProviderErrorCode::filenameCollision:
                return EEXIST;
            default:
                return EIO;
        }
    }
    if (error.domain == kCocoaErrorDomain && error.code == CocoaErrorCode::userCancelled) return EINTR;
    if (error.domain == kPOSIXErrorDomain && error.code > 0 && error.code < 4096) return static_cast<int>(error.code);
    return EIO;
}

DomainMount::DomainMount(Options options)
    : options_(std::move(options)),
      cache_(options_.stateDirectory / "cache", replica_),
      notifier_(std::make_unique<KernelNotifier>(options_.whileRecording)),
      changeRequests_(std::make_unique<ChangeRequests>(
          [this](const ItemId& container) { return processSignal(container); },
          [](const ItemId& container, const Error& error) {
              // Nobody may be waiting for this answer (a background refresh
              // of a stale folder), so a failure is always written down.
              logger().notice("Refreshing " + container + " failed: " + error.localizedDescription());
          })) {
    if (!options_.tasks || !options_.clock || !options_.factory) {
        throw std::invalid_argument("a domain mount needs a task pool, a clock and an extension factory");
    }
}

DomainMount::~DomainMount() { unmount(); }

void DomainMount::answerLater(std::function<void(std::optional<Error>)> done, std::optional<Error> result) {
    auto shared = std::make_shared<std::function<void(std::optional<Error>)>>(std::move(done));
    TaskPool& pool = options_.answers ? *options_.answers : *options_.tasks;
    // Only a pool that is going away refuses: then the answer is given here.
    if (!pool.submit([shared, result](std::stop_token) { (*shared)(result); })) (*shared)(result);
}


void DomainMount::prepareMountpoint() {
    const auto& path = options_.mountpoint;
    struct stat attributes{};
    if (::lstat(path.c_str(), &attributes) != 0) {
        if (errno == ENOTCONN) {
            // A mount left behind by a host that died: detach it and reuse
            // the folder (as root directly, else through fusermount3).
            if (::umount2(path.c_str(), MNT_DETACH) != 0) {
                std::string folder = path.string();
                char program[] = "fusermount3";
                char unmount[] = "-uz";
                char* argv[] = {program, unmount, folder.data(), nullptr};
                pid_t child = 0;
                if (::posix_spawnp(&child, program, nullptr, nullptr, argv, environ) == 0) ::waitpid(child, nullptr, 0);
            }
            if (::lstat(path.c_str(), &attributes) != 0) throw posixError(errno, "stat " + path.string());
        } else if (errno == ENOENT) {
            std::filesystem::create_directories(path.parent_path());
            if (::mkdir(path.c_str(), 0700) != 0) throw posixError(errno, "mkdir " + path.string());
            return;
        } else {
            throw posixError(errno, "stat " + path.string());
        }
    }
    if (!S_ISDIR(attributes.st_mode)) {
        throw std::runtime_error("Cannot mount at " + path.string() + ": it is not a folder.");
    }
    if (!isEmptyDirectory(path)) {
        throw std::runtime_error("Cannot mount at " + path.string() + ": the folder is not empty.");
    }
    ::chmod(path.c_str(), 0700);
}

void DomainMount::openReplica() {
    auto database = options_.stateDirectory / "replica.sqlite3";
    auto cache = options_.stateDirectory / "cache";
    std::filesystem::remove_all(options_.stateDirectory / "downloads");  // unfinished downloads
    std::filesystem::create_directories(options_.stateDirectory / "downloads");
    try {
        replica_ = std::make_unique<Replica>(database);
    } catch (const std::exception& error) {
        // Without its database the cached copies are unknown: the replica
        // starts afresh, and the copies are kept (below), as any of them may
        // hold bytes never sent. The damaged file is kept aside.
        logger().error(std::string(error.what()) + "; starting with an empty replica");
        std::error_code ignored;
        auto damaged = database;
        damaged += ".damaged";
        std::filesystem::rename(database, damaged, ignored);
        if (ignored) std::filesystem::remove(database, ignored);
        try {
            replica_ = std::make_unique<Replica>(database);
        } catch (const std::exception& again) {
            logger().error(std::string(again.what()) + "; keeping the replica in memory");
            replica_ = std::make_unique<Replica>();
        }
    }
    std::filesystem::create_directories(cache);
    // The cache holds exactly the copies the replica knows of. A copy it
    // does not know (its database was lost, or a change of it never reached
    // the disk) may hold bytes never sent: it is kept beside the drive,
    // never deleted. Unfinished downloads go.
    std::set<std::string> known;
    for (Inode inode : replica_->materializedNodes()) {
        if (std::filesystem::exists(cachePath(inode))) {
            known.insert(std::to_string(inode));
        } else {
            replica_->clearMaterialized(inode);
        }
    }
    for (const auto& node : replica_->nodesWithLocalChanges()) known.insert(std::to_string(node.inode));
    std::optional<std::filesystem::path> folder;
    std::size_t kept = 0;
    for (const auto& entry : std::filesystem::directory_iterator(cache)) {
        const auto name = entry.path().filename().string();
        if (known.count(name)) continue;
        if (entry.path().extension() == ".incoming" || !entry.is_regular_file()) {
            std::filesystem::remove_all(entry.path());
            continue;
        }
        if (!folder) folder = preservedFolder();
        if (keepCopy(entry.path(), *folder / ("cached file " + name))) ++kept;
    }
    if (kept) {
        logger().error("The replica database did not know " + std::to_string(kept) +
                       " cached files; they may hold unsent changes and are kept in " + folder->string());
    }
}

class DomainMount::AnswerSignals final : public Manager {
public:
    AnswerSignals(const DomainMount* mount, ManagerPtr inner, TaskPool* answers)
        : mount_(mount), inner_(std::move(inner)), answers_(answers ? answers : &TaskPool::shared()) {}

    void signalEnumerator(const ItemId& container, Completion done) override {
        ExpectedSignals& expected = expectedSignals;
        if (expected.mount == mount_) {
            auto found = std::find(expected.folders.begin(), expected.folders.end(), container);
            if (found != expected.folders.end()) {
                expected.folders.erase(found);
                if (expected.folders.empty()) expected = ExpectedSignals{};
                // Answered on another thread, as the manager's answers are.
                auto answer = [done](std::stop_token) { done(std::nullopt); };
                if (!answers_->submit(answer)) answer({});
                return;
            }
            // Anything else: this thread's answer expects nothing more.
            expected = ExpectedSignals{};
        }
        inner_->signalEnumerator(container, std::move(done));
    }
    void evictItem(const ItemId& item, Completion done) override { inner_->evictItem(item, std::move(done)); }
    void waitForChangesBelow(const ItemId& item, Completion done) override {
        inner_->waitForChangesBelow(item, std::move(done));
    }
    EnumeratorPtr materializedItems() override { return inner_->materializedItems(); }
    void userVisiblePath(const ItemId& item,
                         std::function<void(std::optional<std::filesystem::path>, std::optional<Error>)> done) override {
        inner_->userVisiblePath(item, std::move(done));
    }

private:
    const DomainMount* mount_;  // compared only: the extension may keep this after the mount ends
    ManagerPtr inner_;
    TaskPool* answers_;
};

void DomainMount::expectAnswerSignals(const DomainMount* mount, std::vector<ItemId> folders) {
    expectedSignals = ExpectedSignals{mount, std::move(folders)};
}

void DomainMount::mount() {
    if (session_) return;
    prepareMountpoint();
    std::filesystem::create_directories(options_.stateDirectory);
    ::chmod(options_.stateDirectory.c_str(), 0700);
    openReplica();

    ExtensionEnvironment environment;
    environment.domain = options_.domain;
    environment.manager = [this, inner = options_.manager, answers = options_.answers]() -> ManagerPtr {
        ManagerPtr manager = inner ? inner() : nullptr;
        if (!manager) return manager;
        return std::make_shared<AnswerSignals>(this, std::move(manager), answers);
    };
    environment.tasks = options_.tasks;
    environment.clock = options_.clock;
    environment.temporaryDirectory = options_.stateDirectory / "downloads";
    extension_ = options_.factory(environment);
    if (!extension_) throw std::runtime_error("No extension for domain " + options_.domain.identifier);

    std::string fsname = "fsname=nimbuscrate:" + options_.domain.identifier;
    std::vector<std::string> words = {"nimbuscrate-fileprovider-host", "-o", fsname + ",subtype=nimbuscrate,default_permissions"};
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
    const fuse_lowlevel_ops& operations = kernelOperations();
    fuse_session* session = fuse_session_new(&args, &operations, sizeof(operations), this);
    fuse_opt_free_args(&args);  // parsing may have copied them
    if (!session) throw std::runtime_error("Could not start the file system for " + options_.domain.identifier);
    if (fuse_session_mount(session, options_.mountpoint.c_str()) != 0) {
        fuse_session_destroy(session);
        throw std::runtime_error("Could not mount " + options_.mountpoint.string());
    }
    session_ = session;
    stop_ = std::stop_source();
    changeRequests_->start();
    startWrites();
    notifier_->start(session_);
    {
        std::lock_guard lock(loopMutex_);
        loopRunning_ = true;
    }
    loop_ = std::thread([this] {
        fuse_loop_config* config = fuse_loop_cfg_create();
        fuse_loop_cfg_set_max_threads(config, 32);
        fuse_loop_cfg_set_idle_threads(config, 4);
        fuse_session_loop_mt(session_, config);
        fuse_loop_cfg_destroy(config);
        std::lock_guard lock(loopMutex_);
        loopRunning_ = false;
        loopEnded_.notify_all();
    });
    // The kernel's number for this mount's connection (the device of its
    // file system), by which a stop can cut the connection off.
    struct stat attributes{};
    if (::stat(options_.mountpoint.c_str(), &attributes) == 0) {
        connection_ = (static_cast<unsigned long>(major(attributes.st_dev)) << 20) | minor(attributes.st_dev);
    }
    logger().info("Mounted " + options_.domain.identifier + " at " + options_.mountpoint.string());
}

void DomainMount::endSession() {
    fuse_session_exit(session_);
    fuse_session_unmount(session_);
    // The folder is detached at once, but the kernel keeps serving files and
    // folders that are still open in it (a shell sitting in the folder, an
    // editor). They get a short while to close; then the connection is cut
    // off, and what they still try fails. What was written is kept.
    {
        std::unique_lock lock(loopMutex_);
        if (loopEnded_.wait_for(lock, kUnmountGrace, [this] { return !loopRunning_; })) return;
    }
    if (!connection_ || !abortConnection(*connection_)) {
        logger().error("Waiting for the files still open in " + options_.mountpoint.string() + " to be closed");
    }
}

bool DomainMount::abortConnection(unsigned long connection) {
    const std::filesystem::path control = "/sys/fs/fuse/connections";
    auto abortFile = control / std::to_string(connection) / "abort";
    std::error_code missing;
    if (!std::filesystem::exists(abortFile, missing)) {
        // The control file system is not mounted yet (only root may mount it).
        ::mount("fusectl", control.c_str(), "fusectl", 0, nullptr);
    }
    int descriptor = ::open(abortFile.c_str(), O_WRONLY | O_CLOEXEC);
    if (descriptor < 0) return false;
    bool written = ::write(descriptor, "1", 1) == 1;
    ::close(descriptor);
    if (written) logger().info("Cut off the files still open in " + options_.mountpoint.string());
    return written;
}

void DomainMount::unmount() {
    if (!session_) return;
    // Waits of the host end now, and what it started for them is cancelled:
    // a stop never waits for a download or a listing to finish.
    stop_.request_stop();
    // Rounds of changes in flight finish first; new ones are refused.
    changeRequests_->stop();
    endSession();
    if (loop_.joinable()) loop_.join();
    // No callback runs any more; files the kernel never released are closed.
    closeLeftOpenFiles();
    stopWrites();
    replica_->commitAll();
    if (!replica_->persistent()) {
        // The replica database was lost while mounted: what was not sent is
        // known only now, so it is kept beside the drive under its path
        // before the state goes with this run.
        const auto folder = preservedFolder();
        if (auto kept = preserveLocalChanges(folder)) {
            logger().error("The replica database was lost; " + std::to_string(kept) + " unsent files are kept in " +
                           folder.string());
        }
        // The copies left are the server's bytes: the next start need not keep them.
        for (Inode inode : replica_->materializedNodes()) {
            auto node = replica_->node(inode);
            if (!node || node->hasLocalChanges()) continue;
            std::error_code ignored;
            std::filesystem::remove(cachePath(inode), ignored);
        }
    }
    notifier_->stop();
    fuse_session_destroy(session_);
    session_ = nullptr;
    if (extension_) extension_->invalidate();
    logger().info("Unmounted " + options_.domain.identifier);
}

NodeAttributes DomainMount::currentAttributes(const FolderEntry& entry) const {
    return replica_->attributes(entry.attributes.inode).value_or(entry.attributes);
}

void DomainMount::fillAttributes(const NodeAttributes& node, struct stat& attributes) const {
    attributes = {};
    attributes.st_ino = node.inode;
    bool readable = (node.capabilities & Capability::allowsReading) != 0;
    bool writable = (node.capabilities & Capability::allowsWriting) != 0;
    if (node.folder) {
        attributes.st_mode = S_IFDIR | (readable ? 0500 : 0100) | (writable ? 0200 : 0);
        attributes.st_nlink = 2;
    } else {
        auto live = liveSize(node.inode);
        if (!live && node.dirty) {
            // A changed file is its cached copy until its upload is answered.
            struct stat copy{};
            if (::stat(cachePath(node.inode).c_str(), &copy) == 0) live = copy.st_size;
        }
        auto size = live.value_or(node.size);
        attributes.st_mode = S_IFREG | (readable ? 0400 : 0) | (writable ? 0200 : 0);
        attributes.st_nlink = 1;
        attributes.st_size = size;
        attributes.st_blocks = (size + 511) / 512;
    }
    attributes.st_uid = ::getuid();
    attributes.st_gid = ::getgid();
    attributes.st_blksize = 128 * 1024;
    auto toTimespec = [](Date date) {
        double unix = date.unixSeconds();
        timespec spec{};
        spec.tv_sec = static_cast<time_t>(unix);
        double fraction = unix - static_cast<double>(spec.tv_sec);
        if (fraction < 0) {
            fraction += 1;
            spec.tv_sec -= 1;
        }
        spec.tv_nsec = static_cast<long>(fraction * 1e9);
        return spec;
    };
    attributes.st_mtim = toTimespec(node.modified);
    attributes.st_ctim = toTimespec(node.modified);
    attributes.st_atim = toTimespec(node.modified);
}

bool DomainMount::openFileAttributes(Inode inode, struct stat& attributes) const {
    if (cache_.openAttributes(inode, attributes)) return true;
    // Opened as the file a rename put in its place (the open raced with it).
    if (auto replacement = cache_.replacementOf(inode)) {
        if (auto node = replica_->node(*replacement)) {
            fillAttributes(*node, attributes);
            attributes.st_ino = inode;
            return true;
        }
    }
    return false;
}

int DomainMount::changeOpenFile(Inode inode, OpenFile* file, std::optional<off_t> size,
                                std::optional<timespec> modified, struct stat& attributes) {
    return cache_.changeOpen(inode, file, size, modified, attributes);
}

std::optional<Error> DomainMount::ensureListed(Inode folder) {
    auto node = replica_->node(folder);
    if (!node) return Error::fileProvider(FileProviderErrorCode::noSuchItem);
    if (!node->folder) return Error{kPOSIXErrorDomain, ENOTDIR, std::nullopt};
    if (node->listed) {
        // A folder made here and not on the server yet has nothing to list.
        if (!isLocalIdentifier(node->identifier) &&
            options_.clock->monotonicSeconds() - node->listedAt > options_.staleAfterSeconds) {
            // Serve what is known; refresh in the background. (Browsing is
            // no signal: parked changes stay parked.)
            requestChanges(node->identifier, [](std::optional<Error>) {});
        }
        return std::nullopt;
    }
    return listings_.run(folder, [&]() -> std::optional<Error> {
        if (auto again = replica_->node(folder); again && again->listed) return std::nullopt;
        return listAgain(folder);
    });
}

std::optional<Error> DomainMount::listAgain(Inode folder, int depth) {
    auto node = replica_->node(folder);
    if (!node) return Error::fileProvider(FileProviderErrorCode::noSuchItem);
    auto error = list(folder, node->identifier);
    const bool refused = error && (error->is(kFileProviderErrorDomain, FileProviderErrorCode::noSuchItem) ||
                                   error->is(kCocoaErrorDomain, CocoaErrorCode::connectionReplyInvalid));
    if (!refused || folder == kRootInode || depth > 64) return error;
    // The extension has lost the folder, or the server has it elsewhere
    // (the rows of a moved folder go from the server client's database):
    // the folder above is listed again, which tells where it is now.
    if (auto above = listAgain(node->parent, depth + 1)) return above;
    node = replica_->node(folder);
    if (!node) return Error::fileProvider(FileProviderErrorCode::noSuchItem);
    return list(folder, node->identifier);
}

std::optional<Error> DomainMount::list(Inode folder, const ItemId& identifier) {
    // Local changes made while the listing runs are newer than it.
    const std::uint64_t startedAt = replica_->localEpoch();
    std::optional<Error> refused;
    auto enumerator = extension_->enumerator(identifier, refused);
    if (!enumerator) return refused.value_or(Error::fileProvider(FileProviderErrorCode::noSuchItem));

    // The anchor comes first, so that a change made during the listing is
    // found by the next change enumeration.
    auto anchorAnswer = std::make_shared<OneAnswer<std::optional<SyncAnchor>>>();
    enumerator->currentSyncAnchor([anchorAnswer](std::optional<SyncAnchor> anchor) { anchorAnswer->set(anchor); });
    auto anchor = anchorAnswer->wait(stop_.get_token(), kListingTimeout);
    if (!anchor) {
        enumerator->invalidate();
        return stop_.stop_requested() ? stopped() : timedOut("the sync anchor");
    }

    auto items = allItems(*enumerator, stop_.get_token());
    if (auto* error = std::get_if<Error>(&items)) return *error;
    // The kernel waits for this listing: it is written in the background.
    dispatch(replica_->replaceChildren(folder, std::get<std::vector<ItemPtr>>(items), *anchor,
                                       options_.clock->monotonicSeconds(), startedAt, Replica::Commit::later));
    dropCaches();
    return std::nullopt;
}

std::variant<std::vector<ItemPtr>, Error> DomainMount::listItems(const ItemId& container) {
    std::optional<Error> refused;
    auto enumerator = extension_->enumerator(container, refused);
    if (!enumerator) return refused.value_or(Error::fileProvider(FileProviderErrorCode::noSuchItem));
    return allItems(*enumerator, stop_.get_token());
}

std::optional<Error> DomainMount::refreshFolder(Inode folder) {
    return refreshes_.run(folder, [&]() -> std::optional<Error> {
        auto node = replica_->node(folder);
        if (!node || !node->folder || !node->listed || isLocalIdentifier(node->identifier)) return std::nullopt;
        if (!node->anchor) return list(folder, node->identifier);
        std::optional<Error> refused;
        auto enumerator = extension_->enumerator(node->identifier, refused);
        if (!enumerator) {
            // The folder is gone on the server; its parent's changes will say so.
            return refused;
        }
        SyncAnchor anchor = *node->anchor;
        for (int round = 0; round < 1000; ++round) {
            ++changeEnumerations_;
            const std::uint64_t startedAt = replica_->localEpoch();
            auto collector = std::make_shared<ChangeCollector>();
            enumerator->enumerateChanges(collector, anchor);
            auto result = collector->answer.wait(stop_.get_token(), kListingTimeout);
            if (!result) {
                enumerator->invalidate();
                return stop_.stop_requested() ? stopped() : timedOut("a change enumeration");
            }
            if (result->error) {
                enumerator->invalidate();
                return result->error;
            }
            dispatch(replica_->applyChanges(folder, result->updated, result->deleted, result->anchor,
                                           options_.clock->monotonicSeconds(), startedAt));
            dropCaches();
            anchor = result->anchor;
            if (!result->moreComing) break;
        }
        enumerator->invalidate();
        noteSuccess();
        return std::nullopt;
    });
}

std::optional<Error> DomainMount::processSignal(const ItemId& container) {
    if (container == kWorkingSet) {
        std::optional<Error> first;
        for (Inode folder : replica_->listedFolders()) {
            auto error = refreshFolder(folder);
            if (error && !first) first = error;
        }
        return first;
    }
    auto inode = replica_->inodeOf(container);
    // A container the folder has not shown yet is listed fresh on first use.
    if (!inode) return std::nullopt;
    return refreshFolder(*inode);
}

void DomainMount::signal(const ItemId& container, std::function<void(std::optional<Error>)> done) {
    // Changes that wait for a signal are tried again.
    resumeParked();
    requestChanges(container, std::move(done));
}

void DomainMount::requestChanges(const ItemId& container, std::function<void(std::optional<Error>)> done) {
    changeRequests_->request(container, std::move(done));
}

ContentCache::BringCurrent DomainMount::bringCurrent() {
    auto listedAgain = std::make_shared<bool>(false);
    return [this, listedAgain](const ReplicaNode& node) -> int {
        const Inode inode = node.inode;
        auto error = downloads_.run(inode, [&]() -> std::optional<Error> {
            if (auto now = replica_->node(inode); now && cache_.isCurrent(*now)) return std::nullopt;
            return download(inode, node.identifier);
        });
        const bool refused = error && (error->is(kFileProviderErrorDomain, FileProviderErrorCode::noSuchItem) ||
                                       error->is(kCocoaErrorDomain, CocoaErrorCode::connectionReplyInvalid));
        if (refused && !*listedAgain) {
            // The extension does not know the item (any more), or the server
            // would not give it: its folder is listed again once, which
            // finds it again (the server's client had lost it), or finds it
            // gone (the server deleted it: the open finds no file).
            *listedAgain = true;
            // A move of it or of a folder above it that is on its way
            // changes where the server has it: the listing waits for it.
            waitForMovesAbove(inode);
            if (auto listing = listAgain(node.parent)) return errnoFor(*listing);
            return 0;
        }
        if (error) return errnoFor(*error);
        noteSuccess();
        return 0;
    };
}

std::variant<DomainMount::OpenFile*, int> DomainMount::openCached(Inode inode) {
    return cache_.open(inode, false, false, false, bringCurrent());
}

void DomainMount::closeLeftOpenFiles() {
    const std::set<Inode> written = cache_.closeAll();
    // What the writers left is recorded as a close would; it is sent after
    // the next start (an upload begun now would be cut off at once).
    for (Inode inode : written) recordClosedWriter(inode);
    std::lock_guard lock(foldersMutex_);
    openFolders_.clear();
}

DomainMount::OpenFolder* DomainMount::openFolder(Inode inode) {
    auto folder = std::make_unique<OpenFolder>(OpenFolder{replica_->entries(inode)});
    auto* kept = folder.get();
    std::lock_guard lock(foldersMutex_);
    openFolders_.emplace(kept, std::move(folder));
    return kept;
}

void DomainMount::releaseFolder(OpenFolder* folder) {
    std::unique_ptr<OpenFolder> owned;
    std::lock_guard lock(foldersMutex_);
    auto kept = openFolders_.find(folder);
    if (kept == openFolders_.end()) return;
    owned = std::move(kept->second);
    openFolders_.erase(kept);
}

void DomainMount::release(OpenFile* file) { cache_.release(file); }

std::optional<Error> DomainMount::download(Inode inode, const ItemId& identifier) {
    auto answer = std::make_shared<OneAnswer<std::tuple<std::optional<std::filesystem::path>, ItemPtr, std::optional<Error>>>>();
    // Which copy the download may replace: any change made here meanwhile
    // (a writer's open, a truncate) makes another one current.
    const std::uint64_t copyAtStart = cache_.copyNumber(inode);
    auto node = replica_->node(inode);
    // The download is the host's to cancel: when the mount stops, its
    // progress is cancelled, which ends the transfer. Otherwise it takes as
    // long as its bytes keep coming: the transport's idle time-out is the
    // only limit, so a large file on a slow line opens.
    auto progress = extension_->fetchContents(
        identifier, node ? node->version : std::nullopt,
        [answer](std::optional<std::filesystem::path> path, ItemPtr item, std::optional<Error> error) {
            answer->set({std::move(path), std::move(item), std::move(error)});
        });
    auto result = answer->wait(stop_.get_token());
    if (!result) {
        if (progress) progress->cancel();
        return stopped();
    }
    auto& [path, item, error] = *result;
    if (error) return error;
    if (!path) return Error::fileProvider(FileProviderErrorCode::noSuchItem);
    auto target = cachePath(inode);
    std::error_code sizeError;
    auto size = std::filesystem::file_size(*path, sizeError);
    if (sizeError) return Error{kPOSIXErrorDomain, EIO, ErrorUserInfo{"The download is unreadable.", nullptr}};
    // Into the cache folder under a name of its own first (a copy when the
    // download lies on another file system), so that the step that makes it
    // the cached copy is one rename.
    auto incoming = target;
    incoming += ".incoming";
    std::error_code moveError;
    std::error_code copyError;
    std::filesystem::rename(*path, incoming, moveError);
    if (moveError) {
        std::filesystem::copy_file(*path, incoming, std::filesystem::copy_options::overwrite_existing, copyError);
        std::filesystem::remove(*path, moveError);
    }
    removeEmptyDownloadFolder(path->parent_path(), options_.stateDirectory / "downloads");
    if (copyError) {
        std::filesystem::remove(incoming, copyError);
        return Error{kCocoaErrorDomain, CocoaErrorCode::connectionReplyInvalid,
                     ErrorUserInfo{"Could not store the download.", nullptr}};
    }
    ::chmod(incoming.c_str(), 0600);
    // The copy is of the version the extension names (else of the one asked for).
    std::optional<ItemVersion> copyVersion = node ? node->version : std::nullopt;
    if (item && item->itemIdentifier() == identifier && item->itemVersion()) copyVersion = item->itemVersion();

    // The copy is placed under the cache's lock, unless the copy changed
    // since the download began (a writer, a truncate), and the inode is
    // marked as changing until the replica has recorded it: opens of this
    // inode wait for the record (they would otherwise see the old version
    // beside the new bytes), evictions refuse it, and every other call goes
    // on while the record is written. The node keeps its size and version
    // when the copy was not placed.
    int placeError = 0;
    if (!cache_.place(inode, incoming, copyAtStart, placeError)) {
        if (placeError) return Error{kPOSIXErrorDomain, EIO, ErrorUserInfo{"Could not store the download.", nullptr}};
        return std::nullopt;
    }
    ChangeDone changed{cache_, inode};
    if (!copyVersion) return std::nullopt;
    recordingStep("download", inode);
    // When a change enumeration moved the node on meanwhile, the node keeps
    // its newer version (and the copy is outdated at once); otherwise the
    // download is the freshest word on the item and the node takes it. The
    // kernel learns the new size before the copy counts as current.
    auto now = replica_->node(inode);
    if (now && node && now->version == node->version) {
        dispatch(replica_->adopt(inode, *copyVersion, static_cast<std::int64_t>(size)));
    }
    replica_->setMaterialized(inode, *copyVersion);
    return std::nullopt;
}

void DomainMount::dropCaches() {
    cache_.dropRemoved(replica_->takeDroppedCaches());
    // Files changed here whose folder went on the server are kept beside
    // the drive (their nodes are gone: nothing opens or replaces the copies).
    auto unsent = replica_->takeUnsentCopies();
    if (unsent.empty()) return;
    const auto folder = preservedFolder();
    std::size_t kept = 0;
    for (const auto& copy : unsent) {
        if (keepCopyOrSafe(cachePath(copy.inode), folder, copy.path, copy.inode)) ++kept;
    }
    if (kept) logger().info("Kept " + std::to_string(kept) + " unsent files of removed folders in " + folder.string());
}

std::filesystem::path DomainMount::preservedFolder() const {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H%M%S", &local);
    return options_.mountpoint.parent_path() / (options_.domain.displayName + " (unsent files " + stamp + ")");
}

bool DomainMount::keepCopyOrSafe(const std::filesystem::path& source, const std::filesystem::path& folder,
                                 const std::filesystem::path& relative, Inode inode) {
    if (keepCopy(source, folder / relative)) return true;
    std::error_code error;
    if (!std::filesystem::exists(source, error)) return false;
    const auto safe = folder / ("unsent file " + std::to_string(inode));
    if (!keepCopy(source, safe)) return false;
    // Which file it was: beside it, in a note (the name may be what no
    // folder here can hold).
    std::ofstream note(folder / ("unsent file " + std::to_string(inode) + " - original name.txt"), std::ios::binary);
    note << relative.string() << "\n";
    logger().error("Kept \"" + relative.string() + "\" as " + safe.string() + ": its own name could not be used");
    return true;
}

bool DomainMount::keepCopy(const std::filesystem::path& source, std::filesystem::path target) {
    std::error_code error;
    if (!std::filesystem::exists(source, error)) return false;
    std::filesystem::create_directories(target.parent_path(), error);
    // A name kept before in the same folder is never replaced.
    const auto stem = target.stem().string();
    const auto extension = target.extension().string();
    for (int number = 2; std::filesystem::exists(target, error) && number < 10000; ++number) {
        target.replace_filename(stem + " (" + std::to_string(number) + ")" + extension);
    }
    error.clear();
    std::filesystem::rename(source, target, error);
    if (error) {
        // Another file system: a copy, then the cached copy goes.
        error.clear();
        std::filesystem::copy_file(source, target, error);
        if (!error) std::filesystem::remove(source, error);
    }
    if (error) {
        logger().error("Could not keep " + target.string() + ": " + error.message());
        return false;
    }
    return true;
}

void DomainMount::dispatch(std::vector<Invalidation> invalidations) { notifier_->dispatch(std::move(invalidations)); }

std::optional<std::filesystem::path> DomainMount::userVisiblePath(const ItemId& item) const {
    if (item == kRootContainer) return options_.mountpoint;
    auto inode = replica_->inodeOf(item);
    if (!inode) return std::nullopt;
    auto relative = replica_->relativePath(*inode);
    if (!relative) return std::nullopt;
    return options_.mountpoint / *relative;
}

}  // namespace nimbuscrate::fp::host
