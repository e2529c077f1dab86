#include "tools/localservice/EncryptedThumbnailStore.h"

namespace nimbuscrate::localservice {

void EncryptedThumbnailStore::put(const std::string& nodeId, const std::string& revisionId, std::string bytes) {
    std::lock_guard lock(mutex_);
    stored_[{nodeId, revisionId}] = std::move(bytes);
}

Reply EncryptedThumbnailStore::handle(const IncomingRequest& request) const {
    const RecordedRequest& info = request.info;
    if (info.method != "GET") return Reply::json(405, R"({"error":"method_not_allowed"})").header("Allow", "GET");
    const std::optional<std::string> nodeId = info.queryValue("nodeId");
    const std::optional<std::string> revisionId = info.queryValue("revisionId");
    if (!nodeId || !revisionId || nodeId->empty() || revisionId->empty()) {
        return Reply::json(400, R"({"error":"nodeId and revisionId are required"})");
    }
    std::lock_guard lock(mutex_);
    const auto found = stored_.find({*nodeId, *revisionId});
    if (found == stored_.end()) return Reply::json(404, R"({"error":"not_found"})");
    Reply reply;
    reply.status = 200;
    reply.body = found->second;
    reply.header("Content-Type", "application/octet-stream");
    return reply;
}

}  // namespace nimbuscrate::localservice
