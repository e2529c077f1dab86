#include "platform/fileprovider/host/DaemonManager.h"

#include <mutex>

#include "platform/fileprovider/host/ControlProtocol.h"
#include "platform/fileprovider/host/HostDaemon.h"
#include "platform/fileprovider/host/ItemCoding.h"
#include "platform/tasks/TaskPool.h"

namespace nimbuscrate::fp::host {

DaemonManager::DaemonManager(HostDaemon& daemon, Domain domain, TaskPool& tasks, TaskPool& answers)
    : daemon_(daemon), domain_(std::move(domain)), tasks_(tasks), answers_(answers) {}

void DaemonManager::send(nlohmann::json request, std::function<void(nlohmann::json)> done) {
    request["id"] = 0;
    request["domain"] = toJSON(domain_);
    auto once = std::make_shared<std::once_flag>();
    auto answer = [once, done](nlohmann::json reply) { std::call_once(*once, [&] { done(std::move(reply)); }); };
    HostDaemon* daemon = &daemon_;
    bool queued = tasks_.submit([daemon, request, answer](std::stop_token) { daemon->handle(request, answer); });
    if (!queued) {
        // The host is going away; the answer still comes from another thread.
        auto fail = [answer](std::stop_token) {
            answer({{"ok", false}, {"error", toJSON(Error::connectionInterrupted())}});
        };
        if (!answers_.submit(fail)) fail({});  // the host is gone: nothing else is left

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
    TaskPool* answers = &answers_;
    Domain domain = domain_;
    PageSender sender = [daemon, tasks, answers, domain](nlohmann::json request,
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
            auto fail = [done](std::stop_token) { done(std::nullopt, Error::connectionInterrupted()); };
            if (!answers->submit(fail)) fail({});  // the host is gone: nothing else is left
        }
    };
    return makeMaterializedEnumerator(domain_, std::move(sender), tasks_, answers_);
}

}  // namespace nimbuscrate::fp::host
