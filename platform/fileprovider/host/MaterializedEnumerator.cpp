#include "platform/fileprovider/host/MaterializedEnumerator.h"

#include "platform/fileprovider/host/ControlProtocol.h"
#include "platform/fileprovider/host/ItemCoding.h"
#include "platform/tasks/TaskPool.h"

namespace nimbuscrate::fp::host {

std::optional<Error> replyError(const nlohmann::json& reply) {
    if (reply.value("ok", false)) return std::nullopt;
    auto error = reply.find("error");
    if (error == reply.end()) return channelError("The host sent a failure without an error.");
    try {
        return errorFromJSON(*error);
    } catch (const std::exception&) {
        return channelError("The host sent an unreadable error.");
    }
}

namespace {

// The cached files of a domain, one "materializedPage" request per page.
// The page token is the host's cursor; the sync anchor is not kept (the
// materialized set is always enumerated in full).
class MaterializedEnumerator final : public Enumerator {
public:
    MaterializedEnumerator(PageSender send, TaskPool& tasks, TaskPool& answers)
        : send_(std::move(send)), tasks_(tasks), answers_(answers) {}
    void invalidate() override {}
    void enumerateItems(EnumerationObserverPtr observer, Page page) override {
        nlohmann::json request = {{"op", "materializedPage"}, {"page", hexOf(page)}};
        send_(request, [observer](std::optional<nlohmann::json> reply, std::optional<Error> error) {
            if (error) return observer->finishWithError(*error);
            std::vector<ItemPtr> items;
            std::optional<Page> next;
            try {
                for (const auto& entry : reply->at("items")) items.push_back(itemFromJSON(entry));
                auto nextField = reply->find("next");
                if (nextField != reply->end() && nextField->is_string()) next = bytesOfHex(nextField->get<std::string>());
            } catch (const std::exception& bad) {
                return observer->finishWithError(channelError(std::string("The host sent an unreadable page: ") + bad.what()));
            }
            if (!items.empty()) observer->didEnumerate(std::move(items));
            observer->finishUpTo(std::move(next));
        });
    }
    void enumerateChanges(ChangeObserverPtr observer, SyncAnchor) override {
        // No change history is kept: the caller lists the set again.
        TaskPool::submitOrElse(tasks_, answers_, [observer](std::stop_token stop) {
            if (stop.stop_requested()) return observer->finishWithError(Error::connectionInterrupted());
            observer->finishWithError(channelError("The materialized items have no change history: list them again."));
        });
    }
    void currentSyncAnchor(std::function<void(std::optional<SyncAnchor>)> completion) override {
        TaskPool::submitOrElse(tasks_, answers_, [completion](std::stop_token) { completion(std::nullopt); });
    }

private:
    PageSender send_;
    TaskPool& tasks_;
    TaskPool& answers_;
};

}  // namespace

EnumeratorPtr makeMaterializedEnumerator(Domain, PageSender send, TaskPool& tasks, TaskPool& answers) {
    return std::make_shared<MaterializedEnumerator>(std::move(send), tasks, answers);
}

}  // namespace nimbuscrate::fp::host
