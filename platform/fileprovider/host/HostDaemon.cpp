#include "platform/fileprovider/host/HostDaemon.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <stdexcept>

#include "platform/core/AtomicFile.h"
#include "platform/core/PlatformError.h"
#include "platform/fileprovider/host/ControlProtocol.h"
#include "platform/fileprovider/host/DaemonManager.h"
#include "platform/fileprovider/host/ItemCoding.h"
#include "platform/log/Logger.h"

namespace nimbuscrate::fp::host {
namespace {

const Logger& logger() {
    static const Logger instance("app.nimbuscrate.fileprovider", "host");
    return instance;
}

Error noSuchDomain(const std::string& identifier) {
    return Error::fileProvider(FileProviderErrorCode::noSuchItem, "No domain \"" + identifier + "\" is registered.");
}

nlohmann::json failure(const nlohmann::json& id, const Error& error) {
    return {{"id", id}, {"ok", false}, {"error", toJSON(error)}};
}

nlohmann::json success(const nlohmann::json& id) { return {{"id", id}, {"ok", true}}; }

sockaddr_un socketAddress(const std::filesystem::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.string().size() >= sizeof(address.sun_path)) {
        throw std::runtime_error("The socket path is too long: " + path.string());
    }
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    return address;
}

bool someoneAnswers(const std::filesystem::path& path) {
    int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return false;
    auto address = socketAddress(path);
    bool answered = ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    ::close(probe);
    return answered;
}

bool writeAll(int descriptor, const std::string& text) {
    size_t sent = 0;
    while (sent < text.size()) {
        ssize_t n = ::send(descriptor, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// Makes sure a folder is a real folder of this user, closed to others
// (created 0700 when missing): the socket lives there.
void ensurePrivateFolder(const std::filesystem::path& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) throw posixError(errno, "mkdir " + path.string());
    struct stat attributes{};
    if (::lstat(path.c_str(), &attributes) != 0) throw posixError(errno, "stat " + path.string());
    if (!S_ISDIR(attributes.st_mode) || attributes.st_uid != ::geteuid()) {
        throw std::runtime_error("Refusing " + path.string() + ": it is not a folder of this user.");
    }
    if ((attributes.st_mode & 0077) != 0 && ::chmod(path.c_str(), 0700) != 0) {
        throw posixError(errno, "chmod " + path.string());
    }
}

}  // namespace

struct HostDaemon::Connection {
    int descriptor = -1;
    std::mutex writeMutex;
    bool closed = false;    // nothing more is sent
    bool released = false;  // the descriptor is closed
    std::atomic<bool> finished{false};  // its thread is done serving and may be joined

    void send(const nlohmann::json& reply) {
        std::string line = reply.dump() + "\n";
        std::lock_guard lock(writeMutex);
        if (closed) return;
        if (!writeAll(descriptor, line)) closed = true;
    }
};

HostDaemon::HostDaemon(Options options) : options_(std::move(options)), tasks_(options_.threads) {
    if (!options_.factory) throw std::invalid_argument("the host needs an extension factory");
}

HostDaemon::~HostDaemon() { stop(); }

std::filesystem::path HostDaemon::socketPath() const { return controlSocketPath(options_.runtimeDirectory); }

std::filesystem::path HostDaemon::registryPath() const { return options_.dataDirectory / "domains.json"; }

void HostDaemon::loadRegistry() {
    registered_.clear();
    std::ifstream in(registryPath());
    if (!in) return;
    try {
        auto json = nlohmann::json::parse(in);
        for (const auto& entry : json.at("domains")) {
            auto domain = domainFromJSON(entry);
            if (isValidDomainIdentifier(domain.identifier) && isValidDisplayName(domain.displayName)) {
                registered_.push_back(domain);
            }
        }
    } catch (const std::exception& error) {
        // Kept as it is on disk until the next change rewrites it.
        logger().error(std::string("Unreadable domain registrations: ") + error.what());
    }
}

void HostDaemon::saveRegistry() {
    nlohmann::json json = {{"domains", nlohmann::json::array()}};
    for (const auto& domain : registered_) json["domains"].push_back(toJSON(domain));
    std::filesystem::create_directories(options_.dataDirectory);
    auto temporary = registryPath();
    temporary += ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << json.dump(2) << "\n";
        out.flush();
        if (!out) throw std::runtime_error("Could not write " + temporary.string());
    }
    std::filesystem::rename(temporary, registryPath());
}

std::shared_ptr<DomainMount> HostDaemon::makeMount(const Domain& domain) {
    DomainMount::Options mountOptions;
    mountOptions.domain = domain;
    mountOptions.mountpoint = options_.home / domain.displayName;
    mountOptions.stateDirectory = options_.dataDirectory / "domains" / domain.identifier;
    mountOptions.factory = options_.factory;
    mountOptions.tasks = &tasks_;
    mountOptions.answers = &answers_;
    mountOptions.clock = options_.clock ? options_.clock : &clock_;
    mountOptions.staleAfterSeconds = options_.staleAfterSeconds;
    mountOptions.parkedRetrySeconds = options_.parkedRetrySeconds;
    mountOptions.parkedRetryCapSeconds = options_.parkedRetryCapSeconds;
    mountOptions.beforeOperation = options_.beforeOperation;
    mountOptions.whileRecording = options_.whileRecording;
    // The extension's manager speaks to this daemon in process.
    mountOptions.manager = [this, domain] { return std::make_shared<DaemonManager>(*this, domain, tasks_, answers_); };
    return std::make_shared<DomainMount>(mountOptions);
}

void HostDaemon::start() {
    if (started_) return;
    std::filesystem::create_directories(options_.dataDirectory);
    ::chmod(options_.dataDirectory.c_str(), 0700);

    // The socket first: a second host for the same user stops here.
    auto path = socketPath();
    std::filesystem::create_directories(options_.runtimeDirectory.parent_path());
    ensurePrivateFolder(options_.runtimeDirectory);
    ensurePrivateFolder(path.parent_path());
    if (std::filesystem::exists(std::filesystem::symlink_status(path))) {
        if (someoneAnswers(path)) throw std::runtime_error("Another host already serves " + path.string());
        std::filesystem::remove(path);
    }
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) throw posixError(errno, "socket");
    auto address = socketAddress(path);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(listener_, 64) != 0) {
        int error = errno;
        ::close(listener_);
        listener_ = -1;
        throw posixError(error, "bind " + path.string());
    }
    ::chmod(path.c_str(), 0600);
    // Neither end blocks: the accept thread drains it, and a wake-up that
    // finds it full is not needed (it is readable already).
    if (::pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) throw posixError(errno, "pipe");
    stopping_ = false;

    {
        std::lock_guard lock(mutex_);
        loadRegistry();
    }
    for (const auto& domain : domains()) {
        auto mount = makeMount(domain);
        try {
            mount->mount();
            std::lock_guard lock(mutex_);
            mounts_[domain.identifier] = std::move(mount);
        } catch (const std::exception& error) {
            // It stays registered; the next start tries again.
            logger().error("Could not mount " + domain.identifier + ": " + error.what());
        }
    }
    started_ = true;
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

void HostDaemon::stop() {
    if (!started_) return;
    started_ = false;
    stopping_ = true;
    char wake = 1;
    (void)!::write(wakePipe_[1], &wake, 1);
    if (acceptThread_.joinable()) acceptThread_.join();
    // No connection comes any more: end those still served and join them all.
    std::list<ConnectionThread> connections;
    {
        std::lock_guard lock(connectionsMutex_);
        for (auto& entry : connections_) {
            std::lock_guard guard(entry.connection->writeMutex);
            if (!entry.connection->released) ::shutdown(entry.connection->descriptor, SHUT_RDWR);
        }
        connections.swap(connections_);
    }
    for (auto& entry : connections) entry.thread.join();
    connections.clear();
    std::map<std::string, std::shared_ptr<DomainMount>> mounts;
    {
        std::lock_guard lock(mutex_);
        mounts.swap(mounts_);
    }
    for (auto& [identifier, mount] : mounts) mount->unmount();
    mounts.clear();
    tasks_.waitIdle();
    // The answers the mounts gave on their way out (they may hold the last
    // reference to a mount, which then goes there).
    answers_.waitIdle();
    ::close(listener_);
    listener_ = -1;
    std::error_code ignored;
    std::filesystem::remove(socketPath(), ignored);
    ::close(wakePipe_[0]);
    ::close(wakePipe_[1]);
    wakePipe_[0] = wakePipe_[1] = -1;
}

std::vector<Domain> HostDaemon::domains() const {
    std::lock_guard lock(mutex_);
    return registered_;
}

DomainMount* HostDaemon::mountFor(const std::string& identifier) {
    std::lock_guard lock(mutex_);
    auto found = mounts_.find(identifier);
    return found == mounts_.end() ? nullptr : found->second.get();
}

std::optional<Error> HostDaemon::addDomain(const Domain& domain) {
    if (!isValidDomainIdentifier(domain.identifier)) return channelError("Invalid domain identifier.");
    if (!isValidDisplayName(domain.displayName)) return channelError("Invalid display name.");
    std::lock_guard change(changeMutex_);
    {
        std::lock_guard lock(mutex_);
        for (const auto& known : registered_) {
            if (known.identifier == domain.identifier) {
                if (mounts_.count(domain.identifier)) return std::nullopt;  // already there
                break;
            }
            if (known.displayName == domain.displayName) {
                return Error::fileProvider(FileProviderErrorCode::filenameCollision,
                                           "Another domain is shown as \"" + domain.displayName + "\".");
            }
        }
    }
    auto mount = makeMount(domain);
    try {
        mount->mount();
    } catch (const std::exception& error) {
        return channelError(error.what());
    }
    std::lock_guard lock(mutex_);
    bool known = false;
    for (auto& entry : registered_) {
        if (entry.identifier == domain.identifier) {
            entry = domain;
            known = true;
        }
    }
    if (!known) registered_.push_back(domain);
    try {
        saveRegistry();
    } catch (const std::exception& error) {
        // Not registered after all: nothing is left half-done.
        registered_.erase(std::remove_if(registered_.begin(), registered_.end(),
                                         [&](const Domain& entry) { return entry.identifier == domain.identifier; }),
                          registered_.end());
        mount->unmount();
        return channelError(error.what());
    }
    mounts_[domain.identifier] = std::move(mount);
    return std::nullopt;
}

std::optional<Error> HostDaemon::removeDomain(const std::string& identifier) {
    std::lock_guard change(changeMutex_);
    std::shared_ptr<DomainMount> mount;
    Domain removed;
    {
        std::lock_guard lock(mutex_);
        auto found = std::find_if(registered_.begin(), registered_.end(),
                                  [&](const Domain& entry) { return entry.identifier == identifier; });
        if (found == registered_.end()) return noSuchDomain(identifier);
        removed = *found;
        registered_.erase(found);
        try {
            saveRegistry();
        } catch (const std::exception& error) {
            registered_.push_back(removed);
            return channelError(error.what());
        }
        auto live = mounts_.find(identifier);
        if (live != mounts_.end()) {
            mount = std::move(live->second);
            mounts_.erase(live);
        }
    }
    if (mount) {
        mount->unmount();
        // The mount folder goes too when it is empty again (it is ours).
        std::error_code ignored;
        std::filesystem::remove(mount->mountpoint(), ignored);
        // What was changed here and not sent is kept, beside where the drive was.
        std::size_t lost = 0;
        mount->preserveLocalChanges(mount->preservedFolder(), &lost);
        if (lost > 0) {
            // The state holds the only copies of those files: it stays.
            logger().error("Kept the state of the removed domain " + identifier + " in " +
                           (options_.dataDirectory / "domains" / identifier).string() + ": " + std::to_string(lost) +
                           " unsent files could not be kept elsewhere");
            return std::nullopt;
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all(options_.dataDirectory / "domains" / identifier, ignored);
    return std::nullopt;
}

void HostDaemon::handle(const nlohmann::json& request, std::function<void(nlohmann::json)> reply) {
    nlohmann::json id = nullptr;
    try {
        if (!request.is_object()) throw std::invalid_argument("A request must be a JSON object.");
        auto idField = request.find("id");
        if (idField == request.end() || !idField->is_number_integer()) {
            throw std::invalid_argument("A request needs an integer \"id\".");
        }
        id = *idField;
        auto opField = request.find("op");
        if (opField == request.end() || !opField->is_string()) throw std::invalid_argument("A request needs an \"op\".");
        const std::string op = opField->get<std::string>();
        auto itemOf = [&]() -> ItemId {
            auto item = request.find("item");
            if (item == request.end() || item->is_null()) return kRootContainer;
            if (!item->is_string()) throw std::invalid_argument("\"item\" must be a text.");
            return item->get<std::string>();
        };
        auto domainOf = [&]() -> Domain {
            auto domain = request.find("domain");
            if (domain == request.end()) throw std::invalid_argument("The operation needs a \"domain\".");
            return domainFromJSON(*domain);
        };

        if (op == "getDomains") {
            auto answer = success(id);
            answer["domains"] = nlohmann::json::array();
            for (const auto& domain : domains()) answer["domains"].push_back(toJSON(domain));
            return reply(answer);
        }
        if (op == "addDomain") {
            auto error = addDomain(domainOf());
            return reply(error ? failure(id, *error) : success(id));
        }
        if (op == "removeDomain") {
            auto error = removeDomain(domainOf().identifier);
            return reply(error ? failure(id, *error) : success(id));
        }
        if (op == "signal" || op == "userVisiblePath") {
            auto domain = domainOf();
            auto item = itemOf();
            std::shared_ptr<DomainMount> mount;
            {
                // Held only to find the mount: replies may wait on the network.
                std::lock_guard lock(mutex_);
                auto found = mounts_.find(domain.identifier);
                if (found != mounts_.end()) mount = found->second;
            }
            if (!mount) return reply(failure(id, noSuchDomain(domain.identifier)));
            if (op == "userVisiblePath") {
                auto path = mount->userVisiblePath(item);
                if (!path) return reply(failure(id, Error::fileProvider(FileProviderErrorCode::noSuchItem)));
                auto answer = success(id);
                answer["path"] = path->string();
                return reply(answer);
            }
            // Answered once the change enumeration that covers it is applied.
            mount->signal(item, [id, reply](std::optional<Error> error) {
                reply(error ? failure(id, *error) : success(id));
            });
            return;
        }
        if (op == "evict" || op == "waitForChanges" || op == "materializedPage") {
            auto domain = domainOf();
            std::shared_ptr<DomainMount> mount;
            {
                std::lock_guard lock(mutex_);
                auto found = mounts_.find(domain.identifier);
                if (found != mounts_.end()) mount = found->second;
            }
            if (!mount) return reply(failure(id, noSuchDomain(domain.identifier)));
            if (op == "evict") {
                auto error = mount->evict(itemOf());
                return reply(error ? failure(id, *error) : success(id));
            }
            if (op == "waitForChanges") {
                mount->waitForChanges(itemOf(), [id, reply, mount](std::optional<Error> error) {
                    reply(error ? failure(id, *error) : success(id));
                });
                return;
            }
            Page page;
            if (auto field = request.find("page"); field != request.end() && !field->is_null()) {
                if (!field->is_string()) throw std::invalid_argument("\"page\" must be a text.");
                page = bytesOfHex(field->get<std::string>());
            }
            auto [items, next] = mount->materializedPage(page);
            auto answer = success(id);
            answer["items"] = nlohmann::json::array();
            for (const auto& item : items) answer["items"].push_back(toJSON(*item));
            answer["next"] = next ? nlohmann::json(hexOf(*next)) : nlohmann::json(nullptr);
            return reply(answer);
        }
        if (op == "fetchThumbnail") {
            // {"size": pixels, "file": absolute path}: the item's thumbnail, as
            // the extension gives it, is written to the file (too large for a
            // line of the channel); the reply says how many bytes, 0 and no
            // file when the item has none.
            auto domain = domainOf();
            auto item = itemOf();
            auto sizeField = request.find("size");
            if (sizeField == request.end() || !sizeField->is_number_integer() || sizeField->get<std::int64_t>() < 1 ||
                sizeField->get<std::int64_t>() > kMaxThumbnailRequestSize) {
                throw std::invalid_argument("\"size\" must be an integer from 1 to 4096.");
            }
            auto fileField = request.find("file");
            if (fileField == request.end() || !fileField->is_string()) throw std::invalid_argument("\"file\" must be a text.");
            const std::filesystem::path file = fileField->get<std::string>();
            if (!file.is_absolute()) throw std::invalid_argument("\"file\" must be an absolute path.");
            const int size = sizeField->get<int>();
            std::shared_ptr<DomainMount> mount;
            {
                std::lock_guard lock(mutex_);
                auto found = mounts_.find(domain.identifier);
                if (found != mounts_.end()) mount = found->second;
            }
            if (!mount) return reply(failure(id, noSuchDomain(domain.identifier)));
            struct Answer {
                std::mutex mutex;  // guards the fields below
                std::optional<Bytes> bytes;
                std::optional<Error> error;
            };
            auto answer = std::make_shared<Answer>();
            mount->extension().fetchThumbnails(
                {item}, ThumbnailSize{size, size},
                [answer](const ItemId&, std::optional<Bytes> bytes, std::optional<Error> error) {
                    std::lock_guard lock(answer->mutex);
                    answer->bytes = std::move(bytes);
                    answer->error = std::move(error);
                },
                [id, reply, answer, file, mount](std::optional<Error> error) {
                    std::optional<Bytes> bytes;
                    {
                        std::lock_guard lock(answer->mutex);
                        if (!error) error = answer->error;
                        bytes = answer->bytes;
                    }
                    if (error) return reply(failure(id, *error));
                    auto result = success(id);
                    result["bytes"] = bytes ? bytes->size() : 0;
                    if (bytes && !bytes->empty()) {
                        try {
                            writeFileAtomically(file, *bytes, 0644);
                        } catch (const std::exception& writeError) {
                            return reply(failure(id, channelError(writeError.what())));
                        }
                    }
                    reply(result);
                });
            return;
        }
        return reply(failure(id, channelError("Unknown operation \"" + op + "\".")));
    } catch (const std::exception& error) {
        reply(failure(id, channelError(error.what())));
    }
}

std::size_t HostDaemon::connectionThreads() const {
    std::lock_guard lock(connectionsMutex_);
    return connections_.size();
}

void HostDaemon::reapConnections() {
    std::vector<std::thread> ended;
    {
        std::lock_guard lock(connectionsMutex_);
        for (auto entry = connections_.begin(); entry != connections_.end();) {
            if (entry->connection->finished) {
                ended.push_back(std::move(entry->thread));
                entry = connections_.erase(entry);
            } else {
                ++entry;
            }
        }
    }
    // Each has finished serving: joining only waits for its thread to return.
    for (auto& thread : ended) thread.join();
}

void HostDaemon::acceptLoop() {
    for (;;) {
        pollfd descriptors[2] = {{listener_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
        int ready = ::poll(descriptors, 2, -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return;
        if (descriptors[1].revents & POLLIN) {
            char drained[64];
            while (::read(wakePipe_[0], drained, sizeof drained) > 0) {
            }
            if (stopping_) return;
            reapConnections();
        }
        if (!(descriptors[0].revents & POLLIN)) continue;
        int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        ucred peer{};
        socklen_t length = sizeof(peer);
        if (::getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != ::geteuid()) {
            logger().error("Refused a control connection from another user");
            ::close(client);
            continue;
        }
        auto connection = std::make_shared<Connection>();
        connection->descriptor = client;
        std::lock_guard lock(connectionsMutex_);
        connections_.push_back(ConnectionThread{connection, std::thread([this, connection] { serve(connection); })});
    }
}

void HostDaemon::serve(std::shared_ptr<Connection> connection) {
    std::string buffer;
    bool discarding = false;  // inside a line that was too long
    char chunk[4096];
    for (;;) {
        ssize_t n = ::recv(connection->descriptor, chunk, sizeof(chunk), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        buffer.append(chunk, static_cast<size_t>(n));
        for (;;) {
            auto newline = buffer.find('\n');
            if (newline == std::string::npos) {
                if (buffer.size() > kMaxLineLength) {
                    if (!discarding) connection->send(failure(nullptr, channelError("The request line is too long.")));
                    discarding = true;
                    buffer.clear();
                }
                break;
            }
            std::string line = buffer.substr(0, newline);
            buffer.erase(0, newline + 1);
            if (discarding) {
                discarding = false;  // the rest of the long line
                continue;
            }
            if (line.size() > kMaxLineLength) {
                connection->send(failure(nullptr, channelError("The request line is too long.")));
                continue;
            }
            if (line.empty()) continue;
            auto request = nlohmann::json::parse(line, nullptr, false);
            if (request.is_discarded()) {
                connection->send(failure(nullptr, channelError("The request is not valid JSON.")));
                continue;
            }
            handle(request, [connection](nlohmann::json reply) { connection->send(reply); });
        }
    }
    {
        // Replies still to come (a signal, a wait) find it closed.
        std::lock_guard lock(connection->writeMutex);
        connection->closed = true;
        connection->released = true;
        ::close(connection->descriptor);
    }
    // The accept thread joins this thread and frees the connection.
    connection->finished = true;
    char wake = 1;
    (void)!::write(wakePipe_[1], &wake, 1);
}

}  // namespace nimbuscrate::fp::host
