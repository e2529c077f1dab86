#include "platform/fileprovider/testing/InMemoryExtension.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "platform/tasks/TaskPool.h"

namespace nimbuscrate::fp::testing {
namespace {

Bytes bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::optional<std::uint64_t> parseCounter(const Bytes& anchor) {
    if (anchor.empty() || anchor.size() > 19) return std::nullopt;
    std::uint64_t value = 0;
    for (auto c : anchor) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

Error noSuchItem() { return Error::fileProvider(FileProviderErrorCode::noSuchItem); }

}  // namespace

// Lists one container of the tree.
class InMemoryExtension::TreeEnumerator final : public Enumerator {
public:
    TreeEnumerator(std::shared_ptr<InMemoryExtension> owner, ItemId container)
        : owner_(std::move(owner)), container_(std::move(container)) {}

    void invalidate() override {}

    void enumerateItems(EnumerationObserverPtr observer, Page page) override {
        auto owner = owner_;
        auto container = container_;
        owner_->run("enumerateItems", [owner, container, observer, page](std::optional<Error> fault) {
            if (fault) return observer->finishWithError(*fault);
            std::vector<ItemPtr> batch;
            std::optional<Page> next;
            {
                std::lock_guard lock(owner->mutex_);
                if (!owner->nodes_.count(container)) return observer->finishWithError(noSuchItem());
                std::vector<const Node*> children;
                for (const auto& [id, node] : owner->nodes_) {
                    if (node.parent == container && id != container) children.push_back(&node);
                }
                std::sort(children.begin(), children.end(),
                          [](const Node* a, const Node* b) { return a->name < b->name; });
                std::size_t start = parseCounter(page).value_or(0);
                std::size_t end = std::min(children.size(), start + owner->pageSize_);
                for (std::size_t i = start; i < end; ++i) batch.push_back(owner->itemLocked(*children[i]));
                if (end < children.size()) next = bytes(std::to_string(end));
            }
            observer->didEnumerate(std::move(batch));
            observer->finishUpTo(std::move(next));
        });
    }

    void enumerateChanges(ChangeObserverPtr observer, SyncAnchor anchor) override {
        auto owner = owner_;
        auto container = container_;
        owner_->run("enumerateChanges", [owner, container, observer, anchor](std::optional<Error> fault) {
            if (fault) return observer->finishWithError(*fault);
            std::vector<ItemPtr> updated;
            std::vector<ItemId> deleted;
            std::uint64_t current = 0;
            {
                std::lock_guard lock(owner->mutex_);
                if (!owner->nodes_.count(container)) return observer->finishWithError(noSuchItem());
                auto since = parseCounter(anchor);
                for (const auto& [id, node] : owner->nodes_) {
                    if (node.parent != container || id == container) continue;
                    if (!since || node.changedAt > *since) updated.push_back(owner->itemLocked(node));
                }
                if (since) {
                    for (const auto& removal : owner->removals_) {
                        if (removal.parent == container && removal.at > *since &&
                            !(owner->nodes_.count(removal.id) && owner->nodes_.at(removal.id).parent == container)) {
                            deleted.push_back(removal.id);
                        }
                    }
                }
                current = owner->counter_;
            }
            observer->didUpdate(std::move(updated));
            if (!deleted.empty()) observer->didDelete(std::move(deleted));
            observer->finishChangesUpTo(bytes(std::to_string(current)), false);
        });
    }

    void currentSyncAnchor(std::function<void(std::optional<SyncAnchor>)> completion) override {
        auto owner = owner_;
        const bool queued = owner_->environment_.tasks->submit([owner, completion](std::stop_token) {
            std::uint64_t current;
            {
                std::lock_guard lock(owner->mutex_);
                current = owner->counter_;
            }
            completion(bytes(std::to_string(current)));
        });
        if (!queued) completion(std::nullopt);
    }

private:
    std::shared_ptr<InMemoryExtension> owner_;
    ItemId container_;
};

// An enumerator with nothing in it (the Trash, the working set).
class EmptyEnumerator final : public Enumerator {
public:
    explicit EmptyEnumerator(TaskPool& tasks) : tasks_(tasks) {}
    void invalidate() override {}
    // A pool that no longer takes tasks answers each call at once, as cancelled.
    void enumerateItems(EnumerationObserverPtr observer, Page) override {
        const bool queued = tasks_.submit([observer](std::stop_token) {
            observer->didEnumerate({});
            observer->finishUpTo(std::nullopt);
        });
        if (!queued) observer->finishWithError(Error::userCancelled());
    }
    void enumerateChanges(ChangeObserverPtr observer, SyncAnchor) override {
        const bool queued =
            tasks_.submit([observer](std::stop_token) { observer->finishChangesUpTo(bytes("empty"), false); });
        if (!queued) observer->finishWithError(Error::userCancelled());
    }
    void currentSyncAnchor(std::function<void(std::optional<SyncAnchor>)> completion) override {
        const bool queued = tasks_.submit([completion](std::stop_token) { completion(bytes("empty")); });
        if (!queued) completion(std::nullopt);
    }

private:
    TaskPool& tasks_;
};

InMemoryExtension::InMemoryExtension(ExtensionEnvironment environment, std::filesystem::path scratch)
    : environment_(std::move(environment)), scratch_(std::move(scratch)) {
    if (!environment_.tasks) throw std::invalid_argument("the in-memory extension needs a task pool");
    std::filesystem::create_directories(scratch_);
    Node root;
    root.id = kRootContainer;
    root.parent = kRootContainer;
    root.name = environment_.domain.displayName;
    root.folder = true;
    root.modified = Date::fromUnixSeconds(1'700'000'000);
    nodes_.emplace(root.id, root);
}

ItemId InMemoryExtension::insertLocked(const ItemId& parent, const std::string& name, bool folder,
                                       std::string contents, Date modified) {
    auto found = nodes_.find(parent);
    if (found == nodes_.end() || !found->second.folder) throw std::invalid_argument("no such folder: " + parent);
    if (nameTakenLocked(parent, name, {})) throw std::invalid_argument("name taken: " + name);
    Node node;
    node.id = "n" + std::to_string(nextId_++);
    node.parent = parent;
    node.name = name;
    node.folder = folder;
    node.contents = std::move(contents);
    node.modified = modified;
    node.changedAt = ++counter_;
    node.contentVersion = 1;
    nodes_.emplace(node.id, node);
    return node.id;
}

bool InMemoryExtension::nameTakenLocked(const ItemId& parent, const std::string& name, const ItemId& except) const {
    for (const auto& [id, node] : nodes_) {
        if (node.parent == parent && id != parent && id != except && node.name == name) return true;
    }
    return false;
}

ItemId InMemoryExtension::addFolder(const ItemId& parent, const std::string& name, Date modified) {
    std::lock_guard lock(mutex_);
    return insertLocked(parent, name, true, {}, modified);
}

ItemId InMemoryExtension::addFile(const ItemId& parent, const std::string& name, std::string contents, Date modified) {
    std::lock_guard lock(mutex_);
    return insertLocked(parent, name, false, std::move(contents), modified);
}

InMemoryExtension::Node& InMemoryExtension::nodeLocked(const ItemId& id) {
    auto found = nodes_.find(id);
    if (found == nodes_.end() || id == kRootContainer) throw std::invalid_argument("no such item: " + id);
    return found->second;
}

void InMemoryExtension::setContents(const ItemId& id, std::string contents, std::optional<Date> modified) {
    std::lock_guard lock(mutex_);
    auto& node = nodeLocked(id);
    node.contents = std::move(contents);
    if (modified) node.modified = *modified;
    node.changedAt = ++counter_;
    ++node.contentVersion;
}

void InMemoryExtension::rename(const ItemId& id, const std::string& name) {
    std::lock_guard lock(mutex_);
    auto& node = nodeLocked(id);
    node.name = name;
    node.changedAt = ++counter_;
}

void InMemoryExtension::move(const ItemId& id, const ItemId& newParent) {
    std::lock_guard lock(mutex_);
    auto& node = nodeLocked(id);
    auto parent = nodes_.find(newParent);
    if (parent == nodes_.end() || !parent->second.folder) throw std::invalid_argument("no such folder: " + newParent);
    removals_.push_back({++counter_, id, node.parent});
    node.parent = newParent;
    node.changedAt = ++counter_;
}

void InMemoryExtension::removeLocked(const ItemId& id) {
    std::vector<ItemId> below;
    for (const auto& [childId, node] : nodes_) {
        if (node.parent == id && childId != id) below.push_back(childId);
    }
    for (const auto& child : below) removeLocked(child);
    auto& node = nodeLocked(id);
    removals_.push_back({++counter_, id, node.parent});
    nodes_.erase(id);
}

void InMemoryExtension::removeItem(const ItemId& id) {
    std::lock_guard lock(mutex_);
    removeLocked(id);
}

bool InMemoryExtension::exists(const ItemId& id) const {
    std::lock_guard lock(mutex_);
    return nodes_.count(id) != 0;
}

std::string InMemoryExtension::contents(const ItemId& id) const {
    std::lock_guard lock(mutex_);
    auto found = nodes_.find(id);
    return found == nodes_.end() ? std::string() : found->second.contents;
}

std::vector<ItemId> InMemoryExtension::children(const ItemId& parent) const {
    std::lock_guard lock(mutex_);
    std::vector<ItemId> ids;
    for (const auto& [id, node] : nodes_) {
        if (node.parent == parent && id != parent) ids.push_back(id);
    }
    return ids;
}

void InMemoryExtension::failNext(const std::string& entry, Error error, int times) {
    std::lock_guard lock(mutex_);
    for (int i = 0; i < times; ++i) faults_[entry].push_back(error);
}

void InMemoryExtension::holdAt(const std::string& entry, std::shared_ptr<Gate> gate) {
    std::lock_guard lock(mutex_);
    gates_[entry] = std::move(gate);
}

std::size_t InMemoryExtension::calls(const std::string& entry) const {
    std::lock_guard lock(mutex_);
    auto found = calls_.find(entry);
    return found == calls_.end() ? 0 : found->second;
}

std::size_t InMemoryExtension::fetches(const ItemId& id) const {
    std::lock_guard lock(mutex_);
    auto found = fetches_.find(id);
    return found == fetches_.end() ? 0 : found->second;
}

void InMemoryExtension::setPageSize(std::size_t size) {
    std::lock_guard lock(mutex_);
    pageSize_ = std::max<std::size_t>(size, 1);
}

void InMemoryExtension::run(const std::string& entry, std::function<void(std::optional<Error>)> reply,
                            ProgressPtr progress) {
    std::optional<Error> fault;
    std::shared_ptr<Gate> gate;
    {
        std::lock_guard lock(mutex_);
        ++calls_[entry];
        auto& queue = faults_[entry];
        if (!queue.empty()) {
            fault = queue.front();
            queue.erase(queue.begin());
        }
        auto found = gates_.find(entry);
        if (found != gates_.end()) gate = found->second;
    }
    auto shared = std::make_shared<std::function<void(std::optional<Error>)>>(std::move(reply));
    const bool queued = environment_.tasks->submit([gate, fault, shared, progress](std::stop_token poolStop) {
        std::stop_source request;
        auto stopRequest = [&request] { request.request_stop(); };
        std::stop_callback onPool(poolStop, stopRequest);
        std::stop_callback onProgress(progress ? progress->stopToken() : std::stop_token(), stopRequest);
        if (gate && !gate->pass(request.get_token())) {
            (*shared)(Error::userCancelled());
            return;
        }
        (*shared)(fault);
    });
    // A pool that no longer takes tasks: the call is answered at once, as cancelled.
    if (!queued) (*shared)(Error::userCancelled());
}

ItemPtr InMemoryExtension::itemLocked(const Node& node) const {
    ItemProperties properties;
    properties.identifier = node.id;
    properties.parent = node.id == kRootContainer ? kRootContainer : node.parent;
    properties.filename = node.name;
    if (node.folder) {
        properties.contentType = ContentType::folder();
        properties.documentSize = std::optional<std::int64_t>();
    } else {
        properties.contentType =
            ContentType::fromFilenameExtension(pathExtension(node.name)).value_or(ContentType::data());
        properties.documentSize = std::optional<std::int64_t>(static_cast<std::int64_t>(node.contents.size()));
    }
    properties.capabilities = Capability::allowsReading | Capability::allowsWriting | Capability::allowsRenaming |
                              Capability::allowsReparenting | Capability::allowsDeleting | Capability::allowsEvicting;
    properties.contentPolicy = node.id == kRootContainer ? ContentPolicy::downloadLazily : ContentPolicy::inherited;
    properties.creationDate = std::optional<Date>(node.modified);
    properties.contentModificationDate = std::optional<Date>(node.modified);
    properties.version = ItemVersion{bytes("c" + std::to_string(node.contentVersion)),
                                     bytes("m" + std::to_string(node.changedAt))};
    return ItemSnapshot::make(std::move(properties));
}

void InMemoryExtension::invalidate() {
    std::lock_guard lock(mutex_);
    invalidated_ = true;
}

ProgressPtr InMemoryExtension::item(const ItemId& identifier, ItemCompletion done) {
    auto progress = Progress::make(1);
    auto self = shared_from_this();
    run("item", [self, identifier, done, progress](std::optional<Error> fault) {
        if (fault) return done(nullptr, fault);
        ItemPtr item;
        {
            std::lock_guard lock(self->mutex_);
            auto found = self->nodes_.find(identifier);
            if (found != self->nodes_.end()) item = self->itemLocked(found->second);
        }
        if (!item) return done(nullptr, noSuchItem());
        progress->setCompletedUnitCount(1);
        done(item, std::nullopt);
    });
    return progress;
}

EnumeratorPtr InMemoryExtension::enumerator(const ItemId& container, std::optional<Error>& error) {
    if (container == kTrashContainer || container == kWorkingSet) {
        return std::make_shared<EmptyEnumerator>(*environment_.tasks);
    }
    {
        std::lock_guard lock(mutex_);
        auto found = nodes_.find(container);
        if (found == nodes_.end() || !found->second.folder) {
            error = noSuchItem();
            return nullptr;
        }
    }
    return std::make_shared<TreeEnumerator>(shared_from_this(), container);
}

ProgressPtr InMemoryExtension::fetchContents(const ItemId& identifier, std::optional<ItemVersion>,
                                             ContentsCompletion done) {
    auto progress = Progress::make(100);
    auto self = shared_from_this();
    run("fetchContents", [self, identifier, done, progress](std::optional<Error> fault) {
        if (fault) return done(std::nullopt, nullptr, fault);
        std::string data;
        ItemPtr item;
        std::filesystem::path folder;
        {
            std::lock_guard lock(self->mutex_);
            ++self->fetches_[identifier];
            auto found = self->nodes_.find(identifier);
            if (found == self->nodes_.end() || found->second.folder) {
                return done(std::nullopt, nullptr, noSuchItem());
            }
            data = found->second.contents;
            item = self->itemLocked(found->second);
            folder = self->scratch_ / ("download-" + std::to_string(self->nextDownload_++));
        }
        std::error_code made;
        std::filesystem::create_directories(folder, made);
        const auto path = folder / item->filename();  // named after the item, as the real extension does
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(data.data(), static_cast<std::streamsize>(data.size()));
        out.close();
        if (!out) {
            return done(std::nullopt, nullptr,
                        Error{kCocoaErrorDomain, CocoaErrorCode::connectionReplyInvalid,
                              ErrorUserInfo{"Could not write the download", nullptr}});
        }
        progress->setCompletedUnitCount(100);
        done(path, item, std::nullopt);
    }, progress);
    return progress;
}

ProgressPtr InMemoryExtension::fetchThumbnails(std::vector<ItemId> identifiers, ThumbnailSize, PerThumbnail perItem,
                                               Completion done) {
    auto progress = Progress::make(static_cast<std::int64_t>(identifiers.size()));
    run("fetchThumbnails", [identifiers, perItem, done, progress](std::optional<Error> fault) {
        for (const auto& id : identifiers) {
            perItem(id, std::nullopt, std::nullopt);
            progress->addCompletedUnits(1);
        }
        done(fault);
    });
    return progress;
}

ProgressPtr InMemoryExtension::create(ItemPtr itemTemplate, ItemFields fields,
                                      std::optional<std::filesystem::path> contents, WriteCompletion done) {
    auto progress = Progress::make(100);
    auto self = shared_from_this();
    run("create", [self, itemTemplate, fields, contents, done, progress](std::optional<Error> fault) {
        if (fault) return done(nullptr, fields, false, fault);
        std::string data;
        if (contents) {
            std::ifstream in(*contents, std::ios::binary);
            data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        ItemPtr created;
        try {
            std::lock_guard lock(self->mutex_);
            auto parent = itemTemplate->parentItemIdentifier();
            auto modified = itemTemplate->contentModificationDate();
            Date date = modified && *modified ? **modified : Date::fromUnixSeconds(1'700'000'000);
            auto id = self->insertLocked(parent, itemTemplate->filename(), itemTemplate->isFolder(), data, date);
            created = self->itemLocked(self->nodes_.at(id));
        } catch (const std::invalid_argument&) {
            return done(nullptr, fields, false, Error::fileProvider(FileProviderErrorCode::filenameCollision));
        }
        progress->setCompletedUnitCount(100);
        done(created, 0, false, std::nullopt);
    }, progress);
    return progress;
}

ProgressPtr InMemoryExtension::modify(ItemPtr item, ItemVersion, ItemFields changedFields,
                                      std::optional<std::filesystem::path> contents, WriteCompletion done) {
    auto progress = Progress::make(100);
    auto self = shared_from_this();
    run("modify", [self, item, changedFields, contents, done, progress](std::optional<Error> fault) {
        if (fault) return done(nullptr, changedFields, false, fault);
        std::string data;
        if (contents) {
            std::ifstream in(*contents, std::ios::binary);
            data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        // Like the real extension: the new parent must be a folder it holds
        // (no such item otherwise), and a rename or move never replaces
        // another item of that name; the server's refusal of such a move
        // comes back as a general failure, as the real one reports it.
        ItemPtr result;
        std::optional<Error> refused;
        {
            std::lock_guard lock(self->mutex_);
            const ItemId newParent = item->parentItemIdentifier();
            auto found = self->nodes_.find(item->itemIdentifier());
            auto parent = self->nodes_.find(newParent);
            if (found == self->nodes_.end() || parent == self->nodes_.end() || !parent->second.folder) {
                refused = noSuchItem();
            } else if (self->nameTakenLocked(newParent, item->filename(), found->first)) {
                refused = Error{kCocoaErrorDomain, CocoaErrorCode::connectionReplyInvalid,
                                ErrorUserInfo{"The destination exists and may not be replaced", nullptr}};
            } else {
                auto& node = found->second;
                if (node.parent != newParent) {
                    self->removals_.push_back({++self->counter_, node.id, node.parent});
                    node.parent = newParent;
                }
                node.name = item->filename();
                if (contents) {
                    node.contents = std::move(data);
                    ++node.contentVersion;
                }
                node.changedAt = ++self->counter_;
                result = self->itemLocked(node);
            }
        }
        if (refused) return done(nullptr, changedFields, false, refused);
        progress->setCompletedUnitCount(100);
        done(result, 0, false, std::nullopt);
    }, progress);
    return progress;
}

ProgressPtr InMemoryExtension::remove(const ItemId& identifier, ItemVersion, Completion done) {
    auto progress = Progress::make(1);
    auto self = shared_from_this();
    run("remove", [self, identifier, done, progress](std::optional<Error> fault) {
        if (fault) return done(fault);
        {
            std::lock_guard lock(self->mutex_);
            if (!self->nodes_.count(identifier) || identifier == kRootContainer) return done(noSuchItem());
            self->removeLocked(identifier);
        }
        progress->setCompletedUnitCount(1);
        done(std::nullopt);
    }, progress);
    return progress;
}

}  // namespace nimbuscrate::fp::testing
