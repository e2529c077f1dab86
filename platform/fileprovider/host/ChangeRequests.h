#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/fileprovider/Error.h"
#include "platform/fileprovider/Item.h"

namespace nimbuscrate {
class TaskPool;
}

namespace nimbuscrate::fp::host {

// Asks for the changes of containers, one round at a time per container:
// requests that arrive while a round of their container runs are answered
// together by one more round after it, so a burst of signals costs at most
// two rounds. Rounds run on two threads of its own: a round waits for the
// extension, whose answers come on the shared task pool, and must never
// take all of it.
//
// Lock: `mutex_` guards the rounds' state; nothing else is taken under it,
// and neither rounds nor answers run under it.
class ChangeRequests {
public:
    using Done = std::function<void(std::optional<Error>)>;
    // One round for a container; its error, if any.
    using Round = std::function<std::optional<Error>(const ItemId& container)>;
    // Runs after a round failed (nobody may be waiting for its answer).
    using Failed = std::function<void(const ItemId& container, const Error& error)>;

    ChangeRequests(Round round, Failed failed);
    ~ChangeRequests();
    ChangeRequests(const ChangeRequests&) = delete;
    ChangeRequests& operator=(const ChangeRequests&) = delete;

    // Takes requests from now on.
    void start();
    // Refuses new requests (answered at once: the domain is being removed),
    // waits for the rounds under way (the caller ends their waits first)
    // and joins the threads. Safe to call twice.
    void stop();
    // Asks for the container's changes; `done` runs once with the error of
    // the round that answers it, on a round's thread (or here, when refused).
    void request(const ItemId& container, Done done);

private:
    void run(const ItemId& container);

    Round round_;
    Failed failed_;
    struct State {
        bool running = false;
        bool again = false;
        std::vector<Done> current;  // answered by the round running now
        std::vector<Done> next;     // answered by the round after it
    };
    std::mutex mutex_;
    std::condition_variable idle_;
    std::map<ItemId, State> states_;
    std::size_t running_ = 0;  // containers with a round queued or running
    bool stopped_ = false;
    std::unique_ptr<TaskPool> workers_;
};

}  // namespace nimbuscrate::fp::host
