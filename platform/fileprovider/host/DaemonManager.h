#pragma once

#include <memory>

#include <nlohmann/json.hpp>

#include "platform/fileprovider/Domain.h"
#include "platform/fileprovider/Manager.h"
#include "platform/fileprovider/host/MaterializedEnumerator.h"

namespace nimbuscrate {
class TaskPool;
}

namespace nimbuscrate::fp::host {

class HostDaemon;

// One domain's manager inside the host process: the extension's calls go to
// the daemon as the same requests the control channel carries. Every call
// only queues a task and returns; its completion runs once, on a task (of
// `answers`, a pool that outlives `tasks`, once `tasks` is shutting down).
class DaemonManager final : public Manager {
public:
    DaemonManager(HostDaemon& daemon, Domain domain, TaskPool& tasks, TaskPool& answers);

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
    TaskPool& answers_;
};

}  // namespace nimbuscrate::fp::host
