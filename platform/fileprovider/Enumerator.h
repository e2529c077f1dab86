#pragma once

#include <functional>
#include <memory>

#include "platform/fileprovider/EnumerationObserver.h"

namespace nimbuscrate::fp {

// Lists one container for the system. Every call returns at once; the
// observer (or the completion) is called later, exactly once per request.
class Enumerator {
public:
    virtual ~Enumerator() = default;
    virtual void invalidate() = 0;
    virtual void enumerateItems(EnumerationObserverPtr observer, Page page) = 0;
    virtual void enumerateChanges(ChangeObserverPtr observer, SyncAnchor anchor) = 0;
    virtual void currentSyncAnchor(std::function<void(std::optional<SyncAnchor>)> completion) = 0;
};

using EnumeratorPtr = std::shared_ptr<Enumerator>;

}  // namespace nimbuscrate::fp
