#pragma once

#include <atomic>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/fileprovider/testing/RequestLog.h"
#include "shared/session/EncryptedDriveService.h"
#include "shared/session/UploadActivityStore.h"

namespace nimbuscrate::testing {

// The encryption seam of the extension's tests: a policy answer (or failure)
// and create/modify calls that return a made-up encrypted item, each logged.
// The upload count of the given store is sampled while a change runs, to
// show that the extension counted it.
class FakeEncryptedDriveService final : public EncryptedDriveService {
public:
    struct Change {
        std::string operation;  // "create" or "modify"
        std::string name;
        std::string parentID;
        bool isDirectory = false;
        std::optional<std::filesystem::path> contents;
        std::optional<Date> modified;
        bool baseVersionMatches = false;
        std::size_t uploadsInFlight = 0;
    };

    explicit FakeEncryptedDriveService(std::shared_ptr<UploadActivityStore> uploads = nullptr)
        : uploads_(std::move(uploads)) {}

    void setRequired(bool required) { required_ = required; }
    void failPolicyWith(std::exception_ptr error) { policyFailure_ = std::move(error); }
    void failChangesWith(std::exception_ptr error) { changeFailure_ = std::move(error); }

    fp::testing::RequestLog& log() { return log_; }
    std::vector<Change> changes() const {
        std::lock_guard lock(mutex_);
        return changes_;
    }

    bool isEncryptionRequired(std::stop_token) override {
        log_.record("isEncryptionRequired");
        if (policyFailure_) std::rethrow_exception(policyFailure_);
        return required_;
    }
    std::vector<RemoteItem> listEncryptedChildren(const RemoteItem& parent, std::stop_token) override {
        log_.record("listEncryptedChildren", parent.id);
        return {};
    }
    std::filesystem::path downloadEncryptedFile(const RemoteItem& item, std::stop_token) override {
        log_.record("downloadEncryptedFile", item.id);
        throw std::runtime_error("not used by these tests");
    }
    std::optional<Bytes> fetchEncryptedThumbnail(const RemoteItem& item, std::stop_token) override {
        log_.record("fetchEncryptedThumbnail", item.id);
        return std::nullopt;
    }
    RemoteItem createEncryptedItem(const std::string& name, const RemoteItem& parent, bool isDirectory,
                                   const std::optional<std::filesystem::path>& contents, std::optional<Date> modified,
                                   std::stop_token) override {
        log_.record("createEncryptedItem", name);
        record({"create", name, parent.id, isDirectory, contents, modified, false, inFlight()});
        if (changeFailure_) std::rethrow_exception(changeFailure_);
        return RemoteItem{"e2ee:acct:" + name, parent.id, "/" + name, name, isDirectory, 0, Date(), "g1",
                          std::nullopt};
    }
    RemoteItem modifyEncryptedItem(const RemoteItem& item, const RemoteItem& parent, const std::string& name,
                                   const std::optional<std::filesystem::path>& contents, std::optional<Date> modified,
                                   bool baseVersionMatches, std::stop_token) override {
        log_.record("modifyEncryptedItem", item.id);
        record({"modify", name, parent.id, item.isDirectory, contents, modified, baseVersionMatches, inFlight()});
        if (changeFailure_) std::rethrow_exception(changeFailure_);
        RemoteItem result = item;
        result.name = name;
        result.parentID = parent.id;
        result.etag = item.etag + "+";
        return result;
    }
    void deleteEncryptedItem(const RemoteItem& item, std::stop_token) override {
        log_.record("deleteEncryptedItem", item.id);
    }

private:
    std::size_t inFlight() const { return uploads_ ? uploads_->activeOperations() : 0; }
    void record(Change change) {
        std::lock_guard lock(mutex_);
        changes_.push_back(std::move(change));
    }

    std::shared_ptr<UploadActivityStore> uploads_;
    std::atomic<bool> required_{false};
    std::exception_ptr policyFailure_;
    std::exception_ptr changeFailure_;
    fp::testing::RequestLog log_;
    mutable std::mutex mutex_;
    std::vector<Change> changes_;
};

}  // namespace nimbuscrate::testing
