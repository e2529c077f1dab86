#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "platform/fileprovider/Error.h"
#include "platform/fileprovider/Identifiers.h"
#include "platform/fileprovider/Item.h"

namespace nimbuscrate::fp {

// Receives one page at a time of a folder listing. An enumeration ends with
// exactly one finishing call: finishUpTo or finishWithError.
class EnumerationObserver {
public:
    virtual ~EnumerationObserver() = default;
    virtual void didEnumerate(std::vector<ItemPtr> items) = 0;
    // nextPage: the page to ask for next, or none at the end.
    virtual void finishUpTo(std::optional<Page> nextPage) = 0;
    virtual void finishWithError(Error error) = 0;
};

// Receives the changes since a sync anchor. Ends with exactly one finishing
// call: finishChangesUpTo or finishWithError.
class ChangeObserver {
public:
    virtual ~ChangeObserver() = default;
    virtual void didUpdate(std::vector<ItemPtr> items) = 0;
    virtual void didDelete(std::vector<ItemId> identifiers) = 0;
    virtual void finishChangesUpTo(SyncAnchor anchor, bool moreComing) = 0;
    virtual void finishWithError(Error error) = 0;
};

using EnumerationObserverPtr = std::shared_ptr<EnumerationObserver>;
using ChangeObserverPtr = std::shared_ptr<ChangeObserver>;

}  // namespace nimbuscrate::fp
