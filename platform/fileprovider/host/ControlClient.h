#pragma once

#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>
#include <variant>

#include <nlohmann/json.hpp>

#include "platform/fileprovider/DomainService.h"
#include "platform/fileprovider/Error.h"

namespace nimbuscrate {
class TaskPool;
}

namespace nimbuscrate::fp::host {

// One connection to the host's control channel. Requests get ids; replies
// are matched by id and delivered from the connection's reader thread. When
// the connection drops, every call still pending fails once with 4097, and so
// does every later call (from a pool task, never inside the call).
//
// The client owns its reader thread and joins it when the last reference
// goes: that closes the connection, and the pending calls fail once. When
// that last reference is let go on the reader thread itself (in a reply
// handler), the join is handed to a task of `tasks` (or of `answers`, or of
// the process-wide pool), so no reader thread is ever left unjoined.
class ControlClient : public std::enable_shared_from_this<ControlClient> {
public:
    using Reply = std::variant<nlohmann::json, Error>;  // the reply object, or why there is none
    using ReplyHandler = std::function<void(Reply)>;

    // Connects to the socket; when nothing answers and `startHost` is given,
    // calls it once and keeps trying until `wait` has passed or `stop` is
    // requested. Blocks meanwhile: call it on a worker thread. Throws
    // ErrorException (4097) when no host could be reached. `answers`, when
    // given, is a pool that outlives `tasks`.
    static std::shared_ptr<ControlClient> connect(const std::filesystem::path& socket, TaskPool& tasks,
                                                  std::function<void()> startHost = {},
                                                  std::chrono::milliseconds wait = std::chrono::seconds(5),
                                                  std::stop_token stop = {}, TaskPool* answers = nullptr);
    ~ControlClient();
    ControlClient(const ControlClient&) = delete;
    ControlClient& operator=(const ControlClient&) = delete;

    // Sends the request (its "id" is set here).
    void call(nlohmann::json request, ReplyHandler done);
    // The reply object of a successful call, or the error it carried.
    static Reply check(Reply reply);
    bool connected() const;
    // Ends the connection; the reader then fails what is pending.
    void close();

    // Takes the connected descriptor; reads nothing until connect starts the reader.
    ControlClient(int descriptor, TaskPool& tasks, TaskPool* answers = nullptr);

private:
    // What the reader thread shares with the client: the reader holds this,
    // never the client, so the client can go while the reader still ends.
    struct Link {
        explicit Link(int descriptor) : descriptor(descriptor) {}
        ~Link();
        Link(const Link&) = delete;
        Link& operator=(const Link&) = delete;
        void failAll();

        const int descriptor;
        std::mutex mutex;  // guards what follows
        std::map<long long, ReplyHandler> pending;
        long long nextId = 1;
        bool dropped = false;
    };
    static void readLoop(const std::shared_ptr<Link>& link);
    // Hands the reader thread to a pool that joins it (the last reference went on the reader itself).
    void handOffReader();

    std::shared_ptr<Link> link_;
    TaskPool& tasks_;
    TaskPool* answers_;
    std::jthread reader_;
};

// The app's domain registration over the control channel. It connects on
// first use (starting the host when the socket is silent) and again after a
// dropped connection. Every call only queues its request and returns: a pool
// task connects (never under the lock) and sends the queued requests in
// order, and each handler runs once, on another thread: a task of `tasks`,
// or of `answers` (a pool that outlives `tasks`, joined by its owner) for
// the calls that fail because `tasks` is shutting down. Made with
// std::make_shared (its tasks and managers keep it alive).
class ChannelDomainService final : public DomainService, public std::enable_shared_from_this<ChannelDomainService> {
public:
    ChannelDomainService(std::filesystem::path socket, TaskPool& tasks, TaskPool& answers,
                         std::function<void()> startHost = {});
    ~ChannelDomainService() override;

    void addDomain(const Domain& domain, Completion done) override;
    void removeDomain(const Domain& domain, Completion done) override;
    void getDomains(std::function<void(std::vector<Domain>, std::optional<Error>)> done) override;
    ManagerPtr managerFor(const Domain& domain) override;

    // Queues one request, to be sent once connected; the handler runs once,
    // with the reply object or the error (the host's, or 4097).
    void send(nlohmann::json request, ControlClient::ReplyHandler done);
    TaskPool& answers() { return answers_; }

private:
    struct Outgoing {
        nlohmann::json request;
        ControlClient::ReplyHandler done;
    };
    // The pool task: connects when needed and sends what waits, until nothing does.
    void sendWaiting(std::stop_token stop);
    // Fails every waiting request (nothing can send them).
    void failWaiting(const Error& error);

    std::filesystem::path socket_;
    TaskPool& tasks_;
    TaskPool& answers_;
    std::function<void()> startHost_;
    std::mutex mutex_;  // guards what follows; never held while connecting or sending
    std::shared_ptr<ControlClient> client_;
    std::deque<Outgoing> waiting_;
    bool sending_ = false;  // a sendWaiting task is queued or running
};

// One domain's manager over the control channel.
class ChannelManager final : public Manager {
public:
    ChannelManager(std::shared_ptr<ChannelDomainService> service, Domain domain, TaskPool& tasks);

    void signalEnumerator(const ItemId& container, Completion done) override;
    void evictItem(const ItemId& item, Completion done) override;
    void waitForChangesBelow(const ItemId& item, Completion done) override;
    EnumeratorPtr materializedItems() override;
    void userVisiblePath(const ItemId& item,
                         std::function<void(std::optional<std::filesystem::path>, std::optional<Error>)> done) override;

private:
    void simple(const std::string& op, const ItemId& item, Completion done);

    std::shared_ptr<ChannelDomainService> service_;
    Domain domain_;
    TaskPool& tasks_;
};

}  // namespace nimbuscrate::fp::host
