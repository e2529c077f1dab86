#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/fileprovider/ReplicatedExtension.h"
#include "platform/fileprovider/testing/CompletionTracker.h"
#include "platform/fileprovider/testing/FakeManager.h"
#include "platform/fileprovider/testing/RecordingObservers.h"
#include "platform/tasks/Clock.h"
#include "platform/tasks/TaskPool.h"

namespace nimbuscrate::fp::testing {

// What one completion handler received, call by call.
template <class... Args>
class CallRecord {
public:
    void add(Args... args) {
        std::lock_guard lock(mutex_);
        calls_.emplace_back(std::move(args)...);
    }
    std::size_t count() const {
        std::lock_guard lock(mutex_);
        return calls_.size();
    }
    // The first call's values (the test fails through drain() when there
    // was no call; asking for it then throws).
    std::tuple<Args...> first() const {
        std::lock_guard lock(mutex_);
        return calls_.at(0);
    }
    ProgressPtr progress;

private:
    mutable std::mutex mutex_;
    std::vector<std::tuple<Args...>> calls_;
};

using ItemCall = CallRecord<ItemPtr, std::optional<Error>>;
using ContentsCall = CallRecord<std::optional<std::filesystem::path>, ItemPtr, std::optional<Error>>;
using WriteCall = CallRecord<ItemPtr, ItemFields, bool, std::optional<Error>>;
using ErrorCall = CallRecord<std::optional<Error>>;

struct ThumbnailsCall {
    std::shared_ptr<CallRecord<ItemId, std::optional<Bytes>, std::optional<Error>>> perItem =
        std::make_shared<CallRecord<ItemId, std::optional<Bytes>, std::optional<Error>>>();
    std::shared_ptr<ErrorCall> done = std::make_shared<ErrorCall>();
};

// Plays the system for one extension in a test: builds it with a fake
// manager (or none), a task pool and a manual clock; calls its entries with
// tracked completion handlers and recording observers; drain() waits until
// the pool is idle and reports every handler that did not run exactly once,
// and every call that came late. When the harness goes, after the extension
// has gone, a last look catches what came late or twice after the last
// drain and hands it to Options::onViolationsAtEnd.
class ExtensionHarness {
public:
    struct Options {
        Domain domain{"nimbuscrate", "Nimbuscrate"};
        bool withManager = true;
        std::size_t threads = 4;
        // Receives the violations the last look finds (called only when there
        // are some). Unset: they are written to standard error and the
        // process aborts, so that no late call passes unseen.
        std::function<void(const std::vector<std::string>&)> onViolationsAtEnd;
    };

    explicit ExtensionHarness(ExtensionFactory factory);
    ExtensionHarness(ExtensionFactory factory, Options options);
    ~ExtensionHarness();
    ExtensionHarness(const ExtensionHarness&) = delete;
    ExtensionHarness& operator=(const ExtensionHarness&) = delete;

    ReplicatedExtension& extension() { return *extension_; }
    FakeManager& manager() { return *manager_; }
    ManualClock& clock() { return clock_; }
    TaskPool& tasks() { return tasks_; }
    CompletionTracker& tracker() { return tracker_; }

    std::shared_ptr<ItemCall> item(const ItemId& identifier);
    std::shared_ptr<ContentsCall> fetchContents(const ItemId& identifier,
                                                std::optional<ItemVersion> version = std::nullopt);
    // Every requested identifier must be answered exactly once through the
    // per-thumbnail handler before the final completion, and nothing after
    // it; only a final completion carrying user-cancelled excuses the
    // identifiers that never got an answer (their chunks never started).
    ThumbnailsCall fetchThumbnails(std::vector<ItemId> identifiers, ThumbnailSize size = {256, 256});
    std::shared_ptr<WriteCall> create(ItemPtr itemTemplate, ItemFields fields,
                                      std::optional<std::filesystem::path> contents = std::nullopt);
    std::shared_ptr<WriteCall> modify(ItemPtr item, ItemVersion baseVersion, ItemFields changedFields,
                                      std::optional<std::filesystem::path> contents = std::nullopt);
    std::shared_ptr<ErrorCall> remove(const ItemId& identifier, ItemVersion baseVersion);

    // The enumerator of a container (null with the error when the
    // extension refused it).
    EnumeratorPtr enumerator(const ItemId& container, std::optional<Error>* error = nullptr);
    // One items request of the container's enumerator, from the page.
    std::shared_ptr<RecordingEnumerationObserver> enumerateItems(const ItemId& container, Page page = kInitialPage);
    std::shared_ptr<RecordingChangeObserver> enumerateChanges(const ItemId& container, SyncAnchor anchor = {});
    std::shared_ptr<CallRecord<std::optional<SyncAnchor>>> currentSyncAnchor(const ItemId& container);

    // Waits until the pool is idle (at most the timeout), then returns every
    // violation: handlers never called or called twice, calls after the
    // handler was seen complete, an extension that kept the pool busy.
    std::vector<std::string> drain(std::chrono::milliseconds timeout = std::chrono::seconds(20));

private:
    bool waitIdle(std::chrono::milliseconds timeout);

    Options options_;
    ManualClock clock_;
    TaskPool tasks_;
    CompletionTracker tracker_;
    std::shared_ptr<FakeManager> manager_;
    ExtensionPtr extension_;
    std::vector<std::thread> idleWaiters_;
    std::vector<EnumeratorPtr> enumerators_;  // kept alive as the system would
    std::mutex mutex_;
};

}  // namespace nimbuscrate::fp::testing
