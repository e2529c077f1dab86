#include "fileprovider/FileProviderEnumerator.h"

#include <charconv>
#include <set>

#include "fileprovider/ExtensionErrors.h"
#include "fileprovider/ExtensionLoggers.h"
#include "fileprovider/FileProviderItem.h"
#include "platform/core/CancellationError.h"
#include "platform/tasks/Clock.h"
#include "platform/tasks/TaskPool.h"

namespace nimbuscrate {
namespace {

constexpr const char* kStoredChildrenQuery = "SELECT * FROM items WHERE parent_id=? AND id<>? ORDER BY name COLLATE NOCASE";

std::vector<fp::ItemPtr> systemItems(const std::vector<RemoteItem>& items) {
    std::vector<fp::ItemPtr> result;
    result.reserve(items.size());
    for (const auto& item : items) result.push_back(FileProviderItem::make(item));
    return result;
}

}  // namespace

fp::SyncAnchor timeSyncAnchor(Date time) {
    char buffer[64];
    // Fixed notation in its shortest round-trip form; a whole second gets ".0".
    auto [end, status] = std::to_chars(buffer, buffer + sizeof buffer, time.unixSeconds(), std::chars_format::fixed);
    std::string text = status == std::errc() ? std::string(buffer, end) : std::string("0");
    if (text.find('.') == std::string::npos) text += ".0";
    return fp::SyncAnchor(text.begin(), text.end());
}

FileProviderEnumerator::FileProviderEnumerator(RemoteItem container, std::shared_ptr<FileServer> server,
                                               MappingStore& mapping, TaskPool& tasks, Clock& clock)
    : container_(std::move(container)), server_(std::move(server)), mapping_(mapping), tasks_(tasks), clock_(clock) {}

void FileProviderEnumerator::invalidate() { invalidated_.store(true); }

void FileProviderEnumerator::enumerateItems(fp::EnumerationObserverPtr observer, fp::Page) {
    auto self = shared_from_this();
    bool queued = tasks_.submit([self, observer](std::stop_token stop) { self->listItems(observer, stop); });
    // A pool that no longer takes tasks belongs to a process that is ending.
    if (!queued) observer->finishWithError(fp::Error::userCancelled());
}

void FileProviderEnumerator::enumerateChanges(fp::ChangeObserverPtr observer, fp::SyncAnchor) {
    auto self = shared_from_this();
    bool queued = tasks_.submit([self, observer](std::stop_token stop) { self->listChanges(observer, stop); });
    if (!queued) observer->finishWithError(fp::Error::userCancelled());
}

void FileProviderEnumerator::currentSyncAnchor(std::function<void(std::optional<fp::SyncAnchor>)> completion) {
    completion(timeSyncAnchor(clock_.now()));
}

void FileProviderEnumerator::listItems(const fp::EnumerationObserverPtr& observer, std::stop_token stop) {
    std::vector<RemoteItem> children;
    std::exception_ptr failure;
    try {
        if (invalidated_.load()) throw CancellationError();
        const MappingStore::Listing listing = mapping_.beginListing();
        children = server_->listItems(container_, stop);
        mapping_.replaceChildren(container_.id, children, &listing);
        children = current(std::move(children), mapping_.writtenSince(listing));
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        enumerationLogger().error("Enumeration failed for " + container_.path + ": " + describeError(failure));
        observer->finishWithError(extensionError(failure));
        return;
    }
    enumerationLogger().info("Enumerated " + std::to_string(children.size()) + " direct children for " +
                             container_.path);
    observer->didEnumerate(systemItems(children));
    observer->finishUpTo(std::nullopt);
}

std::vector<RemoteItem> FileProviderEnumerator::current(std::vector<RemoteItem> listed,
                                                        const std::set<std::string>& newer) {
    if (newer.empty()) return listed;
    std::vector<RemoteItem> result;
    result.reserve(listed.size());
    for (auto& item : listed) {
        if (!newer.count(item.id)) result.push_back(std::move(item));
    }
    for (const auto& id : newer) {
        auto stored = mapping_.item(id);
        if (stored && stored->parentID == container_.id && id != container_.id) result.push_back(std::move(*stored));
    }
    return result;
}

void FileProviderEnumerator::listChanges(const fp::ChangeObserverPtr& observer, std::stop_token stop) {
    if (invalidated_.load()) {
        observer->finishWithError(extensionError(std::make_exception_ptr(CancellationError())));
        return;
    }
    const MappingStore::Listing listing = mapping_.beginListing();
    // A failed read of the stored children only means no deletions are reported this time.
    const std::vector<RemoteItem> stored = mapping_.rows(kStoredChildrenQuery, {container_.id, container_.id});

    std::vector<RemoteItem> fresh;
    std::exception_ptr failure;
    try {
        fresh = server_->listItems(container_, stop);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        observer->finishWithError(extensionError(failure));
        return;
    }

    try {
        mapping_.replaceChildren(container_.id, fresh, &listing);
    } catch (...) {
        observer->finishWithError(extensionError(std::current_exception()));
        return;
    }

    // What was written here meanwhile is newer than the listing: reported as it is now.
    const std::set<std::string> newer = mapping_.writtenSince(listing);
    std::set<std::string> freshIDs;
    for (const auto& item : fresh) freshIDs.insert(item.id);
    std::vector<fp::ItemId> deleted;
    for (const auto& item : stored) {
        if (!freshIDs.count(item.id) && !newer.count(item.id)) deleted.push_back(item.id);
    }
    fresh = current(std::move(fresh), newer);

    // Every listed child counts as updated, whether new, changed or not.
    observer->didUpdate(systemItems(fresh));
    if (!deleted.empty()) observer->didDelete(std::move(deleted));
    observer->finishChangesUpTo(timeSyncAnchor(clock_.now()), false);
}

}  // namespace nimbuscrate
