#pragma once

#include <atomic>
#include <exception>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "fileprovider/FileServer.h"
#include "platform/fileprovider/testing/Gate.h"
#include "platform/fileprovider/testing/RequestLog.h"

namespace nimbuscrate::testing {

// The file server of the extension's tests: a small tree of items by path
// that listings, fetches and changes work on, a log of every call (operation
// and detail) with failure injection at the n-th call of an operation, and
// gates that hold calls open. Operation names: "listItems", "fetchItem",
// "downloadFile", "fetchThumbnail", "uploadFile", "createFolder",
// "createEmptyFile", "moveItem", "deleteItem".
class FakeFileServer final : public FileServer {
public:
    struct Upload {
        std::filesystem::path file;
        std::string path;
        std::optional<Date> modified;
        UploadMode mode;
    };

    explicit FakeFileServer(std::filesystem::path scratch);

    // What a listing of the container returns (by container id).
    void setChildren(const std::string& containerID, std::vector<RemoteItem> children);
    // An item the server holds (fetchItem answers it by path).
    void putItem(const RemoteItem& item);
    bool holds(const std::string& path) const;

    // The n-th call of the operation (from 1) fails with the error.
    void failAt(const std::string& operation, std::size_t n, std::exception_ptr error);
    // Every later call of the operation waits at the gate (a stop while
    // waiting fails the call with CancellationError).
    void holdAt(const std::string& operation, std::shared_ptr<fp::testing::Gate> gate);

    fp::testing::RequestLog& log() { return log_; }
    // "operation detail" lines of every call, in order.
    std::vector<std::string> calls() const;
    std::vector<Upload> uploads() const;
    // The progress objects downloads were handed, in call order. The fake
    // never reports into them, so a test sees only what the extension did.
    std::vector<const fp::Progress*> downloadProgress() const;
    // The most thumbnail fetches that ran at the same time.
    int maxConcurrentThumbnails() const { return maxThumbnails_.load(); }

    std::vector<RemoteItem> listItems(const RemoteItem& container, std::stop_token stop) override;
    RemoteItem fetchItem(const std::string& path, const std::string& parentID, std::stop_token stop) override;
    std::filesystem::path downloadFile(const RemoteItem& item, fp::Progress& progress, std::stop_token stop) override;
    std::optional<Bytes> fetchThumbnail(const RemoteItem& item, std::stop_token stop) override;
    RemoteItem uploadFile(const std::filesystem::path& file, const std::string& path, std::optional<Date> modified,
                          UploadMode mode, std::stop_token stop) override;
    void createFolder(const std::string& path, std::stop_token stop) override;
    void createEmptyFile(const std::string& path, std::stop_token stop) override;
    RemoteItem moveItem(const RemoteItem& item, const RemoteItem& parent, const std::string& name,
                        std::stop_token stop) override;
    void deleteItem(const RemoteItem& item, std::stop_token stop) override;

private:
    // Logs the call, waits at its gate, then throws the injected failure.
    void enter(const std::string& operation, const std::string& detail, std::stop_token stop);
    RemoteItem itemAt(const std::string& path, const std::string& parentID);

    std::filesystem::path scratch_;
    fp::testing::RequestLog log_;
    mutable std::mutex mutex_;
    std::map<std::string, std::vector<RemoteItem>> children_;
    std::map<std::string, RemoteItem> items_;  // by path
    std::map<std::string, std::map<std::size_t, std::exception_ptr>> failures_;
    std::map<std::string, std::shared_ptr<fp::testing::Gate>> gates_;
    std::vector<Upload> uploads_;
    std::vector<const fp::Progress*> downloadProgress_;
    int revision_ = 0;
    std::atomic<int> thumbnailsInFlight_{0};
    std::atomic<int> maxThumbnails_{0};
};

}  // namespace nimbuscrate::testing
