#pragma once

#include <memory>

#include <nlohmann/json.hpp>

#include "platform/fileprovider/Domain.h"
#include "platform/fileprovider/Manager.h"

namespace nimbuscrate {
class TaskPool;
}

namespace nimbuscrate::fp::host {

class HostDaemon;

// One domain's manager inside the host process: the extension's calls go to
// the daemon as the same requests the control channel carries. Every call
// only queues a task and returns; its completion runs once, on a task.
class DaemonManager final : public Manager {
public:
    DaemonManager(HostDaemon& daemon, Domain domain, TaskPool& tasks);

    void signalEnumerator(const ItemId& container, Completion done) override;
    void evictItem(const ItemId& item, Completion done) override;
    void waitForChangesBelow(const ItemId& item, Completion done) override;
    EnumeratorPtr materializedItems() override;
    void userVisiblePath(const ItemId& item,
                         std::function<void(std::optional<std::filesystem::path>, std::optional<Error>)> done) override;

private:
    // Hands the request to the daemon from a task; the reply handler runs once.
    void send(nlohmann::json request, std::function<void(nlohmann::json)> done);
    void simple(const std::string& op, const ItemId& item, Completion done);

    HostDaemon& daemon_;
    Domain domain_;
    TaskPool& tasks_;
};

// The error a reply carries, if it is a failure.
std::optional<Error> replyError(const nlohmann::json& reply);

// Pages of the materialized items through a request sender: each page is
// one "materializedPage" request. Used over the channel and in process.
using PageSender = std::function<void(nlohmann::json request, std::function<void(std::optional<nlohmann::json>, std::optional<Error>)>)>;
EnumeratorPtr makeMaterializedEnumerator(Domain domain, PageSender send, TaskPool& tasks);

}  // namespace nimbuscrate::fp::host
