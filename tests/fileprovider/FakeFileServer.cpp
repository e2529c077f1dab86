#include "tests/fileprovider/FakeFileServer.h"

#include <fstream>

#include "platform/core/CancellationError.h"
#include "shared/session/DesktopError.h"
#include "shared/session/RemotePath.h"

namespace nimbuscrate::testing {
namespace {

std::string parentPathOf(const std::string& path) {
    auto slash = path.find_last_of('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

std::string lastComponent(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

}  // namespace

FakeFileServer::FakeFileServer(std::filesystem::path scratch) : scratch_(std::move(scratch)) {
    std::filesystem::create_directories(scratch_);
}

void FakeFileServer::setChildren(const std::string& containerID, std::vector<RemoteItem> children) {
    std::lock_guard lock(mutex_);
    children_[containerID] = std::move(children);
}

void FakeFileServer::putItem(const RemoteItem& item) {
    std::lock_guard lock(mutex_);
    items_[item.path] = item;
}

bool FakeFileServer::holds(const std::string& path) const {
    std::lock_guard lock(mutex_);
    return items_.count(path) > 0;
}

void FakeFileServer::failAt(const std::string& operation, std::size_t n, std::exception_ptr error) {
    std::lock_guard lock(mutex_);
    failures_[operation][n] = std::move(error);
}

void FakeFileServer::holdAt(const std::string& operation, std::shared_ptr<fp::testing::Gate> gate) {
    std::lock_guard lock(mutex_);
    gates_[operation] = std::move(gate);
}

std::vector<std::string> FakeFileServer::calls() const {
    std::vector<std::string> lines;
    for (const auto& entry : log_.entries()) lines.push_back(entry.operation + " " + entry.detail);
    return lines;
}

std::vector<FakeFileServer::Upload> FakeFileServer::uploads() const {
    std::lock_guard lock(mutex_);
    return uploads_;
}

std::vector<const fp::Progress*> FakeFileServer::downloadProgress() const {
    std::lock_guard lock(mutex_);
    return downloadProgress_;
}

void FakeFileServer::enter(const std::string& operation, const std::string& detail, std::stop_token stop) {
    log_.record(operation, detail);
    std::shared_ptr<fp::testing::Gate> gate;
    std::exception_ptr failure;
    {
        std::lock_guard lock(mutex_);
        auto held = gates_.find(operation);
        if (held != gates_.end()) gate = held->second;
        auto planned = failures_.find(operation);
        if (planned != failures_.end()) {
            auto atCall = planned->second.find(log_.count(operation));
            if (atCall != planned->second.end()) failure = atCall->second;
        }
    }
    if (gate && !gate->pass(stop)) throw CancellationError();
    if (failure) std::rethrow_exception(failure);
}

RemoteItem FakeFileServer::itemAt(const std::string& path, const std::string& parentID) {
    std::lock_guard lock(mutex_);
    auto found = items_.find(normalizeRemotePath(path));
    if (found == items_.end()) throw DesktopError::server(404, "Not Found");
    RemoteItem item = found->second;
    item.parentID = parentID;
    return item;
}

std::vector<RemoteItem> FakeFileServer::listItems(const RemoteItem& container, std::stop_token stop) {
    enter("listItems", container.id, stop);
    std::lock_guard lock(mutex_);
    auto found = children_.find(container.id);
    return found == children_.end() ? std::vector<RemoteItem>{} : found->second;
}

RemoteItem FakeFileServer::fetchItem(const std::string& path, const std::string& parentID, std::stop_token stop) {
    enter("fetchItem", path, stop);
    return itemAt(path, parentID);
}

std::filesystem::path FakeFileServer::downloadFile(const RemoteItem& item, fp::Progress& progress,
                                                   std::stop_token stop) {
    {
        std::lock_guard lock(mutex_);
        downloadProgress_.push_back(&progress);
    }
    enter("downloadFile", item.id, stop);
    std::filesystem::path directory;
    {
        std::lock_guard lock(mutex_);
        directory = scratch_ / ("download-" + std::to_string(++revision_));
    }
    std::filesystem::create_directories(directory);
    const auto file = directory / item.name;
    std::ofstream(file) << "contents of " << item.id;
    return file;
}

std::optional<Bytes> FakeFileServer::fetchThumbnail(const RemoteItem& item, std::stop_token stop) {
    const int running = ++thumbnailsInFlight_;
    int seen = maxThumbnails_.load();
    while (running > seen && !maxThumbnails_.compare_exchange_weak(seen, running)) {
    }
    try {
        enter("fetchThumbnail", item.id, stop);
    } catch (...) {
        --thumbnailsInFlight_;
        throw;
    }
    --thumbnailsInFlight_;
    return Bytes{0x89, 'P', 'N', 'G'};
}

RemoteItem FakeFileServer::uploadFile(const std::filesystem::path& file, const std::string& path,
                                      std::optional<Date> modified, UploadMode mode, std::stop_token stop) {
    enter("uploadFile", path, stop);
    std::lock_guard lock(mutex_);
    const std::string target = normalizeRemotePath(path);
    auto existing = items_.find(target);
    // "If-None-Match: *": the server refuses to replace what it holds.
    if (existing != items_.end() && existing->second.isDirectory) {
        throw DesktopError::server(405, "A folder exists at this path");
    }
    if (mode == UploadMode::createOnly && existing != items_.end()) {
        throw DesktopError::server(412, "Precondition Failed");
    }
    uploads_.push_back({file, target, modified, mode});
    RemoteItem item;
    if (existing != items_.end()) {
        item = existing->second;
    } else {
        item.id = "fid-" + std::to_string(++revision_);
        item.path = target;
        item.name = lastComponent(target);
        auto parent = items_.find(parentPathOf(target));
        item.parentID = parent == items_.end() ? "root" : parent->second.id;
    }
    item.isDirectory = false;
    item.size = static_cast<std::int64_t>(std::filesystem::file_size(file));
    item.etag = "etag-" + std::to_string(++revision_);
    if (modified) item.modifiedAt = *modified;
    items_[target] = item;
    return item;
}

void FakeFileServer::createFolder(const std::string& path, std::stop_token stop) {
    enter("createFolder", path, stop);
    std::lock_guard lock(mutex_);
    if (items_.count(path)) throw DesktopError::server(405, "Method Not Allowed");
    RemoteItem folder{"fid-" + std::to_string(++revision_), "", path, lastComponent(path), true, 0,
                      Date::fromUnixSeconds(1'700'000'000), "etag-" + std::to_string(revision_), std::nullopt};
    items_[path] = folder;
}

void FakeFileServer::createEmptyFile(const std::string& path, std::stop_token stop) {
    enter("createEmptyFile", path, stop);
    std::lock_guard lock(mutex_);
    auto existing = items_.find(path);
    if (existing != items_.end() && existing->second.isDirectory) {
        throw DesktopError::server(405, "A folder exists at this path");
    }
    if (existing != items_.end()) throw DesktopError::server(412, "Precondition Failed");
    RemoteItem file{"fid-" + std::to_string(++revision_), "", path, lastComponent(path), false, 0,
                    Date::fromUnixSeconds(1'700'000'000), "etag-" + std::to_string(revision_), std::nullopt};
    items_[path] = file;
}

RemoteItem FakeFileServer::moveItem(const RemoteItem& item, const RemoteItem& parent, const std::string& name,
                                    std::stop_token stop) {
    const std::string target = normalizeRemotePath((parent.path == "/" ? "" : parent.path) + "/" + name);
    enter("moveItem", item.path + " -> " + target, stop);
    std::lock_guard lock(mutex_);
    // "Overwrite: F": an existing target is never replaced.
    if (items_.count(target) && target != item.path) throw DesktopError::server(412, "Precondition Failed");
    RemoteItem moved = item;
    items_.erase(item.path);
    // A folder takes what is inside it along.
    const std::string inside = item.path + "/";
    for (auto it = items_.lower_bound(inside); it != items_.end() && it->first.rfind(inside, 0) == 0;) {
        RemoteItem child = it->second;
        child.path = target + "/" + it->first.substr(inside.size());
        it = items_.erase(it);
        items_[child.path] = child;
    }
    if (moved.id.rfind("path:", 0) == 0) moved.id = "path:" + target;
    moved.parentID = parent.id;
    moved.path = target;
    moved.name = name;
    moved.etag = "etag-" + std::to_string(++revision_);
    items_[target] = moved;
    return moved;
}

void FakeFileServer::deleteItem(const RemoteItem& item, std::stop_token stop) {
    enter("deleteItem", item.id, stop);
    std::lock_guard lock(mutex_);
    items_.erase(item.path);
    // A folder goes with everything in it.
    const std::string inside = item.path + "/";
    for (auto it = items_.lower_bound(inside); it != items_.end() && it->first.rfind(inside, 0) == 0;) {
        it = items_.erase(it);
    }
}

}  // namespace nimbuscrate::testing
