#include "platform/fileprovider/host/DaemonManager.h"

#include <mutex>

#include "platform/fileprovider/host/ControlProtocol.h"
#include "platform/fileprovider/host/HostDaemon.h"
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

DaemonManager::DaemonManager(HostDaemon& daemon, Domain domain, TaskPool& tasks)
    : daemon_(daemon), domain_(std::move(domain)), tasks_(tasks) {}

void DaemonManager::send(nlohmann::json request, std::function<void(nlohmann::json)> done) {
    request["id"] = 0;
    request["domain"] = toJSON(domain_);
    auto once = std::make_shared<std::once_flag>();
    auto answer = [once, done](nlohmann::json reply) { std::call_once(*once, [&] { done(std::move(reply)); }); };
    HostDaemon* daemon = &daemon_;
    bool queued = tasks_.submit([daemon, request, answer](std::stop_token) { daemon->handle(request, answer); });
    if (!queued) {
        // The host is going away; the answer still comes from another thread.
        std::thread([answer] {
            answer({{"ok", false}, {"error", toJSON(Error::connectionInterrupted())}});
        }).detach();
    }
}

void DaemonManager::simple(const std::string& op, const ItemId& item, Completion done) {
    send({{"op", op}, {"item", item}}, [done](nlohmann::json reply) { done(replyError(reply)); });
}

void DaemonManager::signalEnumerator(const ItemId& container, Completion done) { simple("signal", container, done); }
void DaemonManager::evictItem(const ItemId& item, Completion done) { simple("evict", item, done); }
void DaemonManager::waitForChangesBelow(const ItemId& item, Completion done) { simple("waitForChanges", item, done); }

void DaemonManager::userVisiblePath(
    const ItemId& item, std::function<void(std::optional<std::filesystem::path>, std::optional<Error>)> done) {
    send({{"op", "userVisiblePath"}, {"item", item}}, [done](nlohmann::json reply) {
        if (auto error = replyError(reply)) return done(std::nullopt, error);
        auto path = reply.find("path");
        if (path == reply.end() || !path->is_string()) return done(std::nullopt, channelError("The host sent no path."));
        done(std::filesystem::path(path->get<std::string>()), std::nullopt);
    });
}

EnumeratorPtr DaemonManager::materializedItems() {
    HostDaemon* daemon = &daemon_;
    TaskPool* tasks = &tasks_;
    Domain domain = domain_;
    PageSender sender = [daemon, tasks, domain](nlohmann::json request,
                                                std::function<void(std::optional<nlohmann::json>, std::optional<Error>)> done) {
        request["id"] = 0;
        request["domain"] = toJSON(domain);
        auto once = std::make_shared<std::once_flag>();
        auto answer = [once, done](nlohmann::json reply) {
            std::call_once(*once, [&] {
                if (auto error = replyError(reply)) return done(std::nullopt, error);
                done(std::move(reply), std::nullopt);
            });
        };
        if (!tasks->submit([daemon, request, answer](std::stop_token) { daemon->handle(request, answer); })) {
            std::thread([done] { done(std::nullopt, Error::connectionInterrupted()); }).detach();
        }
    };
    return makeMaterializedEnumerator(domain_, std::move(sender), tasks_);
}

namespace {

// The cached files of a domain, one "materializedPage" request per page.
// The page token is the host's cursor; the sync anchor is not kept (the
// materialized set is always enumerated in full).
class MaterializedEnumerator final : public Enumerator {
public:
    MaterializedEnumerator(PageSender send, TaskPool& tasks) : send_(std::move(send)), tasks_(tasks) {}
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
        if (!tasks_.submit([observer](std::stop_token) {
                observer->finishWithError(channelError("The materialized items have no change history: list them again."));
            })) {
            std::thread([observer] { observer->finishWithError(Error::connectionInterrupted()); }).detach();
        }
    }
    void currentSyncAnchor(std::function<void(std::optional<SyncAnchor>)> completion) override {
        if (!tasks_.submit([completion](std::stop_token) { completion(std::nullopt); })) {
            std::thread([completion] { completion(std::nullopt); }).detach();
        }
    }

private:
    PageSender send_;
    TaskPool& tasks_;
};

}  // namespace

EnumeratorPtr makeMaterializedEnumerator(Domain, PageSender send, TaskPool& tasks) {
    return std::make_shared<MaterializedEnumerator>(std::move(send), tasks);
}

}  // namespace nimbuscrate::fp::host
