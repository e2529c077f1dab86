#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "platform/fileprovider/Enumerator.h"
#include "platform/fileprovider/Error.h"
#include "platform/fileprovider/Identifiers.h"

namespace nimbuscrate::fp {

// The system's side of one domain, as the extension and the app reach it.
// Every call only enqueues and returns; each completion runs exactly once,
// later and on another thread, never inside the call itself.
class Manager {
public:
    using Completion = std::function<void(std::optional<Error>)>;

    virtual ~Manager() = default;

    // Asks the system to enumerate the changes of a container again.
    virtual void signalEnumerator(const ItemId& container, Completion done) = 0;
    // Removes the local copy of an item; fails when it cannot go now.
    virtual void evictItem(const ItemId& item, Completion done) = 0;
    // Completes once pending changes below the item have been synchronised.
    virtual void waitForChangesBelow(const ItemId& item, Completion done) = 0;
    // An enumerator of the items that have a local copy.
    virtual EnumeratorPtr materializedItems() = 0;
    // Where the user sees the item in the file system.
    virtual void userVisiblePath(const ItemId& item,
                                 std::function<void(std::optional<std::filesystem::path>, std::optional<Error>)> done) = 0;
};

using ManagerPtr = std::shared_ptr<Manager>;

}  // namespace nimbuscrate::fp
