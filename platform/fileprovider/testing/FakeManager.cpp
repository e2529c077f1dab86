#include "platform/fileprovider/testing/FakeManager.h"

#include <sstream>
#include <stdexcept>

#include "platform/fileprovider/testing/StaticEnumerator.h"
#include "platform/tasks/Clock.h"
#include "platform/tasks/TaskPool.h"

namespace nimbuscrate::fp::testing {

FakeManager::FakeManager(TaskPool& tasks, Clock& clock)
    : tasks_(tasks),
      clock_(clock),
      failure_{kCocoaErrorDomain, CocoaErrorCode::connectionReplyInvalid, ErrorUserInfo{"Scripted failure", nullptr}} {}

void FakeManager::script(const std::string& operation, const std::string& answers) {
    std::deque<bool> parsed;
    std::stringstream stream(answers);
    std::string word;
    while (std::getline(stream, word, ',')) {
        auto begin = word.find_first_not_of(" \t");
        auto end = word.find_last_not_of(" \t");
        if (begin == std::string::npos) continue;
        word = word.substr(begin, end - begin + 1);
        if (word == "ok") {
            parsed.push_back(true);
        } else if (word == "fail") {
            parsed.push_back(false);
        } else {
            throw std::invalid_argument("unknown scripted answer: " + word);
        }
    }
    std::lock_guard lock(mutex_);
    scripts_[operation] = std::move(parsed);
}

void FakeManager::script(const std::string& line) {
    auto colon = line.find(':');
    if (colon == std::string::npos) throw std::invalid_argument("a script reads \"operation: answers\": " + line);
    auto operation = line.substr(0, colon);
    auto begin = operation.find_first_not_of(" \t");
    auto end = operation.find_last_not_of(" \t");
    if (begin == std::string::npos) throw std::invalid_argument("a script needs an operation: " + line);
    script(operation.substr(begin, end - begin + 1), line.substr(colon + 1));
}

void FakeManager::setFailure(Error error) {
    std::lock_guard lock(mutex_);
    failure_ = std::move(error);
}

void FakeManager::holdAt(const std::string& operation, std::shared_ptr<Gate> gate) {
    std::lock_guard lock(mutex_);
    gates_[operation] = std::move(gate);
}

void FakeManager::setMaterializedEnumerator(EnumeratorPtr enumerator) {
    std::lock_guard lock(mutex_);
    materialized_ = std::move(enumerator);
}

void FakeManager::setVisibleRoot(std::filesystem::path root) {
    std::lock_guard lock(mutex_);
    visibleRoot_ = std::move(root);
}

std::optional<Error> FakeManager::record(const std::string& operation, const ItemId& item) {
    std::lock_guard lock(mutex_);
    calls_.push_back({operation, item, clock_.now(), clock_.monotonicSeconds()});
    auto& script = scripts_[operation];
    if (script.empty()) return std::nullopt;
    bool ok = script.front();
    script.pop_front();
    if (ok) return std::nullopt;
    return failure_;
}

void FakeManager::answer(const std::string& operation, std::optional<Error> result,
                         std::function<void(std::optional<Error>)> reply) {
    std::shared_ptr<Gate> gate;
    {
        std::lock_guard lock(mutex_);
        auto found = gates_.find(operation);
        if (found != gates_.end()) gate = found->second;
    }
    auto shared = std::make_shared<std::function<void(std::optional<Error>)>>(std::move(reply));
    const bool queued = tasks_.submit([gate, shared, result](std::stop_token stop) {
        if (gate) gate->pass(stop);
        (*shared)(result);
    });
    // A pool that no longer takes tasks: the call fails at once, as a lost
    // connection to the system would, instead of never being answered.
    if (!queued) (*shared)(Error::connectionInterrupted());
}

void FakeManager::signalEnumerator(const ItemId& container, Completion done) {
    answer("signal", record("signal", container), std::move(done));
}

void FakeManager::evictItem(const ItemId& item, Completion done) {
    answer("evict", record("evict", item), std::move(done));
}

void FakeManager::waitForChangesBelow(const ItemId& item, Completion done) {
    answer("waitForChanges", record("waitForChanges", item), std::move(done));
}

EnumeratorPtr FakeManager::materializedItems() {
    record("materializedItems", {});
    std::lock_guard lock(mutex_);
    if (materialized_) return materialized_;
    return std::make_shared<StaticEnumerator>(tasks_, std::vector<ItemPtr>{}, 100);
}

void FakeManager::userVisiblePath(
    const ItemId& item, std::function<void(std::optional<std::filesystem::path>, std::optional<Error>)> done) {
    auto result = record("userVisiblePath", item);
    std::filesystem::path path;
    {
        std::lock_guard lock(mutex_);
        path = item == kRootContainer ? visibleRoot_ : visibleRoot_ / item;
    }
    answer("userVisiblePath", result, [done = std::move(done), path](std::optional<Error> error) {
        if (error) {
            done(std::nullopt, error);
        } else {
            done(path, std::nullopt);
        }
    });
}

std::vector<FakeManager::Call> FakeManager::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<FakeManager::Call> FakeManager::calls(const std::string& operation) const {
    std::lock_guard lock(mutex_);
    std::vector<Call> matching;
    for (const auto& call : calls_) {
        if (call.operation == operation) matching.push_back(call);
    }
    return matching;
}

std::vector<ItemId> FakeManager::signalled() const {
    std::vector<ItemId> ids;
    for (const auto& call : calls("signal")) ids.push_back(call.item);
    return ids;
}

}  // namespace nimbuscrate::fp::testing
