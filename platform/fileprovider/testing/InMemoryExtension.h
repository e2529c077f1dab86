#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/core/Date.h"
#include "platform/fileprovider/ReplicatedExtension.h"
#include "platform/fileprovider/testing/Gate.h"

namespace nimbuscrate::fp::testing {

// An extension over an in-memory tree, standing in for the real one (and for
// its server): the test changes the tree through the mutators below the way
// the server would change, and the system sees it through the entries.
// Every entry answers from a pool task, exactly once (at once, as cancelled,
// when the pool no longer takes tasks). Modify refuses, as the real extension
// does, a new parent that is not a folder (-1005) and a name taken there (a
// general failure, 4101: the server refused the move); create refuses a taken
// name with a name collision (-1001).
// Faults can be injected per entry ("item", "enumerateItems",
// "enumerateChanges", "fetchContents", "create", "modify", "remove"), and
// calls can be held at a gate.
//
// Sync anchors are the decimal text of the tree's change counter: a change
// enumeration reports the children changed after the anchor and the
// identifiers removed from the container (deleted or moved away) after it;
// an empty or unreadable anchor reports every child.
class InMemoryExtension final : public ReplicatedExtension, public std::enable_shared_from_this<InMemoryExtension> {
public:
    // Each download is written into a folder of its own below `scratch`
    // (created when missing), in a file named after the item, as the real
    // extension does.
    InMemoryExtension(ExtensionEnvironment environment, std::filesystem::path scratch);

    // ---- the server's side
    ItemId addFolder(const ItemId& parent, const std::string& name, Date modified = Date::fromUnixSeconds(1'700'000'000));
    ItemId addFile(const ItemId& parent, const std::string& name, std::string contents,
                   Date modified = Date::fromUnixSeconds(1'700'000'000));
    void setContents(const ItemId& id, std::string contents, std::optional<Date> modified = std::nullopt);
    void rename(const ItemId& id, const std::string& name);
    void move(const ItemId& id, const ItemId& newParent);
    void removeItem(const ItemId& id);  // with everything below it
    bool exists(const ItemId& id) const;
    std::string contents(const ItemId& id) const;
    std::vector<ItemId> children(const ItemId& parent) const;

    // ---- faults and observation
    // The next `times` calls of the entry fail with the error.
    void failNext(const std::string& entry, Error error, int times = 1);
    // Every later call of the entry waits at the gate before it answers.
    void holdAt(const std::string& entry, std::shared_ptr<Gate> gate);
    // How many times an entry was called (fetchContents: per identifier too).
    std::size_t calls(const std::string& entry) const;
    std::size_t fetches(const ItemId& id) const;
    void setPageSize(std::size_t size);

    // ---- the system's side
    void invalidate() override;
    ProgressPtr item(const ItemId& identifier, ItemCompletion done) override;
    EnumeratorPtr enumerator(const ItemId& container, std::optional<Error>& error) override;
    ProgressPtr fetchContents(const ItemId& identifier, std::optional<ItemVersion> requestedVersion,
                              ContentsCompletion done) override;
    ProgressPtr fetchThumbnails(std::vector<ItemId> identifiers, ThumbnailSize size, PerThumbnail perItem,
                                Completion done) override;
    ProgressPtr create(ItemPtr itemTemplate, ItemFields fields, std::optional<std::filesystem::path> contents,
                       WriteCompletion done) override;
    ProgressPtr modify(ItemPtr item, ItemVersion baseVersion, ItemFields changedFields,
                       std::optional<std::filesystem::path> contents, WriteCompletion done) override;
    ProgressPtr remove(const ItemId& identifier, ItemVersion baseVersion, Completion done) override;

private:
    class TreeEnumerator;
    struct Node {
        ItemId id;
        ItemId parent;
        std::string name;
        bool folder = false;
        std::string contents;
        Date modified;
        std::uint64_t changedAt = 0;      // change counter of the last change
        std::uint64_t contentVersion = 0;
    };
    struct Removal {
        std::uint64_t at;
        ItemId id;
        ItemId parent;
    };

    // Runs the reply in a pool task, after a gate and with an injected fault.
    // A call held at the gate ends as cancelled when the pool stops or when
    // its progress (if given) is cancelled.
    void run(const std::string& entry, std::function<void(std::optional<Error>)> reply, ProgressPtr progress = nullptr);
    ItemPtr itemLocked(const Node& node) const;
    ItemId insertLocked(const ItemId& parent, const std::string& name, bool folder, std::string contents, Date modified);
    // Whether another child of the parent than `except` has the name.
    bool nameTakenLocked(const ItemId& parent, const std::string& name, const ItemId& except) const;
    void removeLocked(const ItemId& id);
    Node& nodeLocked(const ItemId& id);

    ExtensionEnvironment environment_;
    std::filesystem::path scratch_;
    mutable std::mutex mutex_;
    std::map<ItemId, Node> nodes_;
    std::vector<Removal> removals_;
    std::uint64_t counter_ = 1;
    std::uint64_t nextId_ = 1;
    std::uint64_t nextDownload_ = 1;
    std::size_t pageSize_ = 1000;
    std::map<std::string, std::vector<Error>> faults_;
    std::map<std::string, std::shared_ptr<Gate>> gates_;
    std::map<std::string, std::size_t> calls_;
    std::map<ItemId, std::size_t> fetches_;
    bool invalidated_ = false;
};

}  // namespace nimbuscrate::fp::testing
