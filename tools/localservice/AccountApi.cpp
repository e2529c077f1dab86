#include "tools/localservice/AccountApi.h"

#include "tools/localservice/CountingHost.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <initializer_list>
#include <stdexcept>

namespace nimbuscrate::localservice {

namespace {

using Json = nlohmann::json;

constexpr std::string_view kAccountPath = "/api/v1/e2ee/account";
constexpr std::string_view kBootstrapPath = "/api/v1/mobile/account/bootstrap";
constexpr std::string_view kNodesPath = "/api/v1/e2ee/nodes";
constexpr std::string_view kFilesPath = "/api/v1/e2ee/files";

// Safe integers: what every client of the account API reads a number as.
constexpr std::int64_t kLargestSafeInteger = (std::int64_t{1} << 53) - 1;

// Whether every number in the value is an integer within the safe range.
bool integersOnly(const Json& value) {
    switch (value.type()) {
        case Json::value_t::number_float: return false;
        case Json::value_t::number_unsigned:
            return value.get<std::uint64_t>() <= static_cast<std::uint64_t>(kLargestSafeInteger);
        case Json::value_t::number_integer: {
            auto number = value.get<std::int64_t>();
            return number >= -kLargestSafeInteger && number <= kLargestSafeInteger;
        }
        case Json::value_t::object:
            for (const auto& [key, member] : value.items()) {
                if (!integersOnly(member)) return false;
            }
            return true;
        case Json::value_t::array:
            for (const auto& element : value) {
                if (!integersOnly(element)) return false;
            }
            return true;
        default: return true;
    }
}

// Parses a record given by a test or a client: a JSON object with integer
// numbers only. None when it is not one.
std::optional<Json> parseRecord(std::string_view text) {
    Json value = Json::parse(text, nullptr, false);
    if (value.is_discarded() || !value.is_object() || !integersOnly(value)) return std::nullopt;
    return value;
}

// The member of an object; null when the value is no object or lacks it.
const Json* member(const Json& value, const char* name) {
    if (!value.is_object()) return nullptr;
    auto found = value.find(name);
    return found == value.end() ? nullptr : &*found;
}

const Json* memberPath(const Json& value, std::initializer_list<const char*> names) {
    const Json* current = &value;
    for (const char* name : names) {
        current = member(*current, name);
        if (!current) return nullptr;
    }
    return current;
}

// An integer of at least 1 (numbers are safe integers once parsed here).
std::optional<std::int64_t> positiveInteger(const Json* value) {
    if (!value || !value->is_number_integer()) return std::nullopt;
    auto number = value->get<std::int64_t>();
    if (number < 1) return std::nullopt;
    return number;
}

struct RecordKey {
    std::string nodeId;
    std::int64_t generation = 0;
};

// The node or file a record stands for and its generation: "value"."nodeId"
// and "value"."generation" of a node record; "manifest"."value"."nodeId" and
// "generation" of a file record. None when either is missing or malformed.
std::optional<RecordKey> recordKey(AccountApi::Collection collection, const Json& record) {
    const bool node = collection == AccountApi::Collection::nodes;
    const Json* nodeId =
        node ? memberPath(record, {"value", "nodeId"}) : memberPath(record, {"manifest", "value", "nodeId"});
    auto generation =
        positiveInteger(node ? memberPath(record, {"value", "generation"}) : member(record, "generation"));
    if (!nodeId || !nodeId->is_string() || !generation) return std::nullopt;
    return RecordKey{nodeId->get<std::string>(), *generation};
}

bool isIdentifier(const Json* value) {
    if (!value || !value->is_string()) return false;
    const auto& text = value->get_ref<const std::string&>();
    if (text.empty() || text.size() > 128) return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    });
}

// An unpadded base64url text of a 64-byte signature.
bool isSignature(const Json* value) {
    if (!value || !value->is_string()) return false;
    const auto& text = value->get_ref<const std::string&>();
    if (text.size() != 86) return false;
    static constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    if (!std::all_of(text.begin(), text.end(), [](char c) { return alphabet.find(c) != std::string_view::npos; })) {
        return false;
    }
    // 86 characters carry 516 bits: the last one holds 2 bits of the signature and 4 zero bits.
    return alphabet.find(text.back()) % 16 == 0;
}

// What is wrong with a node record as a client sends it; empty when nothing.
std::string nodeRecordFault(const Json& record) {
    if (!isSignature(member(record, "signature"))) return "signature must be 86 characters of unpadded base64url";
    const Json* value = member(record, "value");
    if (!value || !value->is_object()) return "value must be an object";
    const Json* purpose = member(*value, "purpose");
    if (!purpose || *purpose != "node") return "value.purpose must be \"node\"";
    const Json* accountId = member(*value, "accountId");
    if (!accountId || !accountId->is_string()) return "value.accountId must be a string";
    for (const char* name : {"nodeId", "parentId", "operationId"}) {
        if (!isIdentifier(member(*value, name))) return std::string("value.") + name + " must be an identifier";
    }
    const Json* kind = member(*value, "kind");
    if (!kind || (*kind != "file" && *kind != "folder")) return "value.kind must be \"file\" or \"folder\"";
    if (!positiveInteger(member(*value, "generation"))) return "value.generation must be an integer of at least 1";
    const Json* deleted = member(*value, "deleted");
    const Json* purged = member(*value, "purged");
    if (!deleted || !deleted->is_boolean()) return "value.deleted must be a boolean";
    if (!purged || !purged->is_boolean()) return "value.purged must be a boolean";
    if (purged->get<bool>() && !deleted->get<bool>()) return "a purged node must be deleted";
    const Json* metadata = member(*value, "metadata");
    if (!metadata || !metadata->is_object()) return "value.metadata must be an object";
    return {};
}

const char* collectionName(AccountApi::Collection collection) {
    return collection == AccountApi::Collection::nodes ? "node" : "file";
}

// Knob counts as FaultKnobs keeps them.
bool usesLeft(int remaining) { return remaining > 0 || remaining == AccountApi::kEveryCall; }
bool validTimes(int times) { return times > 0 || times == AccountApi::kEveryCall; }
void useOnce(int& remaining) {
    if (remaining > 0) --remaining;
}

Reply apiError(int status, std::string_view error, std::string_view message) {
    return Reply::json(status, Json{{"error", error}, {"message", message}}.dump());
}

Reply methodNotAllowed(const char* allowed) {
    Reply reply = apiError(405, "method_not_allowed", std::string("This route takes ") + allowed + ".");
    reply.header("Allow", allowed);
    return reply;
}

}  // namespace

const char* const AccountApi::kPlainAccount =
    R"({"accountId":"local-account","format":"nimbuscrate-tink-aes256-v1","mode":"legacy",)"
    R"("onboardingRequired":false,"keyRecord":null,"ownedDriveIds":[],"primaryDriveId":null})";

AccountApi::AccountApi(std::function<std::unique_ptr<CountingHost>()> secondHost)
    : makeSecondHost_(std::move(secondHost)), account_(kPlainAccount) {}

AccountApi::~AccountApi() = default;

bool AccountApi::serves(std::string_view path) {
    return path == kAccountPath || path == kBootstrapPath || path == kNodesPath || path == kFilesPath ||
           PasskeyApi::serves(path);
}

Reply AccountApi::handle(const IncomingRequest& request) {
    const auto& info = request.info;
    if (std::optional<Reply> redirect = redirectReply(info)) return std::move(*redirect);
    if (PasskeyApi::serves(info.path)) return passkeys_.handle(request, account());
    if (info.path == kAccountPath) {
        if (info.method != "GET") return methodNotAllowed("GET");
        return accountReply();
    }
    if (info.path == kBootstrapPath) {
        if (info.method != "POST") return methodNotAllowed("POST");
        return bootstrapReply();
    }
    if (info.path == kNodesPath && info.method == "POST") return postNode(request);
    if (info.path == kNodesPath || info.path == kFilesPath) {
        if (info.method != "GET") return methodNotAllowed(info.path == kNodesPath ? "GET, POST" : "GET");
        return pageReply(info.path == kNodesPath ? Collection::nodes : Collection::files, info);
    }
    return apiError(404, "not_found", "No such route.");
}

void AccountApi::setAccount(const std::string& accountJson) {
    if (!parseRecord(accountJson)) {
        throw std::invalid_argument("the account must be a JSON object whose numbers are safe integers");
    }
    std::lock_guard lock(mutex_);
    account_ = accountJson;
}

std::string AccountApi::account() const {
    std::lock_guard lock(mutex_);
    return account_;
}

std::size_t AccountApi::bootstrapCount() const {
    std::lock_guard lock(mutex_);
    return bootstraps_;
}

Reply AccountApi::accountReply() {
    std::lock_guard lock(mutex_);
    auto live = [](const TextKnob& knob) { return usesLeft(knob.remaining); };
    auto publicKey = std::find_if(publicKeys_.begin(), publicKeys_.end(), live);
    auto mode = std::find_if(modes_.begin(), modes_.end(), live);
    if (publicKey == publicKeys_.end() && mode == modes_.end()) return Reply::json(200, account_);

    // Changed in place, so the other members keep their order.
    auto account = nlohmann::ordered_json::parse(account_);
    if (publicKey != publicKeys_.end()) {
        auto key = nlohmann::ordered_json::parse(publicKey->text);
        auto& keyRecord = account["keyRecord"];
        if (!keyRecord.is_object()) {
            const auto accountId = account.contains("accountId") ? account["accountId"] : nlohmann::ordered_json();
            keyRecord = {{"version", 1}, {"accountId", accountId}};
        }
        keyRecord["publicKey"] = std::move(key);
        useOnce(publicKey->remaining);
    }
    if (mode != modes_.end()) {
        account["mode"] = mode->text;
        useOnce(mode->remaining);
    }
    std::erase_if(publicKeys_, [](const TextKnob& knob) { return !usesLeft(knob.remaining); });
    std::erase_if(modes_, [](const TextKnob& knob) { return !usesLeft(knob.remaining); });
    return Reply::json(200, account.dump());
}

Reply AccountApi::bootstrapReply() {
    std::lock_guard lock(mutex_);
    ++bootstraps_;
    Json account = Json::parse(account_);
    Json userId = account.contains("accountId") ? account["accountId"] : Json();
    return Reply::json(200, Json{{"userId", userId}}.dump());
}

void AccountApi::putNode(const std::string& signedRecordJson, bool erased) {
    auto record = parseRecord(signedRecordJson);
    auto key = record ? recordKey(Collection::nodes, *record) : std::nullopt;
    if (!key) {
        throw std::invalid_argument(
            "a node record is a JSON object with a string value.nodeId and an integer value.generation of at least 1");
    }
    std::lock_guard lock(mutex_);
    storeLocked(Collection::nodes, key->nodeId, {signedRecordJson, key->generation, erased});
}

void AccountApi::putFile(const std::string& fileRecordJson) {
    auto record = parseRecord(fileRecordJson);
    auto key = record ? recordKey(Collection::files, *record) : std::nullopt;
    if (!key) {
        throw std::invalid_argument(
            "a file record is a JSON object with a string manifest.value.nodeId and an integer generation of at least 1");
    }
    std::lock_guard lock(mutex_);
    storeLocked(Collection::files, key->nodeId, {fileRecordJson, key->generation, false});
}

void AccountApi::storeLocked(Collection collection, const std::string& nodeId, Version version) {
    Listing& listing = listingLocked(collection);
    auto& versions = listing.versions[nodeId];
    if (!versions.empty() && version.generation <= versions.back().generation) {
        throw std::invalid_argument(std::string("the ") + collectionName(collection) + " " + nodeId +
                                    " already has generation " + std::to_string(versions.back().generation));
    }
    if (versions.empty()) listing.order.push_back(nodeId);
    versions.push_back(std::move(version));
}

std::optional<std::string> AccountApi::storedRecord(Collection collection, const std::string& nodeId) const {
    std::lock_guard lock(mutex_);
    const Listing& listing = listingLocked(collection);
    auto found = listing.versions.find(nodeId);
    if (found == listing.versions.end()) return std::nullopt;
    return found->second.back().text;
}

std::size_t AccountApi::versionCount(Collection collection, const std::string& nodeId) const {
    std::lock_guard lock(mutex_);
    const Listing& listing = listingLocked(collection);
    auto found = listing.versions.find(nodeId);
    return found == listing.versions.end() ? 0 : found->second.size();
}

std::int64_t AccountApi::storedGeneration(Collection collection, const std::string& nodeId) const {
    std::lock_guard lock(mutex_);
    const Listing& listing = listingLocked(collection);
    auto found = listing.versions.find(nodeId);
    return found == listing.versions.end() ? 0 : found->second.back().generation;
}

bool AccountApi::publishRevision(const std::string& fileRecordJson, const std::optional<std::string>& nodeRecordJson) {
    auto fileRecord = parseRecord(fileRecordJson);
    auto fileKey = fileRecord ? recordKey(Collection::files, *fileRecord) : std::nullopt;
    if (!fileKey) throw std::invalid_argument("a file record needs manifest.value.nodeId and a generation");
    std::optional<RecordKey> nodeKey;
    if (nodeRecordJson) {
        auto nodeRecord = parseRecord(*nodeRecordJson);
        nodeKey = nodeRecord ? recordKey(Collection::nodes, *nodeRecord) : std::nullopt;
        if (!nodeKey) throw std::invalid_argument("a node record needs value.nodeId and value.generation");
    }
    std::lock_guard lock(mutex_);
    auto next = [this](Collection collection, const RecordKey& key) {
        const Listing& listing = listingLocked(collection);
        auto found = listing.versions.find(key.nodeId);
        const std::int64_t stored = found == listing.versions.end() ? 0 : found->second.back().generation;
        return key.generation == stored + 1;
    };
    if (!next(Collection::files, *fileKey) || (nodeKey && !next(Collection::nodes, *nodeKey))) return false;
    storeLocked(Collection::files, fileKey->nodeId, {fileRecordJson, fileKey->generation, false});
    if (nodeKey) storeLocked(Collection::nodes, nodeKey->nodeId, {*nodeRecordJson, nodeKey->generation, false});
    return true;
}

void AccountApi::setPageSize(std::size_t size) {
    if (size < 1 || size > kMaximumPageSize) throw std::invalid_argument("the page size must be 1 to 100");
    std::lock_guard lock(mutex_);
    pageSize_ = size;
}

std::string AccountApi::cursorLocked(Collection collection, std::size_t offset) {
    Listing& listing = listingLocked(collection);
    auto known = listing.offsetCursors.find(offset);
    if (known != listing.offsetCursors.end()) return known->second;
    // Opaque to the client, and made of characters that must be escaped in a
    // query: the client has to send it back exactly.
    std::string cursor = std::string(collection == Collection::nodes ? "n" : "f") + "-" + randomHex(6) + "_~/=" +
                         "\xc3\xa9" + std::to_string(offset);
    listing.offsetCursors.emplace(offset, cursor);
    listing.cursorOffsets.emplace(cursor, offset);
    return cursor;
}

Reply AccountApi::pageReply(Collection collection, const RecordedRequest& info) {
    std::string after;
    int afterCount = 0;
    for (const auto& [name, value] : info.query) {
        if (name != "after") continue;
        ++afterCount;
        after = value;
    }
    if (afterCount > 1) return apiError(400, "invalid_cursor", "Give \"after\" once.");

    std::lock_guard lock(mutex_);
    Listing& listing = listingLocked(collection);
    std::size_t offset = 0;
    if (!after.empty()) {
        auto found = listing.cursorOffsets.find(after);
        if (found == listing.cursorOffsets.end()) return apiError(400, "invalid_cursor", "Unknown cursor.");
        offset = found->second;
    }
    const bool oversized = useCountKnobLocked(oversized_, collection);
    const std::size_t wanted = oversized ? kMaximumPageSize + 1 : pageSize_;
    const std::size_t end = std::min(listing.order.size(), offset + wanted);
    std::vector<const std::string*> ids;
    for (std::size_t index = offset; index < end; ++index) ids.push_back(&listing.order[index]);
    // An oversized page repeats records when fewer are left.
    for (std::size_t index = 0; oversized && !listing.order.empty() && ids.size() < wanted; ++index) {
        ids.push_back(&listing.order[index % listing.order.size()]);
    }

    // The record knobs that changed this page, each used once for it.
    std::vector<bool> omitUsed(omitted_.size()), replaceUsed(replaced_.size()), olderUsed(older_.size());
    auto matching = [&](const std::vector<RecordKnob>& knobs, const std::string& nodeId, bool anyNode) {
        for (std::size_t i = 0; i < knobs.size(); ++i) {
            const RecordKnob& knob = knobs[i];
            if (knob.collection == collection && usesLeft(knob.remaining) &&
                (knob.nodeId == nodeId || (anyNode && knob.nodeId.empty()))) {
                return i;
            }
        }
        return knobs.size();
    };
    std::string items;
    for (const std::string* nodeId : ids) {
        const auto& versions = listing.versions.at(*nodeId);
        if (auto omit = matching(omitted_, *nodeId, false); omit < omitted_.size()) {
            omitUsed[omit] = true;
            continue;
        }
        std::string_view text = versions.back().text;
        bool erased = versions.back().erased;
        auto replace = matching(replaced_, *nodeId, false);
        auto older = matching(older_, *nodeId, true);
        if (replace < replaced_.size() && replaced_[replace].generation == versions.back().generation) {
            replaceUsed[replace] = true;
            text = replaced_[replace].text;
            erased = replaced_[replace].erased;
        } else if (older < older_.size() && versions.size() >= 2) {
            olderUsed[older] = true;
            text = versions[versions.size() - 2].text;
            erased = versions[versions.size() - 2].erased;
        }
        if (!items.empty()) items += ",";
        if (collection == Collection::files) {
            items += text;
        } else {
            items += "{\"state\":";
            items += text;
            items += erased ? ",\"erased\":true}" : "}";
        }
    }
    useRecordKnobsLocked(omitted_, omitUsed);
    useRecordKnobsLocked(replaced_, replaceUsed);
    useRecordKnobsLocked(older_, olderUsed);

    std::string next = end < listing.order.size() ? cursorLocked(collection, end) : std::string();
    if (!after.empty() && useCountKnobLocked(repeats_, collection)) next = after;
    return Reply::json(200, "{\"items\":[" + items + "],\"next\":" + Json(next).dump() + "}");
}

Reply AccountApi::postNode(const IncomingRequest& request) {
    const auto& info = request.info;
    std::string contentType = lowercase(info.headers.value("Content-Type"));
    contentType = contentType.substr(0, contentType.find(';'));
    while (!contentType.empty() && contentType.back() == ' ') contentType.pop_back();
    if (contentType != "application/json") {
        return apiError(415, "unsupported_media_type", "A node record is sent as application/json.");
    }
    constexpr std::uint64_t kLargestRecord = 1024 * 1024;
    if (request.body.isSpooled() || request.body.size() > kLargestRecord) {
        return apiError(413, "too_large", "A node record is at most 1 MiB.");
    }
    const std::string& body = request.body.memory();
    auto record = parseRecord(body);
    if (!record) {
        return apiError(400, "invalid_record", "The body must be a JSON object whose numbers are safe integers.");
    }
    if (std::string fault = nodeRecordFault(*record); !fault.empty()) return apiError(400, "invalid_record", fault);
    const Json& value = (*record)["value"];
    const std::string nodeId = value["nodeId"].get<std::string>();
    const std::int64_t generation = value["generation"].get<std::int64_t>();

    std::lock_guard lock(mutex_);
    const Json account = Json::parse(account_);
    const Json* accountId = member(account, "accountId");
    if (!accountId || *accountId != value["accountId"]) {
        return apiError(403, "wrong_account", "The record belongs to another account.");
    }
    auto& versions = nodes_.versions;
    auto stored = versions.find(nodeId);
    const std::int64_t current = stored == versions.end() ? 0 : stored->second.back().generation;
    if (generation != current + 1) {
        return apiError(409, "generation_conflict",
                        current == 0 ? "A new node starts at generation 1."
                                     : "The next generation of this node is " + std::to_string(current + 1) + ".");
    }
    storeLocked(Collection::nodes, nodeId, {body, generation, false});
    return Reply::json(200, Json{{"nodeId", nodeId}, {"generation", generation}}.dump());
}

bool AccountApi::useCountKnobLocked(std::vector<CountKnob>& knobs, Collection collection) {
    for (auto& knob : knobs) {
        if (knob.collection != collection || !usesLeft(knob.remaining)) continue;
        useOnce(knob.remaining);
        std::erase_if(knobs, [](const CountKnob& used) { return !usesLeft(used.remaining); });
        return true;
    }
    return false;
}

void AccountApi::useRecordKnobsLocked(std::vector<RecordKnob>& knobs, const std::vector<bool>& used) {
    for (std::size_t i = 0; i < knobs.size(); ++i) {
        if (used[i]) useOnce(knobs[i].remaining);
    }
    std::erase_if(knobs, [](const RecordKnob& knob) { return !usesLeft(knob.remaining); });
}

void AccountApi::serveOlderRecord(Collection collection, const std::string& nodeId, int times) {
    if (!validTimes(times)) return;
    std::lock_guard lock(mutex_);
    older_.push_back({collection, nodeId, times, {}, 0, false});
}

void AccountApi::omitRecord(Collection collection, const std::string& nodeId, int times) {
    if (!validTimes(times)) return;
    std::lock_guard lock(mutex_);
    omitted_.push_back({collection, nodeId, times, {}, 0, false});
}

void AccountApi::replaceRecordBody(Collection collection, const std::string& recordJson, bool erased, int times) {
    auto record = parseRecord(recordJson);
    auto key = record ? recordKey(collection, *record) : std::nullopt;
    if (!key) throw std::invalid_argument(std::string("not a ") + collectionName(collection) + " record");
    if (!validTimes(times)) return;
    std::lock_guard lock(mutex_);
    const Listing& listing = listingLocked(collection);
    auto stored = listing.versions.find(key->nodeId);
    if (stored == listing.versions.end() || stored->second.back().generation != key->generation) {
        throw std::invalid_argument("the record must name a stored " + std::string(collectionName(collection)) +
                                    " and its newest generation");
    }
    replaced_.push_back({collection, key->nodeId, times, recordJson, key->generation, erased});
}

void AccountApi::repeatCursor(Collection collection, int times) {
    if (!validTimes(times)) return;
    std::lock_guard lock(mutex_);
    repeats_.push_back({collection, times});
}

void AccountApi::serveOversizedPage(Collection collection, int times) {
    if (!validTimes(times)) return;
    std::lock_guard lock(mutex_);
    oversized_.push_back({collection, times});
}

void AccountApi::swapAccountPublicKey(const std::string& publicKeyJson, int times) {
    if (!parseRecord(publicKeyJson)) {
        throw std::invalid_argument("a public key is a JSON object with integer numbers");
    }
    if (!validTimes(times)) return;
    std::lock_guard lock(mutex_);
    publicKeys_.push_back({publicKeyJson, times});
}

void AccountApi::swapAccountMode(const std::string& mode, int times) {
    if (!validTimes(times)) return;
    std::lock_guard lock(mutex_);
    modes_.push_back({mode, times});
}

void AccountApi::redirectToSecondHost(const Route& route, int times) {
    if (!validTimes(times)) return;
    std::lock_guard lock(mutex_);
    if (!secondHost_) secondHost_ = makeSecondHost_();
    redirects_.push_back({route, times});
}

std::optional<Reply> AccountApi::redirectReply(const RecordedRequest& info) {
    std::lock_guard lock(mutex_);
    for (auto& knob : redirects_) {
        if (!usesLeft(knob.remaining) || !knob.route.matches(info.method, info.host, info.path)) continue;
        useOnce(knob.remaining);
        std::erase_if(redirects_, [](const RouteKnob& used) { return !usesLeft(used.remaining); });
        Reply reply = Reply::empty(302);
        reply.header("Location", secondHost_->origin() + info.target);
        return reply;
    }
    return std::nullopt;
}

std::size_t AccountApi::secondHostConnections() const {
    std::lock_guard lock(mutex_);
    return secondHost_ ? secondHost_->connections() : 0;
}

std::size_t AccountApi::secondHostRequests() const {
    std::lock_guard lock(mutex_);
    return secondHost_ ? secondHost_->requests() : 0;
}

void AccountApi::clearKnobs() {
    passkeys_.clearKnobs();
    std::lock_guard lock(mutex_);
    older_.clear();
    omitted_.clear();
    replaced_.clear();
    repeats_.clear();
    oversized_.clear();
    publicKeys_.clear();
    modes_.clear();
    redirects_.clear();
}

void applyAccountSeed(const std::filesystem::path& seedFile, AccountApi& accounts) {
    std::ifstream in(seedFile);
    if (!in) throw std::runtime_error("cannot read seed file " + seedFile.string());
    Json seed = Json::parse(in, nullptr, false);
    if (seed.is_discarded() || !seed.is_object()) throw std::runtime_error("seed file is not a JSON object");
    if (seed.contains("account")) {
        try {
            accounts.setAccount(seed["account"].dump());
        } catch (const std::invalid_argument& error) {
            throw std::runtime_error(std::string("malformed seed account: ") + error.what());
        }
    }
    // Records of an encrypted account, stored as the first versions of
    // their nodes and files.
    for (const char* member : {"encryptedNodes", "encryptedFiles"}) {
        if (!seed.contains(member)) continue;
        if (!seed[member].is_array()) throw std::runtime_error(std::string("seed ") + member + " is not an array");
        for (const Json& record : seed[member]) {
            try {
                if (std::string_view(member) == "encryptedNodes") {
                    accounts.putNode(record.dump());
                } else {
                    accounts.putFile(record.dump());
                }
            } catch (const std::invalid_argument& error) {
                throw std::runtime_error(std::string("malformed seed record in ") + member + ": " + error.what());
            }
        }
    }
}

}  // namespace nimbuscrate::localservice
