#pragma once

#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/Date.h"
#include "platform/fileprovider/Manager.h"
#include "platform/fileprovider/testing/Gate.h"

namespace nimbuscrate {
class Clock;
class TaskPool;
}  // namespace nimbuscrate

namespace nimbuscrate::fp::testing {

// The system's manager of one domain, faked: every call is recorded with the
// clock's time and answered later from a task of the pool (never inside the
// call), from a script of answers per operation ("ok" once the script runs out).
// Only when the pool no longer takes tasks is a call answered at once, with
// the lost-connection error (4097), so that no caller waits forever.
class FakeManager final : public Manager {
public:
    struct Call {
        std::string operation;  // "signal", "evict", "waitForChanges", "materializedItems", "userVisiblePath"
        ItemId item;
        Date at;
        double monotonicAt = 0;
    };

    FakeManager(TaskPool& tasks, Clock& clock);

    // Answers for the next calls of an operation, in order: a comma-separated
    // list of "ok" and "fail", e.g. script("evict", "fail, fail, ok").
    void script(const std::string& operation, const std::string& answers);
    // The same in one text: "evict: fail, fail, ok".
    void script(const std::string& line);
    // The error a scripted "fail" gives.
    void setFailure(Error error);
    // Holds every later call of the operation at the gate before it answers.
    void holdAt(const std::string& operation, std::shared_ptr<Gate> gate);
    // What materializedItems returns (null: a fresh empty enumerator).
    void setMaterializedEnumerator(EnumeratorPtr enumerator);
    // The folder userVisiblePath puts items under (the item id is appended;
    // the root container gives the folder itself).
    void setVisibleRoot(std::filesystem::path root);

    void signalEnumerator(const ItemId& container, Completion done) override;
    void evictItem(const ItemId& item, Completion done) override;
    void waitForChangesBelow(const ItemId& item, Completion done) override;
    EnumeratorPtr materializedItems() override;
    void userVisiblePath(const ItemId& item,
                         std::function<void(std::optional<std::filesystem::path>, std::optional<Error>)> done) override;

    std::vector<Call> calls() const;
    std::vector<Call> calls(const std::string& operation) const;
    std::vector<ItemId> signalled() const;

private:
    std::optional<Error> record(const std::string& operation, const ItemId& item);
    // Replies with the result from a task of the pool, after the operation's
    // gate; at once with connectionInterrupted when the pool takes no tasks.
    void answer(const std::string& operation, std::optional<Error> result,
                std::function<void(std::optional<Error>)> reply);

    TaskPool& tasks_;
    Clock& clock_;
    mutable std::mutex mutex_;
    std::vector<Call> calls_;
    std::map<std::string, std::deque<bool>> scripts_;  // true: ok
    std::map<std::string, std::shared_ptr<Gate>> gates_;
    Error failure_;
    EnumeratorPtr materialized_;
    std::filesystem::path visibleRoot_ = "/fake-domain";
};

}  // namespace nimbuscrate::fp::testing
