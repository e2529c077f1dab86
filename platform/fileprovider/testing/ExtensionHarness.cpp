#include "platform/fileprovider/testing/ExtensionHarness.h"

#include <cstdio>
#include <cstdlib>
#include <future>

namespace nimbuscrate::fp::testing {

ExtensionHarness::ExtensionHarness(ExtensionFactory factory) : ExtensionHarness(std::move(factory), Options{}) {}

ExtensionHarness::ExtensionHarness(ExtensionFactory factory, Options options)
    : options_(std::move(options)), tasks_(options_.threads) {
    manager_ = std::make_shared<FakeManager>(tasks_, clock_);
    ExtensionEnvironment environment;
    environment.domain = options_.domain;
    if (options_.withManager) {
        std::weak_ptr<FakeManager> weak = manager_;
        environment.manager = [weak]() -> ManagerPtr { return weak.lock(); };
    } else {
        environment.manager = []() -> ManagerPtr { return nullptr; };
    }
    environment.tasks = &tasks_;
    environment.clock = &clock_;
    extension_ = factory(environment);
}

ExtensionHarness::~ExtensionHarness() {
    // Stops sleeping and running tasks first, so that no task outlives the
    // extension and the fakes it uses.
    tasks_.shutdown();
    for (auto& waiter : idleWaiters_) waiter.join();
    enumerators_.clear();
    extension_.reset();

    // The last look: a handler called late or twice after the last drain.
    // Handlers still open are not blamed here: the shutdown above may have
    // dropped the tasks that would have called them.
    auto violations = tracker_.takeViolations();
    if (violations.empty()) return;
    if (options_.onViolationsAtEnd) {
        options_.onViolationsAtEnd(violations);
        return;
    }
    std::fprintf(stderr, "The extension harness found violations after the last drain():\n");
    for (const auto& violation : violations) std::fprintf(stderr, "  %s\n", violation.c_str());
    std::abort();
}

std::shared_ptr<ItemCall> ExtensionHarness::item(const ItemId& identifier) {
    auto record = std::make_shared<ItemCall>();
    auto done = tracker_.wrap<ItemPtr, std::optional<Error>>(
        "item(" + identifier + ") completion",
        [record](ItemPtr item, std::optional<Error> error) { record->add(std::move(item), std::move(error)); });
    record->progress = extension_->item(identifier, std::move(done));
    return record;
}

std::shared_ptr<ContentsCall> ExtensionHarness::fetchContents(const ItemId& identifier,
                                                              std::optional<ItemVersion> version) {
    auto record = std::make_shared<ContentsCall>();
    auto done = tracker_.wrap<std::optional<std::filesystem::path>, ItemPtr, std::optional<Error>>(
        "fetchContents(" + identifier + ") completion",
        [record](std::optional<std::filesystem::path> path, ItemPtr item, std::optional<Error> error) {
            record->add(std::move(path), std::move(item), std::move(error));
        });
    record->progress = extension_->fetchContents(identifier, std::move(version), std::move(done));
    return record;
}

ThumbnailsCall ExtensionHarness::fetchThumbnails(std::vector<ItemId> identifiers, ThumbnailSize size) {
    ThumbnailsCall call;
    auto perItem = call.perItem;
    auto doneRecord = call.done;

    // One slot per requested identifier (per occurrence, should one be asked
    // for twice). The final completion closes them all: an answer after it
    // is late, and an identifier without an answer is a violation unless the
    // request ended cancelled.
    struct Answers {
        std::mutex mutex;
        std::map<ItemId, std::vector<CompletionTracker::SlotPtr>> slots;
        bool finished = false;
    };
    auto answers = std::make_shared<Answers>();
    for (const auto& id : identifiers) {
        answers->slots[id].push_back(tracker_.open("fetchThumbnails per-thumbnail(" + id + ")"));
    }
    CompletionTracker* tracker = &tracker_;

    ReplicatedExtension::PerThumbnail perThumbnail = [perItem, answers, tracker](
                                                         const ItemId& id, std::optional<Bytes> data,
                                                         std::optional<Error> error) {
        {
            std::lock_guard lock(answers->mutex);
            auto found = answers->slots.find(id);
            if (found == answers->slots.end()) {
                tracker->report("fetchThumbnails per-thumbnail(" + id + "): answered, but never requested");
            } else {
                // The first slot of the identifier not yet answered takes the
                // answer; with all answered, the last one reports the extra call.
                CompletionTracker::SlotPtr slot = found->second.back();
                for (const auto& candidate : found->second) {
                    if (candidate->hits() == 0) {
                        slot = candidate;
                        break;
                    }
                }
                slot->hit();
            }
        }
        perItem->add(id, std::move(data), std::move(error));
    };

    auto doneSlot = tracker_.open("fetchThumbnails completion");
    ReplicatedExtension::Completion done = [doneSlot, doneRecord, answers, tracker](std::optional<Error> error) {
        doneSlot->hit();
        const bool cancelled = error && error->is(kCocoaErrorDomain, CocoaErrorCode::userCancelled);
        {
            std::lock_guard lock(answers->mutex);
            if (!answers->finished) {
                answers->finished = true;
                for (const auto& [id, slots] : answers->slots) {
                    for (const auto& slot : slots) {
                        auto hits = tracker->close(slot, "after the final completion");
                        if (hits && *hits == 0 && !cancelled) {
                            tracker->report("fetchThumbnails per-thumbnail(" + id +
                                            "): never answered before the final completion");
                        }
                    }
                }
            }
        }
        doneRecord->add(std::move(error));
    };
    doneRecord->progress = extension_->fetchThumbnails(std::move(identifiers), size, perThumbnail, std::move(done));
    return call;
}

std::shared_ptr<WriteCall> ExtensionHarness::create(ItemPtr itemTemplate, ItemFields fields,
                                                    std::optional<std::filesystem::path> contents) {
    auto record = std::make_shared<WriteCall>();
    auto done = tracker_.wrap<ItemPtr, ItemFields, bool, std::optional<Error>>(
        "create(" + itemTemplate->filename() + ") completion",
        [record](ItemPtr item, ItemFields pending, bool refetch, std::optional<Error> error) {
            record->add(std::move(item), pending, refetch, std::move(error));
        });
    record->progress = extension_->create(std::move(itemTemplate), fields, std::move(contents), std::move(done));
    return record;
}

std::shared_ptr<WriteCall> ExtensionHarness::modify(ItemPtr item, ItemVersion baseVersion, ItemFields changedFields,
                                                    std::optional<std::filesystem::path> contents) {
    auto record = std::make_shared<WriteCall>();
    auto done = tracker_.wrap<ItemPtr, ItemFields, bool, std::optional<Error>>(
        "modify(" + item->itemIdentifier() + ") completion",
        [record](ItemPtr result, ItemFields pending, bool refetch, std::optional<Error> error) {
            record->add(std::move(result), pending, refetch, std::move(error));
        });
    record->progress = extension_->modify(std::move(item), std::move(baseVersion), changedFields, std::move(contents),
                                          std::move(done));
    return record;
}

std::shared_ptr<ErrorCall> ExtensionHarness::remove(const ItemId& identifier, ItemVersion baseVersion) {
    auto record = std::make_shared<ErrorCall>();
    auto done = tracker_.wrap<std::optional<Error>>(
        "remove(" + identifier + ") completion",
        [record](std::optional<Error> error) { record->add(std::move(error)); });
    record->progress = extension_->remove(identifier, std::move(baseVersion), std::move(done));
    return record;
}

EnumeratorPtr ExtensionHarness::enumerator(const ItemId& container, std::optional<Error>* error) {
    std::optional<Error> failure;
    auto enumerator = extension_->enumerator(container, failure);
    if (error) *error = failure;
    if (enumerator && failure) tracker_.report("enumerator(" + container + "): returned an enumerator and an error");
    if (!enumerator && !failure) tracker_.report("enumerator(" + container + "): returned neither enumerator nor error");
    if (enumerator) {
        std::lock_guard lock(mutex_);
        enumerators_.push_back(enumerator);
    }
    return enumerator;
}

std::shared_ptr<RecordingEnumerationObserver> ExtensionHarness::enumerateItems(const ItemId& container, Page page) {
    auto observer = std::make_shared<RecordingEnumerationObserver>(tracker_, "enumerateItems(" + container + ")");
    std::optional<Error> error;
    auto enumerator = this->enumerator(container, &error);
    if (!enumerator) {
        // The system reports a refused enumerator to the observer's owner.
        observer->finishWithError(error.value_or(Error::fileProvider(FileProviderErrorCode::noSuchItem)));
        return observer;
    }
    enumerator->enumerateItems(observer, std::move(page));
    return observer;
}

std::shared_ptr<RecordingChangeObserver> ExtensionHarness::enumerateChanges(const ItemId& container,
                                                                            SyncAnchor anchor) {
    auto observer = std::make_shared<RecordingChangeObserver>(tracker_, "enumerateChanges(" + container + ")");
    std::optional<Error> error;
    auto enumerator = this->enumerator(container, &error);
    if (!enumerator) {
        observer->finishWithError(error.value_or(Error::fileProvider(FileProviderErrorCode::noSuchItem)));
        return observer;
    }
    enumerator->enumerateChanges(observer, std::move(anchor));
    return observer;
}

std::shared_ptr<CallRecord<std::optional<SyncAnchor>>> ExtensionHarness::currentSyncAnchor(const ItemId& container) {
    auto record = std::make_shared<CallRecord<std::optional<SyncAnchor>>>();
    auto enumerator = this->enumerator(container);
    if (!enumerator) return record;
    auto done = tracker_.wrap<std::optional<SyncAnchor>>(
        "currentSyncAnchor(" + container + ") completion",
        [record](std::optional<SyncAnchor> anchor) { record->add(std::move(anchor)); });
    enumerator->currentSyncAnchor(std::move(done));
    return record;
}

bool ExtensionHarness::waitIdle(std::chrono::milliseconds timeout) {
    auto promise = std::make_shared<std::promise<void>>();
    auto future = promise->get_future();
    idleWaiters_.emplace_back([this, promise] {
        tasks_.waitIdle();
        promise->set_value();
    });
    if (future.wait_for(timeout) != std::future_status::ready) return false;
    idleWaiters_.back().join();
    idleWaiters_.pop_back();
    return true;
}

std::vector<std::string> ExtensionHarness::drain(std::chrono::milliseconds timeout) {
    std::vector<std::string> violations;
    if (!waitIdle(timeout)) {
        violations.push_back("the extension's tasks did not finish within " + std::to_string(timeout.count()) +
                             " ms (a task still sleeps or waits)");
    }
    auto found = tracker_.check();
    violations.insert(violations.end(), found.begin(), found.end());
    return violations;
}

}  // namespace nimbuscrate::fp::testing
