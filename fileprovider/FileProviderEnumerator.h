#pragma once

#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fileprovider/FileServer.h"
#include "platform/fileprovider/Enumerator.h"
#include "shared/session/MappingStore.h"
#include "shared/session/RemoteItem.h"

namespace nimbuscrate {

class Clock;
class TaskPool;

// The sync anchor of a folder enumerator: the UTF-8 decimal text of the time
// as seconds since 1970, in the shortest form that reads back to the same
// number, always with a fraction ("1700000000.0", "1700000000.25").
fp::SyncAnchor timeSyncAnchor(Date time);

// Lists one folder of the drive. Every request lists the folder afresh from
// the server in one batch, stores the listing as the folder's children in
// the mapping database and reports it; changes are found by comparing the
// fresh listing with the stored children. Nothing is remembered between
// requests but the mapping database.
class FileProviderEnumerator final : public fp::Enumerator,
                                     public std::enable_shared_from_this<FileProviderEnumerator> {
public:
    FileProviderEnumerator(RemoteItem container, std::shared_ptr<FileServer> server, MappingStore& mapping,
                           TaskPool& tasks, Clock& clock);

    const RemoteItem& container() const { return container_; }

    // Requests that start after this fail with the user-cancelled error;
    // requests already running go on to their end.
    void invalidate() override;
    void enumerateItems(fp::EnumerationObserverPtr observer, fp::Page page) override;
    void enumerateChanges(fp::ChangeObserverPtr observer, fp::SyncAnchor anchor) override;
    void currentSyncAnchor(std::function<void(std::optional<fp::SyncAnchor>)> completion) override;

private:
    void listItems(const fp::EnumerationObserverPtr& observer, std::stop_token stop);
    void listChanges(const fp::ChangeObserverPtr& observer, std::stop_token stop);
    // The listing as things stand now: an item written here since it began
    // shows as stored now (or not at all when it left the folder).
    std::vector<RemoteItem> current(std::vector<RemoteItem> listed, const std::set<std::string>& newer);

    const RemoteItem container_;
    std::shared_ptr<FileServer> server_;
    MappingStore& mapping_;
    TaskPool& tasks_;
    Clock& clock_;
    std::atomic<bool> invalidated_{false};
};

}  // namespace nimbuscrate
