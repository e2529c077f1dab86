#include "shared/session/UploadActivityStore.h"

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <vector>

#include "platform/core/Random.h"
#include "platform/log/Logger.h"

namespace nimbuscrate {

namespace {

// The start time of a process (field 22 of /proc/<pid>/stat), or empty when
// the process does not exist. Together with the pid it names one process
// even when pids are reused.
std::string processStartTime(long pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(file, line)) return {};
    const auto close = line.rfind(')');
    if (close == std::string::npos) return {};
    std::istringstream fields(line.substr(close + 1));
    std::string field;
    // After the command name come fields 3 (state) onwards; 22 is the 20th of them.
    for (int index = 3; index <= 22; ++index) {
        if (!(fields >> field)) return {};
    }
    return field;
}

std::string processKey(long pid, const std::string& startTime) { return std::to_string(pid) + ":" + startTime; }

// Recomputed after a fork, so a child never publishes under its parent's key.
std::string thisProcessKey() {
    static std::mutex mutex;
    static pid_t cachedPid = -1;
    static std::string cachedKey;
    std::lock_guard guard(mutex);
    const pid_t pid = ::getpid();
    if (pid != cachedPid) {
        cachedKey = processKey(pid, processStartTime(pid));
        cachedPid = pid;
    }
    return cachedKey;
}

bool isLive(const std::string& key) {
    const auto colon = key.find(':');
    if (colon == std::string::npos) return false;
    try {
        const long pid = std::stol(key.substr(0, colon));
        const std::string startTime = processStartTime(pid);
        return !startTime.empty() && startTime == key.substr(colon + 1);
    } catch (const std::exception&) {
        return false;
    }
}

const Logger& logger() {
    static const Logger instance("app.nimbuscrate.fileprovider", "uploads");
    return instance;
}

}  // namespace

UploadActivityToken::UploadActivityToken(std::function<void()> finishHandler)
    : finishHandler_(std::move(finishHandler)) {}

UploadActivityToken::~UploadActivityToken() { finish(); }

void UploadActivityToken::finish() {
    std::function<void()> handler;
    {
        std::lock_guard guard(lock_);
        handler.swap(finishHandler_);
    }
    // Run outside the token's lock: the store takes its own.
    if (handler) handler();
}

UploadActivityStore::UploadActivityStore(Defaults& defaults, std::chrono::milliseconds publishInterval)
    : defaults_(defaults), publishInterval_(publishInterval) {
    // What a publication uses is made before the store, so that it outlives
    // a store that lives until the program ends (and publishes as it goes).
    thisProcessKey();
    logger();
    // A publication names its temporary file with the random source: started
    // here, its own clean-up at exit comes after this store's publisher ends.
    std::uint8_t unused = 0;
    fillRandom(&unused, 1);
    if (publishInterval_.count() > 0) {
        publisher_ = std::jthread([this](std::stop_token stop) { publishChanges(stop); });
    }
}

// The publisher, stopped and joined first, sends what is still unpublished.
UploadActivityStore::~UploadActivityStore() = default;

const std::shared_ptr<UploadActivityStore>& UploadActivityStore::shared() {
    static const auto store = std::make_shared<UploadActivityStore>(Defaults::group(), kPublishInterval);
    return store;
}

void UploadActivityStore::changedLocked() {
    if (publishInterval_.count() == 0) {
        publish(static_cast<std::int64_t>(activeOperations_.size()));
        return;
    }
    unpublished_ = true;
    changed_.notify_one();
}

void UploadActivityStore::publishChanges(std::stop_token stop) {
    std::unique_lock guard(lock_);
    for (;;) {
        changed_.wait(guard, stop, [this] { return unpublished_; });
        if (!unpublished_) return;  // stopped, with everything published
        // The rest of the interval since the last publication gathers the
        // changes that come meanwhile (a stop ends the wait: the store goes).
        changed_.wait_until(guard, stop, lastPublished_ + publishInterval_, [] { return false; });
        unpublished_ = false;
        const auto mine = static_cast<std::int64_t>(activeOperations_.size());
        guard.unlock();
        publish(mine);
        guard.lock();
        lastPublished_ = std::chrono::steady_clock::now();
    }
}

void UploadActivityStore::publish(std::int64_t mine) {
    const std::string me = thisProcessKey();
    try {
        writeCounts(mine, me);
    } catch (const std::exception& error) {
        // The set in memory stays exact; the next write that succeeds
        // publishes the right total.
        logger().error("The upload count could not be published: " + std::string(error.what()));
    }
}

void UploadActivityStore::writeCounts(std::int64_t mine, const std::string& me) {
    defaults_.update([&](nlohmann::json& values) {
        nlohmann::json processes = values.contains(kProcessesKey) && values[kProcessesKey].is_object()
                                       ? values[kProcessesKey]
                                       : nlohmann::json::object();
        nlohmann::json kept = nlohmann::json::object();
        std::int64_t total = 0;
        for (auto& [key, value] : processes.items()) {
            if (key == me || !value.is_number_integer() || value.get<std::int64_t>() <= 0) continue;
            if (!isLive(key)) continue;
            kept[key] = value;
            total += value.get<std::int64_t>();
        }
        if (mine > 0) kept[me] = mine;
        total += mine;
        values[kProcessesKey] = kept;
        values[kCountKey] = total;
    }, FileSync::unsynced);
}

void UploadActivityStore::resetCount() {
    std::lock_guard guard(lock_);
    activeOperations_.clear();
    changedLocked();
}

std::shared_ptr<UploadActivityToken> UploadActivityStore::beginUpload() {
    // The token is made before the upload is counted, so nothing can fail
    // between counting and handing the token out: the upload is either
    // counted with a token that takes it off, or not counted at all.
    const Uuid operation = Uuid::random();
    std::weak_ptr<UploadActivityStore> weakStore = weak_from_this();
    auto token = std::make_shared<UploadActivityToken>([weakStore, operation] {
        if (auto store = weakStore.lock()) store->finishUpload(operation);
    });
    {
        std::lock_guard guard(lock_);
        activeOperations_.insert(operation);
        changedLocked();
    }
    return token;
}

void UploadActivityStore::finishUpload(const Uuid& operation) {
    std::lock_guard guard(lock_);
    activeOperations_.erase(operation);
    changedLocked();
}

std::size_t UploadActivityStore::activeOperations() const {
    std::lock_guard guard(lock_);
    return activeOperations_.size();
}

std::int64_t UploadActivityStore::publishedCount() const { return defaults_.integer(kCountKey).value_or(0); }

}  // namespace nimbuscrate
