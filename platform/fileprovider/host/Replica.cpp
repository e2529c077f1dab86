#include "platform/fileprovider/host/Replica.h"

#include <algorithm>
#include <set>

namespace nimbuscrate::fp::host {

Replica::Replica() {
    ReplicaNode root;
    root.inode = kRootInode;
    root.identifier = kRootContainer;
    root.parent = kRootInode;
    root.folder = true;
    root.capabilities = Capability::allowsReading | Capability::allowsWriting;
    root.created = Date::now();
    root.modified = root.created;
    nodes_.emplace(kRootInode, root);
    byIdentifier_.emplace(kRootContainer, kRootInode);
    children_[kRootInode];
}

std::optional<ReplicaNode> Replica::node(Inode inode) const {
    std::lock_guard lock(mutex_);
    auto found = nodes_.find(inode);
    if (found == nodes_.end()) return std::nullopt;
    return found->second;
}

std::optional<Inode> Replica::inodeOf(const ItemId& identifier) const {
    std::lock_guard lock(mutex_);
    auto found = byIdentifier_.find(identifier);
    if (found == byIdentifier_.end()) return std::nullopt;
    return found->second;
}

std::optional<ReplicaNode> Replica::child(Inode parent, const std::string& name) const {
    std::lock_guard lock(mutex_);
    auto folder = children_.find(parent);
    if (folder == children_.end()) return std::nullopt;
    auto found = folder->second.find(name);
    if (found == folder->second.end()) return std::nullopt;
    return nodes_.at(found->second);
}

std::vector<ReplicaNode> Replica::children(Inode parent) const {
    std::lock_guard lock(mutex_);
    std::vector<ReplicaNode> out;
    auto folder = children_.find(parent);
    if (folder == children_.end()) return out;
    for (const auto& [name, inode] : folder->second) out.push_back(nodes_.at(inode));
    return out;
}

std::vector<Inode> Replica::listedFolders() const {
    std::lock_guard lock(mutex_);
    std::vector<Inode> out;
    for (const auto& [inode, node] : nodes_) {
        if (node.folder && node.listed) out.push_back(inode);
    }
    return out;
}

std::optional<std::filesystem::path> Replica::relativePath(Inode inode) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    Inode current = inode;
    for (int depth = 0; current != kRootInode; ++depth) {
        auto found = nodes_.find(current);
        if (found == nodes_.end() || depth > 4096) return std::nullopt;
        names.push_back(found->second.name);
        current = found->second.parent;
    }
    std::filesystem::path path;
    for (auto name = names.rbegin(); name != names.rend(); ++name) path /= *name;
    return path;
}

Inode Replica::parentInodeLocked(const ItemId& parentIdentifier) const {
    auto found = byIdentifier_.find(parentIdentifier);
    return found == byIdentifier_.end() ? 0 : found->second;
}

std::vector<Invalidation> Replica::upsertLocked(const Item& item, Inode parent) {
    std::vector<Invalidation> out;
    const ItemId identifier = item.itemIdentifier();
    if (identifier == kRootContainer) return out;
    auto size = item.documentSize();
    auto created = item.creationDate();
    auto modified = item.contentModificationDate();

    auto known = byIdentifier_.find(identifier);
    Inode inode;
    if (known == byIdentifier_.end()) {
        // An item seen before keeps its inode: a move reported as a deletion
        // from one folder and an addition to another stays the same file.
        auto retired = retired_.find(identifier);
        if (retired != retired_.end()) {
            inode = retired->second;
            retired_.erase(retired);
        } else {
            inode = nextInode_++;
        }
        ReplicaNode node;
        node.inode = inode;
        node.identifier = identifier;
        nodes_.emplace(inode, node);
        byIdentifier_.emplace(identifier, inode);
    } else {
        inode = known->second;
        auto& node = nodes_.at(inode);
        if (node.parent != parent || node.name != item.filename()) {
            auto& oldSiblings = children_[node.parent];
            auto entry = oldSiblings.find(node.name);
            if (entry != oldSiblings.end() && entry->second == inode) oldSiblings.erase(entry);
            out.push_back({Invalidation::Kind::entry, node.parent, node.name, 0});
        }
    }
    auto& node = nodes_.at(inode);
    bool contentMoved = node.materializedVersion && item.itemVersion() &&
                        node.materializedVersion->content != item.itemVersion()->content;
    node.parent = parent;
    node.name = item.filename();
    node.folder = item.isFolder();
    node.size = size && *size ? **size : 0;
    node.created = created && *created ? **created : Date();
    node.modified = modified && *modified ? **modified : node.created;
    node.capabilities = item.capabilities().value_or(Capability::allowsReading);
    node.contentType = item.contentType();
    node.version = item.itemVersion();
    if (contentMoved) {
        node.materializedVersion.reset();
        droppedCaches_.push_back(inode);
    }
    if (node.folder) children_[inode];

    auto& siblings = children_[parent];
    auto clash = siblings.find(node.name);
    if (clash != siblings.end() && clash->second != inode) {
        // Another item held the name; it is gone from this folder (its
        // deletion may follow in the same batch).
        nodes_.at(clash->second).parent = 0;
    }
    siblings[node.name] = inode;
    out.push_back({Invalidation::Kind::entry, parent, node.name, 0});
    out.push_back({Invalidation::Kind::inode, 0, {}, inode});
    return out;
}

void Replica::removeLocked(Inode inode, std::vector<Invalidation>& out) {
    auto found = nodes_.find(inode);
    if (found == nodes_.end() || inode == kRootInode) return;
    auto folder = children_.find(inode);
    if (folder != children_.end()) {
        std::vector<Inode> below;
        for (const auto& [name, child] : folder->second) below.push_back(child);
        for (Inode child : below) removeLocked(child, out);
        children_.erase(inode);
    }
    ReplicaNode node = found->second;
    auto siblings = children_.find(node.parent);
    if (siblings != children_.end()) {
        auto entry = siblings->second.find(node.name);
        if (entry != siblings->second.end() && entry->second == inode) {
            siblings->second.erase(entry);
            out.push_back({Invalidation::Kind::deleted, node.parent, node.name, inode});
        }
    }
    if (node.materializedVersion) droppedCaches_.push_back(inode);
    if (retired_.size() >= kMaxRetired) retired_.clear();
    retired_[node.identifier] = inode;
    byIdentifier_.erase(node.identifier);
    nodes_.erase(found);
}

std::vector<Invalidation> Replica::replaceChildren(Inode folder, const std::vector<ItemPtr>& items,
                                                   std::optional<SyncAnchor> anchor, double now) {
    std::lock_guard lock(mutex_);
    std::vector<Invalidation> out;
    if (!nodes_.count(folder)) return out;
    std::set<ItemId> listed;
    for (const auto& item : items) {
        if (!item) continue;
        listed.insert(item->itemIdentifier());
        auto changes = upsertLocked(*item, folder);
        out.insert(out.end(), changes.begin(), changes.end());
    }
    std::vector<Inode> stale;
    for (const auto& [name, child] : children_[folder]) {
        if (!listed.count(nodes_.at(child).identifier)) stale.push_back(child);
    }
    for (Inode child : stale) removeLocked(child, out);
    auto& node = nodes_.at(folder);
    node.listed = true;
    node.anchor = std::move(anchor);
    node.listedAt = now;
    return out;
}

std::vector<Invalidation> Replica::applyChanges(Inode folder, const std::vector<ItemPtr>& updated,
                                                const std::vector<ItemId>& deleted, std::optional<SyncAnchor> anchor,
                                                double now) {
    std::lock_guard lock(mutex_);
    std::vector<Invalidation> out;
    for (const auto& item : updated) {
        if (!item) continue;
        Inode parent = parentInodeLocked(item->parentItemIdentifier());
        if (parent == 0 || !nodes_.at(parent).folder) {
            // It went somewhere this replica does not show.
            auto known = byIdentifier_.find(item->itemIdentifier());
            if (known != byIdentifier_.end()) removeLocked(known->second, out);
            continue;
        }
        auto changes = upsertLocked(*item, parent);
        out.insert(out.end(), changes.begin(), changes.end());
    }
    for (const auto& identifier : deleted) {
        auto known = byIdentifier_.find(identifier);
        if (known == byIdentifier_.end()) continue;
        // A deletion reported by this folder concerns only a child of it:
        // an item that moved elsewhere in the same batch stays.
        if (nodes_.at(known->second).parent != folder) continue;
        removeLocked(known->second, out);
    }
    auto found = nodes_.find(folder);
    if (found != nodes_.end()) {
        found->second.anchor = std::move(anchor);
        found->second.listedAt = now;
    }
    return out;
}

std::vector<Inode> Replica::takeDroppedCaches() {
    std::lock_guard lock(mutex_);
    std::vector<Inode> out;
    out.swap(droppedCaches_);
    return out;
}

void Replica::setMaterialized(Inode inode, const ItemVersion& version) {
    std::lock_guard lock(mutex_);
    auto found = nodes_.find(inode);
    if (found != nodes_.end()) found->second.materializedVersion = version;
}

std::vector<Invalidation> Replica::refresh(const ItemPtr& item) {
    std::lock_guard lock(mutex_);
    auto known = byIdentifier_.find(item->itemIdentifier());
    if (known == byIdentifier_.end()) return {};
    auto& node = nodes_.at(known->second);
    // The caller records the new copy's version itself (setMaterialized);
    // the copy being replaced is not a dropped cache.
    node.materializedVersion.reset();
    return upsertLocked(*item, node.parent);
}

}  // namespace nimbuscrate::fp::host
