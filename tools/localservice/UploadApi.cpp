#include "tools/localservice/UploadApi.h"

#include <fcntl.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <set>
#include <shared_mutex>
#include <stdexcept>
#include <system_error>

#include "tools/localservice/AccountApi.h"
#include "tools/localservice/DavServer.h"

namespace nimbuscrate::localservice {

namespace fs = std::filesystem;

namespace {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr std::string_view kUploadsPath = "/api/v1/uploads";
constexpr std::int64_t kLargestSafeInteger = (std::int64_t{1} << 53) - 1;

Reply apiError(int status, std::string_view error, std::string_view message) {
    return Reply::json(status, Json{{"error", error}, {"message", message}}.dump());
}

Reply methodNotAllowed(const char* allowed) {
    Reply reply = apiError(405, "method_not_allowed", std::string("This route takes ") + allowed + ".");
    reply.header("Allow", allowed);
    return reply;
}

bool usesLeft(int remaining) { return remaining > 0 || remaining == UploadApi::kEveryCall; }
void useOnce(int& remaining) {
    if (remaining > 0) --remaining;
}
void checkTimes(int times) {
    if (times <= 0 && times != UploadApi::kEveryCall) throw std::invalid_argument("times must be positive or kEveryCall");
}

// A decimal number of digits only (no sign, no blanks), at most 2^53 - 1.
std::optional<std::uint64_t> decimal(std::string_view text) {
    if (text.empty() || text.size() > 16) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > static_cast<std::uint64_t>(kLargestSafeInteger)) return std::nullopt;
    return value;
}

const Json* member(const Json& value, const char* name) {
    if (!value.is_object()) return nullptr;
    auto found = value.find(name);
    return found == value.end() ? nullptr : &*found;
}

std::optional<std::int64_t> safeInteger(const Json* value) {
    if (!value || !value->is_number_integer()) return std::nullopt;
    if (value->is_number_unsigned()) {
        auto number = value->get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(kLargestSafeInteger)) return std::nullopt;
        return static_cast<std::int64_t>(number);
    }
    auto number = value->get<std::int64_t>();
    if (number < 0 || number > kLargestSafeInteger) return std::nullopt;
    return number;
}

bool isIdentifier(const Json* value) {
    if (!value || !value->is_string()) return false;
    const auto& text = value->get_ref<const std::string&>();
    return !text.empty() && text.size() <= 128 && std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    });
}

std::string hex(const unsigned char* data, std::size_t size) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

void writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) throw std::system_error(errno, std::generic_category(), "write");
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

// Writes all of the bytes at `offset` of the open file `fd`.
void writeAllAt(int fd, const char* data, std::size_t size, std::uint64_t offset) {
    while (size > 0) {
        const ssize_t written = ::pwrite(fd, data, size, static_cast<off_t>(offset));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) throw std::system_error(errno, std::generic_category(), "pwrite");
        data += written;
        size -= static_cast<std::size_t>(written);
        offset += static_cast<std::uint64_t>(written);
    }
}

// Copies the `length` bytes of the file at `source` to `offset` of the open
// file `fd`: inside the kernel where the file system allows it.
void copyInto(int fd, const fs::path& source, std::uint64_t offset, std::uint64_t length) {
    const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) throw std::system_error(errno, std::generic_category(), "open " + source.string());
    OpenFile closer(in);
    off_t from = 0;
    auto to = static_cast<off_t>(offset);
    std::uint64_t left = length;
    while (left > 0) {
        const ssize_t copied = ::copy_file_range(in, &from, fd, &to, left, 0);
        if (copied < 0 && errno == EINTR) continue;
        if (copied <= 0) break;
        left -= static_cast<std::uint64_t>(copied);
    }
    std::vector<char> buffer(1024 * 1024);
    while (left > 0) {
        const ssize_t got = ::pread(in, buffer.data(), std::min<std::uint64_t>(buffer.size(), left), from);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw std::system_error(errno, std::generic_category(), "read " + source.string());
        if (got == 0) throw std::runtime_error("the part file " + source.string() + " is short");
        writeAllAt(fd, buffer.data(), static_cast<std::size_t>(got), static_cast<std::uint64_t>(to));
        from += got;
        to += got;
        left -= static_cast<std::uint64_t>(got);
    }
}

// The blob of one upload: the file its parts are written into, each at its
// offset, and that completion publishes.
struct PartBlob {
    explicit PartBlob(int fd) : file(fd) {}
    OpenFile file;
    // Held shared by each write of a placed part and exclusively to revoke
    // a placement, so that no byte of a revoked placement lands after it.
    std::shared_mutex writing;
};

// A part PUT whose body goes straight to the part's place in the blob. Its
// bytes count only once the PUT has passed every check; until then the
// place holds nothing stored (see UploadApi::placePartBody).
class PartPlacement : public BodySink {
public:
    PartPlacement(std::shared_ptr<PartBlob> blob, std::uint64_t offset, std::uint64_t length)
        : blob_(std::move(blob)), offset_(offset), length_(length) {}

    void write(const char* data, std::size_t size, std::uint64_t at) override {
        std::shared_lock lock(blob_->writing);
        // Bytes past the part's length are counted by the body, never
        // written: the length check refuses the PUT.
        if (revoked_ || at >= length_) return;
        writeAllAt(blob_->file.fd(), data, static_cast<std::size_t>(std::min<std::uint64_t>(size, length_ - at)),
                   offset_ + at);
    }
    // From now on nothing is written; returns once no write is under way.
    void revoke() {
        std::unique_lock lock(blob_->writing);
        revoked_ = true;
    }
    bool revoked() const {
        std::shared_lock lock(blob_->writing);
        return revoked_;
    }

private:
    std::shared_ptr<PartBlob> blob_;
    const std::uint64_t offset_;
    const std::uint64_t length_;
    bool revoked_ = false;  // guarded by blob_->writing
};

// The upload id and part number of a part URL's path
// ("/upload-parts/<id>/<n>", n >= 1); none for another path.
std::optional<std::pair<std::string, std::size_t>> partTarget(std::string_view path) {
    const std::string_view rest = path.substr(UploadApi::kPartPathPrefix.size());
    const std::size_t slash = rest.find('/');
    const auto number = slash == std::string_view::npos ? std::nullopt : decimal(rest.substr(slash + 1));
    if (!number || *number < 1) return std::nullopt;
    return std::pair{std::string(rest.substr(0, slash)), static_cast<std::size_t>(*number)};
}

}  // namespace

struct UploadApi::Upload {
    std::string id;
    std::string driveId;
    std::string name;  // the blob's name: "<nodeId>-<revisionId>.nbenc"
    std::uint64_t length = 0;
    std::uint64_t partSize = 0;
    std::size_t partCount = 0;
    Json manifest;  // the signed manifest as received
    std::string nodeId;
    std::int64_t previousGeneration = 0;
    std::optional<std::string> nodeRecord;  // the embedded node record, as JSON text
    Clock::time_point expiresAt;
    int completingLeft = 0;
    bool complete = false;
    std::size_t heartbeats = 0;
    // The headers the last location of each part listed; its PUT must carry them.
    std::map<std::size_t, std::vector<std::pair<std::string, std::string>>> listedHeaders;
    // Every part stored. A part's first upload is written straight into
    // the blob; a part sent again once it is there goes to a file of its
    // own (partPath) until completion copies it into place, so that a stored
    // part stays intact until the PUT replacing it has passed every check.
    std::set<std::size_t> storedParts;
    std::set<std::size_t> partsInFiles;  // the stored parts kept in their own files
    std::shared_ptr<PartBlob> blob;      // directory_/id/"blob"; null once complete
    // The placed PUTs under way, one at most per part.
    std::map<std::size_t, std::weak_ptr<PartPlacement>> placing;

    std::uint64_t partLength(std::size_t number) const {
        const std::uint64_t start = (number - 1) * partSize;
        return std::min<std::uint64_t>(partSize, length - start);
    }
    bool expired() const { return Clock::now() >= expiresAt; }
};

UploadApi::UploadApi(AccountApi& accounts, DavServer& files, fs::path directory, std::string partHost)
    : accounts_(accounts), files_(files), directory_(std::move(directory)), partHost_(std::move(partHost)),
      partHeaders_{{"Content-Type", "application/octet-stream"}} {
    unsigned char key[32];
    if (RAND_bytes(key, sizeof key) != 1) throw std::runtime_error("no random bytes for the part URL key");
    secret_.assign(reinterpret_cast<const char*>(key), sizeof key);
    std::error_code ignored;
    fs::remove_all(directory_, ignored);
    fs::create_directories(directory_);
}

UploadApi::~UploadApi() { clearKnobs(); }

bool UploadApi::serves(std::string_view path) {
    return path == kUploadsPath || (path.starts_with(kUploadsPath) && path[kUploadsPath.size()] == '/');
}

bool UploadApi::servesPart(std::string_view path) { return path.starts_with(kPartPathPrefix); }

// ---- Settings and knobs ----

void UploadApi::setPartSize(std::uint64_t bytes) {
    if (bytes < 1 || bytes > 5 * (std::uint64_t{1} << 30)) throw std::invalid_argument("the part size must be 1 to 5 GiB");
    std::lock_guard lock(mutex_);
    partSize_ = bytes;
}

void UploadApi::setHeartbeatSeconds(std::optional<std::int64_t> seconds) {
    std::lock_guard lock(mutex_);
    heartbeatSeconds_ = seconds;
}

void UploadApi::setLifetime(std::chrono::seconds lifetime) {
    std::lock_guard lock(mutex_);
    lifetime_ = lifetime;
}

void UploadApi::setCompletingReplies(int times) {
    std::lock_guard lock(mutex_);
    completingReplies_ = std::max(0, times);
}

void UploadApi::setPartHeaders(std::vector<std::pair<std::string, std::string>> headers) {
    std::lock_guard lock(mutex_);
    partHeaders_ = std::move(headers);
}

void UploadApi::overrideReservationReply(std::string body, int times) {
    checkTimes(times);
    std::lock_guard lock(mutex_);
    reservationReplies_.push_back({"", std::move(body), times});
}

void UploadApi::overridePartMember(std::string name, std::string rawJson, int times) {
    checkTimes(times);
    if (!Json::accept(rawJson)) throw std::invalid_argument("the part member must be JSON text");
    std::lock_guard lock(mutex_);
    partMembers_.push_back({std::move(name), std::move(rawJson), times});
}

void UploadApi::fail(Step step, int status, int times, std::optional<std::size_t> part) {
    checkTimes(times);
    std::lock_guard lock(mutex_);
    failures_.push_back({step, status, times, part});
}

std::shared_ptr<HoldGate> UploadApi::hold(Step step, std::optional<std::size_t> part) {
    auto gate = std::make_shared<HoldGate>();
    std::lock_guard lock(mutex_);
    holds_.push_back({step, gate, part});
    return gate;
}

void UploadApi::clearKnobs() {
    std::vector<HoldKnob> holds;
    {
        std::lock_guard lock(mutex_);
        holds.swap(holds_);
        failures_.clear();
        reservationReplies_.clear();
        partMembers_.clear();
    }
    for (auto& knob : holds) knob.gate->open();
}

void UploadApi::expire(const std::string& id) {
    std::lock_guard lock(mutex_);
    auto found = uploads_.find(id);
    if (found != uploads_.end()) found->second->expiresAt = Clock::now() - std::chrono::seconds(1);
}

std::vector<std::string> UploadApi::uploadIds() const {
    std::lock_guard lock(mutex_);
    return order_;
}

std::size_t UploadApi::heartbeatCount(const std::string& id) const {
    std::lock_guard lock(mutex_);
    auto found = uploads_.find(id);
    return found == uploads_.end() ? 0 : found->second->heartbeats;
}

std::size_t UploadApi::storedPartCount(const std::string& id) const {
    std::lock_guard lock(mutex_);
    auto found = uploads_.find(id);
    return found == uploads_.end() ? 0 : found->second->storedParts.size();
}

bool UploadApi::isComplete(const std::string& id) const {
    std::lock_guard lock(mutex_);
    auto found = uploads_.find(id);
    return found != uploads_.end() && found->second->complete;
}

std::optional<Reply> UploadApi::applyKnobs(Step step, std::optional<std::size_t> part) {
    auto matches = [&](Step knobStep, const std::optional<std::size_t>& knobPart) {
        return knobStep == step && (!knobPart || knobPart == part);
    };
    std::vector<std::shared_ptr<HoldGate>> gates;
    {
        std::lock_guard lock(mutex_);
        for (const auto& knob : holds_) {
            if (matches(knob.step, knob.part)) gates.push_back(knob.gate);
        }
    }
    for (auto& gate : gates) gate->pass();
    std::lock_guard lock(mutex_);
    for (auto& knob : failures_) {
        if (!usesLeft(knob.remaining) || !matches(knob.step, knob.part)) continue;
        useOnce(knob.remaining);
        const int status = knob.status;
        std::erase_if(failures_, [](const FailKnob& used) { return !usesLeft(used.remaining); });
        return apiError(status, "injected", "A fault knob answered this call.");
    }
    return std::nullopt;
}

// ---- Routes ----

Reply UploadApi::handle(const IncomingRequest& request) {
    const auto& info = request.info;
    if (info.path == kUploadsPath) {
        if (info.method != "POST") return methodNotAllowed("POST");
        if (auto injected = applyKnobs(Step::reserve, std::nullopt)) return std::move(*injected);
        return reserve(request);
    }
    // "/api/v1/uploads/<id>/<action>"
    const std::string_view rest = std::string_view(info.path).substr(kUploadsPath.size() + 1);
    const std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos) return apiError(404, "not_found", "No such route.");
    const std::string id(rest.substr(0, slash));
    const std::string_view action = rest.substr(slash + 1);
    if (action == "parts") {
        if (info.method != "GET") return methodNotAllowed("GET");
        const auto from = decimal(info.queryValue("from").value_or(""));
        if (auto injected = applyKnobs(Step::partLocation, from ? std::optional<std::size_t>(*from) : std::nullopt)) {
            return std::move(*injected);
        }
        return partLocations(id, info);
    }
    if (action == "complete") {
        if (info.method != "POST") return methodNotAllowed("POST");
        if (auto injected = applyKnobs(Step::complete, std::nullopt)) return std::move(*injected);
        return complete(id);
    }
    if (action == "heartbeat") {
        if (info.method != "POST") return methodNotAllowed("POST");
        if (auto injected = applyKnobs(Step::heartbeat, std::nullopt)) return std::move(*injected);
        return heartbeat(id);
    }
    return apiError(404, "not_found", "No such route.");
}

Reply UploadApi::reserve(const IncomingRequest& request) {
    const auto& info = request.info;
    {
        std::lock_guard lock(mutex_);
        for (auto& knob : reservationReplies_) {
            if (!usesLeft(knob.remaining)) continue;
            useOnce(knob.remaining);
            Reply reply = Reply::json(201, knob.text);
            std::erase_if(reservationReplies_, [](const TextKnob& used) { return !usesLeft(used.remaining); });
            return reply;
        }
    }

    if (info.headers.count("Upload-Length") != 1) return apiError(400, "bad_request", "Upload-Length is required.");
    const auto length = decimal(info.headers.value("Upload-Length"));
    if (!length || *length == 0) return apiError(400, "bad_request", "Upload-Length must be a positive decimal number.");
    if (request.body.isSpooled()) return apiError(413, "too_large", "The reservation body is too large.");
    const Json body = Json::parse(request.body.memory(), nullptr, false);
    if (body.is_discarded() || !body.is_object()) return apiError(400, "bad_request", "The body must be a JSON object.");

    const Json account = Json::parse(accounts_.account(), nullptr, false);
    const Json* driveId = member(body, "driveId");
    if (!driveId || !driveId->is_string()) return apiError(400, "bad_request", "driveId must be a string.");
    const std::string drive = driveId->get<std::string>();
    const auto drives = files_.drives();
    if (std::none_of(drives.begin(), drives.end(), [&](const Drive& known) { return known.id == drive; })) {
        return apiError(404, "not_found", "No such drive.");
    }
    const Json* owned = member(account, "ownedDriveIds");
    if (!owned || !owned->is_array() || std::find(owned->begin(), owned->end(), *driveId) == owned->end()) {
        return apiError(403, "forbidden", "The account does not own the drive.");
    }
    const Json* parent = member(body, "parentItemId");
    if (!parent || *parent != *driveId) return apiError(400, "bad_request", "parentItemId must be the drive id.");

    const Json* manifest = member(body, "encryption");
    const Json* value = manifest ? member(*manifest, "value") : nullptr;
    const Json* signature = manifest ? member(*manifest, "signature") : nullptr;
    if (!value || !value->is_object() || !signature || !signature->is_string()) {
        return apiError(400, "bad_request", "encryption must be a signed manifest {\"value\", \"signature\"}.");
    }
    const Json* accountId = member(account, "accountId");
    if (!accountId || member(*value, "accountId") == nullptr || *member(*value, "accountId") != *accountId) {
        return apiError(403, "forbidden", "The manifest belongs to another account.");
    }
    const Json* nodeId = member(*value, "nodeId");
    const Json* revisionId = member(*value, "revisionId");
    if (!isIdentifier(nodeId) || !isIdentifier(revisionId)) {
        return apiError(400, "bad_request", "The manifest needs identifier nodeId and revisionId.");
    }
    const std::string opaqueName =
        nodeId->get<std::string>() + "-" + revisionId->get<std::string>() + ".nbenc";
    const Json* name = member(body, "name");
    if (!name || *name != opaqueName) return apiError(400, "bad_request", "name must be <nodeId>-<revisionId>.nbenc.");
    const auto ciphertextLength = safeInteger(member(*value, "ciphertextLength"));
    if (!ciphertextLength || static_cast<std::uint64_t>(*ciphertextLength) != *length) {
        return apiError(400, "bad_request", "Upload-Length must be the manifest's ciphertextLength.");
    }
    const auto previousGeneration = safeInteger(member(*value, "previousGeneration"));
    if (!previousGeneration) return apiError(400, "bad_request", "previousGeneration must be an integer.");
    std::optional<std::string> nodeRecord;
    std::optional<std::int64_t> nodeGeneration;
    if (const Json* node = member(*value, "node"); node && !node->is_null()) {
        const Json* nodeValue = member(*node, "value");
        nodeGeneration = nodeValue ? safeInteger(member(*nodeValue, "generation")) : std::nullopt;
        if (!nodeGeneration || !member(*nodeValue, "nodeId") || *member(*nodeValue, "nodeId") != *nodeId) {
            return apiError(400, "bad_request", "The embedded node record must be of the manifest's node.");
        }
        nodeRecord = node->dump();
    }
    const std::string fileNode = nodeId->get<std::string>();
    if (*previousGeneration != accounts_.storedGeneration(AccountApi::Collection::files, fileNode) ||
        (nodeGeneration && *nodeGeneration != accounts_.storedGeneration(AccountApi::Collection::nodes, fileNode) + 1)) {
        return apiError(409, "conflict", "The revision does not follow the stored one.");
    }

    auto upload = std::make_unique<Upload>();
    upload->id = "upl_" + randomHex(12);
    upload->driveId = drive;
    upload->name = opaqueName;
    upload->length = *length;
    upload->manifest = *manifest;
    upload->nodeId = fileNode;
    upload->previousGeneration = *previousGeneration;
    upload->nodeRecord = std::move(nodeRecord);

    std::lock_guard lock(mutex_);
    const std::uint64_t fewestPerPart = (*length + kMaximumParts - 1) / kMaximumParts;
    upload->partSize = std::max(partSize_, fewestPerPart);
    upload->partCount = static_cast<std::size_t>((*length + upload->partSize - 1) / upload->partSize);
    upload->expiresAt = Clock::now() + lifetime_;
    upload->completingLeft = completingReplies_;
    Json reply = {{"id", upload->id}, {"partSize", upload->partSize}, {"partCount", upload->partCount}};
    if (heartbeatSeconds_) reply["heartbeatSeconds"] = *heartbeatSeconds_;
    fs::create_directories(directory_ / upload->id);
    const fs::path blob = directory_ / upload->id / "blob";
    const int fd = ::open(blob.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "open " + blob.string());
    upload->blob = std::make_shared<PartBlob>(fd);
    order_.push_back(upload->id);
    uploads_.emplace(upload->id, std::move(upload));
    return Reply::json(201, reply.dump());
}

Reply UploadApi::partLocations(const std::string& id, const RecordedRequest& info) {
    const auto from = decimal(info.queryValue("from").value_or(""));
    const auto count = decimal(info.queryValue("count").value_or(""));
    std::lock_guard lock(mutex_);
    auto found = uploads_.find(id);
    if (found == uploads_.end()) return apiError(404, "not_found", "No such upload.");
    Upload& upload = *found->second;
    if (upload.complete || upload.expired()) return apiError(410, "gone", "The upload has expired.");
    if (!from || !count || *from < 1 || *from > upload.partCount || *count < 1) {
        return apiError(400, "bad_request", "from must name a part and count must be at least 1.");
    }
    const std::size_t last = static_cast<std::size_t>(std::min<std::uint64_t>(upload.partCount, *from + *count - 1));
    Json parts = Json::array();
    for (std::size_t number = *from; number <= last; ++number) {
        const std::uint64_t length = upload.partLength(number);
        const std::string nonce = randomHex(16);
        Json headers = Json::object();
        for (const auto& [name, value] : partHeaders_) headers[name] = value;
        Json part = {{"number", number},
                     {"length", length},
                     {"url", "https://" + partHost_ + std::string(kPartPathPrefix) + id + "/" + std::to_string(number) +
                                 "?nonce=" + nonce + "&signature=" + signature(id, number, length, nonce)},
                     {"headers", headers}};
        for (auto& knob : partMembers_) {
            if (!usesLeft(knob.remaining)) continue;
            useOnce(knob.remaining);
            part[knob.name] = Json::parse(knob.text);
        }
        std::erase_if(partMembers_, [](const TextKnob& used) { return !usesLeft(used.remaining); });
        upload.listedHeaders[number] = partHeaders_;
        parts.push_back(std::move(part));
    }
    return Reply::json(200, Json{{"parts", parts}}.dump());
}

std::optional<Reply> UploadApi::refusedPartHead(const Upload& upload, std::size_t number,
                                                const RecordedRequest& info) const {
    if (number > upload.partCount) return apiError(404, "not_found", "No such part.");
    const std::uint64_t length = upload.partLength(number);
    const std::string nonce = info.queryValue("nonce").value_or("");
    const auto listed = upload.listedHeaders.find(number);
    if (nonce.empty() || listed == upload.listedHeaders.end() ||
        info.queryValue("signature").value_or("") != signature(upload.id, number, length, nonce)) {
        return apiError(403, "forbidden", "The part URL's signature does not match.");
    }
    if (upload.complete || upload.expired()) return apiError(410, "gone", "The upload has expired.");
    if (info.headers.has("Authorization")) {
        return apiError(400, "bad_request", "A part upload takes no credentials but its signed URL.");
    }
    for (const auto& [name, value] : listed->second) {
        if (info.headers.count(name) != 1 || info.headers.value(name) != value) {
            return apiError(403, "forbidden", "The header " + name + " must be sent as listed.");
        }
    }
    return std::nullopt;
}

void UploadApi::placePartBody(IncomingRequest& request) {
    const auto& info = request.info;
    if (info.method != "PUT" || !servesPart(info.path)) return;
    const auto target = partTarget(info.path);
    const auto declared = decimal(info.headers.value("Content-Length"));
    if (!target || info.headers.count("Content-Length") != 1 || !declared || info.headers.has("Transfer-Encoding")) {
        return;
    }
    const auto& [id, number] = *target;
    std::lock_guard lock(mutex_);
    auto found = uploads_.find(id);
    if (found == uploads_.end()) return;
    Upload& upload = *found->second;
    if (!upload.blob || refusedPartHead(upload, number, info) || *declared != upload.partLength(number)) return;
    // A part stored in the blob stays there untouched until a PUT replacing
    // it has passed every check: such a PUT goes to a file of its own.
    if (upload.storedParts.contains(number) && !upload.partsInFiles.contains(number)) return;
    std::weak_ptr<PartPlacement>& slot = upload.placing[number];
    if (!slot.expired()) return;  // another PUT of the part is writing there
    auto placement = std::make_shared<PartPlacement>(upload.blob, (number - 1) * upload.partSize,
                                                     upload.partLength(number));
    slot = placement;
    request.body.sendTo(std::move(placement));
}

Reply UploadApi::handlePart(IncomingRequest& request) {
    const auto& info = request.info;
    const auto target = partTarget(info.path);
    if (!target) return apiError(404, "not_found", "No such part.");
    const auto& [id, number] = *target;
    if (info.method != "PUT") return methodNotAllowed("PUT");
    if (auto injected = applyKnobs(Step::partUpload, number)) return std::move(*injected);

    std::lock_guard lock(mutex_);
    auto found = uploads_.find(id);
    if (found == uploads_.end()) return apiError(404, "not_found", "No such upload.");
    Upload& upload = *found->second;
    if (auto refused = refusedPartHead(upload, number, info)) return std::move(*refused);
    const std::uint64_t length = upload.partLength(number);
    if (request.body.size() != length) {
        return apiError(400, "bad_request", "The part must be exactly " + std::to_string(length) + " bytes.");
    }

    // The part replaces any earlier upload of it.
    const fs::path path = partPath(id, number);
    if (request.body.sink()) {
        // The bytes are in their place in the blob, unless a completion
        // took the part kept in its file meanwhile and stopped this one.
        const auto placing = upload.placing.find(number);
        const std::shared_ptr<PartPlacement> placement =
            placing == upload.placing.end() ? nullptr : placing->second.lock();
        if (!placement || placement != request.body.sink() || placement->revoked()) {
            return apiError(409, "conflict", "The upload completed while the part was sent; send it again.");
        }
        upload.placing.erase(placing);
        if (upload.partsInFiles.erase(number) != 0) {
            std::error_code ignored;
            fs::remove(path, ignored);
        }
    } else {
        if (request.body.isSpooled()) {
            fs::rename(request.body.spoolPath(), path);
            request.body.releaseSpoolFile();
        } else {
            const fs::path temporary = path.string() + ".new";
            const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            if (fd < 0) throw std::system_error(errno, std::generic_category(), "open " + temporary.string());
            {
                OpenFile closer(fd);
                writeAll(fd, request.body.memory().data(), request.body.memory().size());
            }
            fs::rename(temporary, path);
        }
        upload.partsInFiles.insert(number);
    }
    upload.storedParts.insert(number);
    Reply reply = Reply::empty(200);
    reply.header("ETag", "\"" + info.bodySha256 + "\"");
    return reply;
}

Reply UploadApi::complete(const std::string& id) {
    std::lock_guard lock(mutex_);
    auto found = uploads_.find(id);
    if (found == uploads_.end()) return apiError(404, "not_found", "No such upload.");
    Upload& upload = *found->second;
    const auto state = [&](const char* text) { return Reply::json(200, Json{{"id", id}, {"state", text}}.dump()); };
    if (upload.complete) return state("complete");
    if (upload.expired()) return apiError(410, "gone", "The upload has expired.");
    for (std::size_t number = 1; number <= upload.partCount; ++number) {
        if (!upload.storedParts.contains(number)) {
            return apiError(400, "bad_request", "Part " + std::to_string(number) + " has not been uploaded.");
        }
    }
    if (upload.completingLeft > 0) {
        --upload.completingLeft;
        return state("completing");
    }

    // The parts are in the blob but those sent again, kept in files of their
    // own: PUTs of those still under way stop writing, and the files go to
    // their places. The blob then moves into its drive; its name is new
    // with every revision, so nothing is overwritten.
    for (auto& [number, slot] : upload.placing) {
        if (const std::shared_ptr<PartPlacement> placement = slot.lock()) placement->revoke();
    }
    upload.placing.clear();
    for (auto part = upload.partsInFiles.begin(); part != upload.partsInFiles.end();) {
        const fs::path path = partPath(id, *part);
        copyInto(upload.blob->file.fd(), path, (*part - 1) * upload.partSize, upload.partLength(*part));
        std::error_code ignored;
        fs::remove(path, ignored);
        part = upload.partsInFiles.erase(part);
    }
    const fs::path kept = directory_ / id / "blob";
    const fs::path blob = files_.driveDirectory(upload.driveId) / upload.name;
    fs::rename(kept, blob);

    const Json* value = member(upload.manifest, "value");
    const Json fileRecord = {{"manifest", upload.manifest},
                             {"driveId", upload.driveId},
                             {"parentItemId", upload.driveId},
                             {"opaqueName", upload.name},
                             {"ciphertextLength", upload.length},
                             {"revisionId", *member(*value, "revisionId")},
                             {"generation", upload.previousGeneration + 1},
                             {"current", true}};
    if (!accounts_.publishRevision(fileRecord.dump(), upload.nodeRecord)) {
        // The parts stay stored: the blob goes back to the upload.
        fs::rename(blob, kept);
        return apiError(409, "conflict", "Another revision was published meanwhile.");
    }
    upload.complete = true;
    upload.storedParts.clear();
    upload.blob.reset();
    std::error_code ignored;
    fs::remove_all(directory_ / id, ignored);
    return state("complete");
}

Reply UploadApi::heartbeat(const std::string& id) {
    std::lock_guard lock(mutex_);
    auto found = uploads_.find(id);
    if (found == uploads_.end()) return apiError(404, "not_found", "No such upload.");
    Upload& upload = *found->second;
    if (upload.complete || upload.expired()) return apiError(410, "gone", "The upload has expired.");
    upload.expiresAt = Clock::now() + lifetime_;
    ++upload.heartbeats;
    return Reply::json(200, Json{{"id", id}, {"expiresIn", lifetime_.count()}}.dump());
}

std::string UploadApi::signature(const std::string& id, std::size_t number, std::uint64_t length,
                                 const std::string& nonce) const {
    const std::string message = id + "\n" + std::to_string(number) + "\n" + std::to_string(length) + "\n" + nonce;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (!HMAC(EVP_sha256(), secret_.data(), static_cast<int>(secret_.size()),
              reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest, &size)) {
        throw std::runtime_error("HMAC-SHA256 failed");
    }
    return hex(digest, size);
}

fs::path UploadApi::partPath(const std::string& id, std::size_t number) const {
    return directory_ / id / (std::to_string(number) + ".part");
}

}  // namespace nimbuscrate::localservice
