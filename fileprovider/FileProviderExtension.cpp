#include "fileprovider/FileProviderExtension.h"

#include <chrono>
#include <thread>

#include "fileprovider/EmptyFileProviderEnumerator.h"
#include "fileprovider/ExtensionErrors.h"
#include "fileprovider/ExtensionLoggers.h"
#include "fileprovider/FileProviderEnumerator.h"
#include "fileprovider/FileProviderItem.h"
#include "fileprovider/ItemNameRules.h"
#include "fileprovider/SpecialContainerItem.h"
#include "platform/core/CancellationError.h"
#include "platform/tasks/Clock.h"
#include "platform/tasks/TaskPool.h"
#include "shared/encryption/E2EEError.h"
#include "shared/session/DesktopError.h"
#include "shared/session/RemotePath.h"

namespace nimbuscrate {
namespace {

constexpr std::int64_t kWriteProgressUnits = 100;
constexpr std::int64_t kContentsProgressUnits = 100;
constexpr std::size_t kThumbnailChunk = 2;

bool isEncrypted(const RemoteItem& item) { return item.id.rfind("e2ee:", 0) == 0; }

// The path of a child of a folder.
std::string childPath(const RemoteItem& parent, const std::string& name) {
    return normalizeRemotePath((parent.path == "/" ? std::string() : parent.path) + "/" + name);
}

// Runs a create's write, turning the server's refusal to replace an existing
// item into a name collision: 412 when "If-None-Match: *" finds a file there,
// 405 when MKCOL finds anything there or a PUT finds a folder.
template <class Write>
void refuseOverwrite(const std::string& name, Write write) {
    try {
        write();
    } catch (const DesktopError& error) {
        const bool exists = error.status() == 405 || error.status() == 412;
        if (error.kind() == DesktopError::Kind::server && exists) throw NameCollisionError(name);
        throw;
    }
}

std::optional<Date> fileModificationDate(const std::filesystem::path& file) {
    std::error_code failure;
    auto written = std::filesystem::last_write_time(file, failure);
    if (failure) return std::nullopt;
    auto system = std::chrono::file_clock::to_sys(written);
    double seconds = std::chrono::duration<double>(system.time_since_epoch()).count();
    return Date::fromUnixSeconds(seconds);
}

// The stop of one request: it fires when the pool stops and when the
// system cancels the request's progress, whichever comes first. Lives on the
// task's stack for as long as the request runs.
class RequestStop {
public:
    RequestStop(std::stop_token pool, const fp::Progress& progress)
        : onPool_(std::move(pool), Stopper{&source_}), onProgress_(progress.stopToken(), Stopper{&source_}) {}
    RequestStop(const RequestStop&) = delete;
    RequestStop& operator=(const RequestStop&) = delete;
    std::stop_token token() const { return source_.get_token(); }

private:
    struct Stopper {
        std::stop_source* source;
        void operator()() const { source->request_stop(); }
    };
    std::stop_source source_;
    std::stop_callback<Stopper> onPool_;
    std::stop_callback<Stopper> onProgress_;
};

}  // namespace

FileProviderExtension::FileProviderExtension(fp::ExtensionEnvironment environment, Services services)
    : environment_(std::move(environment)),
      services_(std::move(services)),
      cleanup_(environment_.manager, environment_.clock ? *environment_.clock : Clock::system()) {
    if (!environment_.tasks) environment_.tasks = &TaskPool::shared();
    if (!environment_.clock) environment_.clock = &Clock::system();
    if (!services_.mapping) services_.mapping = &MappingStore::shared();
    if (!services_.uploads) services_.uploads = UploadActivityStore::shared();
    // The upload count belongs to the process, which resets it once when it
    // starts: one domain's extension is made and invalidated while another
    // domain's uploads run, so neither may touch the count.

    // After a schema migration the stored children may be incomplete: have
    // the root and every recorded folder listed again.
    const std::vector<std::string> folders = services_.mapping->directoriesToRefreshAfterMigration();
    if (folders.empty()) return;
    fp::ManagerPtr manager = environment_.manager ? environment_.manager() : nullptr;
    if (!manager) return;
    manager->signalEnumerator(fp::kRootContainer, [](std::optional<fp::Error>) {});
    for (const auto& folder : folders) {
        manager->signalEnumerator(systemIdentifier(folder), [](std::optional<fp::Error>) {});
    }
}

FileProviderExtension::~FileProviderExtension() { cleanup_.stop(); }

std::shared_ptr<FileProviderExtension> FileProviderExtension::make(fp::ExtensionEnvironment environment,
                                                                   Services services) {
    return std::make_shared<FileProviderExtension>(std::move(environment), std::move(services));
}

void FileProviderExtension::invalidate() {
    cleanup_.stop();
}

bool FileProviderExtension::submit(std::function<void(std::stop_token)> body) {
    return environment_.tasks->submit(std::move(body));
}

// ---- Item and enumerator lookup

fp::ProgressPtr FileProviderExtension::item(const fp::ItemId& identifier, ItemCompletion done) {
    auto progress = fp::Progress::make(1);
    fp::ItemPtr found;
    if (identifier == fp::kRootContainer) {
        found = FileProviderItem::make(RemoteItem::root());
    } else if (identifier == fp::kTrashContainer) {
        found = std::make_shared<SpecialContainerItem>();
    } else if (auto stored = services_.mapping->item(identifier)) {
        found = FileProviderItem::make(*stored);
    }
    if (!found) {
        done(nullptr, fp::Error::fileProvider(fp::FileProviderErrorCode::noSuchItem));
        return progress;
    }
    done(found, std::nullopt);
    progress->setCompletedUnitCount(1);
    return progress;
}

fp::EnumeratorPtr FileProviderExtension::enumerator(const fp::ItemId& container, std::optional<fp::Error>& error) {
    error.reset();
    auto folderEnumerator = [this](const RemoteItem& folder) {
        return std::make_shared<FileProviderEnumerator>(folder, services_.server, *services_.mapping,
                                                        *environment_.tasks, *environment_.clock);
    };
    // The working set is answered with the root folder's children.
    if (container == fp::kRootContainer || container == fp::kWorkingSet) return folderEnumerator(RemoteItem::root());
    if (container == fp::kTrashContainer) return std::make_shared<EmptyFileProviderEnumerator>();
    auto stored = services_.mapping->item(container);
    if (stored && stored->isDirectory) return folderEnumerator(*stored);
    error = fp::Error::fileProvider(fp::FileProviderErrorCode::noSuchItem);
    return nullptr;
}

// ---- Contents and thumbnails

fp::ProgressPtr FileProviderExtension::fetchContents(const fp::ItemId& identifier, std::optional<fp::ItemVersion>,
                                                     ContentsCompletion done) {
    auto progress = fp::Progress::make(kContentsProgressUnits);
    auto self = shared_from_this();
    bool queued = submit([self, identifier, progress, done](std::stop_token poolStop) {
        const RequestStop request(poolStop, *progress);
        const std::stop_token stop = request.token();
        std::optional<std::filesystem::path> file;
        fp::ItemPtr result;
        std::exception_ptr failure;
        try {
            auto stored = self->services_.mapping->item(identifier);
            if (!stored) throw DesktopError::missingItem(identifier);
            file = self->services_.server->downloadFile(*stored, *progress, stop);
            // The item as stored: its version is the one the system knows.
            result = FileProviderItem::make(*stored);
        } catch (...) {
            failure = std::current_exception();
        }
        if (failure) {
            done(std::nullopt, nullptr, extensionError(failure));
        } else {
            done(file, result, std::nullopt);
        }
    });
    if (!queued) done(std::nullopt, nullptr, fp::Error::userCancelled());
    return progress;
}

void FileProviderExtension::thumbnailFor(const fp::ItemId& identifier, const PerThumbnail& perItem,
                                         fp::Progress& progress, std::stop_token stop) {
    auto stored = services_.mapping->item(identifier);
    const bool eligible = [&] {
        if (!stored || stored->isDirectory) return false;
        const fp::ContentType type = fileProviderContentType(*stored);
        return type.conformsTo(fp::ContentType::image()) || type.conformsTo(fp::ContentType::movie());
    }();
    if (!eligible) {
        perItem(identifier, std::nullopt, std::nullopt);
        progress.addCompletedUnits(1);
        return;
    }
    std::optional<Bytes> data;
    std::exception_ptr failure;
    try {
        data = services_.server->fetchThumbnail(*stored, stop);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        thumbnailsLogger().error("Thumbnail failed: " + describeError(failure));
        perItem(identifier, std::nullopt, extensionError(failure));
    } else {
        thumbnailsLogger().info("Thumbnail returned: bytes=" + std::to_string(data ? data->size() : 0) +
                                ", encrypted=" + (isEncrypted(*stored) ? "true" : "false"));
        perItem(identifier, std::move(data), std::nullopt);
    }
    progress.addCompletedUnits(1);
}

fp::ProgressPtr FileProviderExtension::fetchThumbnails(std::vector<fp::ItemId> identifiers, fp::ThumbnailSize,
                                                       PerThumbnail perItem, Completion done) {
    auto progress = fp::Progress::make(static_cast<std::int64_t>(identifiers.size()));
    auto self = shared_from_this();
    bool queued = submit([self, identifiers, progress, perItem, done](std::stop_token poolStop) {
        const RequestStop request(poolStop, *progress);
        const std::stop_token stop = request.token();

        // Two at a time: a chunk's items run side by side, and the next
        // chunk starts only when both have answered.
        for (std::size_t start = 0; start < identifiers.size(); start += kThumbnailChunk) {
            if (stop.stop_requested()) break;
            if (start + 1 < identifiers.size()) {
                std::jthread second([&, start] { self->thumbnailFor(identifiers[start + 1], perItem, *progress, stop); });
                self->thumbnailFor(identifiers[start], perItem, *progress, stop);
                second.join();
            } else {
                self->thumbnailFor(identifiers[start], perItem, *progress, stop);
            }
        }
        if (stop.stop_requested()) {
            done(fp::Error::userCancelled());
        } else {
            done(std::nullopt);
        }
    });
    if (!queued) done(fp::Error::userCancelled());
    return progress;
}

// ---- Create, modify and delete

RemoteItem FileProviderExtension::resolveParent(const fp::ItemId& identifier) {
    if (identifier == fp::kRootContainer || identifier == fp::kWorkingSet) return RemoteItem::root();
    auto stored = services_.mapping->item(identifier);
    if (stored && stored->isDirectory) return *stored;
    throw DesktopError::missingItem(identifier);
}

std::optional<Date> FileProviderExtension::templateAttributes(const fp::Item& itemTemplate,
                                                              const std::optional<std::filesystem::path>& contents) {
    if (auto modified = itemTemplate.contentModificationDate()) return *modified;
    if (contents) {
        if (auto fromFile = fileModificationDate(*contents)) return fromFile;
    }
    if (auto created = itemTemplate.creationDate()) return *created;
    return std::nullopt;
}

void FileProviderExtension::signalParent(const std::string& parentID) {
    fp::ManagerPtr manager = environment_.manager ? environment_.manager() : nullptr;
    if (!manager) return;
    manager->signalEnumerator(systemIdentifier(parentID), [](std::optional<fp::Error>) {});
}

void FileProviderExtension::scheduleAutomaticLocalCleanup(const RemoteItem& item) {
    if (item.isDirectory) return;
    cleanup_.schedule(item.id);
}

std::shared_ptr<EncryptedDriveService> FileProviderExtension::encryption() const {
    // Without one of its own the extension uses the process's service, as installed now.
    return services_.encryption ? services_.encryption : EncryptedDriveService::shared();
}

bool FileProviderExtension::isEncryptionRequired(std::stop_token stop) { return encryption()->isEncryptionRequired(stop); }

RemoteItem FileProviderExtension::createItem(const fp::Item& itemTemplate,
                                             const std::optional<std::filesystem::path>& contents,
                                             RemoteItem& parent, std::stop_token stop) {
    const std::string name = itemTemplate.filename();
    checkItemName(name);
    parent = resolveParent(itemTemplate.parentItemIdentifier());
    const bool isFolder = itemTemplate.isFolder();
    const std::optional<Date> modified = templateAttributes(itemTemplate, contents);

    if (isEncryptionRequired(stop)) {
        auto token = services_.uploads->beginUpload();
        try {
            RemoteItem created =
                encryption()->createEncryptedItem(name, parent, isFolder, contents, modified, stop);
            token->finish();
            return created;
        } catch (...) {
            token->finish();
            throw;
        }
    }
    // A plain item is never created inside an encrypted folder.
    if (isEncrypted(parent)) throw E2EEError::paused();

    const std::string path = childPath(parent, name);
    FileServer& server = *services_.server;
    if (isFolder) {
        refuseOverwrite(name, [&] { server.createFolder(path, stop); });
    } else if (contents) {
        refuseOverwrite(name, [&] {
            server.uploadFile(*contents, path, modified, FileServer::UploadMode::createOnly, stop);
        });
    } else {
        refuseOverwrite(name, [&] { server.createEmptyFile(path, stop); });
    }
    RemoteItem created = server.fetchItem(path, parent.id, stop);
    services_.mapping->upsert(created);
    return created;
}

fp::ProgressPtr FileProviderExtension::create(fp::ItemPtr itemTemplate, fp::ItemFields fields,
                                              std::optional<std::filesystem::path> contents, WriteCompletion done) {
    auto progress = fp::Progress::make(kWriteProgressUnits);
    auto self = shared_from_this();
    bool queued = submit([self, itemTemplate, fields, contents, progress, done](std::stop_token poolStop) {
        const RequestStop request(poolStop, *progress);
        const std::stop_token stop = request.token();
        RemoteItem parent;
        std::optional<RemoteItem> created;
        std::exception_ptr failure;
        try {
            created = self->createItem(*itemTemplate, contents, parent, stop);
        } catch (...) {
            failure = std::current_exception();
        }
        if (failure) {
            done(nullptr, fields, false, extensionError(failure));
            return;
        }
        progress->setCompletedUnitCount(kWriteProgressUnits);
        done(FileProviderItem::make(*created), 0, false, std::nullopt);
        self->signalParent(parent.id);
        self->scheduleAutomaticLocalCleanup(*created);
    });
    if (!queued) done(nullptr, fields, false, fp::Error::userCancelled());
    return progress;
}

RemoteItem FileProviderExtension::modifyItem(const fp::Item& item, const fp::ItemVersion& baseVersion,
                                             const std::optional<std::filesystem::path>& contents,
                                             std::string& oldParentID, RemoteItem& newParent, std::stop_token stop) {
    const fp::ItemId identifier = item.itemIdentifier();
    auto stored = services_.mapping->item(identifier);
    if (!stored) throw DesktopError::missingItem(identifier);
    oldParentID = stored->parentID;
    newParent = resolveParent(item.parentItemIdentifier());
    const std::string newName = item.filename();
    // A change of letter case is a rename too.
    const bool renamed = newName != stored->name;
    if (renamed) checkItemName(newName);

    if (isEncrypted(*stored)) {
        const std::optional<Date> modified = templateAttributes(item, contents);
        const bool baseVersionMatches = fileProviderItemVersion(*stored) == baseVersion;
        auto token = services_.uploads->beginUpload();
        try {
            RemoteItem result = encryption()->modifyEncryptedItem(*stored, newParent, newName, contents,
                                                                          modified, baseVersionMatches, stop);
            token->finish();
            return result;
        } catch (...) {
            token->finish();
            throw;
        }
    }

    FileServer& server = *services_.server;
    const bool moved = newParent.id != oldParentID;
    if (!renamed && !moved) {
        if (!contents) return *stored;
        return server.uploadFile(*contents, stored->path, templateAttributes(item, contents),
                                 FileServer::UploadMode::replace, stop);
    }
    RemoteItem result = server.moveItem(*stored, newParent, newName, stop);
    if (contents) {
        // The new contents go to the new place, after the move.
        result = server.uploadFile(*contents, result.path, templateAttributes(item, contents),
                                   FileServer::UploadMode::replace, stop);
    }
    return result;
}

fp::ProgressPtr FileProviderExtension::modify(fp::ItemPtr item, fp::ItemVersion baseVersion,
                                              fp::ItemFields changedFields,
                                              std::optional<std::filesystem::path> contents, WriteCompletion done) {
    auto progress = fp::Progress::make(kWriteProgressUnits);
    auto self = shared_from_this();
    bool queued = submit([self, item, baseVersion, changedFields, contents, progress, done](std::stop_token poolStop) {
        const RequestStop request(poolStop, *progress);
        const std::stop_token stop = request.token();
        std::string oldParentID;
        RemoteItem newParent;
        std::optional<RemoteItem> result;
        std::exception_ptr failure;
        try {
            result = self->modifyItem(*item, baseVersion, contents, oldParentID, newParent, stop);
        } catch (...) {
            failure = std::current_exception();
        }
        if (failure) {
            done(nullptr, changedFields, false, extensionError(failure));
            return;
        }
        progress->setCompletedUnitCount(kWriteProgressUnits);
        done(FileProviderItem::make(*result), 0, false, std::nullopt);
        // Both folders are signalled, the same one twice when nothing moved.
        self->signalParent(oldParentID);
        self->signalParent(newParent.id);
        if (contents) self->scheduleAutomaticLocalCleanup(*result);
    });
    if (!queued) done(nullptr, changedFields, false, fp::Error::userCancelled());
    return progress;
}

fp::ProgressPtr FileProviderExtension::remove(const fp::ItemId& identifier, fp::ItemVersion baseVersion,
                                              Completion done) {
    auto progress = fp::Progress::make(1);
    auto self = shared_from_this();
    bool queued = submit([self, identifier, baseVersion, progress, done](std::stop_token poolStop) {
        const RequestStop request(poolStop, *progress);
        const std::stop_token stop = request.token();
        std::optional<RemoteItem> stored;
        std::exception_ptr failure;
        try {
            stored = self->services_.mapping->item(identifier);
            if (!stored) throw DesktopError::missingItem(identifier);
            // An encrypted item is deleted only in the version the system saw.
            if (isEncrypted(*stored) && fileProviderItemVersion(*stored) != baseVersion) throw E2EEError::conflict();
            self->services_.server->deleteItem(*stored, stop);
        } catch (...) {
            failure = std::current_exception();
        }
        if (failure) {
            done(extensionError(failure));
            return;
        }
        progress->setCompletedUnitCount(1);
        done(std::nullopt);
        self->signalParent(stored->parentID);
    });
    if (!queued) done(fp::Error::userCancelled());
    return progress;
}

}  // namespace nimbuscrate
