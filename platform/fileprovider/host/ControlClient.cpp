#include "platform/fileprovider/host/ControlClient.h"
#include "platform/fileprovider/host/MaterializedEnumerator.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/fileprovider/host/ControlProtocol.h"
#include "platform/tasks/TaskPool.h"

namespace nimbuscrate::fp::host {
namespace {

int tryConnect(const std::filesystem::path& socket) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socket.string().size() >= sizeof(address.sun_path)) return -1;
    std::strncpy(address.sun_path, socket.c_str(), sizeof(address.sun_path) - 1);
    int descriptor = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (descriptor < 0) return -1;
    if (::connect(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(descriptor);
        return -1;
    }
    return descriptor;
}

Error lost(const std::string& why) {
    return Error{kCocoaErrorDomain, CocoaErrorCode::connectionInterrupted, ErrorUserInfo{why, nullptr}};
}

// Runs `onDrop` when the last holder lets go, unless it was cleared first:
// a pool task that never runs (the pool was shut down) still answers its callers.
struct UnlessRun {
    std::function<void()> onDrop;
    ~UnlessRun() {
        if (onDrop) onDrop();
    }
};

// Reader threads whose client went on the reader itself while no pool took
// the join (every pool was shutting down). Finished ones are joined when
// another arrives, and the rest when the process ends.
class LateReaders {
public:
    static LateReaders& instance() {
        static LateReaders readers;
        return readers;
    }
    void keep(std::weak_ptr<void> alive, std::jthread reader) {
        std::vector<std::jthread> finished;
        {
            std::lock_guard lock(mutex_);
            for (auto entry = readers_.begin(); entry != readers_.end();) {
                if (entry->first.expired()) {  // past its loop: only unwinding
                    finished.push_back(std::move(entry->second));
                    entry = readers_.erase(entry);
                } else {
                    ++entry;
                }
            }
            readers_.emplace_back(std::move(alive), std::move(reader));
        }
    }  // `finished` joins here, outside the lock

private:
    std::mutex mutex_;
    std::vector<std::pair<std::weak_ptr<void>, std::jthread>> readers_;
};

}  // namespace

std::shared_ptr<ControlClient> ControlClient::connect(const std::filesystem::path& socket, TaskPool& tasks,
                                                      std::function<void()> startHost,
                                                      std::chrono::milliseconds wait, std::stop_token stop,
                                                      TaskPool* answers) {
    int descriptor = tryConnect(socket);
    if (descriptor < 0 && startHost) {
        startHost();
        auto deadline = std::chrono::steady_clock::now() + wait;
        while (descriptor < 0 && !stop.stop_requested() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            descriptor = tryConnect(socket);
        }
    }
    if (descriptor < 0) throw ErrorException(lost("The file provider host does not answer at " + socket.string() + "."));
    // Only a host of this same user is spoken to.
    ucred peer{};
    socklen_t length = sizeof(peer);
    if (::getsockopt(descriptor, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != ::geteuid()) {
        ::close(descriptor);
        throw ErrorException(lost("The process at " + socket.string() + " belongs to another user."));
    }
    LateReaders::instance();  // made before any client can need it, so it outlives them
    auto client = std::make_shared<ControlClient>(descriptor, tasks, answers);
    client->reader_ = std::jthread([link = client->link_] { readLoop(link); });
    return client;
}

ControlClient::ControlClient(int descriptor, TaskPool& tasks, TaskPool* answers)
    : link_(std::make_shared<Link>(descriptor)), tasks_(tasks), answers_(answers) {}

ControlClient::~ControlClient() {
    close();  // wakes the reader, which fails what is pending and ends
    if (reader_.joinable() && reader_.get_id() == std::this_thread::get_id()) handOffReader();
    // Otherwise reader_ joins here.
}

void ControlClient::handOffReader() {
    auto reader = std::make_shared<std::jthread>(std::move(reader_));
    // The task waits for this very thread to end, which it does soon: its
    // connection is shut down, so the loop ends after the handler returns.
    TaskPool::Task join = [reader](std::stop_token) { reader->join(); };
    if (tasks_.submit(join)) return;
    if (answers_ && answers_->submit(join)) return;
    LateReaders::instance().keep(link_, std::move(*reader));
}

ControlClient::Link::~Link() { ::close(descriptor); }

bool ControlClient::connected() const {
    std::lock_guard lock(link_->mutex);
    return !link_->dropped;
}

void ControlClient::close() { ::shutdown(link_->descriptor, SHUT_RDWR); }

void ControlClient::call(nlohmann::json request, ReplyHandler done) {
    long long id;
    {
        std::lock_guard lock(link_->mutex);
        if (!link_->dropped) {
            id = link_->nextId++;
            link_->pending.emplace(id, done);
        } else {
            id = 0;
        }
    }
    if (id == 0) {
        auto fail = [done](std::stop_token) { done(lost("The connection to the file provider host was lost.")); };
        // A pool that is shutting down still gets the call answered, here.
        if (!tasks_.submit(fail)) fail({});
        return;
    }
    request["id"] = id;
    std::string line = request.dump() + "\n";
    size_t sent = 0;
    bool ok = true;
    while (sent < line.size()) {
        ssize_t n = ::send(link_->descriptor, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        sent += static_cast<size_t>(n);
    }
    // A failed send is noticed by the reader, which fails every pending call.
    if (!ok) close();
}

ControlClient::Reply ControlClient::check(Reply reply) {
    if (std::holds_alternative<Error>(reply)) return reply;
    const auto& json = std::get<nlohmann::json>(reply);
    if (json.value("ok", false)) return reply;
    auto error = json.find("error");
    return errorFromJSON(error == json.end() ? nlohmann::json() : *error);
}

void ControlClient::Link::failAll() {
    std::map<long long, ReplyHandler> failed;
    {
        std::lock_guard lock(mutex);
        dropped = true;
        failed.swap(pending);
    }
    for (auto& [id, handler] : failed) handler(lost("The connection to the file provider host was lost."));
}

void ControlClient::readLoop(const std::shared_ptr<Link>& link) {
    std::string buffer;
    char chunk[4096];
    for (;;) {
        ssize_t n = ::recv(link->descriptor, chunk, sizeof(chunk), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        buffer.append(chunk, static_cast<size_t>(n));
        for (auto newline = buffer.find('\n'); newline != std::string::npos; newline = buffer.find('\n')) {
            auto reply = nlohmann::json::parse(buffer.substr(0, newline), nullptr, false);
            buffer.erase(0, newline + 1);
            if (!reply.is_object()) continue;
            auto id = reply.find("id");
            if (id == reply.end() || !id->is_number_integer()) continue;
            ReplyHandler handler;
            {
                std::lock_guard lock(link->mutex);
                auto found = link->pending.find(id->get<long long>());
                if (found == link->pending.end()) continue;  // not ours, or answered already
                handler = std::move(found->second);
                link->pending.erase(found);
            }
            // May let go of the client, even its last reference: only `link` is used after it.
            handler(std::move(reply));
        }
        if (buffer.size() > 16 * kMaxLineLength) break;  // a host gone wrong
    }
    link->failAll();
}

ChannelDomainService::ChannelDomainService(std::filesystem::path socket, TaskPool& tasks, TaskPool& answers,
                                           std::function<void()> startHost)
    : socket_(std::move(socket)), tasks_(tasks), answers_(answers), startHost_(std::move(startHost)) {}

ChannelDomainService::~ChannelDomainService() {
    std::lock_guard lock(mutex_);
    if (client_) client_->close();
}

void ChannelDomainService::send(nlohmann::json request, ControlClient::ReplyHandler done) {
    auto checked = [done](ControlClient::Reply reply) { done(ControlClient::check(std::move(reply))); };
    bool startSending = false;
    {
        std::lock_guard lock(mutex_);
        waiting_.push_back(Outgoing{std::move(request), std::move(checked)});
        startSending = !sending_;
        sending_ = true;
    }
    if (!startSending) return;  // the task under way sends it too
    auto self = shared_from_this();
    // Should the pool refuse or drop the task (it is shutting down), the
    // calls still fail, from another thread.
    auto unrun = std::make_shared<UnlessRun>();
    unrun->onDrop = [self] {
        // What waits is taken here; the task that fails it holds only the
        // requests, never the service (whose last holder might then be that task).
        std::deque<Outgoing> batch;
        {
            std::lock_guard lock(self->mutex_);
            batch.swap(self->waiting_);
            self->sending_ = false;
        }
        auto failed = std::make_shared<std::deque<Outgoing>>(std::move(batch));
        auto fail = [failed](std::stop_token) {
            for (auto& outgoing : *failed) outgoing.done(lost("The app's tasks have stopped."));
        };
        if (!self->answers_.submit(fail)) fail({});  // no pool is left: the app is ending
    };
    tasks_.submit([self, unrun](std::stop_token stop) {
        unrun->onDrop = nullptr;
        self->sendWaiting(stop);
    });
}

void ChannelDomainService::sendWaiting(std::stop_token stop) {
    for (;;) {
        if (stop.stop_requested()) {
            // The app's tasks are stopping: what waits fails once, here.
            return failWaiting(lost("The app's tasks have stopped."));
        }
        std::shared_ptr<ControlClient> client;
        {
            std::lock_guard lock(mutex_);
            if (waiting_.empty()) {
                sending_ = false;
                return;
            }
            client = client_;
        }
        std::optional<Error> failure;
        if (!client || !client->connected()) {
            // May start the host and wait for it to answer.
            try {
                client = ControlClient::connect(socket_, tasks_, startHost_, std::chrono::seconds(5), stop, &answers_);
            } catch (const ErrorException& error) {
                client.reset();
                failure = error.error();
            }
        }
        std::deque<Outgoing> batch;
        {
            std::lock_guard lock(mutex_);
            if (client) client_ = client;
            batch.swap(waiting_);
        }
        // What waited during a failed attempt fails with it; what comes later gets a new attempt.
        for (auto& outgoing : batch) {
            if (failure) {
                outgoing.done(*failure);
            } else {
                client->call(std::move(outgoing.request), std::move(outgoing.done));
            }
        }
    }
}

void ChannelDomainService::failWaiting(const Error& error) {
    std::deque<Outgoing> batch;
    {
        std::lock_guard lock(mutex_);
        batch.swap(waiting_);
        sending_ = false;
    }
    for (auto& outgoing : batch) outgoing.done(error);
}

void ChannelDomainService::addDomain(const Domain& domain, Completion done) {
    send({{"op", "addDomain"}, {"domain", toJSON(domain)}}, [done](ControlClient::Reply reply) {
        done(std::holds_alternative<Error>(reply) ? std::optional<Error>(std::get<Error>(reply)) : std::nullopt);
    });
}

void ChannelDomainService::removeDomain(const Domain& domain, Completion done) {
    send({{"op", "removeDomain"}, {"domain", toJSON(domain)}}, [done](ControlClient::Reply reply) {
        done(std::holds_alternative<Error>(reply) ? std::optional<Error>(std::get<Error>(reply)) : std::nullopt);
    });
}

void ChannelDomainService::getDomains(std::function<void(std::vector<Domain>, std::optional<Error>)> done) {
    send({{"op", "getDomains"}}, [done](ControlClient::Reply reply) {
        if (std::holds_alternative<Error>(reply)) return done({}, std::get<Error>(reply));
        std::vector<Domain> domains;
        try {
            for (const auto& entry : std::get<nlohmann::json>(reply).at("domains")) domains.push_back(domainFromJSON(entry));
        } catch (const std::exception& error) {
            return done({}, channelError(std::string("The host sent an unreadable domain list: ") + error.what()));
        }
        done(std::move(domains), std::nullopt);
    });
}

ManagerPtr ChannelDomainService::managerFor(const Domain& domain) {
    return std::make_shared<ChannelManager>(shared_from_this(), domain, tasks_);
}

ChannelManager::ChannelManager(std::shared_ptr<ChannelDomainService> service, Domain domain, TaskPool& tasks)
    : service_(std::move(service)), domain_(std::move(domain)), tasks_(tasks) {}

void ChannelManager::simple(const std::string& op, const ItemId& item, Completion done) {
    service_->send({{"op", op}, {"domain", toJSON(domain_)}, {"item", item}}, [done](ControlClient::Reply reply) {
        done(std::holds_alternative<Error>(reply) ? std::optional<Error>(std::get<Error>(reply)) : std::nullopt);
    });
}

void ChannelManager::signalEnumerator(const ItemId& container, Completion done) { simple("signal", container, done); }
void ChannelManager::evictItem(const ItemId& item, Completion done) { simple("evict", item, done); }
void ChannelManager::waitForChangesBelow(const ItemId& item, Completion done) { simple("waitForChanges", item, done); }

EnumeratorPtr ChannelManager::materializedItems() {
    auto service = service_;
    Domain domain = domain_;
    PageSender sender = [service, domain](nlohmann::json request,
                                          std::function<void(std::optional<nlohmann::json>, std::optional<Error>)> done) {
        request["domain"] = toJSON(domain);
        service->send(std::move(request), [done](ControlClient::Reply reply) {
            if (std::holds_alternative<Error>(reply)) return done(std::nullopt, std::get<Error>(reply));
            done(std::get<nlohmann::json>(std::move(reply)), std::nullopt);
        });
    };
    return makeMaterializedEnumerator(domain_, std::move(sender), tasks_, service_->answers());
}

void ChannelManager::userVisiblePath(
    const ItemId& item, std::function<void(std::optional<std::filesystem::path>, std::optional<Error>)> done) {
    service_->send({{"op", "userVisiblePath"}, {"domain", toJSON(domain_)}, {"item", item}},
                   [done](ControlClient::Reply reply) {
                       if (std::holds_alternative<Error>(reply)) return done(std::nullopt, std::get<Error>(reply));
                       const auto& json = std::get<nlohmann::json>(reply);
                       auto path = json.find("path");
                       if (path == json.end() || !path->is_string()) {
                           return done(std::nullopt, channelError("The host sent no path."));
                       }
                       done(std::filesystem::path(path->get<std::string>()), std::nullopt);
                   });
}

}  // namespace nimbuscrate::fp::host
