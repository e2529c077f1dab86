#include "tools/localservice/EncryptedThumbnailStore.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "tools/localservice/AccountApi.h"
#include "tools/localservice/DavServer.h"

namespace nimbuscrate::localservice {

namespace {

// A blob name that stays one file inside its drive's folder.
bool isPlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

const std::string* stringMember(const nlohmann::json& object, const char* name) {
    if (!object.is_object()) return nullptr;
    const auto found = object.find(name);
    return found != object.end() && found->is_string() ? found->get_ptr<const std::string*>() : nullptr;
}

}  // namespace

EncryptedThumbnailStore::EncryptedThumbnailStore(UploadedBlob uploadedBlob) : uploadedBlob_(std::move(uploadedBlob)) {}

std::optional<std::string> EncryptedThumbnailStore::findUploadedBlob(const AccountApi& accounts, const DavServer& files,
                                                                     const std::string& nodeId,
                                                                     const std::string& revisionId) {
    const std::optional<std::string> text = accounts.storedRecord(AccountApi::Collection::files, nodeId);
    if (!text) return std::nullopt;
    const nlohmann::json record = nlohmann::json::parse(*text, nullptr, false);
    const std::string* recordRevision = stringMember(record, "revisionId");
    const std::string* driveId = stringMember(record, "driveId");
    const std::string* opaqueName = stringMember(record, "opaqueName");
    if (!recordRevision || *recordRevision != revisionId || !driveId || !opaqueName || !isPlainFileName(*opaqueName)) {
        return std::nullopt;
    }
    std::filesystem::path path;
    try {
        path = files.driveDirectory(*driveId) / *opaqueName;
    } catch (const std::invalid_argument&) {
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void EncryptedThumbnailStore::put(const std::string& nodeId, const std::string& revisionId, std::string bytes) {
    std::lock_guard lock(mutex_);
    stored_[{nodeId, revisionId}] = std::move(bytes);
}

std::optional<std::string> EncryptedThumbnailStore::stored(const std::string& nodeId,
                                                           const std::string& revisionId) const {
    std::lock_guard lock(mutex_);
    const auto found = stored_.find({nodeId, revisionId});
    if (found == stored_.end()) return std::nullopt;
    return found->second;
}

void EncryptedThumbnailStore::refuseStores(int times) {
    std::lock_guard lock(mutex_);
    refusals_ = times;
}

void EncryptedThumbnailStore::padStoreReplies(std::size_t length, int times) {
    if (length < 32) throw std::invalid_argument("a padded store reply needs at least 32 bytes");
    std::lock_guard lock(mutex_);
    paddedLength_ = length;
    paddings_ = times;
}

void EncryptedThumbnailStore::clearKnobs() {
    std::lock_guard lock(mutex_);
    refusals_ = 0;
    paddings_ = 0;
}

Reply EncryptedThumbnailStore::handle(const IncomingRequest& request) {
    const RecordedRequest& info = request.info;
    if (info.method != "GET" && info.method != "POST") {
        return Reply::json(405, R"({"error":"method_not_allowed"})").header("Allow", "GET, POST");
    }
    const std::optional<std::string> nodeId = info.queryValue("nodeId");
    const std::optional<std::string> revisionId = info.queryValue("revisionId");
    if (!nodeId || !revisionId || nodeId->empty() || revisionId->empty()) {
        return Reply::json(400, R"({"error":"nodeId and revisionId are required"})");
    }
    if (info.method == "POST") {
        if (request.body.size() != 0) return Reply::json(400, R"({"error":"the store takes no body"})");
        return store(*nodeId, *revisionId);
    }
    const std::optional<std::string> bytes = stored(*nodeId, *revisionId);
    if (!bytes) return Reply::json(404, R"({"error":"not_found"})");
    Reply reply;
    reply.status = 200;
    reply.body = *bytes;
    reply.header("Content-Type", "application/octet-stream");
    return reply;
}

Reply EncryptedThumbnailStore::store(const std::string& nodeId, const std::string& revisionId) {
    // The blob is read before the lock: the file records have a lock of their own.
    std::optional<std::string> blob = uploadedBlob_(nodeId, revisionId);
    if (!blob) return Reply::json(404, R"({"error":"no uploaded file of that revision"})");

    std::lock_guard lock(mutex_);
    if (refusals_ != 0) {
        if (refusals_ > 0) --refusals_;
        return Reply::json(200, R"({"stored":false})");
    }
    stored_[{nodeId, revisionId}] = std::move(*blob);
    std::string body = R"({"stored":true})";
    if (paddings_ != 0) {
        if (paddings_ > 0) --paddings_;
        const std::string head = R"({"stored":true,"padding":")";
        body = head + std::string(paddedLength_ - head.size() - 2, 'x') + "\"}";
    }
    return Reply::json(200, body);
}

}  // namespace nimbuscrate::localservice
